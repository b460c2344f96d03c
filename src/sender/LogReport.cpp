#include "LogReport.h"

#include "TraceSite.h"

namespace logreport {

namespace {

void logLatency(const latency::Histogram& h) {
    const latency::Histogram::Summary s = h.summary();
    XO_LOG_INFO(
        "Latency in microseconds: min %I64u, p50 %I64u, p90 %I64u, p99 %I64u, "
        "p99.9 %I64u, p99.99 %I64u, max %I64u",
        s.min, s.p50, s.p90, s.p99, s.p999, s.p9999, s.max);
    XO_LOG_INFO("Latency mean %f microseconds, standard deviation %f microseconds", s.mean,
                s.stddev);
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
    if (r.histogram) {
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
    const std::optional<double> roundTrip = r.microsPerRequest();
    if (processing && roundTrip) {
        const double transport = *roundTrip - *processing;
        XO_LOG_INFO(
            "Round trip %f microseconds: %f in the service, %f transport and router (share %f)",
            *roundTrip, *processing, transport, transport / *roundTrip);
    }
}

void interrupted(const results::RunRecord& r) {
    XO_LOG_ERROR("Interrupted by %s after %I64u requests and %I64u microseconds",
                 r.interruptedBy.c_str(), static_cast<uint64_t>(r.count), r.totalMicros);
}

ProgressLines::ProgressLines(int32_t seconds)
    : m_period(std::chrono::seconds(seconds)), m_last(SteadyClock::now()) {}

void ProgressLines::after(const results::RunRecord& r) {
    const SteadyClock::time_point now = SteadyClock::now();
    if (now - m_last < m_period) {
        return;
    }
    const double seconds = std::chrono::duration<double>(now - m_last).count();
    const double rate = static_cast<double>(r.count - m_lastCount) / seconds;
    if (r.histogram) {
        XO_LOG_INFO("Progress: %I64u requests, now %f requests/sec, p99 so far %I64u us",
                    static_cast<uint64_t>(r.count), rate, r.histogram->valueAtPercentile(99));
    } else {
        XO_LOG_INFO("Progress: %I64u requests, now %f requests/sec", static_cast<uint64_t>(r.count),
                    rate);
    }
    m_last = now;
    m_lastCount = r.count;
}

}  // namespace logreport
