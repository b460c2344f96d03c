#include "Measurement.h"

#include <cmath>

#include "LogReport.h"
#include "StopRequest.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#endif

namespace {

// The last stretch of a wait is spun, not slept: a sleep wakes up to some
// tens of microseconds late, more on a loaded machine. Longer waits sleep
// until this much before the due time, so they do not burn a CPU.
const std::chrono::microseconds kSpin(100);

void relax() {
#if defined(__x86_64__) || defined(_M_X64)
    _mm_pause();
#endif
}

}  // namespace

Measurement::Measurement(results::RunRecord& record, hdrlog::Writer* log)
    : m_record(record),
      m_log(log),
      m_histogram(record.settings.latencyHistogram),
      m_paced(record.settings.paced()),
      m_periodNanos(m_paced ? 1e9 / record.settings.sendRate : 0.0),
      m_intervalLength(std::chrono::seconds(record.settings.intervalSeconds())),
      m_progress(record.settings.progressSeconds > 0) {
    if (m_histogram) {
        m_record.histogram.emplace();
        if (m_paced) {
            m_record.uncorrected.emplace();
        }
    }
    if (m_paced) {
        m_record.pacing.emplace();
    }
}

void Measurement::start() {
    m_start = Clock::now();
    m_record.timerStarted = std::chrono::system_clock::now();
    m_intervalStart = m_start;
    m_lastProgress = m_start;
    if (m_histogram) {
        m_intervalEnd = m_start + m_intervalLength;
    }
    if (m_log != nullptr) {
        m_log->start(m_record.timerStarted);
    }
}

bool Measurement::waitUntilDue() {
    const auto offset = std::chrono::nanoseconds(
        static_cast<int64_t>(std::llround(static_cast<double>(m_scheduled) * m_periodNanos)));
    const Clock::time_point due = m_start + std::chrono::duration_cast<Clock::duration>(offset);
    results::RunRecord::Pacing& p = *m_record.pacing;
    // Late: the reply to the request before came after this one's due time.
    if (m_scheduled > 0 && m_lastReplyAt > due) {
        ++p.lateSends;
    }
    Clock::time_point now = Clock::now();
    while (now < due) {
        if (stoprequest::requested() != 0) {
            return false;
        }
        if (due - now > kSpin) {
            stoprequest::sleepUntil(due - kSpin);
        } else {
            relax();
        }
        now = Clock::now();
    }
    const uint64_t lag = micros(now - due);
    if (lag > p.maxLagMicros) {
        p.maxLagMicros = lag;
    }
    m_sentAt = now;
    m_dueAt = due;
    ++m_scheduled;
    return true;
}

void Measurement::recordScheduled(Clock::time_point replyAt) {
    m_currentScheduled.record(micros(replyAt - m_dueAt));
}

void Measurement::closeIntervals(Clock::time_point t, bool progress) {
    while (t >= m_intervalEnd) {
        closeInterval(m_intervalEnd);
        m_intervalStart = m_intervalEnd;
        m_intervalEnd += m_intervalLength;
    }
    if (progress && m_progress) {
        // One line for all the intervals that closed now, as of the last
        // one's end.
        const double seconds =
            std::chrono::duration<double>(m_intervalStart - m_lastProgress).count();
        const uint64_t count = m_record.histogram->count();
        logreport::progress(count, static_cast<double>(count - m_progressCount) / seconds,
                            &*m_record.histogram);
        m_lastProgress = m_intervalStart;
        m_progressCount = count;
    }
}

void Measurement::closeInterval(Clock::time_point end) {
    results::RunRecord::Interval interval;
    interval.startSeconds = std::chrono::duration<double>(m_intervalStart - m_start).count();
    interval.lengthSeconds = std::chrono::duration<double>(end - m_intervalStart).count();
    latency::Histogram& main = m_paced ? m_currentScheduled : m_current;
    interval.latency = main.snapshot();
    if (m_paced) {
        interval.uncorrected = m_current.snapshot();
    }
    if (m_log != nullptr) {
        m_log->interval(interval);
    }
    m_record.histogram->merge(main);
    main.reset();
    if (m_paced) {
        m_record.uncorrected->merge(m_current);
        m_current.reset();
    }
    m_record.intervals.push_back(std::move(interval));
}

void Measurement::finish() {
    if (m_finished) {
        return;
    }
    m_finished = true;
    if (!m_histogram || m_intervalEnd == Clock::time_point::max()) {
        return;  // no histogram, or the timer never started
    }
    const Clock::time_point now = Clock::now();
    closeIntervals(now, false);  // no progress line after the last request
    if (now > m_intervalStart) {
        closeInterval(now);
    }
}
