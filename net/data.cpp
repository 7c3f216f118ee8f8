// The socket data path: the socket receive thread, which hands what the
// peer sends to the serial write, and SendToPeer, through which the serial
// receive thread sends.
//
// The receive thread waits on SocketReadEvent, which the main window sets
// for every FD_READ and connection change, so the first bytes after a quiet
// spell go on at once; it also looks again every 100 ms, so a notification
// handled between a failed recv and the wait is never missed. When the peer
// has closed its end, the thread reads what is left, tells the main window,
// and waits for the connection to change: the main window closes the socket
// only then, so nothing the peer sent before closing is lost.
#include "net.h"
#include "../app/app.h"
#include "../serial/serial.h"

HANDLE SocketReadEvent;     // created by the start sequence; set on the user-interface thread
std::atomic<LONG> ConnectionSerial;     // user-interface thread
SOCKET PeerClosePending;                // user-interface thread

static const char SocketErrorFormat[] = "Socket Error: %2d";
constexpr size_t StatusTextCapacity = 64;

void InitSocketDataPath()
{
    if (SocketReadEvent == nullptr)
        SocketReadEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

void WakeSocketReceiveThread()
{
    if (SocketReadEvent != nullptr)
        SetEvent(SocketReadEvent);
}

int SendToPeer(SOCKET socket, const char *data, int count)
{
    int sent = send(socket, data, count, 0);
    if (sent == SOCKET_ERROR) {
        int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK)
            AbortConnection(socket);
        WSASetLastError(error);     // the caller asks for it again
    }
    return sent;
}

static void WaitForWork()
{
    WaitForSingleObject(SocketReadEvent, PollPeriodMs);
}

DWORD WINAPI SocketReceiveThread(LPVOID)
{
    char block[SocketBlockSize];
    bool finished = false;      // the peer of this connection has closed its end
    LONG connection = -1;
    for (;;) {
        SOCKET socket = ConnectionSocket;
        if (ConnectionSerial != connection) {
            connection = ConnectionSerial;
            finished = false;
        }
        if (LinkState != LinkConnected || socket == 0 || finished) {
            WaitForWork();
            continue;
        }
        int received = recv(socket, block, sizeof block, 0);
        if (received > 0) {
            SerialWrite(block, received);
            continue;
        }
        if (received == 0) {
            finished = true;
            PostMessageA(MainWindow, WM_PEER_FINISHED, static_cast<WPARAM>(socket), 0);
            continue;
        }
        int error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            RecvBlocked = 1;
            WaitForWork();
            continue;
        }
        // The main window closed the socket while recv ran: that is the
        // connection's end, not a failure of it.
        if (socket != ConnectionSocket || LinkState != LinkConnected)
            continue;
        char text[StatusTextCapacity];
        wsprintfA(text, SocketErrorFormat, error);
        SetStatusText(text);
        // A close that waited for this thread's reading must not wait on.
        PostMessageA(MainWindow, WM_PEER_FINISHED, static_cast<WPARAM>(socket), error);
        HANDLE self = SocketReceiveThreadHandle.exchange(nullptr);
        if (self != nullptr)
            CloseHandle(self);
        return static_cast<DWORD>(-1);
    }
}
