// The clock's texts and arithmetic, the rate display and the arrows, driven
// tick by tick on real controls.
#include "app/app.h"
#include "bridge/bridge.h"
#include "config/config.h"
#include "net/net.h"
#include "res/resource.h"
#include "test_windows.h"
#include "util/util.h"

#include <gtest/gtest.h>

#include <commctrl.h>
#include <cstring>
#include <string>

namespace {

// The bridge's counters as its data threads would leave them.
void SetMoved(Direction direction, int32_t bytes)
{
    (void)DataBridge.TakeMoved(direction);
    DataBridge.CountMoved(direction, static_cast<DWORD>(bytes));
}

void SetQuiet(Direction direction, int32_t seconds)
{
    Settings.DTUPTIME = seconds;
    DataBridge.ReloadQuietSpell(direction);
}

TEST(ClockTexts, ElapsedTimeUsesFullWidthColons)
{
    char text[ClockTextCapacity];
    FormatElapsed(text, sizeof text, 0, 0, 59);
    EXPECT_STREQ(text, "00：00：59");
    FormatElapsed(text, sizeof text, 1, 0, 0);
    EXPECT_STREQ(text, "01：00：00");
    FormatElapsed(text, sizeof text, 100, 5, 9);
    EXPECT_STREQ(text, "100：05：09");
}

TEST(ClockTexts, RateIsRightAlignedInTwoPlacesAtLeast)
{
    char text[RateTextCapacity];
    FormatRate(text, sizeof text, 2);
    EXPECT_STREQ(text, "   2 byte/s");
    FormatRate(text, sizeof text, 0);
    EXPECT_STREQ(text, "   0 byte/s");
    FormatRate(text, sizeof text, 46080);
    EXPECT_STREQ(text, "  46080 byte/s");
}

TEST(Arrows, FramesMoveTowardsTheirSide)
{
    EXPECT_STREQ(ArrowFrameText(ArrowRowLanToSerial, 0), "=>    =>    =>    =>    =>    =>    =>    =>    =>    ");
    EXPECT_STREQ(ArrowFrameText(ArrowRowLanToSerial, 1), "  =>    =>    =>    =>    =>    =>    =>    =>    =>  ");
    EXPECT_STREQ(ArrowFrameText(ArrowRowLanToSerial, 2), "    =>    =>    =>    =>    =>    =>    =>    =>    =>");
    EXPECT_STREQ(ArrowFrameText(ArrowRowSerialToLan, 0), "    <=    <=    <=    <=    <=    <=    <=    <=    <=");
    EXPECT_STREQ(ArrowFrameText(ArrowRowSerialToLan, 1), "  <=    <=    <=    <=    <=    <=    <=    <=    <=  ");
    EXPECT_STREQ(ArrowFrameText(ArrowRowSerialToLan, 2), "<=    <=    <=    <=    <=    <=    <=    <=    <=    ");
    for (ArrowRow row : {ArrowRowLanToSerial, ArrowRowSerialToLan}) {
        for (int frame = 0; frame < 3; ++frame)
            EXPECT_EQ(strlen(ArrowFrameText(row, frame)), 54u) << row << frame;
        EXPECT_EQ(strlen(ArrowFrameText(row, 3)), 56u) << "ten arrows in the last frame";
    }
}

TEST(Countdown, StopsAtZero)
{
    std::atomic<int32_t> countdown{2};
    CountDown(countdown);
    EXPECT_EQ(countdown, 1);
    CountDown(countdown);
    CountDown(countdown);
    EXPECT_EQ(countdown, 0);
}

// A main window stand-in: the four texts of the rate display and the
// arrows, and a status bar, so that the clock writes where it would.
class ClockOnWindow : public testing::Test {
protected:
    static constexpr DWORD_PTR Cookie = 4242;

    void SetUp() override
    {
        INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_BAR_CLASSES};
        InitCommonControlsEx(&controls);
        window = StandInWindow({{L"STATIC", IDC_ARROWS_LAN_TO_SERIAL}, {L"STATIC", IDC_ARROWS_SERIAL_TO_LAN},
                                {L"STATIC", IDC_RATE_LAN_TO_SERIAL}, {L"STATIC", IDC_RATE_SERIAL_TO_LAN}});
        ASSERT_NE(window, nullptr);
        MainWindow = window;
        CreateStatusBar(window, GetModuleHandleW(nullptr));
        StopClock();
        ClockCookie = Cookie;
        RateTicks = 0;
        Settings.RATE = 5;
        LinkState = LinkConnected;
        ArrowFrameLanToSerial = 0;
        ArrowFrameSerialToLan = 0;
    }

    void TearDown() override
    {
        MainWindow = nullptr;
        StatusBar = nullptr;
        LinkState = LinkIdle;
        DestroyWindow(window);
    }

    static void Tick(int times = 1, DWORD_PTR cookie = Cookie)
    {
        for (int i = 0; i < times; ++i)
            OnClockTick(cookie);
    }

    std::string Text(int id) const { return ItemText(window, id); }

    static std::string TimeShown()
    {
        wchar_t text[ClockTextCapacity] = {};
        SendMessageW(StatusBar, SB_GETTEXTW, StatusBarTimePart, reinterpret_cast<LPARAM>(text));
        return Utf8Text(text);
    }

    HWND window = nullptr;
};

TEST_F(ClockOnWindow, TicksCarryIntoMinutesAndHours)
{
    Tick();
    EXPECT_EQ(TimeShown(), "00：00：01");
    ClockSeconds = 59;
    Tick();
    EXPECT_EQ(TimeShown(), "00：01：00");
    ClockMinutes = 59;
    ClockSeconds = 59;
    Tick();
    EXPECT_EQ(TimeShown(), "01：00：00");
}

