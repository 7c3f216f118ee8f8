// The shell's state that the lower folders share, and the main-window calls
// they make. The calls run on the user-interface thread only.
#include "shell.h"
#include "../res/resource.h"

HINSTANCE AppInstance;                      // entry routine
std::atomic<HWND> MainWindow;               // entry routine, once the window exists
std::atomic<LONG> LinkState{LinkIdle};      // user-interface thread
std::atomic<bool> RefreshAsleep;            // set on the user-interface thread; cleared by whoever wakes the tick

void NoteBytesMoved()
{
    if (RefreshAsleep.exchange(false))
        PostMessageA(MainWindow, WM_BYTES_MOVED, 0, 0);
}

void SetStatusText(const char *text)
{
    SetDlgItemTextA(MainWindow, IDC_STATUS_TEXT, text);
}

void EnableConnectButton(bool enable)
{
    HWND window = MainWindow;
    EnableWindow(GetDlgItem(window, IDC_CONNECT), enable);
    EnableWindow(GetDlgItem(window, IDC_CLOSE), !enable);
}
