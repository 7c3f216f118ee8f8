// Transfer logging: one log channel per direction, each writing the
// transferred bytes to a file of the user's choice and showing the count of
// data bytes in a small window of its own.
#pragma once

#include <windows.h>
#include <atomic>
#include <cstdint>
#include <cstdio>

// Posted by a writer to its channel's window: the count has changed.
constexpr UINT WM_LOG_COUNT = WM_APP + 1;

enum LogChannel : int {
    LogLanToSerialChannel = 1,
    LogSerialToLanChannel = 2,
};

constexpr int LogFileTitleCapacity = 64;
constexpr int LogPathCapacity = MAX_PATH;
constexpr int LogCountTextCapacity = 36;

struct TransferLog {
    // The writer's file and the closing of the channel exclude each other,
    // so that no write reaches a closed stream.
    CRITICAL_SECTION lock;
    FILE *file;                     // valid while open is 1
    std::atomic<LONG> open;         // 1 while the channel is logging
    std::atomic<int32_t> byteCount;     // data bytes logged, time tags not counted; the writer's thread
    std::atomic<bool> countNoted;       // a note of the count is on its way to the window
    std::atomic<bool> writeFailed;      // the writer: a write failed in this run, and was told
    char fileName[LogFileTitleCapacity];
    std::atomic<HWND> window;       // the channel's log window, user-interface thread
};

extern TransferLog LanToSerialLog;
extern TransferLog SerialToLanLog;

// Sets both channels up closed; the start sequence calls it once.
void InitTransferLogs();
// The menu command of a channel: asks for the file and opens the window.
void StartLog(HWND owner, int channel);
int OpenLogFile(int channel);
int CloseLogFile(int channel);
// Append bytes as they passed (to the port, to the peer), a time tag
// included; only the dataBytes of them that are data are counted.
void LogLanToSerial(const char *bytes, int length, int dataBytes);
void LogSerialToLan(const char *bytes, int length, int dataBytes);
// For the message loop: true when the message was one for a log window.
bool IsLogWindowMessage(MSG *message);
