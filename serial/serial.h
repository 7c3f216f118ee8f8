// Serial link: the one serial port, the serial receive thread and the serial
// write.
#pragma once

#include "../shell/shell.h"
#include "../util/util.h"

#include <winsock2.h>     // the data path's sends report as Winsock does
#include <windows.h>
#include <atomic>
#include <cstddef>
#include <cstdint>

constexpr int PortCount = 6;
extern const char *const PortNameTable[PortCount];

// COM values beyond the table name the ports COM7..COM256 through their
// device names; anything else is not a port.
constexpr int HighestPortNumber = 256;
constexpr size_t PortNameCapacity = 16;

// Driver queue sizes asked for at every open and configuration; the receive
// path's flow thresholds are fractions of the input queue.
constexpr DWORD InputQueueSize = 8192;
constexpr DWORD OutputQueueSize = 2048;

// The line events that end a comm-event wait.
constexpr DWORD PortEventMask = EV_RXCHAR | EV_RXFLAG | EV_CTS | EV_ERR | EV_RX80FULL;
constexpr DWORD PortPurgeMask = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

// XON/XOFF: the driver sends XOFF when fewer than XoffLimit bytes of the
// input queue are free and XON once it has drained to XonLimit bytes.
constexpr WORD XonLimit = 2048;
constexpr WORD XoffLimit = 2048;
constexpr char XonCharacter = 0x11;
constexpr char XoffCharacter = 0x13;
constexpr char XoffCharacterHigh = static_cast<char>(0x93);

enum FlowMode : int32_t {
    FlowNone = 0,
    FlowRtsCts = 1,
    FlowDtrDsr = 2,
    FlowXonXoff = 3,
    FlowXonXoffHigh = 4,
};

// Notice codes: 1..4 a refused open of that port, then the others.
enum NoticeCode : int {
    NoticeCom1Open = 1,
    NoticeCom4Open = 4,
    NoticeEventMask = 5,
};

// The port: a valid handle, INVALID_HANDLE_VALUE while none is open (the
// open failed, or the port went away), or null once closed for good.
// Written on the user-interface thread only, and only while no data thread
// has a request on it.
extern std::atomic<HANDLE> PortHandle;
// Counts the ports opened and closed: a data thread that reports a failure
// names the port it used by it. User-interface thread.
extern std::atomic<LONG> PortGeneration;

inline bool PortIsOpen(HANDLE port)
{
    return port != nullptr && port != INVALID_HANDLE_VALUE;
}

// The receive thread's record (comm-event waits and reads) and SerialWrite's,
// each with its unnamed manual-reset event. Replaced by an open on the
// user-interface thread, used by one data thread each.
extern OVERLAPPED ReadOverlapped;
extern OVERLAPPED WriteOverlapped;

// Opens and purges the port; tells the user when it cannot. Returns 0 when
// the port is open.
int OpenSerialPort(const char *name, int number);
// Opens the port that COM names, or tells the user why there is none.
// Returns 0 when the port is open.
int OpenConfiguredPort(int com);
// The same without a word to the user, for the retries of a lost port.
int TryOpenConfiguredPort(int com);
// Applies the user's line to the open port; a line the driver refuses is
// told to the user, and the port keeps what it had. Nothing queued is
// dropped: the queues are emptied only when the port is opened.
void ConfigureSerialPort();
void RaiseFlowLine();
void DropFlowLine();
int ShowNotice(int code);
// The body of the serial receive thread.
void SerialReceiveThread(WorkerThread &self);
// Starts the serial receive thread unless one runs or no port is open; a
// stop asked of the running one and not yet taken is withdrawn.
void StartSerialReceiveThread();
// Tells the receive thread that a connection was made or ended, or the line
// settings changed.
void WakeSerialReader();

// The line of the port in the record's terms.
struct PortLine {
    int32_t bps;
    uint8_t bits;
    uint8_t parity;     // NOPARITY..SPACEPARITY
    uint8_t stopBits;   // ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS
    int32_t flow;       // FlowMode
};
// The user's line, from the settings record.
PortLine UserLine();

// How the receive thread cuts the line's bytes into chunks, from its speed:
// a read ends once the line has been quiet for quietMs (a few character
// times, at least the 1 ms the driver counts in), or once it holds
// gatherBytes, a couple of milliseconds of line time.
constexpr DWORD QuietCharacterHalves = 7;       // 3.5 character times, the silence that ends a Modbus RTU frame
constexpr DWORD GatherLineMs = 2;
struct LinePace {
    DWORD quietMs;
    DWORD gatherBytes;
};
LinePace PaceOfLine(const PortLine &line);
// The time-outs every open and every line change give the port: reads end
// after quietMs without a byte once one has come, and never sooner by a
// total; writes wait for the line as long as it takes. Set on each open, as
// the port keeps what the last program left on it.
COMMTIMEOUTS PortTimeouts(const LinePace &pace);
// The pace of the line in force; written where a line is applied, read by
// the receive thread.
LinePace CurrentLinePace();

