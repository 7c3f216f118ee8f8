// The bridge: the data path between the one serial port and the peers of the
// connections that are up (one, unless a server shares the port). It owns
// the port while one is open, the connections while they are attached (each
// peer, its number, its Telnet session), the line a peer set, the block held
// for the port, the byte counters and the quiet spells of the time tags, and
// the two data threads: the serial receive thread, port to peers, and the
// socket receive thread, peers to port.
//
// The user-interface thread gives and takes the port, attaches and detaches
// connections and reads the counters; the data threads tell it what happened
// by posted messages (WM_CONNECTION_ENDED, WM_SERIAL_LOST, WM_PEER_LINE).
// The bridge reaches the port and the peer through PortIo and PeerIo, so
// that the tests run it against fakes.
#pragma once

#include "../serial/serial.h"
#include "../telnet/telnet.h"
#include "../util/util.h"

#include <winsock2.h>
#include <windows.h>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// The data path's sizes and limits.
constexpr DWORD SerialReadSize = 8192;          // at most this much per read of the port
constexpr int SocketBlockSize = 8192;           // one receive from the peer, and one write request to the port
constexpr DWORD PollPeriodMs = 100;             // a port that refuses reads, or reads nothing twice, is asked again after this
constexpr DWORD ReadCancelWaitMs = 1000;        // a cancelled read completes within this, or the port is lost
constexpr DWORD PortLookPeriodMs = 1000;        // the receive thread's look at a port without a peer
constexpr DWORD WritableWaitMs = 50;            // a send to a full socket waits this long for room, then once more
constexpr DWORD WriteRetryMs = 10;              // a write the port completes without a byte is tried again after this
// A read that gathers a stream is waited for its line time and quiet time,
// and this much more, before it is cancelled: a stream that stopped between
// two reads leaves the next one waiting for bytes that will not come soon.
constexpr DWORD GatherSlackMs = 2;
// The input queue's flow thresholds: the line drops above 60 % and rises at
// 10 % of the input queue.
constexpr DWORD FlowStopLevel = InputQueueSize * 6 / 10 + 1;    // 4916
constexpr DWORD FlowResumeLevel = InputQueueSize / 10 - 1;      // 818
// What the input-queue flow control does with the line, given whether it
// has stopped the device and how many bytes wait.
enum FlowStep { FlowHold, FlowDrop, FlowRaise };
FlowStep NextFlowStep(bool stopped, DWORD queued);

// A server that serves several peers at once: the device's bytes wait for
// them in one ring, each peer at a place of its own; a peer that falls the
// whole ring behind is dropped, so that it never holds the others back.
constexpr size_t FanOutCapacity = 256 * 1024;
constexpr DWORD PeerRetryMs = 10;           // a peer whose socket was full is offered more after this
constexpr DWORD AnswerWaitMs = 2000;        // a Telnet answer that finds no room in this long ends its peer
// A peer that sends to the port keeps the line while its bytes come within
// 3.5 character times (the silence that ends a Modbus RTU frame), held to
// these bounds.
constexpr DWORD TurnGapLeastMs = 2;
constexpr DWORD TurnGapMostMs = 50;
DWORD TurnGapMs(const LinePace &pace);

// The device's bytes for several peers: a ring that keeps the last
// `capacity` bytes, and positions (counted from the start, never wrapping)
// that each peer keeps for itself.
class FanOut {
public:
    explicit FanOut(size_t capacity = FanOutCapacity) : ring(capacity) {}
    uint64_t Head() const { return head; }
    // What can be added without overrunning a peer at `fastest`.
    size_t Room(uint64_t fastest) const { return ring.size() - static_cast<size_t>(head - fastest); }
    // Whether a peer at `position` would lose bytes were `more` added.
    bool Overruns(uint64_t position, size_t more) const { return head + more - position > ring.size(); }
    void Append(const char *data, size_t length);
    // Copies what follows `position`, at most `most` bytes.
    size_t Copy(uint64_t position, char *out, size_t most) const;

private:
    std::vector<char> ring;
    uint64_t head = 0;
};

