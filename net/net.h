// Network link: the one TCP connection, the socket receive thread and the
// send path, and the socket settings dialog.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <atomic>
#include <cstdint>

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

// The socket settings dialog: server or client mode, the two ports and the
// addresses. It changes Settings only; the next connection uses them.
INT_PTR CALLBACK SocketDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// A port field's text as a TCP port, 1..65535; false when it is none.
bool ParsePortText(const char *text, uint16_t *port);
// An IP-address control's address (network byte order) as dotted text; an
// emptied control, like 0.0.0.0, is address 0.
void AddressText(uint32_t address, char *text, size_t capacity);
