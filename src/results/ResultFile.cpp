#include "ResultFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <nlohmann/json.hpp>
#include <optional>
#include <utility>

#include "HistogramJson.h"

#if defined(_WIN32)
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace results {

namespace {

using Json = nlohmann::ordered_json;

// "2026-12-09T18:00:00.123456Z"
std::string utcText(std::chrono::system_clock::time_point t) {
    using namespace std::chrono;
    const long long us = duration_cast<microseconds>(t.time_since_epoch()).count();
    long long sec = us / 1000000;
    long long micro = us % 1000000;
    if (micro < 0) {
        micro += 1000000;
        --sec;
    }
    const std::time_t tt = static_cast<std::time_t>(sec);
    std::tm tm{};
#if defined(_WIN32)
    gmtime_s(&tm, &tt);
#else
    gmtime_r(&tt, &tm);
#endif
    char text[96];  // room for any int the compiler thinks the fields may hold
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06lldZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, micro);
    return text;
}

std::string temporaryBeside(const std::string& path) {
    return path + ".tmp." + std::to_string(processId());
}

// Reads "2026-12-09T18:00:00.123456Z" as utcText writes it. Written here
// because C++17 has no calendar and timegm is not on every platform.
bool parseUtcText(const std::string& text, std::chrono::system_clock::time_point* t) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    long long micro = 0;
    char zone = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%6lld%c", &year, &month, &day, &hour,
                    &minute, &second, &micro, &zone) != 8 ||
        zone != 'Z' || month < 1 || month > 12 || day < 1 || day > 31) {
        return false;
    }
    // Days from 1970-01-01 to the date (H. Hinnant's days_from_civil).
    const long long y = year - (month <= 2 ? 1 : 0);
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const long long yearOfEra = y - era * 400;
    const long long dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const long long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const long long days = era * 146097 + dayOfEra - 719468;
    const long long sec = ((days * 24 + hour) * 60 + minute) * 60 + second;
    *t = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::microseconds(sec * 1000000 + micro)));
    return true;
}

bool readTime(const Json& j, const char* key, std::chrono::system_clock::time_point* t,
              std::string* error) {
    if (!j.contains(key)) {
        return true;
    }
    if (!parseUtcText(j.at(key).get<std::string>(), t)) {
        *error = std::string("its '") + key + "' is not a UTC time";
        return false;
    }
    return true;
}

// The blocks of a record in the order the file holds them; each writes its
// fields and reads them back. Figures that follow from others (outcome,
// rate, percentiles) are written for the file's readers and not read.
void putOrigin(Json& j, const RunRecord& r) {
    j["program_version"] = r.origin.programVersion;
    j["library"] = r.origin.library;
    j["library_version"] = r.origin.libraryVersion;
    j["host"] = r.origin.host;
    j["pid"] = r.origin.pid;
    j["started"] = utcText(r.started);
    j["ended"] = utcText(r.ended);
}

bool readOrigin(const Json& j, RunRecord* r, std::string* error) {
    r->origin.programVersion = j.value("program_version", "");
    r->origin.library = j.value("library", "");
    r->origin.libraryVersion = j.value("library_version", "");
    r->origin.host = j.value("host", "");
    r->origin.pid = j.value("pid", int64_t{0});
    return readTime(j, "started", &r->started, error) && readTime(j, "ended", &r->ended, error);
}

void putSettings(Json& j, const RunRecord& r) {
    const RunRecord::Settings& s = r.settings;
    j["settings"] = {
        {"service", s.service},
        {"send_amount", s.sendAmount},
        {"send_timeout_ms", s.sendTimeoutMs},
        {"connect_deadline_ms", s.connectDeadlineMs},
        {"connect", s.connect},
        {"warmup_amount", s.warmupAmount},
        {"latency_histogram", s.latencyHistogram},
        {"progress_seconds", s.progressSeconds},
        {"service_stats", s.serviceStats},
        {"send_rate", s.sendRate},
    };
}

