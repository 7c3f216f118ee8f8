// The serial receive thread: bytes from the port to the TCP peer.
//
// One thread at a time owns ReadOverlapped and the read buffer. It reads
// only while a peer is connected, so that bytes arriving without one wait in
// the driver's input queue, where the flow control of the hardware modes
// holds the device back. While connected and quiet it keeps a one-byte read
// in flight, which wakes it at the first byte; the rest then waiting in the
// queue is read at once, and the chunk goes to the peer whole. A read in
// flight is cancelled and reaped before its buffer or record is used again,
// and before the thread ends.
#include "serial.h"
#include "../app/app.h"
#include "../config/config.h"
#include "../net/net.h"
#include "../translog/translog.h"

#include <process.h>
#include <cstring>

static const char SocketErrorFormat[] = "Socket Error: %2d";
constexpr size_t StatusTextCapacity = 64;

// The running thread's handle, to wait for its end; user-interface thread.
static HANDLE ReceiveThread;

FlowStep NextFlowStep(bool stopped, DWORD queued)
{
    if (!stopped && queued >= FlowStopLevel)
        return FlowDrop;
    if (stopped && queued <= FlowResumeLevel)
        return FlowRaise;
    return FlowHold;
}

namespace {

struct Reader {
    HANDLE port;
    char buffer[SerialReadSize];
    DWORD held;         // bytes read and not yet forwarded
    bool inFlight;      // a read into buffer + held is under way
    bool wakeUp;        // that read is the one-byte read that waits for data
    bool flowStopped;
};

bool StopRequested()
{
    return LinkState == LinkShuttingDown || PortHandle == nullptr || SerialReaderStopped == 1;
}

DWORD QueuedInput(HANDLE port)
{
    COMSTAT status = {};
    DWORD errors = 0;
    // Line errors are cleared here and never reported; the bytes go on as
    // the driver delivers them.
    if (!ClearCommError(port, &errors, &status))
        return 0;
    return status.cbInQue;
}

void ApplyFlowControl(Reader &reader, DWORD queued)
{
    switch (NextFlowStep(reader.flowStopped, queued)) {
    case FlowDrop:
        DropFlowLine();
        reader.flowStopped = true;
        break;
    case FlowRaise:
        RaiseFlowLine();
        reader.flowStopped = false;
        break;
    case FlowHold:
        break;
    }
}

// Ends a read in flight: what it had read before the cancel is kept.
void CancelRead(Reader &reader)
{
    if (!reader.inFlight)
        return;
    (void)CancelIoEx(reader.port, &ReadOverlapped);     // it may have completed already
    DWORD got = 0;
    if (WaitForSingleObject(ReadOverlapped.hEvent, ReadCancelWaitMs) == WAIT_OBJECT_0 &&
        GetOverlappedResult(reader.port, &ReadOverlapped, &got, FALSE))
        reader.held += got;
    reader.inFlight = false;
}

// Waits up to the time given for the read in flight; true once it is done.
bool CollectRead(Reader &reader, DWORD timeoutMs)
{
    if (WaitForSingleObject(ReadOverlapped.hEvent, timeoutMs) != WAIT_OBJECT_0)
        return false;
    DWORD got = 0;
    if (GetOverlappedResult(reader.port, &ReadOverlapped, &got, FALSE))
        reader.held += got;
    reader.inFlight = false;
    if (got == 0)
        Sleep(PollPeriodMs);    // a port with read time-outs of its own: no spinning on empty reads
    return true;
}

void StartRead(Reader &reader, DWORD count)
{
    DWORD got = 0;
    if (ReadFile(reader.port, reader.buffer + reader.held, count, &got, &ReadOverlapped)) {
        reader.held += got;
        if (got == 0)
            Sleep(PollPeriodMs);    // read time-outs of the port's own: no spinning on empty reads
        return;
    }
    DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING)
        reader.inFlight = true;
    else
        Sleep(PollPeriodMs);    // the port refuses reads; look again later
}

// Waits until the socket can take more, at most the time given.
void WaitWritable(SOCKET socket, DWORD timeoutMs)
{
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(socket, &writable);
    timeval timeout = {static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000 * 1000)};
    (void)select(0, nullptr, &writable, nullptr, &timeout);    // a time-out only means: try again
}

void ShowSocketError(int error)
{
    char text[StatusTextCapacity];
    wsprintfA(text, SocketErrorFormat, error);
    SetStatusText(text);
}

