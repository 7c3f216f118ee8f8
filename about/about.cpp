// The About box, its two links and the help command.
//
// The links are the box's static controls 5003 and 5004 with a window
// procedure of ours in front of the static's own: they paint themselves as
// underlined blue text in a font of their own (sized for the display's DPI),
// show the hand cursor and open their address when clicked; every other
// message goes on to the static. Each opening of the box puts the procedures
// in place afresh.
//
// The help command looks at the system's winhlp32.exe each time (a few file
// reads; WinHelp may be installed while the program runs) and shows either
// Quillmar.hlp in WinHelp or Quillmar.html in the browser; which, is decided
// by ChooseHelpViewer from the facts gathered, and the reasons are there.
// Everything here runs on the user-interface thread.
#include "about.h"
#include "../res/resource.h"
#include "../shell/shell.h"
#include "../util/util.h"

#include <objbase.h>
#include <shellapi.h>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

// The static controls' own procedures, while the box is open; user-interface thread.
static WNDPROC MailLinkStaticProc;
static WNDPROC WebLinkStaticProc;

// The links' font: underlined, 12 pixels high and 6 wide at 96 DPI, scaled
// to the display's.
static const char LinkFontFace[] = "ＭＳ ゴシック";
constexpr LONG LinkFontHeight = 12;
constexpr LONG LinkFontWidth = 6;
constexpr COLORREF LinkColour = RGB(0, 0, 255);

// A new mail to the support address.
static const std::string MailUrl = std::string(MailUrlScheme) + SupportMailAddress;

constexpr INT_PTR AboutDialogResult = 1;
// The help file's path, like the settings path, is at most 255 characters.
constexpr int HelpPathCapacity = 256;
static const char HelpPathTooLongText[] =
    "ヘルプファイルのパスが255文字を超えるため、ヘルプを表示できません。";
// Followed by the page's path.
static const char HelpPageFailedText[] = "ヘルプのページを開けませんでした。\n";

static const wchar_t WinHelpProgramName[] = L"winhlp32.exe";
// The mark in the description of the stand-in winhlp32.exe, in any letter case.
static const wchar_t StubMark[] = L"stub";
// Windows 10's files are version 10.0 and on; the packages that install a
// working WinHelp stop at Windows 8.1, whose files are version 6.3.
constexpr WORD FirstVersionWithoutWinHelp = 10;
// ShellExecute returns a value above this on success, an error code otherwise.
constexpr INT_PTR ShellExecuteErrorLimit = 32;

// GDI takes the face name in UTF-16 only: its A calls read the system's code
// page whatever the manifest says.
static HFONT CreateLinkFont()
{
    LOGFONTW font = {};
    font.lfHeight = ScaleToDisplay(LinkFontHeight);
    font.lfWidth = ScaleToDisplay(LinkFontWidth);
    font.lfUnderline = TRUE;
    std::wstring face = WideText(LinkFontFace);
    if (face.size() < LF_FACESIZE)      // a name too long for LOGFONT would leave the default face
        face.copy(font.lfFaceName, face.size());
    return CreateFontIndirectW(&font);
}

static void PaintLink(HWND link, const char *text)
{
    std::wstring wide = WideText(text);
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(link, &paint);
    HFONT font = CreateLinkFont();
    HGDIOBJ previousFont = SelectObject(dc, font);
    SetBkColor(dc, GetSysColor(COLOR_MENU));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, LinkColour);
    (void)TextOutW(dc, 0, 0, wide.c_str(), static_cast<int>(wide.size()));
    SelectObject(dc, previousFont);
    DeleteObject(font);
    EndPaint(link, &paint);
}

