// Windows for the unit tests: a hidden stand-in for the main window with the
// children the code under test writes to, made with the W calls like the
// program's own, so that its texts read back unchanged (util's ItemText).
#pragma once

#include <windows.h>
#include <initializer_list>
#include <utility>

// Each child: its window class and its control id.
inline HWND StandInWindow(std::initializer_list<std::pair<const wchar_t *, int>> children)
{
    constexpr int Width = 400, Height = 200, ChildSize = 10;
    HINSTANCE instance = GetModuleHandleW(nullptr);
    HWND window = CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPEDWINDOW, 0, 0, Width, Height, nullptr, nullptr,
                                  instance, nullptr);
    for (const auto &[className, id] : children) {
        if (window != nullptr &&
            CreateWindowExW(0, className, L"", WS_CHILD, 0, 0, ChildSize, ChildSize, window,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr) == nullptr) {
            DestroyWindow(window);
            window = nullptr;
        }
    }
    return window;
}
