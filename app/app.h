// Application shell: the entry point, the main window and its start sequence,
// the handling of commands, socket notifications and the refresh tick, and
// the one-second clock with the rate display and the transfer arrows.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <atomic>
#include <cstddef>
#include <cstdint>

// Caption of every message box the program shows.
inline constexpr char MessageCaption[] = "Dovrelle";
inline constexpr char MainWindowCaption[] = "Quillmar";
inline constexpr char MainWindowClass[] = "Quillmar";

// Windows Sockets posts this to the main window for every socket event.
constexpr UINT WM_SOCKET_NOTIFY = WM_USER + 1001;
// Posted by the serial receive thread after a send failed for good; wParam
// is the connection, lParam the error.
constexpr UINT WM_CONNECTION_ABORTED = WM_USER + 1002;
// Posted by the socket receive thread when it has read all the peer sent
// before closing, or its receive failed; wParam is the connection, lParam
// the error (0 for the peer's close).
constexpr UINT WM_PEER_FINISHED = WM_USER + 1003;
// Posted by a data thread when the port failed in a way that means the
// device is gone; wParam is the port's generation, lParam how it was found.
constexpr UINT WM_SERIAL_LOST = WM_USER + 1004;
enum SerialLostHow : LPARAM { SerialLostOnRead = 0, SerialLostOnWrite = 1 };
// Posted after a socket was closed; wParam is the socket.
constexpr UINT WM_SOCKET_CLOSED = WM_USER + 1005;
// Posted by the clock's timer thread each second; wParam is the clock's cookie.
constexpr UINT WM_CLOCK_TICK = WM_USER + 1006;
// Posted by a data thread when bytes move while the refresh tick sleeps.
constexpr UINT WM_BYTES_MOVED = WM_USER + 1007;

constexpr UINT RefreshPeriodMs = 300;
// The housekeeping tick: quiet spells are counted down, a lost port is
// tried again.
constexpr UINT SecondPeriodMs = 1000;

// Right edges of the two status-bar parts, in pixels; part 0 shows a port
// that is lost, part 1 the elapsed connection time.
constexpr int StatusBarPartEdges[] = {300, 550};
constexpr int StatusBarPortPart = 0;
constexpr int StatusBarTimePart = 1;

extern HINSTANCE AppInstance;               // set once at entry
extern std::atomic<HWND> MainWindow;        // set on the user-interface thread once the window exists
extern HWND StatusBar;                      // user-interface thread
extern UINT TimerResolution;                // set by the start sequence, read by the clock

INT_PTR CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
HWND CreateStatusBar(HWND parent, HINSTANCE instance);
void ResetLinkHandles();
// The status text, and the two buttons: Connect as asked, Close the other way.
void SetStatusText(const char *text);
void EnableConnectButton(bool enable);

// Main window events.
void OnCommand(HWND window, WORD command);
void OnSocketNotify(SOCKET socket, LPARAM lParam);
void OnConnectionAborted(LONG connection, int error);
void OnPeerFinished(LONG connection, int error);
void OnSerialLost(LONG generation, LPARAM how);
void OnRefreshTick();
void OnSecondTick();
void Shutdown();
// Part 0 of the status bar: the port that is lost and tried again, or
// nothing.
void ShowPortState();

// The one-second clock, the rate display and the arrows.
extern int32_t ClockHours, ClockMinutes, ClockSeconds;                  // user-interface thread
extern std::atomic<UINT> ClockTimerId;                                  // user-interface thread
extern std::atomic<int32_t> LanToSerialBytes, SerialToLanBytes;         // added to by the data threads, taken by the display
extern std::atomic<int32_t> LanToSerialSilence, SerialToLanSilence;     // reloaded by the data threads, counted down each second
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
// Adds to a byte counter; the first bytes after a still spell wake the
// refresh tick. Any thread.
void CountBytes(std::atomic<int32_t> &counter, int32_t count);
// Starts the refresh tick, or restarts it. User-interface thread.
void WakeRefresh();
// Once a second, connected or not: quiet spells are real time.
void CountDownQuietSpells();

// The pure pieces of the above, for the tests.
enum ArrowRow { ArrowRowLanToSerial, ArrowRowSerialToLan };
const char *ArrowFrameText(ArrowRow row, int frame);
void FormatElapsed(char *text, size_t capacity, int hours, int minutes, int seconds);
void FormatRate(char *text, size_t capacity, int bytesPerSecond);
void CountDown(std::atomic<int32_t> &countdown);
