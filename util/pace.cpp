// Spacing the chunks of a busy stream. Each chunk costs the data threads a
// handful of calls into the system whatever its size, and under a line that
// trickles steadily those calls, not the bytes, are the whole cost: so a
// chunk that follows a small one closely waits out the rest of a short
// spacing, and the bytes that arrive meanwhile go with it. A chunk after a
// quiet spell, or after a large one (the stream is already ahead), never
// waits.
#include "util.h"

uint64_t ClockMicroseconds()
{
    static const LONGLONG frequency = [] {
        LARGE_INTEGER value = {};
        (void)QueryPerformanceFrequency(&value);     // never fails on XP and later
        return value.QuadPart;
    }();
    LARGE_INTEGER now = {};
    (void)QueryPerformanceCounter(&now);
    return static_cast<uint64_t>(now.QuadPart / frequency * 1000000 + now.QuadPart % frequency * 1000000 / frequency);
}

DWORD ChunkWaitMs(uint64_t lastSmallChunkUs, uint64_t nowUs, DWORD spacingMs)
{
    if (lastSmallChunkUs == 0 || nowUs < lastSmallChunkUs)
        return 0;
    uint64_t spacingUs = static_cast<uint64_t>(spacingMs) * 1000;
    uint64_t elapsedUs = nowUs - lastSmallChunkUs;
    if (elapsedUs >= spacingUs)
        return 0;
    return static_cast<DWORD>((spacingUs - elapsedUs + 999) / 1000);     // whole milliseconds, rounded up
}

void ChunkPacer::Ended(DWORD size, DWORD largeSize)
{
    lastSmallChunkUs = size < largeSize ? ClockMicroseconds() : 0;
}

DWORD ChunkPacer::WaitMs() const
{
    return ChunkWaitMs(lastSmallChunkUs, ClockMicroseconds(), spacingMs);
}

void ChunkPacer::Pause() const
{
    if (DWORD waitMs = WaitMs(); waitMs != 0)
        Sleep(waitMs);
}
