// CHRTimer against a fake clock and the scripted XoSys log.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "CHRTimer.h"
#include "ScriptedXoSys.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

// A counter reading handed out by the fake clock: a value, or a failed read.
struct Reading {
    int64_t ticks;
    bool ok;
};
Reading at(int64_t ticks) {
    return Reading{ticks, true};
}
const Reading kFail = {0, false};

struct FakeClock {
    std::vector<Reading> readings;
    size_t next = 0;
    bool frequencyOk = true;
    int64_t frequency = 1000000;
};
FakeClock g_clock;

bool fakeCounter(int64_t* ticks) {
    if (g_clock.next >= g_clock.readings.size()) {
        ADD_FAILURE() << "unexpected counter read";
        return false;
    }
    const Reading r = g_clock.readings[g_clock.next++];
    if (r.ok) {
        *ticks = r.ticks;
    }
    return r.ok;
}

bool fakeFrequency(int64_t* ticksPerSecond) {
    if (g_clock.frequencyOk) {
        *ticksPerSecond = g_clock.frequency;
    }
    return g_clock.frequencyOk;
}

const char kStopIdle[] = "ErrorEx CHRTimer: Can't do stop because m_timerStarted is not true";
const char kCurIdle[] =
    "ErrorEx CHRTimer: Can't do getCurTimeSumInMicrosec because timer is not started";
const char kStartRunning[] = "ErrorEx CHRTimer: Can't do start because m_timerStarted is true";

class CHRTimerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        xoscript::load("");
        g_clock = FakeClock();
        chrtimer::setClock(&fakeCounter, &fakeFrequency);
    }
    void TearDown() override {
        chrtimer::setClock(nullptr, nullptr);
        EXPECT_EQ(g_clock.next, g_clock.readings.size()) << "counter readings left unused";
    }
    void readings(std::vector<Reading> r) {
        g_clock.readings = std::move(r);
        g_clock.next = 0;
    }
};

TEST_F(CHRTimerTest, NewTimerRefusesStopAndCurrentTime) {
    CHRTimer timer;
    EXPECT_EQ(timer.getTimeSumInMicrosec(), 0u);
    EXPECT_EQ(timer.getAvgTimeInMicrosec(), 0u);
    EXPECT_EQ(timer.getCount(), 0u);
    EXPECT_EQ(timer.stop(false), 1);
    int64_t cur = 99;
    EXPECT_EQ(timer.getCurTimeSumInMicrosec(&cur), 1);
    EXPECT_EQ(cur, 0);
    EXPECT_THAT(xoscript::logs(), ElementsAre(kStopIdle, kCurIdle));
}

TEST_F(CHRTimerTest, SecondStartIsRefusedAndKeepsTheFirstReading) {
    readings({at(100), at(250)});
    CHRTimer timer;
    EXPECT_EQ(timer.start(), 0);
    EXPECT_EQ(timer.start(), 1);
    EXPECT_EQ(timer.stop(false), 0);
    EXPECT_EQ(timer.getTimeSumInMicrosec(), 150u);
    EXPECT_THAT(xoscript::logs(), ElementsAre(kStartRunning));
    // Idle again: a second stop is refused.
    EXPECT_EQ(timer.stop(false), 1);
}

TEST_F(CHRTimerTest, CountedIntervalsGiveSumCountAndAverage) {
    readings({at(0), at(10), at(100), at(120), at(1000), at(1030)});
    CHRTimer timer;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(timer.startCounted(), 0);
        EXPECT_EQ(timer.stop(false), 0);
    }
    EXPECT_EQ(timer.getTimeSumInMicrosec(), 60u);
    EXPECT_EQ(timer.getCount(), 3u);
    EXPECT_EQ(timer.getAvgTimeInMicrosec(), 20u);
    EXPECT_THAT(xoscript::logs(), IsEmpty());
}

TEST_F(CHRTimerTest, UncountedStartsAddTimeButNotCount) {
    readings({at(0), at(10), at(50), at(70), at(100), at(103)});
    CHRTimer timer;
    timer.start();
    timer.stop(false);
    EXPECT_EQ(timer.getTimeSumInMicrosec(), 10u);
    EXPECT_EQ(timer.getAvgTimeInMicrosec(), 0u);

    timer.startCounted();
    // A refused counted start is still counted.
    EXPECT_EQ(timer.startCounted(), 1);
    timer.stop(false);
    EXPECT_EQ(timer.getCount(), 2u);
    timer.start();
    timer.stop(false);
    EXPECT_EQ(timer.getTimeSumInMicrosec(), 33u);
    EXPECT_EQ(timer.getAvgTimeInMicrosec(), 16u);
    EXPECT_THAT(xoscript::logs(), ElementsAre(kStartRunning));
}

