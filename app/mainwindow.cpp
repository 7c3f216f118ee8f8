// The main window: its procedure, the start sequence that runs when the
// dialog manager creates it, and its status bar.
//
// The window and everything here belong to the user-interface thread. The
// start sequence runs inside CreateDialogParam, before MainWindow is set:
// threads it starts find no window to write to until it returns.
#include "app.h"
#include "../bridge/bridge.h"
#include "../config/config.h"
#include "../history/history.h"
#include "../net/net.h"
#include "../res/resource.h"
#include "../res/version.h"
#include "../serial/serial.h"
#include "../translog/translog.h"
#include "../util/util.h"

#include <commctrl.h>
#include <mmsystem.h>
#include <iterator>

HWND StatusBar;                                 // start sequence
UINT TimerResolution;                           // start sequence

static const char EmptyText[] = "";

HWND CreateStatusBar(HWND parent, HINSTANCE instance)
{
    (void)instance;     // the status window takes its instance from the parent
    StatusBar = CreateStatusWindowW(WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP | CCS_BOTTOM, WideText(EmptyText).c_str(),
                                    parent, IDC_STATUS_BAR);
    int edges[std::size(StatusBarPartEdges)];
    for (size_t part = 0; part < std::size(edges); ++part)
        edges[part] = ScaleToDisplay(StatusBarPartEdges[part]);
    (void)SendMessageW(StatusBar, SB_SETPARTS, std::size(edges), reinterpret_cast<LPARAM>(edges));
    return StatusBar;
}

void ShowStatusPart(int part, const char *text)
{
    (void)SendMessageW(StatusBar, SB_SETTEXTW, part, reinterpret_cast<LPARAM>(WideText(text).c_str()));
}

// The caption's small icon is left to the system, which makes it from this
// one, as it always has.
HICON LoadProgramIcon()
{
    return static_cast<HICON>(LoadImageW(AppInstance, MAKEINTRESOURCEW(IDI_QUILLMAR), IMAGE_ICON,
                                         GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), LR_SHARED));
}

// The finest period the multimedia timer offers, but at least 1 ms.
static UINT ChooseTimerResolution(const TIMECAPS &caps)
{
    UINT resolution = caps.wPeriodMin > 1 ? caps.wPeriodMin : 1;
    return resolution < caps.wPeriodMax ? resolution : caps.wPeriodMax;
}

static BOOL StartSequence(HWND window)
{
    (void)SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(LoadProgramIcon()));
    (void)SetWindowTextW(window, WideText(MainWindowCaption).c_str());
    CreateStatusBar(window, AppInstance);
    ResetClock();

    TIMECAPS caps = {};
    if (timeGetDevCaps(&caps, sizeof caps) != TIMERR_NOERROR)
        return FALSE;
    TimerResolution = ChooseTimerResolution(caps);
    timeBeginPeriod(TimerResolution);

    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_INTERNET_CLASSES};
    InitCommonControlsEx(&controls);

    LoadSettings();
    char folder[SettingsPathCapacity] = {};
    StartHistory(ModulePath(sizeof folder, folder) == 0 ? folder : nullptr, Settings.EVENTLOG != 0);
    NoteEvent("Quillmar %s started", QUILLMAR_VERSION_TEXT);
    // The port, once open, is the bridge's, and its serial receive thread runs.
    (void)OpenConfiguredPort(Settings.COM);     // a refusal has been told
    ConfigureSerialPort();
    InitTransferLogs();
    SetTimer(window, IDT_REFRESH, RefreshPeriodMs, nullptr);
    SetTimer(window, IDT_SECOND, SecondPeriodMs, nullptr);
    ShowPortState();

    DataBridge.ResetQuietSpells();
    LinkState = LinkIdle;
    EnableWindow(GetDlgItem(window, IDC_CLOSE), FALSE);
    SetItemText(window, IDC_STATUS_TEXT, IdleText);

    (void)DataBridge.Start();   // a bridge without its socket thread holds nothing it could lose
    return TRUE;
}

INT_PTR CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        return StartSequence(window);
    case WM_COMMAND:
        OnCommand(window, LOWORD(wParam));
        return FALSE;
    case WM_SOCKET_NOTIFY:
        OnSocketNotify(static_cast<SOCKET>(wParam), lParam);
        return FALSE;
    case WM_CONNECTION_ENDED:
        OnConnectionEnded(static_cast<LONG>(wParam));
        return FALSE;
    case WM_PEER_LINE:
        OnPeerLine();
        return FALSE;
    case WM_SERIAL_LOST:
        OnSerialLost(static_cast<LONG>(wParam), lParam);
        return FALSE;
    case WM_DEVICECHANGE:
        OnDeviceChange(wParam, reinterpret_cast<const DEV_BROADCAST_HDR *>(lParam), IsWindowUnicode(window));
        return FALSE;
    case WM_SOCKET_RELEASED:
        OnSocketReleased(static_cast<SOCKET>(wParam));
        return FALSE;
    case WM_BYTES_MOVED:
        WakeRefresh();
        OnRefreshTick();
        return FALSE;
    case WM_CLOCK_TICK:
        OnClockTick(static_cast<DWORD_PTR>(wParam));
        return FALSE;
    case WM_TIMER:
        if (wParam == IDT_SECOND)
            OnSecondTick();
        else
            OnRefreshTick();
        return FALSE;
    default:
        return FALSE;
    }
}
