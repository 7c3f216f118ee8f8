// The shell's state that the lower folders share, and the main-window calls
// they make. The calls run on the user-interface thread only.
#include "shell.h"
#include "../res/resource.h"
#include "../util/util.h"

HINSTANCE AppInstance;                      // entry routine
std::atomic<HWND> MainWindow;               // entry routine, once the window exists
std::atomic<LONG> LinkState{LinkIdle};      // user-interface thread
std::atomic<bool> RefreshAsleep;            // set on the user-interface thread; cleared by whoever wakes the tick

void NoteBytesMoved()
{
    if (RefreshAsleep.exchange(false))
        (void)PostMessageW(MainWindow, WM_BYTES_MOVED, 0, 0);
}

int ShowMessage(HWND owner, const char *text, UINT type)
{
    return MessageBoxW(owner, WideText(text).c_str(), WideText(MessageCaption).c_str(), type);
}

void SetStatusText(const char *text)
{
    SetItemText(MainWindow, IDC_STATUS_TEXT, text);
}

void EnableConnectButton(bool enable)
{
    HWND window = MainWindow;
    EnableWindow(GetDlgItem(window, IDC_CONNECT), enable);
    EnableWindow(GetDlgItem(window, IDC_CLOSE), !enable);
}
