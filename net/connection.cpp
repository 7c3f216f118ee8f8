// The connection manager: the TCP connection, as a server that serves one
// permitted peer at a time or as a client, and the status text and buttons
// that show its state. A server whose start read MAXPEER as 2 or more serves
// that many peers at once, each known by the number the bridge gave it; the
// status text names the oldest and counts the others.
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

// The peers a sharing server serves, oldest first. User-interface thread.
struct ServedPeer {
    SOCKET socket = 0;
    LONG number = 0;            // the bridge's, once attached
    uint32_t address = 0;       // network byte order
    char name[PeerNameCapacity] = {};
};
static std::vector<ServedPeer> Served;
static int SessionPeerLimit = 1;            // user-interface thread: as the session started
static bool SessionKickOld;                 // user-interface thread

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
    SessionPeerLimit = SessionMode == 1 ? 1 : PeerLimit(Settings.MAXPEER);
    SessionKickOld = Settings.KICKOLD != 0;
}

bool SharingPeers()
{
    return SessionStarted && SessionPeerLimit > 1;
}

int PeerLimit(int32_t maxPeer)
{
    return maxPeer >= 2 && maxPeer <= MaxPeers ? maxPeer : 1;
}

size_t PeerToReplace(const uint32_t *served, size_t count, uint32_t address)
{
    for (size_t i = 0; i < count; ++i) {
        if (served[i] == address)
            return i;
    }
    return 0;
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
    if (SharingPeers()) {
        int buffer = SharedSendBufferBytes;
        (void)setsockopt(socket, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char *>(&buffer), sizeof buffer);
    }
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

void FormatServedText(uint32_t oldest, size_t others, char *text, size_t capacity)
{
    FormatPeerText(oldest, text, capacity);
    size_t length = strlen(text);
    if (others > 0 && length < capacity)
        snprintf(text + length, capacity - length, " (+%u)", static_cast<unsigned>(others));
}

// The oldest served peer stands for the connection: its socket, its name
// and the status text.
static void ShowServed()
{
    if (Served.empty()) {
        ConnectionSocket = 0;
        return;
    }
    const ServedPeer &oldest = Served.front();
    ConnectionSocket = oldest.socket;
    memcpy(PeerName, oldest.name, sizeof PeerName);
    char text[PeerTextCapacity] = {};
    FormatServedText(oldest.address, Served.size() - 1, text, sizeof text);
    SetStatusText(text);
}

static void Refuse(SOCKET socket, const char *name, const char *why)
{
    CloseSocket(socket);
    NoteUntoldRefusals();   // a burst before this one is told first
    if (Refusals.Note(GetTickCount64()))
        NoteEvent("Peer %s refused: %s", name, why);
}

int AcceptPeer(SOCKET listener, SOCKET *accepted, LONG *replaced)
{
    *accepted = 0;
    *replaced = 0;
    sockaddr_in peer = {};
    int length = sizeof peer;
    SOCKET socket = accept(listener, reinterpret_cast<sockaddr *>(&peer), &length);
    if (socket == INVALID_SOCKET)
        return 1;
    char name[PeerNameCapacity];
    FormatPeerName(peer.sin_addr.s_addr, ntohs(peer.sin_port), name, sizeof name);
    // Only permitted peers, and one at a time unless several are shared: the
    // others are dropped without a word to them; the history tells of them,
    // a burst in a line. A peer that is not permitted replaces nobody.
    if (!PeerPermitted(peer.sin_addr.s_addr, Settings.PERMISSIP1, Settings.PERMISSIP2, Settings.PERMISSIP3)) {
        Refuse(socket, name, "not permitted");
        return 1;
    }
    if (!SharingPeers()) {
        if (LinkState == LinkConnected) {
            Refuse(socket, name, "a peer is already served");
            return 1;
        }
        memcpy(PeerName, name, sizeof PeerName);
        ConnectionSocket = socket;
        TuneConnectionSocket(socket);
        char text[PeerTextCapacity] = {};
        FormatPeerText(peer.sin_addr.s_addr, text, sizeof text);
        SetStatusText(text);
        EnableConnectButton(false);
        *accepted = socket;
        return 0;
    }
    if (Served.size() >= static_cast<size_t>(SessionPeerLimit)) {
        if (!SessionKickOld) {
            char why[PeerTextCapacity];
            snprintf(why, sizeof why, "all %d places are taken", SessionPeerLimit);
            Refuse(socket, name, why);
            return 1;
        }
        std::vector<uint32_t> addresses;
        for (const ServedPeer &served : Served)
            addresses.push_back(served.address);
        *replaced = Served[PeerToReplace(addresses.data(), addresses.size(), peer.sin_addr.s_addr)].number;
    }
    ServedPeer served;
    served.socket = socket;
    served.address = peer.sin_addr.s_addr;
    memcpy(served.name, name, sizeof served.name);
    Served.push_back(served);
    TuneConnectionSocket(socket);
    ShowServed();
    EnableConnectButton(false);
    *accepted = socket;
    return 0;
}

void NumberPeer(SOCKET socket, LONG number)
{
    for (ServedPeer &served : Served) {
        if (served.socket == socket)
            served.number = number;
    }
}

const char *PeerNameOf(LONG number)
{
    if (!SharingPeers())
        return PeerName;
    for (const ServedPeer &served : Served) {
        if (served.number == number)
            return served.name;
    }
    return nullptr;
}

LONG PeerOfSocket(SOCKET socket)
{
    for (const ServedPeer &served : Served) {
        if (served.socket == socket)
            return served.number;
    }
    return 0;
}

static void CloseServedSocket(SOCKET socket)
{
    (void)shutdown(socket, SD_BOTH);     // the peer may be gone already
    CloseSocket(socket);
}

void ClosePeer(LONG number)
{
    for (auto it = Served.begin(); it != Served.end(); ++it) {
        if (it->number == number) {
            CloseServedSocket(it->socket);
            Served.erase(it);
            break;
        }
    }
    ShowServed();
}

int CloseConnection(int reason)
{
    // The bridge has let go of the socket. A server's listening socket stays
    // open while the server waits for the next peer.
    SOCKET socket = ConnectionSocket.exchange(0);
    if (!Served.empty()) {
        for (const ServedPeer &served : Served)
            CloseServedSocket(served.socket);
        Served.clear();
    } else if (socket != 0) {
        CloseServedSocket(socket);
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
