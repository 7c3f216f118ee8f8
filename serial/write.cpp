// The serial write: bytes from the TCP peer to the port, with the time tag.
//
// Only the socket receive thread writes, so WriteOverlapped, its event and
// the held block are its own. A block is written before the next one is
// received: a line slower than the network holds the socket receive thread,
// and TCP's flow control then slows the peer down.
//
// The port changes hands only while the writer has no request on it. The
// user-interface thread sets PortClosing, wakes the writer and waits, for a
// limited time, until WriterBusy is clear; a write that waits for its line
// (held by flow control) is cancelled, and the rest of its block stays held.
// Both flags are seq_cst atomics, each side writing its own before reading
// the other's, so at least one of them sees the other. A block whose connection
// ends is dropped; a block that finds no port is held and written first once
// a port is open again, so nothing the peer sent is lost to a port that went
// away.
#include "serial.h"
#include "../config/config.h"
#include "../shell/shell.h"
#include "../translog/translog.h"

#include <cstdio>
#include <cstring>
#include <ctime>

std::atomic<LONG> PortClosing;      // user-interface thread

constexpr DWORD WriterIdlePollMs = 1;

constexpr int FirstYear = 1900;

// Defined here, counted by the socket receive thread through SerialWrite.
std::atomic<int32_t> LanToSerialBytes;      // socket receive thread adds, the display takes
std::atomic<int32_t> LanToSerialSilence;    // socket receive thread reloads, the second tick counts down
std::atomic<uint32_t> PortWritesBegun;       // socket receive thread

namespace {

// The block being written: a tag and the peer's bytes, as one chunk.
struct HeldBlock {
    LONG connection;
    int tagLength;
    int length;
    int offset;             // bytes already taken by the port
    bool reported;          // the main window knows that it waits for a port
    char bytes[TimeTagCapacity + SocketBlockSize];
};

HeldBlock Block;                    // socket receive thread
std::atomic<LONG> WriterBusy;       // socket receive thread: a request on the port may be under way

// The writer's wake-up, for a port being taken or a connection that ended.
HANDLE WriterWake()
{
    static const HANDLE wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return wake;
}

enum WriteStep { Wrote, PortGone, PortTaken };

bool BlockStillWanted()
{
    return LinkState != LinkShuttingDown && CurrentConnection() == Block.connection;
}

void ReportPortGone(LONG generation)
{
    if (Block.reported)
        return;
    Block.reported = true;
    PostMessageW(MainWindow, WM_SERIAL_LOST, static_cast<WPARAM>(generation), SerialLostOnWrite);
}

// Waits for the write in flight; a wake-up for a port being taken or a
// connection that ended cancels it. What it wrote before counts.
DWORD FinishWrite(HANDLE port, DWORD *written, bool *cancelled)
{
    const HANDLE waits[] = {WriteOverlapped.hEvent, WriterWake()};
    for (;;) {
        DWORD woken = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (woken != WAIT_OBJECT_0 + 1)
            break;
        if (PortClosing || !BlockStillWanted()) {
            (void)CancelIoEx(port, &WriteOverlapped);   // fails when the write is done already
            *cancelled = true;
            break;
        }
    }
    // A cancelled request completes at once; until it has, the record and
    // the block are the request's.
    if (GetOverlappedResult(port, &WriteOverlapped, written, TRUE))
        return ERROR_SUCCESS;
    return GetLastError();
}

// One write request from the block on the port, while the port is ours.
WriteStep WriteOnce(DWORD *written, LONG *generation)
{
    *written = 0;
    HANDLE port = PortHandle;
    *generation = PortGeneration;
    if (PortClosing)
        return PortTaken;
    if (!PortIsOpen(port))
        return PortGone;
    // One request at a time: the last one has completed, so the driver took
    // its bytes in order; asking the queue first would cost a call per block.
    if (!BlockStillWanted())
        return Wrote;       // nothing written: the caller drops the block
    DWORD asked = static_cast<DWORD>(Block.length - Block.offset);
    if (asked > WriteRequestLimit)
        asked = WriteRequestLimit;
    DWORD error = ERROR_SUCCESS;
    bool cancelled = false;
    ++PortWritesBegun;
    if (!WriteFile(port, Block.bytes + Block.offset, asked, written, &WriteOverlapped)) {
        error = GetLastError();
        if (error == ERROR_IO_PENDING)
            error = FinishWrite(port, written, &cancelled);
    }
    return PortErrorMeansLost(error, cancelled) ? PortGone : Wrote;
}

// The bytes the port took: counted for the rate display and logged.
void Passed(DWORD written)
{
    if (written == 0)
        return;
    CountBytes(LanToSerialBytes, static_cast<int32_t>(written));
    if (LanToSerialLog.open) {
        int dataBytes = DataBytesIn(Block.offset, static_cast<int>(written), Block.tagLength);
        LogLanToSerial(Block.bytes + Block.offset, static_cast<int>(written), dataBytes);
    }
    Block.offset += static_cast<int>(written);
}

}  // namespace

