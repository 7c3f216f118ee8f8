// The serial port: its names, opening it for overlapped I/O, its line with
// the time-outs that go with it, and the rule that tells a port that is gone
// from a request that only did not finish. Whoever opens a port owns the
// handle; nothing here keeps one.
#include "serial.h"

#include <cstdio>

const char *const PortNameTable[PortCount] = {"com1", "com2", "com3", "com4", "com5", "com6"};

bool PortDeviceName(int com, char *name, size_t capacity)
{
    if (com >= 0 && com < PortCount) {
        snprintf(name, capacity, "%s", PortNameTable[com]);
        return true;
    }
    if (com >= PortCount && com < HighestPortNumber) {
        // COM10 and above open only through the device namespace.
        snprintf(name, capacity, "\\\\.\\COM%d", com + 1);
        return true;
    }
    return false;
}

bool PortErrorMeansLost(DWORD error, bool cancelledByUs)
{
    switch (error) {
    case ERROR_OPERATION_ABORTED:
        // Our own cancel. Otherwise the driver ended the request itself, as
        // some do when their device is removed: no purge of ours aborts, and
        // the state record asks for no abort on line errors.
        return !cancelledByUs;
    case ERROR_SUCCESS:
    case ERROR_IO_PENDING:
    case ERROR_IO_INCOMPLETE:
    case ERROR_TIMEOUT:
    case ERROR_SEM_TIMEOUT:
    case ERROR_COUNTER_TIMEOUT:
        return false;
    default:
        // A driver says "gone" in many words: a removed USB adapter gives
        // access denied, bad command or device not connected, a pty whose
        // other end closed broken pipe or not ready.
        return true;
    }
}

DCB BuildPortState(const DCB &base, const PortLine &line)
{
    bool xonXoff = line.flow == FlowXonXoff || line.flow == FlowXonXoffHigh;
    DCB state = base;
    state.DCBlength = sizeof state;
    state.BaudRate = static_cast<DWORD>(line.bps);
    state.fBinary = 1;
    state.fParity = 1;
    state.fOutxCtsFlow = line.flow == FlowRtsCts;
    state.fOutxDsrFlow = line.flow == FlowDtrDsr;
    state.fDtrControl = DTR_CONTROL_ENABLE;
    state.fDsrSensitivity = 0;
    // An XOFF that the driver sends for us must not stop our own output.
    state.fTXContinueOnXoff = 1;
    state.fOutX = xonXoff;
    state.fInX = xonXoff;
    state.fErrorChar = 0;
    state.fNull = 0;
    state.fRtsControl = RTS_CONTROL_ENABLE;
    // A line error must not end every read and write until it is cleared.
    state.fAbortOnError = 0;
    state.XonLim = xonXoff ? XonLimit : 0;
    state.XoffLim = xonXoff ? XoffLimit : 0;
    state.ByteSize = line.bits;
    state.Parity = line.parity;
    state.StopBits = line.stopBits;
    // Both characters in every mode: drivers refuse a record whose two are
    // equal, as two zeros are.
    state.XonChar = XonCharacter;
    state.XoffChar = line.flow == FlowXonXoffHigh ? XoffCharacterHigh : XoffCharacter;
    state.ErrorChar = 0;
    state.EofChar = 0;
    state.EvtChar = xonXoff ? state.XoffChar : 0;
    return state;
}

LinePace PaceOfLine(const PortLine &line)
{
    // A character on the line in half bits: start, data, parity and stop
    // bits (1.5 of them is three halves).
    constexpr uint64_t HalvesPerBit = 2;
    constexpr uint64_t MicrosecondsPerSecond = 1000000;
    constexpr uint64_t MicrosecondsPerMs = 1000;
    uint64_t stopHalves = line.stopBits == TWOSTOPBITS ? 4 : line.stopBits == ONE5STOPBITS ? 3 : 2;
    uint64_t halves = HalvesPerBit * (1 + line.bits + (line.parity != NOPARITY ? 1 : 0)) + stopHalves;
    uint64_t bps = line.bps > 0 ? static_cast<uint64_t>(line.bps) : 1;
    // QuietCharacterHalves / 2 characters of halves / 2 bits each, rounded up to whole ms.
    uint64_t quietUs = QuietCharacterHalves * halves * MicrosecondsPerSecond / (HalvesPerBit * HalvesPerBit * bps);
    uint64_t quietMs = (quietUs + MicrosecondsPerMs - 1) / MicrosecondsPerMs;
    uint64_t gather = HalvesPerBit * bps * GatherLineMs / (halves * MicrosecondsPerMs);
    constexpr uint64_t LongestQuietMs = MAXDWORD - 1;   // MAXDWORD itself means "no wait at all"
    LinePace pace;
    pace.quietMs = static_cast<DWORD>(quietMs < 1 ? 1 : quietMs > LongestQuietMs ? LongestQuietMs : quietMs);
    pace.gatherBytes = static_cast<DWORD>(gather < 1 ? 1 : gather > InputQueueSize ? InputQueueSize : gather);
    return pace;
}

