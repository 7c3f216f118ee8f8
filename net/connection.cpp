// The connection manager: the one TCP connection, as a server that serves
// one permitted peer at a time or as a client, and the status text and
// buttons that show its state.
//
// Every socket is non-blocking and reports to the main window through
// WSAAsyncSelect, so nothing here waits. All of it runs on the
// user-interface thread, in the order the window messages arrive. Every
// socket is closed here, once: a connection's socket only after the bridge
// has let go of it.
//
// Each start takes one Winsock start-up; the start-up ends when the
// connection ends for good (client: every close; server: the Close button)
// or when the start fails, so that automatic retries hold nothing. A start
// fixes the mode until then: a server goes on listening for the next peer,
// and a client goes idle, whatever the socket dialog sets meanwhile.
#include "net.h"
#include "../config/config.h"
#include "../history/history.h"
#include "../shell/shell.h"

#include <mstcpip.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

std::atomic<SOCKET> ConnectionSocket;   // user-interface thread
SOCKET ListeningSocket;                 // user-interface thread

static bool WinsockStarted;             // user-interface thread
static bool SessionStarted;             // user-interface thread: a start holds its mode
static int32_t SessionMode;             // user-interface thread
static std::vector<SOCKET> StaleSockets;    // user-interface thread: closed, markers not yet through
static char PeerName[PeerNameCapacity];     // user-interface thread: the connection's peer
static EventBurst Refusals;                 // user-interface thread: peers turned away

static const char ConnectionRequestText[] = "Connection Request ・・・";
static const char AcceptWaitingText[] = "Accept Waiting ・・・";
static const char VersionErrorText[] = "Socket Version Error";
static const char StartupErrorText[] = "Socket Startup Error";
static const char CreateSocketErrorText[] = "Create Socket Error";
static const char ConnectionErrorText[] = "Connection Error";
// Whatever bind reports, users know this one text.
static const char BindErrorText[] = "Bind Error: 10048";
static const char ListenErrorText[] = "Listen Error: ";

// The socket option TCP_MAXRT of the Windows SDK (ws2ipdef.h), which the
// headers of mingw-w64 lack.
constexpr int TcpMaxRetransmitOption = 5;

// The largest backlog the stack allows.
constexpr int ListenBacklog = 0x7FFFFFFF;

bool IsClientMode()
{
    return (SessionStarted ? SessionMode : Settings.MODE.load()) == 1;
}

static void BeginSession()
{
    SessionMode = Settings.MODE;
    SessionStarted = true;
}

void CloseSocket(SOCKET socket)
{
    if (socket == 0 || socket == INVALID_SOCKET)
        return;
    closesocket(socket);
    // Notifications for the socket posted before the close precede the
    // marker in the queue; a later socket of the same number follows it.
    if (PostMessageW(MainWindow, WM_SOCKET_RELEASED, static_cast<WPARAM>(socket), 0))
        StaleSockets.push_back(socket);
}

bool IsStaleSocket(SOCKET socket)
{
    return std::find(StaleSockets.begin(), StaleSockets.end(), socket) != StaleSockets.end();
}

void OnSocketReleased(SOCKET socket)
{
    auto stale = std::find(StaleSockets.begin(), StaleSockets.end(), socket);
    if (stale != StaleSockets.end())
        StaleSockets.erase(stale);
}

// Returns the failure text, or null once Winsock is ready.
static const char *BeginWinsock()
{
    if (WinsockStarted)
        return nullptr;
    WSADATA data = {};
    int result = WSAStartup(WinsockVersion, &data);
    if (data.wVersion != WinsockVersion) {
        if (result == 0)
            WSACleanup();
        return VersionErrorText;
    }
    if (result != 0)
        return StartupErrorText;
    WinsockStarted = true;
    return nullptr;
}