// Whose turn it is to write to the port. A peer that has bytes speaks at
// once if none does, else waits in line; the speaker keeps the line for a
// gap after its last bytes, then the peer that waited longest speaks.
class TurnRule {
public:
    void Wants(LONG peer);
    void Heard(uint64_t nowUs, DWORD gapMs) { holdUntilUs = nowUs + static_cast<uint64_t>(gapMs) * 1000; }
    LONG Speaker() const { return speaker; }
    bool Holding(uint64_t nowUs) const { return speaker != 0 && nowUs < holdUntilUs; }
    DWORD WaitLimitMs(uint64_t nowUs) const;
    void Pass();
    void Forget(LONG peer);
    bool InLine(LONG peer) const;

private:
    LONG speaker = 0;
    uint64_t holdUntilUs = 0;
    std::vector<LONG> waiting;
};

// The time tag: "\n\nYYYY/MM/DD hh:mm:ss\n", 22 bytes for four-digit years.
constexpr int TimeTagLength = 22;
constexpr size_t TimeTagCapacity = 40;
int FormatTimeTag(const struct tm &time, char *tag, size_t capacity);
int MakeTimeTag(char *tag, size_t capacity);        // the local time now
// Whether a chunk of a direction gets a tag now.
bool TimeTagDue(int32_t dt, int32_t directionFlag, int32_t quietLeft);
// How many of `length` bytes from `offset` of a chunk are data, the chunk
// starting with a tag of tagLength bytes: a log counts only those.
int DataBytesIn(int offset, int length, int tagLength);

// RFC 2217: a peer's request applied to a line (false when it changes
// nothing: a query, or a value no port takes), and the value a reply
// reports.
bool LineWithRequest(PortLine &line, uint8_t command, uint32_t value);
uint32_t LineReplyValue(const PortLine &line, uint8_t command, uint32_t asked);

// What the bridge needs of a port. Requests are started, completed and
// cancelled as on a real port: each request's event is set when it is done.
class PortIo {
public:
    virtual ~PortIo() = default;
    virtual IoStart Read(PortRequest &request, void *buffer, DWORD count, DWORD *error) = 0;
    virtual IoStart Write(PortRequest &request, const void *data, DWORD count, DWORD *error) = 0;
    virtual bool Result(PortRequest &request, DWORD *moved, DWORD *error) = 0;
    virtual void Cancel(PortRequest &request) = 0;
    virtual bool Queued(DWORD *bytes, DWORD *error) = 0;
    virtual bool ApplyLine(const PortLine &line, DWORD *error) = 0;
    virtual bool ReadLine(int32_t flow, PortLine *line) = 0;
    // EscapeCommFunction's functions: the flow lines, DTR, RTS, the break.
    virtual bool Escape(DWORD function) = 0;
    virtual bool Purge(DWORD flags) = 0;
    virtual bool ModemLines(DWORD *lines) = 0;
};
// The real port; it closes the handle when it goes.
std::unique_ptr<PortIo> MakeDevicePort(HANDLE port);

// What the bridge needs of a peer: non-blocking send and receive, and an
// event for news of the socket.
class PeerIo {
public:
    virtual ~PeerIo() = default;
    // What send and recv return; after SOCKET_ERROR, *error says why.
    virtual int Send(const char *data, int count, int *error) = 0;
    virtual int Receive(char *buffer, int size, int *error) = 0;
    // Returns once the socket takes more, or after limitMs.
    virtual void WaitWritable(DWORD limitMs) = 0;
    // Set, auto-reset, when data or the peer's close comes.
    virtual HANDLE NewsEvent() const = 0;
    // Whether the peer has closed its end since the last look.
    virtual bool PeerClosed() = 0;
    // The socket's news stops going to the event; on the user-interface
    // thread, before the socket is closed.
    virtual void LetGo() = 0;
};
// The real peer: the socket stays its opener's, to close once the bridge
// has let go of it; its news now goes to the bridge.
std::unique_ptr<PeerIo> MakeSocketPeer(SOCKET socket);

// The port's hand-over between its owner, the user-interface thread (which
// opens, configures and closes it), and the writer, the socket receive
// thread (which writes the peer's bytes and applies its line requests). The
// writer holds the lease for one request at a time; the owner takes the
// port back within a limit, and a write that waits for its line gives way
// meanwhile (the writer watches Taking()).
class PortLease {
public:
    // Writer: false while the owner takes the port.
    bool Acquire();
    void Release();
    bool Taking() const { return taking != 0; }
    // Owner: true once the writer holds nothing; false, with the lease given
    // back, when the writer did not let go within the limit. wake is set so
    // that a writer waiting on its line looks at Taking().
    bool Take(DWORD limitMs, HANDLE wake);
    void Give();

private:
    // Each side writes its own flag before it reads the other's, both
    // sequentially consistent: at least one of them sees the other.
    std::atomic<LONG> taking{0};
    std::atomic<LONG> holding{0};
};

