// The result file of a run (the "resultFile" key): one JSON object with the
// run's settings, its outcome and figures, and its latency histogram in a
// form a fleet runner can merge. Written at the end of the run to a
// temporary file beside the target, then renamed over it, so a reader never
// sees half a file.
#ifndef XOMQ_RESULTS_RESULTFILE_H
#define XOMQ_RESULTS_RESULTFILE_H

#include <chrono>
#include <cstdint>
#include <string>

#include "LatencyHistogram.h"

namespace results {

struct RunRecord {
    // Settings.
    std::string service;
    int32_t sendAmount = 0;
    int32_t sendTimeoutMs = 0;
    int32_t connectDeadlineMs = 0;
    std::string connect;  // the connect string, password fields removed
    int32_t warmupAmount = 0;
    bool latencyHistogram = false;
    int32_t progressSeconds = 0;

    // Outcome.
    std::chrono::system_clock::time_point started;
    std::chrono::system_clock::time_point ended;
    uint32_t resultCode = 0;
    std::string failedCall;     // the step that failed, when one did
    std::string interruptedBy;  // the stop request, when one ended the run
    uint32_t count = 0;         // requests completed (warm-up excluded)
    uint64_t totalMicros = 0;   // the timed loop, or as far as it got
    uint64_t systemErrors = 0;
    uint32_t warmupDone = 0;
    const latency::Histogram* histogram = nullptr;  // when recorded
};

// The record as JSON text, one line.
std::string toJson(const RunRecord& record);

// Writes text to path through a temporary file in the same directory and a
// rename. False, with the reason in *error, when it cannot.
bool writeAtomically(const std::string& path, const std::string& text, std::string* error);

// Whether a file can be created beside path (tried with the temporary name
// and removed again): the check before the run, so that a wrong path fails
// at once and not after the run.
bool canWriteBeside(const std::string& path, std::string* error);

// "appname = x;password = secret;port = 1" without every password field.
std::string withoutPassword(const std::string& connect);

}  // namespace results

#endif  // XOMQ_RESULTS_RESULTFILE_H