// The session ends with the start-up: the next start takes the mode anew.
// After a failed send the start-up is kept for the next start to use: that
// path never cleans Winsock up.
static void EndWinsock(int reason)
{
    SessionStarted = false;
    if (!WinsockStarted || reason == CloseAfterSendError)
        return;
    WinsockStarted = false;
    (void)WSACleanup();     // nothing left to do if it fails
}

static void CloseListeningSocket()
{
    SOCKET listener = ListeningSocket;
    ListeningSocket = 0;
    CloseSocket(listener);
}

static EventBurst StartFailures;            // user-interface thread: starts that failed

// A start that fails gives back all it took: the socket and the start-up.
// Automatic connection tries again and again: a burst is told in few lines.
static void FailStart(const char *text)
{
    NoteUntoldRefusals();   // a burst before this one is told first
    if (StartFailures.Note(GetTickCount64()))
        NoteEvent("The %s could not start: %s", IsClientMode() ? "client" : "server", text);
    CloseSocket(ConnectionSocket.exchange(0));
    CloseListeningSocket();
    EndWinsock(CloseByNetwork);
    SetStatusText(text);
    EnableConnectButton(true);
}

// Bytes go out as they come: a bridge that waited to fill segments would
// hold small messages back by a delayed acknowledgement each. A peer that
// vanished (cable pulled, host gone, a NAT entry expired) is found out by
// keep-alive probes on a quiet line, and where the platform offers it by a
// limit on retransmission while data is in flight; either ends the
// connection with an error notification like any other.
static void TuneConnectionSocket(SOCKET socket)
{
    BOOL on = TRUE;
    (void)setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on), sizeof on);
    tcp_keepalive keepAlive = {1, KeepAliveIdleMs, KeepAliveIntervalMs};
    DWORD returned = 0;
    (void)WSAIoctl(socket, SIO_KEEPALIVE_VALS, &keepAlive, sizeof keepAlive, nullptr, 0, &returned, nullptr,
                   nullptr);   // without it, a dead peer is found only when data is sent
    DWORD limit = RetransmitLimitSeconds;
    // Windows Vista and later; Wine refuses it (WSAENOPROTOOPT).
    (void)setsockopt(socket, IPPROTO_TCP, TcpMaxRetransmitOption, reinterpret_cast<const char *>(&limit), sizeof limit);
}

static void SelectSocketEvents(SOCKET socket)
{
    // Only fails for a socket that is not one, which ours always is.
    (void)WSAAsyncSelect(socket, MainWindow, WM_SOCKET_NOTIFY, SocketEvents);
}

void StartClient()
{
    SetStatusText(ConnectionRequestText);
    if (const char *failure = BeginWinsock()) {
        FailStart(failure);
        return;
    }
    SOCKET client = socket(AF_INET, SOCK_STREAM, 0);
    if (client == INVALID_SOCKET) {
        FailStart(CreateSocketErrorText);
        return;
    }
    ConnectionSocket = client;
    BeginSession();
    TuneConnectionSocket(client);
    snprintf(PeerName, sizeof PeerName, "%s:%u", Settings.IP, static_cast<unsigned>(Settings.PORT.load()));

    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(Settings.PORT);
    address.sin_addr.s_addr = DottedAddress(Settings.IP);
    SelectSocketEvents(client);
    if (connect(client, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK) {
            FailStart(ConnectionErrorText);
            return;
        }
    }
    LinkState = LinkConnectPending;
    EnableConnectButton(false);
}

void StartServer()
{
    if (const char *failure = BeginWinsock()) {
        FailStart(failure);
        return;
    }
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET) {
        FailStart(CreateSocketErrorText);
        return;
    }
    ListeningSocket = listener;
    BeginSession();

    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(Settings.SPORT);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(listener, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        FailStart(BindErrorText);
        return;
    }
    if (listen(listener, ListenBacklog) != 0) {
        FailStart(ListenErrorText);
        return;
    }
    SelectSocketEvents(listener);
    LinkState = LinkListening;
    EnableConnectButton(false);
    SetStatusText(AcceptWaitingText);
    NoteEvent("Listening on TCP port %u", static_cast<unsigned>(Settings.SPORT.load()));
}

