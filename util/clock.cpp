// A steady clock for timing the data path (the performance counter, which
// counts on through sleeps and never goes back), and countdowns of seconds.
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

void CountDown(std::atomic<int32_t> &countdown)
{
    int32_t value = countdown;
    while (value > 0 && !countdown.compare_exchange_weak(value, value - 1)) {
    }
}
