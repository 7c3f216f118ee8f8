// The line a peer sets in RFC 2217 mode. Its requests apply to the port
// while it is connected: the user's line is kept, and the port goes back to
// it when the last peer is detached. Of several peers, the oldest in
// RFC 2217 mode owns the line; the others hear the values in force and
// change nothing, so that none silently undoes another's line.
//
// The socket receive thread applies the requests, in order with the data
// around them, as the port's writer (under the lease). The line a peer set
// is kept under the bridge's line lock, where the serial receive thread (the
// flow mode in force) and the user-interface thread (the status bar) read it.
#include "bridge.h"
#include "../shell/shell.h"

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

// A signal the peer switches on or off (or asks about) with SET-CONTROL: the
// reply says what it is now, which a port without it keeps as it was.
static uint32_t SwitchSignal(PortIo &port, uint32_t value, uint32_t on, uint32_t off, DWORD setFunction,
                             DWORD clearFunction, bool &state)
{
    if ((value == on || value == off) && port.Escape(value == on ? setFunction : clearFunction))
        state = value == on;
    return state ? on : off;
}

// One request on the port, as its writer. Returns the value to report.
static uint32_t ApplyOnPort(PortIo &port, Connection &connection, PortLine &line, uint8_t command, uint32_t value)
{
    LineSignals &signals = connection.signals;
    PortLine wanted = line;
    switch (command) {
    case ComSetControl:
        switch (value) {
        case ControlBreakOn:
        case ControlBreakOff:
        case ControlBreakQuery:
            return SwitchSignal(port, value, ControlBreakOn, ControlBreakOff, SETBREAK, CLRBREAK, signals.brk);
        case ControlDtrOn:
        case ControlDtrOff:
        case ControlDtrQuery:
            return SwitchSignal(port, value, ControlDtrOn, ControlDtrOff, SETDTR, CLRDTR, signals.dtr);
        case ControlRtsOn:
        case ControlRtsOff:
        case ControlRtsQuery:
            return SwitchSignal(port, value, ControlRtsOn, ControlRtsOff, SETRTS, CLRRTS, signals.rts);
        default:
            break;
        }
        break;
    case ComPurgeData: {
        DWORD what = value == PurgeReceive ? PURGE_RXCLEAR : value == PurgeTransmit ? PURGE_TXCLEAR
                     : value == PurgeBoth  ? PURGE_RXCLEAR | PURGE_TXCLEAR : 0;
        if (what != 0)
            (void)port.Purge(what);     // a port that refuses keeps its bytes; the peer hears what it asked
        return value;
    }
    default:
        break;
    }
    if (LineWithRequest(wanted, command, value)) {
        // A line the driver refuses leaves the port as it was; the reply
        // says what it kept.
        DWORD error = ERROR_SUCCESS;
        if (port.ApplyLine(wanted, &error))
            (void)port.ReadLine(wanted.flow, &line);
        else
            (void)port.ReadLine(line.flow, &line);
    }
    return LineReplyValue(line, command, value);
}

// What a peer that does not own the line hears: what is in force, as if
// it had asked.
static uint32_t ValueInForce(const Connection &connection, const PortLine &line, uint8_t command, uint32_t value)
{
    if (command == ComSetControl) {
        const LineSignals &signals = connection.signals;
        switch (value) {
        case ControlBreakOn:
        case ControlBreakOff:
        case ControlBreakQuery:
            return signals.brk ? ControlBreakOn : ControlBreakOff;
        case ControlDtrOn:
        case ControlDtrOff:
        case ControlDtrQuery:
            return signals.dtr ? ControlDtrOn : ControlDtrOff;
        case ControlRtsOn:
        case ControlRtsOff:
        case ControlRtsQuery:
            return signals.rts ? ControlRtsOn : ControlRtsOff;
        default:
            break;
        }
    }
    return LineReplyValue(line, command, value);
}

