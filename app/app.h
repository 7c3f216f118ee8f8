// Application shell: the entry point, the main window and its start sequence,
// the handling of commands, socket notifications and the refresh tick, and
// the one-second clock with the rate display and the transfer arrows.
#pragma once

#include "../shell/shell.h"

#include <winsock2.h>
#include <windows.h>
#include <dbt.h>
#include <atomic>
#include <cstddef>
#include <cstdint>

constexpr UINT RefreshPeriodMs = 300;
// The housekeeping tick: quiet spells are counted down, a lost port is
// tried again. While the clock runs, its tick does this too, so that a
// quiet connection wakes the program once a second, not twice.
constexpr UINT SecondPeriodMs = 1000;

// Right edges of the two status-bar parts, in pixels at 96 DPI (scaled to
// the display's); part 0 shows a port that is lost, part 1 the elapsed
// connection time.
constexpr int StatusBarPartEdges[] = {300, 550};
constexpr int StatusBarPortPart = 0;
constexpr int StatusBarTimePart = 1;

extern HWND StatusBar;                      // user-interface thread
extern UINT TimerResolution;                // set by the start sequence, read by the clock

INT_PTR CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
HWND CreateStatusBar(HWND parent, HINSTANCE instance);
// A part of the status bar shows text (UTF-8).
void ShowStatusPart(int part, const char *text);
// The program's icon at the system's icon size, which follows the display's
// DPI (32 pixels at 96); shared, so loaded once for the run.
HICON LoadProgramIcon();

// Main window events.
void OnCommand(HWND window, WORD command);
void OnSocketNotify(SOCKET socket, LPARAM lParam);
void OnConnectionEnded(LONG connection);
void OnPeerLine();
void OnSerialLost(LONG generation, LPARAM how);
// A serial port was plugged in or out (WM_DEVICECHANGE); wide when the
// window gets the wide form of the port record.
void OnDeviceChange(WPARAM event, const DEV_BROADCAST_HDR *header, bool wide);
// The COM value of the port a device event names, or -1 when it names none.
int PortOfDeviceEvent(const DEV_BROADCAST_HDR *header, bool wide);
// Why a connection ended on the network's side, in the history's words:
// an error of 0 is the peer's close; quietMs, how long it had said nothing.
void DescribeConnectionEnd(int error, uint64_t quietMs, char *text, size_t capacity);
void OnRefreshTick();
void OnSecondTick();
void Shutdown();
// After the message loop has ended: the data threads that Shutdown asked to
// stop are waited for, each up to a limit.
void EndDataThreads();
// Part 0 of the status bar: the port that is lost and tried again, or
// nothing.
void ShowPortState();

// The one-second clock, the rate display and the arrows.
extern int32_t ClockHours, ClockMinutes, ClockSeconds;                  // user-interface thread
extern std::atomic<UINT> ClockTimerId;                                  // user-interface thread
extern std::atomic<DWORD_PTR> ClockCookie;                              // user-interface thread
extern int32_t RateTicks;                                               // user-interface thread
extern int ArrowFrameLanToSerial, ArrowFrameSerialToLan;                // user-interface thread

constexpr UINT ClockPeriodMs = 1000;
constexpr int ArrowFrameCount = 4;
constexpr size_t ClockTextCapacity = 256;
constexpr size_t RateTextCapacity = 32;

int StartClock();
void StopClock();
void ResetClock();
// The timer's callback posts each tick; the main window counts and shows it.
void CALLBACK ClockTick(UINT timerId, UINT message, DWORD_PTR cookie, DWORD_PTR, DWORD_PTR);
void OnClockTick(DWORD_PTR cookie);
void ShowRates();
void AnimateArrows();
// Starts the refresh tick, or restarts it. User-interface thread.
void WakeRefresh();

// The pure pieces of the above, for the tests.
enum ArrowRow { ArrowRowLanToSerial, ArrowRowSerialToLan };
const char *ArrowFrameText(ArrowRow row, int frame);
void FormatElapsed(char *text, size_t capacity, int hours, int minutes, int seconds);
void FormatRate(char *text, size_t capacity, int bytesPerSecond);