// The directions, as the rate display and the time tags name them.
enum Direction { LanToSerial, SerialToLan, DirectionCount };

// Why a connection ended on the data path's side.
enum class EndReason {
    None,
    PeerClosed,         // the peer closed its end; all it sent was read
    ReceiveFailed,      // error: the receive's
    SendFailed,         // error: the send's
    ProtocolFault,      // fault: why, a static text
    FellBehind,         // it took the device's bytes slower than the others, by a whole ring
    PortGone,           // the peer closed while what it sent waits for a port that is gone
};
struct EndReport {
    EndReason reason = EndReason::None;
    int error = 0;
    const char *fault = nullptr;
};

// What a connection moved, and when it last heard from its peer.
struct ConnectionFigures {
    uint64_t toPort = 0;
    uint64_t toPeer = 0;
    uint64_t attachedMs = 0;            // GetTickCount64 at Attach
    uint64_t lastHeardMs = 0;           // the last bytes from the peer, or Attach
};

// DTR, RTS and the break as a peer in RFC 2217 mode set them; a port
// without modem lines refuses to move them, and the peer is told what stayed.
struct LineSignals {
    bool dtr = true;
    bool rts = true;
    bool brk = false;
};

// A connection, from Attach for as long as a data thread still works for it.
// What a field is for, and who writes it, is said beside it.
struct Connection {
    LONG number = 0;
    bool telnet = false;                    // it speaks RFC 2217
    std::unique_ptr<PeerIo> peer;
    std::atomic<bool> attached{true};       // cleared by Detach under the bridge's path lock
    std::atomic<int> sendError{0};          // a send that failed for good; set under the path lock
    std::atomic<uint64_t> toPort{0};        // the writer adds
    std::atomic<uint64_t> toPeer{0};        // the serial receive thread adds
    uint64_t attachedMs = 0;                // Attach
    std::atomic<uint64_t> lastHeardMs{0};   // the socket receive thread
    SRWLOCK sendLock = SRWLOCK_INIT;        // either data thread, for one whole message to the peer
    // RFC 2217: our offers, made at Attach and sent under sendLock before
    // the first bytes of either data thread, so that no device byte comes
    // before them.
    uint8_t greeting[TelnetAnswerCapacity];
    size_t greetingLength = 0;
    size_t greetingSent = 0;
    mutable SRWLOCK endLock = SRWLOCK_INIT;
    EndReport end;                          // under endLock: the first report of its end

    // The serial receive thread's, while peers share the port: where it is
    // in the ring, and the bytes taken from it and not sent yet (escaped
    // for RFC 2217), under sendLock, which a Telnet answer flushes first.
    LONG fanGeneration = 0;                 // the port's generation whose ring `position` counts in
    std::atomic<bool> dropped{false};
    uint64_t position = 0;
    char staging[2 * SerialReadSize];
    size_t stagingLength = 0;
    size_t stagingOffset = 0;

    // The socket receive thread's.
    bool met = false;                       // it was given its first look
    bool finished = false;                  // the peer closed, or its socket failed: nothing more to receive
    bool closedWhileHeld = false;           // the peer closed while its bytes waited for the port
    bool emptied = false;                   // the last receive emptied the socket
    TelnetSession session = {};             // begun by Attach, before either data thread sees the connection
    bool greeted = false;                   // our Telnet offers were pushed out
    uint8_t pending[SocketBlockSize];       // received and not yet decoded
    size_t pendingLength = 0;
    size_t pendingOffset = 0;
    LineSignals signals;

    std::atomic<bool> suspended{false};     // socket receive thread: FLOWCONTROL-SUSPEND
    std::atomic<uint8_t> modemMask{0};      // socket receive thread: the modem lines to tell of
    std::atomic<bool> modemNoteDue{false};  // the user-interface thread notes, the socket receive thread sends
    std::atomic<uint8_t> modemNote{0};
    DWORD modemLinesSeen = 0;               // user-interface thread
};

