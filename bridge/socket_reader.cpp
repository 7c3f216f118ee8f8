// The socket receive thread: what the peer sends, to the port. It is also
// the port's writer.
//
// It runs from the start to the end. It waits on the connection's socket
// itself (its news event), on the bridge's news (a connection change, a port
// back, a modem-line change to report) and on its stop. A block the port
// could not take is held, and nothing more is received until it is written,
// so TCP holds the peer back meanwhile; a peer that closes while the block
// waits for a port that is gone ends its connection. When the peer has
// closed its end, or its socket failed, the thread reads what is left and
// reports the end: the socket is closed only then, so nothing the peer sent
// before closing is lost.
//
// A connection in RFC 2217 mode speaks Telnet: the thread decodes what the
// peer sends, writes the data to the port, answers the negotiation and
// applies the peer's line requests in order with the data around them, and
// sends every answer whole under the connection's send lock, which the
// serial receive thread holds for each chunk it sends.
//
// Of several peers, one speaks to the port at a time (TurnRule): it keeps
// the line while its bytes come within the line's gap, and the others wait
// in their own TCP buffers meanwhile, unread, then speak in the order they
// started waiting. With one peer the turn passes as soon as it is quiet.
#include "bridge.h"
#include "../config/config.h"
#include "../res/version.h"
#include "../shell/shell.h"
#include "../translog/translog.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>

constexpr int FirstYear = 1900;

int FormatTimeTag(const struct tm &time, char *tag, size_t capacity)
{
    int length = snprintf(tag, capacity, "\n\n%d/%02d/%02d %02d:%02d:%02d\n", time.tm_year + FirstYear,
                          time.tm_mon + 1, time.tm_mday, time.tm_hour, time.tm_min, time.tm_sec);
    return length < 0 ? 0 : length;
}

int MakeTimeTag(char *tag, size_t capacity)
{
    time_t now = time(nullptr);
    struct tm local = {};
    // localtime of the C run-time keeps its result per thread.
    const struct tm *converted = localtime(&now);
    if (converted != nullptr)
        local = *converted;
    return FormatTimeTag(local, tag, capacity);
}

bool TimeTagDue(int32_t dt, int32_t directionFlag, int32_t quietLeft)
{
    return dt != 0 && directionFlag != 0 && quietLeft == 0;
}

int DataBytesIn(int offset, int length, int tagLength)
{
    int tagEnd = offset + length < tagLength ? offset + length : tagLength;
    int tagBytes = tagEnd > offset ? tagEnd - offset : 0;
    return length - tagBytes;
}

// ---------------------------------------------------------------------------
// The writer: a block from the peer, tagged when due, is written before the
// next one is received. A line slower than the network holds the thread, and
// TCP's flow control then slows the peer down. The port is used under the
// lease, one request at a time; a write that waits for its line gives way
// when the port is being taken or its connection ends, and the rest of its
// block stays held.

namespace {

enum class WriteStep { Wrote, PortGone, PortTaken };

}  // namespace

void Bridge::HoldBlock(const std::shared_ptr<Connection> &connection, const char *data, int count)
{
    if (count <= 0)
        return;
    if (count > SocketBlockSize)
        count = SocketBlockSize;
    HeldBlock &block = *held;
    block.connection = connection;
    block.tagLength = TagDue(LanToSerial) ? MakeTimeTag(block.bytes, TimeTagCapacity) : 0;
    memcpy(block.bytes + block.tagLength, data, static_cast<size_t>(count));
    block.length = block.tagLength + count;
    block.offset = 0;
    block.reported = false;
    ReloadQuietSpell(LanToSerial);
}

bool Bridge::HeldWaiting() const
{
    return held->offset < held->length;
}

namespace {

bool BlockStillWanted(const HeldBlock &block)
{
    return block.connection && block.connection->attached;
}

}  // namespace

