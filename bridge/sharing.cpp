// The pure rules of a port that several peers share: the ring that keeps
// the device's bytes for all of them, whose turn it is to write to the
// port, and how long a speaker keeps the line.
//
// The ring is the serial receive thread's, the turns the socket receive
// thread's: neither is shared between threads.
#include "bridge.h"

#include <algorithm>
#include <cstring>

DWORD TurnGapMs(const LinePace &pace)
{
    // The port's read interval is the same 3.5 character times.
    return std::clamp(pace.quietMs, TurnGapLeastMs, TurnGapMostMs);
}

void FanOut::Append(const char *data, size_t length)
{
    size_t capacity = ring.size();
    if (length > capacity) {        // only the last capacity bytes can be kept
        data += length - capacity;
        head += length - capacity;
        length = capacity;
    }
    size_t at = static_cast<size_t>(head % capacity);
    size_t first = std::min(length, capacity - at);
    memcpy(ring.data() + at, data, first);
    memcpy(ring.data(), data + first, length - first);
    head += length;
}

size_t FanOut::Copy(uint64_t position, char *out, size_t most) const
{
    size_t capacity = ring.size();
    if (position >= head || head - position > capacity)
        return 0;       // nothing new, or bytes the ring no longer has
    size_t length = static_cast<size_t>(std::min<uint64_t>(head - position, most));
    size_t at = static_cast<size_t>(position % capacity);
    size_t first = std::min(length, capacity - at);
    memcpy(out, ring.data() + at, first);
    memcpy(out + first, ring.data(), length - first);
    return length;
}

void TurnRule::Wants(LONG peer)
{
    if (peer == speaker || InLine(peer))
        return;
    if (speaker == 0) {
        speaker = peer;
        holdUntilUs = 0;
        return;
    }
    waiting.push_back(peer);
}

DWORD TurnRule::WaitLimitMs(uint64_t nowUs) const
{
    if (!Holding(nowUs))
        return 0;
    return static_cast<DWORD>((holdUntilUs - nowUs + 999) / 1000);
}

void TurnRule::Pass()
{
    speaker = 0;
    holdUntilUs = 0;
    if (waiting.empty())
        return;
    speaker = waiting.front();
    waiting.erase(waiting.begin());
}

void TurnRule::Forget(LONG peer)
{
    waiting.erase(std::remove(waiting.begin(), waiting.end(), peer), waiting.end());
    if (peer == speaker)
        Pass();
}

bool TurnRule::InLine(LONG peer) const
{
    return std::find(waiting.begin(), waiting.end(), peer) != waiting.end();
}
