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
#include "../app/app.h"

#include <winsock2.h>
#include <cstdio>
#include <cstring>

SettingsRecord Settings;    // written on the user-interface thread only

static const char SettingsSection[] = "DATA";
static const char SettingsFileName[] = "\\Quillmar.ini";
constexpr uint16_t DefaultPort = 9001;
static const char DefaultIpText[] = "192.168.0.1";
// Room for the text of one value: a number or a dotted address.
constexpr int ValueTextCapacity = 32;
// What a key that is missing from an existing file reads as.
static const char MissingAddressText[] = "0";

static const char SavedText[] = "設定データを保存しました。";
static const char SaveFailedText[] = "設定データを保存できませんでした。";
static const char PathTooLongText[] =
    "Quillmar.ini のパスが255文字を超えるため、設定ファイルを使えません。"
    "初期設定で動作し、設定は保存できません。";

int ModulePath(int size, char *buffer)
{
    DWORD length = GetModuleFileNameA(nullptr, buffer, size);
    // A full buffer means the name was cut: a directory taken from it would
    // name some other folder.
    if (length == 0 || length >= static_cast<DWORD>(size)) {
        buffer[0] = '\0';
        return 1;
    }
    char *lastSlash = strrchr(buffer, '\\');
    if (lastSlash != nullptr)
        *lastSlash = '\0';
    return 0;
}

bool SettingsPathInDirectory(const char *directory, char *path, size_t capacity)
{
    size_t directoryLength = strlen(directory);
    if (directoryLength + sizeof SettingsFileName > capacity)
        return false;
    memcpy(path, directory, directoryLength);
    memcpy(path + directoryLength, SettingsFileName, sizeof SettingsFileName);
    return true;
}

static bool SettingsFilePath(char (&path)[SettingsPathCapacity])
{
    char directory[SettingsPathCapacity] = {};
    if (ModulePath(sizeof directory, directory) != 0)
        return false;
    return SettingsPathInDirectory(directory, path, sizeof path);
}

void FormatAddress(uint32_t address, char *text, size_t capacity)
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
    if (strcmp(text, MissingAddressText) == 0)
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
    Settings.COM = 0;
    Settings.BPS = 9600;
    Settings.BIT = 8;
    Settings.PARI = 0;
    Settings.STOP = 0;
    Settings.FLOW = 0;
    Settings.RATE = 5;
    Settings.PORT = DefaultPort;
    Settings.SPORT = DefaultPort;
    memcpy(Settings.IP, DefaultIpText, sizeof DefaultIpText);
    Settings.DTUPTIME = 5;
    Settings.PERMISSIP1 = 0;
    Settings.PERMISSIP2 = 0;
    Settings.PERMISSIP3 = 0;
    Settings.CONNECT = 0;
    Settings.DT = 0;
    Settings.DTRSLAN = 0;
    Settings.DTLANRS = 0;
    Settings.MODE = 1;
}

// A missing key, or one whose value is no number, reads 0.
static int32_t ReadNumber(const char *key, const char *path)
{
    return static_cast<int32_t>(GetPrivateProfileIntA(SettingsSection, key, 0, path));
}

static uint32_t ReadAddress(const char *key, const char *path)
{
    char text[IpTextCapacity] = {};
    GetPrivateProfileStringA(SettingsSection, key, MissingAddressText, text, sizeof text, path);
    return DottedAddress(text);
}

void ReadSettingsFile(const char *path)
{
    Settings.COM = ReadNumber("COM", path);
    Settings.BPS = ReadNumber("BPS", path);
    Settings.BIT = static_cast<uint8_t>(ReadNumber("BIT", path));
    Settings.PARI = static_cast<uint8_t>(ReadNumber("PARI", path));
    Settings.STOP = static_cast<uint8_t>(ReadNumber("STOP", path));
    Settings.FLOW = ReadNumber("FLOW", path);
    Settings.RATE = ReadNumber("RATE", path);
    Settings.SPORT = static_cast<uint16_t>(ReadNumber("SPORT", path));
    Settings.PORT = static_cast<uint16_t>(ReadNumber("PORT", path));
    memset(Settings.IP, 0, sizeof Settings.IP);
    GetPrivateProfileStringA(SettingsSection, "IP", MissingAddressText, Settings.IP,
                             sizeof Settings.IP, path);
    Settings.MODE = ReadNumber("MODE", path);
    Settings.PERMISSIP1 = ReadAddress("PERMISSIP1", path);
    Settings.PERMISSIP2 = ReadAddress("PERMISSIP2", path);
    Settings.PERMISSIP3 = ReadAddress("PERMISSIP3", path);
    Settings.CONNECT = ReadNumber("CONNECT", path);
    Settings.DT = ReadNumber("DT", path);
    Settings.DTRSLAN = ReadNumber("DTRSLAN", path);
    Settings.DTLANRS = ReadNumber("DTLANRS", path);
    Settings.DTUPTIME = ReadNumber("DTUPTIME", path);
}

static bool WriteText(const char *key, const char *text, const char *path)
{
    return WritePrivateProfileStringA(SettingsSection, key, text, path) != FALSE;
}

static bool WriteNumber(const char *key, long value, const char *path)
{
    char text[ValueTextCapacity] = {};
    snprintf(text, sizeof text, "%ld", value);
    return WriteText(key, text, path);
}

static bool WriteAddress(const char *key, uint32_t address, const char *path)
{
    char text[ValueTextCapacity] = {};
    FormatAddress(address, text, sizeof text);
    return WriteText(key, text, path);
}

bool WriteSettingsFile(const char *path)
{
    // Every key is written even after a failure, so that as much as possible
    // reaches the file; the caller only learns whether all of it did.
    bool written = true;
    written &= WriteNumber("COM", Settings.COM, path);
    written &= WriteNumber("BPS", Settings.BPS, path);
    written &= WriteNumber("BIT", Settings.BIT, path);
    written &= WriteNumber("PARI", Settings.PARI, path);
    written &= WriteNumber("STOP", Settings.STOP, path);
    written &= WriteNumber("FLOW", Settings.FLOW, path);
    written &= WriteNumber("RATE", Settings.RATE, path);
    written &= WriteNumber("SPORT", Settings.SPORT, path);
    written &= WriteNumber("PORT", Settings.PORT, path);
    written &= WriteText("IP", Settings.IP, path);
    written &= WriteNumber("MODE", Settings.MODE, path);
    written &= WriteAddress("PERMISSIP1", Settings.PERMISSIP1, path);
    written &= WriteAddress("PERMISSIP2", Settings.PERMISSIP2, path);
    written &= WriteAddress("PERMISSIP3", Settings.PERMISSIP3, path);
    written &= WriteNumber("CONNECT", Settings.CONNECT, path);
    written &= WriteNumber("DT", Settings.DT, path);
    written &= WriteNumber("DTRSLAN", Settings.DTRSLAN, path);
    written &= WriteNumber("DTLANRS", Settings.DTLANRS, path);
    written &= WriteNumber("DTUPTIME", Settings.DTUPTIME, path);
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