// Writes what is held; true when nothing is held any more.
bool Bridge::WriteHeld()
{
    HeldBlock &block = *held;
    while (HeldWaiting()) {
        // Bytes of a connection that has ended go nowhere.
        if (!BlockStillWanted(block)) {
            block = HeldBlock{};
            break;
        }
        if (!lease.Acquire())
            return false;       // the port is being taken: written once it is given again
        PortIo *device = port;
        LONG portGeneration = generation;
        if (device == nullptr) {
            lease.Release();
            if (!block.reported) {
                block.reported = true;
                ReportPortLost(portGeneration, SerialLostOnWrite, ERROR_SUCCESS);     // no port: nothing failed
            }
            return false;
        }
        DWORD asked = static_cast<DWORD>(block.length - block.offset);
        DWORD written = 0;
        DWORD error = ERROR_SUCCESS;
        ++writesBegun;      // before the write: a device may answer before the call returns
        IoStart start = device->Write(writeRequest, block.bytes + block.offset, asked, &error);
        if (start == IoStart::Pending) {
            // Until the write is done, the record and the block are its own.
            const HANDLE waits[] = {writeRequest.overlapped.hEvent, writerWake};
            while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
                if (lease.Taking() || !BlockStillWanted(block)) {
                    device->Cancel(writeRequest);
                    (void)WaitForSingleObject(writeRequest.overlapped.hEvent, INFINITE);
                    break;
                }
            }
        }
        bool lost = false;
        if (start != IoStart::Failed && !device->Result(writeRequest, &written, &error))
            lost = PortErrorMeansLost(error, writeRequest.cancelled);
        else if (start == IoStart::Failed)
            lost = PortErrorMeansLost(error);
        lease.Release();
        if (written > 0) {
            CountMoved(LanToSerial, written);
            block.connection->toPort += written;
            if (LanToSerialLog.open) {
                int dataBytes = DataBytesIn(block.offset, static_cast<int>(written), block.tagLength);
                LogLanToSerial(block.bytes + block.offset, static_cast<int>(written), dataBytes);
            }
            block.offset += static_cast<int>(written);
            block.reported = false;     // a later loss is a loss of its own
        }
        if (lost) {
            if (!block.reported) {
                block.reported = true;
                ReportPortLost(portGeneration, SerialLostOnWrite, error);
            }
            return false;
        }
        if (lease.Taking())
            return false;
        // A port that took nothing is not asked again at once; a port being
        // taken or a connection that ended still cuts the wait short.
        if (written == 0 && BlockStillWanted(block))
            (void)WaitForSingleObject(writerWake, WriteRetryMs);
    }
    return true;
}

// ---------------------------------------------------------------------------
// The receiving side.

struct SocketReader {
    Bridge &bridge;
    WorkerThread &self;
    TurnRule turns;
    char block[SocketBlockSize];

    SocketReader(Bridge &owner, WorkerThread &thread) : bridge(owner), self(thread) {}

    // Until the socket has news, the bridge has news or the thread is asked
    // to stop. The events keep news that came since the last look, so none
    // is missed between a receive and this wait.
    void WaitForWork(const Connection *connection)
    {
        HANDLE events[3] = {bridge.socketNews, self.StopEvent(), nullptr};
        DWORD count = 2;
        if (connection != nullptr && connection->peer->NewsEvent() != nullptr)
            events[count++] = connection->peer->NewsEvent();
        (void)WaitForMultipleObjects(count, events, FALSE, INFINITE);
    }

    // Until a peer has news, the bridge has news, the thread is asked to
    // stop or limitMs passed. A peer with news that is not the speaker
    // waits in line: its news is not looked at again until it speaks.
    void WaitForPeers(const PeerList &peers, DWORD limitMs)
    {
        HANDLE events[MAXIMUM_WAIT_OBJECTS] = {bridge.socketNews, self.StopEvent()};
        LONG numbers[MAXIMUM_WAIT_OBJECTS] = {};
        DWORD count = 2;
        for (const std::shared_ptr<Connection> &peer : peers) {
            if (peer->finished || turns.InLine(peer->number) || peer->peer->NewsEvent() == nullptr ||
                count == std::size(events))
                continue;
            numbers[count] = peer->number;
            events[count++] = peer->peer->NewsEvent();
        }
        DWORD woken = WaitForMultipleObjects(count, events, FALSE, limitMs);
        if (woken >= WAIT_OBJECT_0 + 2 && woken < WAIT_OBJECT_0 + count)
            turns.Wants(numbers[woken - WAIT_OBJECT_0]);
    }