int FormatTimeTag(const struct tm &time, char *tag, size_t capacity)
{
    int length = snprintf(tag, capacity, "\n\n%d/%02d/%02d %02d:%02d:%02d\n", time.tm_year + FirstYear,
                          time.tm_mon + 1, time.tm_mday, time.tm_hour, time.tm_min, time.tm_sec);
    return length < 0 ? 0 : length;
}

int MakeTimeTag(char *tag, size_t capacity)
{
    time_t now = time(nullptr);
    struct tm local = {};
    // localtime of the C run-time keeps its result per thread.
    const struct tm *converted = localtime(&now);
    if (converted != nullptr)
        local = *converted;
    return FormatTimeTag(local, tag, capacity);
}

bool TimeTagDue(int32_t dt, int32_t directionFlag, int32_t silence)
{
    return dt != 0 && directionFlag != 0 && silence == 0;
}

int DataBytesIn(int offset, int length, int tagLength)
{
    int tagEnd = offset + length < tagLength ? offset + length : tagLength;
    int tagBytes = tagEnd > offset ? tagEnd - offset : 0;
    return length - tagBytes;
}

void WakeSerialWriter()
{
    SetEvent(WriterWake());
}

bool TakePortFromWriter(DWORD timeoutMs)
{
    PortClosing = 1;
    WakeSerialWriter();
    ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (WriterBusy) {
        if (GetTickCount64() >= deadline) {
            PortClosing = 0;
            return false;
        }
        // A log count that the writer sends meanwhile is served.
        (void)MsgWaitForMultipleObjects(0, nullptr, FALSE, WriterIdlePollMs, QS_SENDMESSAGE);
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    return true;
}

bool AcquirePortAsWriter()
{
    WriterBusy = 1;
    if (PortClosing) {
        WriterBusy = 0;
        return false;
    }
    return true;
}

void ReleasePortAsWriter()
{
    WriterBusy = 0;
}

void GivePortToWriter()
{
    PortClosing = 0;
}

bool SerialWriteHeld()
{
    return Block.offset < Block.length;
}

bool ResumeSerialWrite()
{
    while (SerialWriteHeld()) {
        // Bytes of a connection that has ended go nowhere.
        if (!BlockStillWanted()) {
            Block.offset = Block.length;
            break;
        }
        DWORD written = 0;
        LONG generation = 0;
        WriterBusy = 1;
        WriteStep step = WriteOnce(&written, &generation);
        WriterBusy = 0;
        Passed(written);
        if (written > 0)
            Block.reported = false;     // a later loss is a loss of its own
        if (step == PortTaken)
            return false;
        if (step == PortGone) {
            ReportPortGone(generation);
            return false;
        }
        // A port that took nothing is not asked again at once; a port being
        // taken or a connection that ended still cuts the wait short.
        if (written == 0 && BlockStillWanted())
            (void)WaitForSingleObject(WriterWake(), WriteRetryMs);
    }
    return true;
}

void SerialWrite(LONG connection, const char *data, int count)
{
    if (count <= 0)
        return;
    Block.connection = connection;
    Block.tagLength = 0;
    if (TimeTagDue(Settings.DT, Settings.DTLANRS, LanToSerialSilence))
        Block.tagLength = MakeTimeTag(Block.bytes, TimeTagCapacity);
    if (count > SocketBlockSize)
        count = SocketBlockSize;
    memcpy(Block.bytes + Block.tagLength, data, static_cast<size_t>(count));
    Block.length = Block.tagLength + count;
    Block.offset = 0;
    Block.reported = false;
    LanToSerialSilence = Settings.DTUPTIME.load();
    ResumeSerialWrite();
}
