// Network link: the one TCP connection, the socket receive thread and the
// send path.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <atomic>

enum LinkStateValue : LONG {
    LinkConnected = 0,
    LinkIdle = 1,
    LinkShuttingDown = 2,
    LinkListening = 3,
    LinkConnectPending = 4,
};

// Written on the user-interface thread; every thread reads it. Idle from the
// start, so that no thread sees a connection before the first one is made.
extern std::atomic<LONG> LinkState;
// The one socket in use, 0 when none.
extern std::atomic<SOCKET> ConnectionSocket;

DWORD WINAPI SocketReceiveThread(LPVOID);
