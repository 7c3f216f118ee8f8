// Main window events: the commands of the buttons and the menu, the socket
// notifications that move the connection through its states, what the
// bridge reports (a connection that ended, a port that went away), the
// refresh tick that animates the arrows and connects automatically, and the
// second tick that counts quiet spells down and tries a lost port again.
//
// Everything here runs on the user-interface thread, so the connection's
// state changes happen one message at a time. Connections are told apart by
// their numbers, ports by their generations: a report about one that has
// been replaced since changes nothing.
#include "app.h"
#include "../about/about.h"
#include "../bridge/bridge.h"
#include "../config/config.h"
#include "../dialogs/dialogs.h"
#include "../history/history.h"
#include "../net/net.h"
#include "../res/resource.h"
#include "../res/version.h"
#include "../serial/serial.h"
#include "../translog/translog.h"
#include "../util/util.h"

#include <commctrl.h>
#include <mmsystem.h>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <vector>

static const char SocketErrorFormat[] = "Socket Error: %2d";
static const char WriteErrorText[] = "RS232C Write Error";
static const char PortLostFormat[] = "Com%d lost, reopening";
constexpr size_t StatusTextCapacity = 64;

// "RS232C Write Error" has been shown since the port was last open: once per
// loss is enough. User-interface thread.
static bool WriteErrorShown;
static const char HistoryFailingText[] = "Event history not written";
static bool HistoryFailingShown;        // user-interface thread
static EventBurst ConnectFailures;      // user-interface thread: a client's failed attempts
static char LineNoted[StatusTextCapacity];      // user-interface thread: the port's line last told; empty outside a connection

// Part 0 of the status bar: a lost port, or else the line a peer in
// RFC 2217 mode set while it differs from the user's, or else an event
// history that cannot be written, or nothing.
void ShowPortState()
{
    char text[StatusTextCapacity] = {};
    HistoryFailingShown = HistoryFailing();
    if (DataBridge.PortRetrying())
        snprintf(text, sizeof text, PortLostFormat, Settings.COM + 1);
    else if (!DataBridge.PeerLineText(text, sizeof text) && HistoryFailingShown)
        snprintf(text, sizeof text, "%s", HistoryFailingText);     // what matters less goes last
    ShowStatusPart(StatusBarPortPart, text);
}

// After the port was opened, lost or switched: the status bar says so, and
// a block that waits for a port is tried again at once.
static void OnPortChanged()
{
    if (DataBridge.HasPort())
        WriteErrorShown = false;
    ShowPortState();
    DataBridge.Wake();
}

static void ShowSocketError(int error)
{
    char text[StatusTextCapacity];
    wsprintfA(text, SocketErrorFormat, error);
    SetStatusText(text);
}

// A connection's peer, "10.0.0.7:50123", kept before its socket is closed.
struct PeerLabel {
    explicit PeerLabel(LONG connection)
    {
        const char *name = PeerNameOf(connection);
        snprintf(text, sizeof text, "%s", name != nullptr ? name : ConnectionPeerName());
    }
    char text[PeerNameCapacity];
};

// The history's line for the end of a connection, with what it moved; once
// it is detached, so that its figures are whole.
static void NoteConnectionEnd(LONG connection, const PeerLabel &peer, const char *why)
{
    ConnectionFigures figures = DataBridge.FiguresOf(connection);
    NoteEvent("Connection with %s ended: %s; %llu bytes to the port, %llu bytes to the peer, up %llu s",
              peer.text, why, static_cast<unsigned long long>(figures.toPort),
              static_cast<unsigned long long>(figures.toPeer),
              static_cast<unsigned long long>((GetTickCount64() - figures.attachedMs) / 1000));
}

// Every connection is detached, and the history tells how each ended.
static void DetachAll(const char *why)
{
    PeerList peers = DataBridge.Peers();
    std::vector<PeerLabel> labels;
    for (const std::shared_ptr<Connection> &peer : peers)
        labels.emplace_back(peer->number);
    DataBridge.Detach();
    for (size_t i = 0; i < peers.size(); ++i)
        NoteConnectionEnd(peers[i]->number, labels[i], why);
}

