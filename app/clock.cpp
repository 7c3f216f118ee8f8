// The one-second connection clock, the rate display and the transfer arrows.
#include "app.h"

std::atomic<int32_t> ClockHours, ClockMinutes, ClockSeconds;    // clock thread; reset on the user-interface thread
std::atomic<UINT> ClockTimerId;                                 // user-interface thread
std::atomic<int32_t> LanToSerialBytes, SerialToLanBytes;        // data threads add, the display takes
std::atomic<int32_t> LanToSerialSilence, SerialToLanSilence;    // data threads reload, the clock counts down

// The clock itself comes with the connection.
int StartClock() { return 0; }
void StopClock() {}
void AnimateArrows() {}