// The block from the peer that the port has not taken yet: a tag and the
// peer's bytes, as one chunk. The socket receive thread's.
struct HeldBlock {
    std::shared_ptr<Connection> connection;
    int tagLength = 0;
    int length = 0;
    int offset = 0;                         // bytes the port took already
    bool reported = false;                  // the main window knows that it waits for a port
    char bytes[TimeTagCapacity + SocketBlockSize];
};

// What the calls on a peer return once its connection is detached.
constexpr int PeerGone = -2;

// The connections attached, oldest first.
using PeerList = std::vector<std::shared_ptr<Connection>>;

class Bridge {
public:
    Bridge();
    ~Bridge();
    Bridge(const Bridge &) = delete;
    Bridge &operator=(const Bridge &) = delete;

    // The data threads: the socket receive thread runs from the start to
    // the end; the serial receive thread while a port is given.
    bool Start();
    void AskToStop();
    bool Stop(DWORD limitMs);

    // The port: given with the user's line, which it has; taken back (the
    // serial receive thread ends, the writer lets go), false when a thread
    // did not let go within the limit and the port stays.
    void GivePort(std::unique_ptr<PortIo> given, const PortLine &line);
    bool TakePort(DWORD limitMs);
    bool HasPort() const { return port != nullptr; }
    // Counts the ports given and taken: a report names the port by it.
    LONG PortGeneration() const { return generation; }
    // While the port is tried again, a peer that closes while its bytes
    // wait for the port ends its connection.
    void SetPortRetrying(bool retrying) { portRetrying = retrying; Wake(); }
    bool PortRetrying() const { return portRetrying; }
    // The error with which a data thread last found the port gone.
    DWORD LastPortError() const { return lastPortError; }
    // The user's line over a peer's; false with the error when the port
    // refuses it (it keeps what it had).
    bool ApplyUserLine(const PortLine &line, DWORD *error);

    // The connections: attached with their peers, detached before their
    // sockets are closed; the user's line comes back once the last is gone,
    // if a peer changed it. Sharing (the user-interface thread sets it as a
    // server starts) lets several be attached; without it there is one.
    void SetSharing(bool on) { sharing = on; }
    LONG Attach(std::unique_ptr<PeerIo> peer, bool telnet);
    void Detach();                  // all of them
    void Detach(LONG connection);
    LONG Current() const;           // the oldest, 0 when none
    bool IsAttached(LONG connection) const;
    PeerList Peers() const;
    EndReport EndOf(LONG connection) const;
    ConnectionFigures FiguresOf(LONG connection) const;
    // The line a peer set while it differs from the user's; as text, "115200 8N1".
    bool PeerLine(PortLine *line) const;
    bool PeerLineText(char *text, size_t capacity) const;
    // Once a second: a change of the modem lines that the peer asked to
    // hear of goes to it.
    void NoteModemLines();
    // The socket receive thread looks again: a port came back, or a peer
    // closed before its socket was handed over.
    void Wake();

    // The bytes each direction moved since the display last took them.
    int32_t Moved(Direction direction) const { return moved[direction]; }
    int32_t TakeMoved(Direction direction) { return moved[direction].exchange(0); }
    // The data threads count what they moved.
    void CountMoved(Direction direction, DWORD bytes);
    // Once a second: the quiet spells of the time tags run down; a data
    // thread that moves bytes starts its direction's again.
    void CountDownQuietSpells();
    void ReloadQuietSpell(Direction direction);
    int32_t QuietLeft(Direction direction) const { return quietLeft[direction]; }
    void ResetQuietSpells();

private:
    friend struct SerialReader;
    friend struct SocketReader;

    std::shared_ptr<Connection> Serving() const;
    // The oldest peer in RFC 2217 mode: its requests set the line.
    bool OwnsLine(const Connection &connection) const;
    // One call on the connection's peer while it is attached; false when it
    // is not, so that no call reaches a socket that is closed or another's.
    template <typename Call>
    bool OnPeer(Connection &connection, Call call) const;
    int SendToPeer(Connection &connection, const char *data, int count, int *error, bool wait = true);
    // Sends what the connection's staging holds, under its send lock; true
    // once it is empty. wait: for room, until the deadline.
    bool FlushStaging(Connection &connection, uint64_t deadlineMs);
    int ReceiveFromPeer(Connection &connection, char *buffer, int size, int *error);
    // A whole message to the peer, never cut by the other thread's.
    void SendWhole(Connection &connection, const uint8_t *bytes, size_t length);
    void ReportEnd(Connection &connection, EndReport report);
    bool TagDue(Direction direction) const;
    void ReportPortLost(LONG portGeneration, LPARAM how, DWORD error);
    // The line in force: a peer's while one has set it, else the user's.
    PortLine LineInForce() const;
    LinePace Pace() const;

