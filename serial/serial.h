// The serial port alone: its names, opening it for overlapped I/O, its line
// and time-outs, overlapped reads and writes with their cancel, the flow
// lines, and the rule that tells a port that is gone from a request that
// only did not finish. No settings, no threads, no sockets: whoever opens a
// port owns its handle and says which line it gets.
#pragma once

#include "../util/util.h"

#include <windows.h>
#include <cstddef>
#include <cstdint>

constexpr int PortCount = 6;
extern const char *const PortNameTable[PortCount];

// COM values beyond the table name the ports COM7..COM256 through their
// device names; anything else is not a port.
constexpr int HighestPortNumber = 256;
constexpr size_t PortNameCapacity = 16;

// Driver queue sizes asked for at every open and line; the receive path's
// flow thresholds are fractions of the input queue.
constexpr DWORD InputQueueSize = 8192;
constexpr DWORD OutputQueueSize = 2048;

// The line events a port must take, or it is no serial port.
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
// Their names, in that order, as the serial dialog lists them.
inline constexpr const char *FlowModeTexts[] = {"none", "hardware(RTS)", "hardware(DTR)", "Xon/Xoff(x13)",
                                                "Xon/Xoff(x93)"};
constexpr size_t FlowModeCount = sizeof FlowModeTexts / sizeof FlowModeTexts[0];

// The modem lines, where GetCommModemStatus and RFC 2217 both keep them (the
// high nibble); RFC 2217 puts their changes in the low one.
constexpr DWORD ModemLineBits = MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON;
constexpr int ModemDeltaShift = 4;

inline bool PortIsOpen(HANDLE port)
{
    return port != nullptr && port != INVALID_HANDLE_VALUE;
}

// The device name of a COM value ("com1", "\\.\COM12"); false for a value
// that names no port.
bool PortDeviceName(int com, char *name, size_t capacity);

// The line of a port in the state record's terms.
struct PortLine {
    int32_t bps;
    uint8_t bits;
    uint8_t parity;     // NOPARITY..SPACEPARITY
    uint8_t stopBits;   // ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS
    int32_t flow;       // FlowMode
};
// "115200 8N1".
int FormatPortLine(const PortLine &line, char *text, size_t capacity);
// "115200 8N1, flow hardware(RTS)".
void FormatPortLineAndFlow(const PortLine &line, char *text, size_t capacity);

// How a chunk of the line's bytes is cut, from its speed: a read ends once
// the line has been quiet for quietMs (3.5 character times, at least the
// 1 ms the driver counts in), or once it holds gatherBytes, a couple of
// milliseconds of line time.
constexpr DWORD QuietCharacterHalves = 7;
constexpr DWORD GatherLineMs = 2;
struct LinePace {
    DWORD quietMs;
    DWORD gatherBytes;
};
LinePace PaceOfLine(const PortLine &line);
// The time-outs every open and line give the port: a read ends after
// quietMs without a byte once one has come, and never sooner by a total; a
// write waits for the line as long as it takes.
COMMTIMEOUTS PortTimeouts(const LinePace &pace);
// The state record for a line, built on the state the driver reports, so
// that fields this program has no word on keep the driver's values.
DCB BuildPortState(const DCB &base, const PortLine &line);
DWORD FlowLineFunction(int32_t flow, bool raise);   // 0 when the mode moves no line

// Whether a failed port call means the device is gone, rather than a
// request still under way, cancelled by this program, or timed out. An
// abort this program did not ask for is a driver letting go of the port.
bool PortErrorMeansLost(DWORD error, bool cancelledByUs = false);

enum class PortOpening { Opened, Refused, TakesNoEvents };
// Opens the device for overlapped I/O, takes the line events, sets the
// queues and the time-outs of the line, and empties what the device left
// in the queues. *port is the open handle, or INVALID_HANDLE_VALUE with the
// error in *error.
PortOpening OpenPort(const char *name, const PortLine &line, HANDLE *port, DWORD *error);
// Applies a line: the state record and the time-outs. False, with the
// error, when the driver refuses the state; the port keeps what it had.
bool ApplyLine(HANDLE port, const PortLine &line, DWORD *error);
// The line the driver has, with the flow mode given (the record does not
// say which of its modes it is).
bool ReadPortLine(HANDLE port, int32_t flow, PortLine *line);

// One overlapped request on a port, used by one thread: its record, with
// an event of its own, and whether it is under way. The record and its
// buffer are the request's until it has completed.
struct PortRequest {
    OVERLAPPED overlapped = {};
    bool inFlight = false;
    bool cancelled = false;     // cancelled by its thread: an abort is no loss
};
// Makes and releases the request's event.
bool PreparePortRequest(PortRequest &request);
void ReleasePortRequest(PortRequest &request);

enum class IoStart { Done, Pending, Failed };
IoStart StartPortRead(HANDLE port, PortRequest &request, void *buffer, DWORD count, DWORD *error);
IoStart StartPortWrite(HANDLE port, PortRequest &request, const void *data, DWORD count, DWORD *error);
// The outcome of a request whose event is set: the bytes it moved (also
// when it failed or was cancelled), and false with the error when it failed.
bool PortRequestResult(HANDLE port, PortRequest &request, DWORD *moved, DWORD *error);
void CancelPortRequest(HANDLE port, PortRequest &request);
// The bytes waiting in the input queue; line errors are cleared.
bool PortQueuedInput(HANDLE port, DWORD *queued, DWORD *error);
