// High-resolution interval timer.
//
// Sums the lengths of successive start/stop intervals in whole microseconds,
// counts the starts made through startCounted for an average, and can log the
// last interval and the average under a name. Refused and failed operations
// are logged under the source tag "CHRTimer" and return 1; successful ones 0.
// The whole interface is the timer's documented one, kept also where XoMQSender does not call it.
#ifndef XOMQ_TIMER_CHRTIMER_H
#define XOMQ_TIMER_CHRTIMER_H

#include <cstdint>

class CHRTimer {
  public:
    CHRTimer();

    // Label used in the report lines. At most 99 characters are kept.
    void setName(const char* name);

    // Begins an interval.
    int32_t start();
    // Adds 1 to the count (also when the start is then refused or fails) and starts.
    int32_t startCounted();
    // Ends the running interval and adds it to the sum. With report set, logs the
    // interval and the average.
    int32_t stop(bool report);
    // Microseconds elapsed in the running interval (earlier intervals are not
    // included); the timer keeps running. *microsec is 0 when the timer is refused
    // (error state or not running); after a failed counter read it holds the
    // interval from a reading of 0 and the result is 1.
    int32_t getCurTimeSumInMicrosec(int64_t* microsec);

    uint32_t getCount() const { return m_count; }
    // Sum of all stopped intervals in microseconds.
    uint64_t getTimeSumInMicrosec() const;
    // The sum divided by the count; 0 while nothing was counted.
    uint64_t getAvgTimeInMicrosec() const;

  private:
    int64_t toMicrosec(int64_t ticks) const;

    int64_t m_ticksSum;
    int64_t m_startTicks;
    int32_t m_timerStarted;
    int64_t m_frequency;
    int32_t m_isErr;
    uint32_t m_count;
    char m_name[100];
};

namespace chrtimer {

// Clock functions; each returns false when the platform call fails.
using ReadCounterFn = bool (*)(int64_t* ticks);
using ReadFrequencyFn = bool (*)(int64_t* ticksPerSecond);

// The platform clock. Windows: QueryPerformanceCounter/QueryPerformanceFrequency.
// Linux: CLOCK_MONOTONIC in microseconds, so the frequency is 1000000.
bool platformReadCounter(int64_t* ticks);
bool platformReadFrequency(int64_t* ticksPerSecond);

// Test hook: replaces the clock used by timers. The frequency is read when a
// timer is constructed, the counter once per timing operation. A null function
// restores the platform one.
void setClock(ReadCounterFn readCounter, ReadFrequencyFn readFrequency);

}  // namespace chrtimer

#endif  // XOMQ_TIMER_CHRTIMER_H
