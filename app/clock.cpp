// The one-second connection clock, the rate display and the transfer arrows.
//
// The clock is a periodic multimedia timer that runs while a connection is
// up; its callback runs on the system's timer thread and only posts the tick
// to the main window, which counts it and shows the time and the rates, and
// stands in for the main window's second tick meanwhile. The
// arrows move on the main window's refresh tick. The byte counters are the
// bridge's: its data threads add, the display takes them whole.
#include "app.h"
#include "../bridge/bridge.h"
#include "../config/config.h"
#include "../net/net.h"
#include "../res/resource.h"
#include "../util/util.h"

#include <commctrl.h>
#include <mmsystem.h>
#include <cstdio>

int32_t ClockHours, ClockMinutes, ClockSeconds;                 // user-interface thread
std::atomic<UINT> ClockTimerId;                                 // user-interface thread
std::atomic<DWORD_PTR> ClockCookie;                             // user-interface thread
int32_t RateTicks;                                              // user-interface thread
int ArrowFrameLanToSerial, ArrowFrameSerialToLan;               // user-interface thread

// The texts the refresh tick last set in which window, so that a quiet
// window is not repainted three times a second with what it shows already.
static const char NoArrows[] = "";
static const char *ShownArrows[2];
static HWND ShownIn;
static bool RatesShown = true;
// The rate fields without a connection.
static const char NoRates[] = "";


constexpr int SecondsPerMinute = 60;
constexpr int MinutesPerHour = 60;

static const char *const ArrowFrames[][ArrowFrameCount] = {
    {
        "=>    =>    =>    =>    =>    =>    =>    =>    =>    ",
        "  =>    =>    =>    =>    =>    =>    =>    =>    =>  ",
        "    =>    =>    =>    =>    =>    =>    =>    =>    =>",
        "=>    =>    =>    =>    =>    =>    =>    =>    =>    =>",
    },
    {
        "    <=    <=    <=    <=    <=    <=    <=    <=    <=",
        "  <=    <=    <=    <=    <=    <=    <=    <=    <=  ",
        "<=    <=    <=    <=    <=    <=    <=    <=    <=    ",
        "<=    <=    <=    <=    <=    <=    <=    <=    <=    <=",
    },
};

const char *ArrowFrameText(ArrowRow row, int frame)
{
    return ArrowFrames[row][frame % ArrowFrameCount];
}

void FormatElapsed(char *text, size_t capacity, int hours, int minutes, int seconds)
{
    snprintf(text, capacity, "%02d：%02d：%02d", hours, minutes, seconds);
}

void FormatRate(char *text, size_t capacity, int bytesPerSecond)
{
    snprintf(text, capacity, "  %2d byte/s", bytesPerSecond);
}

void ResetClock()
{
    ClockHours = 0;
    ClockMinutes = 0;
    ClockSeconds = 0;
}

// A timer still running is stopped; a tick of it already posted carries
// the old cookie and is ignored.
static void KillClockTimer()
{
    UINT running = ClockTimerId.exchange(0);
    if (running != 0)
        timeKillEvent(running);
    ++ClockCookie;
}

int StartClock()
{
    KillClockTimer();
    DWORD_PTR cookie = ClockCookie;
    UINT timer = timeSetEvent(ClockPeriodMs, TimerResolution, ClockTick, cookie,
                              TIME_PERIODIC | TIME_CALLBACK_FUNCTION);
    ClockTimerId = timer;
    if (timer != 0)
        (void)KillTimer(MainWindow, IDT_SECOND);   // fails only when it was not running
    return timer != 0;
}

void StopClock()
{
    (void)DataBridge.TakeMoved(LanToSerial);
    (void)DataBridge.TakeMoved(SerialToLan);
    ResetClock();
    KillClockTimer();
    SetTimer(MainWindow, IDT_SECOND, SecondPeriodMs, nullptr);
    WakeRefresh();      // for the automatic connection
}

void CALLBACK ClockTick(UINT, UINT, DWORD_PTR cookie, DWORD_PTR, DWORD_PTR)
{
    (void)PostMessageW(MainWindow, WM_CLOCK_TICK, cookie, 0);
}