// The program ends: the bridge lets go of the connection and the port, its
// threads are told to stop, and the message loop is asked to end. Here the
// threads are not waited for beyond their letting go of the port;
// EndDataThreads waits for them, briefly, once the loop has ended.
void Shutdown()
{
    LinkState = LinkShuttingDown;
    DetachAll("END");
    NoteEvent("Quillmar %s ended", QUILLMAR_VERSION_TEXT);
    // A write held by the line is cancelled before its port is closed; a
    // thread that does not let go leaves the port to the end of the process.
    (void)DataBridge.TakePort(WriterLetGoWaitMs);
    DataBridge.AskToStop();
    if (ClockTimerId != 0)
        StopClock();
    timeEndPeriod(TimerResolution);
    PostQuitMessage(0);
}

void EndDataThreads()
{
    (void)DataBridge.Stop(ReceiveThreadStopWaitMs);    // one that does not end goes with the process
}

// Ends every connection: the bridge lets go of them first, then their
// sockets are closed.
static void EndConnection(int reason, const char *why)
{
    DetachAll(why);
    CloseConnection(reason);
}

// Ends one of several peers; the others are served on.
static void EndOnePeer(LONG connection, const char *why)
{
    PeerLabel peer(connection);
    DataBridge.Detach(connection);
    NoteConnectionEnd(connection, peer, why);
    ClosePeer(connection);
    ShowPortState();
}

static void StartConnection()
{
    if (IsClientMode())
        StartClient();
    else
        StartServer();
    DataBridge.SetSharing(SharingPeers());
}

static void OnConnect(HWND window)
{
    ResetClock();
    StartConnection();
    // Close stays available even after a failed start, so that the user
    // can clear the failure text.
    EnableWindow(GetDlgItem(window, IDC_CONNECT), FALSE);
    EnableWindow(GetDlgItem(window, IDC_CLOSE), TRUE);
}

// The history tells of each change of the port's line during a connection
// and at its end: one a peer in RFC 2217 mode set, or the settings' line
// back after it, or chosen in SERIAL(&R). Nothing outside a connection.
static void NoteLineChange(bool connectionEnded = false)
{
    if (LineNoted[0] == '\0')
        return;
    PortLine line = UserLine();
    bool peers = DataBridge.PeerLine(&line);
    char text[StatusTextCapacity] = {};
    FormatPortLineAndFlow(line, text, sizeof text);
    if (strcmp(text, LineNoted) != 0)
        NoteEvent(peers ? "The peer set the line: %s" : "The port's line follows the settings: %s", text);
    memcpy(LineNoted, text, sizeof text);
    if (connectionEnded)
        LineNoted[0] = '\0';
}

static void OnClose(HWND window)
{
    SetItemText(window, IDC_STATUS_TEXT, IdleText);
    EnableWindow(GetDlgItem(window, IDC_CONNECT), TRUE);
    EnableWindow(GetDlgItem(window, IDC_CLOSE), FALSE);
    LinkState = LinkIdle;
    EndConnection(CloseByUser, "Close");
    NoteLineChange(true);
    StopClock();
    ShowPortState();
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
        (void)DialogBoxParamW(AppInstance, MAKEINTRESOURCEW(IDD_DIALOG_SERIAL), window, SerialDialogProc, 0);
        OnPortChanged();
        NoteLineChange();
        break;
    case IDM_LOG_LAN_TO_SERIAL:
        StartLog(window, LogLanToSerialChannel);
        break;
    case IDM_LOG_SERIAL_TO_LAN:
        StartLog(window, LogSerialToLanChannel);
        break;
    case IDM_ABOUT:
        (void)DialogBoxParamW(AppInstance, MAKEINTRESOURCEW(IDD_DIALOG_ABOUT), window, AboutDialogProc, 0);
        break;
    case IDM_HELP:
        ShowHelp();
        break;
    case IDM_SOCK:
        (void)DialogBoxParamW(AppInstance, MAKEINTRESOURCEW(IDD_DIALOG_SOCK), window, SocketDialogProc, 0);
        break;
    case IDM_OPTION:
        (void)DialogBoxParamW(AppInstance, MAKEINTRESOURCEW(IDD_DIALOG_OPTION), window, OptionDialogProc, 0);
        break;
    default:
        break;
    }
}