bool readSettings(const Json& j, RunRecord* r, std::string*) {
    const Json in = j.value("settings", Json::object());
    RunRecord::Settings& s = r->settings;
    s.service = in.value("service", "");
    s.sendAmount = in.value("send_amount", 0);
    s.sendTimeoutMs = in.value("send_timeout_ms", 0);
    s.connectDeadlineMs = in.value("connect_deadline_ms", 0);
    s.connect = in.value("connect", "");
    s.warmupAmount = in.value("warmup_amount", 0);
    s.latencyHistogram = in.value("latency_histogram", false);
    s.progressSeconds = in.value("progress_seconds", 0);
    s.serviceStats = in.value("service_stats", false);
    s.sendRate = in.value("send_rate", 0.0);
    return true;
}

void putOutcome(Json& j, const RunRecord& r) {
    j["result_code"] = r.resultCode;
    j["outcome"] = outcomeName(r.outcome());
    if (!r.failedCall.empty()) {
        j["failed_call"] = r.failedCall;
    }
    if (!r.interruptedBy.empty()) {
        j["interrupted_by"] = r.interruptedBy;
    }
}

bool readOutcome(const Json& j, RunRecord* r, std::string*) {
    r->resultCode = j.value("result_code", 0u);
    r->failedCall = j.value("failed_call", "");
    r->interruptedBy = j.value("interrupted_by", "");
    return true;
}

void putCounts(Json& j, const RunRecord& r) {
    j["count"] = r.count;
    j["total_us"] = r.totalMicros;
    const std::optional<double> rate = r.rate();
    const std::optional<double> perRequest = r.microsPerRequest();
    j["rate"] = rate ? Json(*rate) : Json();
    j["us_per_msg"] = perRequest ? Json(*perRequest) : Json();
    j["system_errors"] = r.systemErrors;
    j["warmup_count"] = r.warmupDone;
}

bool readCounts(const Json& j, RunRecord* r, std::string*) {
    r->count = j.value("count", 0u);
    r->totalMicros = j.value("total_us", uint64_t{0});
    r->systemErrors = j.value("system_errors", uint64_t{0});
    r->warmupDone = j.value("warmup_count", 0u);
    return true;
}

void putLatency(Json& j, const RunRecord& r) {
    if (r.histogram) {
        putLatencyFigures(j, *r.histogram);
        j["histogram"] = histogramJson(*r.histogram);
    }
}

bool readLatency(const Json& j, RunRecord* r, std::string* error) {
    const Json h = j.value("histogram", Json());
    if (!h.is_object()) {
        return true;  // a run that failed before its loop, or without histogram
    }
    if (!readHistogram(h, &r->histogram.emplace(), error)) {
        r->histogram.reset();
        return false;
    }
    return true;
}

Json optionalNumber(const std::optional<double>& v) {
    return v ? Json(*v) : Json();
}

// The service's own figures: per instance what it counted (processing_ns
// the sum of its processing times), and the round trip split into service
// and transport, from the run's mean per request.
void putServiceStats(Json& j, const RunRecord& r) {
    if (!r.serviceStats) {
        return;
    }
    const ServiceStats& s = *r.serviceStats;
    Json out;
    out["available"] = s.available;
    if (!s.available) {
        out["reason"] = s.reason;
        j["service_stats"] = std::move(out);
        return;
    }
    const uint64_t total = s.requests();
    Json instances = Json::array();
    for (const ServiceStats::Instance& i : s.instances) {
        instances.push_back(
            {{"id", i.id},
             {"requests", i.requests},
             {"share",
              total != 0 ? static_cast<double>(i.requests) / static_cast<double>(total) : 0.0},
             {"errors", i.errors},
             {"processing_ns", i.processingNs},
             {"mean_processing_us", i.requests != 0 ? Json(static_cast<double>(i.processingNs) /
                                                           static_cast<double>(i.requests) / 1000.0)
                                                    : Json()}});
    }
    const std::optional<double> processing = s.meanProcessingMicros();
    const std::optional<double> roundTrip = r.meanRoundTripMicros();
    std::optional<double> transport;
    std::optional<double> transportShare;
    if (processing && roundTrip) {
        transport = *roundTrip - *processing;
        transportShare = *transport / *roundTrip;
    }
    out["requests"] = total;
    out["mean_processing_us"] = optionalNumber(processing);
    out["round_trip_us"] = optionalNumber(roundTrip);
    out["transport_us"] = optionalNumber(transport);
    out["transport_share"] = optionalNumber(transportShare);
    out["instances"] = std::move(instances);
    j["service_stats"] = std::move(out);
}

