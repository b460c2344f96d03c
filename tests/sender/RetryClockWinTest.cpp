// The connect retry loop's Windows clock and pause: GetTickCount and
// Sleep(300), checked against the performance counter.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>

#include "MQConnection.h"

namespace {

double counterMillis(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) * 1000.0 /
           static_cast<double>(frequency.QuadPart);
}

TEST(RetryClockWindows, ReadsTheTickCount) {
    for (int i = 0; i < 5; ++i) {
        const uint32_t before = GetTickCount();
        const uint32_t reading = retryClockMs();
        const uint32_t after = GetTickCount();
        // Modulo 2^32, so that a wrap of the tick count between the reads
        // does no harm.
        EXPECT_LE(static_cast<uint32_t>(reading - before), static_cast<uint32_t>(after - before))
            << "before " << before << ", reading " << reading << ", after " << after;
        Sleep(20);
    }
}

TEST(RetryClockWindows, PauseLastsThreeHundredMilliseconds) {
    for (int i = 0; i < 2; ++i) {
        LARGE_INTEGER start;
        LARGE_INTEGER end;
        const uint32_t ticksBefore = GetTickCount();
        QueryPerformanceCounter(&start);
        retryPause();
        QueryPerformanceCounter(&end);
        const uint32_t ticksAfter = GetTickCount();

        const double millis = counterMillis(start, end);
        EXPECT_GE(millis, 290.0);
        EXPECT_LT(millis, 1500.0);
        // The deadline is computed from tick counts: a pause must move them on
        // by about as much (their granularity is up to 16 ms).
        EXPECT_GE(ticksAfter - ticksBefore, 280u);
        EXPECT_LT(ticksAfter - ticksBefore, 1600u);
    }
}

}  // namespace
