// Linked into a test build of XoMQSender: replaces the timer's clock before
// main runs by one that advances by a fixed step on every read. A run's total
// time is then exactly one step (one read at start, one at stop), so its
// report lines are known. The step in microseconds comes from the environment
// variable XOSENDER_CLOCK_STEP (default 0).
#include <cstdint>
#include <cstdlib>

#include "CHRTimer.h"

namespace {

int64_t g_step = 0;
int64_t g_now = 0;

bool readSteppingCounter(int64_t* ticks) {
    *ticks = g_now;
    g_now += g_step;
    return true;
}

// One tick per microsecond, as on Linux.
bool readMicrosecondFrequency(int64_t* ticksPerSecond) {
    *ticksPerSecond = 1000000;
    return true;
}

struct ClockInstaller {
    ClockInstaller() {
        const char* step = std::getenv("XOSENDER_CLOCK_STEP");
        g_step = step != nullptr ? std::strtoll(step, nullptr, 10) : 0;
        chrtimer::setClock(&readSteppingCounter, &readMicrosecondFrequency);
    }
};

const ClockInstaller g_clockInstaller;

}  // namespace
