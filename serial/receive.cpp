// The serial receive thread: bytes from the port to the TCP peer.
//
// One thread at a time owns ReadOverlapped and the read buffer, and it runs
// only while a port is open. It reads only while a peer is connected, so that
// bytes arriving without one wait in the driver's input queue, where the flow
// control of the hardware modes holds the device back. While connected and
// quiet it keeps a one-byte read in flight, which wakes it at the first byte;
// the rest then waiting in the queue is read at once, and the chunk goes to
// the peer whole. A read in flight is cancelled and reaped before its buffer
// or record is used again, and before the thread ends.
//
// A chunk belongs to the connection it is sent to: when that connection
// ends, the unsent rest goes with it. Bytes not yet offered to any peer wait
// for the next one. When the port fails in a way that means the device is
// gone, the thread forwards what it holds, tells the main window, and ends;
// the main window opens the port again and starts a new one.
#include "serial.h"
#include "../config/config.h"
#include "../shell/shell.h"
#include "../telnet/telnet.h"
#include "../translog/translog.h"
#include "../util/util.h"

#include <cstring>
#include <iterator>

std::atomic<int32_t> SerialToLanBytes;      // this thread adds, the display takes
std::atomic<int32_t> SerialToLanSilence;    // this thread reloads, the second tick counts down

// Started, stopped and waited for on the user-interface thread.
static WorkerThread SerialReader;

// The reader's wake-up: a connection made or ended, the line settings
// changed. Auto-reset, so news since the last look is kept.
static HANDLE ReaderWake()
{
    static const HANDLE wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return wake;
}

void WakeSerialReader()
{
    SetEvent(ReaderWake());
}

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
    LONG generation;    // of the port this thread reads
    char buffer[SerialReadSize];
    DWORD held;         // bytes read and not yet forwarded
    bool inFlight;      // a read into buffer + held is under way
    bool wakeUp;        // that read is the one-byte read that waits for data
    bool flowStopped;
    bool lost;          // the port failed in a way that means the device is gone
    ChunkPacer pacer;
};

// The thread is told to end: the program ends or the port changes hands.
bool Abandoned()
{
    return LinkState == LinkShuttingDown || PortHandle == nullptr || SerialReader.StopAsked();
}

bool StopRequested(const Reader &reader)
{
    return reader.lost || Abandoned();
}

// A failure that means the device is gone ends the thread; others only mean
// that nothing came this time.
void NoteFailure(Reader &reader, DWORD error)
{
    if (PortErrorMeansLost(error))
        reader.lost = true;
}

