// Network link: the TCP connection, as a server that serves one permitted
// peer at a time (or, with MAXPEER, several at once) or as a client, and the
// status text and buttons that show its state. What moves over the
// connection is the bridge's.
#pragma once

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
// the bridge takes the connection's socket: from then on it reports data and
// the peer's close to the bridge instead.
constexpr long SocketEvents = FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
constexpr WORD WinsockVersion = MAKEWORD(1, 1);
// Status texts that others show too: the idle state, and the start of the
// text with a peer's address.
inline constexpr char IdleText[] = "Idle";
inline constexpr char PeerTextPrefix[] = "Connection - ";
// The status text with a peer's address: "Connection - ", a dotted quad,
// and " (+7)" while others are served too.
constexpr size_t PeerTextCapacity = 36;
// "255.255.255.255:65535" and its terminator.
constexpr size_t PeerNameCapacity = 24;

// A peer that vanished without a word is found out by keep-alive probes: the
// first after this much quiet, then one a second. Where the platform offers
// it, a peer that stops acknowledging data in flight is given up after
// RetransmitLimitSeconds.
constexpr ULONG KeepAliveIdleMs = 10000;
constexpr ULONG KeepAliveIntervalMs = 1000;
constexpr DWORD RetransmitLimitSeconds = 20;

// A server that serves several peers gives each socket this much send
// buffer, so that a peer that stops reading is found by the bridge's ring
// in a time that does not depend on the stack's buffer tuning.
constexpr int SharedSendBufferBytes = 64 * 1024;

// The connection's socket, 0 when none: the client socket, or the peer a
// server accepted. User-interface thread; the bridge has its own hold on it
// while the connection is attached.
extern std::atomic<SOCKET> ConnectionSocket;
// The server's listening socket while a server runs, 0 otherwise.
// User-interface thread only.
extern SOCKET ListeningSocket;

void StartClient();
void StartServer();
// A peer knocks: 0 when it is served (*accepted, its socket; *replaced, the
// number of the peer it replaces, which the caller ends, or 0), 1 when it
// was turned away.
int AcceptPeer(SOCKET listener, SOCKET *accepted, LONG *replaced);
// The number the bridge gave the peer just accepted.
void NumberPeer(SOCKET socket, LONG number);
// The peer of the connection, "10.0.0.7:50123": the accepted one's (the
// oldest, of several), or the client's destination. User-interface thread.
const char *ConnectionPeerName();

// A server that serves several peers at once (its start read MAXPEER as
// 2 or more). User-interface thread.
bool SharingPeers();
// The served peer of that number or socket; null or 0 when there is none.
const char *PeerNameOf(LONG number);
LONG PeerOfSocket(SOCKET socket);
// Closes one of several served peers' sockets once the bridge has let go of
// it; the status text follows.
void ClosePeer(LONG number);
// MAXPEER as a number of peers: 2 to 8 as written, anything else one.
int PeerLimit(int32_t maxPeer);
// Which of the served peers (their addresses, oldest first) a newcomer from
// `address` replaces: the one from the same address, else the oldest.
size_t PeerToReplace(const uint32_t *served, size_t count, uint32_t address);
// "Connection - 10.0.0.7", and " (+2)" while two more are served.
void FormatServedText(uint32_t oldest, size_t others, char *text, size_t capacity);
// Once a second: peers refused, and starts that failed, in a burst and not
// told one by one are told in one line of the event history each.
void NoteUntoldRefusals();
// Closes the connection's socket, once the bridge has let go of it.
int CloseConnection(int reason);
// The mode the connection in use started in (1 client), kept until it ends
// whatever the socket dialog does meanwhile; outside a connection, the
// settings' mode.
bool IsClientMode();

// Sockets are closed on the user-interface thread only, and once. A closed
// socket's number is free at once for the next socket: the notifications
// still queued for the old one are recognised as stale until the marker
// posted after the close (WM_SOCKET_RELEASED) comes through.
void CloseSocket(SOCKET socket);
bool IsStaleSocket(SOCKET socket);
void OnSocketReleased(SOCKET socket);

// The permitted-address rule: true when no slot is set or the address, in
// network byte order, is in one of them.
bool PeerPermitted(uint32_t address, uint32_t slot1, uint32_t slot2, uint32_t slot3);
void FormatPeerText(uint32_t address, char *text, size_t capacity);
// "10.0.0.7:50123"; port in host order.
void FormatPeerName(uint32_t address, uint16_t port, char *name, size_t capacity);
