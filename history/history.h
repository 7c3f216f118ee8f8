// The event history: what happened and when, one line per event, in
// Quillmar-events.log beside the settings file, for a person to read after a
// fault ("2026/12/07 03:12:45.120 Peer 10.0.0.7:50123 connected").
//
// Any thread notes an event without waiting: the line, stamped with the time
// it was noted, goes to a short queue, and a writer thread of its own
// appends it to the file. At 1 MiB the file becomes Quillmar-events.1.log,
// replacing the one before, and a new one starts. A history that cannot be
// written says so through HistoryFailing, and the bridge goes on; lines that
// find the queue full are counted and told in one line when there is room.
#pragma once

#include "../util/util.h"

#include <windows.h>
#include <cstddef>
#include <cstdint>

inline constexpr char HistoryFileName[] = "Quillmar-events.log";
inline constexpr char OlderHistoryFileName[] = "Quillmar-events.1.log";
constexpr uint64_t HistoryLimitBytes = 1 << 20;
constexpr size_t HistoryQueueLines = 256;
constexpr size_t EventTextCapacity = 320;
constexpr DWORD HistoryStopWaitMs = 500;

// Starts the history in the folder, or leaves it off (EVENTLOG=0). The
// directory is UTF-8; null, or too long a path, makes a history that fails.
void StartHistory(const char *directory, bool on);
// The history turned on or off while the program runs (the option dialog):
// each change is its last line, or its first.
void SetHistoryOn(bool on);
// The writer writes what waits, within the limit, and ends.
void StopHistory(DWORD limitMs);
// Notes an event: a printf format of UTF-8 text, no line end. Any thread.
void NoteEvent(const char *format, ...);
// True while lines cannot be written (the last one could not).
bool HistoryFailing();

// The pure pieces of the above, for the tests.
// "2026/12/07 23:59:59.123 text\r\n"; the length, or 0 when it does not fit.
int FormatEventLine(const SYSTEMTIME &time, const char *text, char *line, size_t capacity);
// Whether a file of size bytes is turned into the older one before a line
// of length bytes is added.
bool HistoryMustTurn(uint64_t size, size_t length);

// A burst of one kind of event (events less than a second apart) told in
// few lines: its first few on lines of their own, the rest counted and told
// in one line once the burst has been quiet for a second, and once a minute
// while it lasts. Used by the one thread that notes that kind.
constexpr uint32_t BurstToldFirst = 3;
constexpr uint64_t BurstQuietMs = 1000;
constexpr uint64_t BurstSummaryMs = 60000;
class EventBurst {
public:
    // One event at nowMs: true when it gets a line of its own.
    bool Note(uint64_t nowMs);
    // The events not told on their own since the last summary, when one is
    // due (else 0).
    uint32_t Untold(uint64_t nowMs);
    // The burst is over, for what it was about has changed (the attempts
    // led to a connection): the events not told on their own, due at once.
    uint32_t End();
    // Milliseconds the untold ones spanned.
    uint64_t UntoldSpanMs() const { return lastMs - firstUntoldMs; }

private:
    uint32_t inBurst = 0;
    uint32_t untold = 0;
    uint64_t firstUntoldMs = 0;
    uint64_t lastMs = 0;
};