// The link is as wide as its text: the hand shows over the text and nowhere
// else, and the text is never cut, whatever the dialog font makes of the
// template's dialog units.
static void FitLinkToText(HWND link, const char *text)
{
    std::wstring wide = WideText(text);
    HDC dc = GetDC(link);
    HFONT font = CreateLinkFont();
    HGDIOBJ previousFont = SelectObject(dc, font);
    SIZE extent = {};
    (void)GetTextExtentPoint32W(dc, wide.c_str(), static_cast<int>(wide.size()), &extent);
    SelectObject(dc, previousFont);
    DeleteObject(font);
    ReleaseDC(link, dc);
    RECT area = {};
    GetClientRect(link, &area);
    SetWindowPos(link, nullptr, 0, 0, extent.cx, extent.cy > area.bottom ? extent.cy : area.bottom,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

static LRESULT LinkProc(HWND link, UINT message, WPARAM wParam, LPARAM lParam, WNDPROC staticProc,
                        const char *text, const char *target)
{
    switch (message) {
    case WM_PAINT:
        PaintLink(link, text);
        return 0;
    case WM_SETCURSOR:
        // Shared: loaded once, at the system's cursor size for the display.
        SetCursor(static_cast<HCURSOR>(LoadImageW(AppInstance, MAKEINTRESOURCEW(IDC_CURSOR2), IMAGE_CURSOR,
                                                  GetSystemMetrics(SM_CXCURSOR), GetSystemMetrics(SM_CYCURSOR),
                                                  LR_SHARED)));
        return TRUE;
    case WM_LBUTTONDOWN:
        // The shell reports its own failures, or has nothing to say.
        (void)ShellExecuteW(link, nullptr, WideText(target).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
        return 0;
    default:
        return CallWindowProcW(staticProc, link, message, wParam, lParam);
    }
}

LRESULT CALLBACK MailLinkProc(HWND link, UINT message, WPARAM wParam, LPARAM lParam)
{
    return LinkProc(link, message, wParam, lParam, MailLinkStaticProc, SupportMailAddress, MailUrl.c_str());
}

LRESULT CALLBACK WebLinkProc(HWND link, UINT message, WPARAM wParam, LPARAM lParam)
{
    return LinkProc(link, message, wParam, lParam, WebLinkStaticProc, HomePageAddress, HomePageAddress);
}

static WNDPROC ReplaceProc(HWND link, WNDPROC linkProc)
{
    return reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(link, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(linkProc)));
}

INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    switch (message) {
    case WM_INITDIALOG: {
        HWND mail = GetDlgItem(dialog, IDC_ABOUT_MAIL);
        HWND web = GetDlgItem(dialog, IDC_ABOUT_WEB);
        MailLinkStaticProc = ReplaceProc(mail, MailLinkProc);
        WebLinkStaticProc = ReplaceProc(web, WebLinkProc);
        FitLinkToText(mail, SupportMailAddress);
        FitLinkToText(web, HomePageAddress);
        return TRUE;
    }
    case WM_COMMAND:
        // Cancel (the Esc key) is not ours: only OK ends the box.
        if (LOWORD(wParam) == IDOK) {
            EndDialog(dialog, AboutDialogResult);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

bool HelpPathInDirectory(const char *directory, char *path, size_t capacity)
{
    return JoinPath(directory, HelpFileName, path, capacity);
}

bool HelpPageInDirectory(const char *directory, char *path, size_t capacity)
{
    return JoinPath(directory, HelpPageName, path, capacity);
}

// Is there a WinHelp that works? Without the optional WinHelp package,
// Windows keeps a stand-in winhlp32.exe that only says the format is not
// supported: its description is "Windows Winhlp32 Stub", or its version 10.0
// or more. Any other (the package's, Wine's, one copied by hand) works.
HelpViewer ChooseHelpViewer(const WinHelpFacts &facts)
{
    if (!facts.present)
        return HelpViewer::Browser;
    std::wstring description;
    for (wchar_t character : facts.description)
        description += static_cast<wchar_t>(towlower(character));
    bool standIn = facts.fileVersionMajor >= FirstVersionWithoutWinHelp ||
                   description.find(StubMark) != std::wstring::npos;
    return standIn ? HelpViewer::Browser : HelpViewer::WinHelp;
}

WinHelpFacts ReadWinHelpFacts(const wchar_t *path)
{
    WinHelpFacts facts;
    DWORD attributes = GetFileAttributesW(path);
    facts.present = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    if (!facts.present)
        return facts;
    // The record of the file itself, not of its translation for the user's
    // language, whose description could be translated.
    DWORD unused = 0;
    DWORD size = GetFileVersionInfoSizeExW(FILE_VER_GET_NEUTRAL, path, &unused);
    if (size == 0)
        return facts;
    std::vector<BYTE> record(size);
    if (!GetFileVersionInfoExW(FILE_VER_GET_NEUTRAL, path, 0, size, record.data()))
        return facts;
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    if (VerQueryValueW(record.data(), L"\\", reinterpret_cast<void **>(&fixed), &length) &&
        length >= sizeof *fixed)
        facts.fileVersionMajor = HIWORD(fixed->dwFileVersionMS);
    struct Translation {
        WORD language;
        WORD codePage;
    } *translation = nullptr;
    if (!VerQueryValueW(record.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void **>(&translation),
                        &length) ||
        length < sizeof *translation)
        return facts;
    constexpr size_t KeyCapacity = 64;
    wchar_t key[KeyCapacity];
    (void)swprintf(key, KeyCapacity, L"\\StringFileInfo\\%04x%04x\\FileDescription", translation->language,
                   translation->codePage);
    wchar_t *description = nullptr;
    if (VerQueryValueW(record.data(), key, reinterpret_cast<void **>(&description), &length) && length > 0)
        facts.description.assign(description, wcsnlen(description, length));
    return facts;
}

// The facts of the system's winhlp32.exe: the first in the system folder
// (where Wine keeps it) and the Windows folder shared by all users (where
// Windows and its WinHelp package keep it; GetWindowsDirectory may name a
// user's own under Terminal Services), the order in which a program's name
// is looked up. A folder that cannot be named is skipped.
static WinHelpFacts SystemWinHelpFacts()
{
    for (UINT (WINAPI *folderOf)(wchar_t *, UINT) : {GetSystemDirectoryW, GetSystemWindowsDirectoryW}) {
        wchar_t folder[MAX_PATH] = {};
        UINT length = folderOf(folder, MAX_PATH);
        if (length == 0 || length >= MAX_PATH)
            continue;
        std::wstring path(folder);
        if (path.back() != L'\\')
            path += L'\\';
        WinHelpFacts facts = ReadWinHelpFacts((path + WinHelpProgramName).c_str());
        if (facts.present)
            return facts;
    }
    return {};
}

static void ShowHelpFile()
{
    wchar_t current[HelpPathCapacity] = {};
    char directory[HelpPathCapacity] = {};
    char path[HelpPathCapacity] = {};
    DWORD length = GetCurrentDirectoryW(HelpPathCapacity, current);
    if (length == 0 || length >= HelpPathCapacity || !Utf8Into(current, directory, sizeof directory) ||
        !HelpPathInDirectory(directory, path, sizeof path)) {
        ShowMessage(MainWindow, HelpPathTooLongText, MB_OK | MB_ICONERROR);
        return;
    }
    // A missing or unreadable file is WinHelp's to report.
    (void)WinHelpW(MainWindow, WideText(path).c_str(), HELP_FINDER, 0);
}

static void ShowHelpPage()
{
    char directory[HelpPathCapacity] = {};
    char page[HelpPathCapacity] = {};
    if (ModulePath(sizeof directory, directory) != 0 || !HelpPageInDirectory(directory, page, sizeof page)) {
        ShowMessage(MainWindow, HelpPathTooLongText, MB_OK | MB_ICONERROR);
        return;
    }
    // The handler of .html may be a shell extension, which needs COM. A
    // thread that is in COM already (another apartment) is left as it is.
    HRESULT entered = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    HINSTANCE opened = ShellExecuteW(MainWindow, nullptr, WideText(page).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    if (SUCCEEDED(entered))
        CoUninitialize();
    // No page, or nothing to show it with.
    if (reinterpret_cast<INT_PTR>(opened) <= ShellExecuteErrorLimit) {
        std::string text = std::string(HelpPageFailedText) + page;
        ShowMessage(MainWindow, text.c_str(), MB_OK | MB_ICONERROR);
    }
}

void ShowHelp()
{
    if (ChooseHelpViewer(SystemWinHelpFacts()) == HelpViewer::WinHelp)
        ShowHelpFile();
    else
        ShowHelpPage();
}
