// The socket data path: the socket receive thread, which hands what the
// peer sends to the serial write, and SendToPeer, through which the serial
// receive thread sends.
//
// Both data threads act for one connection at a time, known by its serial
// number, and reach its socket only through SendToPeer and ReceiveFromPeer.
// Those hold DataPathLock shared for one non-blocking call, or for a wait
// for room of at most WritableWaitMs and one more send; the user-interface thread changes the
// connection under it exclusively, so a data thread never sees a socket that
// has been closed, nor the socket of the next connection under the serial of
// the last.
//
// The receive thread runs from start-up to the end: it sleeps on
// SocketReadEvent, which the main window sets for every FD_READ, connection
// change and port that comes back, and on its stop event. When the peer has
// closed its end, or its connection failed, the thread reads what is left,
// tells the main window and waits for the next connection: the main window
// closes the socket only then, so nothing the peer sent before closing is
// lost. A block the port could not take is held, and nothing more is
// received until it is written, so TCP holds the peer back meanwhile.
#include "net.h"
#include "../serial/serial.h"
#include "../shell/shell.h"
#include "../util/util.h"

#include <iterator>

static HANDLE SocketReadEvent;          // made by the first start; set on the user-interface thread
static WorkerThread SocketReceiver;     // started and asked to stop on the user-interface thread
static LONG ConnectionSerial;           // user-interface thread: counts the connections made

// The connection the data threads act for; 0 serial and socket when none.
static SRWLOCK DataPathLock = SRWLOCK_INIT;     // shared: data threads, one call; exclusive: user-interface thread
static LONG PathConnection;                     // under DataPathLock
static SOCKET PathSocket;                       // under DataPathLock
// The last connection a send failed on for good, and the error: written by
// the serial receive thread under DataPathLock, so that once the path is
// closed they are final for that connection.
static std::atomic<LONG> FailedConnection;
static std::atomic<int> FailedSendError;

static void InitSocketDataPath()
{
    if (SocketReadEvent == nullptr)
        SocketReadEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

void WakeSocketReceiveThread()
{
    if (SocketReadEvent != nullptr)
        SetEvent(SocketReadEvent);
}

// The data threads are woken for every change, so that a wait for the last
// connection ends at once.
static void WakeDataThreads()
{
    WakeSocketReceiveThread();
    WakeSerialWriter();
    WakeSerialReader();
}

LONG OpenDataPath(SOCKET socket)
{
    LONG connection = ++ConnectionSerial;
    AcquireSRWLockExclusive(&DataPathLock);     // held by the others for WritableWaitMs at most
    PathConnection = connection;
    PathSocket = socket;
    ReleaseSRWLockExclusive(&DataPathLock);
    WakeDataThreads();
    return connection;
}

void CloseDataPath()
{
    AcquireSRWLockExclusive(&DataPathLock);
    PathConnection = 0;
    PathSocket = 0;
    ReleaseSRWLockExclusive(&DataPathLock);
    WakeDataThreads();
}

LONG CurrentConnection()
{
    AcquireSRWLockShared(&DataPathLock);
    LONG connection = PathConnection;
    ReleaseSRWLockShared(&DataPathLock);
    return connection;
}

// One call on the socket of the connection, with the path held for its
// length; ConnectionEnded when that connection has ended. The call's error
// is kept for the caller.
template <typename Call>
static int CallOnPath(LONG connection, Call call)
{
    int result = ConnectionEnded;
    int error = 0;
    AcquireSRWLockShared(&DataPathLock);
    if (connection != 0 && PathConnection == connection) {
        result = call(PathSocket);
        if (result == SOCKET_ERROR)
            error = WSAGetLastError();
    }
    ReleaseSRWLockShared(&DataPathLock);
    if (result == SOCKET_ERROR)
        WSASetLastError(error);
    return result;
}

static bool WaitWritable(SOCKET socket)
{
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(socket, &writable);
    timeval timeout = {0, static_cast<long>(WritableWaitMs * 1000)};
    return select(0, nullptr, &writable, nullptr, &timeout) != SOCKET_ERROR;
}

// A full socket is waited for and tried once more in the same hold: a
// connection that breaks meanwhile is found by that send, before the main
// window can close the path, so its error is never lost to timing.
int SendToPeer(LONG connection, const char *data, int count)
{
    int sent = CallOnPath(connection, [=](SOCKET socket) {
        int result = send(socket, data, count, 0);
        if (result == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK && WaitWritable(socket))
            result = send(socket, data, count, 0);
        if (result == SOCKET_ERROR) {
            int error = WSAGetLastError();
            if (error != WSAEWOULDBLOCK) {
                FailedSendError = error;
                FailedConnection = connection;
            }
            WSASetLastError(error);
        }
        return result;
    });
    if (sent == SOCKET_ERROR) {
        int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK)
            AbortConnection(connection, error);
        WSASetLastError(error);     // the caller asks for it again
    }
    return sent;
}

int SendErrorOf(LONG connection)
{
    return connection != 0 && FailedConnection == connection ? FailedSendError.load() : 0;
}

int ReceiveFromPeer(LONG connection, char *buffer, int size)
{
    return CallOnPath(connection, [=](SOCKET socket) { return recv(socket, buffer, size, 0); });
}

// Until the main window has news (an FD_READ, a connection change, a port
// back) or the thread is asked to stop. The event keeps news that came
// since the last look, so none is missed between a recv and this wait.
static void WaitForWork(WorkerThread &self)
{
    HANDLE events[] = {SocketReadEvent, self.StopEvent()};
    (void)WaitForMultipleObjects(static_cast<DWORD>(std::size(events)), events, FALSE, INFINITE);
}

static void ReportPeerFinished(LONG connection, int error)
{
    PostMessageA(MainWindow, WM_PEER_FINISHED, static_cast<WPARAM>(connection), error);
}

void SocketReceiveThread(WorkerThread &self)
{
    char block[SocketBlockSize];
    ChunkPacer pacer(BusyChunkSpacingMs);
    LONG finished = 0;      // the connection whose peer has closed its end, or whose socket failed
    while (LinkState != LinkShuttingDown && self.KeepGoing()) {
        // A block that waits for the port goes first: nothing more is read
        // meanwhile.
        if (SerialWriteHeld() && !ResumeSerialWrite()) {
            WaitForWork(self);
            continue;
        }
        LONG connection = CurrentConnection();
        if (connection == 0 || connection == finished) {
            WaitForWork(self);
            continue;
        }
        // On a busy stream what the peer sends meanwhile gathers in the
        // socket and goes to the port as one block.
        if (DWORD waitMs = pacer.WaitMs(); waitMs != 0)
            (void)WaitForSingleObject(self.StopEvent(), waitMs);
        int received = ReceiveFromPeer(connection, block, sizeof block);
        if (received > 0) {
            SerialWrite(connection, block, received);
            pacer.Ended(static_cast<DWORD>(received), SocketBlockSize);
            continue;
        }
        if (received == ConnectionEnded)
            continue;
        int error = received == 0 ? 0 : WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            WaitForWork(self);
            continue;
        }
        finished = connection;
        ReportPeerFinished(connection, error);
    }
}

void StartSocketReceiveThread()
{
    InitSocketDataPath();
    (void)SocketReceiver.Start(SocketReceiveThread, 0);
}

void StopSocketReceiveThread()
{
    SocketReceiver.AskToStop();
}

bool SocketReceiveThreadRuns()
{
    return SocketReceiver.Started();
}
