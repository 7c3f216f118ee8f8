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
// The receive thread runs from start-up to the end. It waits on the
// connection's socket itself: opening the path hands the socket's data and
// close events from the main window to PeerEvent, so bytes from the peer
// cost the main window nothing. It also wakes on SocketReadEvent, which the
// main window sets for every connection change and port that comes back,
// and on its stop event. When the peer has closed its end, or its
// connection failed, the thread reads what is left, tells the main window
// and waits for the next connection: the main window closes the socket only
// then, so nothing the peer sent before closing is lost. A block the port
// could not take is held, and nothing more is received until it is written,
// so TCP holds the peer back meanwhile; a peer that closes while the block
// waits for a port that is gone is reported at once (WM_PEER_CLOSED).
//
// A connection opened in RFC 2217 mode speaks Telnet: the receive thread
// decodes what the peer sends, writes the data to the port, answers the
// negotiation and applies the peer's line requests in order with the data
// around them, and sends every answer whole under PeerSendLock, which the
// serial receive thread holds for each chunk it sends.
#include "net.h"
#include "../config/config.h"
#include "../res/version.h"
#include "../serial/serial.h"
#include "../shell/shell.h"
#include "../telnet/telnet.h"
#include "../util/util.h"

#include <cstdio>
#include <cstring>
#include <iterator>

static HANDLE SocketReadEvent;          // made by the first start; set on the user-interface thread
static HANDLE PeerEvent;                // made by the first start; set by Winsock for the connection's socket
static WorkerThread SocketReceiver;     // started and asked to stop on the user-interface thread
static LONG ConnectionSerial;           // user-interface thread: counts the connections made

// The connection the data threads act for; 0 serial and socket when none.
static SRWLOCK DataPathLock = SRWLOCK_INIT;     // shared: data threads, one call; exclusive: user-interface thread
static LONG PathConnection;                     // under DataPathLock
static SOCKET PathSocket;                       // under DataPathLock
static bool PathTelnet;                         // under DataPathLock: the connection speaks RFC 2217
static SRWLOCK PeerSendLock = SRWLOCK_INIT;     // either data thread, for one whole message to the peer
// A change of the modem lines to tell the peer, with the connection it is
// for: the user-interface thread sets, the socket receive thread sends.
static std::atomic<LONG> ModemNoteConnection;
static std::atomic<uint8_t> ModemNoteState;
// The last connection a send failed on for good, and the error: written by
// the serial receive thread under DataPathLock, so that once the path is
// closed they are final for that connection.
static std::atomic<LONG> FailedConnection;
static std::atomic<int> FailedSendError;

