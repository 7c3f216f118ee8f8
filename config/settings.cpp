// The settings record and Quillmar.ini.
//
// The file is read and written with the Win32 private-profile calls rather than
// a reader of our own: they give exactly the behaviour that users who edit the
// file by hand and other INI tools expect. A key's line is replaced where it
// stands, a missing key is added at the end of its section, other sections and
// keys are kept, names match in any letter case, and odd files (junk bytes,
// endless lines, duplicate keys) are read the way every Windows program reads
// them. Values are taken as they are; the code that uses a field decides what
// an odd value does.
//
// Only the user-interface thread runs this file.
#include "config.h"
#include "../shell/shell.h"
#include "../util/util.h"

#include <winsock2.h>
#include <cstdio>
#include <cstring>

SettingsRecord Settings;    // written on the user-interface thread only

static const char SettingsSection[] = "DATA";
static const char SettingsFileName[] = "Quillmar.ini";
// Room for the text of one value: a number or a dotted address.
constexpr int ValueTextCapacity = 32;
// What a missing address or text key reads as.
static const char MissingText[] = "0";

static const char SavedText[] = "設定データを保存しました。";
static const char SaveFailedText[] = "設定データを保存できませんでした。";
static const char PathTooLongText[] =
    "Quillmar.ini のパスが255文字を超えるため、設定ファイルを使えません。"
    "初期設定で動作し、設定は保存できません。";

bool SettingsPathInDirectory(const char *directory, char *path, size_t capacity)
{
    return JoinPath(directory, SettingsFileName, path, capacity);
}

static bool SettingsFilePath(char (&path)[SettingsPathCapacity])
{
    char directory[SettingsPathCapacity] = {};
    if (ModulePath(sizeof directory, directory) != 0)
        return false;
    return SettingsPathInDirectory(directory, path, sizeof path);
}

void FormatDottedAddress(uint32_t address, char *text, size_t capacity)
{
    // The address is in network order: its first byte in memory is the first octet.
    unsigned char octet[4];
    memcpy(octet, &address, sizeof octet);
    snprintf(text, capacity, "%d.%d.%d.%d", octet[0], octet[1], octet[2], octet[3]);
}

uint32_t DottedAddress(const char *text)
{
    constexpr int Octets = 4;
    constexpr int OctetHighest = 255;
    if (strcmp(text, MissingText) == 0)
        return 0;
    unsigned char octet[Octets];
    for (int i = 0; i < Octets; ++i) {
        if (i > 0 && *text++ != '.')
            return INADDR_NONE;
        if (*text < '0' || *text > '9')
            return INADDR_NONE;
        int value = 0;
        while (*text >= '0' && *text <= '9') {
            value = value * 10 + (*text++ - '0');
            if (value > OctetHighest)
                return INADDR_NONE;
        }
        octet[i] = static_cast<unsigned char>(value);
    }
    if (*text != '\0')
        return INADDR_NONE;
    uint32_t address;
    memcpy(&address, octet, sizeof address);    // first octet first: network order
    return address;
}

void SetDefaultSettings()
{
    for (const SettingKey &key : SettingKeys) {
        if (key.kind == SettingKind::Text)
            snprintf(key.field.text, IpTextCapacity, "%s", key.defaultText);
        else
            key.field.store(key.defaultValue);
    }
}

void ReadSettingsFile(const char *path)
{
    for (const SettingKey &key : SettingKeys) {
        char text[IpTextCapacity] = {};
        switch (key.kind) {
        case SettingKind::Number:
            key.field.store(static_cast<int32_t>(GetPrivateProfileIntA(SettingsSection, key.name, 0, path)));
            break;
        case SettingKind::Address:
            GetPrivateProfileStringA(SettingsSection, key.name, MissingText, text, sizeof text, path);
            key.field.store(DottedAddress(text));
            break;
        case SettingKind::Text:
            memset(key.field.text, 0, IpTextCapacity);
            GetPrivateProfileStringA(SettingsSection, key.name, MissingText, key.field.text, IpTextCapacity,
                                     path);
            break;
        }
    }
}

bool WriteSettingsFile(const char *path)
{
    // Every key is written even after a failure, so that as much as possible
    // reaches the file; the caller only learns whether all of it did.
    bool written = true;
    for (const SettingKey &key : SettingKeys) {
        char text[ValueTextCapacity] = {};
        const char *value = text;
        switch (key.kind) {
        case SettingKind::Number:
            snprintf(text, sizeof text, "%lld", static_cast<long long>(key.field.load()));
            break;
        case SettingKind::Address:
            FormatDottedAddress(static_cast<uint32_t>(key.field.load()), text, sizeof text);
            break;
        case SettingKind::Text:
            value = key.field.text;
            break;
        }
        written &= WritePrivateProfileStringA(SettingsSection, key.name, value, path) != FALSE;
    }
    return written;
}

static bool FileIsReadable(const char *path)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

int LoadSettings()
{
    char path[SettingsPathCapacity] = {};
    if (!SettingsFilePath(path)) {
        SetDefaultSettings();
        // Runs before the main window exists, so the box has no owner.
        MessageBoxA(nullptr, PathTooLongText, MessageCaption, MB_OK | MB_ICONERROR);
        return 0;
    }
    if (FileIsReadable(path))
        ReadSettingsFile(path);
    else
        SetDefaultSettings();
    return 0;
}

void SaveSettings()
{
    char path[SettingsPathCapacity] = {};
    if (!SettingsFilePath(path)) {
        MessageBoxA(MainWindow, PathTooLongText, MessageCaption, MB_OK | MB_ICONERROR);
        return;
    }
    if (WriteSettingsFile(path))
        MessageBoxA(MainWindow, SavedText, MessageCaption, MB_OK | MB_ICONINFORMATION);
    else
        MessageBoxA(MainWindow, SaveFailedText, MessageCaption, MB_OK | MB_ICONERROR);
}
