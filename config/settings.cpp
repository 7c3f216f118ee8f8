// The settings record and Quillmar.ini.
//
// The file is read and written with the Win32 private-profile calls rather than
// a reader of our own: they give exactly the behaviour that users who edit the
// file by hand and other INI tools expect. A key's line is replaced where it
// stands, a missing key is added at the end of its section, other sections and
// keys are kept, names match in any letter case, and odd files (junk bytes,
// endless lines, duplicate keys) are read the way every Windows program reads
// them. Values are taken as they are; the code that uses a field decides what
// an odd value does. The calls are the W ones, since the program's folder may
// be named in characters outside the system's code page; a file without a
// byte order mark is still read and written in that code page.
//
// Only the user-interface thread runs this file.
#include "config.h"
#include "../history/history.h"
#include "../shell/shell.h"
#include "../util/util.h"

#include <winsock2.h>
#include <cstdio>
#include <cstring>
#include <string>

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

// A key's value as text, cut to the whole characters that fit, or "0" when
// the key is missing.
static void ReadText(const std::wstring &section, const std::wstring &name, const std::wstring &file,
                     char (&text)[IpTextCapacity])
{
    wchar_t value[IpTextCapacity] = {};
    // A longer value is cut to the buffer; the length it gives is not needed.
    (void)GetPrivateProfileStringW(section.c_str(), name.c_str(), WideText(MissingText).c_str(), value,
                                   IpTextCapacity, file.c_str());
    (void)Utf8Into(value, text, sizeof text);
}

void ReadSettingsFile(const char *path)
{
    std::wstring file = WideText(path);
    std::wstring section = WideText(SettingsSection);
    for (const SettingKey &key : SettingKeys) {
        std::wstring name = WideText(key.name);
        char text[IpTextCapacity] = {};
        switch (key.kind) {
        case SettingKind::Number:
            key.field.store(static_cast<int32_t>(GetPrivateProfileIntW(section.c_str(), name.c_str(),
                                                                       static_cast<INT>(key.missingValue),
                                                                       file.c_str())));
            break;
        case SettingKind::Address:
            ReadText(section, name, file, text);
            key.field.store(DottedAddress(text));
            break;
        case SettingKind::Text:
            ReadText(section, name, file, text);
            memcpy(key.field.text, text, IpTextCapacity);
            break;
        }
    }
}

bool WriteSettingsFile(const char *path)
{
    std::wstring file = WideText(path);
    std::wstring section = WideText(SettingsSection);
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
        written &= WritePrivateProfileStringW(section.c_str(), WideText(key.name).c_str(), WideText(value).c_str(),
                                              file.c_str()) != FALSE;
    }
    return written;
}

static bool FileIsReadable(const char *path)
{
    HANDLE file = CreateFileW(WideText(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
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
        ShowMessage(nullptr, PathTooLongText, MB_OK | MB_ICONERROR);
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
        ShowMessage(MainWindow, PathTooLongText, MB_OK | MB_ICONERROR);
        return;
    }
    if (WriteSettingsFile(path)) {
        NoteEvent("Settings saved to %s", path);
        ShowMessage(MainWindow, SavedText, MB_OK | MB_ICONINFORMATION);
    } else {
        NoteEvent("Settings could not be saved to %s", path);
        ShowMessage(MainWindow, SaveFailedText, MB_OK | MB_ICONERROR);
    }
}
