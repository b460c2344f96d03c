#include "CHRTimer.h"

#include <cstring>

#include "TraceSite.h"

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <time.h>
#endif

namespace chrtimer {

#if defined(_WIN32)

bool platformReadCounter(int64_t* ticks) {
    LARGE_INTEGER value;
    if (!QueryPerformanceCounter(&value)) {
        return false;
    }
    *ticks = static_cast<int64_t>(value.QuadPart);
    return true;
}

bool platformReadFrequency(int64_t* ticksPerSecond) {
    LARGE_INTEGER value;
    if (!QueryPerformanceFrequency(&value)) {
        return false;
    }
    *ticksPerSecond = static_cast<int64_t>(value.QuadPart);
    return true;
}

#else

bool platformReadCounter(int64_t* ticks) {
    struct timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) {
        return false;
    }
    *ticks = static_cast<int64_t>(ts.tv_sec) * 1000000 + static_cast<int64_t>(ts.tv_nsec) / 1000;
    return true;
}

// The Linux counter ticks in microseconds.
bool platformReadFrequency(int64_t* ticksPerSecond) {
    *ticksPerSecond = 1000000;
    return true;
}

#endif

namespace {
ReadCounterFn g_readCounter = &platformReadCounter;
ReadFrequencyFn g_readFrequency = &platformReadFrequency;
}  // namespace

void setClock(ReadCounterFn readCounter, ReadFrequencyFn readFrequency) {
    g_readCounter = readCounter != nullptr ? readCounter : &platformReadCounter;
    g_readFrequency = readFrequency != nullptr ? readFrequency : &platformReadFrequency;
}

}  // namespace chrtimer

