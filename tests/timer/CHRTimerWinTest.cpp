// CHRTimer on the Windows clock: QueryPerformanceCounter ticks at the rate
// QueryPerformanceFrequency reports, read once when a timer is constructed.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "CHRTimer.h"
#include "ScriptedXoSys.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

int64_t qpc() {
    LARGE_INTEGER value;
    EXPECT_TRUE(QueryPerformanceCounter(&value));
    return static_cast<int64_t>(value.QuadPart);
}

int64_t qpf() {
    LARGE_INTEGER value;
    EXPECT_TRUE(QueryPerformanceFrequency(&value));
    return static_cast<int64_t>(value.QuadPart);
}

// Ticks to microseconds without overflow for the spans measured here.
int64_t microsec(int64_t ticks, int64_t frequency) {
    return ticks / frequency * 1000000 + ticks % frequency * 1000000 / frequency;
}

class CHRTimerWindowsClock : public ::testing::Test {
  protected:
    void SetUp() override {
        xoscript::load("");
        chrtimer::setClock(nullptr, nullptr);
    }
    void TearDown() override { chrtimer::setClock(nullptr, nullptr); }
};

TEST_F(CHRTimerWindowsClock, ReadsArePerformanceCounterAndFrequency) {
    int64_t frequency = 0;
    ASSERT_TRUE(chrtimer::platformReadFrequency(&frequency));
    EXPECT_EQ(frequency, qpf());
    EXPECT_GT(frequency, 0);

    for (int i = 0; i < 3; ++i) {
        const int64_t before = qpc();
        int64_t ticks = -1;
        ASSERT_TRUE(chrtimer::platformReadCounter(&ticks));
        const int64_t after = qpc();
        EXPECT_GE(ticks, before);
        EXPECT_LE(ticks, after);
        Sleep(2);
    }
}

// The timer's interval lies between the spans of two independent counter
// measurements, one inside start/stop and one around it.
TEST_F(CHRTimerWindowsClock, IntervalsAgreeWithTheCounter) {
    const int64_t frequency = qpf();
    CHRTimer timer;
    timer.setName("win");

    const int64_t outerStart = qpc();
    ASSERT_EQ(timer.start(), 0);
    const int64_t innerStart = qpc();
    Sleep(30);
    const int64_t innerMid = qpc();
    int64_t current = -1;
    ASSERT_EQ(timer.getCurTimeSumInMicrosec(&current), 0);
    const int64_t outerMid = qpc();
    Sleep(20);
    const int64_t innerEnd = qpc();
    ASSERT_EQ(timer.stop(false), 0);
    const int64_t outerEnd = qpc();

    EXPECT_GE(current, microsec(innerMid - innerStart, frequency));
    EXPECT_LE(current, microsec(outerMid - outerStart, frequency) + 1);
    EXPECT_GE(microsec(innerMid - innerStart, frequency), 25000);

    const uint64_t total = timer.getTimeSumInMicrosec();
    EXPECT_GE(total, static_cast<uint64_t>(microsec(innerEnd - innerStart, frequency)));
    EXPECT_LE(total, static_cast<uint64_t>(microsec(outerEnd - outerStart, frequency) + 1));

    EXPECT_THAT(xoscript::logs(),
                ElementsAre("InfoEx CHRTimer: cur time for win " + std::to_string(current)));
}

// Counter reads made while the frequency read fails; none are expected.
int g_counterReads = 0;
bool countingCounter(int64_t* ticks) {
    ++g_counterReads;
    return chrtimer::platformReadCounter(ticks);
}
bool failingFrequency(int64_t*) {
    return false;
}

// A timer whose frequency read failed stays in error for its whole life, even
// once the frequency reads again; timers constructed later work.
TEST_F(CHRTimerWindowsClock, FailedFrequencyReadIsPermanentForThatTimer) {
    g_counterReads = 0;
    chrtimer::setClock(&countingCounter, &failingFrequency);
    CHRTimer broken;
    chrtimer::setClock(&countingCounter, nullptr);

    EXPECT_EQ(broken.start(), 1);
    EXPECT_EQ(broken.stop(false), 1);
    int64_t current = 5;
    EXPECT_EQ(broken.getCurTimeSumInMicrosec(&current), 1);
    EXPECT_EQ(current, 0);
    EXPECT_EQ(broken.getTimeSumInMicrosec(), 0u);
    EXPECT_EQ(g_counterReads, 0);
    EXPECT_THAT(xoscript::logs(),
                ElementsAre("ErrorEx CHRTimer: Can't do start because m_isErr is already false",
                            "ErrorEx CHRTimer: Can't do stop because m_isErr is already false",
                            "ErrorEx CHRTimer: Can't do getCurTimeSumInMicrosec because m_isErr is "
                            "already false"));

    xoscript::load("");
    CHRTimer working;
    EXPECT_EQ(working.start(), 0);
    Sleep(5);
    EXPECT_EQ(working.stop(false), 0);
    EXPECT_EQ(g_counterReads, 2);
    EXPECT_GE(working.getTimeSumInMicrosec(), 4000u);
    EXPECT_LT(working.getTimeSumInMicrosec(), 10000000u);
    EXPECT_THAT(xoscript::logs(), IsEmpty());
}

}  // namespace