DWORD QueuedInput(Reader &reader)
{
    COMSTAT status = {};
    DWORD errors = 0;
    // Line errors are cleared here and never reported; the bytes go on as
    // the driver delivers them.
    if (!ClearCommError(reader.port, &errors, &status)) {
        NoteFailure(reader, GetLastError());
        return 0;
    }
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

// Waits for the read in flight, up to the time given or until there is
// news for the thread.
void CollectRead(Reader &reader, DWORD timeoutMs)
{
    HANDLE events[] = {ReadOverlapped.hEvent, SerialReader.StopEvent(), ReaderWake()};
    if (WaitForMultipleObjects(static_cast<DWORD>(std::size(events)), events, FALSE, timeoutMs) != WAIT_OBJECT_0)
        return;
    DWORD got = 0;
    if (GetOverlappedResult(reader.port, &ReadOverlapped, &got, FALSE))
        reader.held += got;
    else
        NoteFailure(reader, GetLastError());
    reader.inFlight = false;
    if (got == 0 && !reader.lost)
        Sleep(PollPeriodMs);    // a port with read time-outs of its own: no spinning on empty reads
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
    if (error == ERROR_IO_PENDING) {
        reader.inFlight = true;
        return;
    }
    NoteFailure(reader, error);
    if (!reader.lost)
        Sleep(PollPeriodMs);    // the port refuses reads for now; look again later
}

// Sends the chunk to the peer of the connection; returns how many of its
// bytes went out. The chunk's rest goes with a connection that ends. To a
// peer in RFC 2217 mode the chunk goes escaped, whole before any answer of
// the socket receive thread; the log and the count take the chunk's own
// bytes.
int SendChunk(Reader &reader, LONG connection, const char *chunk, int length, int tagLength)
{
    char escaped[2 * (TimeTagCapacity + SerialReadSize)];
    bool telnet = PeerSpeaksTelnet(connection);
    const char *wire = chunk;
    int wireLength = length;
    if (telnet) {
        wireLength = static_cast<int>(EscapeForPeer(reinterpret_cast<const uint8_t *>(chunk),
                                                    static_cast<size_t>(length), reinterpret_cast<uint8_t *>(escaped)));
        wire = escaped;
    }
    int wireOffset = 0;
    int offset = 0;
    LockPeerSends();
    while (wireOffset < wireLength && !Abandoned()) {
        int sent = SendToPeer(connection, wire + wireOffset, wireLength - wireOffset);
        if (sent == ConnectionEnded)
            break;
        if (sent == SOCKET_ERROR) {
            // Any error but a full socket has dropped the connection.
            if (WSAGetLastError() != WSAEWOULDBLOCK)
                break;
            // The network pushes back: hold the device back too.
            if (!reader.flowStopped) {
                DropFlowLine();
                reader.flowStopped = true;
            }
            continue;
        }
        wireOffset += sent;
        int done = telnet ? static_cast<int>(DataBytesInEscaped(reinterpret_cast<const uint8_t *>(wire),
                                                                static_cast<size_t>(wireOffset)))
                          : wireOffset;
        if (SerialToLanLog.open && done > offset)
            LogSerialToLan(chunk + offset, done - offset, DataBytesIn(offset, done - offset, tagLength));
        offset = done;
    }
    UnlockPeerSends();
    return offset;
}

// Sends what the reader holds. Bytes that no connection took at all stay
// held for the next peer.
void Forward(Reader &reader, LONG connection)
{
    DWORD count = reader.held;
    char chunk[TimeTagCapacity + SerialReadSize];
    int tagLength = 0;
    if (TimeTagDue(Settings.DT, Settings.DTRSLAN, SerialToLanSilence))
        tagLength = MakeTimeTag(chunk, TimeTagCapacity);
    memcpy(chunk + tagLength, reader.buffer, count);
    int sent = SendChunk(reader, connection, chunk, tagLength + static_cast<int>(count), tagLength);
    if (sent == 0 && !Abandoned())
        return;
    reader.held = 0;
    reader.pacer.Ended(count, PacedChunkLimit);
    CountBytes(SerialToLanBytes, static_cast<int32_t>(count));
    SerialToLanSilence = Settings.DTUPTIME.load();
}

// Without a peer nothing is read; the thread sleeps until one comes. It
// looks at the port once a second, so that a device that went away is
// found, and where the flow control moves a line each PollPeriodMs, so that
// the line drops while bytes pile up.
void WaitForPeer()
{
    DWORD timeoutMs = FlowLineFunction(FlowInForce(), false) != 0 ? PollPeriodMs : PortLookPeriodMs;
    HANDLE events[] = {SerialReader.StopEvent(), ReaderWake()};
    (void)WaitForMultipleObjects(static_cast<DWORD>(std::size(events)), events, FALSE, timeoutMs);
}

// The connection to read for: none while the peer has asked for no data.
LONG ConnectionToServe()
{
    LONG connection = CurrentConnection();
    return connection == SuspendedConnection ? 0 : connection;
}

// One pass: wait for the port or a read, look at the queue, read and send.
// A quiet line costs nothing: the read that waits for the next byte is
// waited for without a limit. On a busy line the next chunk gathers in the
// queue for the rest of the spacing before the thread looks: it is then
// read at once, without the read that waits for its first byte.
void Pass(Reader &reader)
{
    LONG connection = ConnectionToServe();
    if (reader.inFlight)
        CollectRead(reader, reader.wakeUp ? INFINITE : PollPeriodMs);
    else if (connection == 0)
        WaitForPeer();
    else if (reader.held == 0)
        reader.pacer.Pause();

    DWORD queued = QueuedInput(reader);
    ApplyFlowControl(reader, queued);
    connection = ConnectionToServe();
    if (StopRequested(reader))
        return;
    if (connection == 0) {
        // Bytes already read wait here for the next peer.
        CancelRead(reader);
        return;
    }
    // A chunk is what one read got, and after a wake-up what arrived with
    // the first byte; it goes on before anything more is read, so a steady
    // trickle is never held back to fill the buffer.
    if (!reader.inFlight && reader.held == 0) {
        // Nothing waits: a read that wakes us at the next byte.
        DWORD asked = queued == 0 ? 1 : queued < SerialReadSize ? queued : SerialReadSize;
        reader.wakeUp = queued == 0;
        StartRead(reader, asked);
    }
    if (!reader.inFlight && reader.held > 0 && reader.wakeUp) {
        // The look at the queue above came after the first byte: what it
        // saw is the rest that came with it.
        reader.wakeUp = false;
        DWORD rest = queued;
        DWORD room = SerialReadSize - reader.held;
        if (rest > 0 && !reader.lost) {
            StartRead(reader, rest < room ? rest : room);
            if (reader.inFlight)
                CollectRead(reader, PollPeriodMs);
        }
    }
    if (reader.held > 0 && !reader.inFlight)
        Forward(reader, connection);
}

}  // namespace

void SerialReceiveThread(WorkerThread &self)
{
    Reader reader = {.pacer = ChunkPacer(BusyChunkSpacingMs)};
    reader.port = PortHandle;
    reader.generation = PortGeneration;
    while (PortIsOpen(reader.port) && !reader.lost && LinkState != LinkShuttingDown && self.KeepGoing())
        Pass(reader);
    self.Leave();
    CancelRead(reader);
    if (reader.lost) {
        // What was read before the device went goes on if a peer takes it.
        LONG connection = CurrentConnection();
        if (reader.held > 0 && connection != 0)
            Forward(reader, connection);
        PostMessageA(MainWindow, WM_SERIAL_LOST, static_cast<WPARAM>(reader.generation), SerialLostOnRead);
    }
}

// A reader that is still ending owns the read record: it is waited for as
// long as its read may take to be cancelled, and no second one starts.
void StartSerialReceiveThread()
{
    if (PortIsOpen(PortHandle))
        (void)SerialReader.Start(SerialReceiveThread, ReadCancelWaitMs);
}

bool StopSerialReceiveThread(DWORD timeoutMs)
{
    return SerialReader.Stop(timeoutMs);
}
