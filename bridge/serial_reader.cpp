// The serial receive thread: bytes from the port to the peer.
//
// It runs while the bridge has a port, and reads only while a connection is
// attached, so that bytes arriving without one wait in the driver's input
// queue, where the flow control of the hardware modes holds the device back.
//
// Each message goes to the peer the moment it is whole. A quiet line keeps a
// one-byte read in flight, which wakes the thread at the first byte; what
// came with it is read at once and the chunk goes: an answer to what just
// went out, or a message after a quiet spell, never waits. Only a stream
// that keeps flowing one way is gathered, by the line: a read that ends once
// it holds a couple of milliseconds of line time, or once the line has been
// quiet for a few character times (the port's read interval time-out).
//
// A read in flight is cancelled and reaped before its buffer or record is
// used again, and before the thread ends. A chunk belongs to the connection
// it is sent to: when that connection ends, the unsent rest goes with it;
// bytes not yet offered to any peer wait for the next one. When the port
// fails in a way that means the device is gone, the thread forwards what it
// holds, tells the main window, and ends.
//
// When several peers share the port, each chunk goes once into the fan-out
// ring (tagged, logged and counted once), and each peer is offered what it
// has not had yet without waiting for its socket: a full one is offered more
// after PeerRetryMs. The port is read while the fastest peer leaves room in
// the ring; a peer that would lose bytes to the next chunk is dropped.
#include "bridge.h"
#include "../shell/shell.h"
#include "../translog/translog.h"

#include <algorithm>
#include <cstring>
#include <iterator>

FlowStep NextFlowStep(bool stopped, DWORD queued)
{
    if (!stopped && queued >= FlowStopLevel)
        return FlowDrop;
    if (stopped && queued <= FlowResumeLevel)
        return FlowRaise;
    return FlowHold;
}

// What the read in flight is for.
enum ReadKind {
    WakeUpRead,     // one byte: waits for the first byte of the next chunk
    QueuedRead,     // what waits in the queue: completes at once
    GatherRead,     // a stream: ends full, or after the line's quiet time
};

struct SerialReader {
    Bridge &bridge;
    WorkerThread &self;
    PortIo &port;
    LONG generation;            // of the port this thread reads
    PortRequest request;
    char buffer[SerialReadSize];
    DWORD held = 0;             // bytes read and not yet forwarded
    ReadKind kind = WakeUpRead; // of the read in flight, or of the last one
    DWORD asked = 0;            // by that read
    uint64_t gatherDeadlineUs = 0;  // a gather read still in flight then is cancelled
    int emptyReads = 0;         // completed reads in a row that brought nothing
    bool streaming = false;     // the line keeps flowing one way: the next read gathers
    uint64_t lastChunkUs = 0;   // when the last chunk went to the peer
    uint32_t writesAtLastChunk = 0;     // the port's writes begun then
    bool flowStopped = false;
    bool lost = false;          // the port failed in a way that means the device is gone
    DWORD lostError = 0;        // how

    SerialReader(Bridge &owner, WorkerThread &thread, PortIo &device)
        : bridge(owner), self(thread), port(device), generation(owner.generation)
    {
    }

    bool Stopping() const { return lost || self.StopAsked(); }

    // The connection to read for: none while its peer has asked for no data.
    std::shared_ptr<Connection> Serving() const
    {
        std::shared_ptr<Connection> connection = bridge.Serving();
        return connection && !connection->suspended ? connection : nullptr;
    }

    // A failure that means the device is gone ends the thread; others only
    // mean that nothing came this time.
    void NoteFailure(DWORD error, bool cancelledByUs = false)
    {
        if (PortErrorMeansLost(error, cancelledByUs) && !lost) {
            lost = true;
            lostError = error;
        }
    }

    DWORD QueuedInput()
    {
        DWORD queued = 0;
        DWORD error = ERROR_SUCCESS;
        if (!port.Queued(&queued, &error))
            NoteFailure(error);
        return queued;
    }