// The three errors that end a connection whatever the event.
static bool EndsTheConnection(int error)
{
    return error == WSAECONNRESET || error == WSAETIMEDOUT || error == WSAECONNREFUSED;
}

void DescribeConnectionEnd(int error, uint64_t quietMs, char *text, size_t capacity)
{
    if (error == 0) {
        snprintf(text, capacity, "the peer closed it");
    } else if (error == WSAECONNRESET) {
        snprintf(text, capacity, "the peer reset it");
    } else if (error == WSAETIMEDOUT) {
        snprintf(text, capacity, "the peer vanished; given up after %llu s without a word from it",
                 static_cast<unsigned long long>(quietMs / 1000));
    } else {
        snprintf(text, capacity, "error %d", error);
    }
}

// A client's failed attempts not told on their own: once their burst is
// quiet, or at once when it is over.
static void NoteUntoldConnectFailures(bool burstOver)
{
    uint32_t untold = burstOver ? ConnectFailures.End() : ConnectFailures.Untold(GetTickCount64());
    if (untold > 0)
        NoteEvent("Connecting to %s failed %u more times in %llu s", ConnectionPeerName(), untold,
                  static_cast<unsigned long long>((ConnectFailures.UntoldSpanMs() + 999) / 1000));
}

// A client's attempt that failed; a burst of them (automatic connection)
// in few lines.
static void NoteConnectFailure(int error)
{
    NoteUntoldConnectFailures(false);   // a burst before this one is told first
    if (ConnectFailures.Note(GetTickCount64()))
        NoteEvent("Connecting to %s failed: error %d", ConnectionPeerName(), error);
}

// The connection ended on the network's side: a client goes idle (and, with
// automatic connection, starts again on a later tick), a server waits for
// the next peer. A send that failed on it is what the user is told,
// whichever report of the end came first; otherwise an error other than
// the ordinary ends. The text stays until the next change.
static void EndConnectionFromNetwork(int reason = CloseByNetwork, int error = 0, const char *why = nullptr,
                                     bool showError = true, LONG connection = 0)
{
    if (connection == 0)
        connection = DataBridge.Current();
    char described[StatusTextCapacity * 2];
    if (why == nullptr) {
        uint64_t quietMs = GetTickCount64() - DataBridge.FiguresOf(connection).lastHeardMs;
        DescribeConnectionEnd(error, quietMs, described, sizeof described);
        why = described;
    }
    // One of several peers ends alone.
    if (SharingPeers() && DataBridge.Peers().size() > 1 && DataBridge.IsAttached(connection)) {
        EndOnePeer(connection, why);
        return;
    }
    if (LinkState == LinkConnectPending)
        NoteConnectFailure(error);
    LinkState = IsClientMode() ? LinkIdle : LinkListening;
    EndConnection(reason, why);
    NoteLineChange(true);
    StopClock();
    ShowPortState();
    if (EndReport report = DataBridge.EndOf(connection); report.reason == EndReason::SendFailed)
        ShowSocketError(report.error);
    else if (showError && error != 0 && !EndsTheConnection(error))
        ShowSocketError(error);
}

static void OnConnected(SOCKET socket)
{
    bool first = DataBridge.Current() == 0;
    LinkState = LinkConnected;
    LONG connection = DataBridge.Attach(MakeSocketPeer(socket), Settings.RFC2217 != 0);
    NumberPeer(socket, connection);
    if (first)
        FormatPortLineAndFlow(UserLine(), LineNoted, sizeof LineNoted);
    NoteUntoldConnectFailures(true);
    if (IsClientMode())
        NoteEvent("Connected to %s", ConnectionPeerName());
    else
        NoteEvent("Peer %s connected", PeerLabel(connection).text);
    if (first)
        StartClock();
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
    OnConnected(ConnectionSocket);
}

