// The line a peer sets in RFC 2217 mode. The peer's requests apply to the
// open port for its connection only: the settings record keeps the user's
// values, and the port goes back to them when the connection ends.
//
// The socket receive thread applies the requests, in order with the data
// around them, as the port's writer: under WriterBusy, on a port that is
// not being taken, for the connection that is up. The user-interface thread
// reads the line for the status bar (under LineLock) and puts the user's
// line back once the connection's path is closed, after taking the port
// from the writer, so that no late request of the old connection lands
// after it. The serial receive thread reads only SuspendedConnection.
#include "serial.h"
#include "../config/config.h"
#include "../shell/shell.h"
#include "../telnet/telnet.h"

#include <cstdio>

std::atomic<LONG> SuspendedConnection;  // socket receive thread sets, serial receive thread obeys

namespace {

// RFC 2217's values for SET-PARITY, SET-STOPSIZE and SET-CONTROL.
enum : uint32_t {
    ParityNone = 1, ParityOdd, ParityEven, ParityMark, ParitySpace,
};
enum : uint32_t { StopOne = 1, StopTwo = 2, StopOneAndHalf = 3 };
enum : uint32_t {
    ControlFlowQuery = 0, ControlFlowNone = 1, ControlFlowXonXoff = 2, ControlFlowHardware = 3,
    ControlBreakQuery = 4, ControlBreakOn = 5, ControlBreakOff = 6,
    ControlDtrQuery = 7, ControlDtrOn = 8, ControlDtrOff = 9,
    ControlRtsQuery = 10, ControlRtsOn = 11, ControlRtsOff = 12,
    ControlInboundQuery = 13, ControlInboundNone = 14, ControlInboundXonXoff = 15, ControlInboundHardware = 16,
    ControlDcdFlow = 17, ControlDtrFlow = 18, ControlDsrFlow = 19,
};
enum : uint32_t { PurgeReceive = 1, PurgeTransmit = 2, PurgeBoth = 3 };
constexpr uint32_t LowestDataSize = 5;
constexpr uint32_t HighestDataSize = 8;

SRWLOCK LineLock = SRWLOCK_INIT;
PortLine PeerLine;          // under LineLock: the line in force while PeerLineSet
bool PeerLineSet;           // under LineLock
LONG PeerLineConnection;    // socket receive thread: the connection PeerLine belongs to
std::atomic<uint8_t> ModemStateMask;  // socket receive thread sets, the second tick reads

// Outputs of the port as the peer set them; a port without modem lines
// refuses to move them, and the peer is told what stayed.
struct LineSignals {
    bool dtr = true;
    bool rts = true;
    bool brk = false;
};
LineSignals Signals;        // socket receive thread

uint32_t FlowControlValue(int32_t flow, bool inbound)
{
    switch (flow) {
    case FlowXonXoff:
    case FlowXonXoffHigh:
        return inbound ? ControlInboundXonXoff : ControlFlowXonXoff;
    case FlowRtsCts:
        return inbound ? ControlInboundHardware : ControlFlowHardware;
    case FlowDtrDsr:
        return inbound ? ControlDtrFlow : ControlDsrFlow;
    default:
        return inbound ? ControlInboundNone : ControlFlowNone;
    }
}

bool SameLine(const PortLine &a, const PortLine &b)
{
    return a.bps == b.bps && a.bits == b.bits && a.parity == b.parity && a.stopBits == b.stopBits &&
           a.flow == b.flow;
}

}  // namespace

PortLine UserLine()
{
    return {Settings.BPS, Settings.BIT, Settings.PARI, Settings.STOP, Settings.FLOW};
}

