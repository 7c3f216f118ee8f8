// The serial port: opening it for overlapped I/O, its line settings, the two
// flow-control lines, the notices that tell the user why a port is not open,
// and the handing over of the port when it is switched, lost or found again.
//
// Everything here but the flow lines runs on the user-interface thread: the
// start sequence, the serial settings dialog and the once-a-second retry of
// a lost port open and configure it. The flow lines are moved by the serial
// receive thread alone. The port handle and the two overlapped records are
// replaced only while neither data thread uses them: the receive thread has
// ended and the writer has let go (see write.cpp).
#include "serial.h"
#include "../config/config.h"
#include "../shell/shell.h"
#include "../util/util.h"

#include <cstdio>
#include <iterator>

const char *const PortNameTable[PortCount] = {"com1", "com2", "com3", "com4", "com5", "com6"};

std::atomic<HANDLE> PortHandle;             // user-interface thread
std::atomic<LONG> PortGeneration;           // user-interface thread
OVERLAPPED ReadOverlapped;                  // user-interface thread at an open; then the serial receive thread
OVERLAPPED WriteOverlapped;                 // user-interface thread at an open; then SerialWrite
bool PortLost;                              // user-interface thread

static const struct {
    const char *text;
    UINT icon;
} NoticeTable[] = {
    {nullptr, 0},                           // codes start at 1
    {"Com1 Open Error", MB_ICONERROR},
    {"Com2 Open Error", MB_ICONERROR},
    {"Com3 Open Error", MB_ICONERROR},
    {"Com4 Open Error", MB_ICONERROR},
    {"EV_RXCHAR Error", MB_ICONERROR},
};

// Ports without an entry of their own in the table get the same words.
static const char OpenErrorFormat[] = "Com%d Open Error";
static const char ComSettingErrorFormat[] = "COM Setting Error: %d";
constexpr size_t NoticeCapacity = 64;

enum OpenOutcome { PortOpened, PortRefused, PortTakesNoEvents };

static void SetTimeoutsFor(HANDLE port, const PortLine &line);

static int ShowNoticeText(const char *text, UINT icon)
{
    return ShowMessage(MainWindow, text, MB_OK | icon);
}

int ShowNotice(int code)
{
    if (code <= 0 || code >= static_cast<int>(std::size(NoticeTable)))
        return 0;
    return ShowNoticeText(NoticeTable[code].text, NoticeTable[code].icon);
}

static void ShowOpenNotice(int number)
{
    if (number >= NoticeCom1Open && number <= NoticeCom4Open) {
        ShowNotice(number);
        return;
    }
    char text[NoticeCapacity];
    snprintf(text, sizeof text, OpenErrorFormat, number);
    ShowNoticeText(text, MB_ICONERROR);
}

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

// The events are unnamed: no other process can find and signal them. Each
// is stored with its low bit set, which tells the system that no request on
// the record goes to a completion port (none is ever bound to the port), so
// that a write that completes at once does not look for one; under Wine
// that look is a call into the wineserver for every block. The system
// ignores that bit wherever the handle is used.
static HANDLE CreatePortEvent(bool signalled)
{
    HANDLE event = CreateEventA(nullptr, TRUE, signalled, nullptr);
    return event == nullptr ? nullptr : reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) | 1);
}

static void ReleasePortEvents()
{
    for (OVERLAPPED *record : {&ReadOverlapped, &WriteOverlapped}) {
        if (record->hEvent != nullptr)
            CloseHandle(record->hEvent);
        *record = OVERLAPPED{};
    }
}

