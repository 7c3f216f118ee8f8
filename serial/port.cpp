// The serial port: opening it for overlapped I/O, its line settings, the two
// flow-control lines and the notices that tell the user why a port is not
// open.
//
// Everything here but the flow lines runs on the user-interface thread: the
// start sequence and the serial settings dialog open and configure the port.
// The flow lines are moved by the serial receive thread alone. The port
// handle and the two overlapped records are replaced only while no data
// thread uses them.
#include "serial.h"
#include "../app/app.h"
#include "../config/config.h"

#include <cstdio>
#include <iterator>

const char *const PortNameTable[PortCount] = {"com1", "com2", "com3", "com4", "com5", "com6"};

std::atomic<HANDLE> PortHandle;             // user-interface thread
OVERLAPPED ReadOverlapped;                  // user-interface thread at an open; then the serial receive thread
OVERLAPPED WriteOverlapped;                 // user-interface thread at an open; then SerialWrite
std::atomic<LONG> SerialReaderStopped{1};   // the serial receive thread, and the serial dialog

static const char ReadEventPrefix[] = "Read";
static const char WriteEventPrefix[] = "Write";

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

// The name carries the whole port number, so that no two ports of this or
// another running copy share an event.
void PortEventName(const char *prefix, int number, char *name, size_t capacity)
{
    snprintf(name, capacity, "%s%d", prefix, number);
}

// A named event comes back as the existing object when the name is in use,
// with its old state; the state asked for is set explicitly.
static HANDLE CreatePortEvent(const char *prefix, int number, bool signalled)
{
    char name[PortNameCapacity];
    PortEventName(prefix, number, name, sizeof name);
    HANDLE event = CreateEventA(nullptr, TRUE, signalled, name);
    if (event != nullptr) {
        if (signalled)
            SetEvent(event);
        else
            ResetEvent(event);
    }
    return event;
}

static void ReleasePortEvents()
{
    for (OVERLAPPED *record : {&ReadOverlapped, &WriteOverlapped}) {
        if (record->hEvent != nullptr)
            CloseHandle(record->hEvent);
        *record = OVERLAPPED{};
    }
}

int OpenSerialPort(const char *name, int number)
{
    HANDLE port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    PortHandle = port;
    if (port == INVALID_HANDLE_VALUE) {
        ShowOpenNotice(number);
        return 1;
    }
    if (!SetCommMask(port, PortEventMask)) {
        // A port that takes no event mask is no use to the receive thread:
        // it is closed again and counts as not opened, so that the serial
        // settings dialog opens it afresh.
        PortHandle = INVALID_HANDLE_VALUE;
        CloseHandle(port);
        ShowNotice(NoticeEventMask);
        return 1;
    }
    (void)SetupComm(port, InputQueueSize, OutputQueueSize);    // the driver keeps its own sizes if it refuses

    // The events of an earlier open go first, so that the names are free
    // and the new events start in the state asked for.
    ReleasePortEvents();
    WriteOverlapped.hEvent = CreatePortEvent(WriteEventPrefix, number, true);
    ReadOverlapped.hEvent = CreatePortEvent(ReadEventPrefix, number, false);
    return 0;
}

int OpenConfiguredPort(int com)
{
    char name[PortNameCapacity];
    if (!PortDeviceName(com, name, sizeof name)) {
        char text[NoticeCapacity];
        snprintf(text, sizeof text, ComSettingErrorFormat, com);
        ShowNoticeText(text, MB_ICONERROR);
        PortHandle = INVALID_HANDLE_VALUE;
        return 1;
    }
    return OpenSerialPort(name, com + 1);
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
    // user's business here: the port keeps what it had.
    (void)ClearCommError(port, nullptr, nullptr);
    (void)SetupComm(port, InputQueueSize, OutputQueueSize);
    (void)PurgeComm(port, PortPurgeMask);
    DCB state = BuildPortState(Settings.BPS, Settings.BIT, Settings.PARI, Settings.STOP, Settings.FLOW);
    (void)SetCommState(port, &state);
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
    DWORD function = FlowLineFunction(Settings.FLOW, raise);
    if (function != 0)
        (void)EscapeCommFunction(PortHandle, function);    // ports without modem lines refuse; nothing to do
}

void RaiseFlowLine() { MoveFlowLine(true); }
void DropFlowLine() { MoveFlowLine(false); }

// Takes the port from the writer: a write waiting for the port gives up,
// and the lock is ours once the writer has let go.
static void TakePortFromWriter()
{
    PortClosing = 1;
    HANDLE port = PortHandle;
    if (PortIsOpen(port))
        (void)CancelIoEx(port, &WriteOverlapped);      // nothing may be under way
    AcquireSRWLockExclusive(&PortWriteLock);
}

static void GivePortToWriter()
{
    PortClosing = 0;
    ReleaseSRWLockExclusive(&PortWriteLock);
}

int ReopenSerialPort(int com)
{
    if (!StopSerialReceiveThread(ReceiveThreadStopWaitMs)) {
        // The reader still holds the read record: the port stays as it is.
        char name[PortNameCapacity];
        if (PortDeviceName(com, name, sizeof name))
            ShowOpenNotice(com + 1);
        return 1;
    }
    TakePortFromWriter();
    HANDLE old = PortHandle.exchange(nullptr);
    if (PortIsOpen(old))
        CloseHandle(old);
    int result = OpenConfiguredPort(com);
    GivePortToWriter();
    if (result == 0)
        StartSerialReceiveThread();
    return result;
}
