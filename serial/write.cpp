// The serial write: bytes from the TCP peer to the port, with the time tag.
//
// Only the socket receive thread writes, so WriteOverlapped and its event
// are its own. A write returns only when the port has taken everything: a
// line slower than the network holds the socket receive thread, and TCP's
// flow control then slows the peer down.
#include "serial.h"
#include "../app/app.h"
#include "../config/config.h"
#include "../translog/translog.h"

#include <cstdio>
#include <ctime>

SRWLOCK PortWriteLock = SRWLOCK_INIT;      // socket receive thread (shared), user-interface thread (exclusive)
std::atomic<LONG> PortClosing;              // user-interface thread

static const char WriteErrorText[] = "RS232C Write Error";

enum WriteOutcome { Written, Refused, Abandoned };
constexpr int FirstYear = 1900;

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

// No new write while earlier bytes wait in the driver's output queue. A
// port whose queue cannot be asked about is not waited for.
static void WaitForOutputQueue(HANDLE port)
{
    while (!PortClosing) {
        COMSTAT status = {};
        DWORD errors = 0;
        if (!ClearCommError(port, &errors, &status) || status.cbOutQue == 0)
            return;
        Sleep(OutputQueuePollMs);
    }
}

static WriteOutcome WritePort(HANDLE port, const char *bytes, int length)
{
    int offset = 0;
    while (length > 0) {
        if (PortIsOpen(port))
            WaitForOutputQueue(port);
        // The port is being replaced: what is left of the block has no port
        // to go to.
        if (PortClosing)
            return Abandoned;
        DWORD asked = static_cast<DWORD>(length) < WriteRequestLimit ? length : WriteRequestLimit;
        DWORD written = 0;
        if (!WriteFile(port, bytes + offset, asked, &written, &WriteOverlapped)) {
            DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING)
                return Refused;
            // A purge by a reconfiguration ends the write early; what it
            // wrote counts and the rest follows.
            (void)GetOverlappedResult(port, &WriteOverlapped, &written, TRUE);
        }
        LanToSerialBytes += static_cast<int32_t>(written);
        length -= static_cast<int>(written);
        offset += static_cast<int>(written);
    }
    return Written;
}

void SerialWrite(const char *data, int count)
{
    if (count <= 0)
        return;
    char tag[TimeTagCapacity];
    int tagLength = 0;
    if (TimeTagDue(Settings.DT, Settings.DTLANRS, LanToSerialSilence))
        tagLength = MakeTimeTag(tag, sizeof tag);
    LanToSerialSilence = Settings.DTUPTIME.load();
    // The log gets the chunk before the port does, so it holds it even when
    // the write then fails.
    if (LanToSerialLog.open)
        LogLanToSerial(tag, tagLength, data, count);
    AcquireSRWLockShared(&PortWriteLock);
    HANDLE port = PortHandle;
    WriteOutcome outcome = tagLength > 0 ? WritePort(port, tag, tagLength) : Written;
    if (outcome == Written)
        outcome = WritePort(port, data, count);
    ReleaseSRWLockShared(&PortWriteLock);
    // The box waits for the user: the port is let go first, so that a
    // reopen does not wait for the user too.
    if (outcome == Refused)
        MessageBoxA(nullptr, WriteErrorText, MessageCaption, MB_OK | MB_ICONERROR);
}