// Opens the device, empties its queues and sets up the two records, without
// a word to the user. A refused open leaves the port to be tried again.
static OpenOutcome OpenPort(const char *name)
{
    HANDLE port = CreateFileW(WideText(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    PortHandle = port;
    ++PortGeneration;
    if (port == INVALID_HANDLE_VALUE) {
        PortLost = true;
        return PortRefused;
    }
    if (!SetCommMask(port, PortEventMask)) {
        // A device that takes no event mask is no port for the receive
        // thread: it is closed again and counts as not opened, so that the
        // serial settings dialog opens it afresh.
        PortHandle = INVALID_HANDLE_VALUE;
        CloseHandle(port);
        return PortTakesNoEvents;
    }
    PortLost = false;
    (void)SetupComm(port, InputQueueSize, OutputQueueSize);    // the driver keeps its own sizes if it refuses
    // The port keeps the time-outs the last program left on it: ours go on
    // before the first read.
    SetTimeoutsFor(port, UserLine());
    // Whatever the device left in a queue before this open is not ours.
    (void)PurgeComm(port, PortPurgeMask);
    ReleasePortEvents();
    WriteOverlapped.hEvent = CreatePortEvent(true);
    ReadOverlapped.hEvent = CreatePortEvent(false);
    return PortOpened;
}

int OpenSerialPort(const char *name, int number)
{
    switch (OpenPort(name)) {
    case PortOpened:
        return 0;
    case PortRefused:
        ShowOpenNotice(number);
        return 1;
    case PortTakesNoEvents:
        ShowNotice(NoticeEventMask);
        return 1;
    }
    return 1;
}

int OpenConfiguredPort(int com)
{
    char name[PortNameCapacity];
    if (!PortDeviceName(com, name, sizeof name)) {
        char text[NoticeCapacity];
        snprintf(text, sizeof text, ComSettingErrorFormat, com);
        ShowNoticeText(text, MB_ICONERROR);
        PortHandle = INVALID_HANDLE_VALUE;
        PortLost = false;       // there is nothing to try again
        return 1;
    }
    return OpenSerialPort(name, com + 1);
}

int TryOpenConfiguredPort(int com)
{
    char name[PortNameCapacity];
    if (!PortDeviceName(com, name, sizeof name))
        return 1;
    return OpenPort(name) == PortOpened ? 0 : 1;
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
    pace.gatherBytes = static_cast<DWORD>(gather < 1 ? 1 : gather > SerialReadSize ? SerialReadSize : gather);
    return pace;
}

COMMTIMEOUTS PortTimeouts(const LinePace &pace)
{
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadIntervalTimeout = pace.quietMs;
    return timeouts;
}

// The pace of the line in force: written on whichever thread applies a
// line (the user-interface thread, or the socket receive thread as the
// port's writer for a peer's line), read by the receive thread.
static std::atomic<DWORD> PaceQuietMs{1};
static std::atomic<DWORD> PaceGatherBytes{1};

LinePace CurrentLinePace()
{
    return {PaceQuietMs, PaceGatherBytes};
}

static void SetTimeoutsFor(HANDLE port, const PortLine &line)
{
    LinePace pace = PaceOfLine(line);
    COMMTIMEOUTS timeouts = PortTimeouts(pace);
    // A driver that refuses time-outs reads as it will; the receive thread
    // backs off reads that bring nothing.
    (void)SetCommTimeouts(port, &timeouts);
    PaceQuietMs = pace.quietMs;
    PaceGatherBytes = pace.gatherBytes;
}

bool ApplyLine(HANDLE port, const PortLine &line, DWORD *error)
{
    *error = ERROR_SUCCESS;
    DCB state = {};
    state.DCBlength = sizeof state;
    if (!GetCommState(port, &state))
        state = DCB{};      // every field is set below or left at zero
    state = BuildPortState(state, line);
    if (!SetCommState(port, &state)) {
        *error = GetLastError();
        return false;
    }
    SetTimeoutsFor(port, line);
    return true;
}

static const char LineErrorFormat[] = "Com%d Line Setting Error: %s (%lu)";

void ConfigureSerialPort()
{
    HANDLE port = PortHandle;
    if (!PortIsOpen(port))
        return;
    // Line errors and queue sizes are not the user's business here. No
    // purge: bytes that wait in either queue are the user's data.
    (void)ClearCommError(port, nullptr, nullptr);
    (void)SetupComm(port, InputQueueSize, OutputQueueSize);
    PortLine line = UserLine();
    DWORD error = ERROR_SUCCESS;
    if (!ApplyLine(port, line, &error)) {
        char lineText[NoticeCapacity];
        char text[2 * NoticeCapacity];
        FormatPortLine(line, lineText, sizeof lineText);
        snprintf(text, sizeof text, LineErrorFormat, Settings.COM + 1, lineText, static_cast<unsigned long>(error));
        ShowNoticeText(text, MB_ICONERROR);
    }
    ForgetPeerLine();       // the user's line replaces one a peer set
    WakeSerialReader();     // a flow mode that moves a line is watched without a peer
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

static void MoveFlowLine(bool raise)
{
    DWORD function = FlowLineFunction(FlowInForce(), raise);
    if (function != 0)
        (void)EscapeCommFunction(PortHandle, function);    // ports without modem lines refuse; nothing to do
}

void RaiseFlowLine() { MoveFlowLine(true); }
void DropFlowLine() { MoveFlowLine(false); }

// Both data threads let go of the port, and the old handle is closed; the
// port then reads as not open. False when a thread did not let go in time:
// the port is then as it was, with one receive thread (the stop asked of the
// old one is withdrawn, or a new one starts once it has ended).
static bool ClosePort()
{
    if (!StopSerialReceiveThread(ReceiveThreadStopWaitMs)) {
        StartSerialReceiveThread();
        return false;
    }
    if (!TakePortFromWriter(WriterLetGoWaitMs)) {
        StartSerialReceiveThread();
        return false;
    }
    HANDLE old = PortHandle.exchange(INVALID_HANDLE_VALUE);
    if (PortIsOpen(old))
        CloseHandle(old);
    ++PortGeneration;
    return true;
}

int ReopenSerialPort(int com)
{
    if (!ClosePort()) {
        // A data thread still holds the port: it stays as it is, and so does
        // the setting that names it.
        char name[PortNameCapacity];
        if (PortDeviceName(com, name, sizeof name))
            ShowOpenNotice(com + 1);
        return 1;
    }
    // From here the setting names the port that is open, or that is tried
    // again until it opens.
    Settings.COM = com;
    int result = OpenConfiguredPort(com);
    GivePortToWriter();
    if (result == 0)
        StartSerialReceiveThread();
    return result;
}

bool RetryLostPort()
{
    if (!PortLost)
        return true;
    if (!ClosePort())
        return false;
    int result = TryOpenConfiguredPort(Settings.COM);
    if (result == 0) {
        // A line the driver refuses was told when the port was first set
        // up; the retries are silent.
        DWORD error = ERROR_SUCCESS;
        (void)ApplyLine(PortHandle, UserLine(), &error);
        ForgetPeerLine();
        WakeSerialReader();
    }
    GivePortToWriter();
    if (result != 0)
        return false;
    StartSerialReceiveThread();
    return true;
}
