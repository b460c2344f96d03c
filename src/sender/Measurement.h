// What the timed loop measures around each request beyond the report: the
// latency of every request in the histogram of its interval, the schedule of
// a paced run (sendRate), and the interval log (histogramLog). It fills the
// run's record.
//
// It uses the two clock reads the latency needs, one before the send and one
// after the reply check; the interval a request belongs to is decided from
// the second. A request is recorded once, into its interval's histogram,
// which is added to the run's when the interval closes, so the closed loop
// costs what it cost before intervals existed. A paced run reads the clock
// as often as its wait needs and once after every reply.
#ifndef XOMQ_SENDER_MEASUREMENT_H
#define XOMQ_SENDER_MEASUREMENT_H

#include <chrono>
#include <cstdint>

#include "HistogramLog.h"
#include "LatencyHistogram.h"
#include "RunRecord.h"

class Measurement {
  public:
    using Clock = std::chrono::steady_clock;

    // For record.settings: its histogram (latencyHistogram = 1) and pacing
    // (sendRate); log, when not null, gets every interval as it closes. The
    // run's histograms are allocated here, before the timer starts.
    Measurement(results::RunRecord& record, hdrlog::Writer* log);
    Measurement(const Measurement&) = delete;
    Measurement& operator=(const Measurement&) = delete;

    // Whether a run with these settings needs one.
    static bool needed(const results::RunRecord::Settings& s) {
        return s.latencyHistogram || s.paced();
    }

    // Right after the timer started: the schedule's and the intervals' start.
    void start();

    // Right before the send. A paced run waits until the request is due;
    // false when a stop request came during the wait (the request is then
    // not sent).
    bool beforeSend() {
        if (m_paced) {
            return waitUntilDue();
        }
        m_sentAt = Clock::now();
        return true;
    }

    // Right after the reply check: the round trip into its interval.
    void afterReply() {
        const Clock::time_point replyAt = Clock::now();
        if (m_paced) {
            m_lastReplyAt = replyAt;
        }
        if (!m_histogram) {
            return;
        }
        if (replyAt >= m_intervalEnd) {
            closeIntervals(replyAt, true);
        }
        m_current.record(micros(replyAt - m_sentAt));
        if (m_paced) {
            recordScheduled(replyAt);
        }
    }

    // At the end of the timed loop, or when it ended early: the last
    // interval, as far as it got, closes and every interval is in the run's
    // histograms. Once; later calls do nothing.
    void finish();

  private:
    static uint64_t micros(Clock::duration d) {
        return static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(d).count());
    }
    bool waitUntilDue();
    void recordScheduled(Clock::time_point replyAt);
    // Closes every interval that ended at or before t; with progress, and
    // progressSeconds set, then writes a progress line.
    void closeIntervals(Clock::time_point t, bool progress);
    void closeInterval(Clock::time_point end);

    results::RunRecord& m_record;
    hdrlog::Writer* m_log;
    const bool m_histogram;
    const bool m_paced;
    const double m_periodNanos;  // 1e9 / sendRate
    const Clock::duration m_intervalLength;
    const bool m_progress;  // a progress line at every interval's end

    Clock::time_point m_start;
    Clock::time_point m_sentAt;
    Clock::time_point m_dueAt;
    Clock::time_point m_lastReplyAt;
    uint64_t m_scheduled = 0;  // requests sent so far, the index of the next one

    // The intervals' histograms: the latency from the actual send, and in a
    // paced run the one from the scheduled send.
    latency::Histogram m_current;
    latency::Histogram m_currentScheduled;
    Clock::time_point m_intervalStart;
    Clock::time_point m_intervalEnd = Clock::time_point::max();
    Clock::time_point m_lastProgress;
    uint64_t m_progressCount = 0;
    bool m_finished = false;
};

#endif  // XOMQ_SENDER_MEASUREMENT_H
