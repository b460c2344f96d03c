#include "ResultFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>

#include "HistogramJson.h"
#include "OptionString.h"
#include "Version.h"

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

long processId() {
#if defined(_WIN32)
    return static_cast<long>(GetCurrentProcessId());
#else
    return static_cast<long>(getpid());
#endif
}

std::string temporaryBeside(const std::string& path) {
    return path + ".tmp." + std::to_string(processId());
}

}  // namespace

std::string withoutPassword(const std::string& connect) {
    std::string text = connect;
    std::string removed;
    // Every password field, however often it is given; each pass removes
    // one, so the text's length bounds the passes.
    for (size_t pass = 0; pass <= connect.size(); ++pass) {
        optstr::RemoveFld(&text, "password", &removed);
        size_t valueLen = 0;
        if (optstr::GetFldVal(text.c_str(), "password", &valueLen) == nullptr) {
            break;
        }
    }
    return text;
}

std::string toJson(const RunRecord& r) {
    const xoversion::LibraryInfo library = xoversion::library();
    Json j;
    j["format"] = "xomq-result-1";
    j["program"] = "XoMQSender";
    j["program_version"] = XOMQ_VERSION;
    j["library"] = library.path;
    j["library_version"] = library.version;
    j["host"] = hostName();
    j["pid"] = processId();
    j["started"] = utcText(r.started);
    j["ended"] = utcText(r.ended);
    j["settings"] = {
        {"service", r.service},
        {"send_amount", r.sendAmount},
        {"send_timeout_ms", r.sendTimeoutMs},
        {"connect_deadline_ms", r.connectDeadlineMs},
        {"connect", r.connect},
        {"warmup_amount", r.warmupAmount},
        {"latency_histogram", r.latencyHistogram},
        {"progress_seconds", r.progressSeconds},
    };
    j["result_code"] = r.resultCode;
    j["outcome"] = !r.interruptedBy.empty() ? "interrupted"
                   : r.resultCode == 0      ? "completed"
                                            : "failed";
    if (!r.failedCall.empty()) {
        j["failed_call"] = r.failedCall;
    }
    if (!r.interruptedBy.empty()) {
        j["interrupted_by"] = r.interruptedBy;
    }
    j["count"] = r.count;
    j["total_us"] = r.totalMicros;
    if (r.count != 0 && r.totalMicros != 0) {
        j["rate"] = static_cast<double>(r.count) / static_cast<double>(r.totalMicros) * 1000000.0;
        j["us_per_msg"] = static_cast<double>(r.totalMicros) / static_cast<double>(r.count);
    } else {
        j["rate"] = nullptr;
        j["us_per_msg"] = nullptr;
    }
    j["system_errors"] = r.systemErrors;
    j["warmup_count"] = r.warmupDone;
    if (r.histogram != nullptr) {
        putLatencyFigures(j, *r.histogram);
        j["histogram"] = histogramJson(*r.histogram);
    }
    // One line: a file for programs (the fleet runner, jq), not for reading.
    return j.dump() + "\n";
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
