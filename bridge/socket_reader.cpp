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

    // RFC 2217: our offers once, the modem lines when they changed, then
    // what waits decoded until it is used up or the port holds a block back.
    // False when the peer broke the protocol.
    bool DecodeWaiting(const std::shared_ptr<Connection> &connection)
    {
        Connection &c = *connection;
        if (!c.greeted) {
            uint8_t greeting[TelnetAnswerCapacity];
            c.greeted = true;
            bridge.SendWhole(c, greeting, StartTelnetSession(c.session, greeting));
        }
        if (c.modemNoteDue.exchange(false)) {
            uint8_t note[TelnetAnswerCapacity];
            bridge.SendWhole(c, note, BuildComNotify(ComNotifyModemState, c.modemNote, note, sizeof note));
        }
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

    void ServeOnce()
    {
        if (!WriteWhatWaits())
            return;
        std::shared_ptr<Connection> connection = bridge.Serving();
        if (!connection || connection->finished) {
            WaitForWork(connection.get());
            return;
        }
        Connection &c = *connection;
        if (c.telnet) {
            if (!DecodeWaiting(connection)) {
                c.finished = true;
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
            WaitForWork(&c);
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
            c.emptied = received < SocketBlockSize;
            return;
        }
        if (received == PeerGone)
            return;
        if (received == SOCKET_ERROR && error == WSAEWOULDBLOCK) {
            WaitForWork(&c);
            return;
        }
        c.finished = true;
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

void Bridge::SendWhole(Connection &connection, const uint8_t *bytes, size_t length)
{
    AcquireSRWLockExclusive(&connection.sendLock);
    size_t offset = 0;
    while (offset < length) {
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