    // The writer, on the socket receive thread: a block from the peer is
    // held until the port has taken it.
    void HoldBlock(const std::shared_ptr<Connection> &connection, const char *data, int count);
    bool HeldWaiting() const;
    bool WriteHeld();
    uint32_t ApplyPeerRequest(Connection &connection, uint8_t command, uint32_t value);
    void RestoreUserLine();

    static void SerialReceiveThread(WorkerThread &self);
    static void SocketReceiveThread(WorkerThread &self);

    // The port: set and cleared on the user-interface thread while the
    // serial receive thread has ended and the writer holds no lease; read
    // by the writer under the lease.
    std::unique_ptr<PortIo> ownedPort;
    std::atomic<PortIo *> port{nullptr};
    std::atomic<LONG> generation{0};            // user-interface thread
    std::atomic<bool> portRetrying{false};      // user-interface thread
    std::atomic<DWORD> lastPortError{0};        // the data threads
    PortLease lease;
    HANDLE writerWake;                          // auto-reset: a port taken, a connection ended
    HANDLE readerWake;                          // auto-reset: a connection made or ended, the line changed
    HANDLE socketNews;                          // auto-reset: a connection change, a port back, a modem note

    // The connection attached, under pathLock: the data threads hold it
    // shared for one call on the peer, the user-interface thread exclusive
    // to change it.
    mutable SRWLOCK pathLock = SRWLOCK_INIT;
    PeerList attached;
    std::atomic<bool> sharing{false};           // user-interface thread
    LONG connectionCount = 0;                   // user-interface thread
    std::shared_ptr<Connection> lastEnded;      // user-interface thread: for EndOf after Detach

    // The user's line, the line a peer set (the socket receive thread sets
    // it), and the pace of the line in force, under lineLock.
    mutable SRWLOCK lineLock = SRWLOCK_INIT;
    PortLine userLine = {};
    PortLine peerLine = {};
    bool peerLineSet = false;
    LinePace pace = {1, 1};

    std::unique_ptr<HeldBlock> held;            // socket receive thread
    PortRequest writeRequest;                   // socket receive thread
    std::atomic<uint32_t> writesBegun{0};       // socket receive thread: writes started on the port
    std::atomic<int32_t> moved[DirectionCount] = {};       // the data threads add, the display takes
    std::atomic<int32_t> quietLeft[DirectionCount] = {};   // the data threads reload, the clock counts down

    WorkerThread serialReader;
    WorkerThread socketReceiver;
};

template <typename Call>
bool Bridge::OnPeer(Connection &connection, Call call) const
{
    AcquireSRWLockShared(&pathLock);
    bool reached = connection.attached;
    if (reached)
        call(*connection.peer);
    ReleaseSRWLockShared(&pathLock);
    return reached;
}

// The program's one bridge.
extern Bridge &DataBridge;

// The port kept for the user, on the user-interface thread: opened as the
// settings name it, told when it cannot be, tried again each second while it
// is lost, and handed to the bridge.
// Opens the port that COM names with the user's line, or tells the user why
// there is none. Returns 0 when the port is open.
int OpenConfiguredPort(int com);
// Closes the port and opens the one com names; Settings.COM then names it.
// When a data thread does not let go in time, all stays as it was and 1 is
// returned; otherwise what the open returned.
int ReopenSerialPort(int com);
// Applies the user's line from the settings; a line the port refuses is
// told to the user.
void ConfigureSerialPort();
// The port went away (error: how a data thread found out), or the system
// says its adapter was unplugged (ERROR_DEVICE_REMOVED).
void LoseSerialPort(DWORD error);
// Once a second while the port is lost, and when the system says an adapter
// came: true once the port is open again.
bool RetryLostPort();
// The user's line, from the settings record.
PortLine UserLine();
// The refusals and time limits the keeper and the shutdown use.
constexpr DWORD ReceiveThreadStopWaitMs = 500;
constexpr DWORD WriterLetGoWaitMs = 300;
