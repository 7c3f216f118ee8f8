// The settings record and Quillmar.ini: defaults, the file layout SAVE
// writes, update in place, the encodings and what odd files load as.
#include "config/config.h"
#include "dialogs/dialogs.h"
#include "test_files.h"
#include "util/util.h"

#include <winsock2.h>
#include <cstring>
#include <random>

namespace {

const char DefaultFile[] =
    "[DATA]\r\n"
    "COM=0\r\nBPS=9600\r\nBIT=8\r\nPARI=0\r\nSTOP=0\r\nFLOW=0\r\nRATE=5\r\n"
    "SPORT=9001\r\nPORT=9001\r\nIP=192.168.0.1\r\nMODE=1\r\n"
    "PERMISSIP1=0.0.0.0\r\nPERMISSIP2=0.0.0.0\r\nPERMISSIP3=0.0.0.0\r\n"
    "CONNECT=0\r\nDT=0\r\nDTRSLAN=0\r\nDTLANRS=0\r\nDTUPTIME=5\r\nRFC2217=0\r\nEVENTLOG=1\r\n"
    "MAXPEER=0\r\nKICKOLD=0\r\n";

// Every field set to a value no other test uses, so that a field the reader
// skipped shows.
void FillWithJunk()
{
    for (const SettingKey &key : SettingKeys) {
        if (key.kind == SettingKind::Text)
            strcpy(key.field.text, "77");
        else
            key.field.store(77);
    }
}

// What SAVE writes for the record, as the file text.
std::string SavedText()
{
    ScratchFolder folder;
    EXPECT_TRUE(WriteSettingsFile(folder.File("Quillmar.ini").c_str()));
    return ReadBytes(folder.File("Quillmar.ini"));
}

std::string ExeDirectory()
{
    char directory[SettingsPathCapacity] = {};
    EXPECT_EQ(ModulePath(sizeof directory, directory), 0);
    return directory;
}

TEST(SettingsFile, NoFileGivesTheDefaultsAndCreatesNoFile)
{
    std::string path = ExeDirectory() + "\\Quillmar.ini";
    DeleteFileA(path.c_str());
    FillWithJunk();
    EXPECT_EQ(LoadSettings(), 0);
    EXPECT_FALSE(FileExists(path));
    EXPECT_EQ(SavedText(), DefaultFile);
}

TEST(SettingsFile, LoadReadsTheFileBesideTheExecutable)
{
    std::string path = ExeDirectory() + "\\Quillmar.ini";
    WriteBytes(path, "[DATA]\r\nBPS=19200\r\n");
    EXPECT_EQ(LoadSettings(), 0);
    DeleteFileA(path.c_str());
    EXPECT_EQ(Settings.BPS, 19200);
    EXPECT_EQ(Settings.RATE, 0) << "a key missing from an existing file reads 0, not its default";
}

TEST(SettingsFile, SavingTheDefaultsToANewFileWritesEveryKeyInOrder)
{
    ScratchFolder folder;
    SetDefaultSettings();
    ASSERT_TRUE(WriteSettingsFile(folder.File("Quillmar.ini").c_str()));
    EXPECT_EQ(ReadBytes(folder.File("Quillmar.ini")), DefaultFile);
}

// Set by field name and checked as the file text: a key mapped to the wrong
// field, or read at the wrong width, shows.
TEST(SettingsFile, SavedValuesLoadBackUnchanged)
{
    ScratchFolder folder;
    std::string path = folder.File("Quillmar.ini");
    Settings.COM = 3;
    Settings.BPS = 460800;
    Settings.BIT = 7;
    Settings.PARI = 2;
    Settings.STOP = 1;
    Settings.FLOW = 4;
    Settings.RATE = 60;
    Settings.SPORT = 65535;
    Settings.PORT = 50000;
    strcpy(Settings.IP, "10.0.0.007");
    Settings.MODE = 0;
    Settings.PERMISSIP1 = inet_addr("192.168.0.5");
    Settings.PERMISSIP2 = 0;
    Settings.PERMISSIP3 = inet_addr("255.255.255.254");
    Settings.CONNECT = 1;
    Settings.DT = 1;
    Settings.DTRSLAN = 1;
    Settings.DTLANRS = 0;
    Settings.DTUPTIME = 3600;
    Settings.RFC2217 = 1;
    Settings.EVENTLOG = 0;
    Settings.MAXPEER = 8;
    Settings.KICKOLD = 1;
    const char saved[] =
        "[DATA]\r\n"
        "COM=3\r\nBPS=460800\r\nBIT=7\r\nPARI=2\r\nSTOP=1\r\nFLOW=4\r\nRATE=60\r\n"
        "SPORT=65535\r\nPORT=50000\r\nIP=10.0.0.007\r\nMODE=0\r\n"
        "PERMISSIP1=192.168.0.5\r\nPERMISSIP2=0.0.0.0\r\nPERMISSIP3=255.255.255.254\r\n"
        "CONNECT=1\r\nDT=1\r\nDTRSLAN=1\r\nDTLANRS=0\r\nDTUPTIME=3600\r\nRFC2217=1\r\nEVENTLOG=0\r\n"
        "MAXPEER=8\r\nKICKOLD=1\r\n";
    ASSERT_TRUE(WriteSettingsFile(path.c_str()));
    EXPECT_EQ(ReadBytes(path), saved) << "IP is written as it is stored";

    FillWithJunk();
    ReadSettingsFile(path.c_str());
    EXPECT_EQ(SavedText(), saved);
}

TEST(SettingsFile, SavingUpdatesAnExistingFileInPlace)
{
    ScratchFolder folder;
    std::string path = folder.File("Quillmar.ini");
    WriteBytes(path,
               "; kept by hand\r\n"
               "[OTHER]\r\nBPS=1\r\n"
               "[DATA]\r\nDTUPTIME=1\r\nNOTE=mine\r\nCOM=5\r\n"
               "[LAST]\r\nkey=value\r\n");
    SetDefaultSettings();
    ASSERT_TRUE(WriteSettingsFile(path.c_str()));
    EXPECT_EQ(ReadBytes(path),
              "; kept by hand\r\n"
              "[OTHER]\r\nBPS=1\r\n"
              "[DATA]\r\nDTUPTIME=5\r\nNOTE=mine\r\nCOM=0\r\n"
              "BPS=9600\r\nBIT=8\r\nPARI=0\r\nSTOP=0\r\nFLOW=0\r\nRATE=5\r\n"
              "SPORT=9001\r\nPORT=9001\r\nIP=192.168.0.1\r\nMODE=1\r\n"
              "PERMISSIP1=0.0.0.0\r\nPERMISSIP2=0.0.0.0\r\nPERMISSIP3=0.0.0.0\r\n"
              "CONNECT=0\r\nDT=0\r\nDTRSLAN=0\r\nDTLANRS=0\r\nRFC2217=0\r\nEVENTLOG=1\r\n"
              "MAXPEER=0\r\nKICKOLD=0\r\n"
              "[LAST]\r\nkey=value\r\n");
}

// A file saved before RFC2217 and EVENTLOG existed: they read 0 (raw) and 1
// (the history kept), and SAVE adds them after the nineteen lines, which
// keep their bytes. One saved before MAXPEER and KICKOLD: one peer, nobody
// replaced.
TEST(SettingsFile, AFileWithoutTheNewerKeysGainsThemLast)
{
    ScratchFolder folder;
    std::string path = folder.File("Quillmar.ini");
    for (std::string newer :
         {"RFC2217=0\r\nEVENTLOG=1\r\nMAXPEER=0\r\nKICKOLD=0\r\n", "MAXPEER=0\r\nKICKOLD=0\r\n"}) {
        SCOPED_TRACE(newer);
        std::string before(DefaultFile, strlen(DefaultFile) - newer.size());
        WriteBytes(path, before);
        FillWithJunk();
        ReadSettingsFile(path.c_str());
        EXPECT_EQ(Settings.RFC2217, 0);
        EXPECT_EQ(Settings.EVENTLOG, 1);
        EXPECT_EQ(Settings.MAXPEER, 0);
        EXPECT_EQ(Settings.KICKOLD, 0);
        ASSERT_TRUE(WriteSettingsFile(path.c_str()));
        EXPECT_EQ(ReadBytes(path), before + newer);
    }
}

TEST(SettingsFile, NumbersAreCutToTheWidthOfTheirField)
{
    ScratchFolder folder;
    std::string path = folder.File("Quillmar.ini");
    WriteBytes(path, "[DATA]\r\nBIT=264\r\nPARI=257\r\nSTOP=-1\r\nSPORT=70000\r\nPORT=65536\r\n"
                     "BPS=-9600\r\nRATE=2147483647\r\n");
    ReadSettingsFile(path.c_str());
    EXPECT_EQ(Settings.BIT, 8);
    EXPECT_EQ(Settings.PARI, 1);
    EXPECT_EQ(Settings.STOP, 255);
    EXPECT_EQ(Settings.SPORT, 4464);
    EXPECT_EQ(Settings.PORT, 0);
    EXPECT_EQ(Settings.BPS, -9600);
    EXPECT_EQ(Settings.RATE, 2147483647);
}

TEST(SettingsFile, IpIsCutToNineteenCharacters)
{
    ScratchFolder folder;
    std::string path = folder.File("Quillmar.ini");
    WriteBytes(path, "[DATA]\r\nIP=123.123.123.123456789012345\r\n");
    ReadSettingsFile(path.c_str());
    EXPECT_STREQ(Settings.IP, "123.123.123.1234567");
}

TEST(SettingsFile, MissingOrNonNumericKeysReadZero)
{
    ScratchFolder folder;
    std::string path = folder.File("Quillmar.ini");
    WriteBytes(path, "[DATA]\r\nBPS=fast\r\nRATE=\r\nFLOW=x3\r\n");
    FillWithJunk();
    ReadSettingsFile(path.c_str());
    for (const SettingKey &key : SettingKeys) {
        if (key.kind == SettingKind::Text)
            EXPECT_STREQ(key.field.text, "0") << key.name;
        else
            EXPECT_EQ(key.field.load(), key.missingValue) << key.name;
    }
    EXPECT_EQ(Settings.MODE, 0) << "a missing MODE means server mode";
    EXPECT_EQ(Settings.EVENTLOG, 1) << "the history stays on unless the file says 0";
}

TEST(SettingsFile, KeysAndSectionMatchInAnyLetterCase)
{
    ScratchFolder folder;
    std::string path = folder.File("Quillmar.ini");
    WriteBytes(path, "[data]\r\nbps=4800\r\nDtUpTime=9\r\nip=10.1.1.1\r\npermissip2=10.2.2.2\r\n");
    ReadSettingsFile(path.c_str());
    EXPECT_EQ(Settings.BPS, 4800);
    EXPECT_EQ(Settings.DTUPTIME, 9);
    EXPECT_STREQ(Settings.IP, "10.1.1.1");
    EXPECT_EQ(Settings.PERMISSIP2, inet_addr("10.2.2.2"));
}

TEST(SettingsFile, PermittedAddressesRoundTripAsDottedText)
{
    ScratchFolder folder;
    std::string path = folder.File("Quillmar.ini");
    WriteBytes(path, "[DATA]\r\nPERMISSIP1=127.0.0.1\r\nPERMISSIP2=0\r\nPERMISSIP3=no.such.host\r\n");
    ReadSettingsFile(path.c_str());
    EXPECT_EQ(Settings.PERMISSIP1, inet_addr("127.0.0.1"));
    EXPECT_EQ(Settings.PERMISSIP2, 0u);
    EXPECT_EQ(Settings.PERMISSIP3, 0xFFFFFFFFu) << "text that is no address reads 255.255.255.255";
    ASSERT_TRUE(WriteSettingsFile(path.c_str()));
    std::string text = ReadBytes(path);
    EXPECT_NE(text.find("PERMISSIP1=127.0.0.1\r\n"), std::string::npos);
    EXPECT_NE(text.find("PERMISSIP2=0.0.0.0\r\n"), std::string::npos);
    EXPECT_NE(text.find("PERMISSIP3=255.255.255.255\r\n"), std::string::npos);
}

// Four decimal numbers, leading zeros decimal too: inet_addr would take
// 192.168.001.010 for 192.168.1.8. What is no such address keeps the
// meaning it had: a slot that refuses everyone.
TEST(SettingsFile, AddressesAreFourDecimalNumbers)
{
    EXPECT_EQ(DottedAddress("192.168.001.010"), inet_addr("192.168.1.10"));
    EXPECT_EQ(DottedAddress("010.000.000.007"), inet_addr("10.0.0.7"));
    EXPECT_EQ(DottedAddress("255.255.255.254"), inet_addr("255.255.255.254"));
    EXPECT_EQ(DottedAddress("0"), 0u);
    EXPECT_EQ(DottedAddress("0.0.0.0"), 0u);
    for (const char *junk : {"", "192.168.1", "1.2.3.4.5", "256.1.1.1", "0x7f.0.0.1", "1.2.3.4 ", " 1.2.3.4",
                             "1..2.3", "1.2.3.", "-1.2.3.4", "no.such.host"})
        EXPECT_EQ(DottedAddress(junk), INADDR_NONE) << junk;
}

TEST(SettingsFile, AddressesAreWrittenFirstOctetFirst)
{
    char text[16];
    for (const char *address : {"192.168.0.20", "0.0.0.0", "10.0.0.7", "10.0.200.7", "255.255.255.255"}) {
        FormatDottedAddress(inet_addr(address), text, sizeof text);
        EXPECT_STREQ(text, address);
    }
}

// What the dialogs and the file rely on in the table itself.
TEST(SettingsTable, HasEachKeyOnceAndEachCheckSaysItsRange)
{
    EXPECT_EQ(std::size(SettingKeys), 23u);
    for (const SettingKey &key : SettingKeys) {
        SCOPED_TRACE(key.name);
        int named = 0;
        for (const SettingKey &other : SettingKeys)
            named += _stricmp(key.name, other.name) == 0;
        EXPECT_EQ(named, 1) << "names match in any letter case";
        EXPECT_EQ(key.kind == SettingKind::Text, key.field.text != nullptr);
        if (key.check.refusal == nullptr)
            continue;
        std::string range = std::to_string(key.check.lowest) + "～" + std::to_string(key.check.highest);
        EXPECT_NE(std::string(key.check.refusal).find(range), std::string::npos) << key.check.refusal;
        EXPECT_GE(key.defaultValue, key.check.lowest);
        EXPECT_LE(key.defaultValue, key.check.highest);
        key.field.store(key.check.highest);
        EXPECT_EQ(key.field.load(), key.check.highest) << "the range fits the field";
    }
}

// Files a user or a disk fault might leave: none of them may crash the load
// or overrun a field.
TEST(SettingsFile, JunkFilesLoadWithoutHarm)
{
    ScratchFolder folder;
    std::string path = folder.File("Quillmar.ini");
    std::mt19937 random(20261207);
    std::string binary(64 * 1024, '\0');
    for (char &c : binary)
        c = static_cast<char>(random());
    std::string longLine(100 * 1024, 'A');

    const std::pair<const char *, std::string> files[] = {
        {"binary bytes", binary},
        {"binary after the section", "[DATA]\r\n" + binary},
        {"a 100 KB value", "[DATA]\r\nIP=" + longLine + "\r\nBPS=" + longLine + "\r\n"},
        {"a 100 KB key", "[DATA]\r\n" + longLine + "=1\r\nBPS=1200\r\n"},
        {"a 100 KB section name", "[" + longLine + "]\r\nBPS=1\r\n[DATA]\r\nBPS=2400\r\n"},
        {"no section", "BPS=9600\r\nIP=1.2.3.4\r\n"},
        {"no line ends", "[DATA]BPS=9600IP=1.2.3.4"},
        {"duplicate keys", "[DATA]\r\nBPS=300\r\nBPS=600\r\n[DATA]\r\nBPS=1200\r\n"},
        {"empty", ""},
        {"a UTF-16 mark and junk", std::string("\xFF\xFE", 2) + binary},
        {"a UTF-8 mark", "\xEF\xBB\xBF[DATA]\r\nBPS=4800\r\n"},
    };
    for (const auto &[what, content] : files) {
        SCOPED_TRACE(what);
        WriteBytes(path, content);
        FillWithJunk();
        ReadSettingsFile(path.c_str());
        EXPECT_LT(strlen(Settings.IP), static_cast<size_t>(IpTextCapacity));
    }

    WriteBytes(path, "[DATA]\r\nIP=" + longLine + "\r\n");
    ReadSettingsFile(path.c_str());
    EXPECT_EQ(std::string(Settings.IP), std::string(19, 'A'));
    WriteBytes(path, "[DATA]\r\nBPS=300\r\nBPS=600\r\n");
    ReadSettingsFile(path.c_str());
    EXPECT_EQ(Settings.BPS, 300) << "the first of duplicate keys counts";
    WriteBytes(path, "BPS=9600\r\n");
    ReadSettingsFile(path.c_str());
    EXPECT_EQ(Settings.BPS, 0) << "keys outside [DATA] are not ours";
}

TEST(SettingsFile, IsFoundInAFolderNamedOutsideTheCodePage)
{
    ScratchFolder folder(L"-設定");
    std::string path = folder.Utf8File("Quillmar.ini");
    SetDefaultSettings();
    ASSERT_TRUE(WriteSettingsFile(path.c_str()));
    FillWithJunk();
    ReadSettingsFile(path.c_str());
    EXPECT_EQ(SavedText(), DefaultFile);
}

TEST(SettingsFile, AFileThatCannotBeWrittenIsReported)
{
    ScratchFolder folder;
    std::string path = folder.File("Quillmar.ini");
    CreateDirectoryA(path.c_str(), nullptr);    // a folder in the file's place
    SetDefaultSettings();
    EXPECT_FALSE(WriteSettingsFile(path.c_str()));
    EXPECT_FALSE(WriteSettingsFile(folder.File("no-such-folder\\Quillmar.ini").c_str()));
}

TEST(SettingsPath, IsTheExecutableFolderWithoutTrailingBackslash)
{
    char exe[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, exe, sizeof exe);
    std::string directory = ExeDirectory();
    EXPECT_EQ(directory + "\\quillmar_unit.exe", std::string(exe));
    char small[8] = "junk";
    EXPECT_EQ(ModulePath(sizeof small, small), 1) << "a cut path is refused";
    EXPECT_STREQ(small, "");
}

TEST(SettingsPath, MustFitInTwoHundredFiftyFiveCharacters)
{
    char path[SettingsPathCapacity];
    std::string fits(SettingsPathCapacity - 1 - strlen("\\Quillmar.ini"), 'd');
    ASSERT_TRUE(SettingsPathInDirectory(fits.c_str(), path, sizeof path));
    EXPECT_EQ(strlen(path), 255u);
    EXPECT_EQ(std::string(path), fits + "\\Quillmar.ini");
    std::string tooLong = fits + "d";
    EXPECT_FALSE(SettingsPathInDirectory(tooLong.c_str(), path, sizeof path));
}

}  // namespace
