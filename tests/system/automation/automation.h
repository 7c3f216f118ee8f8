// What the test helper qmauto.exe and its hook DLL qmhook.dll share: the
// registered message that asks the hook for something inside Quillmar's
// process, and the shared memory that carries the answer back.
#pragma once

#include <windows.h>

inline constexpr wchar_t AutomationMessageName[] = L"QuillmarTestAutomation";
inline constexpr wchar_t AutomationBufferName[] = L"QuillmarTestAutomationBuffer";
inline constexpr DWORD AutomationBufferSize = 64 * 1024;

// wParam of the registered message; lParam is the argument.
enum AutomationQuery : WPARAM {
    QueryMenu = 1,          // the whole menu bar of the window, one item per line
    QueryStatusText = 2,    // text of status-bar part lParam
    QueryStatusParts = 3,   // right edges of the status-bar parts
};
