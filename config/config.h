// Configuration: the settings record and its file Quillmar.ini beside the
// executable, the number fields of the settings dialogs, the option dialog
// and the start-up shortcut.
#pragma once

#include <windows.h>
#include <atomic>
#include <cstddef>
#include <cstdint>

// The settings path, directory and file name together, must fit this buffer.
constexpr int SettingsPathCapacity = 256;
// The client's destination address text, terminator included.
constexpr int IpTextCapacity = 20;

// One field per key of the settings file, named as the key. Only the
// user-interface thread writes the record (LoadSettings and the settings
// dialogs); the data threads and the clock read single fields while it
// runs, so every number is atomic. IP is used on the user-interface thread
// alone.
struct SettingsRecord {
    std::atomic<int32_t> COM;
    std::atomic<int32_t> BPS;
    std::atomic<uint8_t> BIT;
    std::atomic<uint8_t> PARI;
    std::atomic<uint8_t> STOP;
    std::atomic<int32_t> FLOW;
    std::atomic<int32_t> RATE;
    std::atomic<uint16_t> SPORT;
    std::atomic<uint16_t> PORT;
    char IP[IpTextCapacity];
    std::atomic<int32_t> MODE;
    std::atomic<uint32_t> PERMISSIP1;   // IPv4 addresses in network byte order, 0 = empty slot
    std::atomic<uint32_t> PERMISSIP2;
    std::atomic<uint32_t> PERMISSIP3;
    std::atomic<int32_t> CONNECT;
    std::atomic<int32_t> DT;
    std::atomic<int32_t> DTRSLAN;
    std::atomic<int32_t> DTLANRS;
    std::atomic<int32_t> DTUPTIME;
};

extern SettingsRecord Settings;

// Directory of the running executable, without a trailing backslash.
// Returns 0, or 1 when the path does not fit in size bytes (buffer is then
// empty).
int ModulePath(int size, char *buffer);

// Fills Settings from Quillmar.ini, or with the built-in defaults when there
// is no readable file. Returns 0.
int LoadSettings();

// Writes every field to Quillmar.ini and tells the user how that went.
void SaveSettings();

// The pieces of the two above, for callers that name the file themselves.
void SetDefaultSettings();
void ReadSettingsFile(const char *path);
bool WriteSettingsFile(const char *path);       // false when any key could not be written
bool SettingsPathInDirectory(const char *directory, char *path, size_t capacity);
void FormatAddress(uint32_t address, char *text, size_t capacity);
// An address text of the settings (IP, PERMISSIP1..3) in network byte order:
// four decimal numbers 0..255, leading zeros still decimal; "0" alone, what a
// missing key reads, is 0, an empty slot. Anything else is INADDR_NONE
// (255.255.255.255), which no peer has: a slot that refuses everyone.
uint32_t DottedAddress(const char *text);

// The serial settings dialog.
INT_PTR CALLBACK SerialDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// Position of value in a list of values, or -1 when it is not there.
int SerialListIndex(const int32_t *values, int count, int32_t value);

// The number fields of the settings dialogs. A field holds a number only
// when its whole text is decimal digits (blanks around them allowed) giving a
// value from lowest to highest; an empty field, a sign, any other character
// or a value out of range is refused.
bool ParseDecimalInRange(const char *text, int32_t lowest, int32_t highest, int32_t *value);
bool ReadNumberField(HWND dialog, int control, int32_t lowest, int32_t highest, int32_t *value);

// The option dialog: automatic connection, the rate period and the time tags.
constexpr int32_t RateLowest = 1;
constexpr int32_t RateHighest = 60;
constexpr int32_t TagTimeoutLowest = 1;
constexpr int32_t TagTimeoutHighest = 3600;
INT_PTR CALLBACK OptionDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// The start-up shortcut. Paths are in the process code page and, like the
// settings path, at most 255 characters.
constexpr int LinkPathCapacity = 256;
bool LinkPathInFolder(const char *folder, char *path, size_t capacity);
// Creates or replaces the shell link at link so that it points to target.
// Returns 1 on success, 0 on any failure; COM is left as it was found.
int CreateShellLink(const char *target, const char *link);
// Places the shortcut to the running program in the user's Startup folder and
// tells the user, in a box owned by owner, how that went.
void RegisterStartupShortcut(HWND owner);
