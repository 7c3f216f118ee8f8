// Transfer logging: one log channel per direction, each writing the
// transferred bytes to a file of the user's choice.
#pragma once

#include <windows.h>
#include <atomic>

struct TransferLog {
    std::atomic<LONG> open;     // 1 while the channel is logging
};

extern TransferLog LanToSerialLog;
extern TransferLog SerialToLanLog;
