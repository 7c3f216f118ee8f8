// Network link: the one TCP connection, the socket receive thread and the
// send path.
#pragma once

#include "../serial/serial.h"
#include "../shell/shell.h"
#include "../util/util.h"

#include <winsock2.h>
#include <windows.h>
#include <atomic>
#include <cstddef>
#include <cstdint>


// Why a connection ends.
enum CloseReason : int {
    CloseByNetwork = 1,
    CloseByUser = 2,
    CloseAfterSendError = 3,    // as by the network, but the start-up stays for the next start
};

// Every socket reports these to the main window as WM_SOCKET_NOTIFY, until
// the connection's data path opens: from then on its socket reports data and
// the peer's close to the socket receive thread instead.
constexpr long SocketEvents = FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
constexpr WORD WinsockVersion = MAKEWORD(1, 1);
// Status texts that others show too: the idle state, and the start of the
// text with a peer's address.
inline constexpr char IdleText[] = "Idle";
inline constexpr char PeerTextPrefix[] = "Connection - ";
// The status text with a peer's address: "Connection - " and a dotted quad.
constexpr size_t PeerTextCapacity = 36;

// A peer that vanished without a word is found out by keep-alive probes: the
// first after this much quiet, then one a second. Where the platform offers
// it, a peer that stops acknowledging data in flight is given up after
// RetransmitLimitSeconds.
constexpr ULONG KeepAliveIdleMs = 10000;
constexpr ULONG KeepAliveIntervalMs = 1000;
constexpr DWORD RetransmitLimitSeconds = 20;

// The connection's socket, 0 when none: the client socket, or the peer a
// server accepted. User-interface thread; the data threads never use it
// (see the data path below).
extern std::atomic<SOCKET> ConnectionSocket;
// The server's listening socket while a server runs, 0 otherwise.
// User-interface thread only.
extern SOCKET ListeningSocket;

void StartClient();
void StartServer();
int AcceptPeer(SOCKET listener);
int CloseConnection(int reason);
// Called on a data thread after a hard send error on the connection: the
// main window drops it and shows the error.
void AbortConnection(LONG connection, int error);
// The mode the connection in use started in (1 client), kept until it ends
// whatever the socket dialog does meanwhile; outside a connection, the
// settings' mode.
bool IsClientMode();

// Sockets are closed on the user-interface thread only, and once. A closed
// socket's number is free at once for the next socket: the notifications
// still queued for the old one are recognised as stale until the marker
// posted after the close (WM_SOCKET_CLOSED) comes through.
void CloseSocket(SOCKET socket);
bool IsStaleSocket(SOCKET socket);
void OnSocketClosed(SOCKET socket);

// The permitted-address rule: true when no slot is set or the address, in
// network byte order, is in one of them.
bool PeerPermitted(uint32_t address, uint32_t slot1, uint32_t slot2, uint32_t slot3);
void FormatPeerText(uint32_t address, char *text, size_t capacity);

// The data path: the connection the data threads act for, known by its
// serial number. The user-interface thread opens it when a connection is
// made and closes it before the connection's socket is closed; the data
// threads reach the socket only through the calls below, which hold the
// path for one non-blocking call or a short wait, so no socket is used after
// it was closed and no byte meant for one connection reaches another. What
// the serial side calls of it (CurrentConnection, SendToPeer) is declared in
// serial/serial.h, where the two sides meet.
// A connection in RFC 2217 mode (telnet) speaks Telnet to its peer.
LONG OpenDataPath(SOCKET socket, bool telnet);      // the new connection's serial
void CloseDataPath();
// One recv on the socket of the connection: what recv returned, or
// ConnectionEnded; WSAGetLastError tells why after -1.
int ReceiveFromPeer(LONG connection, char *buffer, int size);
// The error of a send that failed for good on the connection, 0 if none
// did; final once the path has been closed.
int SendErrorOf(LONG connection);

// Once a second on the user-interface thread: a change of the modem lines
// that a peer in RFC 2217 mode asked to hear of is sent to it.
void NoteModemLines();

// For every connection change and port that comes back: the socket receive
// thread looks again.
void WakeSocketReceiveThread();
// The socket receive thread runs from start-up to the end. The shutdown
// asks it to stop; once the message loop has ended it is waited for, up to
// the limit, so that it is out of every system call before the process
// unloads its libraries.
void SocketReceiveThread(WorkerThread &self);
void StartSocketReceiveThread();
void AskSocketReceiveThreadToStop();
bool StopSocketReceiveThread(DWORD limitMs);
bool SocketReceiveThreadRuns();