COMMTIMEOUTS PortTimeouts(const LinePace &pace)
{
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadIntervalTimeout = pace.quietMs;
    return timeouts;
}

// A driver that refuses time-outs reads as it will; the data path backs off
// reads that bring nothing.
static void SetTimeouts(HANDLE port, const PortLine &line)
{
    COMMTIMEOUTS timeouts = PortTimeouts(PaceOfLine(line));
    (void)SetCommTimeouts(port, &timeouts);
}

PortOpening OpenPort(const char *name, const PortLine &line, HANDLE *port, DWORD *error)
{
    HANDLE opened = CreateFileW(WideText(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    *error = opened == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    *port = opened;
    if (opened == INVALID_HANDLE_VALUE)
        return PortOpening::Refused;
    if (!SetCommMask(opened, PortEventMask)) {
        *error = GetLastError();
        // A device that takes no line events is no serial port: it is let go.
        *port = INVALID_HANDLE_VALUE;
        CloseHandle(opened);
        return PortOpening::TakesNoEvents;
    }
    (void)SetupComm(opened, InputQueueSize, OutputQueueSize);  // the driver keeps its own sizes if it refuses
    // The port keeps the time-outs the last program left on it: ours go on
    // before the first read.
    SetTimeouts(opened, line);
    // Whatever the device left in a queue before this open is not ours.
    (void)PurgeComm(opened, PortPurgeMask);
    return PortOpening::Opened;
}

bool ApplyLine(HANDLE port, const PortLine &line, DWORD *error)
{
    *error = ERROR_SUCCESS;
    // Line errors and queue sizes are nobody's business here. No purge:
    // bytes that wait in either queue are the user's data.
    (void)ClearCommError(port, nullptr, nullptr);
    (void)SetupComm(port, InputQueueSize, OutputQueueSize);
    DCB state = {};
    state.DCBlength = sizeof state;
    if (!GetCommState(port, &state))
        state = DCB{};      // every field is set below or left at zero
    state = BuildPortState(state, line);
    if (!SetCommState(port, &state)) {
        *error = GetLastError();
        return false;
    }
    SetTimeouts(port, line);
    return true;
}

bool ReadPortLine(HANDLE port, int32_t flow, PortLine *line)
{
    DCB state = {};
    state.DCBlength = sizeof state;
    if (!GetCommState(port, &state))
        return false;
    *line = {static_cast<int32_t>(state.BaudRate), state.ByteSize, state.Parity, state.StopBits, flow};
    return true;
}

int FormatPortLine(const PortLine &line, char *text, size_t capacity)
{
    static const char ParityLetters[] = "NOEMS";
    char parity = line.parity < sizeof ParityLetters - 1 ? ParityLetters[line.parity] : '?';
    const char *stop = line.stopBits == TWOSTOPBITS ? "2" : line.stopBits == ONE5STOPBITS ? "1.5" : "1";
    return snprintf(text, capacity, "%ld %u%c%s", static_cast<long>(line.bps), line.bits, parity, stop);
}

void FormatPortLineAndFlow(const PortLine &line, char *text, size_t capacity)
{
    int length = FormatPortLine(line, text, capacity);
    if (length > 0 && static_cast<size_t>(length) < capacity)
        snprintf(text + length, capacity - length, ", flow %s",
                 static_cast<size_t>(line.flow) < FlowModeCount ? FlowModeTexts[line.flow] : "?");
}

DWORD FlowLineFunction(int32_t flow, bool raise)
{
    switch (flow) {
    case FlowRtsCts:
        return raise ? SETRTS : CLRRTS;
    case FlowDtrDsr:
        return raise ? SETDTR : CLRDTR;
    default:
        return 0;
    }
}
