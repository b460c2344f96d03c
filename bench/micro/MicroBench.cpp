// Micro benchmarks of the work XoMQSender does around each request, against
// our XoSys library: a switched-off and a switched-on log statement (the
// TraceSite pattern), an option-string lookup, and the client-side work of
// one request (create, three properties, composed body, free) without the
// send. After the runs each target is printed with PASS or FAIL.
//
//   micro-bench [--quick] [--strict] [Google Benchmark flags]
//     --quick   one short repetition of each (a smoke test)
//     --strict  exit with 1 when a target is missed (default: only wrong
//               results and errors fail the run; timings are reported)
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "LatencyHistogram.h"
#include "Measurement.h"
#include "OptionString.h"
#include "RunRecord.h"
#include "StopRequest.h"
#include "TraceSite.h"
#include "XoSys.h"

namespace {

const char kOffFormat[] = "micro: switched-off statement %d";
const char kOnFormat[] = "micro: switched-on statement %d";
const char kConnectString[] =
    "appname = XoMQSender;host = 127.0.0.1;port = 3001;pwd = secret;timeout = 3000";
const char kAddress[] = "_XO.svc.bench.Xq7pJ2mK9vT4wR8yB3nL5c";

// The program's request body for "c4i4c3c4c17c10".
const unsigned char kExpectedBody[42] = {
    'A', 'B', 'C', 'D', 12, 0, 0, 0, '0', '0', '1', 'V', 'U', 'Z', 'A', 0, 0, 0, 0, 0, 0,
    0,   0,   0,   0,   0,  0, 0, 0, 0,   0,   0,   '3', 0,   0,   0,   0, 0, 0, 0, 0, 0};

std::string g_dir;
std::string g_logPath;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

size_t countLines(const std::string& text, const char* needle) {
    size_t n = 0;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        n += line.find(needle) != std::string::npos ? 1 : 0;
    }
    return n;
}

// Opens the configuration and a fresh log file in a directory of our own;
// the off statement is silenced by its format text.
bool openLog() {
    char dir[] = "/tmp/xomq-micro.XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        std::perror("micro-bench: mkdtemp");
        return false;
    }
    g_dir = dir;
    g_logPath = g_dir + "/micro.log";
    const std::string ini = g_dir + "/micro.ini";
    std::ofstream out(ini);
    out << "[log]\nfile = " << g_logPath << "\nappend = 0\nlevel = info\nsilence = " << kOffFormat
        << "\nflush = 0\n";
    out.close();
    XoIniSetOpt(0);
    const XoResult iniRc = XoIniOpen(ini.c_str());
    const XoResult logRc = iniRc == 0 ? XoLogOpen(0) : iniRc;
    if (logRc != 0) {
        std::fprintf(stderr, "micro-bench: cannot open the log (code %u)\n", logRc);
        return false;
    }
    return true;
}

void closeLog() {
    XoLogClose();
    XoIniClose();
    std::remove(g_logPath.c_str());
    std::remove((g_dir + "/micro.ini").c_str());
    rmdir(g_dir.c_str());
}

// Closes the log, hands its text to the caller and starts a fresh file.
std::string takeLog() {
    XoLogClose();
    std::string text = readFile(g_logPath);
    XoLogOpen(0);
    return text;
}

void BM_LogStatementOff(benchmark::State& state) {
    takeLog();
    int value = 0;
    for (auto _ : state) {
        XO_LOG_INFO(kOffFormat, value);
        // The flag is read anew every time, as in the program's loop.
        benchmark::ClobberMemory();
    }
    if (countLines(takeLog(), "switched-off") != 0) {
        state.SkipWithError("a switched-off statement was written");
    }
}

void BM_LogStatementOnToFile(benchmark::State& state) {
    takeLog();
    int value = 0;
    for (auto _ : state) {
        XO_LOG_INFO(kOnFormat, value);
        ++value;
    }
    const size_t written = countLines(takeLog(), "switched-on");
    if (written != static_cast<size_t>(state.iterations())) {
        state.SkipWithError("a switched-on statement was not written");
    }
}