// Notifications still queued for a socket that has been closed since tell
// nothing about the present connection, even when a new socket has been
// given the same number.
static bool IsCurrentSocket(SOCKET socket)
{
    return socket != 0 && !IsStaleSocket(socket) &&
           (socket == ConnectionSocket || socket == ListeningSocket || PeerOfSocket(socket) != 0);
}

void OnSocketNotify(SOCKET socket, LPARAM lParam)
{
    if (!IsCurrentSocket(socket))
        return;
    WORD error = WSAGETSELECTERROR(lParam);
    WORD event = WSAGETSELECTEVENT(lParam);
    if (EndsTheConnection(error)) {
        EndConnectionFromNetwork(CloseByNetwork, error, nullptr, true, PeerOfSocket(socket));
        return;
    }
    switch (event) {
    case FD_ACCEPT: {
        SOCKET accepted = 0;
        LONG replaced = 0;
        if (AcceptPeer(socket, &accepted, &replaced) != 0)
            break;
        if (replaced != 0)
            EndOnePeer(replaced, "replaced by a newcomer");
        OnConnected(accepted);
        break;
    }
    case FD_CONNECT:
        // Any other failure of the connect (an unreachable network or host)
        // ends the attempt like a refusal instead of passing for a connection.
        if (error != 0)
            EndConnectionFromNetwork(CloseByNetwork, error, nullptr, false);
        else
            OnConnectDone();
        break;
    case FD_CLOSE:
        // Comes here for a connection only when the peer closed before the
        // bridge took its socket. What it sent may still wait to be read:
        // the bridge reads it and then reports the end. Without a port there
        // is nowhere to put it, and the server must not stay taken by a peer
        // that has gone.
        if (LinkState == LinkConnected && !DataBridge.PortRetrying()) {
            DataBridge.Wake();
            break;
        }
        if (LinkState == LinkConnected || LinkState == LinkConnectPending) {
            EndConnectionFromNetwork(CloseByNetwork, 0, nullptr, true, PeerOfSocket(socket));
            break;
        }
        LinkState = IsClientMode() ? LinkIdle : LinkListening;
        StopClock();
        break;
    default:
        break;
    }
}

// The bridge found the connection ended: the peer closed and all it sent
// was read, a receive or a send failed, the peer broke the Telnet protocol,
// or it closed while what it sent waits for a port that is gone. A failed
// send is told whichever report came first; a receive's error only when it
// is not one of the ordinary ends; a protocol fault says why until the next
// change.
void OnConnectionEnded(LONG connection)
{
    if (LinkState != LinkConnected || !DataBridge.IsAttached(connection))
        return;
    EndReport report = DataBridge.EndOf(connection);
    switch (report.reason) {
    case EndReason::SendFailed: {
        char why[StatusTextCapacity];
        snprintf(why, sizeof why, "send error %d", report.error);
        EndConnectionFromNetwork(CloseAfterSendError, 0, why, true, connection);
        break;
    }
    case EndReason::ReceiveFailed:
        EndConnectionFromNetwork(CloseByNetwork, report.error, nullptr, true, connection);
        break;
    case EndReason::ProtocolFault: {
        char why[StatusTextCapacity * 2];
        snprintf(why, sizeof why, "the peer broke the Telnet protocol (%s)", report.fault);
        EndConnectionFromNetwork(CloseByNetwork, 0, why, true, connection);
        SetStatusText(report.fault);
        break;
    }
    case EndReason::PortGone:
        EndConnectionFromNetwork(CloseByNetwork, 0, "the peer closed it while its bytes waited for the port", true,
                                 connection);
        break;
    case EndReason::FellBehind: {
        // Said until the next change, as who was dropped and why.
        char why[StatusTextCapacity];
        snprintf(why, sizeof why, "it fell %u KiB behind", static_cast<unsigned>(FanOutCapacity / 1024));
        char text[StatusTextCapacity * 2];
        snprintf(text, sizeof text, "Peer %s dropped: %s", PeerLabel(connection).text, why);
        NoteEvent("%s", text);
        EndConnectionFromNetwork(CloseByNetwork, 0, why, true, connection);
        SetStatusText(text);
        break;
    }
    default:
        EndConnectionFromNetwork(CloseByNetwork, 0, nullptr, true, connection);
        break;
    }
}