bool PeerPermitted(uint32_t address, uint32_t slot1, uint32_t slot2, uint32_t slot3)
{
    if (slot1 == 0 && slot2 == 0 && slot3 == 0)
        return true;
    for (uint32_t slot : {slot1, slot2, slot3}) {
        if (slot != 0 && slot == address)
            return true;
    }
    return false;
}

void FormatPeerName(uint32_t address, uint16_t port, char *name, size_t capacity)
{
    char dotted[PeerNameCapacity];
    FormatDottedAddress(address, dotted, sizeof dotted);
    snprintf(name, capacity, "%s:%u", dotted, static_cast<unsigned>(port));
}

const char *ConnectionPeerName()
{
    return PeerName;
}

void NoteUntoldRefusals()
{
    uint64_t now = GetTickCount64();
    if (uint32_t untold = Refusals.Untold(now); untold > 0)
        NoteEvent("%u more peers refused in %llu s", untold,
                  static_cast<unsigned long long>((Refusals.UntoldSpanMs() + 999) / 1000));
    if (uint32_t untold = StartFailures.Untold(now); untold > 0)
        NoteEvent("%u more starts failed in %llu s", untold,
                  static_cast<unsigned long long>((StartFailures.UntoldSpanMs() + 999) / 1000));
}

void FormatPeerText(uint32_t address, char *text, size_t capacity)
{
    int prefix = snprintf(text, capacity, "%s", PeerTextPrefix);
    if (prefix >= 0 && static_cast<size_t>(prefix) < capacity)
        FormatDottedAddress(address, text + prefix, capacity - prefix);
}

int AcceptPeer(SOCKET listener)
{
    sockaddr_in peer = {};
    int length = sizeof peer;
    SOCKET accepted = accept(listener, reinterpret_cast<sockaddr *>(&peer), &length);
    if (accepted == INVALID_SOCKET)
        return 1;
    char name[PeerNameCapacity];
    FormatPeerName(peer.sin_addr.s_addr, ntohs(peer.sin_port), name, sizeof name);
    // One peer at a time, and only permitted ones: the others are dropped
    // without a word to them; the history tells of them, a burst in a line.
    bool permitted = PeerPermitted(peer.sin_addr.s_addr, Settings.PERMISSIP1, Settings.PERMISSIP2, Settings.PERMISSIP3);
    if (LinkState == LinkConnected || !permitted) {
        CloseSocket(accepted);
        NoteUntoldRefusals();   // a burst before this one is told first
        if (Refusals.Note(GetTickCount64()))
            NoteEvent("Peer %s refused: %s", name, permitted ? "a peer is already served" : "not permitted");
        return 1;
    }
    memcpy(PeerName, name, sizeof PeerName);
    ConnectionSocket = accepted;
    TuneConnectionSocket(accepted);
    char text[PeerTextCapacity] = {};
    FormatPeerText(peer.sin_addr.s_addr, text, sizeof text);
    SetStatusText(text);
    EnableConnectButton(false);
    return 0;
}

int CloseConnection(int reason)
{
    // The bridge has let go of the socket. A server's listening socket stays
    // open while the server waits for the next peer.
    SOCKET socket = ConnectionSocket.exchange(0);
    if (socket != 0) {
        (void)shutdown(socket, SD_BOTH);     // the peer may be gone already
        CloseSocket(socket);
    }
    if (IsClientMode()) {
        SetStatusText(IdleText);
        EnableConnectButton(true);
        EndWinsock(reason);
    } else if (reason == CloseByUser && LinkState == LinkIdle) {
        SetStatusText(IdleText);
        CloseListeningSocket();
        EndWinsock(reason);
    } else {
        SetStatusText(AcceptWaitingText);
    }
    return 0;
}
