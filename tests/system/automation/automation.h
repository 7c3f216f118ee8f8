// What the test helper qmauto.exe and its hook DLL qmhook.dll share: the
// registered message that asks the hook for something inside Quillmar's
// process, and the shared memory that carries the answer back.
#pragma once

#include <windows.h>
#include <string>

inline constexpr wchar_t AutomationMessageName[] = L"QuillmarTestAutomation";
inline constexpr wchar_t AutomationBufferName[] = L"QuillmarTestAutomationBuffer";
inline constexpr DWORD AutomationBufferSize = 64 * 1024;

// wParam of the registered message; lParam is the argument.
enum AutomationQuery : WPARAM {
    QueryMenu = 1,          // the whole menu bar of the window, one item per line
    QueryStatusText = 2,    // text of status-bar part lParam
    QueryStatusParts = 3,   // right edges of the status-bar parts
    QueryIpAddress = 4,     // IP-address control lParam: filled fields, address, text
    QueryCursor = 5,        // the thread's cursor: hand (the program's IDC_CURSOR2), arrow or other
};

// The program's hand cursor.
constexpr int HandCursorId = 136;

inline std::string Utf8(const std::wstring &text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? size - 1 : 0, '\0');
    if (size > 1)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), size, nullptr, nullptr);
    return out;
}
