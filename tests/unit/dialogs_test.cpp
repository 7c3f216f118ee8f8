// What the settings dialogs and the About box do without a window: the
// number fields' checks, the serial dialog's line check and port list, the
// paths of the shortcut and the help file and page, the choice between
// WinHelp and the page, and the shell link itself.
#include "about/about.h"
#include "config/config.h"
#include "dialogs/dialogs.h"
#include "serial/serial.h"
#include "test_files.h"
#include "util/util.h"

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <string>
#include <utility>
#include <vector>

namespace {

// The DCB's rule; values outside the dialog's lists are the driver's to judge.
TEST(SerialLine, RefusesOnlyTheCombinationsTheDriverRefuses)
{
    for (int32_t bits = 5; bits <= 8; ++bits) {
        EXPECT_TRUE(SerialLineAccepted(bits, ONESTOPBIT)) << bits;
        EXPECT_EQ(SerialLineAccepted(bits, ONE5STOPBITS), bits == 5) << bits;
        EXPECT_EQ(SerialLineAccepted(bits, TWOSTOPBITS), bits != 5) << bits;
    }
    EXPECT_TRUE(SerialLineAccepted(9, ONE5STOPBITS));
    EXPECT_TRUE(SerialLineAccepted(4, TWOSTOPBITS));
    EXPECT_TRUE(SerialLineAccepted(5, 5));
}

TEST(NumberField, TakesAWholeDecimalNumberInRange)
{
    int32_t value = -1;
    EXPECT_TRUE(ParseDecimalInRange("1", 1, 60, &value));
    EXPECT_EQ(value, 1);
    EXPECT_TRUE(ParseDecimalInRange("60", 1, 60, &value));
    EXPECT_EQ(value, 60);
    EXPECT_TRUE(ParseDecimalInRange("  30\t ", 1, 60, &value)) << "blanks around the number";
    EXPECT_EQ(value, 30);
    EXPECT_TRUE(ParseDecimalInRange("0007", 1, 60, &value));
    EXPECT_EQ(value, 7);
    EXPECT_TRUE(ParseDecimalInRange("3600", 1, 3600, &value));
    EXPECT_EQ(value, 3600);
}

TEST(NumberField, RefusesAnythingElseAndLeavesTheValueAlone)
{
    const char *const refused[] = {
        "", "   ", "0", "61", "-5", "-0", "+5", "abc", "12ab", "1 2", "5.0", "0x10",
        "99999999999999999999999", "4294967297", "\xEF\xBC\x96\xEF\xBC\x90" /* full-width 60 */,
    };
    for (const char *text : refused) {
        int32_t value = 42;
        EXPECT_FALSE(ParseDecimalInRange(text, 1, 60, &value)) << '"' << text << '"';
        EXPECT_EQ(value, 42) << '"' << text << '"';
    }
}

// The four checked fields take their key's range and nothing beyond it.
TEST(NumberField, TakesTheRangeOfItsKey)
{
    for (const SettingKey &key : SettingKeys) {
        if (key.check.refusal == nullptr)
            continue;
        SCOPED_TRACE(key.name);
        int32_t value = 0;
        EXPECT_TRUE(ParseDecimalInRange(std::to_string(key.check.lowest).c_str(), key.check.lowest,
                                        key.check.highest, &value));
        EXPECT_TRUE(ParseDecimalInRange(std::to_string(key.check.highest).c_str(), key.check.lowest,
                                        key.check.highest, &value));
        EXPECT_EQ(value, key.check.highest);
        for (int64_t refused : {int64_t{key.check.lowest} - 1, int64_t{key.check.highest} + 1})
            EXPECT_FALSE(ParseDecimalInRange(std::to_string(refused).c_str(), key.check.lowest,
                                             key.check.highest, &value));
    }
    const SettingCheck &port = SettingKeyNamed("PORT").check;
    int32_t value = 0;
    EXPECT_TRUE(ParseDecimalInRange("50000", port.lowest, port.highest, &value)) << "above 32767 is a port too";
    EXPECT_EQ(value, 50000);
    for (const char *text : {"65536", "-65535", "4294967295", "4294967297", "", "port", "80a"})
        EXPECT_FALSE(ParseDecimalInRange(text, port.lowest, port.highest, &value)) << '"' << text << '"';
}

std::vector<int> PortChoices(std::vector<int> present, int32_t stored)
{
    std::vector<int> choices(HighestPortNumber);
    choices.resize(MergePortChoices(present.data(), static_cast<int>(present.size()), stored, choices.data(),
                                    static_cast<int>(choices.size())));
    return choices;
}

TEST(PortList, IsComOneToSixThenThePresentPortsAndTheStoredOneInNumberOrder)
{
    EXPECT_EQ(PortChoices({}, 0), (std::vector<int>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(PortChoices({16, 8, 1, 0, 8}, 2), (std::vector<int>{0, 1, 2, 3, 4, 5, 8, 16}))
        << "COM2 and COM1 are in the list already; COM9 comes once";
    EXPECT_EQ(PortChoices({16}, 39), (std::vector<int>{0, 1, 2, 3, 4, 5, 16, 39})) << "stored, though not present";
    EXPECT_EQ(PortChoices({255, 6}, 255), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 255})) << "COM7 and COM256";
    for (int32_t noPort : {-1, 256, INT32_MIN, INT32_MAX})
        EXPECT_EQ(PortChoices({noPort, 9}, noPort), (std::vector<int>{0, 1, 2, 3, 4, 5, 9})) << noPort;

    std::vector<int> every(HighestPortNumber);
    for (int com = 0; com < HighestPortNumber; ++com)
        every[com] = HighestPortNumber - 1 - com;
    std::vector<int> choices = PortChoices(every, 0);
    ASSERT_EQ(choices.size(), size_t{HighestPortNumber});
    for (int com = 0; com < HighestPortNumber; ++com)
        EXPECT_EQ(choices[com], com);
    int few[3];
    EXPECT_EQ(MergePortChoices(every.data(), HighestPortNumber, 0, few, 3), 3) << "never beyond the room given";
    EXPECT_EQ(few[2], 2);
}

TEST(PortList, TakesThePortNamesTheSystemListsAndNothingElse)
{
    const std::pair<const wchar_t *, int> names[] = {
        {L"COM1", 0}, {L"COM7", 6}, {L"COM17", 16}, {L"com40", 39}, {L"Com256", 255},
        {L"COM0", -1}, {L"COM257", -1}, {L"COM999", -1}, {L"COM99999999999", -1}, {L"COMx", -1}, {L"COM", -1},
        {L"COM07", -1}, {L"COM-1", -1}, {L"COM+7", -1}, {L"COM 7", -1}, {L"COM7 ", -1}, {L"LPT1", -1},
        {L"\\.\\COM7", -1}, {L"", -1},
    };
    for (const auto &[name, com] : names)
        EXPECT_EQ(ComValueOfPortName(name, wcslen(name)), com) << name;
    EXPECT_EQ(ComValueOfPortName(L"COM12", 4), 0) << "only the length given counts";
}

TEST(ShortcutPath, IsTheFolderAndQuillmarLnkInTwoHundredFiftyFiveCharacters)
{
    char path[LinkPathCapacity];
    ASSERT_TRUE(LinkPathInFolder("C:\\Startup", path, sizeof path));
    EXPECT_STREQ(path, "C:\\Startup\\Quillmar.lnk");
    std::string fits(LinkPathCapacity - 1 - strlen("\\Quillmar.lnk"), 'd');
    ASSERT_TRUE(LinkPathInFolder(fits.c_str(), path, sizeof path));
    EXPECT_EQ(strlen(path), 255u);
    EXPECT_FALSE(LinkPathInFolder((fits + "d").c_str(), path, sizeof path)) << "never a cut path";
    EXPECT_FALSE(LinkPathInFolder("", path, sizeof path)) << "no folder, no shortcut";
}

TEST(HelpPath, IsTheDirectoryAndQuillmarHlp)
{
    char path[256];
    ASSERT_TRUE(HelpPathInDirectory("C:\\Tools", path, sizeof path));
    EXPECT_STREQ(path, "C:\\Tools\\Quillmar.hlp");
    ASSERT_TRUE(HelpPathInDirectory("C:\\", path, sizeof path));
    EXPECT_STREQ(path, "C:\\Quillmar.hlp") << "a root directory has its backslash already";
    std::string fits(255 - strlen("\\Quillmar.hlp"), 'd');
    ASSERT_TRUE(HelpPathInDirectory(fits.c_str(), path, sizeof path));
    EXPECT_EQ(strlen(path), 255u);
    EXPECT_FALSE(HelpPathInDirectory((fits + "d").c_str(), path, sizeof path));
}

TEST(HelpPage, IsQuillmarHtmlBesideTheProgram)
{
    char path[256];
    ASSERT_TRUE(HelpPageInDirectory("C:\\Tools", path, sizeof path));
    EXPECT_STREQ(path, "C:\\Tools\\Quillmar.html");
    ASSERT_TRUE(HelpPageInDirectory("C:", path, sizeof path));     // the program's folder, a root
    EXPECT_STREQ(path, "C:\\Quillmar.html");
    std::string folder(255 - strlen("\\Quillmar.html"), 'd');
    EXPECT_TRUE(HelpPageInDirectory(folder.c_str(), path, sizeof path));
    EXPECT_FALSE(HelpPageInDirectory((folder + "d").c_str(), path, sizeof path))
        << "the program's path fits, the page's would not";
}

TEST(HelpViewer, IsWinHelpOnlyWhereAWorkingOneIsInstalled)
{
    struct Case {
        const char *what;
        WinHelpFacts facts;
        HelpViewer expected;
    } const cases[] = {
        {"no winhlp32.exe", {false, 0, L""}, HelpViewer::Browser},
        {"the stand-in of Windows 10 and 11", {true, 10, L"Windows Winhlp32 Stub"}, HelpViewer::Browser},
        {"the stand-in of Vista to 8.1", {true, 6, L"Windows Winhlp32 Stub"}, HelpViewer::Browser},
        {"a Windows 10 file described otherwise", {true, 10, L"Windows Winhlp32"}, HelpViewer::Browser},
        {"WinHelp installed on Vista to 8.1, or copied onto 10", {true, 6, L"Windows Help"}, HelpViewer::WinHelp},
        {"Wine's, which has no version record", {true, 0, L""}, HelpViewer::WinHelp},
    };
    for (const Case &test : cases)
        EXPECT_EQ(ChooseHelpViewer(test.facts), test.expected) << test.what;
}

// Wine's winhlp32.exe, which has no version record, is read in the system
// tests; this reads a record: the program's own, which has only a Japanese
// translation.
TEST(HelpViewer, FactsAreReadFromTheVersionRecord)
{
    wchar_t unitTests[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, unitTests, MAX_PATH);
    std::filesystem::path program = std::filesystem::path(unitTests).parent_path().parent_path() / "Quillmar.exe";
    WinHelpFacts facts = ReadWinHelpFacts(program.c_str());
    EXPECT_TRUE(facts.present) << program;
    EXPECT_EQ(facts.fileVersionMajor, 1);
    EXPECT_EQ(facts.description, L"Quillmar RS-232C to TCP bridge");
    EXPECT_FALSE(ReadWinHelpFacts((program.wstring() + L".missing").c_str()).present);
}

std::string ProgramPath()
{
    char path[MAX_PATH] = {};
    EXPECT_TRUE(ProgramFileName(path, sizeof path));
    return path;
}

// The link's target, read back the way the shell reads it; paths in UTF-8.
std::string LinkTarget(const std::string &link)
{
    EXPECT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    IShellLinkW *shellLink = nullptr;
    IPersistFile *file = nullptr;
    wchar_t target[MAX_PATH] = {};
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                   reinterpret_cast<void **>(&shellLink))) &&
        SUCCEEDED(shellLink->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file))) &&
        SUCCEEDED(file->Load(WideText(link.c_str()).c_str(), STGM_READ)))
        shellLink->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH);
    if (file != nullptr)
        file->Release();
    if (shellLink != nullptr)
        shellLink->Release();
    CoUninitialize();
    return Utf8Text(target);
}

