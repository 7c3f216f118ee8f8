// About and help: the About box with its mail and web links, and the help
// command, which shows Quillmar.hlp in WinHelp where a working WinHelp is
// installed and the page Quillmar.html in the browser elsewhere.
#pragma once

#include <windows.h>
#include <string>

// The product's support mail address and home page, painted by the links.
inline constexpr char SupportMailAddress[] = "support@quillmar.example";
inline constexpr char HomePageAddress[] = "https://quillmar.example/";
inline constexpr char MailUrlScheme[] = "mailto:";
inline constexpr char HelpFileName[] = "Quillmar.hlp";
inline constexpr char HelpPageName[] = "Quillmar.html";

INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK MailLinkProc(HWND link, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK WebLinkProc(HWND link, UINT message, WPARAM wParam, LPARAM lParam);

// Opens Quillmar.hlp from the current directory with WinHelp where a working
// WinHelp is installed; elsewhere Quillmar.html from the program's folder in
// the default browser.
void ShowHelp();
// The help file's path in directory; false when it would exceed 255
// characters.
bool HelpPathInDirectory(const char *directory, char *path, size_t capacity);
// The help page's path in directory (the program's); false when it would
// exceed 255 characters.
bool HelpPageInDirectory(const char *directory, char *path, size_t capacity);

// What is known of the system's winhlp32.exe.
struct WinHelpFacts {
    bool present = false;           // the file is there
    WORD fileVersionMajor = 0;      // first number of its version record's file version; 0 without a record
    std::wstring description;       // the record's FileDescription; empty without one
};
enum class HelpViewer { WinHelp, Browser };
// Which help this system can show, from what its winhlp32.exe is (the rule
// is in about.cpp).
HelpViewer ChooseHelpViewer(const WinHelpFacts &facts);
// The facts of the file at path.
WinHelpFacts ReadWinHelpFacts(const wchar_t *path);