bool readServiceStats(const Json& j, RunRecord* r, std::string*) {
    const Json in = j.value("service_stats", Json());
    if (!in.is_object()) {
        return true;
    }
    ServiceStats& s = r->serviceStats.emplace();
    s.available = in.value("available", false);
    s.reason = in.value("reason", "");
    for (const Json& i : in.value("instances", Json::array())) {
        ServiceStats::Instance instance;
        instance.id = i.value("id", "");
        instance.requests = i.value("requests", uint64_t{0});
        instance.errors = i.value("errors", uint64_t{0});
        instance.processingNs = i.value("processing_ns", uint64_t{0});
        s.instances.push_back(instance);
    }
    return true;
}

// A paced run: its rate, late sends and largest lag, and the latency from
// the actual send beside the top-level one from the scheduled send.
void putPacing(Json& j, const RunRecord& r) {
    if (!r.pacing) {
        return;
    }
    j["send_rate"] = r.settings.sendRate;
    j["late_sends"] = r.pacing->lateSends;
    j["max_lag_us"] = r.pacing->maxLagMicros;
    if (r.uncorrected) {
        Json u = Json::object();
        putLatencyFigures(u, *r.uncorrected);
        u["histogram"] = histogramJson(*r.uncorrected);
        j["uncorrected"] = u;
    }
}

bool readPacing(const Json& j, RunRecord* r, std::string* error) {
    if (!j.contains("late_sends")) {
        return true;
    }
    RunRecord::Pacing& p = r->pacing.emplace();
    p.lateSends = j.value("late_sends", uint64_t{0});
    p.maxLagMicros = j.value("max_lag_us", uint64_t{0});
    const Json u = j.value("uncorrected", Json::object());
    if (u.contains("histogram") &&
        !readHistogram(u.at("histogram"), &r->uncorrected.emplace(), error)) {
        *error = "uncorrected: " + *error;
        return false;
    }
    return true;
}

// The figures of one interval's snapshot.
void putIntervalFigures(Json& j, const latency::Histogram::Snapshot& s,
                        latency::Histogram* scratch) {
    scratch->restore(s);
    static const double kPercents[] = {50, 99};
    uint64_t at[2];
    scratch->valuesAtPercentiles(kPercents, at, 2);
    j["p50_us"] = at[0];
    j["p99_us"] = at[1];
    j["max_us"] = s.totals.max;
    j["histogram"] = snapshotJson(s);
}

void putIntervals(Json& j, const RunRecord& r) {
    if (r.intervals.empty()) {
        return;
    }
    j["timer_started"] = utcText(r.timerStarted);
    Json all = Json::array();
    latency::Histogram scratch;
    for (const RunRecord::Interval& i : r.intervals) {
        Json e = Json::object();
        e["start_s"] = i.startSeconds;
        e["length_s"] = i.lengthSeconds;
        e["count"] = i.latency.totals.count;
        e["rate"] = i.lengthSeconds > 0
                        ? static_cast<double>(i.latency.totals.count) / i.lengthSeconds
                        : 0.0;
        putIntervalFigures(e, i.latency, &scratch);
        if (i.uncorrected) {
            Json u = Json::object();
            putIntervalFigures(u, *i.uncorrected, &scratch);
            e["uncorrected"] = u;
        }
        all.push_back(std::move(e));
    }
    j["intervals"] = std::move(all);
}