void OnClockTick(DWORD_PTR cookie)
{
    if (cookie != ClockCookie)
        return;
    if (++ClockSeconds >= SecondsPerMinute) {
        ClockSeconds = 0;
        if (++ClockMinutes >= MinutesPerHour) {
            ClockMinutes = 0;
            ++ClockHours;
        }
    }
    // A period shortened below the seconds already counted shows at once
    // rather than never; a period of 0 shows nothing.
    int32_t rate = Settings.RATE;
    if (rate > 0) {
        if (++RateTicks >= rate) {
            ShowRates();
            RateTicks = 0;
        }
    } else {
        RateTicks = 0;
    }
    char text[ClockTextCapacity];
    FormatElapsed(text, sizeof text, ClockHours, ClockMinutes, ClockSeconds);
    ShowStatusPart(StatusBarTimePart, text);
    OnSecondTick();
}

// A text is set only when it changes: under Wine every repaint costs far
// more than the look at what is shown.
static void ShowText(int control, const char *text)
{
    if (ItemText(MainWindow, control) != text)
        SetItemText(MainWindow, control, text);
}

void ShowRates()
{
    int32_t rate = Settings.RATE;
    if (rate <= 0)
        return;
    char text[RateTextCapacity];
    FormatRate(text, sizeof text, DataBridge.TakeMoved(LanToSerial) / rate);
    ShowText(IDC_RATE_LAN_TO_SERIAL, text);
    FormatRate(text, sizeof text, DataBridge.TakeMoved(SerialToLan) / rate);
    ShowText(IDC_RATE_SERIAL_TO_LAN, text);
    RatesShown = true;
}

static void ShowArrowText(int control, ArrowRow row, const char *text)
{
    HWND window = MainWindow;
    if (ShownIn != window) {
        ShownIn = window;
        ShownArrows[ArrowRowLanToSerial] = ShownArrows[ArrowRowSerialToLan] = nullptr;
        RatesShown = true;
    }
    if (ShownArrows[row] == text)
        return;
    ShownArrows[row] = text;
    SetItemText(MainWindow, control, text);
}

static void AnimateRow(int control, ArrowRow row, bool moving, int &frame)
{
    if (moving) {
        ShowArrowText(control, row, ArrowFrameText(row, frame));
        frame = (frame + 1) % ArrowFrameCount;
    } else {
        ShowArrowText(control, row, NoArrows);
    }
}

void WakeRefresh()
{
    RefreshAsleep = false;
    SetTimer(MainWindow, IDT_REFRESH, RefreshPeriodMs, nullptr);
}

// Connected, both rows still and nothing counted: the tick sleeps. Bytes
// counted before the flag was up found it down, so they are looked at here.
static void SleepWhileStill()
{
    if (LinkState != LinkConnected || ShownArrows[ArrowRowLanToSerial] != NoArrows ||
        ShownArrows[ArrowRowSerialToLan] != NoArrows)
        return;
    KillTimer(MainWindow, IDT_REFRESH);
    RefreshAsleep = true;
    if (DataBridge.Moved(LanToSerial) != 0 || DataBridge.Moved(SerialToLan) != 0)
        WakeRefresh();
}

void AnimateArrows()
{
    bool connected = LinkState == LinkConnected;
    AnimateRow(IDC_ARROWS_LAN_TO_SERIAL, ArrowRowLanToSerial, connected && DataBridge.Moved(LanToSerial) != 0,
               ArrowFrameLanToSerial);
    AnimateRow(IDC_ARROWS_SERIAL_TO_LAN, ArrowRowSerialToLan, connected && DataBridge.Moved(SerialToLan) != 0,
               ArrowFrameSerialToLan);
    if (!connected) {
        (void)DataBridge.TakeMoved(SerialToLan);
        (void)DataBridge.TakeMoved(LanToSerial);
        if (RatesShown) {
            RatesShown = false;
            SetItemText(MainWindow, IDC_RATE_LAN_TO_SERIAL, NoRates);
            SetItemText(MainWindow, IDC_RATE_SERIAL_TO_LAN, NoRates);
        }
    }
    SleepWhileStill();
}
