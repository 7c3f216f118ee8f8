// Network link: the one TCP connection, the socket receive thread and the
// send path, and the socket settings dialog.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <atomic>
#include <cstddef>
#include <cstdint>

enum LinkStateValue : LONG {
    LinkConnected = 0,
    LinkIdle = 1,
    LinkShuttingDown = 2,
    LinkListening = 3,
    LinkConnectPending = 4,
};

// Why a connection ends.
enum CloseReason : int {
    CloseByNetwork = 1,
    CloseByUser = 2,
};

// Every socket reports these to the main window as WM_SOCKET_NOTIFY.
constexpr long SocketEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
constexpr WORD WinsockVersion = MAKEWORD(1, 1);
// The status text with a peer's address: "Connection - " and a dotted quad.
constexpr size_t PeerTextCapacity = 36;

// Written on the user-interface thread; every thread reads it. Idle from the
// start, so that no thread sees a connection before the first one is made.
extern std::atomic<LONG> LinkState;
// The one socket in use, 0 when none: the client socket, the listening
// socket while a server waits, or the accepted peer. Set on the
// user-interface thread; whoever closes it takes it with exchange(0).
extern std::atomic<SOCKET> ConnectionSocket;
// The server's listening socket while a server runs, 0 otherwise.
// User-interface thread only.
extern SOCKET ListeningSocket;
// Counts the connections made; the data threads tell one connection from
// the next by it, as a socket handle may be reused. User-interface thread.
extern std::atomic<LONG> ConnectionSerial;
// The socket whose FD_CLOSE waits for the socket receive thread to read
// what the peer sent before closing; 0 when none. User-interface thread.
extern SOCKET PeerClosePending;
// 1 after the socket receive thread found nothing to read; FD_READ clears it.
extern std::atomic<LONG> RecvBlocked;

void StartClient();
void StartServer();
int AcceptPeer(SOCKET listener);
int CloseConnection(int reason);
// Called by the sending thread with the socket whose send failed.
void AbortConnection(SOCKET failed);
bool IsClientMode();

// The permitted-address rule: true when no slot is set or the address, in
// network byte order, is in one of them.
bool PeerPermitted(uint32_t address, uint32_t slot1, uint32_t slot2, uint32_t slot3);
void FormatPeerText(uint32_t address, char *text, size_t capacity);

// The socket data path.
constexpr int SocketBlockSize = 8192;   // one receive, and one write request to the port
// Set for every FD_READ and connection change; the socket receive thread
// waits on it.
extern HANDLE SocketReadEvent;
void InitSocketDataPath();
void WakeSocketReceiveThread();
// One send on the socket; after a hard error the connection is dropped.
// Returns what send returned; WSAGetLastError tells why after -1.
int SendToPeer(SOCKET socket, const char *data, int count);
DWORD WINAPI SocketReceiveThread(LPVOID);

// The socket settings dialog: server or client mode, the two ports and the
// addresses. It changes Settings only; the next connection uses them.
INT_PTR CALLBACK SocketDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// A port field's text as a TCP port, 1..65535; false when it is none.
bool ParsePortText(const char *text, uint16_t *port);
// An IP-address control's address (network byte order) as dotted text; an
// emptied control, like 0.0.0.0, is address 0.
void AddressText(uint32_t address, char *text, size_t capacity);