// The pure pieces of the above, for the tests.
bool PortDeviceName(int com, char *name, size_t capacity);
// The state record for a line, built on the state the driver reports, so
// that fields this program has no word on keep the driver's values.
DCB BuildPortState(const DCB &base, const PortLine &line);
DWORD FlowLineFunction(int32_t flow, bool raise);   // 0 when the mode moves no line
// Whether a failed port call means the device is gone, rather than a
// request still under way, or cancelled by this program, or timed out. An
// abort this program did not ask for is a driver letting go of the port.
bool PortErrorMeansLost(DWORD error, bool cancelledByUs = false);
// A line applied to the open port: its state and its time-outs. False, with
// the error, when the driver refuses the state; the port keeps what it had.
bool ApplyLine(HANDLE port, const PortLine &line, DWORD *error);

// The bridge's data path on the serial side.
constexpr DWORD SerialReadSize = 8192;          // at most this much per read
constexpr DWORD PollPeriodMs = 100;             // longest wait of the receive thread's passes, and for a full socket
constexpr DWORD ReadCancelWaitMs = 1000;
constexpr DWORD PortLookPeriodMs = 1000;        // the receive thread's look at a port without a peer
// A read that gathers a stream is waited for its line time and quiet time,
// and this much more, before it is cancelled: a stream that stopped between
// two reads leaves the next one waiting for bytes that will not come soon.
constexpr DWORD GatherSlackMs = 2;
// The input queue's flow thresholds: the line drops above 60 % and rises at
// 10 % of the input queue.
constexpr DWORD FlowStopLevel = InputQueueSize * 6 / 10 + 1;    // 4916
constexpr DWORD FlowResumeLevel = InputQueueSize / 10 - 1;      // 818
constexpr DWORD WriteRequestLimit = 8192;
// A write that the port completes without taking a byte is tried again
// after this long, never at once.
constexpr DWORD WriteRetryMs = 10;

// Where the serial side meets the network side: the data path of the
// connection that is up, which net/ keeps. The serial receive thread sends
// through it; the writer asks whether its block's connection still stands.
// A connection is known by its serial number, 0 for none.
constexpr int SocketBlockSize = 8192;   // one receive from the peer, and one write request to the port
// What the data path's calls return when their connection has ended.
constexpr int ConnectionEnded = -2;
// The serial of the connection that is up, 0 when none is.
LONG CurrentConnection();
// One send on the socket of the connection: what send returned, or
// ConnectionEnded; WSAGetLastError tells why after -1. A send to a full
// socket waits up to WritableWaitMs for room and tries once more. After a
// hard send error the connection is dropped.
constexpr DWORD WritableWaitMs = 50;
int SendToPeer(LONG connection, const char *data, int count);
// Whether the connection speaks RFC 2217 (Telnet) rather than raw bytes.
bool PeerSpeaksTelnet(LONG connection);
// Held around one message to the peer (a chunk, or a Telnet reply), so that
// the two data threads' messages never interleave within one.
void LockPeerSends();
void UnlockPeerSends();

// The bytes each direction moved since the display last took them, and the
// seconds left of each direction's quiet spell (a time tag is due at 0). The
// data threads add and reload; the main window takes and counts down.
extern std::atomic<int32_t> LanToSerialBytes, SerialToLanBytes;
extern std::atomic<int32_t> LanToSerialSilence, SerialToLanSilence;
// Adds to a byte counter; the first bytes after a still spell wake the
// main window's refresh tick.
inline void CountBytes(std::atomic<int32_t> &counter, int32_t count)
{
    counter += count;
    NoteBytesMoved();
}

// The time tag: "\n\nYYYY/MM/DD hh:mm:ss\n", 22 bytes for four-digit years.
constexpr int TimeTagLength = 22;
constexpr size_t TimeTagCapacity = 40;

// What the input-queue flow control does with the line, given whether it
// has stopped the device and how many bytes wait.
enum FlowStep { FlowHold, FlowDrop, FlowRaise };
FlowStep NextFlowStep(bool stopped, DWORD queued);