void BM_OptstrLookup(benchmark::State& state) {
    size_t len = 0;
    const char* value = optstr::GetFldVal(kConnectString, "timeout", &len);
    if (value == nullptr || std::string(value, len) != "3000") {
        state.SkipWithError("the lookup found the wrong value");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(kConnectString);
        value = optstr::GetFldVal(kConnectString, "timeout", &len);
        benchmark::DoNotOptimize(value);
        benchmark::DoNotOptimize(len);
    }
}

// One request's client-side work, as a pass of XoMQSender's loop does it;
// false (and the reason) on a failed call or a wrong body.
bool requestWork(bool check, std::string* error) {
    // The loop's test for a pending stop request (SIGINT, SIGTERM).
    if (stoprequest::requested() != 0) {
        *error = "a stop was requested";
        return false;
    }
    XoMsgHandle request = nullptr;
    XoComposerHandle composer = nullptr;
    const int32_t type = 6;
    uint64_t size = 0;
    const uint8_t* body = nullptr;
    XoResult rc = XoMsgCreateMessage(&request);
    if (rc == 0)
        rc = XoMsgSetFieldStr(request, "Xo_To", kAddress);
    if (rc == 0)
        rc = XoMsgSetFieldStr(request, "Xo_Category", "VORNA_FUTURES");
    if (rc == 0)
        rc = XoMsgSetField(request, "Xo_Type", &type, sizeof type);
    if (rc == 0)
        rc = XoSysCreateBinaryComposer(&composer);
    if (rc == 0)
        rc = XoSysCompose(composer, "c4i4c3c4c17c10", "ABCD", 12, "001", "VUZA", "", "3");
    if (rc == 0)
        rc = XoSysComposeGetSize(composer, &size);
    if (rc == 0)
        rc = XoSysComposeGetBuffer(composer, &body);
    if (rc == 0)
        rc = XoMsgSetBody(request, body, size);
    bool ok = rc == 0;
    if (!ok) {
        *error = "a call failed with code " + std::to_string(rc);
    } else if (check) {
        unsigned char copy[64];
        uint64_t capacity = sizeof copy;
        const void* to = nullptr;
        ok = XoMsgCopyBody(request, copy, &capacity) == 0 && capacity == sizeof kExpectedBody &&
             std::memcmp(copy, kExpectedBody, sizeof kExpectedBody) == 0 &&
             XoMsgGetBinaryField(request, "Xo_To", &to, nullptr) == 0 &&
             std::strcmp(static_cast<const char*>(to), kAddress) == 0;
        if (!ok) {
            *error = "the request does not hold the program's address and body";
        }
    }
    XoSysFreeComposer(composer);
    XoMsgFreeMessage(request);
    return ok;
}