bool LineWithRequest(PortLine &line, uint8_t command, uint32_t value)
{
    switch (command) {
    case ComSetBaudRate:
        if (value == 0 || value > static_cast<uint32_t>(INT32_MAX))
            return false;
        line.bps = static_cast<int32_t>(value);
        return true;
    case ComSetDataSize:
        if (value < LowestDataSize || value > HighestDataSize)
            return false;
        line.bits = static_cast<uint8_t>(value);
        return true;
    case ComSetParity:
        if (value < ParityNone || value > ParitySpace)
            return false;
        line.parity = static_cast<uint8_t>(value - ParityNone);     // NOPARITY..SPACEPARITY
        return true;
    case ComSetStopSize:
        if (value == StopOne)
            line.stopBits = ONESTOPBIT;
        else if (value == StopTwo)
            line.stopBits = TWOSTOPBITS;
        else if (value == StopOneAndHalf)
            line.stopBits = ONE5STOPBITS;
        else
            return false;
        return true;
    case ComSetControl:
        if (value == ControlFlowNone || value == ControlInboundNone)
            line.flow = FlowNone;
        else if (value == ControlFlowXonXoff || value == ControlInboundXonXoff)
            line.flow = FlowXonXoff;
        else if (value == ControlFlowHardware || value == ControlInboundHardware)
            line.flow = FlowRtsCts;
        else if (value == ControlDtrFlow || value == ControlDsrFlow)
            line.flow = FlowDtrDsr;
        else
            return false;
        return true;
    default:
        return false;
    }
}

uint32_t LineReplyValue(const PortLine &line, uint8_t command, uint32_t asked)
{
    switch (command) {
    case ComSetBaudRate:
        return static_cast<uint32_t>(line.bps);
    case ComSetDataSize:
        return line.bits;
    case ComSetParity:
        return line.parity + ParityNone;
    case ComSetStopSize:
        return line.stopBits == TWOSTOPBITS ? StopTwo : line.stopBits == ONE5STOPBITS ? StopOneAndHalf : StopOne;
    case ComSetControl:
        return FlowControlValue(line.flow, asked >= ControlInboundQuery && asked <= ControlInboundHardware);
    default:
        return asked;
    }
}

int FormatPortLine(const PortLine &line, char *text, size_t capacity)
{
    static const char ParityLetters[] = "NOEMS";
    char parity = line.parity < sizeof ParityLetters - 1 ? ParityLetters[line.parity] : '?';
    const char *stop = line.stopBits == TWOSTOPBITS ? "2" : line.stopBits == ONE5STOPBITS ? "1.5" : "1";
    return snprintf(text, capacity, "%ld %u%c%s", static_cast<long>(line.bps), line.bits, parity, stop);
}

int32_t FlowInForce()
{
    AcquireSRWLockShared(&LineLock);
    int32_t flow = PeerLineSet ? PeerLine.flow : Settings.FLOW.load();
    ReleaseSRWLockShared(&LineLock);
    return flow;
}

bool PeerLineText(char *text, size_t capacity)
{
    AcquireSRWLockShared(&LineLock);
    PortLine line = PeerLine;
    bool set = PeerLineSet;
    ReleaseSRWLockShared(&LineLock);
    if (!set || SameLine(line, UserLine()))
        return false;
    FormatPortLine(line, text, capacity);
    return true;
}

static void SetPeerLine(const PortLine *line)
{
    AcquireSRWLockExclusive(&LineLock);
    PeerLineSet = line != nullptr;
    if (line != nullptr)
        PeerLine = *line;
    ReleaseSRWLockExclusive(&LineLock);
}

// The state of the port as the driver has it, in the record's terms.
static bool ReadPortLine(HANDLE port, int32_t flow, PortLine &line)
{
    DCB state = {};
    state.DCBlength = sizeof state;
    if (!GetCommState(port, &state))
        return false;
    line = {static_cast<int32_t>(state.BaudRate), state.ByteSize, state.Parity, state.StopBits, flow};
    return true;
}

