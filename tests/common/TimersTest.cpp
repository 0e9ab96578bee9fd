#include "common/Timers.h"
#include "common/Common.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <thread>

namespace {

TEST(Timers, FiresAOneShotTimerOnceWhenDue) {
    Timers timers;
    int fired = 0;
    timers.addTimer("once", 1000, [&] { fired++; });
    EXPECT_TRUE(timers.hasTimers());
    EXPECT_EQ(timers.nextDueTime(), 1000);
    timers.fireTimersInternal(999);
    EXPECT_EQ(fired, 0);
    timers.fireTimersInternal(1000);
    timers.fireTimersInternal(5000);
    EXPECT_EQ(fired, 1);
    EXPECT_FALSE(timers.hasTimers());
    EXPECT_EQ(timers.nextDueTime(), LLONG_MAX);
}

TEST(Timers, ReplacesAPendingTimerOfTheSameName) {
    Timers timers;
    int first = 0, second = 0;
    timers.addTimer("t", 100, [&] { first++; });
    timers.addTimer("t", 200, [&] { second++; });
    EXPECT_EQ(timers.nextDueTime(), 200);
    timers.fireTimersInternal(300);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 1);
}

TEST(Timers, ReportsTheEarliestDueTime) {
    Timers timers;
    timers.addTimer("late", 500, [] {});
    timers.addTimer("early", 300, [] {});
    EXPECT_EQ(timers.nextDueTime(), 300);
    timers.stopTimer("early");
    EXPECT_EQ(timers.nextDueTime(), 500);
    timers.clear();
    EXPECT_FALSE(timers.hasTimers());
}

TEST(Timers, FiresAPeriodicTimerEveryPeriodUntilStopped) {
    Timers timers;
    int fired = 0;
    long long before = GetTimeMS();
    timers.addPeriodicTimer("tick", 100, [&] { fired++; });
    long long first = timers.nextDueTime();
    EXPECT_GE(first, before + 100);
    timers.fireTimersInternal(first - 1);
    EXPECT_EQ(fired, 0);
    timers.fireTimersInternal(first);
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(timers.nextDueTime(), first + 100);
    timers.fireTimersInternal(first + 100);
    EXPECT_EQ(fired, 2);
    timers.stopPeriodicTimer("tick");
    timers.fireTimersInternal(first + 1000);
    EXPECT_EQ(fired, 2);
}

TEST(Timers, FiresALatePeriodicTimerOnceInsteadOfCatchingUp) {
    Timers timers;
    int fired = 0;
    timers.addPeriodicTimer("tick", 100, [&] { fired++; });
    long long late = timers.nextDueTime() + 1050;
    timers.fireTimersInternal(late);
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(timers.nextDueTime(), late + 100);
    timers.fireTimersInternal(late);
    EXPECT_EQ(fired, 1);
}

TEST(Timers, LetsACallbackStopItsOwnPeriodicTimer) {
    Timers timers;
    int fired = 0;
    timers.addPeriodicTimer("self", 10, [&] {
        fired++;
        timers.stopPeriodicTimer("self");
    });
    timers.fireTimersInternal(timers.nextDueTime());
    EXPECT_EQ(fired, 1);
    EXPECT_FALSE(timers.hasTimers());
}

TEST(Timers, LetsACallbackRearmItsOwnName) {
    Timers timers;
    int fired = 0;
    timers.addTimer("again", 100, [&] {
        fired++;
        timers.addTimer("again", 500, [&] { fired += 10; });
    });
    timers.fireTimersInternal(100);
    EXPECT_EQ(fired, 1);
    ASSERT_TRUE(timers.hasTimers());
    EXPECT_EQ(timers.nextDueTime(), 500);
    timers.fireTimersInternal(500);
    EXPECT_EQ(fired, 11);
}

TEST(Timers, SkipsADueTimerStoppedByAnEarlierCallbackOfTheSamePass) {
    Timers timers;
    int fired = 0;
    timers.addTimer("a", 100, [&] {
        fired++;
        timers.stopTimer("b");
    });
    timers.addTimer("b", 100, [&] {
        fired++;
        timers.stopTimer("a");
    });
    timers.fireTimersInternal(100);
    EXPECT_EQ(fired, 1);
    EXPECT_FALSE(timers.hasTimers());
}

TEST(Timers, SkipsADueTimerReplacedByAnEarlierCallbackOfTheSamePass) {
    Timers timers;
    int replaced = 0, replacement = 0;
    timers.addTimer("first", 100, [&] { timers.addTimer("second", 1000, [&] { replacement++; }); });
    timers.addTimer("second", 100, [&] { replaced++; });
    timers.fireTimersInternal(100);
    EXPECT_EQ(replaced, 0);
    EXPECT_EQ(replacement, 0);
    EXPECT_EQ(timers.nextDueTime(), 1000);
}

TEST(Timers, RunsATimerAddedByACallbackOnALaterPass) {
    Timers timers;
    int added = 0;
    timers.addTimer("parent", 100, [&] { timers.addTimer("child", 100, [&] { added++; }); });
    timers.fireTimersInternal(100);
    EXPECT_EQ(added, 0);
    EXPECT_EQ(timers.nextDueTime(), 100);
    timers.fireTimersInternal(100);
    EXPECT_EQ(added, 1);
}

TEST(Timers, AcceptsTimersFromAnotherThreadWhileFiring) {
    Timers timers;
    constexpr int COUNT = 2000;
    std::atomic<int> fired{0};
    std::atomic<bool> done{false};
    std::thread adder([&] {
        for (int i = 0; i < COUNT; i++) {
            timers.addTimer("t" + std::to_string(i), i, [&] { fired++; });
        }
        done = true;
    });
    while (!done) {
        timers.fireTimersInternal(COUNT);
    }
    adder.join();
    timers.fireTimersInternal(COUNT);
    EXPECT_EQ(fired, COUNT);
    EXPECT_FALSE(timers.hasTimers());
}

} // namespace
