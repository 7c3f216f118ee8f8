// Main window events: the commands of the buttons and the menu, the socket
// notifications that move the connection through its states, and the
// refresh tick that animates the arrows and connects automatically.
//
// Everything here runs on the user-interface thread, so the connection's
// state changes happen one message at a time.
#include "app.h"
#include "../about/about.h"
#include "../config/config.h"
#include "../net/net.h"
#include "../res/resource.h"
#include "../serial/serial.h"
#include "../translog/translog.h"

#include <mmsystem.h>

static const char IdleText[] = "Idle";
static const char PeerTextPrefix[] = "Connection - ";

// The program ends: the port is closed, the data threads are told to stop
// and the message loop is asked to end. The threads are not waited for; they
// end at their next look at the port or the link state, or with the process.
void Shutdown()
{
    HANDLE port = PortHandle.exchange(nullptr);
    if (PortIsOpen(port))
        CloseHandle(port);
    LinkState = LinkShuttingDown;
    // The socket receive thread clears the handle when it ends; whoever takes
    // it first closes it.
    HANDLE socketThread = SocketReceiveThreadHandle.exchange(nullptr);
    if (socketThread != nullptr)
        CloseHandle(socketThread);
    if (ClockTimerId != 0)
        StopClock();
    timeEndPeriod(TimerResolution);
    PostQuitMessage(0);
}

static void StartConnection()
{
    if (IsClientMode())
        StartClient();
    else
        StartServer();
}

static void OnConnect(HWND window)
{
    ClockHours = 0;
    ClockMinutes = 0;
    ClockSeconds = 0;
    StartConnection();
    // Close stays available even after a failed start, so that the user
    // can clear the failure text.
    EnableWindow(GetDlgItem(window, IDC_CONNECT), FALSE);
    EnableWindow(GetDlgItem(window, IDC_CLOSE), TRUE);
}

static void OnClose(HWND window)
{
    SetDlgItemTextA(window, IDC_STATUS_TEXT, IdleText);
    EnableWindow(GetDlgItem(window, IDC_CONNECT), TRUE);
    EnableWindow(GetDlgItem(window, IDC_CLOSE), FALSE);
    LinkState = LinkIdle;
    CloseConnection(CloseByUser);
    StopClock();
}

void OnCommand(HWND window, WORD command)
{
    switch (command) {
    case IDC_CONNECT:
        OnConnect(window);
        break;
    case IDC_CLOSE:
        OnClose(window);
        break;
    case IDCANCEL:      // the Esc key and the close box
    case IDM_END:
        Shutdown();
        break;
    case IDM_SAVE:
        SaveSettings();
        break;
    case IDM_SERIAL:
        (void)DialogBoxParamA(AppInstance, MAKEINTRESOURCEA(IDD_DIALOG_SERIAL), window, SerialDialogProc, 0);
        break;
    case IDM_LOG_LAN_TO_SERIAL:
        StartLog(window, LogLanToSerialChannel);
        break;
    case IDM_LOG_SERIAL_TO_LAN:
        StartLog(window, LogSerialToLanChannel);
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
        break;
    }
}

// The peer's side ended the connection: a client goes idle (and, with
// automatic connection, starts again on a later tick), a server waits for
// the next peer.
static void EndConnectionFromNetwork()
{
    LinkState = IsClientMode() ? LinkIdle : LinkListening;
    CloseConnection(CloseByNetwork);
    StopClock();
}

static void StartDataThreads()
{
    StartSerialReceiveThread();
    if (SocketReceiveThreadHandle == nullptr)
        SocketReceiveThreadHandle = CreateThread(nullptr, 0, SocketReceiveThread, nullptr, 0, nullptr);
    StartClock();
}

static void OnConnected()
{
    ++ConnectionSerial;
    PeerClosePending = 0;
    LinkState = LinkConnected;
    StartDataThreads();
    WakeSocketReceiveThread();
}

// A connect that Winsock reports as done with no error; its own record of
// network events, when it has one, must not contradict that.
static void OnConnectDone()
{
    WSAEVENT query = WSACreateEvent();
    WSANETWORKEVENTS events = {};
    int result = WSAEnumNetworkEvents(ConnectionSocket, query, &events);
    if (query != WSA_INVALID_EVENT)
        WSACloseEvent(query);
    // A failed query leaves the notification's word as the only one.
    if (result == 0 && events.lNetworkEvents != 0)
        return;
    char text[PeerTextCapacity + IpTextCapacity];
    wsprintfA(text, "%s%s", PeerTextPrefix, Settings.IP);
    SetStatusText(text);
    OnConnected();
}

// Notifications still queued for a socket that has been closed since tell
// nothing about the present connection.
static bool IsCurrentSocket(SOCKET socket)
{
    return socket != 0 && (socket == ConnectionSocket || socket == ListeningSocket);
}

void OnSocketNotify(SOCKET socket, LPARAM lParam)
{
    if (!IsCurrentSocket(socket))
        return;
    WORD error = WSAGETSELECTERROR(lParam);
    WORD event = WSAGETSELECTEVENT(lParam);
    if (error == WSAECONNRESET || error == WSAETIMEDOUT || error == WSAECONNREFUSED) {
        EndConnectionFromNetwork();
        return;
    }
    switch (event) {
    case FD_READ:
        RecvBlocked = 0;
        WakeSocketReceiveThread();
        break;
    case FD_ACCEPT:
        if (AcceptPeer(socket) == 0)
            OnConnected();
        break;
    case FD_CONNECT:
        // Any other failure of the connect (an unreachable network or host)
        // ends the attempt like a refusal instead of passing for a connection.
        if (error != 0)
            EndConnectionFromNetwork();
        else
            OnConnectDone();
        break;
    case FD_CLOSE:
        // What the peer sent before closing may still wait to be read: the
        // socket receive thread reads it and then reports the end.
        if (LinkState == LinkConnected && SocketReceiveThreadHandle != nullptr) {
            PeerClosePending = socket;
            WakeSocketReceiveThread();
            break;
        }
        if (LinkState == LinkConnected || LinkState == LinkConnectPending)
            CloseConnection(CloseByNetwork);
        LinkState = IsClientMode() ? LinkIdle : LinkListening;
        StopClock();
        break;
    default:
        break;
    }
}

void OnConnectionAborted()
{
    // The Close button or the peer's own close may have come first.
    if (LinkState == LinkConnected)
        EndConnectionFromNetwork();
}

// The socket receive thread has read all the peer sent (error 0), or has
// ended on a receive error while a close waited for it.
void OnPeerFinished(SOCKET socket, int error)
{
    if (!IsCurrentSocket(socket) || LinkState != LinkConnected)
        return;
    if (error == 0 || PeerClosePending == socket)
        EndConnectionFromNetwork();
}

void OnRefreshTick()
{
    AnimateArrows();
    if (Settings.CONNECT != 0 && LinkState == LinkIdle)
        StartConnection();
}