void BM_RequestClientWork(benchmark::State& state) {
    std::string error;
    if (!requestWork(true, &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    bool ok = true;
    for (auto _ : state) {
        ok = requestWork(false, &error) && ok;
    }
    if (!ok) {
        state.SkipWithError(error.c_str());
    }
}

// What latencyHistogram = 1 adds to a request of the closed loop, with the
// program's own code: a clock reading before the send and one after the
// reply check, the record into the interval's histogram, and the intervals
// closing once a second.
void BM_LatencyRecord(benchmark::State& state) {
    results::RunRecord record;
    record.settings.latencyHistogram = true;
    Measurement measurement(record, nullptr);
    measurement.start();
    uint64_t iterations = 0;
    for (auto _ : state) {
        measurement.beforeSend();
        benchmark::ClobberMemory();
        measurement.afterReply();
        ++iterations;
    }
    measurement.finish();
    uint64_t inIntervals = 0;
    for (const results::RunRecord::Interval& i : record.intervals) {
        inIntervals += i.latency.totals.count;
    }
    if (record.histogram->count() != iterations || inIntervals != iterations) {
        state.SkipWithError("the histogram lost records");
    }
}

BENCHMARK(BM_LogStatementOff);
BENCHMARK(BM_LatencyRecord);
// A fixed count keeps the log file at a few megabytes.
BENCHMARK(BM_LogStatementOnToFile)->Iterations(100000);
BENCHMARK(BM_OptstrLookup);
BENCHMARK(BM_RequestClientWork);

// Keeps the console output and remembers, per benchmark, the median of the
// repetitions and the last single run in nanoseconds, and any error.
class TargetReporter : public benchmark::ConsoleReporter {
  public:
    explicit TargetReporter(OutputOptions options) : ConsoleReporter(options) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const std::string name = run.run_name.function_name;
            if (run.error_occurred) {
                errors[name] = run.error_message;
                continue;
            }
            const double ns =
                run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
            if (run.run_type == Run::RT_Iteration) {
                last[name] = ns;
            } else if (run.aggregate_name == "median") {
                median[name] = ns;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // The median when there were repetitions, otherwise the single run.
    bool result(const std::string& name, double* ns, const char** kind) const {
        auto m = median.find(name);
        if (m != median.end()) {
            *ns = m->second;
            *kind = "median";
            return true;
        }
        auto l = last.find(name);
        if (l != last.end()) {
            *ns = l->second;
            *kind = "one run";
            return true;
        }
        return false;
    }

    std::map<std::string, double> median;
    std::map<std::string, double> last;
    std::map<std::string, std::string> errors;
};

struct Target {
    const char* benchmark;
    const char* what;
    double limitNs;
};

const Target kTargets[] = {
    {"BM_LogStatementOff", "switched-off log statement", 1.0},
    {"BM_RequestClientWork", "client-side work of one request", 200.0},
    // 1 % of a 50 us round trip, below the fastest seen here.
    {"BM_LatencyRecord", "recording one round trip in the latency histogram", 500.0},
};

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    bool strict = false;
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--quick") {
            quick = true;
        } else if (a == "--strict") {
            strict = true;
        } else {
            args.push_back(a);
        }
    }
    // Defaults that flags given on the command line override (they come later).
    std::vector<std::string> all = {args[0]};
    if (quick) {
        all.push_back("--benchmark_repetitions=1");
        all.push_back("--benchmark_min_time=0.02");
    } else {
        all.push_back("--benchmark_repetitions=5");
        all.push_back("--benchmark_display_aggregates_only=true");
    }
    all.insert(all.end(), args.begin() + 1, args.end());
    std::vector<char*> cargs;
    for (std::string& a : all) {
        cargs.push_back(&a[0]);
    }
    int cargc = static_cast<int>(cargs.size());
    cargs.push_back(nullptr);
    benchmark::Initialize(&cargc, cargs.data());
    if (benchmark::ReportUnrecognizedArguments(cargc, cargs.data())) {
        return 2;
    }
    if (!openLog()) {
        return 1;
    }
    // Colours only on a terminal: files and pipes get plain text.
    TargetReporter reporter(isatty(STDOUT_FILENO) != 0 ? benchmark::ConsoleReporter::OO_Defaults
                                                       : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    closeLog();
    std::fflush(stderr);

    int status = 0;
    for (const auto& e : reporter.errors) {
        std::printf("error: %s: %s\n", e.first.c_str(), e.second.c_str());
        status = 1;
    }
    for (const Target& t : kTargets) {
        double ns = 0.0;
        const char* kind = "";
        if (!reporter.result(t.benchmark, &ns, &kind)) {
            continue;  // filtered out, or failed (reported above)
        }
        const bool pass = ns <= t.limitNs;
        std::printf("target: %s <= %.0f ns: %.2f ns (%s) %s\n", t.what, t.limitNs, ns, kind,
                    pass ? "PASS" : "FAIL");
        if (!pass && strict) {
            status = 1;
        }
    }
    std::fflush(stdout);
    return status;
}
