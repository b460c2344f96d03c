// The run's record as the log reports it: the report after the last request,
// the progress lines during the timed loop, and the line of a run that a stop
// request ended. Every line goes through its TraceSite.
#ifndef XOMQ_SENDER_LOGREPORT_H
#define XOMQ_SENDER_LOGREPORT_H

#include <chrono>
#include <cstdint>

#include "RunRecord.h"

namespace logreport {

// The throughput report of a completed run, then, with any measurement key
// set, the system error replies and the latency distribution.
void report(const results::RunRecord& record);

// What the service's instances counted during the run (serviceStats = 1):
// per instance its requests, their share and its mean processing time, and
// the round trip split into the service's time and transport and router;
// or one line saying why there are no such figures.
void serviceStats(const results::RunRecord& record);

// "Interrupted by <request> after <n> requests and <t> microseconds".
void interrupted(const results::RunRecord& record);

// A progress line every few seconds, written from the loop between requests.
class ProgressLines {
  public:
    explicit ProgressLines(int32_t seconds);

    // After each request but the last: a line when the period has passed.
    void after(const results::RunRecord& record);

  private:
    using SteadyClock = std::chrono::steady_clock;

    SteadyClock::duration m_period;
    SteadyClock::time_point m_last;
    uint32_t m_lastCount = 0;
};

}  // namespace logreport

#endif  // XOMQ_SENDER_LOGREPORT_H
