// XoMQSender: sends a configured number of identical requests to a service,
// one synchronous send-with-reply at a time, and logs the throughput.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "CHRTimer.h"
#include "HandleGuard.h"
#include "LatencyHistogram.h"
#include "LogIni.h"
#include "MQConnection.h"
#include "ResultFile.h"
#include "StopRequest.h"
#include "TraceSite.h"
#include "Version.h"
#include "XoSys.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

using SteadyClock = std::chrono::steady_clock;

const char kSection[] = "options:ap";
// The program's own code for missing or unusable configuration.
const uint32_t kConfigError = 13;
// The run itself succeeded, but its result file could not be written.
const uint32_t kResultFileError = 14;

void logReport(uint32_t count, uint64_t totalMicrosec) {
    if (totalMicrosec == 0) {
        XO_LOG_INFO("Total time is 0");
        return;
    }
    XO_LOG_INFO("%d messages sent for %I64u microseconds", count, totalMicrosec);
    XO_LOG_INFO("So it is %f messages/sec",
                static_cast<double>(count) / static_cast<double>(totalMicrosec) * 1000000.0);
    XO_LOG_INFO("or %f microseconds for 1 message",
                static_cast<double>(totalMicrosec) / static_cast<double>(count));
}

// The measurement keys of "options:ap", each off by default. They are read
// with the run's own options; with none of them set the run is exactly the
// plain benchmark.
struct Measurements {
    bool latencyHistogram = false;
    std::string resultFile;
    int32_t warmupAmount = 0;
    int32_t progressSeconds = 0;

    // Any of them set: the report also names the system error replies.
    bool any() const {
        return latencyHistogram || !resultFile.empty() || warmupAmount > 0 || progressSeconds > 0;
    }
};

// Reads and checks the keys; kConfigError after the reason's log line.
uint32_t readMeasurements(Measurements* m) {
    const int32_t histogram = XoIniCustGetInt(XO_INI_DEFAULT, kSection, "latencyHistogram", 0);
    char path[1024];
    std::memset(path, 0, sizeof path);
    XoIniCustGetStr(XO_INI_DEFAULT, path, sizeof path, kSection, "resultFile", "");
    path[sizeof path - 1] = '\0';
    m->warmupAmount = XoIniCustGetInt(XO_INI_DEFAULT, kSection, "warmupAmount", 0);
    m->progressSeconds = XoIniCustGetInt(XO_INI_DEFAULT, kSection, "progressSeconds", 0);
    if (histogram != 0 && histogram != 1) {
        XO_LOG_ERROR(
            "Parameter 'latencyHistogram' in 'options:ap' section of INI must be 0 or 1, "
            "not %d",
            histogram);
        return kConfigError;
    }
    m->latencyHistogram = histogram == 1;
    if (m->warmupAmount < 0) {
        XO_LOG_ERROR(
            "Parameter 'warmupAmount' in 'options:ap' section of INI must not be "
            "negative, not %d",
            m->warmupAmount);
        return kConfigError;
    }
    if (m->progressSeconds < 0) {
        XO_LOG_ERROR(
            "Parameter 'progressSeconds' in 'options:ap' section of INI must not be "
            "negative, not %d",
            m->progressSeconds);
        return kConfigError;
    }
    std::string why;
    if (path[0] != '\0' && !results::canWriteBeside(path, &why)) {
        XO_LOG_ERROR("Parameter 'resultFile' in 'options:ap' section of INI: cannot write '%s': %s",
                     path, why.c_str());
        return kConfigError;
    }
    m->resultFile = path;
    return 0;
}

// What a run has done so far: for the line of an interrupted run, the
// summary lines and the result file.
struct Progress {
    uint32_t count = 0;
    uint64_t systemErrors = 0;
    uint32_t warmupDone = 0;
    const char* failedCall = nullptr;
    std::optional<CHRTimer> timer;  // from "Start timer" on
    bool timerStopped = false;
    std::optional<latency::Histogram> histogram;  // with latencyHistogram = 1

    // Stops the timer if it still runs; the microseconds it measured.
    uint64_t elapsedMicrosec() {
        if (!timer) {
            return 0;
        }
        if (!timerStopped) {
            timer->stop(false);
            timerStopped = true;
        }
        return timer->getTimeSumInMicrosec();
    }
};

