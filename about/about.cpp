// The About box, its two links and the help command.
//
// The links are the box's static controls 5003 and 5004 with a window
// procedure of ours in front of the static's own: they paint themselves as
// underlined blue text in a font of their own (sized for the display's DPI),
// show the hand cursor and open their address when clicked; every other
// message goes on to the static. Each opening of the box puts the procedures
// in place afresh. Everything here runs on the user-interface thread.
#include "about.h"
#include "../res/resource.h"
#include "../shell/shell.h"
#include "../util/util.h"

#include <shellapi.h>
#include <cstring>
#include <string>

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

static HFONT CreateLinkFont()
{
    LOGFONTA font = {};
    font.lfHeight = ScaleToDisplay(LinkFontHeight);
    font.lfWidth = ScaleToDisplay(LinkFontWidth);
    font.lfUnderline = TRUE;
    static_assert(sizeof LinkFontFace <= sizeof font.lfFaceName, "the face name fits LOGFONT");
    memcpy(font.lfFaceName, LinkFontFace, sizeof LinkFontFace);
    return CreateFontIndirectA(&font);
}

static void PaintLink(HWND link, const char *text)
{
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(link, &paint);
    HFONT font = CreateLinkFont();
    HGDIOBJ previousFont = SelectObject(dc, font);
    SetBkColor(dc, GetSysColor(COLOR_MENU));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, LinkColour);
    TextOutA(dc, 0, 0, text, static_cast<int>(strlen(text)));
    SelectObject(dc, previousFont);
    DeleteObject(font);
    EndPaint(link, &paint);
}

// The link is as wide as its text: the hand shows over the text and nowhere
// else, and the text is never cut, whatever the dialog font makes of the
// template's dialog units.
static void FitLinkToText(HWND link, const char *text)
{
    HDC dc = GetDC(link);
    HFONT font = CreateLinkFont();
    HGDIOBJ previousFont = SelectObject(dc, font);
    SIZE extent = {};
    GetTextExtentPoint32A(dc, text, static_cast<int>(strlen(text)), &extent);
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
        SetCursor(static_cast<HCURSOR>(LoadImageA(AppInstance, MAKEINTRESOURCEA(IDC_CURSOR2), IMAGE_CURSOR,
                                                  GetSystemMetrics(SM_CXCURSOR), GetSystemMetrics(SM_CYCURSOR),
                                                  LR_SHARED)));
        return TRUE;
    case WM_LBUTTONDOWN:
        // The shell reports its own failures, or has nothing to say.
        (void)ShellExecuteA(link, nullptr, target, nullptr, nullptr, SW_SHOWNORMAL);
        return 0;
    default:
        return CallWindowProcA(staticProc, link, message, wParam, lParam);
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
        SetWindowLongPtrA(link, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(linkProc)));
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

void ShowHelp()
{
    char directory[HelpPathCapacity] = {};
    char path[HelpPathCapacity] = {};
    DWORD length = GetCurrentDirectoryA(sizeof directory, directory);
    if (length == 0 || length >= sizeof directory || !HelpPathInDirectory(directory, path, sizeof path)) {
        MessageBoxA(MainWindow, HelpPathTooLongText, MessageCaption, MB_OK | MB_ICONERROR);
        return;
    }
    // A missing or unreadable file is WinHelp's to report.
    (void)WinHelpA(MainWindow, path, HELP_FINDER, 0);
}
