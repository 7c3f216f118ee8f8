// The bridge's core: the port given and taken, connections attached and
// detached, calls on the peer, how a connection's end is reported, the
// counters and the quiet spells.
//
// A connection's state lives in its Connection, made by Attach; Detach
// clears its attached flag under the path lock, so that from then on no data
// thread reaches its peer, and its socket can be closed. A data thread that
// still works for it keeps it alive until it lets go, and drops what it holds
// for it: nothing of one connection reaches the next.
#include "bridge.h"
#include "../config/config.h"
#include "../shell/shell.h"

#include <iterator>

// Never destroyed: a data thread that did not end in time may still use it
// while the process ends.
Bridge &DataBridge = *new Bridge;

Bridge::Bridge()
    : writerWake(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      readerWake(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      socketNews(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      held(std::make_unique<HeldBlock>())
{
}

Bridge::~Bridge()
{
    for (HANDLE event : {writerWake, readerWake, socketNews}) {
        if (event != nullptr)
            CloseHandle(event);
    }
}

bool Bridge::Start()
{
    return socketReceiver.Start(SocketReceiveThread, 0, this);
}

void Bridge::AskToStop()
{
    serialReader.AskToStop();
    socketReceiver.AskToStop();
}

bool Bridge::Stop(DWORD limitMs)
{
    bool reader = serialReader.Stop(limitMs);
    bool receiver = socketReceiver.Stop(limitMs);
    return reader && receiver;
}

void Bridge::GivePort(std::unique_ptr<PortIo> given, const PortLine &line)
{
    AcquireSRWLockExclusive(&lineLock);
    userLine = line;
    pace = PaceOfLine(line);
    ReleaseSRWLockExclusive(&lineLock);
    ownedPort = std::move(given);
    port = ownedPort.get();
    ++generation;
    // A reader that is still ending owns its read: it is waited for as long
    // as its read may take to be cancelled, and no second one starts.
    (void)serialReader.Start(SerialReceiveThread, ReadCancelWaitMs, this);
    Wake();     // a block that waits for a port goes first
}

bool Bridge::TakePort(DWORD limitMs)
{
    if (port == nullptr)
        return true;
    // A stop not taken in time is withdrawn: one reader, as before.
    if (!serialReader.Stop(limitMs)) {
        (void)serialReader.Start(SerialReceiveThread, ReadCancelWaitMs, this);
        return false;
    }
    if (!lease.Take(limitMs, writerWake)) {
        (void)serialReader.Start(SerialReceiveThread, ReadCancelWaitMs, this);
        return false;
    }
    port = nullptr;
    ownedPort.reset();
    ++generation;
    lease.Give();       // the writer finds no port, and holds its block
    return true;
}

bool Bridge::ApplyUserLine(const PortLine &line, DWORD *error)
{
    *error = ERROR_SUCCESS;
    PortIo *device = port;
    bool applied = device == nullptr || device->ApplyLine(line, error);
    AcquireSRWLockExclusive(&lineLock);
    userLine = line;
    if (applied)
        pace = PaceOfLine(line);
    // The user's line replaces one a peer set; its next request starts from it.
    peerLineSet = false;
    ReleaseSRWLockExclusive(&lineLock);
    SetEvent(readerWake);   // a flow mode that moves a line is watched without a peer
    return applied;
}

LONG Bridge::Attach(std::unique_ptr<PeerIo> peer, bool telnet)
{
    auto connection = std::make_shared<Connection>();
    connection->number = ++connectionCount;
    connection->telnet = telnet;
    connection->attachedMs = GetTickCount64();
    connection->lastHeardMs = connection->attachedMs;
    connection->peer = std::move(peer);
    if (telnet)
        connection->greetingLength = StartTelnetSession(connection->session, connection->greeting);
    AcquireSRWLockExclusive(&pathLock);     // held by the data threads for WritableWaitMs at most
    if (!sharing)
        attached.clear();
    attached.push_back(connection);
    ReleaseSRWLockExclusive(&pathLock);
    for (HANDLE event : {socketNews, writerWake, readerWake})
        SetEvent(event);
    return connection->number;
}

void Bridge::Detach()
{
    AcquireSRWLockShared(&pathLock);
    PeerList all = attached;
    ReleaseSRWLockShared(&pathLock);
    for (const std::shared_ptr<Connection> &connection : all)
        Detach(connection->number);
}

void Bridge::Detach(LONG number)
{
    AcquireSRWLockExclusive(&pathLock);
    std::shared_ptr<Connection> ended;
    for (auto it = attached.begin(); it != attached.end(); ++it) {
        if ((*it)->number == number) {
            ended = std::move(*it);
            attached.erase(it);
            break;
        }
    }
    bool last = attached.empty();
    if (ended) {
        ended->attached = false;
        ended->peer->LetGo();
    }
    ReleaseSRWLockExclusive(&pathLock);
    // A wait for the connection ends at once.
    for (HANDLE event : {socketNews, writerWake, readerWake})
        SetEvent(event);
    if (!ended)
        return;
    lastEnded = ended;
    // The line a peer set stays while any peer is left.
    AcquireSRWLockExclusive(&lineLock);
    bool restore = last && peerLineSet;
    if (last)
        peerLineSet = false;
    ReleaseSRWLockExclusive(&lineLock);
    if (restore)
        RestoreUserLine();
}

std::shared_ptr<Connection> Bridge::Serving() const
{
    AcquireSRWLockShared(&pathLock);
    std::shared_ptr<Connection> connection = attached.empty() ? nullptr : attached.front();
    ReleaseSRWLockShared(&pathLock);
    return connection;
}

PeerList Bridge::Peers() const
{
    AcquireSRWLockShared(&pathLock);
    PeerList peers = attached;
    ReleaseSRWLockShared(&pathLock);
    return peers;
}

bool Bridge::IsAttached(LONG number) const
{
    for (const std::shared_ptr<Connection> &connection : Peers()) {
        if (connection->number == number)
            return true;
    }
    return false;
}

bool Bridge::OwnsLine(const Connection &connection) const
{
    for (const std::shared_ptr<Connection> &peer : Peers()) {
        if (peer->telnet)
            return peer.get() == &connection;
    }
    return false;
}

LONG Bridge::Current() const
{
    std::shared_ptr<Connection> connection = Serving();
    return connection ? connection->number : 0;
}

// The attached connection of that number, or the one that ended last.
static std::shared_ptr<Connection> Find(const PeerList &peers, const std::shared_ptr<Connection> &lastEnded,
                                        LONG number)
{
    for (const std::shared_ptr<Connection> &connection : peers) {
        if (connection->number == number)
            return connection;
    }
    return lastEnded && lastEnded->number == number ? lastEnded : nullptr;
}

EndReport Bridge::EndOf(LONG number) const
{
    std::shared_ptr<Connection> connection = Find(Peers(), lastEnded, number);
    if (!connection)
        return {};
    // A send that failed is what the user is told, whichever report of the
    // end came first.
    if (int error = connection->sendError; error != 0)
        return {EndReason::SendFailed, error, nullptr};
    AcquireSRWLockShared(&connection->endLock);
    EndReport report = connection->end;
    ReleaseSRWLockShared(&connection->endLock);
    return report;
}

// A full socket is waited for and tried once more in the same hold of the
// path: a connection that breaks meanwhile is found by that send, before it
// can be detached, so its error is never lost to timing. The greeting goes
// before the first bytes; until it is out, nothing else is sent.
int Bridge::SendToPeer(Connection &connection, const char *data, int count, int *error, bool wait)
{
    int sent = PeerGone;
    *error = 0;
    (void)OnPeer(connection, [&](PeerIo &peer) {
        auto sendOnce = [&](const char *bytes, int length) {
            int done = peer.Send(bytes, length, error);
            if (done == SOCKET_ERROR && *error == WSAEWOULDBLOCK && wait) {
                peer.WaitWritable(WritableWaitMs);
                done = peer.Send(bytes, length, error);
            }
            return done;
        };
        while (connection.greetingSent < connection.greetingLength) {
            int done = sendOnce(reinterpret_cast<const char *>(connection.greeting) + connection.greetingSent,
                                static_cast<int>(connection.greetingLength - connection.greetingSent));
            if (done <= 0) {
                sent = SOCKET_ERROR;
                *error = done == 0 ? WSAEWOULDBLOCK : *error;
                break;
            }
            connection.greetingSent += static_cast<size_t>(done);
        }
        if (connection.greetingSent == connection.greetingLength)
            sent = count > 0 ? sendOnce(data, count) : 0;
        if (sent == SOCKET_ERROR && *error != WSAEWOULDBLOCK)
            connection.sendError = *error;
    });
    if (sent == SOCKET_ERROR && *error != WSAEWOULDBLOCK)
        ReportEnd(connection, {EndReason::SendFailed, *error, nullptr});
    return sent;
}

bool Bridge::FlushStaging(Connection &connection, uint64_t deadlineMs)
{
    while (connection.stagingOffset < connection.stagingLength) {
        int error = 0;
        const char *rest = connection.staging + connection.stagingOffset;
        size_t left = connection.stagingLength - connection.stagingOffset;
        bool wait = GetTickCount64() < deadlineMs;
        int sent = SendToPeer(connection, rest, static_cast<int>(left), &error, wait);
        if (sent == PeerGone || sent == SOCKET_ERROR)
            return false;
        size_t data = connection.telnet ? DataBytesInEscaped(reinterpret_cast<const uint8_t *>(rest),
                                                             static_cast<size_t>(sent))
                                        : static_cast<size_t>(sent);
        connection.toPeer += data;
        connection.stagingOffset += static_cast<size_t>(sent);
    }
    connection.stagingOffset = connection.stagingLength = 0;
    return true;
}

int Bridge::ReceiveFromPeer(Connection &connection, char *buffer, int size, int *error)
{
    int received = PeerGone;
    *error = 0;
    (void)OnPeer(connection, [&](PeerIo &peer) { received = peer.Receive(buffer, size, error); });
    return received;
}

void Bridge::ReportEnd(Connection &connection, EndReport report)
{
    AcquireSRWLockExclusive(&connection.endLock);
    bool first = connection.end.reason == EndReason::None;
    if (first)
        connection.end = report;
    ReleaseSRWLockExclusive(&connection.endLock);
    if (first)
        (void)PostMessageW(MainWindow, WM_CONNECTION_ENDED, static_cast<WPARAM>(connection.number), 0);
}

ConnectionFigures Bridge::FiguresOf(LONG number) const
{
    std::shared_ptr<Connection> connection = Find(Peers(), lastEnded, number);
    if (!connection)
        return {};
    // A chunk that was being sent when the connection ended is counted.
    AcquireSRWLockShared(&connection->sendLock);
    ConnectionFigures figures = {connection->toPort, connection->toPeer, connection->attachedMs,
                                 connection->lastHeardMs};
    ReleaseSRWLockShared(&connection->sendLock);
    return figures;
}

void Bridge::Wake()
{
    SetEvent(socketNews);
}

void Bridge::CountMoved(Direction direction, DWORD bytes)
{
    if (bytes == 0)
        return;
    moved[direction] += static_cast<int32_t>(bytes);
    NoteBytesMoved();
}

bool Bridge::TagDue(Direction direction) const
{
    int32_t flag = direction == SerialToLan ? Settings.DTRSLAN.load() : Settings.DTLANRS.load();
    return TimeTagDue(Settings.DT, flag, quietLeft[direction]);
}

void Bridge::ReloadQuietSpell(Direction direction)
{
    quietLeft[direction] = Settings.DTUPTIME.load();
}

void Bridge::CountDownQuietSpells()
{
    for (std::atomic<int32_t> &left : quietLeft)
        CountDown(left);
}

void Bridge::ResetQuietSpells()
{
    for (std::atomic<int32_t> &left : quietLeft)
        left = 0;
}

void Bridge::ReportPortLost(LONG portGeneration, LPARAM how, DWORD error)
{
    lastPortError = error;
    (void)PostMessageW(MainWindow, WM_SERIAL_LOST, static_cast<WPARAM>(portGeneration), how);
}

PortLine Bridge::LineInForce() const
{
    AcquireSRWLockShared(&lineLock);
    PortLine line = peerLineSet ? peerLine : userLine;
    ReleaseSRWLockShared(&lineLock);
    return line;
}

LinePace Bridge::Pace() const
{
    AcquireSRWLockShared(&lineLock);
    LinePace current = pace;
    ReleaseSRWLockShared(&lineLock);
    return current;
}