uint32_t failedAt(Progress& progress, const char* call, uint32_t rc) {
    progress.failedCall = call;
    return rc;
}

// The result of a pass that found a stop request pending; never returned.
const uint32_t kStopped = 0xFFFFFFFFu;

// The handles of one pass. Members end in the reverse order of their
// declaration: reply, composer, request, drained message.
struct PassHandles {
    MessageGuard drained;
    MessageGuard request;
    ComposerGuard composer;
    MessageGuard reply;
};

// One request: poll, build, compose, send and wait, check the reply. The
// handles stay in h for the caller to release after its own steps. With a
// histogram, the round trip from just before the send to just after the
// reply check is recorded.
uint32_t requestPass(XoMQConnHandle connection, const char* address, int32_t sendTimeout,
                     PassHandles& h, bool* systemError, latency::Histogram* histogram,
                     Progress& progress) {
    // Take at most one waiting incoming message; it is freed unread.
    uint32_t rc = XoMQGetMsg(connection, h.drained.slot(), 0);
    if (rc != 0 && rc != XO_NO_MESSAGE) {
        XoLogErrorWithCode(rc, "XoMQGetMsg failed");
        return failedAt(progress, "XoMQGetMsg", rc);
    }

    rc = XoMsgCreateMessage(h.request.slot());
    if (rc != 0) {
        XoLogErrorWithCode(rc, "%s failed", "XoMsgCreateMessage");
        return failedAt(progress, "XoMsgCreateMessage", rc);
    }
    rc = XoMsgSetFieldStr(h.request.get(), "Xo_To", address);
    if (rc != 0) {
        XoLogErrorWithCode(rc, "%s failed", "XoMsgSetFieldStr");
        return failedAt(progress, "XoMsgSetFieldStr", rc);
    }
    rc = XoMsgSetFieldStr(h.request.get(), "Xo_Category", "VORNA_FUTURES");
    if (rc != 0) {
        XoLogErrorWithCode(rc, "%s failed", "XoMsgSetFieldStr");
        return failedAt(progress, "XoMsgSetFieldStr", rc);
    }
    const int32_t typeValue = 6;
    rc = XoMsgSetField(h.request.get(), "Xo_Type", &typeValue, sizeof typeValue);
    if (rc != 0) {
        XoLogErrorWithCode(rc, "%s failed", "XoMsgSetField XoMSG_PROP_TYPE");
        return failedAt(progress, "XoMsgSetField", rc);
    }

    rc = XoSysCreateBinaryComposer(h.composer.slot());
    if (rc != 0) {
        XoLogErrorWithCode(rc, "XoSysCreateBinaryComposer failed");
        return failedAt(progress, "XoSysCreateBinaryComposer", rc);
    }
    rc = XoSysCompose(h.composer.get(), "c4i4c3c4c17c10", "ABCD", 12, "001", "VUZA", "", "3");
    if (rc != 0) {
        XoLogErrorWithCode(rc, "XoSysCompose failed");
        return failedAt(progress, "XoSysCompose", rc);
    }
    uint64_t bodySize = 0;
    rc = XoSysComposeGetSize(h.composer.get(), &bodySize);
    if (rc != 0) {
        XoLogErrorWithCode(rc, "XoSysComposeGetSize failed");
        return failedAt(progress, "XoSysComposeGetSize", rc);
    }
    const uint8_t* body = nullptr;
    rc = XoSysComposeGetBuffer(h.composer.get(), &body);
    if (rc != 0) {
        XoLogErrorWithCode(rc, "XoSysComposeGetBuffer failed");
        return failedAt(progress, "XoSysComposeGetBuffer", rc);
    }
    rc = XoMsgSetBody(h.request.get(), body, bodySize);
    if (rc != 0) {
        XoLogErrorWithCode(rc, "Cannot set body in reply message");
        return failedAt(progress, "XoMsgSetBody", rc);
    }

    SteadyClock::time_point sentAt;
    if (histogram != nullptr) {
        sentAt = SteadyClock::now();
    }
    rc = XoMQSendMsg(connection, h.request.get(), h.reply.slot(), sendTimeout);
    if (rc != 0) {
        XoLogErrorWithCode(rc, "%s failed", "XoMQSendMsg");
        return failedAt(progress, "XoMQSendMsg", rc);
    }
    XO_LOG_INFO("XoMQSendMsg");

    const void* replyCategory = nullptr;
    rc = XoMsgGetBinaryField(h.reply.get(), "Xo_Category", &replyCategory, nullptr);
    if (rc != 0) {
        XoLogErrorWithCode(rc, "%s failed", "XoMsgGetFieldStr");
        return failedAt(progress, "XoMsgGetBinaryField", rc);
    }
    uint32_t replyType = 0;
    rc = XoMsgCopyFieldUINT32(h.reply.get(), "Xo_Type", &replyType);
    if (rc != 0) {
        XoLogErrorWithCode(rc, "%s failed", "XoMsgCopyFieldUINT32");
        return failedAt(progress, "XoMsgCopyFieldUINT32", rc);
    }
    // A library that reports success without a category gives an
    // ordinary reply, never a null dereference.
    *systemError = replyCategory != nullptr &&
                   std::strcmp(static_cast<const char*>(replyCategory), "Xo_System") == 0 &&
                   replyType == 0;
    if (*systemError) {
        int32_t sysErrCode = static_cast<int32_t>(XO_NO_MESSAGE);
        uint64_t sysErrSize = sizeof sysErrCode;
        XoMsgCopyBody(h.reply.get(), &sysErrCode, &sysErrSize);
        XO_LOG_ERROR_WITH_CODE(static_cast<uint32_t>(sysErrCode), "Failed to receive reply");
    }
    if (histogram != nullptr) {
        const auto took =
            std::chrono::duration_cast<std::chrono::microseconds>(SteadyClock::now() - sentAt);
        histogram->record(static_cast<uint64_t>(took.count()));
    }
    return 0;
}