static void InitSocketDataPath()
{
    // Both auto-reset: a wait takes the news it woke for, and Winsock sets
    // PeerEvent again only after the next receive, so a peer that is not
    // read from (a block held) cannot keep the thread spinning.
    if (SocketReadEvent == nullptr)
        SocketReadEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (PeerEvent == nullptr)
        PeerEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
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

LONG OpenDataPath(SOCKET socket, bool telnet)
{
    LONG connection = ++ConnectionSerial;
    InitSocketDataPath();
    // The socket reports to the receive thread from now on, no longer to the
    // main window; this fails only for a handle that is no socket.
    (void)WSAEventSelect(socket, PeerEvent, FD_READ | FD_CLOSE);
    AcquireSRWLockExclusive(&DataPathLock);     // held by the others for WritableWaitMs at most
    PathConnection = connection;
    PathSocket = socket;
    PathTelnet = telnet;
    ReleaseSRWLockExclusive(&DataPathLock);
    WakeDataThreads();
    return connection;
}

void CloseDataPath()
{
    AcquireSRWLockExclusive(&DataPathLock);
    PathConnection = 0;
    PathSocket = 0;
    PathTelnet = false;
    ReleaseSRWLockExclusive(&DataPathLock);
    WakeDataThreads();
    RestoreUserLine();
}

bool PeerSpeaksTelnet(LONG connection)
{
    AcquireSRWLockShared(&DataPathLock);
    bool telnet = connection != 0 && PathConnection == connection && PathTelnet;
    ReleaseSRWLockShared(&DataPathLock);
    return telnet;
}

void LockPeerSends()
{
    AcquireSRWLockExclusive(&PeerSendLock);
}

void UnlockPeerSends()
{
    ReleaseSRWLockExclusive(&PeerSendLock);
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

// Whether the peer of the connection has closed its end since the last
// look; only asked while nothing is received from it.
static bool PeerHasClosed(LONG connection)
{
    WSANETWORKEVENTS events = {};
    int result = CallOnPath(connection, [&](SOCKET socket) { return WSAEnumNetworkEvents(socket, nullptr, &events); });
    return result == 0 && (events.lNetworkEvents & FD_CLOSE) != 0;
}

// Until the socket has news (data, the peer's close), the main window has
// news (a connection change, a port back) or the thread is asked to stop.
// The events keep news that came since the last look, so none is missed
// between a recv and this wait.
static void WaitForWork(WorkerThread &self)
{
    HANDLE events[] = {PeerEvent, SocketReadEvent, self.StopEvent()};
    (void)WaitForMultipleObjects(static_cast<DWORD>(std::size(events)), events, FALSE, INFINITE);
}

static void ReportPeerFinished(LONG connection, int error)
{
    PostMessageW(MainWindow, WM_PEER_FINISHED, static_cast<WPARAM>(connection), error);
}

// RFC 2217 mode: the Telnet side of the connection the thread serves.
// Socket receive thread.
struct TelnetPath {
    LONG connection;                    // the one the session is for
    TelnetSession session;
    uint8_t pending[SocketBlockSize];   // received and not yet decoded
    size_t length;
    size_t offset;
};
static TelnetPath Telnet;

// One Telnet message to the peer, whole: ends early only with its
// connection, or when the connection failed.
static void SendToTelnetPeer(LONG connection, const uint8_t *bytes, size_t length)
{
    LockPeerSends();
    size_t offset = 0;
    while (offset < length) {
        int sent = SendToPeer(connection, reinterpret_cast<const char *>(bytes) + offset,
                              static_cast<int>(length - offset));
        if (sent == ConnectionEnded || (sent == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK))
            break;
        if (sent > 0)
            offset += static_cast<size_t>(sent);
    }
    UnlockPeerSends();
}

static void AnswerRequest(LONG connection, const ComRequest &request)
{
    uint8_t reply[TelnetAnswerCapacity + TelnetSubnegotiationCapacity];
    size_t length = 0;
    if (request.command == ComSignature) {
        char signature[TelnetSubnegotiationCapacity];
        snprintf(signature, sizeof signature, "Quillmar %s COM%d", QUILLMAR_VERSION_TEXT, Settings.COM + 1);
        length = BuildSignatureReply(signature, reply, sizeof reply);
    } else {
        uint32_t value = ApplyPeerRequest(connection, request.command, request.value);
        length = BuildComReply(request.command, value, reply, sizeof reply);
    }
    if (length > 0)
        SendToTelnetPeer(connection, reply, length);
}

// A new connection in RFC 2217 mode: a fresh session, and our offers.
static void BeginTelnet(LONG connection)
{
    uint8_t greeting[TelnetAnswerCapacity];
    Telnet.connection = connection;
    Telnet.length = Telnet.offset = 0;
    size_t length = StartTelnetSession(Telnet.session, greeting);
    SendToTelnetPeer(connection, greeting, length);
}

// Decodes what waits, until it is all used or the port holds a block back.
// False when the peer broke the protocol: the main window is told why.
static bool DecodeWaiting(LONG connection)
{
    if (LONG noted = ModemNoteConnection.exchange(0); noted == connection) {
        uint8_t note[TelnetAnswerCapacity];
        SendToTelnetPeer(connection, note, BuildComNotify(ComNotifyModemState, ModemNoteState, note, sizeof note));
    }
    while (Telnet.offset < Telnet.length && !SerialWriteHeld()) {
        uint8_t data[SocketBlockSize];
        TelnetOutput output = {};
        output.data = data;
        TelnetStep step = TelnetStep::NeedMore;
        Telnet.offset += DecodeFromPeer(Telnet.session, Telnet.pending + Telnet.offset, Telnet.length - Telnet.offset,
                                        output, step);
        if (output.answerLength > 0)
            SendToTelnetPeer(connection, output.answers, output.answerLength);
        // The data before a request is the port's first, at the old line.
        if (output.dataLength > 0)
            SerialWrite(connection, reinterpret_cast<const char *>(data), static_cast<int>(output.dataLength));
        if (step == TelnetStep::Request)
            AnswerRequest(connection, output.request);
        if (step == TelnetStep::Fault) {
            PostMessageW(MainWindow, WM_PEER_PROTOCOL_FAULT, static_cast<WPARAM>(connection),
                         reinterpret_cast<LPARAM>(output.fault));
            return false;
        }
    }
    return true;
}

void NoteModemLines()
{
    static DWORD lastState;     // user-interface thread
    LONG connection = CurrentConnection();
    uint8_t mask = PeerModemStateMask();
    HANDLE port = PortHandle;
    DWORD state = 0;
    if (mask == 0 || !PeerSpeaksTelnet(connection) || !PortIsOpen(port) || !GetCommModemStatus(port, &state))
        return;     // ports without modem lines (a pty) refuse the question
    // The lines sit in the high nibble as RFC 2217 has them; the changes go
    // in the low one.
    DWORD changed = (state ^ lastState) & ModemLineBits;
    lastState = state;
    if ((changed & mask) == 0)
        return;
    ModemNoteState = static_cast<uint8_t>((state & ModemLineBits) | (changed >> ModemDeltaShift));
    ModemNoteConnection = connection;
    WakeSocketReceiveThread();
}

void SocketReceiveThread(WorkerThread &self)
{
    char block[SocketBlockSize];
    LONG served = 0;        // the connection drained is about
    bool drained = false;   // the last receive emptied the socket
    LONG finished = 0;      // the connection whose peer has closed its end, or whose socket failed
    LONG closedWhileHeld = 0;   // the connection whose peer closed while a block waited for the port
    while (LinkState != LinkShuttingDown && self.KeepGoing()) {
        // A block that waits for the port goes first: nothing more is read
        // meanwhile. Without a port there is nowhere to put it, so a peer
        // that closes then is told to the main window, which knows whether
        // the port is gone for good.
        if (SerialWriteHeld() && !ResumeSerialWrite()) {
            LONG connection = CurrentConnection();
            if (connection != 0 && (connection == closedWhileHeld || PeerHasClosed(connection))) {
                closedWhileHeld = connection;
                PostMessageW(MainWindow, WM_PEER_CLOSED, static_cast<WPARAM>(connection), 0);
            }
            // News of bytes that came meanwhile is taken by this wait: once
            // the block is written, a receive looks.
            drained = false;
            WaitForWork(self);
            continue;
        }
        LONG connection = CurrentConnection();
        if (connection == 0 || connection == finished) {
            WaitForWork(self);
            continue;
        }
        if (connection != served) {
            // A new connection starts with a receive: what its peer sent
            // before the socket was handed to this thread may never signal.
            served = connection;
            drained = false;
        }
        bool telnet = PeerSpeaksTelnet(connection);
        if (telnet) {
            if (Telnet.connection != connection)
                BeginTelnet(connection);
            if (!DecodeWaiting(connection)) {
                finished = connection;
                continue;
            }
            if (SerialWriteHeld() || Telnet.offset < Telnet.length)
                continue;       // the port holds a block back: it goes first
        }
        // A receive that got less than a block emptied the socket: the socket
        // tells when the next bytes come, so no receive is spent to learn
        // that none wait. Nothing waits on a clock: what the peer sends goes
        // to the port at once, and on a real port the write itself goes at
        // the line's pace, so the next receive takes what came meanwhile.
        if (drained) {
            drained = false;
            WaitForWork(self);
            continue;
        }
        int received = ReceiveFromPeer(connection, block, sizeof block);
        if (received > 0) {
            if (telnet) {
                memcpy(Telnet.pending, block, static_cast<size_t>(received));
                Telnet.length = static_cast<size_t>(received);
                Telnet.offset = 0;
            } else {
                SerialWrite(connection, block, received);
            }
            drained = received < SocketBlockSize;
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

void AskSocketReceiveThreadToStop()
{
    SocketReceiver.AskToStop();
}

bool StopSocketReceiveThread(DWORD limitMs)
{
    return SocketReceiver.Stop(limitMs);
}

bool SocketReceiveThreadRuns()
{
    return SocketReceiver.Started();
}