    // RFC 2217: our offers once, and the modem lines when they changed.
    void GreetAndNotify(Connection &c)
    {
        if (!c.greeted) {
            c.greeted = true;
            bridge.SendWhole(c, nullptr, 0);    // the offers, unless device bytes took them already
        }
        if (c.modemNoteDue.exchange(false)) {
            uint8_t note[TelnetAnswerCapacity];
            bridge.SendWhole(c, note, BuildComNotify(ComNotifyModemState, c.modemNote, note, sizeof note));
        }
    }

    // RFC 2217: what waits decoded until it is used up or the port holds a
    // block back. False when the peer broke the protocol.
    bool DecodeWaiting(const std::shared_ptr<Connection> &connection)
    {
        Connection &c = *connection;
        while (c.pendingOffset < c.pendingLength && !bridge.HeldWaiting()) {
            uint8_t data[SocketBlockSize];
            TelnetOutput output = {};
            output.data = data;
            TelnetStep step = TelnetStep::NeedMore;
            c.pendingOffset += DecodeFromPeer(c.session, c.pending + c.pendingOffset, c.pendingLength - c.pendingOffset,
                                              output, step);
            if (output.answerLength > 0)
                bridge.SendWhole(c, output.answers, output.answerLength);
            // The data before a request is the port's first, at the old line.
            if (output.dataLength > 0) {
                bridge.HoldBlock(connection, reinterpret_cast<const char *>(data), static_cast<int>(output.dataLength));
                (void)bridge.WriteHeld();
            }
            if (step == TelnetStep::Request)
                AnswerRequest(c, output.request);
            if (step == TelnetStep::Fault) {
                bridge.ReportEnd(c, {EndReason::ProtocolFault, 0, output.fault});
                return false;
            }
        }
        return true;
    }

    void AnswerRequest(Connection &connection, const ComRequest &request)
    {
        uint8_t reply[TelnetAnswerCapacity + TelnetSubnegotiationCapacity];
        size_t length = 0;
        if (request.command == ComSignature) {
            char signature[TelnetSubnegotiationCapacity];
            snprintf(signature, sizeof signature, "Quillmar %s COM%d", QUILLMAR_VERSION_TEXT, Settings.COM + 1);
            length = BuildSignatureReply(signature, reply, sizeof reply);
        } else {
            uint32_t value = bridge.ApplyPeerRequest(connection, request.command, request.value);
            length = BuildComReply(request.command, value, reply, sizeof reply);
        }
        if (length > 0)
            bridge.SendWhole(connection, reply, length);
    }

    // A block that waits for the port goes first: nothing more is received
    // meanwhile. Without a port there is nowhere to put it, so a peer that
    // closes then ends its connection once the port is tried again.
    // False while the block still waits.
    bool WriteWhatWaits()
    {
        if (!bridge.HeldWaiting() || bridge.WriteHeld())
            return true;
        std::shared_ptr<Connection> connection = bridge.held->connection;
        if (connection && connection->attached) {
            connection->closedWhileHeld = connection->closedWhileHeld || PeerHasClosed(*connection);
            if (connection->closedWhileHeld && bridge.portRetrying)
                bridge.ReportEnd(*connection, {EndReason::PortGone, 0, nullptr});
        }
        // News of bytes that came meanwhile is taken by this wait: once the
        // block is written, a receive looks.
        if (connection)
            connection->emptied = false;
        WaitForWork(connection.get());
        return false;
    }

    bool PeerHasClosed(Connection &connection)
    {
        bool closed = false;
        (void)bridge.OnPeer(connection, [&](PeerIo &peer) { closed = peer.PeerClosed(); });
        return closed;
    }

    // The speaker is quiet: it keeps the line for the rest of its gap, then
    // the next in line speaks.
    void QuietSpeaker(const PeerList &peers)
    {
        uint64_t now = ClockMicroseconds();
        if (turns.Holding(now)) {
            WaitForPeers(peers, turns.WaitLimitMs(now));
            return;
        }
        turns.Pass();
        if (turns.Speaker() == 0)
            WaitForPeers(peers, INFINITE);
    }

    // A new peer is looked at once; one that left is out of the line.
    std::shared_ptr<Connection> Speaker(const PeerList &peers)
    {
        for (const std::shared_ptr<Connection> &peer : peers) {
            if (!peer->met) {
                peer->met = true;
                turns.Wants(peer->number);
            }
            if (peer->telnet)
                GreetAndNotify(*peer);
        }
        for (;;) {
            LONG speaker = turns.Speaker();
            if (speaker == 0)
                return nullptr;
            for (const std::shared_ptr<Connection> &peer : peers) {
                if (peer->number == speaker && !peer->finished)
                    return peer;
            }
            turns.Forget(speaker);
        }
    }

