// The run's record as the log reports it: the report after the last request,
// the progress lines during the warm-up and the timed loop, and the line of a
// run that a stop request ended. Every line goes through its TraceSite.
#ifndef XOMQ_SENDER_LOGREPORT_H
#define XOMQ_SENDER_LOGREPORT_H

#include <chrono>
#include <cstdint>

#include "LatencyHistogram.h"
#include "RunRecord.h"

namespace logreport {

// The throughput report of a completed run, then, with any measurement key
// set, the system error replies and the latency distribution; in a paced
// run the latency from the scheduled and from the actual send, the late
// sends, and whether the run kept up with its rate.
void report(const results::RunRecord& record);

// What the service's instances counted during the run (serviceStats = 1):
// per instance its requests, their share and its mean processing time, and
// the round trip split into the service's time and transport and router;
// or one line saying why there are no such figures.
void serviceStats(const results::RunRecord& record);

// "Interrupted by <request> after <n> requests and <t> microseconds", or,
// when the stop came during the warm-up, the warm-up requests done.
void interrupted(const results::RunRecord& record, bool duringWarmUp);

// The timed loop's progress line: count requests so far, at rate since the
// last line, and with a histogram its p99 so far.
void progress(uint64_t count, double rate, const latency::Histogram* soFar);

// A progress line every few seconds, written from the loop between requests
// with a clock read of its own (the timed loop with a histogram has its
// lines from the intervals instead).
class ProgressLines {
  public:
    // For the warm-up (warmUpAmount > 0) or the timed loop.
    ProgressLines(int32_t seconds, int32_t warmUpAmount);

    // After each request but the last: a line when the period has passed.
    void after(const results::RunRecord& record);

  private:
    using SteadyClock = std::chrono::steady_clock;

    SteadyClock::duration m_period;
    SteadyClock::time_point m_last;
    uint32_t m_lastCount = 0;
    int32_t m_warmUpAmount;
};

}  // namespace logreport

#endif  // XOMQ_SENDER_LOGREPORT_H
