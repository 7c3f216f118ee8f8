// The event history's queue and writer. The queue is the only state the
// noting threads and the writer share, under a lock held for a copy; the
// file is the writer's alone. A new file starts with a UTF-8 byte order
// mark and ends its lines with CR LF, so that Notepad shows it right on
// every Windows.
#include "history.h"

#include <cstdarg>
#include <cstdio>
#include <deque>
#include <iterator>
#include <string>

namespace {

const char ByteOrderMark[] = "\xEF\xBB\xBF";
const char DroppedFormat[] = "%u events were not written: they came faster than the disk took them";

struct History {
    SRWLOCK lock = SRWLOCK_INIT;
    std::deque<std::string> waiting;        // under lock
    uint32_t dropped = 0;                   // under lock: lines that found the queue full
    HANDLE news = nullptr;                  // auto-reset: lines wait
    std::wstring path, olderPath;           // set before the writer starts
    HANDLE file = INVALID_HANDLE_VALUE;     // the writer's
    uint64_t size = 0;                      // the writer's
    std::atomic<bool> on{false};
    std::atomic<bool> failing{false};
    WorkerThread writer;
};

History &Log()
{
    // Never destroyed: a late note while the process ends finds it whole.
    static History &history = *new History;
    return history;
}

std::string Stamped(const char *text)
{
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    char line[EventTextCapacity + sizeof "2026/12/07 23:59:59.123 \r\n"];
    int length = FormatEventLine(now, text, line, sizeof line);
    return std::string(line, length > 0 ? static_cast<size_t>(length) : 0);
}

bool OpenFile(History &history)
{
    history.file = CreateFileW(history.path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (history.file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size = {};
    history.size = GetFileSizeEx(history.file, &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
    DWORD written = 0;
    if (history.size == 0 && WriteFile(history.file, ByteOrderMark, sizeof ByteOrderMark - 1, &written, nullptr))
        history.size = written;
    return true;
}

void CloseFile(History &history)
{
    if (history.file != INVALID_HANDLE_VALUE)
        CloseHandle(history.file);
    history.file = INVALID_HANDLE_VALUE;
}

// At the limit the file becomes the older one and a new one is opened; a
// rename that fails (the older one held open elsewhere) leaves the file to
// grow rather than lose a line.
bool OpenWithRoomFor(History &history, size_t length)
{
    if (history.file == INVALID_HANDLE_VALUE && !OpenFile(history))
        return false;
    if (!HistoryMustTurn(history.size, length))
        return true;
    CloseFile(history);
    (void)MoveFileExW(history.path.c_str(), history.olderPath.c_str(), MOVEFILE_REPLACE_EXISTING);
    return OpenFile(history);
}

bool WriteLine(History &history, const std::string &line)
{
    if (!OpenWithRoomFor(history, line.size()))
        return false;
    DWORD written = 0;
    if (!WriteFile(history.file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) ||
        written != line.size()) {
        CloseFile(history);     // opened afresh for the next line
        return false;
    }
    history.size += written;
    return true;
}

// Writes what waits; a line that cannot be written is let go, and the
// history says it is failing.
void WriteWaiting(History &history)
{
    for (;;) {
        AcquireSRWLockExclusive(&history.lock);
        if (history.waiting.empty()) {
            ReleaseSRWLockExclusive(&history.lock);
            return;
        }
        std::string line = std::move(history.waiting.front());
        history.waiting.pop_front();
        uint32_t dropped = history.dropped;
        history.dropped = 0;
        ReleaseSRWLockExclusive(&history.lock);
        if (dropped > 0) {
            char text[EventTextCapacity];
            snprintf(text, sizeof text, DroppedFormat, dropped);
            (void)WriteLine(history, Stamped(text));
        }
        history.failing = !WriteLine(history, line);
    }
}

void WriterBody(WorkerThread &self)
{
    History &history = Log();
    HANDLE events[] = {history.news, self.StopEvent()};
    while (self.KeepGoing()) {
        WriteWaiting(history);
        (void)WaitForMultipleObjects(static_cast<DWORD>(std::size(events)), events, FALSE, INFINITE);
    }
    WriteWaiting(history);
    CloseFile(history);
}

}  // namespace

// The writer starts; false, with the history failing, when it cannot.
static bool Begin(History &history)
{
    history.on = history.news != nullptr && history.writer.Start(WriterBody, 0);
    history.failing = !history.on;
    return history.on;
}

void StartHistory(const char *directory, bool on)
{
    History &history = Log();
    char path[MAX_PATH];
    char older[MAX_PATH];
    if (directory == nullptr || !JoinPath(directory, HistoryFileName, path, sizeof path) ||
        !JoinPath(directory, OlderHistoryFileName, older, sizeof older)) {
        history.failing = on;
        return;
    }
    history.path = WideText(path);
    history.olderPath = WideText(older);
    history.news = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (on)
        (void)Begin(history);
}

void SetHistoryOn(bool on)
{
    History &history = Log();
    if (on == history.on || history.path.empty())
        return;
    if (!on) {
        NoteEvent("Event history turned off");
        StopHistory(HistoryStopWaitMs);
        history.failing = false;    // a history not kept cannot fail
    } else if (Begin(history)) {
        NoteEvent("Event history turned on");
    }
}

void StopHistory(DWORD limitMs)
{
    History &history = Log();
    if (history.on)
        (void)history.writer.Stop(limitMs);     // one that does not end goes with the process
    history.on = false;
}

void NoteEvent(const char *format, ...)
{
    History &history = Log();
    if (!history.on)
        return;
    char text[EventTextCapacity];
    va_list arguments;
    va_start(arguments, format);
    (void)vsnprintf(text, sizeof text, format, arguments);      // a longer text is cut
    va_end(arguments);
    std::string line = Stamped(text);
    AcquireSRWLockExclusive(&history.lock);
    if (history.waiting.size() < HistoryQueueLines)
        history.waiting.push_back(std::move(line));
    else
        ++history.dropped;
    ReleaseSRWLockExclusive(&history.lock);
    SetEvent(history.news);
}

bool HistoryFailing()
{
    return Log().failing;
}

int FormatEventLine(const SYSTEMTIME &time, const char *text, char *line, size_t capacity)
{
    int length = snprintf(line, capacity, "%04u/%02u/%02u %02u:%02u:%02u.%03u %s\r\n", time.wYear, time.wMonth,
                          time.wDay, time.wHour, time.wMinute, time.wSecond, time.wMilliseconds, text);
    return length > 0 && static_cast<size_t>(length) < capacity ? length : 0;
}

bool HistoryMustTurn(uint64_t size, size_t length)
{
    return size > 0 && size + length > HistoryLimitBytes;
}

bool EventBurst::Note(uint64_t nowMs)
{
    if (inBurst > 0 && nowMs - lastMs >= BurstQuietMs)
        inBurst = 0;    // quiet long enough: a burst of its own
    lastMs = nowMs;
    if (++inBurst <= BurstToldFirst)
        return true;
    if (untold++ == 0)
        firstUntoldMs = nowMs;
    return false;
}

uint32_t EventBurst::Untold(uint64_t nowMs)
{
    if (untold == 0 || (nowMs - lastMs < BurstQuietMs && nowMs - firstUntoldMs < BurstSummaryMs))
        return 0;
    uint32_t count = untold;
    untold = 0;     // a burst that lasts goes on being counted, not told
    return count;
}

uint32_t EventBurst::End()
{
    inBurst = 0;
    uint32_t count = untold;
    untold = 0;
    return count;
}