void logLatency(const latency::Histogram& h) {
    XO_LOG_INFO(
        "Latency in microseconds: min %I64u, p50 %I64u, p90 %I64u, p99 %I64u, "
        "p99.9 %I64u, p99.99 %I64u, max %I64u",
        h.min(), h.valueAtPercentile(50), h.valueAtPercentile(90), h.valueAtPercentile(99),
        h.valueAtPercentile(99.9), h.valueAtPercentile(99.99), h.max());
    XO_LOG_INFO("Latency mean %f microseconds, standard deviation %f microseconds", h.mean(),
                h.stddev());
}

// Progress lines every few seconds, written from the loop between requests.
class ProgressLines {
  public:
    explicit ProgressLines(int32_t seconds) : m_period(std::chrono::seconds(seconds)) {
        m_last = SteadyClock::now();
    }

    void after(uint32_t count, const latency::Histogram* histogram) {
        const SteadyClock::time_point now = SteadyClock::now();
        if (now - m_last < m_period) {
            return;
        }
        const double seconds = std::chrono::duration<double>(now - m_last).count();
        const double rate = static_cast<double>(count - m_lastCount) / seconds;
        if (histogram != nullptr) {
            XO_LOG_INFO("Progress: %I64u requests, now %f requests/sec, p99 so far %I64u us",
                        static_cast<uint64_t>(count), rate, histogram->valueAtPercentile(99));
        } else {
            XO_LOG_INFO("Progress: %I64u requests, now %f requests/sec",
                        static_cast<uint64_t>(count), rate);
        }
        m_last = now;
        m_lastCount = count;
    }

  private:
    SteadyClock::duration m_period;
    SteadyClock::time_point m_last;
    uint32_t m_lastCount = 0;
};

// What the result file needs besides the progress.
struct RunSettings {
    std::string service;
    int32_t sendAmount = 0;
    int32_t sendTimeout = 0;
};

