// The floor of the idle benchmark: a window whose status bar text changes
// once a second and that does nothing else, as the connected bridge's clock
// does. What it costs under Wine is the least a bridge that shows its clock
// can cost; `make bench` measures it beside the bridge. One thread; it ends
// when its window is closed.
#include <windows.h>
#include <commctrl.h>
#include <cstdio>
#include <iterator>

namespace {

constexpr UINT_PTR TickTimer = 1;
constexpr UINT TickPeriodMs = 1000;
constexpr int WindowWidth = 560;
constexpr int WindowHeight = 200;
constexpr int PartEdges[] = {300, 550};
constexpr int ClockPart = 1;

HWND StatusBar;
int Seconds;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_TIMER: {
        char text[16];
        ++Seconds;
        snprintf(text, sizeof text, "%02d:%02d:%02d", Seconds / 3600 % 100, Seconds / 60 % 60, Seconds % 60);
        SendMessageA(StatusBar, SB_SETTEXTA, ClockPart, reinterpret_cast<LPARAM>(text));
        return 0;
    }
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand)
{
    InitCommonControls();
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = "QuillmarIdleFloor";
    if (RegisterClassA(&windowClass) == 0)
        return 1;
    HWND window = CreateWindowA(windowClass.lpszClassName, "Idle floor", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                CW_USEDEFAULT, WindowWidth, WindowHeight, nullptr, nullptr, instance, nullptr);
    if (window == nullptr)
        return 1;
    StatusBar = CreateWindowA(STATUSCLASSNAMEA, "", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, window, nullptr, instance,
                              nullptr);
    SendMessageA(StatusBar, SB_SETPARTS, static_cast<WPARAM>(std::size(PartEdges)),
                 reinterpret_cast<LPARAM>(PartEdges));
    ShowWindow(window, showCommand);
    SetTimer(window, TickTimer, TickPeriodMs, nullptr);
    MSG message = {};
    while (GetMessageA(&message, nullptr, 0, 0) > 0)
        DispatchMessageA(&message);
    return 0;
}