uint32_t Bridge::ApplyPeerRequest(Connection &connection, uint8_t command, uint32_t value)
{
    switch (command) {
    case ComFlowControlSuspend:
    case ComFlowControlResume:
        connection.suspended = command == ComFlowControlSuspend;
        SetEvent(readerWake);
        return 0;
    case ComSetLineStateMask:
        // Line errors are cleared, never reported (see the serial receive
        // thread), so the mask is only acknowledged.
        return value;
    case ComSetModemStateMask:
        connection.modemMask = static_cast<uint8_t>(value);
        return value;
    case ComNotifyLineState:
        return 0;       // no line errors are kept to report
    case ComNotifyModemState: {
        DWORD lines = 0;
        if (!lease.Acquire())
            return 0;
        PortIo *device = port;
        if (device == nullptr || !device->ModemLines(&lines))
            lines = 0;
        lease.Release();
        return lines & ModemLineBits;
    }
    default:
        break;
    }
    // Until a peer has set a line, or after the user applied theirs over
    // it, the port has the user's.
    PortLine line = LineInForce();
    uint32_t reply = LineReplyValue(line, command, value);
    if (!OwnsLine(connection))
        return ValueInForce(connection, line, command, value);
    if (!lease.Acquire())
        return reply;
    PortIo *device = port;
    if (device != nullptr && connection.attached) {
        reply = ApplyOnPort(*device, connection, line, command, value);
        AcquireSRWLockExclusive(&lineLock);
        peerLine = line;
        peerLineSet = true;
        pace = PaceOfLine(line);
        ReleaseSRWLockExclusive(&lineLock);
    }
    lease.Release();
    (void)PostMessageW(MainWindow, WM_PEER_LINE, static_cast<WPARAM>(connection.number), 0);
    return reply;
}

// After a connection whose peer set the line is detached: a request of it
// that is under way finishes first, and none can start afterwards; then the
// port has the user's line again, and a break the peer left on ends with it.
void Bridge::RestoreUserLine()
{
    bool taken = lease.Take(WriterLetGoWaitMs, writerWake);
    PortIo *device = port;
    if (device != nullptr) {
        (void)device->Escape(CLRBREAK);
        DWORD error = ERROR_SUCCESS;
        AcquireSRWLockShared(&lineLock);
        PortLine line = userLine;
        ReleaseSRWLockShared(&lineLock);
        // The state record raises DTR and RTS again. A refusal was told when
        // the user chose the line.
        if (device->ApplyLine(line, &error)) {
            AcquireSRWLockExclusive(&lineLock);
            pace = PaceOfLine(line);
            ReleaseSRWLockExclusive(&lineLock);
        }
    }
    if (taken)
        lease.Give();
    SetEvent(readerWake);
}

bool Bridge::PeerLine(PortLine *line) const
{
    AcquireSRWLockShared(&lineLock);
    bool differs = peerLineSet && !SameLine(peerLine, userLine);
    if (differs)
        *line = peerLine;
    ReleaseSRWLockShared(&lineLock);
    return differs;
}

bool Bridge::PeerLineText(char *text, size_t capacity) const
{
    PortLine line = {};
    if (!PeerLine(&line))
        return false;
    FormatPortLine(line, text, capacity);
    return true;
}

void Bridge::NoteModemLines()
{
    PortIo *device = port;
    DWORD lines = 0;
    PeerList peers = Peers();
    if (peers.empty() || device == nullptr || !device->ModemLines(&lines))
        return;     // ports without modem lines (a pty) refuse the question
    for (const std::shared_ptr<Connection> &connection : peers) {
        if (!connection->telnet || connection->modemMask == 0)
            continue;
        // The lines sit in the high nibble as RFC 2217 has them; the changes
        // go in the low one.
        DWORD changed = (lines ^ connection->modemLinesSeen) & ModemLineBits;
        connection->modemLinesSeen = lines;
        if ((changed & connection->modemMask) == 0)
            continue;
        connection->modemNote = static_cast<uint8_t>((lines & ModemLineBits) | (changed >> ModemDeltaShift));
        connection->modemNoteDue = true;
        Wake();
    }
}