// The run from the open environment on: returns its result code.
uint32_t runSteps(const char* extraArg, Measurements& measure, RunSettings& settings,
                  Progress& progress) {
    uint32_t rc = 0;

    const int32_t sendTimeout = XoIniCustGetInt(XO_INI_DEFAULT, kSection, "sendtimeout", 10000);
    settings.sendTimeout = sendTimeout;

    char serviceName[256];
    std::memset(serviceName, 0, sizeof serviceName);
    XoIniCustGetStr(XO_INI_DEFAULT, serviceName, sizeof serviceName, kSection, "toServiceName", "");
    serviceName[sizeof serviceName - 1] = '\0';
    settings.service = serviceName;
    if (serviceName[0] == '\0') {
        XO_LOG_ERROR("Parameter 'toServiceName' is absent in 'options:ap' section of INI");
        return kConfigError;
    }
    rc = readMeasurements(&measure);
    if (rc != 0) {
        return rc;
    }
    XO_LOG_INFO("Init complete");

    ConnectionGuard connection;
    rc = createMQConnectionConnect(connection.slot(), extraArg);
    if (rc != 0) {
        XoLogErrorWithCode(rc, "%s failed", "createMQConnectionConnect");
        return failedAt(progress, "createMQConnectionConnect", rc);
    }
#if defined(_WIN32)
    SetConsoleTitleA("XoMQSender");
#endif

    const int32_t sendAmount = XoIniCustGetInt(XO_INI_DEFAULT, kSection, "sendAmount", 10000);
    settings.sendAmount = sendAmount;
    if (sendAmount <= 0) {
        // The loop stops when the count reaches the amount, which a
        // non-positive amount would only meet after 2^32 passes.
        XO_LOG_ERROR(
            "Parameter 'sendAmount' in 'options:ap' section of INI must be positive, "
            "not %d",
            sendAmount);
        return kConfigError;
    }

    char address[1025];
    address[0] = '\0';
    uint64_t addressSize = sizeof address;
    rc = XoMQServiceResolve(connection.get(), serviceName, address, &addressSize, 0, 0);
    if (rc != 0) {
        XoLogErrorWithCode(rc, "%s failed", "XoMQServiceResolve");
        return failedAt(progress, "XoMQServiceResolve", rc);
    }
    address[sizeof address - 1] = '\0';

    // Warm-up: the same requests and checks, before the timer and outside
    // every figure.
    for (int32_t i = 0; i < measure.warmupAmount; ++i) {
        if (stoprequest::requested() != 0) {
            return kStopped;
        }
        PassHandles h;
        bool systemError = false;
        rc =
            requestPass(connection.get(), address, sendTimeout, h, &systemError, nullptr, progress);
        if (rc != 0) {
            return rc;
        }
        ++progress.warmupDone;
    }
    if (measure.warmupAmount > 0) {
        XO_LOG_INFO("Warm-up of %d requests done", measure.warmupAmount);
    }

    latency::Histogram* histogram =
        measure.latencyHistogram ? &progress.histogram.emplace() : nullptr;
    std::optional<ProgressLines> progressLines;
    if (measure.progressSeconds > 0) {
        progressLines.emplace(measure.progressSeconds);
    }

    XO_LOG_INFO("Start timer");
    CHRTimer& timer = progress.timer.emplace();
    timer.start();

    uint32_t& count = progress.count;
    for (;;) {
        if (stoprequest::requested() != 0) {
            return kStopped;
        }
        PassHandles h;
        bool systemError = false;
        rc = requestPass(connection.get(), address, sendTimeout, h, &systemError, histogram,
                         progress);
        if (rc != 0) {
            return rc;
        }
        if (systemError) {
            ++progress.systemErrors;
        }

        ++count;
        if (count == static_cast<uint32_t>(sendAmount)) {
            timer.stop(false);
            progress.timerStopped = true;
            logReport(count, timer.getTimeSumInMicrosec());
            if (measure.any() && (progress.systemErrors != 0 || histogram != nullptr)) {
                XO_LOG_INFO("%I64u system error replies", progress.systemErrors);
            }
            if (histogram != nullptr) {
                logLatency(*histogram);
            }
            return 0;
        }
        if (progressLines) {
            progressLines->after(count, histogram);
        }
    }
}

