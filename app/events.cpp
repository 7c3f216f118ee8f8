// Main window events: the commands of the buttons and the menu.
//
// Everything here runs on the user-interface thread.
#include "app.h"
#include "../about/about.h"
#include "../config/config.h"
#include "../net/net.h"
#include "../res/resource.h"
#include "../serial/serial.h"

// The program ends: the port is closed, the data threads are told to stop
// and the message loop is asked to end. The threads are not waited for; they
// end at their next look at the port or the link state, or with the process.
void Shutdown()
{
    HANDLE port = PortHandle.exchange(nullptr);
    if (port != nullptr && port != INVALID_HANDLE_VALUE)
        CloseHandle(port);
    LinkState = LinkShuttingDown;
    // The socket receive thread clears the handle when it ends; whoever takes
    // it first closes it.
    HANDLE socketThread = SocketReceiveThreadHandle.exchange(nullptr);
    if (socketThread != nullptr)
        CloseHandle(socketThread);
    if (ClockTimerId != 0)
        StopClock();
    PostQuitMessage(0);
}

void OnCommand(HWND window, WORD command)
{
    switch (command) {
    case IDCANCEL:      // the Esc key and the close box
    case IDM_END:
        Shutdown();
        break;
    case IDM_SAVE:
        SaveSettings();
        break;
    case IDM_ABOUT:
        (void)DialogBoxParamA(AppInstance, MAKEINTRESOURCEA(IDD_DIALOG_ABOUT), window, AboutDialogProc, 0);
        break;
    case IDM_HELP:
        ShowHelp();
        break;
    case IDM_SOCK:
        (void)DialogBoxParamA(AppInstance, MAKEINTRESOURCEA(IDD_DIALOG_SOCK), window, SocketDialogProc, 0);
        break;
    case IDM_OPTION:
        (void)DialogBoxParamA(AppInstance, MAKEINTRESOURCEA(IDD_DIALOG_OPTION), window, OptionDialogProc, 0);
        break;
    default:
        // Connect, Close, the logs and the serial settings come with the
        // connection, the log channels and the serial port.
        break;
    }
}