// One request on the port, as its writer. Returns the value to report.
static uint32_t ApplyOnPort(HANDLE port, PortLine &line, uint8_t command, uint32_t value)
{
    PortLine wanted = line;
    switch (command) {
    case ComSetControl:
        switch (value) {
        case ControlBreakOn:
        case ControlBreakOff:
            if (value == ControlBreakOn ? SetCommBreak(port) : ClearCommBreak(port))
                Signals.brk = value == ControlBreakOn;
            [[fallthrough]];
        case ControlBreakQuery:
            return Signals.brk ? ControlBreakOn : ControlBreakOff;
        case ControlDtrOn:
        case ControlDtrOff:
            if (EscapeCommFunction(port, value == ControlDtrOn ? SETDTR : CLRDTR))
                Signals.dtr = value == ControlDtrOn;
            [[fallthrough]];
        case ControlDtrQuery:
            return Signals.dtr ? ControlDtrOn : ControlDtrOff;
        case ControlRtsOn:
        case ControlRtsOff:
            if (EscapeCommFunction(port, value == ControlRtsOn ? SETRTS : CLRRTS))
                Signals.rts = value == ControlRtsOn;
            [[fallthrough]];
        case ControlRtsQuery:
            return Signals.rts ? ControlRtsOn : ControlRtsOff;
        default:
            break;
        }
        break;
    case ComPurgeData: {
        DWORD what = value == PurgeReceive ? PURGE_RXCLEAR : value == PurgeTransmit ? PURGE_TXCLEAR
                     : value == PurgeBoth  ? PURGE_RXCLEAR | PURGE_TXCLEAR : 0;
        if (what != 0)
            (void)PurgeComm(port, what);    // a port that refuses keeps its bytes; the peer hears what it asked
        return value;
    }
    default:
        break;
    }
    if (LineWithRequest(wanted, command, value)) {
        // A line the driver refuses leaves the port as it was; the reply
        // says what it kept.
        DWORD error = ERROR_SUCCESS;
        if (ApplyLine(port, wanted, &error))
            (void)ReadPortLine(port, wanted.flow, line);
        else
            (void)ReadPortLine(port, line.flow, line);
    }
    return LineReplyValue(line, command, value);
}

// The modem lines as RFC 2217 has them (the high nibble); 0 from a port
// without them.
static uint32_t ModemStateNow()
{
    DWORD state = 0;
    if (!AcquirePortAsWriter())
        return 0;
    HANDLE port = PortHandle;
    if (!PortIsOpen(port) || !GetCommModemStatus(port, &state))
        state = 0;
    ReleasePortAsWriter();
    return state & ModemLineBits;
}

uint32_t ApplyPeerRequest(LONG connection, uint8_t command, uint32_t value)
{
    switch (command) {
    case ComFlowControlSuspend:
    case ComFlowControlResume:
        SuspendedConnection = command == ComFlowControlSuspend ? connection : 0;
        WakeSerialReader();
        return 0;
    case ComSetLineStateMask:
        // Line errors are cleared, never reported (see the receive thread),
        // so the mask is only acknowledged.
        return value;
    case ComSetModemStateMask:
        ModemStateMask = static_cast<uint8_t>(value);
        return value;
    case ComNotifyLineState:
        return 0;       // no line errors are kept to report
    case ComNotifyModemState:
        return ModemStateNow();
    default:
        break;
    }
    static PortLine line;   // socket receive thread: the line as the peer last found it
    if (PeerLineConnection != connection) {
        PeerLineConnection = connection;
        Signals = {};
    }
    // Until the peer has set a line, or after the user applied theirs over
    // it, the port has the user's.
    AcquireSRWLockShared(&LineLock);
    if (!PeerLineSet)
        line = UserLine();
    ReleaseSRWLockShared(&LineLock);
    uint32_t reply = LineReplyValue(line, command, value);
    if (!AcquirePortAsWriter())
        return reply;
    HANDLE port = PortHandle;
    if (PortIsOpen(port) && CurrentConnection() == connection) {
        reply = ApplyOnPort(port, line, command, value);
        SetPeerLine(&line);
    }
    ReleasePortAsWriter();
    PostMessageW(MainWindow, WM_PEER_LINE, static_cast<WPARAM>(connection), 0);
    return reply;
}

void ForgetPeerLine()
{
    SetPeerLine(nullptr);
}

uint8_t PeerModemStateMask()
{
    return ModemStateMask;
}

void RestoreUserLine()
{
    ModemStateMask = 0;
    AcquireSRWLockShared(&LineLock);
    bool set = PeerLineSet;
    ReleaseSRWLockShared(&LineLock);
    if (!set)
        return;
    // A request of the ended connection that is under way finishes first;
    // none can start afterwards, as its connection is no longer up.
    bool taken = TakePortFromWriter(WriterLetGoWaitMs);
    SetPeerLine(nullptr);
    HANDLE port = PortHandle;
    if (PortIsOpen(port)) {
        (void)ClearCommBreak(port);     // a break the peer left on ends with it
        ConfigureSerialPort();          // the DCB raises DTR and RTS again
    }
    if (taken)
        GivePortToWriter();
}