int FormatTimeTag(const struct tm &time, char *tag, size_t capacity);
int MakeTimeTag(char *tag, size_t capacity);        // the local time now
// Whether a chunk of this direction gets a tag now.
bool TimeTagDue(int32_t dt, int32_t directionFlag, int32_t silence);
// How many of `length` bytes from `offset` of a chunk are data, the chunk
// starting with a tag of tagLength bytes: a log counts only those.
int DataBytesIn(int offset, int length, int tagLength);

// Counts the writes begun on the port: the receive thread tells by it
// whether traffic went the other way since its last chunk. Counted before
// the write, as a device may answer before the write call returns. Written
// by the socket receive thread.
extern std::atomic<uint32_t> PortWritesBegun;

// Writes a block from the peer of `connection` to the port, tagged when due.
// Returns when the port has taken all of it, or the connection has ended
// (its rest is dropped), or the port is not there: then the rest is held,
// the main window is told, and ResumeSerialWrite writes it first once a
// port is open again. Each log gets the bytes the port took.
void SerialWrite(LONG connection, const char *data, int count);
// True while a block waits for the port.
bool SerialWriteHeld();
// Writes what is held; true when nothing is held any more.
bool ResumeSerialWrite();
// Wakes a write that waits, so that it looks again whether its port is
// being taken or its connection has ended.
void WakeSerialWriter();

// Asks the serial receive thread to end and waits until it has, or until the
// time-out; true when no thread runs any more.
bool StopSerialReceiveThread(DWORD timeoutMs);
// The longest a user's command waits for the data threads to let go of the
// port: together well under a second.
constexpr DWORD ReceiveThreadStopWaitMs = 500;
constexpr DWORD WriterLetGoWaitMs = 300;

// True while the port is tried again every second: it went away, or could
// not be opened though it exists by name. User-interface thread.
extern bool PortLost;
// Once a second while the port is lost: lets go of what is left of it and
// tries to open it again with the line settings, silently; true once it is
// open and its receive thread runs.
bool RetryLostPort();

// Closes the port and opens the one `com` names, handing it over between
// receive threads: the old thread has ended and no write is under way when
// the port changes; Settings.COM then names the new port. When a data
// thread does not let go in time, the old port, its one receive thread and
// Settings.COM stay as they were and 1 is returned. Otherwise returns what
// the open returned.
int ReopenSerialPort(int com);
// RFC 2217 mode: the line a peer sets for its connection. The socket
// receive thread applies each request (a COM-PORT-OPTION command and its
// value) to the open port as its writer and returns the value in force for
// the reply; a value the port refuses leaves what the port kept. The main
// window is told by WM_PEER_LINE.
uint32_t ApplyPeerRequest(LONG connection, uint8_t command, uint32_t value);
// The peer asked for no data for now (FLOWCONTROL-SUSPEND): the serial
// receive thread leaves the bytes in the port's queue until it resumes.
// The connection it is for, 0 for none: a suspend that comes in as its
// connection ends holds no later one back.
extern std::atomic<LONG> SuspendedConnection;
// The modem lines, where GetCommModemStatus and RFC 2217 both keep them (the
// high nibble); RFC 2217 puts their changes in the low one.
constexpr DWORD ModemLineBits = MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON;
constexpr int ModemDeltaShift = 4;
// The modem lines the peer wants to hear about (SET-MODEMSTATE-MASK).
uint8_t PeerModemStateMask();
// After the connection's path is closed, on the user-interface thread: the
// port goes back to the user's line, if a peer changed it.
void RestoreUserLine();
// The user's line was applied over the peer's (SERIAL(&R) OK): the port
// has the user's line again, and a later request starts from it.
void ForgetPeerLine();
// The peer's line as "115200 8N1" while it differs from the user's.
bool PeerLineText(char *text, size_t capacity);
// The flow mode in force: the peer's while it has set one, else the user's.
int32_t FlowInForce();
// The pure pieces: a request applied to a line (false when it changes
// nothing: a query, or a value no port takes), the value a reply reports,
// and the line's text.
bool LineWithRequest(PortLine &line, uint8_t command, uint32_t value);
uint32_t LineReplyValue(const PortLine &line, uint8_t command, uint32_t asked);
int FormatPortLine(const PortLine &line, char *text, size_t capacity);
// A request on the port outside a write, by the writer's thread: false
// while the port is being taken.
bool AcquirePortAsWriter();
void ReleasePortAsWriter();

// Takes the port from the writer: a write under way is cancelled and its
// rest held. False when the writer did not let go within the time-out.
bool TakePortFromWriter(DWORD timeoutMs);
void GivePortToWriter();