    void MoveFlowLine(bool raise)
    {
        DWORD function = FlowLineFunction(bridge.LineInForce().flow, raise);
        if (function != 0)
            (void)port.Escape(function);    // ports without modem lines refuse; nothing to do
        flowStopped = !raise;
    }

    void ApplyFlowControl(DWORD queued)
    {
        switch (NextFlowStep(flowStopped, queued)) {
        case FlowDrop:
            MoveFlowLine(false);
            break;
        case FlowRaise:
            MoveFlowLine(true);
            break;
        case FlowHold:
            break;
        }
    }

    // A completed read: what it brought is held, even from a read that was
    // cancelled or timed out.
    void Reap()
    {
        DWORD got = 0;
        DWORD error = ERROR_SUCCESS;
        if (!port.Result(request, &got, &error))
            NoteFailure(error, request.cancelled);
        held += got;
        // A gather read that came back full: the line is still flowing. One
        // cut short by the line's quiet time, or cancelled, ends the stream.
        if (kind == GatherRead)
            streaming = got == asked && !request.cancelled;
        // A port with read time-outs that end reads empty is not asked again
        // at once; a single empty read is a time-out's race, not a habit.
        if (request.cancelled)
            return;
        emptyReads = got == 0 ? emptyReads + 1 : 0;
        if (emptyReads > 1 && !lost)
            Sleep(PollPeriodMs);
    }

    // Ends a read in flight: what it had read before the cancel is kept.
    void CancelRead()
    {
        if (!request.inFlight)
            return;
        port.Cancel(request);
        if (WaitForSingleObject(request.overlapped.hEvent, ReadCancelWaitMs) == WAIT_OBJECT_0) {
            Reap();
            return;
        }
        // A driver that does not let go: the record stays the request's, so
        // the thread ends and the port is given up.
        lost = true;
    }

    // Waits for the read in flight until it completes, there is news for
    // the thread or idleLimitMs passed; a gather read that outlasts its
    // deadline is cancelled, and what it got so far goes on.
    void CollectRead(DWORD idleLimitMs = INFINITE)
    {
        DWORD timeoutMs = INFINITE;
        if (kind == GatherRead) {
            uint64_t now = ClockMicroseconds();
            timeoutMs = now >= gatherDeadlineUs ? 0 : static_cast<DWORD>((gatherDeadlineUs - now + 999) / 1000);
        } else if (kind == QueuedRead) {
            timeoutMs = ReadCancelWaitMs;
        }
        HANDLE events[] = {request.overlapped.hEvent, self.StopEvent(), bridge.readerWake};
        DWORD woken = WaitForMultipleObjects(static_cast<DWORD>(std::size(events)), events, FALSE,
                                             std::min(timeoutMs, idleLimitMs));
        if (woken == WAIT_OBJECT_0)
            Reap();
        else if (woken == WAIT_TIMEOUT && timeoutMs <= idleLimitMs)
            CancelRead();
    }

    void StartRead(ReadKind readKind, DWORD count)
    {
        kind = readKind;
        asked = count;
        if (kind == GatherRead) {
            uint64_t lineUs = static_cast<uint64_t>(GatherLineMs + bridge.Pace().quietMs + GatherSlackMs) * 1000;
            gatherDeadlineUs = ClockMicroseconds() + lineUs;
        }
        DWORD error = ERROR_SUCCESS;
        switch (port.Read(request, buffer + held, count, &error)) {
        case IoStart::Done:
            Reap();
            return;
        case IoStart::Pending:
            if (kind != WakeUpRead)
                CollectRead();  // a queued read completes at once, a gather read within its deadline
            return;
        case IoStart::Failed:
            NoteFailure(error);
            if (!lost)
                Sleep(PollPeriodMs);    // the port refuses reads for now; look again later
            return;
        }
    }

    // Whether the chunk that has just begun goes on the stream of the last
    // one: it came within the line's quiet time of it, and nothing went the
    // other way in between (else it is an answer, and goes at once).
    bool StreamGoesOn() const
    {
        uint64_t quietUs = static_cast<uint64_t>(bridge.Pace().quietMs) * 1000;
        return lastChunkUs != 0 && ClockMicroseconds() - lastChunkUs < quietUs &&
               bridge.writesBegun == writesAtLastChunk;
    }

