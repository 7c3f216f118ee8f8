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

static int ShowNoticeText(const char *text, UINT icon)
{
    return MessageBoxA(MainWindow, text, MessageCaption, MB_OK | icon);
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

bool PortErrorMeansLost(DWORD error)
{
    switch (error) {
    case ERROR_SUCCESS:
    case ERROR_IO_PENDING:
    case ERROR_IO_INCOMPLETE:
    case ERROR_OPERATION_ABORTED:   // our own cancel, or a purge
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
    HANDLE port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
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

DCB BuildPortState(int32_t bps, uint8_t bits, uint8_t parity, uint8_t stopBits, int32_t flow)
{
    bool xonXoff = flow == FlowXonXoff || flow == FlowXonXoffHigh;
    DCB state = {};
    state.DCBlength = sizeof state;
    state.BaudRate = static_cast<DWORD>(bps);
    state.fBinary = 1;
    state.fParity = 1;
    state.fOutxCtsFlow = flow == FlowRtsCts;
    state.fOutxDsrFlow = flow == FlowDtrDsr;
    state.fDtrControl = DTR_CONTROL_ENABLE;
    state.fOutX = xonXoff;
    state.fInX = xonXoff;
    state.fRtsControl = RTS_CONTROL_ENABLE;
    state.XonLim = xonXoff ? XonLimit : 0;
    state.XoffLim = xonXoff ? XoffLimit : 0;
    state.ByteSize = bits;
    state.Parity = parity;
    state.StopBits = stopBits;
    state.XonChar = xonXoff ? XonCharacter : 0;
    state.XoffChar = flow == FlowXonXoff ? XoffCharacter : flow == FlowXonXoffHigh ? XoffCharacterHigh : 0;
    state.EvtChar = state.XoffChar;
    return state;
}

void ConfigureSerialPort()
{
    HANDLE port = PortHandle;
    if (!PortIsOpen(port))
        return;
    // Line errors, queue sizes and a state the driver refuses are not the
    // user's business here: the port keeps what it had. No purge: bytes that
    // wait in either queue are the user's data.
    (void)ClearCommError(port, nullptr, nullptr);
    (void)SetupComm(port, InputQueueSize, OutputQueueSize);
    DCB state = BuildPortState(Settings.BPS, Settings.BIT, Settings.PARI, Settings.STOP, Settings.FLOW);
    (void)SetCommState(port, &state);
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
    if (result == 0)
        ConfigureSerialPort();
    GivePortToWriter();
    if (result != 0)
        return false;
    StartSerialReceiveThread();
    return true;
}