TEST_F(CHRTimerTest, ReportLinesWithAndWithoutName) {
    readings({at(0), at(7), at(10), at(20), at(40), at(70)});
    CHRTimer timer;
    timer.start();
    EXPECT_EQ(timer.stop(true), 0);
    timer.setName("loop");
    timer.startCounted();
    timer.stop(false);
    timer.startCounted();
    timer.stop(true);
    EXPECT_THAT(xoscript::logs(),
                ElementsAre("InfoEx CHRTimer: cur time for  7", "InfoEx CHRTimer: avg time for  0",
                            "InfoEx CHRTimer: cur time for loop 30",
                            "InfoEx CHRTimer: avg time for loop 23"));
}

TEST_F(CHRTimerTest, CurrentTimeExcludesEarlierIntervalsAndKeepsRunning) {
    readings({at(0), at(10), at(100), at(145), at(160)});
    CHRTimer timer;
    timer.setName("t");
    timer.start();
    timer.stop(false);
    timer.start();
    int64_t cur = 0;
    EXPECT_EQ(timer.getCurTimeSumInMicrosec(&cur), 0);
    EXPECT_EQ(cur, 45);
    EXPECT_EQ(timer.getTimeSumInMicrosec(), 10u);
    EXPECT_EQ(timer.stop(false), 0);
    EXPECT_EQ(timer.getTimeSumInMicrosec(), 70u);
    EXPECT_THAT(xoscript::logs(), ElementsAre("InfoEx CHRTimer: cur time for t 45"));
}

TEST_F(CHRTimerTest, LongIntervalIsFullInGettersAndLow32BitsInLines) {
    const int64_t kLong = 3000000000;  // 50 minutes in microseconds
    readings({at(5), at(5 + kLong), at(5 + kLong)});
    CHRTimer timer;
    timer.startCounted();
    int64_t cur = 0;
    timer.getCurTimeSumInMicrosec(&cur);
    EXPECT_EQ(cur, kLong);
    timer.stop(true);
    EXPECT_EQ(timer.getTimeSumInMicrosec(), 3000000000u);
    EXPECT_EQ(timer.getAvgTimeInMicrosec(), 3000000000u);
    EXPECT_THAT(xoscript::logs(), ElementsAre("InfoEx CHRTimer: cur time for  -1294967296",
                                              "InfoEx CHRTimer: cur time for  -1294967296",
                                              "InfoEx CHRTimer: avg time for  -1294967296"));
}

TEST_F(CHRTimerTest, ConversionMultipliesFirstAndTruncatesTowardZero) {
    struct Case {
        int64_t frequency;
        int64_t from;
        int64_t to;
        uint64_t microsec;
    };
    const Case cases[] = {
        {10000000, 0, 25, 2},                          // 2.5 us
        {3, 0, 1, 333333},                             // division after the multiplication
        {3, 10, 9, 0 - uint64_t{333333}},              // -333333.3 truncates toward zero
        {10000000, 0, 10000000000000, 1000000000000},  // product beyond 64 bits
        {1000000, 0, 9223372036854, 9223372036854},    // largest exact tick count
    };
    for (const Case& c : cases) {
        g_clock.frequency = c.frequency;
        readings({at(c.from), at(c.to)});
        CHRTimer timer;
        timer.start();
        timer.stop(false);
        EXPECT_EQ(timer.getTimeSumInMicrosec(), c.microsec) << c.frequency << " " << c.to;
    }
}

TEST_F(CHRTimerTest, NamesUpTo99CharactersAreKept) {
    const std::string name99(99, 'n');
    const std::string name150 = std::string(99, 'a') + std::string(51, 'b');
    readings({at(0), at(5), at(0), at(6)});
    CHRTimer timer;
    timer.setName(name99.c_str());
    timer.start();
    timer.stop(true);
    timer.setName(name150.c_str());
    timer.start();
    timer.stop(true);
    timer.setName("");
    timer.getCurTimeSumInMicrosec(nullptr);
    const std::vector<std::string> logs = xoscript::logs();
    ASSERT_EQ(logs.size(), 5u);
    EXPECT_EQ(logs[0], "InfoEx CHRTimer: cur time for " + name99 + " 5");
    EXPECT_EQ(logs[2], "InfoEx CHRTimer: cur time for " + std::string(99, 'a') + " 6");
    EXPECT_EQ(logs[4], kCurIdle);
}

