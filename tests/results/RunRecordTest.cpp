// A run's record written as a result file and read back, as the fleet runner
// reads it: the same record for a completed, a failed and an interrupted run;
// and text that is no result file is refused with a reason.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>

#include "ResultFile.h"
#include "RunRecord.h"

namespace {

using results::RunRecord;
using Outcome = RunRecord::Outcome;

struct RecordCase {
    const char* name;
    int64_t startedMicros;  // since 1970, UTC
    uint32_t code;
    const char* failedCall;
    const char* interruptedBy;
    uint32_t count;
    bool histogram;
    Outcome outcome;
    int serviceStats = 0;  // 0 none, 1 read, 2 not available
    bool paced = false;    // with a rate, both latencies and intervals
};

// Shown in test lists and failures: the case's name, stable across builds.
void PrintTo(const RecordCase& c, std::ostream* os) {
    *os << c.name;
}

// Every field with a value of its own, so that one read into another's place
// shows; start times on both sides of a leap day and at the end of a year.
const RecordCase kRecords[] = {
    // 2024-01-31T23:59:59.999999Z
    {"completed", 1706745599999999, 0, "", "", 1000, true, Outcome::kCompleted, 1},
    // 2028-02-29T12:00:00.000001Z
    {"failed", 1835438400000001, 0x6056, "XoMQServiceResolve", "", 0, false, Outcome::kFailed, 0},
    // 2026-12-31T23:59:59.500000Z
    {"interrupted", 1798761599500000, 143, "XoMQSendMsg", "SIGTERM", 412, true,
     Outcome::kInterrupted, 2},
    // 2027-06-15T08:30:00.250000Z
    {"paced", 1813048200250000, 0, "", "", 300, true, Outcome::kCompleted, 0, true},
};

RunRecord recordOf(const RecordCase& c) {
    using namespace std::chrono;
    RunRecord r;
    r.origin = {"1.4.0", "/usr/local/lib/libXoSys.so.1.208", "XoSys over NATS 1.1.0", "bench-7",
                4242};
    RunRecord::Settings& s = r.settings;
    s.service = "svc";
    s.sendAmount = 1000;
    s.sendTimeoutMs = 250;
    s.connectDeadlineMs = 700;
    s.connect = "appname = A;host = 127.0.0.1;port = 3001;timeout = 3000;";
    s.warmupAmount = 20;
    s.latencyHistogram = true;
    s.progressSeconds = 5;
    r.started = system_clock::time_point(
        duration_cast<system_clock::duration>(microseconds(c.startedMicros)));
    r.ended = r.started + microseconds(2500001);
    r.resultCode = c.code;
    r.failedCall = c.failedCall;
    r.interruptedBy = c.interruptedBy;
    r.count = c.count;
    r.totalMicros = c.count == 0 ? 0 : 987654;
    r.systemErrors = 3;
    r.warmupDone = 17;
    if (c.histogram) {
        latency::Histogram& h = r.histogram.emplace();
        for (uint32_t i = 1; i <= c.count; ++i) {
            h.record(90 + (uint64_t{i} * i * 7919) % 40000);
        }
    }
    if (c.serviceStats != 0) {
        results::ServiceStats& st = r.serviceStats.emplace();
        st.available = c.serviceStats == 1;
        if (st.available) {
            st.instances = {{"NUID1", 600, 2, 6000000}, {"NUID2", 400, 0, 3000000}};
        } else {
            st.reason = "the service does not answer";
        }
    }
    if (c.paced) {
        s.sendRate = 250.5;
        r.pacing = RunRecord::Pacing{7, 1234567};
        r.timerStarted = r.started + microseconds(41000);
        latency::Histogram& u = r.uncorrected.emplace();
        // Three intervals, the second without a request.
        for (int k = 0; k < 3; ++k) {
            latency::Histogram corrected;
            latency::Histogram actual;
            for (uint32_t i = 1; k != 1 && i <= 150; ++i) {
                corrected.record(200 + i * 31 + static_cast<uint32_t>(k) * 5000);
                actual.record(180 + i * 3);
            }
            u.merge(actual);
            RunRecord::Interval interval;
            interval.startSeconds = k;
            interval.lengthSeconds = k == 2 ? 0.25 : 1.0;
            interval.latency = corrected.snapshot();
            interval.uncorrected = actual.snapshot();
            r.intervals.push_back(interval);
        }
    }
    return r;
}

class RecordRoundTrip : public ::testing::TestWithParam<RecordCase> {};

TEST_P(RecordRoundTrip, ReadsBackTheRecordItWrote) {
    const RecordCase& c = GetParam();
    const RunRecord written = recordOf(c);
    const std::string text = results::toJson(written);
    RunRecord read;
    std::string error;
    ASSERT_TRUE(results::fromJson(text, &read, &error)) << error << "\n" << text;

    // Whatever the file holds comes back, written again to the same text.
    EXPECT_EQ(results::toJson(read), text);
    EXPECT_EQ(read.outcome(), c.outcome);
    EXPECT_EQ(read.resultCode, c.code);
    EXPECT_EQ(read.failedCall, c.failedCall);
    EXPECT_EQ(read.interruptedBy, c.interruptedBy);
    EXPECT_EQ(read.settings.connect, written.settings.connect);
    EXPECT_EQ(read.settings.sendTimeoutMs, 250);
    EXPECT_EQ(read.started, written.started);
    EXPECT_EQ(read.ended, written.ended);
    EXPECT_EQ(read.origin.pid, 4242);
    EXPECT_EQ(read.rate(), written.rate());
    ASSERT_EQ(read.serviceStats.has_value(), c.serviceStats != 0);
    if (c.serviceStats == 1) {
        EXPECT_EQ(read.serviceStats->requests(), 1000u);
        EXPECT_EQ(read.serviceStats->meanProcessingMicros(), 9.0);
    }
    ASSERT_EQ(read.histogram.has_value(), c.histogram);
    if (c.histogram) {
        EXPECT_EQ(read.histogram->buckets(), written.histogram->buckets());
        EXPECT_EQ(read.histogram->count(), c.count);
        EXPECT_EQ(read.histogram->valueAtPercentile(99), written.histogram->valueAtPercentile(99));
        EXPECT_DOUBLE_EQ(read.histogram->stddev(), written.histogram->stddev());
    }
    ASSERT_EQ(read.pacing.has_value(), c.paced);
    ASSERT_EQ(read.intervals.size(), written.intervals.size());
    if (c.paced) {
        EXPECT_EQ(read.settings.sendRate, 250.5);
        EXPECT_EQ(read.pacing->lateSends, 7u);
        EXPECT_EQ(read.pacing->maxLagMicros, 1234567u);
        ASSERT_TRUE(read.uncorrected.has_value());
        EXPECT_EQ(read.uncorrected->buckets(), written.uncorrected->buckets());
        EXPECT_EQ(read.timerStarted, written.timerStarted);
        for (size_t i = 0; i < read.intervals.size(); ++i) {
            EXPECT_EQ(read.intervals[i].latency.buckets, written.intervals[i].latency.buckets);
            EXPECT_EQ(read.intervals[i].uncorrected->totals.count,
                      written.intervals[i].uncorrected->totals.count);
            EXPECT_EQ(read.intervals[i].lengthSeconds, written.intervals[i].lengthSeconds);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Table, RecordRoundTrip, ::testing::ValuesIn(kRecords),
                         [](const ::testing::TestParamInfo<RecordCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(RecordFromJson, RefusesWhatIsNoResultFile) {
    const struct {
        const char* text;
        const char* reason;
    } cases[] = {
        {"{\"count\": 3", "not an XoMQSender result file"},
        {"{\"format\": \"xomq-result-2\", \"count\": 3}", "not an XoMQSender result file"},
        {"{\"format\": \"xomq-result-1\", \"count\": \"many\"}", "a field has the wrong type"},
        {"{\"format\": \"xomq-result-1\", \"started\": \"yesterday\"}", "is not a UTC time"},
        {"{\"format\": \"xomq-result-1\", \"histogram\": {\"sub_bucket_count\": 2048, "
         "\"highest_us\": 3600000000, \"count\": 2, \"buckets\": [[5, 1]]}}",
         "its histogram does not add up"},
        {"{\"format\": \"xomq-result-1\", \"timer_started\": \"2026-01-01T00:00:00.000000Z\", "
         "\"intervals\": [{\"start_s\": 0, \"histogram\": {\"sub_bucket_count\": 2048, "
         "\"highest_us\": 3600000000, \"count\": 1, \"buckets\": [[99999, 1]]}}]}",
         "an interval: its histogram does not add up"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        RunRecord r;
        r.count = 77;
        std::string error;
        EXPECT_FALSE(results::fromJson(c.text, &r, &error));
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_EQ(r.count, 77u);  // left as it was
    }
}

}  // namespace

// The service's figures are set against the round trip: in a paced run the
// time per request holds the waits for the due times, so the mean latency
// from the actual send stands in for it.
TEST(RecordRoundTripMean, PacedRunsUseTheLatencyFromTheActualSend) {
    RunRecord closed;
    closed.count = 4;
    closed.totalMicros = 1000;
    ASSERT_TRUE(closed.meanRoundTripMicros().has_value());
    EXPECT_DOUBLE_EQ(*closed.meanRoundTripMicros(), 250.0);

    RunRecord paced = closed;
    paced.settings.sendRate = 2;  // most of the 250 us per request is waiting
    EXPECT_FALSE(paced.meanRoundTripMicros().has_value());
    latency::Histogram& actual = paced.uncorrected.emplace();
    actual.record(40);
    actual.record(60);
    ASSERT_TRUE(paced.meanRoundTripMicros().has_value());
    EXPECT_DOUBLE_EQ(*paced.meanRoundTripMicros(), 50.0);
}
