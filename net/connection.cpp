// The connection manager: the one TCP connection, as a server that serves
// one permitted peer at a time or as a client, and the status text and
// buttons that show its state.
//
// Every socket is non-blocking and reports to the main window through
// WSAAsyncSelect, so nothing here waits. All of it runs on the
// user-interface thread, in the order the window messages arrive, except
// AbortConnection, which the serial receive thread calls after a failed
// send: it only closes the socket and leaves the rest to the main window.
//
// Each start takes one Winsock start-up; the start-up ends when the
// connection ends for good (client: every close; server: the Close button)
// or when the start fails, so that automatic retries hold nothing.
#include "net.h"
#include "../app/app.h"
#include "../config/config.h"
#include "../res/resource.h"

#include <cstdio>

std::atomic<LONG> LinkState{LinkIdle};  // user-interface thread
std::atomic<SOCKET> ConnectionSocket;   // user-interface thread; taken by AbortConnection
SOCKET ListeningSocket;                 // user-interface thread
std::atomic<LONG> RecvBlocked;          // socket receive thread sets, FD_READ clears

static bool WinsockStarted;             // user-interface thread

static const char ConnectionRequestText[] = "Connection Request ・・・";
static const char AcceptWaitingText[] = "Accept Waiting ・・・";
static const char IdleText[] = "Idle";
static const char VersionErrorText[] = "Socket Version Error";
static const char StartupErrorText[] = "Socket Startup Error";
static const char CreateSocketErrorText[] = "Create Socket Error";
static const char ConnectionErrorText[] = "Connection Error";
// Whatever bind reports, users know this one text.
static const char BindErrorText[] = "Bind Error: 10048";
static const char ListenErrorText[] = "Listen Error: ";
static const char PeerTextPrefix[] = "Connection - ";

// The largest backlog the stack allows.
constexpr int ListenBacklog = 0x7FFFFFFF;

bool IsClientMode()
{
    return Settings.MODE == 1;
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

static void EndWinsock()
{
    if (!WinsockStarted)
        return;
    WinsockStarted = false;
    (void)WSACleanup();     // nothing left to do if it fails
}

static void CloseListeningSocket()
{
    SOCKET listener = ListeningSocket;
    ListeningSocket = 0;
    if (listener != 0)
        closesocket(listener);
}

// A start that fails gives back all it took: the socket and the start-up.
static void FailStart(const char *text)
{
    SOCKET socket = ConnectionSocket.exchange(0);
    if (socket != 0 && socket != INVALID_SOCKET)
        closesocket(socket);
    CloseListeningSocket();
    EndWinsock();
    SetStatusText(text);
    EnableConnectButton(true);
}

// Bytes go out as they come: a bridge that waited to fill segments would
// hold small messages back by a delayed acknowledgement each.
static void SendPromptly(SOCKET socket)
{
    BOOL on = TRUE;
    (void)setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on), sizeof on);
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
    SendPromptly(client);

    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(Settings.PORT);
    address.sin_addr.s_addr = inet_addr(Settings.IP);
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
    ConnectionSocket = listener;

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

void FormatPeerText(uint32_t address, char *text, size_t capacity)
{
    const auto *octets = reinterpret_cast<const unsigned char *>(&address);
    snprintf(text, capacity, "%s%d.%d.%d.%d", PeerTextPrefix, octets[0], octets[1], octets[2], octets[3]);
}

int AcceptPeer(SOCKET listener)
{
    sockaddr_in peer = {};
    int length = sizeof peer;
    SOCKET accepted = accept(listener, reinterpret_cast<sockaddr *>(&peer), &length);
    if (accepted == INVALID_SOCKET)
        return 1;
    // One peer at a time, and only permitted ones: the others are dropped
    // without a word.
    if (LinkState == LinkConnected ||
        !PeerPermitted(peer.sin_addr.s_addr, Settings.PERMISSIP1, Settings.PERMISSIP2, Settings.PERMISSIP3)) {
        closesocket(accepted);
        return 1;
    }
    ConnectionSocket = accepted;
    SendPromptly(accepted);
    char text[PeerTextCapacity] = {};
    FormatPeerText(peer.sin_addr.s_addr, text, sizeof text);
    SetStatusText(text);
    EnableConnectButton(false);
    return 0;
}

int CloseConnection(int reason)
{
    // A server's listening socket stays open while the server waits for
    // the next peer.
    SOCKET socket = ConnectionSocket.exchange(0);
    if (socket != 0 && socket != ListeningSocket) {
        (void)shutdown(socket, SD_BOTH);     // the peer may be gone already
        closesocket(socket);
    }
    if (IsClientMode()) {
        SetStatusText(IdleText);
        EnableConnectButton(true);
        EndWinsock();
    } else if (reason == CloseByUser && LinkState == LinkIdle) {
        SetStatusText(IdleText);
        CloseListeningSocket();
        EndWinsock();
    } else {
        SetStatusText(AcceptWaitingText);
    }
    return 0;
}

void AbortConnection(SOCKET failed)
{
    // Only the socket whose send failed is closed: by the time the send
    // fails the main window may have closed it and started another.
    SOCKET expected = failed;
    if (failed == 0 || !ConnectionSocket.compare_exchange_strong(expected, 0))
        return;
    closesocket(failed);
    // The main window ends the connection as it does when the peer closes,
    // so that the state moves on even if Winsock reports nothing more.
    PostMessageA(MainWindow, WM_CONNECTION_ABORTED, 0, 0);
}
