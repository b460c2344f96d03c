// The record of one XoMQSender run: what it was asked to do, what it did and
// how it ended. The run fills it as it goes and it is its only product; the
// log report and the result file are two views of it, and a fleet runner
// reads result files back into records.
//
// Blocks that only some runs have are held by value in std::optional, so
// that a new one (a second histogram, figures read from the service) is a
// member here and one block of the result file.
#ifndef XOMQ_RESULTS_RUNRECORD_H
#define XOMQ_RESULTS_RUNRECORD_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "LatencyHistogram.h"
#include "ServiceStats.h"

namespace results {

// What a paced run adds: request i is due at the timer start + i / rate.
// (Outside RunRecord, where std::optional<RunPacing> can see it complete.)
struct RunPacing {
    uint64_t lateSends = 0;     // sent after their due time: the reply before came late
    uint64_t maxLagMicros = 0;  // the largest actual send - due time
};

struct RunRecord {
    // Who ran it: the program, the XoSys library behind it, the process.
    struct Origin {
        std::string programVersion;
        std::string library;  // the file the XoSys calls come from
        std::string libraryVersion;
        std::string host;
        int64_t pid = 0;
    };

    // The settings of the run, as read from its INI file.
    struct Settings {
        std::string service;
        int32_t sendAmount = 0;
        int32_t sendTimeoutMs = 0;
        int32_t connectDeadlineMs = 0;
        std::string connect;  // the connect string, password fields removed
        int32_t warmupAmount = 0;
        bool latencyHistogram = false;
        int32_t progressSeconds = 0;
        bool serviceStats = false;
        double sendRate = 0;  // requests per second; 0: the closed loop
        // Where the record and the interval log go; not part of what is written.
        std::string resultFile;
        std::string histogramLog;

        // Any of the measurement keys set: the report then also names the
        // system error replies.
        bool measuring() const {
            return latencyHistogram || !resultFile.empty() || warmupAmount > 0 ||
                   progressSeconds > 0 || serviceStats || sendRate > 0 || !histogramLog.empty();
        }
        bool paced() const { return sendRate > 0; }
        // The length of an interval of the timed loop's histograms.
        int32_t intervalSeconds() const { return progressSeconds > 0 ? progressSeconds : 1; }
    };

    using Pacing = RunPacing;

    // One interval of the timed loop, from its own histograms: every request
    // whose reply came within it. In a paced run latency is from the
    // scheduled send and uncorrected from the actual send.
    struct Interval {
        double startSeconds = 0;  // from the timer start
        double lengthSeconds = 0;
        latency::Histogram::Snapshot latency;
        std::optional<latency::Histogram::Snapshot> uncorrected;
    };

    enum class Outcome { kCompleted, kFailed, kInterrupted };

    Origin origin;
    Settings settings;
    std::chrono::system_clock::time_point started;
    std::chrono::system_clock::time_point ended;

    uint32_t resultCode = 0;
    std::string failedCall;     // the step that failed, when one did
    std::string interruptedBy;  // the stop request, when one ended the run
    uint32_t count = 0;         // requests completed (warm-up excluded)
    uint64_t totalMicros = 0;   // the timed loop, or as far as it got
    uint64_t systemErrors = 0;  // system error replies (warm-up excluded)
    uint32_t warmupDone = 0;
    // With latencyHistogram = 1. In a paced run, histogram is the latency
    // from the scheduled send and uncorrected the one from the actual send.
    std::optional<latency::Histogram> histogram;
    std::optional<latency::Histogram> uncorrected;
    std::optional<Pacing> pacing;  // with sendRate
    // The intervals' histograms (with latencyHistogram = 1), from the timer
    // start, a wall-clock time, so that the intervals of several runs line up.
    std::chrono::system_clock::time_point timerStarted;
    std::vector<Interval> intervals;
    std::optional<ServiceStats> serviceStats;  // with serviceStats = 1, once read

    Outcome outcome() const {
        return !interruptedBy.empty() ? Outcome::kInterrupted
               : resultCode == 0      ? Outcome::kCompleted
                                      : Outcome::kFailed;
    }
    // Requests per second and microseconds per request of the timed loop;
    // none while nothing was timed.
    std::optional<double> rate() const {
        if (count == 0 || totalMicros == 0) {
            return std::nullopt;
        }
        return static_cast<double>(count) / static_cast<double>(totalMicros) * 1000000.0;
    }
    std::optional<double> microsPerRequest() const {
        if (count == 0 || totalMicros == 0) {
            return std::nullopt;
        }
        return static_cast<double>(totalMicros) / static_cast<double>(count);
    }
    // The mean round trip the service's figures are set against: the time
    // per request of the closed loop; in a paced run, where that time holds
    // the waits for the due times, the mean latency from the actual send
    // (none without the histogram).
    std::optional<double> meanRoundTripMicros() const {
        if (!settings.paced()) {
            return microsPerRequest();
        }
        if (!uncorrected || uncorrected->count() == 0) {
            return std::nullopt;
        }
        return uncorrected->mean();
    }
};

// "completed", "failed" or "interrupted".
const char* outcomeName(RunRecord::Outcome outcome);

// "appname = x;password = secret;port = 1" without every password field.
std::string withoutPassword(const std::string& connect);

}  // namespace results

#endif  // XOMQ_RESULTS_RUNRECORD_H