// COM is not entered on this thread: entering it now is the first time.
void ExpectComLeft()
{
    HRESULT entered = CoInitialize(nullptr);
    EXPECT_EQ(entered, S_OK) << "COM was left entered on the thread";
    if (SUCCEEDED(entered))
        CoUninitialize();
}

TEST(ShellLink, PointsToTheTargetAndReplacesAnEarlierOne)
{
    ScratchFolder folder;
    std::string link = folder.File("Quillmar.lnk");
    ASSERT_EQ(CreateShellLink(ProgramPath().c_str(), link.c_str()), 1);
    EXPECT_TRUE(FileExists(link));
    EXPECT_EQ(LinkTarget(link), ProgramPath());
    ExpectComLeft();

    WriteBytes(link, "not a link");
    ASSERT_EQ(CreateShellLink(ProgramPath().c_str(), link.c_str()), 1) << "a second time replaces the file";
    EXPECT_EQ(LinkTarget(link), ProgramPath());
    ExpectComLeft();
}

TEST(ShellLink, IsSavedInAFolderNamedOutsideTheCodePage)
{
    ScratchFolder folder(L"-スタートアップ");
    std::string link = folder.Utf8File("Quillmar.lnk");
    ASSERT_EQ(CreateShellLink(ProgramPath().c_str(), link.c_str()), 1);
    EXPECT_EQ(LinkTarget(link), ProgramPath());
}