    // Starts the next read of a chunk: the first one of it, or after the
    // first byte came, the rest.
    void ReadChunk(DWORD queued)
    {
        // A chunk holds a couple of milliseconds of line time, and at least
        // all that waits already: bytes that come faster than the line (an
        // adapter that hands them over in packets) go on together.
        DWORD gather = std::min(SerialReadSize, std::max(bridge.Pace().gatherBytes, held + queued));
        if (held == 0) {
            // Bytes that came while the last chunk went out, with nothing
            // sent their way: the stream goes on.
            if (streaming || (queued > 0 && StreamGoesOn()))
                StartRead(GatherRead, gather);
            else if (queued > 0)
                StartRead(QueuedRead, std::min(queued, SerialReadSize));
            else
                StartRead(WakeUpRead, 1);
            return;
        }
        if (kind != WakeUpRead)
            return;
        // The first byte came: an answer, or a message after a quiet spell,
        // goes with what came along; a stream that goes on is gathered.
        streaming = StreamGoesOn();
        if (streaming && gather > held)
            StartRead(GatherRead, gather - held);
        else if (queued > 0 && !streaming)
            StartRead(QueuedRead, std::min(queued, SerialReadSize - held));
        else
            kind = QueuedRead;  // the byte goes on its own
    }

    // Sends the chunk to the peer; returns how many of its bytes went out.
    // To a peer in RFC 2217 mode the chunk goes escaped, whole before any
    // answer of the socket receive thread; the log and the count take the
    // chunk's own bytes.
    int SendChunk(Connection &connection, const char *chunk, int length, int tagLength)
    {
        char escaped[2 * (TimeTagCapacity + SerialReadSize)];
        const char *wire = chunk;
        int wireLength = length;
        if (connection.telnet) {
            wireLength = static_cast<int>(EscapeForPeer(reinterpret_cast<const uint8_t *>(chunk),
                                                        static_cast<size_t>(length),
                                                        reinterpret_cast<uint8_t *>(escaped)));
            wire = escaped;
        }
        int wireOffset = 0;
        int offset = 0;
        AcquireSRWLockExclusive(&connection.sendLock);
        while (wireOffset < wireLength && !self.StopAsked()) {
            int error = 0;
            int sent = bridge.SendToPeer(connection, wire + wireOffset, wireLength - wireOffset, &error);
            if (sent == PeerGone)
                break;
            if (sent == SOCKET_ERROR) {
                // Any error but a full socket has ended the connection.
                if (error != WSAEWOULDBLOCK)
                    break;
                // The network pushes back: hold the device back too.
                if (!flowStopped)
                    MoveFlowLine(false);
                continue;
            }
            wireOffset += sent;
            int done = connection.telnet ? static_cast<int>(DataBytesInEscaped(
                                               reinterpret_cast<const uint8_t *>(wire), static_cast<size_t>(wireOffset)))
                                         : wireOffset;
            if (SerialToLanLog.open && done > offset)
                LogSerialToLan(chunk + offset, done - offset, DataBytesIn(offset, done - offset, tagLength));
            offset = done;
        }
        // Counted under the send lock, which the user-interface thread takes
        // before it reads the figures of a connection that ended.
        connection.toPeer += static_cast<uint64_t>(DataBytesIn(0, offset, tagLength));
        ReleaseSRWLockExclusive(&connection.sendLock);
        return offset;
    }

    // Sends what the thread holds. Bytes that no connection took at all
    // stay held for the next peer.
    void Forward(Connection &connection)
    {
        char chunk[TimeTagCapacity + SerialReadSize];
        int tagLength = bridge.TagDue(SerialToLan) ? MakeTimeTag(chunk, TimeTagCapacity) : 0;
        memcpy(chunk + tagLength, buffer, held);
        int sent = SendChunk(connection, chunk, tagLength + static_cast<int>(held), tagLength);
        if (sent == 0 && !self.StopAsked())
            return;
        bridge.CountMoved(SerialToLan, held);
        bridge.ReloadQuietSpell(SerialToLan);
        held = 0;
        lastChunkUs = ClockMicroseconds();
        writesAtLastChunk = bridge.writesBegun;
    }