namespace {

const char kSource[] = "CHRTimer";
const int64_t kMicrosecPerSec = 1000000;
// Largest tick count whose product with 1000000 fits a signed 64-bit value.
const int64_t kExactLimit = INT64_MAX / kMicrosecPerSec;

// One counter read; a failed read counts as 0.
bool readCounter(int64_t* ticks) {
    *ticks = 0;
    if (!chrtimer::g_readCounter(ticks)) {
        *ticks = 0;
        return false;
    }
    return true;
}

// Differences and sums of counter readings wrap instead of overflowing, so a
// faulty counter can make the result meaningless but never undefined.
int64_t wrapSub(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}
int64_t wrapAdd(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

// Ticks * 1000000 / frequency, truncating toward zero. Beyond the range where
// the product fits, whole seconds are split off first and the result saturates
// instead of overflowing.
int64_t ticksToMicrosec(int64_t ticks, int64_t frequency) {
    if (ticks >= -kExactLimit && ticks <= kExactLimit) {
        return ticks * kMicrosecPerSec / frequency;
    }
    const int64_t seconds = ticks / frequency;
    const int64_t rest = ticks % frequency;
    if (seconds >= kExactLimit) {
        return INT64_MAX;
    }
    if (seconds <= -kExactLimit) {
        return INT64_MIN;
    }
    const int64_t restMicrosec = frequency <= kExactLimit ? rest * kMicrosecPerSec / frequency
                                                          : rest / (frequency / kMicrosecPerSec);
    return seconds * kMicrosecPerSec + restMicrosec;
}

// The "%d" of the log lines gets the low 32 bits of a 64-bit time.
int32_t low32(uint64_t value) {
    return static_cast<int32_t>(static_cast<uint32_t>(value & 0xFFFFFFFFu));
}
int32_t low32(int64_t value) {
    return low32(static_cast<uint64_t>(value));
}

}  // namespace

CHRTimer::CHRTimer() : m_ticksSum(0), m_startTicks(0), m_timerStarted(0), m_frequency(0) {
    m_isErr = 0;
    int64_t frequency = 0;
    const bool frequencyRead = chrtimer::g_readFrequency(&frequency);
    m_frequency = frequencyRead ? frequency : 0;
    m_count = 0;
    m_isErr = frequencyRead ? 0 : 1;
    std::memset(m_name, 0, sizeof m_name);
}

void CHRTimer::setName(const char* name) {
    // A longer name is cut to the first 99 characters so that m_name always
    // keeps its terminator.
    size_t length = 0;
    if (name != nullptr) {
        while (length < sizeof m_name - 1 && name[length] != '\0') {
            ++length;
        }
        std::memcpy(m_name, name, length);
    }
    m_name[length] = '\0';
}

int32_t CHRTimer::start() {
    if (m_isErr != 0) {
        XO_LOG_ERROR_EX(kSource, "Can't do start because m_isErr is already false");
        return m_isErr;
    }
    if (m_timerStarted != 0) {
        XO_LOG_ERROR_EX(kSource, "Can't do start because m_timerStarted is true");
        return 1;
    }
    m_timerStarted = 1;
    if (!readCounter(&m_startTicks)) {
        XO_LOG_ERROR_EX(kSource,
                        "Can't do start because QueryPerformanceCounter returned %d not true", 0);
        return 1;
    }
    return 0;
}

int32_t CHRTimer::startCounted() {
    ++m_count;
    return start();
}

int32_t CHRTimer::stop(bool report) {
    if (m_isErr != 0) {
        XO_LOG_ERROR_EX(kSource, "Can't do stop because m_isErr is already false");
        return m_isErr;
    }
    if (m_timerStarted == 0) {
        XO_LOG_ERROR_EX(kSource, "Can't do stop because m_timerStarted is not true");
        return 1;
    }
    m_timerStarted = 0;
    int32_t rc = 0;
    int64_t now = 0;
    if (!readCounter(&now)) {
        XO_LOG_ERROR_EX(kSource,
                        "Can't do stop because QueryPerformanceCounter returned %d not true", 0);
        rc = 1;
    }
    const int64_t interval = wrapSub(now, m_startTicks);
    m_ticksSum = wrapAdd(m_ticksSum, interval);
    if (report) {
        XO_LOG_INFO_EX(kSource, "cur time for %s %d", m_name, low32(toMicrosec(interval)));
        XO_LOG_INFO_EX(kSource, "avg time for %s %d", m_name, low32(getAvgTimeInMicrosec()));
    }
    return rc;
}

int32_t CHRTimer::getCurTimeSumInMicrosec(int64_t* microsec) {
    int64_t ignored = 0;
    int64_t* out = microsec != nullptr ? microsec : &ignored;
    *out = 0;
    if (m_isErr != 0) {
        XO_LOG_ERROR_EX(kSource,
                        "Can't do getCurTimeSumInMicrosec because m_isErr is already false");
        return m_isErr;
    }
    if (m_timerStarted == 0) {
        XO_LOG_ERROR_EX(kSource, "Can't do getCurTimeSumInMicrosec because timer is not started");
        return 1;
    }
    int32_t rc = 0;
    int64_t now = 0;
    if (!readCounter(&now)) {
        XO_LOG_ERROR_EX(
            kSource,
            "Can't do getCurTimeSumInMicrosec because QueryPerformanceCounter returned %d not true",
            0);
        rc = 1;
    }
    const int64_t elapsed = toMicrosec(wrapSub(now, m_startTicks));
    XO_LOG_INFO_EX(kSource, "cur time for %s %d", m_name, low32(elapsed));
    *out = elapsed;
    return rc;
}

uint64_t CHRTimer::getTimeSumInMicrosec() const {
    return static_cast<uint64_t>(toMicrosec(m_ticksSum));
}

uint64_t CHRTimer::getAvgTimeInMicrosec() const {
    if (m_count == 0) {
        return 0;
    }
    return getTimeSumInMicrosec() / m_count;
}

int64_t CHRTimer::toMicrosec(int64_t ticks) const {
    // After a failed frequency read (or a frequency of 0 or less from a faulty
    // source) there is nothing valid to divide by: every time is 0.
    if (m_isErr != 0 || m_frequency <= 0) {
        return 0;
    }
    return ticksToMicrosec(ticks, m_frequency);
}