TEST(ShellLink, AFailureLeavesNothingBehindAndTheNextAttemptWorks)
{
    ScratchFolder folder;
    ASSERT_EQ(CreateShellLink(ProgramPath().c_str(), folder.File("no-such-folder\\Quillmar.lnk").c_str()), 0);
    ExpectComLeft();
    std::string blocked = folder.File("blocked");
    WriteBytes(blocked, "a file where the folder should be");
    ASSERT_EQ(CreateShellLink(ProgramPath().c_str(), (blocked + "\\Quillmar.lnk").c_str()), 0);
    ExpectComLeft();
    std::string link = folder.File("Quillmar.lnk");
    EXPECT_EQ(CreateShellLink(ProgramPath().c_str(), link.c_str()), 1);
    EXPECT_EQ(LinkTarget(link), ProgramPath());
}

TEST(ShellLink, WorksWhereCOMIsAlreadyEnteredAndLeavesItSo)
{
    ScratchFolder folder;
    std::string link = folder.File("Quillmar.lnk");

    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_EQ(CreateShellLink(ProgramPath().c_str(), link.c_str()), 1);
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE) << "still entered once, as before the call";
    CoUninitialize();
    CoUninitialize();
    ExpectComLeft();

    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(CreateShellLink(ProgramPath().c_str(), link.c_str()), 1) << "the multithreaded apartment";
    CoUninitialize();
    ExpectComLeft();
    EXPECT_EQ(LinkTarget(link), ProgramPath());
}

}  // namespace
