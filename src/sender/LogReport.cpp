#include "LogReport.h"

#include "TraceSite.h"

namespace logreport {

namespace {

// Below this share of the asked rate a paced run says it could not keep up.
const double kKeptUp = 0.99;

void logLatency(const latency::Histogram& h) {
    const latency::Histogram::Summary s = h.summary();
    XO_LOG_INFO(
        "Latency in microseconds: min %I64u, p50 %I64u, p90 %I64u, p99 %I64u, "
        "p99.9 %I64u, p99.99 %I64u, max %I64u",
        s.min, s.p50, s.p90, s.p99, s.p999, s.p9999, s.max);
    XO_LOG_INFO("Latency mean %f microseconds, standard deviation %f microseconds", s.mean,
                s.stddev);
}

// A paced run's two distributions; which is "scheduled" or "actual".
void logFrom(const char* which, const latency::Histogram& h) {
    const latency::Histogram::Summary s = h.summary();
    XO_LOG_INFO(
        "Latency from the %s send in microseconds: min %I64u, p50 %I64u, p90 %I64u, "
        "p99 %I64u, p99.9 %I64u, p99.99 %I64u, max %I64u",
        which, s.min, s.p50, s.p90, s.p99, s.p999, s.p9999, s.max);
    XO_LOG_INFO(
        "Latency from the %s send: mean %f microseconds, standard deviation %f microseconds", which,
        s.mean, s.stddev);
}

void logPacing(const results::RunRecord& r) {
    XO_LOG_INFO("%I64u late sends, largest lag %I64u microseconds", r.pacing->lateSends,
                r.pacing->maxLagMicros);
    const std::optional<double> rate = r.rate();
    const double asked = r.settings.sendRate;
    if (rate && *rate < asked * kKeptUp) {
        XO_LOG_INFO(
            "Could not keep up with sendRate: %f requests/sec asked, %f requests/sec achieved",
            asked, *rate);
    }
}

}  // namespace

void report(const results::RunRecord& r) {
    if (r.totalMicros == 0) {
        XO_LOG_INFO("Total time is 0");
    } else {
        XO_LOG_INFO("%d messages sent for %I64u microseconds", r.count, r.totalMicros);
        XO_LOG_INFO("So it is %f messages/sec", *r.rate());
        XO_LOG_INFO("or %f microseconds for 1 message", *r.microsPerRequest());
    }
    if (r.settings.measuring() && (r.systemErrors != 0 || r.histogram)) {
        XO_LOG_INFO("%I64u system error replies", r.systemErrors);
    }
    if (r.pacing) {
        if (r.histogram) {
            logFrom("scheduled", *r.histogram);
        }
        if (r.uncorrected) {
            logFrom("actual", *r.uncorrected);
        }
        logPacing(r);
    } else if (r.histogram) {
        logLatency(*r.histogram);
    }
}

void serviceStats(const results::RunRecord& r) {
    if (!r.serviceStats) {
        return;
    }
    const results::ServiceStats& s = *r.serviceStats;
    if (!s.available) {
        XO_LOG_INFO("Service statistics not available: %s", s.reason.c_str());
        return;
    }
    const uint64_t total = s.requests();
    XO_LOG_INFO("Service statistics: %I64u instances counted %I64u requests",
                static_cast<uint64_t>(s.instances.size()), total);
    for (const results::ServiceStats::Instance& i : s.instances) {
        const double share =
            total != 0 ? static_cast<double>(i.requests) / static_cast<double>(total) : 0.0;
        const double mean = i.requests != 0 ? static_cast<double>(i.processingNs) /
                                                  static_cast<double>(i.requests) / 1000.0
                                            : 0.0;
        XO_LOG_INFO(
            "Service instance %s: %I64u requests (share %f), %I64u errors, mean processing %f "
            "microseconds",
            i.id.c_str(), i.requests, share, i.errors, mean);
    }
    const std::optional<double> processing = s.meanProcessingMicros();
    const std::optional<double> roundTrip = r.meanRoundTripMicros();
    if (processing && roundTrip) {
        const double transport = *roundTrip - *processing;
        XO_LOG_INFO(
            "Round trip %f microseconds: %f in the service, %f transport and router (share %f)",
            *roundTrip, *processing, transport, transport / *roundTrip);
    }
}

void interrupted(const results::RunRecord& r, bool duringWarmUp) {
    if (duringWarmUp) {
        XO_LOG_ERROR("Interrupted by %s during the warm-up, after %I64u of %d warm-up requests",
                     r.interruptedBy.c_str(), static_cast<uint64_t>(r.warmupDone),
                     r.settings.warmupAmount);
        return;
    }
    XO_LOG_ERROR("Interrupted by %s after %I64u requests and %I64u microseconds",
                 r.interruptedBy.c_str(), static_cast<uint64_t>(r.count), r.totalMicros);
}

void progress(uint64_t count, double rate, const latency::Histogram* soFar) {
    if (soFar != nullptr) {
        XO_LOG_INFO("Progress: %I64u requests, now %f requests/sec, p99 so far %I64u us", count,
                    rate, soFar->valueAtPercentile(99));
    } else {
        XO_LOG_INFO("Progress: %I64u requests, now %f requests/sec", count, rate);
    }
}

ProgressLines::ProgressLines(int32_t seconds, int32_t warmUpAmount)
    : m_period(std::chrono::seconds(seconds)),
      m_last(SteadyClock::now()),
      m_warmUpAmount(warmUpAmount) {}

void ProgressLines::after(const results::RunRecord& r) {
    const SteadyClock::time_point now = SteadyClock::now();
    if (now - m_last < m_period) {
        return;
    }
    const uint32_t done = m_warmUpAmount > 0 ? r.warmupDone : r.count;
    const double seconds = std::chrono::duration<double>(now - m_last).count();
    const double rate = static_cast<double>(done - m_lastCount) / seconds;
    if (m_warmUpAmount > 0) {
        XO_LOG_INFO("Warm-up progress: %I64u of %d requests, now %f requests/sec",
                    static_cast<uint64_t>(done), m_warmUpAmount, rate);
    } else {
        progress(done, rate, r.histogram ? &*r.histogram : nullptr);
    }
    m_last = now;
    m_lastCount = done;
}

}  // namespace logreport