    // Without a peer nothing is read; the thread sleeps until one comes. It
    // looks at the port once a second, so that a device that went away is
    // found, and where the flow control moves a line each PollPeriodMs, so
    // that the line drops while bytes pile up.
    void WaitForPeer()
    {
        bool movesALine = FlowLineFunction(bridge.LineInForce().flow, false) != 0;
        HANDLE events[] = {self.StopEvent(), bridge.readerWake};
        (void)WaitForMultipleObjects(static_cast<DWORD>(std::size(events)), events, FALSE,
                                     movesALine ? PollPeriodMs : PortLookPeriodMs);
    }

    // One pass: wait for the port or the read in flight, look at the queue,
    // read and send. A quiet line costs nothing: the read that waits for the
    // next byte is waited for without a limit.
    void ReadAndSend()
    {
        std::shared_ptr<Connection> connection = Serving();
        if (request.inFlight)
            CollectRead();
        else if (!connection)
            WaitForPeer();

        DWORD queued = QueuedInput();
        ApplyFlowControl(queued);
        connection = Serving();
        if (Stopping())
            return;
        if (!connection) {
            // Bytes already read wait here for the next peer.
            CancelRead();
            streaming = false;
            return;
        }
        if (!request.inFlight)
            ReadChunk(queued);
        if (!request.inFlight && held > 0 && kind != WakeUpRead)
            Forward(*connection);
    }

    // ----- Several peers -----
    FanOut fan;

    // A peer starts at the ring's head: it gets what the device sends from
    // the moment it joined. A port given again starts a ring of its own.
    void StartNewPeers(const PeerList &peers)
    {
        for (const std::shared_ptr<Connection> &peer : peers) {
            if (peer->fanGeneration != generation) {
                peer->fanGeneration = generation;
                peer->position = fan.Head();
            }
        }
    }

    static bool Offered(const Connection &peer) { return !peer.dropped && !peer.suspended; }

    // The place of the peer furthest ahead; the head when there is none.
    uint64_t Fastest(const PeerList &peers) const
    {
        uint64_t fastest = 0;
        bool any = false;
        for (const std::shared_ptr<Connection> &peer : peers) {
            if (!peer->dropped) {
                fastest = any ? std::max(fastest, peer->position) : peer->position;
                any = true;
            }
        }
        return any ? fastest : fan.Head();
    }

    bool RoomFor(const PeerList &peers, size_t bytes) const { return fan.Room(Fastest(peers)) >= bytes; }

    // Offers the peer what it has not had, without waiting for its socket;
    // true when nothing waits for it any more (or it is gone).
    bool Offer(Connection &peer)
    {
        AcquireSRWLockExclusive(&peer.sendLock);
        bool sent = true;
        while (sent) {
            if (peer.stagingOffset == peer.stagingLength) {
                char raw[SerialReadSize];
                size_t length = fan.Copy(peer.position, raw, sizeof raw);
                if (length == 0)
                    break;
                peer.position += length;
                peer.stagingLength = peer.telnet ? EscapeForPeer(reinterpret_cast<const uint8_t *>(raw), length,
                                                                 reinterpret_cast<uint8_t *>(peer.staging))
                                                 : length;
                if (!peer.telnet)
                    memcpy(peer.staging, raw, length);
                peer.stagingOffset = 0;
            }
            sent = bridge.FlushStaging(peer, 0);
        }
        bool caughtUp = sent || !peer.attached;
        ReleaseSRWLockExclusive(&peer.sendLock);
        return caughtUp;
    }

    // True while a peer that takes bytes has some waiting.
    bool OfferAll(const PeerList &peers)
    {
        bool behind = false;
        for (const std::shared_ptr<Connection> &peer : peers) {
            if (Offered(*peer) && !Offer(*peer))
                behind = true;
        }
        return behind;
    }