    void ServeOnce()
    {
        if (!WriteWhatWaits())
            return;
        PeerList peers = bridge.Peers();
        std::shared_ptr<Connection> connection = Speaker(peers);
        if (!connection) {
            WaitForPeers(peers, INFINITE);
            return;
        }
        Connection &c = *connection;
        if (c.telnet) {
            if (!DecodeWaiting(connection)) {
                c.finished = true;
                turns.Forget(c.number);
                return;
            }
            if (bridge.HeldWaiting() || c.pendingOffset < c.pendingLength)
                return;     // the port holds a block back: it goes first
        }
        // A receive that got less than a block emptied the socket: the
        // socket tells when the next bytes come, so no receive is spent to
        // learn that none wait. Nothing waits on a clock: what the peer
        // sends goes to the port at once, and on a real port the write
        // itself goes at the line's pace.
        if (c.emptied) {
            c.emptied = false;
            QuietSpeaker(peers);
            return;
        }
        int error = 0;
        int received = bridge.ReceiveFromPeer(c, block, sizeof block, &error);
        if (received > 0) {
            c.lastHeardMs = GetTickCount64();
            if (c.telnet) {
                memcpy(c.pending, block, static_cast<size_t>(received));
                c.pendingLength = static_cast<size_t>(received);
                c.pendingOffset = 0;
            } else {
                bridge.HoldBlock(connection, block, received);
                (void)bridge.WriteHeld();
            }
            // Alone on the port a peer needs no gap: nobody waits for it.
            if (bridge.sharing)
                turns.Heard(ClockMicroseconds(), TurnGapMs(bridge.Pace()));
            c.emptied = received < SocketBlockSize;
            return;
        }
        if (received == PeerGone) {
            turns.Forget(c.number);
            return;
        }
        if (received == SOCKET_ERROR && error == WSAEWOULDBLOCK) {
            QuietSpeaker(peers);
            return;
        }
        c.finished = true;
        turns.Forget(c.number);
        bridge.ReportEnd(c, received == 0 ? EndReport{EndReason::PeerClosed, 0, nullptr}
                                              : EndReport{EndReason::ReceiveFailed, error, nullptr});
    }
};

void Bridge::SocketReceiveThread(WorkerThread &self)
{
    Bridge &bridge = *static_cast<Bridge *>(self.Context());
    if (!PreparePortRequest(bridge.writeRequest)) {
        self.Leave();
        return;
    }
    auto reader = std::make_unique<SocketReader>(bridge, self);
    while (self.KeepGoing())
        reader->ServeOnce();
    ReleasePortRequest(bridge.writeRequest);
}

// Device bytes already taken for the peer go first, so that no answer cuts
// into them. Among several peers, one that takes nothing for AnswerWaitMs
// is dropped rather than left to hold up the others' bytes to the port.
void Bridge::SendWhole(Connection &connection, const uint8_t *bytes, size_t length)
{
    AcquireSRWLockExclusive(&connection.sendLock);
    uint64_t deadlineMs = sharing ? GetTickCount64() + AnswerWaitMs : UINT64_MAX;
    bool flushed = FlushStaging(connection, deadlineMs);
    if (!flushed && connection.attached && !connection.dropped.exchange(true))
        ReportEnd(connection, {EndReason::FellBehind, 0, nullptr});
    size_t offset = 0;
    while (flushed && (offset < length || connection.greetingSent < connection.greetingLength)) {
        if (GetTickCount64() >= deadlineMs) {
            if (!connection.dropped.exchange(true))
                ReportEnd(connection, {EndReason::FellBehind, 0, nullptr});
            break;
        }
        int error = 0;
        int sent = SendToPeer(connection, reinterpret_cast<const char *>(bytes) + offset,
                              static_cast<int>(length - offset), &error);
        if (sent == PeerGone || (sent == SOCKET_ERROR && error != WSAEWOULDBLOCK))
            break;
        if (sent > 0)
            offset += static_cast<size_t>(sent);
    }
    ReleaseSRWLockExclusive(&connection.sendLock);
}
