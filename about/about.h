// About and help: the About box with its mail and web links, and the help
// command.
#pragma once

#include <windows.h>

// The product's support mail address and home page, painted by the links.
inline constexpr char SupportMailAddress[] = "support@quillmar.example";
inline constexpr char HomePageAddress[] = "https://quillmar.example/";
inline constexpr char MailUrlScheme[] = "mailto:";
inline constexpr char HelpFileName[] = "Quillmar.hlp";

INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK MailLinkProc(HWND link, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK WebLinkProc(HWND link, UINT message, WPARAM wParam, LPARAM lParam);

// Opens Quillmar.hlp from the current directory with WinHelp.
void ShowHelp();
// The help file's path in directory; false when it would exceed 255
// characters.
bool HelpPathInDirectory(const char *directory, char *path, size_t capacity);
