// The worker thread type: a body that does not end in time keeps running
// alone, whatever the timing of a stop and the next start.
#include "util/util.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

constexpr DWORD ShortWaitMs = 50;
constexpr DWORD LongWaitMs = 5000;

// What the bodies did; a body holds on at the gate until it is opened.
std::atomic<int> BodiesRunning, BodiesStarted, PassesAfterGate;
HANDLE Gate;

template <typename Condition>
bool WaitUntil(Condition condition)
{
    for (ULONGLONG end = GetTickCount64() + LongWaitMs; GetTickCount64() < end; Sleep(1)) {
        if (condition())
            return true;
    }
    return false;
}

void HeldBody(WorkerThread &self)
{
    ++BodiesStarted;
    ++BodiesRunning;
    WaitForSingleObject(Gate, LongWaitMs);      // deaf to the stop meanwhile
    while (self.KeepGoing()) {
        ++PassesAfterGate;
        WaitForSingleObject(self.StopEvent(), ShortWaitMs);
    }
    --BodiesRunning;
}

class HeldThread : public ::testing::Test {
protected:
    void SetUp() override
    {
        BodiesRunning = BodiesStarted = PassesAfterGate = 0;
        Gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    void TearDown() override
    {
        SetEvent(Gate);
        EXPECT_TRUE(thread.Stop(LongWaitMs));
        CloseHandle(Gate);
    }
    WorkerThread thread;
};

TEST_F(HeldThread, StopsWithinTheLimitOnceTheBodyLooks)
{
    ASSERT_TRUE(thread.Start(HeldBody, ShortWaitMs));
    SetEvent(Gate);
    EXPECT_TRUE(thread.Stop(LongWaitMs));
    EXPECT_FALSE(thread.Started());
    EXPECT_EQ(BodiesRunning, 0);
}

// Held past the limit, the stop fails; a start then withdraws it and the
// same body goes on, alone.
TEST_F(HeldThread, AStartAfterAFailedStopKeepsTheOneBody)
{
    ASSERT_TRUE(thread.Start(HeldBody, ShortWaitMs));
    EXPECT_FALSE(thread.Stop(ShortWaitMs));
    EXPECT_TRUE(thread.Start(HeldBody, ShortWaitMs));
    SetEvent(Gate);
    ASSERT_TRUE(WaitUntil([] { return PassesAfterGate >= 3; }));
    EXPECT_EQ(BodiesStarted, 1);
    EXPECT_EQ(BodiesRunning, 1);
    EXPECT_TRUE(thread.Started());
}

// A body that has taken the stop ends; a start waits for it, then starts
// the next: never two at once.
TEST_F(HeldThread, AStartAfterATakenStopWaitsForTheEnd)
{
    ASSERT_TRUE(thread.Start(HeldBody, ShortWaitMs));
    SetEvent(Gate);
    ASSERT_TRUE(WaitUntil([] { return PassesAfterGate >= 1; }));
    thread.AskToStop();
    ASSERT_TRUE(WaitUntil([] { return BodiesRunning == 0; }));
    EXPECT_TRUE(thread.Start(HeldBody, LongWaitMs));
    ASSERT_TRUE(WaitUntil([] { return BodiesStarted == 2; }));
    EXPECT_EQ(BodiesRunning, 1);
}

}  // namespace
