// Configuration: the settings record, the table of its keys, and its file
// Quillmar.ini beside the executable. Below everything but util/ and shell/:
// every folder reads the record; the dialogs that change it are in dialogs/.
#pragma once

#include <windows.h>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

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
    std::atomic<int32_t> RFC2217;       // 1: the connection speaks RFC 2217, 0: raw bytes; read as one starts
    std::atomic<int32_t> EVENTLOG;      // 0: no event history; anything else keeps it; read at start
    std::atomic<int32_t> MAXPEER;       // server: peers served at once, 0 or 1 one; read as a server starts
    std::atomic<int32_t> KICKOLD;       // server: 1, a newcomer replaces a peer when every slot is taken
};

extern SettingsRecord Settings;

// The most peers a server serves at once (MAXPEER).
constexpr int32_t MaxPeers = 8;

// Where a key's value lives in Settings. A number or an address is loaded
// and stored through the field's own width (a wider value is cut to it, as a
// cast does); the text key has its buffer of IpTextCapacity bytes instead.
struct SettingField {
    int64_t (*load)() = nullptr;
    void (*store)(int64_t value) = nullptr;
    char *text = nullptr;
};

template <auto Member>
constexpr SettingField FieldOf()
{
    using Field = std::remove_reference_t<decltype(Settings.*Member)>;
    if constexpr (std::is_array_v<Field>) {
        static_assert(sizeof(Field) == IpTextCapacity);
        return {.text = Settings.*Member};
    } else {
        return {.load = [] { return static_cast<int64_t>((Settings.*Member).load()); },
                .store = [](int64_t value) { Settings.*Member = static_cast<typename Field::value_type>(value); }};
    }
}

enum class SettingKind {
    Number,     // decimal in the file; a missing key or no number reads 0
    Address,    // dotted in the file, network byte order in the record
    Text,       // kept as it is; a missing key reads "0"
};

// What a settings dialog's number field for a key takes, and what it says
// to anything else.
struct SettingCheck {
    int32_t lowest = 0;
    int32_t highest = 0;
    const char *refusal = nullptr;      // none: no dialog checks the key
};

struct SettingKey {
    const char *name;
    SettingKind kind;
    SettingField field;
    int64_t defaultValue = 0;           // Number and Address keys
    const char *defaultText = nullptr;  // the Text key
    SettingCheck check = {};
    int64_t missingValue = 0;           // a Number key missing from an existing file
};

// The keys of section [DATA], in the order SAVE adds them to a new file.
// Defaults, reading, writing and the dialogs' checks all come from here.
inline constexpr SettingKey SettingKeys[] = {
    {"COM", SettingKind::Number, FieldOf<&SettingsRecord::COM>(), 0},
    {"BPS", SettingKind::Number, FieldOf<&SettingsRecord::BPS>(), 9600},
    {"BIT", SettingKind::Number, FieldOf<&SettingsRecord::BIT>(), 8},
    {"PARI", SettingKind::Number, FieldOf<&SettingsRecord::PARI>(), 0},
    {"STOP", SettingKind::Number, FieldOf<&SettingsRecord::STOP>(), 0},
    {"FLOW", SettingKind::Number, FieldOf<&SettingsRecord::FLOW>(), 0},
    {"RATE", SettingKind::Number, FieldOf<&SettingsRecord::RATE>(), 5, nullptr,
     {1, 60, "転送Rateが不正です。1～60を入力してください。"}},
    {"SPORT", SettingKind::Number, FieldOf<&SettingsRecord::SPORT>(), 9001, nullptr,
     {1, 65535, "待ち受けポートが不正です。1～65535を入力してください。"}},
    {"PORT", SettingKind::Number, FieldOf<&SettingsRecord::PORT>(), 9001, nullptr,
     {1, 65535, "接続先ポートが不正です。1～65535を入力してください。"}},
    {"IP", SettingKind::Text, FieldOf<&SettingsRecord::IP>(), 0, "192.168.0.1"},
    {"MODE", SettingKind::Number, FieldOf<&SettingsRecord::MODE>(), 1},
    {"PERMISSIP1", SettingKind::Address, FieldOf<&SettingsRecord::PERMISSIP1>(), 0},
    {"PERMISSIP2", SettingKind::Address, FieldOf<&SettingsRecord::PERMISSIP2>(), 0},
    {"PERMISSIP3", SettingKind::Address, FieldOf<&SettingsRecord::PERMISSIP3>(), 0},
    {"CONNECT", SettingKind::Number, FieldOf<&SettingsRecord::CONNECT>(), 0},
    {"DT", SettingKind::Number, FieldOf<&SettingsRecord::DT>(), 0},
    {"DTRSLAN", SettingKind::Number, FieldOf<&SettingsRecord::DTRSLAN>(), 0},
    {"DTLANRS", SettingKind::Number, FieldOf<&SettingsRecord::DTLANRS>(), 0},
    {"DTUPTIME", SettingKind::Number, FieldOf<&SettingsRecord::DTUPTIME>(), 5, nullptr,
     {1, 3600, "通信付加までのタイムアウトが不正です。1～3600を入力してください。"}},
    // Added last: a new file lists the keys above in the order it always had.
    {"RFC2217", SettingKind::Number, FieldOf<&SettingsRecord::RFC2217>(), 0},
    // On unless a file says 0: a file saved before it existed keeps the history.
    {"EVENTLOG", SettingKind::Number, FieldOf<&SettingsRecord::EVENTLOG>(), 1, nullptr, {}, 1},
    {"MAXPEER", SettingKind::Number, FieldOf<&SettingsRecord::MAXPEER>(), 0, nullptr,
     {0, MaxPeers, "同時接続数が不正です。0～8を入力してください。"}},
    {"KICKOLD", SettingKind::Number, FieldOf<&SettingsRecord::KICKOLD>(), 0},
};

// The row of a key; a name that is not in the table does not compile.
consteval const SettingKey &SettingKeyNamed(std::string_view name)
{
    for (const SettingKey &key : SettingKeys)
        if (name == key.name)
            return key;
    throw "no such settings key";
}

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
// An address in network byte order as dotted text, first octet first:
// "255.255.255.255" at most, 16 bytes with the terminator.
void FormatDottedAddress(uint32_t address, char *text, size_t capacity);
// An address text of the settings (IP, PERMISSIP1..3) in network byte order:
// four decimal numbers 0..255, leading zeros still decimal; "0" alone, what a
// missing key reads, is 0, an empty slot. Anything else is INADDR_NONE
// (255.255.255.255), which no peer has: a slot that refuses everyone.
uint32_t DottedAddress(const char *text);