// The result file: the run's record, written beside its target and renamed.
uint32_t writeResultFile(const Measurements& measure, const RunSettings& settings,
                         Progress& progress, std::chrono::system_clock::time_point started,
                         uint32_t rc, int request) {
    results::RunRecord record;
    record.service = settings.service;
    record.sendAmount = settings.sendAmount;
    record.sendTimeoutMs = settings.sendTimeout;
    // Read again for the record; the run itself read them once.
    record.connectDeadlineMs =
        XoIniCustGetInt(XO_INI_DEFAULT, "options:mq", "timeoutToAllReconnectingTriing", 10000);
    record.connect = results::withoutPassword(buildConnectString());
    record.warmupAmount = measure.warmupAmount;
    record.latencyHistogram = measure.latencyHistogram;
    record.progressSeconds = measure.progressSeconds;
    record.started = started;
    record.ended = std::chrono::system_clock::now();
    record.resultCode = rc;
    record.failedCall = progress.failedCall != nullptr ? progress.failedCall : "";
    record.interruptedBy = request != 0 ? stoprequest::name(request) : "";
    record.count = progress.count;
    record.totalMicros = progress.elapsedMicrosec();
    record.systemErrors = progress.systemErrors;
    record.warmupDone = progress.warmupDone;
    record.histogram = progress.histogram ? &*progress.histogram : nullptr;
    std::string why;
    if (!results::writeAtomically(measure.resultFile, results::toJson(record), &why)) {
        XO_LOG_ERROR("Cannot write the result file '%s': %s", measure.resultFile.c_str(),
                     why.c_str());
        return rc == 0 ? kResultFileError : rc;
    }
    return rc;
}

uint32_t run(const char* iniPath, const char* extraArg) {
    stoprequest::install();
    LogIni logIni;
    uint32_t rc = logIni.logIniInit(iniPath);
    if (rc != 0) {
        XoLogErrorWithCode(rc, "%s failed", "logIniInit");
        return rc;
    }
    const auto started = std::chrono::system_clock::now();
    Measurements measure;
    RunSettings settings;
    Progress progress;
    rc = runSteps(extraArg, measure, settings, progress);
    stoprequest::settle();
    // A run that a stop request cut short (whichever call it ended in)
    // says so, with what it had done; a run that completed keeps its 0.
    const int request = rc != 0 ? stoprequest::requested() : 0;
    if (request != 0) {
        const uint64_t micros = progress.elapsedMicrosec();
        XO_LOG_ERROR("Interrupted by %s after %I64u requests and %I64u microseconds",
                     stoprequest::name(request), static_cast<uint64_t>(progress.count), micros);
        rc = stoprequest::exitCode(request);
    }
    if (!measure.resultFile.empty()) {
        rc = writeResultFile(measure, settings, progress, started, rc, request);
    }
    return rc;
}

const char kUsage[] = "Usage: XoMQSender <ini-file>\n";

void printHelp() {
    std::printf(
        "%s"
        "       XoMQSender --help | -h | --version\n"
        "       XoMQSender -- <ini-file>   (an INI file whose name starts with '-')\n"
        "\n"
        "Sends [options:ap] sendAmount identical requests to the service [options:ap]\n"
        "toServiceName through the router that [options:mq] names, one synchronous\n"
        "send-with-reply at a time, and logs the throughput.\n"
        "\n"
        "Exit status: 0 done; 13 configuration; 14 the result file could not be written;\n"
        "129, 130 or 143 stopped by SIGHUP, SIGINT or SIGTERM; otherwise the XoSys code\n"
        "of the call that failed (a shell sees its low 8 bits, e.g. 0x6056 as 86).\n",
        kUsage);
}

void printVersion() {
    std::printf("XoMQSender %s\n", XOMQ_VERSION);
    const xoversion::LibraryInfo library = xoversion::library();
    std::printf("XoSys library: %s (%s)\n", library.path.c_str(), library.version.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argv[1] == nullptr) {
        std::printf("%s", kUsage);
        return static_cast<int>(kConfigError);
    }
    const char* first = argv[1];
    if (std::strcmp(first, "--help") == 0 || std::strcmp(first, "-h") == 0) {
        printHelp();
        return 0;
    }
    if (std::strcmp(first, "--version") == 0) {
        printVersion();
        return 0;
    }
    if (std::strcmp(first, "--") == 0) {
        // Options end here: the INI path follows, whatever its name.
        ++argv;
        --argc;
        if (argc < 2 || argv[1] == nullptr) {
            std::printf("%s", kUsage);
            return static_cast<int>(kConfigError);
        }
    } else if (std::strncmp(first, "--", 2) == 0) {
        std::printf("XoMQSender: unknown option '%s'\n%s", first, kUsage);
        return static_cast<int>(kConfigError);
    }
    return static_cast<int>(run(argv[1], argc > 2 ? argv[2] : nullptr));
}