// A data thread found the port gone. The port is closed and tried again
// every second; a write that failed is told once per loss, here rather than
// on the data thread, so that no box holds the data up.
void OnSerialLost(LONG generation, LPARAM how)
{
    if (generation != DataBridge.PortGeneration())
        return;     // about a port that has been replaced since
    if (DataBridge.HasPort()) {
        LoseSerialPort(DataBridge.LastPortError());    // lets go of the dead port; tries it at once
        OnPortChanged();
    }
    if (how == SerialLostOnWrite && !DataBridge.HasPort() && !WriteErrorShown) {
        WriteErrorShown = true;
        ShowMessage(MainWindow, WriteErrorText, MB_OK | MB_ICONERROR);
    }
}

int PortOfDeviceEvent(const DEV_BROADCAST_HDR *header, bool wide)
{
    if (header == nullptr || header->dbch_devicetype != DBT_DEVTYP_PORT)
        return -1;
    // The name fills the record to its end and may lack its terminator.
    size_t nameBytes = header->dbch_size > offsetof(DEV_BROADCAST_PORT_W, dbcp_name)
                           ? header->dbch_size - offsetof(DEV_BROADCAST_PORT_W, dbcp_name) : 0;
    wchar_t name[PortNameCapacity] = {};
    size_t length = 0;
    if (wide) {
        const wchar_t *text = reinterpret_cast<const DEV_BROADCAST_PORT_W *>(header)->dbcp_name;
        length = wcsnlen(text, nameBytes / sizeof(wchar_t));
        if (length >= std::size(name))
            return -1;
        wmemcpy(name, text, length);
    } else {
        const char *text = reinterpret_cast<const DEV_BROADCAST_PORT_A *>(header)->dbcp_name;
        length = strnlen(text, nameBytes);
        if (length >= std::size(name))
            return -1;
        for (size_t i = 0; i < length; ++i)
            name[i] = static_cast<unsigned char>(text[i]);     // port names are ASCII
    }
    return ComValueOfPortName(name, length);
}

// The adapter of the configured port was plugged out or in: its loss, and
// its return while it is tried again, are taken at once rather than at the
// next failed request or the next retry.
void OnDeviceChange(WPARAM event, const DEV_BROADCAST_HDR *header, bool wide)
{
    if (event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE)
        return;
    if (PortOfDeviceEvent(header, wide) != Settings.COM)
        return;
    if (event == DBT_DEVICEREMOVECOMPLETE)
        LoseSerialPort(ERROR_DEVICE_REMOVED);   // lets go of what is left of the port
    else
        (void)RetryLostPort();  // finds the new one, if it is tried again
    OnPortChanged();
}

void OnRefreshTick()
{
    AnimateArrows();
    if (Settings.CONNECT != 0 && LinkState == LinkIdle)
        StartConnection();
}

// A peer in RFC 2217 mode changed the line.
void OnPeerLine()
{
    ShowPortState();
    NoteLineChange();
}

void OnSecondTick()
{
    DataBridge.CountDownQuietSpells();
    DataBridge.NoteModemLines();
    NoteUntoldRefusals();
    NoteUntoldConnectFailures(false);
    if (DataBridge.PortRetrying() && RetryLostPort())
        OnPortChanged();
    else if (HistoryFailing() != HistoryFailingShown)
        ShowPortState();
}
