// The event history's pure pieces: the line, when the file turns, and how a
// burst of one kind of event is told in few lines.
#include "history/history.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(EventLines, CarryTheLocalTimeToTheMillisecondAndEndInCrLf)
{
    SYSTEMTIME time = {2026, 12, 1, 7, 3, 4, 5, 60};
    char line[64];
    int length = FormatEventLine(time, "Peer 10.0.0.7:50123 connected", line, sizeof line);
    EXPECT_EQ(std::string(line, length), "2026/12/07 03:04:05.060 Peer 10.0.0.7:50123 connected\r\n");
    EXPECT_EQ(FormatEventLine(time, "a text longer than the room left", line, 40), 0) << "never a cut line";
}

TEST(EventLines, TheFileTurnsBeforeALineWouldTakeItPastOneMebibyte)
{
    EXPECT_FALSE(HistoryMustTurn(0, HistoryLimitBytes + 1)) << "an empty file takes any line";
    EXPECT_FALSE(HistoryMustTurn(HistoryLimitBytes - 10, 10));
    EXPECT_TRUE(HistoryMustTurn(HistoryLimitBytes - 10, 11));
}

TEST(EventBursts, TellTheFirstFewAndCountTheRest)
{
    EventBurst burst;
    uint64_t now = 1000000;
    for (uint32_t i = 0; i < BurstToldFirst; ++i)
        EXPECT_TRUE(burst.Note(now += 10)) << i;
    for (int i = 0; i < 997; ++i)
        EXPECT_FALSE(burst.Note(now += 10));
    EXPECT_EQ(burst.Untold(now + BurstQuietMs - 1), 0u) << "the burst may go on";
    EXPECT_EQ(burst.Untold(now + BurstQuietMs), 997u);
    EXPECT_EQ(burst.Untold(now + 2 * BurstQuietMs), 0u) << "told once";
    EXPECT_TRUE(burst.Note(now + 2 * BurstQuietMs)) << "after a quiet second, a burst of its own";
}

TEST(EventBursts, ABurstThatLastsIsToldOnceAMinute)
{
    EventBurst burst;
    uint64_t now = 1000000;
    uint32_t told = 0;
    uint32_t summed = 0;
    for (int i = 0; i < 1300; ++i) {          // one every 100 ms for over two minutes
        told += burst.Note(now += 100);
        summed += burst.Untold(now);
    }
    EXPECT_EQ(told, BurstToldFirst);
    // A summary a minute after the first untold one, of the 601 since; the
    // last 95 still counting.
    EXPECT_EQ(summed, 2 * 601u);
}

TEST(EventBursts, ABurstThatIsOverIsToldAtOnceAndTheNextStartsAfresh)
{
    EventBurst burst;
    uint64_t now = 1000000;
    for (uint32_t i = 0; i < BurstToldFirst + 5; ++i)
        burst.Note(now += 10);
    EXPECT_EQ(burst.End(), 5u);
    EXPECT_EQ(burst.Untold(now + BurstQuietMs), 0u) << "told once";
    EXPECT_TRUE(burst.Note(now += 10)) << "the next attempt is told on its own";
}

}  // namespace