bool readIntervals(const Json& j, RunRecord* r, std::string* error) {
    if (!j.contains("intervals")) {
        return true;
    }
    if (!readTime(j, "timer_started", &r->timerStarted, error)) {
        return false;
    }
    for (const Json& e : j.at("intervals")) {
        RunRecord::Interval i;
        i.startSeconds = e.value("start_s", 0.0);
        i.lengthSeconds = e.value("length_s", 0.0);
        if (!readSnapshot(e.value("histogram", Json::object()), &i.latency, error)) {
            *error = "an interval: " + *error;
            return false;
        }
        const Json u = e.value("uncorrected", Json::object());
        if (u.contains("histogram") &&
            !readSnapshot(u.at("histogram"), &i.uncorrected.emplace(), error)) {
            *error = "an interval: " + *error;
            return false;
        }
        r->intervals.push_back(std::move(i));
    }
    return true;
}

struct Block {
    void (*put)(Json& j, const RunRecord& r);
    bool (*read)(const Json& j, RunRecord* r, std::string* error);
};

const Block kBlocks[] = {
    {putOrigin, readOrigin},       {putSettings, readSettings},         {putOutcome, readOutcome},
    {putCounts, readCounts},       {putLatency, readLatency},           {putPacing, readPacing},
    {putIntervals, readIntervals}, {putServiceStats, readServiceStats},
};

const char kFormat[] = "xomq-result-1";

}  // namespace

std::string toJson(const RunRecord& r) {
    Json j;
    j["format"] = kFormat;
    j["program"] = "XoMQSender";
    for (const Block& b : kBlocks) {
        b.put(j, r);
    }
    // One line: a file for programs (the fleet runner, jq), not for reading.
    return j.dump() + "\n";
}

bool fromJson(const std::string& text, RunRecord* record, std::string* error) {
    const Json j = Json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object() || j.value("format", "") != kFormat) {
        *error = "not an XoMQSender result file";
        return false;
    }
    RunRecord r;
    try {
        for (const Block& b : kBlocks) {
            if (!b.read(j, &r, error)) {
                return false;
            }
        }
    } catch (const nlohmann::json::exception& e) {
        // nlohmann's value() and get() refuse a field of another type by
        // throwing; one place for all of them.
        *error = std::string("a field has the wrong type (") + e.what() + ")";
        return false;
    }
    *record = std::move(r);
    return true;
}

std::string hostName() {
    char name[256] = {0};
#if defined(_WIN32)
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size)) {
        return "";
    }
#else
    if (gethostname(name, sizeof name - 1) != 0) {
        return "";
    }
#endif
    return name;
}

int64_t processId() {
#if defined(_WIN32)
    return static_cast<int64_t>(GetCurrentProcessId());
#else
    return static_cast<int64_t>(getpid());
#endif
}

bool canWriteBeside(const std::string& path, std::string* error) {
    const std::string tmp = temporaryBeside(path);
    FILE* f = std::fopen(tmp.c_str(), "wb");
    if (f == nullptr) {
        *error = std::strerror(errno);
        return false;
    }
    std::fclose(f);
    std::remove(tmp.c_str());
    return true;
}

bool writeAtomically(const std::string& path, const std::string& text, std::string* error) {
    const std::string tmp = temporaryBeside(path);
    FILE* f = std::fopen(tmp.c_str(), "wb");
    if (f == nullptr) {
        *error = std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    const int savedErrno = errno;
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed) {
        *error = std::strerror(written ? errno : savedErrno);
        std::remove(tmp.c_str());
        return false;
    }
#if defined(_WIN32)
    const bool renamed = MoveFileExA(tmp.c_str(), path.c_str(),
                                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    if (!renamed) {
        *error = "cannot replace the file (Windows error " + std::to_string(GetLastError()) + ")";
    }
#else
    const bool renamed = std::rename(tmp.c_str(), path.c_str()) == 0;
    if (!renamed) {
        *error = std::strerror(errno);
    }
#endif
    if (!renamed) {
        std::remove(tmp.c_str());
    }
    return renamed;
}

}  // namespace results