void SendChunk(Reader &reader, const char *chunk, int length)
{
    SOCKET socket = ConnectionSocket;
    int offset = 0;
    while (length > 0) {
        // The connection ended while the chunk waited: its rest has nowhere
        // to go.
        if (LinkState != LinkConnected || ConnectionSocket != socket)
            return;
        int sent = SendToPeer(socket, chunk + offset, length);
        if (sent == SOCKET_ERROR) {
            int error = WSAGetLastError();
            if (error != WSAEWOULDBLOCK) {
                ShowSocketError(error);
                return;
            }
            // The network pushes back: hold the device back too.
            if (!reader.flowStopped) {
                DropFlowLine();
                reader.flowStopped = true;
            }
            WaitWritable(socket, WouldBlockWaitMs);
            // A port being replaced does not wait for a peer that takes
            // nothing.
            if (SerialReaderStopped == 1)
                return;
            continue;
        }
        offset += sent;
        length -= sent;
        if (length > 0)
            WaitWritable(socket, PartialSendWaitMs);
    }
}

void Forward(Reader &reader)
{
    DWORD count = reader.held;
    reader.held = 0;
    SerialToLanBytes += static_cast<int32_t>(count);
    char chunk[TimeTagCapacity + SerialReadSize];
    int tagLength = 0;
    if (TimeTagDue(Settings.DT, Settings.DTRSLAN, SerialToLanSilence))
        tagLength = MakeTimeTag(chunk, TimeTagCapacity);
    memcpy(chunk + tagLength, reader.buffer, count);
    SerialToLanSilence = Settings.DTUPTIME.load();
    if (SerialToLanLog.open)
        LogSerialToLan(chunk, tagLength, chunk + tagLength, static_cast<int>(count));
    SendChunk(reader, chunk, tagLength + static_cast<int>(count));
}

}  // namespace

// The starter has cleared SerialReaderStopped; a stop request may already
// have set it again.
void __cdecl SerialReceiveThread(void *)
{
    Reader reader = {};
    for (;;) {
        HANDLE port = PortHandle;
        if (!PortIsOpen(port)) {
            // No port (the open failed): pace the passes until the thread is
            // told to end.
            if (StopRequested())
                break;
            Sleep(PollPeriodMs);
            continue;
        }
        reader.port = port;
        bool connected = LinkState == LinkConnected;
        if (reader.inFlight)
            CollectRead(reader, PollPeriodMs);
        else if (!connected)
            Sleep(PollPeriodMs);

        DWORD queued = QueuedInput(port);
        ApplyFlowControl(reader, queued);
        if (StopRequested())
            break;
        if (LinkState != LinkConnected) {
            // Bytes already read wait here for the next peer.
            CancelRead(reader);
            continue;
        }
        // A chunk is what one read got, and after a wake-up what arrived
        // with the first byte; it goes on before anything more is read, so
        // a steady trickle is never held back to fill the buffer.
        if (!reader.inFlight && reader.held == 0) {
            // Nothing waits: a read that wakes us at the next byte.
            DWORD asked = queued == 0 ? 1 : queued < SerialReadSize ? queued : SerialReadSize;
            reader.wakeUp = queued == 0;
            StartRead(reader, asked);
        }
        if (!reader.inFlight && reader.held > 0 && reader.wakeUp) {
            reader.wakeUp = false;
            DWORD rest = QueuedInput(port);
            DWORD room = SerialReadSize - reader.held;
            if (rest > 0) {
                StartRead(reader, rest < room ? rest : room);
                if (reader.inFlight)
                    CollectRead(reader, PollPeriodMs);
            }
        }
        if (reader.held > 0 && !reader.inFlight)
            Forward(reader);
    }
    CancelRead(reader);
    SerialReaderStopped = 1;
}

// The flag is taken before the thread starts, so that two connections in a
// row never start two readers of the one read record.
void StartSerialReceiveThread()
{
    if (SerialReaderStopped.exchange(0) == 0)
        return;
    if (ReceiveThread != nullptr) {
        CloseHandle(ReceiveThread);
        ReceiveThread = nullptr;
    }
    uintptr_t thread = _beginthreadex(nullptr, 0,
                                      [](void *) -> unsigned { SerialReceiveThread(nullptr); return 0; },
                                      nullptr, 0, nullptr);
    if (thread == 0) {
        SerialReaderStopped = 1;
        return;
    }
    ReceiveThread = reinterpret_cast<HANDLE>(thread);
}

// The thread may be sending the user-interface thread a status text or a
// log count while it is waited for: those are served during the wait.
static bool WaitServingSentMessages(HANDLE thread, DWORD timeoutMs)
{
    ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        ULONGLONG now = GetTickCount64();
        DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        DWORD result = MsgWaitForMultipleObjects(1, &thread, FALSE, left, QS_SENDMESSAGE);
        if (result == WAIT_OBJECT_0)
            return true;
        if (result != WAIT_OBJECT_0 + 1)
            return false;
        MSG message;
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

bool StopSerialReceiveThread(DWORD timeoutMs)
{
    SerialReaderStopped = 1;
    if (ReceiveThread == nullptr)
        return true;
    if (!WaitServingSentMessages(ReceiveThread, timeoutMs))
        return false;
    CloseHandle(ReceiveThread);
    ReceiveThread = nullptr;
    return true;
}