TEST_F(CHRTimerTest, FailedCounterReadsAreReportedAndStillChangeState) {
    readings({kFail, at(50), at(100), kFail, at(200), kFail});
    CHRTimer timer;
    // A failed start still leaves the timer running, from a reading of 0.
    EXPECT_EQ(timer.start(), 1);
    EXPECT_EQ(timer.start(), 1);
    EXPECT_EQ(timer.stop(false), 0);
    EXPECT_EQ(timer.getTimeSumInMicrosec(), 50u);

    // A failed stop still ends the interval.
    timer.start();
    EXPECT_EQ(timer.stop(false), 1);
    EXPECT_EQ(timer.stop(false), 1);
    EXPECT_EQ(timer.getTimeSumInMicrosec(), uint64_t{50} - uint64_t{100});

    timer.start();
    int64_t cur = 7;
    EXPECT_EQ(timer.getCurTimeSumInMicrosec(&cur), 1);
    EXPECT_EQ(cur, -200);
    EXPECT_THAT(
        xoscript::logs(),
        ElementsAre(
            "ErrorEx CHRTimer: Can't do start because QueryPerformanceCounter returned 0 not true",
            kStartRunning,
            "ErrorEx CHRTimer: Can't do stop because QueryPerformanceCounter returned 0 not true",
            kStopIdle,
            "ErrorEx CHRTimer: Can't do getCurTimeSumInMicrosec because QueryPerformanceCounter "
            "returned 0 not true",
            "InfoEx CHRTimer: cur time for  -200"));
}

TEST_F(CHRTimerTest, FailedFrequencyReadRefusesEverything) {
    g_clock.frequencyOk = false;
    CHRTimer timer;
    timer.setName("x");
    EXPECT_EQ(timer.start(), 1);
    EXPECT_EQ(timer.startCounted(), 1);
    EXPECT_EQ(timer.stop(true), 1);
    int64_t cur = 5;
    EXPECT_EQ(timer.getCurTimeSumInMicrosec(&cur), 1);
    EXPECT_EQ(cur, 0);
    EXPECT_EQ(timer.getCount(), 1u);
    EXPECT_EQ(timer.getTimeSumInMicrosec(), 0u);
    EXPECT_EQ(timer.getAvgTimeInMicrosec(), 0u);
    EXPECT_THAT(xoscript::logs(),
                ElementsAre("ErrorEx CHRTimer: Can't do start because m_isErr is already false",
                            "ErrorEx CHRTimer: Can't do start because m_isErr is already false",
                            "ErrorEx CHRTimer: Can't do stop because m_isErr is already false",
                            "ErrorEx CHRTimer: Can't do getCurTimeSumInMicrosec because m_isErr is "
                            "already false"));
}

TEST_F(CHRTimerTest, UnusableFrequencyGivesZeroTimes) {
    g_clock.frequency = 0;
    readings({at(0), at(10), at(20)});
    CHRTimer timer;
    timer.startCounted();
    int64_t cur = 5;
    EXPECT_EQ(timer.getCurTimeSumInMicrosec(&cur), 0);
    EXPECT_EQ(cur, 0);
    timer.stop(false);
    EXPECT_EQ(timer.getTimeSumInMicrosec(), 0u);
    EXPECT_EQ(timer.getAvgTimeInMicrosec(), 0u);
}

TEST_F(CHRTimerTest, MessagesHonourTheirLogFlag) {
    CHRTimer timer;
    *xoscript::logFlag("Can't do stop because m_timerStarted is not true") = 0;
    EXPECT_EQ(timer.stop(false), 1);
    EXPECT_EQ(timer.stop(false), 1);
    EXPECT_THAT(xoscript::logs(), IsEmpty());
    *xoscript::logFlag("Can't do stop because m_timerStarted is not true") = 1;
    timer.stop(false);
    EXPECT_THAT(xoscript::logs(), ElementsAre(kStopIdle));
}

TEST(CHRTimerPlatformClock, MeasuresASleepWithinBounds) {
    xoscript::load("");
    chrtimer::setClock(nullptr, nullptr);
    int64_t frequency = 0;
    ASSERT_TRUE(chrtimer::platformReadFrequency(&frequency));
#if !defined(_WIN32)
    EXPECT_EQ(frequency, 1000000);
#endif
    CHRTimer timer;
    ASSERT_EQ(timer.start(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(timer.stop(false), 0);
    EXPECT_GE(timer.getTimeSumInMicrosec(), 4000u);
    EXPECT_LT(timer.getTimeSumInMicrosec(), 10000000u);
    EXPECT_THAT(xoscript::logs(), IsEmpty());
}

}  // namespace