TEST_F(ClockOnWindow, ATickOfAReplacedTimerChangesNothing)
{
    Tick(3, Cookie + 1);
    EXPECT_EQ(ClockSeconds, 0);
    EXPECT_EQ(TimeShown(), "");
}

TEST_F(ClockOnWindow, RatesShowEveryPeriodAsBytesPerSecondTruncated)
{
    SetMoved(LanToSerial, 12);
    SetMoved(SerialToLan, 4);
    Tick(4);
    EXPECT_EQ(Text(IDC_RATE_LAN_TO_SERIAL), "");
    Tick();
    EXPECT_EQ(Text(IDC_RATE_LAN_TO_SERIAL), "   2 byte/s");
    EXPECT_EQ(Text(IDC_RATE_SERIAL_TO_LAN), "   0 byte/s");
    EXPECT_EQ(DataBridge.Moved(LanToSerial), 0);
    EXPECT_EQ(DataBridge.Moved(SerialToLan), 0);

    SetMoved(LanToSerial, 500);
    Tick(5);
    EXPECT_EQ(Text(IDC_RATE_LAN_TO_SERIAL), "  100 byte/s");
}

// A period shortened below the seconds already counted must not silence the
// display until the counter wraps.
TEST_F(ClockOnWindow, APeriodShortenedBelowTheCountShowsAtTheNextTick)
{
    Tick(4);
    Settings.RATE = 2;
    SetMoved(SerialToLan, 10);
    Tick();
    EXPECT_EQ(Text(IDC_RATE_SERIAL_TO_LAN), "   5 byte/s");
    SetMoved(SerialToLan, 4);
    Tick(2);
    EXPECT_EQ(Text(IDC_RATE_SERIAL_TO_LAN), "   2 byte/s");
}

TEST_F(ClockOnWindow, APeriodOfZeroShowsNoRates)
{
    Settings.RATE = 0;
    SetMoved(LanToSerial, 10);
    Tick(100);
    EXPECT_EQ(Text(IDC_RATE_LAN_TO_SERIAL), "");
    Settings.RATE = 1;
    Tick();
    EXPECT_EQ(Text(IDC_RATE_LAN_TO_SERIAL), "  10 byte/s");
}

// The quiet spells count down once a second, connected or not: the
// connection clock's tick stands in for the second tick while it runs.
TEST_F(ClockOnWindow, QuietSpellsCountDownEachSecondToZeroOnly)
{
    SetQuiet(LanToSerial, 2);
    SetQuiet(SerialToLan, 1);
    Tick();
    EXPECT_EQ(DataBridge.QuietLeft(LanToSerial), 1);
    EXPECT_EQ(DataBridge.QuietLeft(SerialToLan), 0);
    for (int second = 0; second < 3; ++second)
        DataBridge.CountDownQuietSpells();
    EXPECT_EQ(DataBridge.QuietLeft(LanToSerial), 0);
    EXPECT_EQ(DataBridge.QuietLeft(SerialToLan), 0);
}

TEST_F(ClockOnWindow, StopClearsTheClockAndTheCountersButNotTheQuietSpells)
{
    Tick(3);
    SetMoved(LanToSerial, 7);
    SetMoved(SerialToLan, 7);
    SetQuiet(LanToSerial, 3);
    StopClock();
    EXPECT_EQ(ClockSeconds, 0);
    EXPECT_EQ(DataBridge.Moved(LanToSerial), 0);
    EXPECT_EQ(DataBridge.Moved(SerialToLan), 0);
    EXPECT_EQ(DataBridge.QuietLeft(LanToSerial), 3);
    EXPECT_EQ(TimeShown(), "00：00：03") << "the last time stays shown";
}

TEST_F(ClockOnWindow, OnlyTheRowWithDataMoves)
{
    SetMoved(LanToSerial, 1);
    AnimateArrows();
    EXPECT_EQ(Text(IDC_ARROWS_LAN_TO_SERIAL), ArrowFrameText(ArrowRowLanToSerial, 0));
    EXPECT_EQ(Text(IDC_ARROWS_SERIAL_TO_LAN), "");
    for (int frame = 1; frame <= 4; ++frame) {
        AnimateArrows();
        EXPECT_EQ(Text(IDC_ARROWS_LAN_TO_SERIAL), ArrowFrameText(ArrowRowLanToSerial, frame % ArrowFrameCount));
    }
    SetMoved(SerialToLan, 1);
    SetMoved(LanToSerial, 0);
    AnimateArrows();
    EXPECT_EQ(Text(IDC_ARROWS_LAN_TO_SERIAL), "");
    EXPECT_EQ(Text(IDC_ARROWS_SERIAL_TO_LAN), ArrowFrameText(ArrowRowSerialToLan, 0));
}

TEST_F(ClockOnWindow, WithoutAConnectionEverythingGoesBlank)
{
    SetMoved(LanToSerial, 12);
    SetMoved(SerialToLan, 12);
    Tick(5);
    AnimateArrows();
    ASSERT_NE(Text(IDC_RATE_LAN_TO_SERIAL), "");
    SetMoved(LanToSerial, 3);
    LinkState = LinkListening;
    AnimateArrows();
    EXPECT_EQ(Text(IDC_ARROWS_LAN_TO_SERIAL), "");
    EXPECT_EQ(Text(IDC_ARROWS_SERIAL_TO_LAN), "");
    EXPECT_EQ(Text(IDC_RATE_LAN_TO_SERIAL), "");
    EXPECT_EQ(Text(IDC_RATE_SERIAL_TO_LAN), "");
    EXPECT_EQ(DataBridge.Moved(LanToSerial), 0);
}

}  // namespace
