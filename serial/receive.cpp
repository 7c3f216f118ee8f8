// The serial receive thread: bytes from the port to the TCP peer.
//
// One thread at a time owns ReadOverlapped and the read buffer, and it runs
// only while a port is open. It reads only while a peer is connected, so that
// bytes arriving without one wait in the driver's input queue, where the flow
// control of the hardware modes holds the device back. A read in flight is
// cancelled and reaped before its buffer or record is used again, and before
// the thread ends.
//
// Each message goes to the peer the moment it is whole. A quiet line keeps a
// one-byte read in flight, which wakes the thread at the first byte; what
// came with it is read at once and the chunk goes: an answer to what just
// went out, or a message after a quiet spell, never waits. Only a stream
// that keeps flowing one way is gathered, by the line: a read that ends once
// it holds a few milliseconds of line time, or once the line has been quiet
// for a few character times (the port's read interval time-out).
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

#include <algorithm>
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

// What the read in flight is for.
enum ReadKind {
    WakeUpRead,     // one byte: waits for the first byte of the next chunk
    QueuedRead,     // what waits in the queue: completes at once
    GatherRead,     // a stream: ends full, or after the line's quiet time
};

struct Reader {
    HANDLE port;
    LONG generation;    // of the port this thread reads
    char buffer[SerialReadSize];
    DWORD held;         // bytes read and not yet forwarded
    bool inFlight;      // a read into buffer + held is under way
    ReadKind kind;      // of the read in flight, or of the last one
    DWORD asked;        // by that read
    DWORD got;          // by that read, once it completed
    bool cancelled;     // that read was cancelled by this thread
    uint64_t gatherDeadlineUs;  // a gather read still in flight then is cancelled
    int emptyReads;     // completed reads in a row that brought nothing
    bool streaming;     // the line keeps flowing one way: the next read gathers
    uint64_t lastChunkUs;       // when the last chunk went to the peer
    uint32_t writesAtLastChunk; // PortWritesBegun then
    bool flowStopped;
    bool lost;          // the port failed in a way that means the device is gone
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
void NoteFailure(Reader &reader, DWORD error, bool cancelledByUs = false)
{
    if (PortErrorMeansLost(error, cancelledByUs))
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

// A completed read: what it brought is held, even from a read that was
// cancelled or timed out.
void Reap(Reader &reader)
{
    DWORD got = 0;
    if (!GetOverlappedResult(reader.port, &ReadOverlapped, &got, FALSE))
        NoteFailure(reader, GetLastError(), reader.cancelled);
    reader.inFlight = false;
    reader.got = got;
    reader.held += got;
    // A gather read that came back full: the line is still flowing. One cut
    // short by the line's quiet time, or cancelled, ends the stream.
    if (reader.kind == GatherRead)
        reader.streaming = got == reader.asked && !reader.cancelled;
    // A port with read time-outs that end reads empty is not asked again at
    // once; a single empty read is a time-out's race, not a habit.
    if (reader.cancelled)
        return;
    reader.emptyReads = got == 0 ? reader.emptyReads + 1 : 0;
    if (reader.emptyReads > 1 && !reader.lost)
        Sleep(PollPeriodMs);
}

// Ends a read in flight: what it had read before the cancel is kept.
void CancelRead(Reader &reader)
{
    if (!reader.inFlight)
        return;
    (void)CancelIoEx(reader.port, &ReadOverlapped);     // it may have completed already
    reader.cancelled = true;
    if (WaitForSingleObject(ReadOverlapped.hEvent, ReadCancelWaitMs) == WAIT_OBJECT_0) {
        Reap(reader);
        return;
    }
    reader.inFlight = false;    // a driver that does not let go; the record is not used again by this thread
    reader.lost = true;
}

// Waits for the read in flight until it completes, or there is news for the
// thread; a gather read that outlasts its deadline is cancelled, and what it
// got so far goes on.
void CollectRead(Reader &reader)
{
    DWORD timeoutMs = INFINITE;
    if (reader.kind == GatherRead) {
        uint64_t now = ClockMicroseconds();
        timeoutMs = now >= reader.gatherDeadlineUs
                        ? 0 : static_cast<DWORD>((reader.gatherDeadlineUs - now + 999) / 1000);
    } else if (reader.kind == QueuedRead) {
        timeoutMs = ReadCancelWaitMs;
    }
    HANDLE events[] = {ReadOverlapped.hEvent, SerialReader.StopEvent(), ReaderWake()};
    DWORD woken = WaitForMultipleObjects(static_cast<DWORD>(std::size(events)), events, FALSE, timeoutMs);
    if (woken == WAIT_OBJECT_0)
        Reap(reader);
    else if (woken == WAIT_TIMEOUT)
        CancelRead(reader);
}

void StartRead(Reader &reader, ReadKind kind, DWORD count)
{
    reader.kind = kind;
    reader.asked = count;
    reader.cancelled = false;
    if (kind == GatherRead) {
        LinePace pace = CurrentLinePace();
        uint64_t lineUs = static_cast<uint64_t>(GatherLineMs + pace.quietMs + GatherSlackMs) * 1000;
        reader.gatherDeadlineUs = ClockMicroseconds() + lineUs;
    }
    if (ReadFile(reader.port, reader.buffer + reader.held, count, nullptr, &ReadOverlapped)) {
        reader.inFlight = true;     // done already: reaped below like any other
        Reap(reader);
        return;
    }
    DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
        reader.inFlight = true;
        if (kind != WakeUpRead)
            CollectRead(reader);    // a queued read completes at once, a gather read within its deadline
        return;
    }
    NoteFailure(reader, error);
    if (!reader.lost)
        Sleep(PollPeriodMs);    // the port refuses reads for now; look again later
}

// Whether the chunk that has just begun goes on the stream of the last one:
// it came within the line's quiet time of it, and nothing went the other
// way in between (else it is an answer, and goes at once).
bool StreamGoesOn(const Reader &reader)
{
    uint64_t quietUs = static_cast<uint64_t>(CurrentLinePace().quietMs) * 1000;
    return reader.lastChunkUs != 0 && ClockMicroseconds() - reader.lastChunkUs < quietUs &&
           PortWritesBegun == reader.writesAtLastChunk;
}

DWORD Smaller(DWORD a, DWORD b)
{
    return a < b ? a : b;
}

// Starts the next read of a chunk: the first one of it, or after the first
// byte came, the rest.
void ReadChunk(Reader &reader, DWORD queued)
{
    // A chunk holds a few milliseconds of line time, and at least all that
    // waits already: bytes that come faster than the line (an adapter that
    // hands them over in packets) go on together.
    DWORD gather = Smaller(SerialReadSize, std::max(CurrentLinePace().gatherBytes, reader.held + queued));
    if (reader.held == 0) {
        // Bytes that came while the last chunk went out, with nothing sent
        // their way: the stream goes on.
        if (reader.streaming || (queued > 0 && StreamGoesOn(reader)))
            StartRead(reader, GatherRead, gather);
        else if (queued > 0)
            StartRead(reader, QueuedRead, Smaller(queued, SerialReadSize));
        else
            StartRead(reader, WakeUpRead, 1);
        return;
    }
    if (reader.kind != WakeUpRead)
        return;
    // The first byte came: an answer, or a message after a quiet spell, goes
    // with what came along; a stream that goes on is gathered.
    reader.streaming = StreamGoesOn(reader);
    DWORD room = SerialReadSize - reader.held;
    if (reader.streaming && gather > reader.held)
        StartRead(reader, GatherRead, gather - reader.held);
    else if (queued > 0 && !reader.streaming)
        StartRead(reader, QueuedRead, Smaller(queued, room));
    else
        reader.kind = QueuedRead;   // the byte goes on its own
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
    reader.lastChunkUs = ClockMicroseconds();
    reader.writesAtLastChunk = PortWritesBegun;
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

// One pass: wait for the port or the read in flight, look at the queue,
// read and send. A quiet line costs nothing: the read that waits for the
// next byte is waited for without a limit.
void Pass(Reader &reader)
{
    LONG connection = ConnectionToServe();
    if (reader.inFlight)
        CollectRead(reader);
    else if (connection == 0)
        WaitForPeer();

    DWORD queued = QueuedInput(reader);
    ApplyFlowControl(reader, queued);
    connection = ConnectionToServe();
    if (StopRequested(reader))
        return;
    if (connection == 0) {
        // Bytes already read wait here for the next peer.
        CancelRead(reader);
        reader.streaming = false;
        return;
    }
    if (!reader.inFlight)
        ReadChunk(reader, queued);
    if (!reader.inFlight && reader.held > 0 && reader.kind != WakeUpRead)
        Forward(reader, connection);
}

}  // namespace

void SerialReceiveThread(WorkerThread &self)
{
    Reader reader = {};
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
        PostMessageW(MainWindow, WM_SERIAL_LOST, static_cast<WPARAM>(reader.generation), SerialLostOnRead);
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