    // The chunk goes into the ring once: tagged, logged and counted once. A
    // peer that would lose bytes to it is dropped first.
    void Share(const PeerList &peers)
    {
        char chunk[TimeTagCapacity + SerialReadSize];
        int tagLength = bridge.TagDue(SerialToLan) ? MakeTimeTag(chunk, TimeTagCapacity) : 0;
        memcpy(chunk + tagLength, buffer, held);
        size_t length = static_cast<size_t>(tagLength) + held;
        for (const std::shared_ptr<Connection> &peer : peers) {
            if (!peer->dropped && fan.Overruns(peer->position, length)) {
                peer->dropped = true;
                bridge.ReportEnd(*peer, {EndReason::FellBehind, 0, nullptr});
            }
        }
        fan.Append(chunk, length);
        if (SerialToLanLog.open)
            LogSerialToLan(chunk, static_cast<int>(length), static_cast<int>(held));
        bridge.CountMoved(SerialToLan, held);
        bridge.ReloadQuietSpell(SerialToLan);
        held = 0;
        lastChunkUs = ClockMicroseconds();
        writesAtLastChunk = bridge.writesBegun;
        (void)OfferAll(peers);
    }

    // No room for a chunk: the device is held back while the fastest peer
    // takes what it has.
    void WaitForRoom(const PeerList &peers)
    {
        if (!flowStopped)
            MoveFlowLine(false);
        std::shared_ptr<Connection> fastest;
        for (const std::shared_ptr<Connection> &peer : peers) {
            if (Offered(*peer) && (!fastest || peer->position > fastest->position))
                fastest = peer;
        }
        if (!fastest || !bridge.OnPeer(*fastest, [](PeerIo &peer) { peer.WaitWritable(PeerRetryMs); }))
            (void)WaitForSingleObject(self.StopEvent(), PeerRetryMs);
    }

    // One pass while peers share the port.
    void ReadAndShare()
    {
        constexpr size_t ChunkRoom = TimeTagCapacity + SerialReadSize;
        PeerList peers = bridge.Peers();
        StartNewPeers(peers);
        bool behind = OfferAll(peers);
        if (request.inFlight)
            CollectRead(behind ? PeerRetryMs : INFINITE);
        else if (peers.empty())
            WaitForPeer();
        else if (!RoomFor(peers, ChunkRoom))
            WaitForRoom(peers);

        DWORD queued = QueuedInput();
        peers = bridge.Peers();
        StartNewPeers(peers);
        bool room = RoomFor(peers, ChunkRoom);
        if (room)
            ApplyFlowControl(queued);
        if (Stopping())
            return;
        if (peers.empty()) {
            CancelRead();       // bytes already read wait here for the next peer
            streaming = false;
            return;
        }
        if (!request.inFlight && room)
            ReadChunk(queued);
        if (!request.inFlight && held > 0 && kind != WakeUpRead && RoomFor(peers, TimeTagCapacity + held))
            Share(peers);
    }
};

void Bridge::SerialReceiveThread(WorkerThread &self)
{
    Bridge &bridge = *static_cast<Bridge *>(self.Context());
    PortIo *device = bridge.port;
    if (device == nullptr) {
        self.Leave();
        return;
    }
    auto reader = std::make_unique<SerialReader>(bridge, self, *device);
    if (!PreparePortRequest(reader->request)) {
        self.Leave();
        return;
    }
    while (!reader->lost && self.KeepGoing()) {
        if (bridge.sharing)
            reader->ReadAndShare();
        else
            reader->ReadAndSend();
    }
    self.Leave();
    reader->CancelRead();
    if (reader->lost) {
        // What was read before the device went goes on if a peer takes it.
        std::shared_ptr<Connection> connection = bridge.Serving();
        if (reader->held > 0 && bridge.sharing)
            reader->Share(bridge.Peers());
        else if (reader->held > 0 && connection)
            reader->Forward(*connection);
        bridge.ReportPortLost(reader->generation, SerialLostOnRead, reader->lostError);
    }
    // A read that never let go keeps its record and its buffer: they stay
    // the request's, and the thread's state with them.
    if (reader->request.inFlight) {
        (void)reader.release();
        return;
    }
    ReleasePortRequest(reader->request);
}
