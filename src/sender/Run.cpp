#include "Run.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include <sys/stat.h>
#include <sys/types.h>

#include "CHRTimer.h"
#include "HandleGuard.h"
#include "HistogramLog.h"
#include "LogIni.h"
#include "LogReport.h"
#include "MQConnection.h"
#include "Measurement.h"
#include "RequestPass.h"
#include "ResultFile.h"
#include "RunRecord.h"
#include "ServiceProbe.h"
#include "StopRequest.h"
#include "TraceSite.h"
#include "Version.h"
#include "XoSys.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

const char kSection[] = "options:ap";

// Reads key of "options:ap" into a zeroed buffer of its own size, always
// NUL-terminated.
template <size_t N>
void readText(char (&value)[N], const char* key, const char* defaultValue) {
    std::memset(value, 0, N);
    XoIniCustGetStr(XO_INI_DEFAULT, value, N, kSection, key, defaultValue);
    value[N - 1] = '\0';
}

const RunCall kConnect = {"createMQConnectionConnect", "createMQConnectionConnect", nullptr};
const RunCall kResolve = {"XoMQServiceResolve", "XoMQServiceResolve", nullptr};

// The run from the open environment to its outcome. It fills the record as
// it goes; the timer is its own working state.
class Run {
  public:
    explicit Run(results::RunRecord& record) : m_record(record) {}

    // From the options to the report: the run's code, or kStopped.
    uint32_t steps(const char* extraArg);
    // After the steps: the timed interval as far as it got, and the outcome,
    // with the line and the code of a stop request. The run's code.
    uint32_t finish(uint32_t rc);

  private:
    uint32_t readOptions();
    uint32_t readMeasurementKeys();
    uint32_t passes(const RequestTarget& target, bool timed);
    void stopTimer();

    results::RunRecord& m_record;
    hdrlog::Writer m_histogramLog;             // with histogramLog, open from the options on
    std::optional<Measurement> m_measurement;  // with a histogram or a rate
    std::optional<CHRTimer> m_timer;           // from "Start timer" on
    bool m_timerStopped = false;
    bool m_inWarmUp = false;
};

// A 0/1 key, read as text: the library reads any text as a number's default,
// so "yes" would be 0 without a word. Absent or empty is 0. False for any
// other text.
bool readFlag(const char* text, bool* value) {
    if (text[0] == '\0' || std::strcmp(text, "0") == 0) {
        *value = false;
        return true;
    }
    *value = std::strcmp(text, "1") == 0;
    return *value;
}

// A rate in requests per second: a decimal number, 0 for none. False for
// any other text, a negative number or more than a billion.
bool readRate(const char* text, double* value) {
    if (text[0] == '\0') {
        *value = 0;
        return true;
    }
    // Digits and at most one point only: no sign, exponent, "inf" or "nan".
    bool point = false;
    bool digit = false;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c == '.' && !point) {
            point = true;
        } else if (*c >= '0' && *c <= '9') {
            digit = true;
        } else {
            return false;
        }
    }
    if (!digit) {
        return false;
    }
    *value = std::strtod(text, nullptr);
    return *value <= 1e9;
}

// Why a path names no file to write, or "" when it may: a directory is
// refused here, before the run, and not by the rename at its end.
std::string notAFile(const char* path) {
    struct stat st {};
    if (stat(path, &st) == 0 && (st.st_mode & S_IFMT) == S_IFDIR) {
        return "it is a directory";
    }
    return "";
}

uint32_t Run::readOptions() {
    results::RunRecord::Settings& s = m_record.settings;
    s.sendTimeoutMs = XoIniCustGetInt(XO_INI_DEFAULT, kSection, "sendtimeout", 10000);

    char serviceName[256];
    readText(serviceName, "toServiceName", "");
    s.service = serviceName;
    if (serviceName[0] == '\0') {
        XO_LOG_ERROR("Parameter 'toServiceName' is absent in 'options:ap' section of INI");
        return kConfigError;
    }
    return readMeasurementKeys();
}

// The measurement keys, each off by default: with none of them set the run
// is exactly the plain benchmark. kConfigError after the reason's line.
uint32_t Run::readMeasurementKeys() {
    results::RunRecord::Settings& s = m_record.settings;
    char histogram[16];
    readText(histogram, "latencyHistogram", "0");
    char path[1024];
    readText(path, "resultFile", "");
    s.warmupAmount = XoIniCustGetInt(XO_INI_DEFAULT, kSection, "warmupAmount", 0);
    s.progressSeconds = XoIniCustGetInt(XO_INI_DEFAULT, kSection, "progressSeconds", 0);
    char serviceStats[16];
    readText(serviceStats, "serviceStats", "0");
    char rate[32];
    readText(rate, "sendRate", "0");
    char logPath[1024];
    readText(logPath, "histogramLog", "");
    if (!readFlag(histogram, &s.latencyHistogram)) {
        XO_LOG_ERROR(
            "Parameter 'latencyHistogram' in 'options:ap' section of INI must be 0 or 1, "
            "not %s",
            histogram);
        return kConfigError;
    }
    if (!readFlag(serviceStats, &s.serviceStats)) {
        XO_LOG_ERROR(
            "Parameter 'serviceStats' in 'options:ap' section of INI must be 0 or 1, not %s",
            serviceStats);
        return kConfigError;
    }
    if (s.warmupAmount < 0) {
        XO_LOG_ERROR(
            "Parameter 'warmupAmount' in 'options:ap' section of INI must not be "
            "negative, not %d",
            s.warmupAmount);
        return kConfigError;
    }
    if (s.progressSeconds < 0) {
        XO_LOG_ERROR(
            "Parameter 'progressSeconds' in 'options:ap' section of INI must not be "
            "negative, not %d",
            s.progressSeconds);
        return kConfigError;
    }
    std::string why = path[0] != '\0' ? notAFile(path) : "";
    if (path[0] != '\0' && (!why.empty() || !results::canWriteBeside(path, &why))) {
        XO_LOG_ERROR("Parameter 'resultFile' in 'options:ap' section of INI: cannot write '%s': %s",
                     path, why.c_str());
        return kConfigError;
    }
    s.resultFile = path;
    if (!readRate(rate, &s.sendRate)) {
        XO_LOG_ERROR(
            "Parameter 'sendRate' in 'options:ap' section of INI must be a number of requests "
            "per second (0 for none), not %s",
            rate);
        return kConfigError;
    }
    if (logPath[0] != '\0') {
        if (!s.latencyHistogram) {
            XO_LOG_ERROR(
                "Parameter 'histogramLog' in 'options:ap' section of INI needs latencyHistogram = "
                "1");
            return kConfigError;
        }
        // Opened now, so that a path that cannot be written fails before the run.
        if (!m_histogramLog.open(logPath, &why)) {
            XO_LOG_ERROR(
                "Parameter 'histogramLog' in 'options:ap' section of INI: cannot write '%s': %s",
                logPath, why.c_str());
            return kConfigError;
        }
        s.histogramLog = logPath;
    }
    return 0;
}

uint32_t Run::steps(const char* extraArg) {
    uint32_t rc = readOptions();
    if (rc != 0) {
        return rc;
    }
    XO_LOG_INFO("Init complete");

    ConnectionGuard connection;
    rc = createMQConnectionConnect(connection.slot(), extraArg);
    if (rc != 0) {
        return callFailed(rc, kConnect, &m_record.failedCall);
    }
#if defined(_WIN32)
    SetConsoleTitleA("XoMQSender");
#endif

    results::RunRecord::Settings& s = m_record.settings;
    s.sendAmount = XoIniCustGetInt(XO_INI_DEFAULT, kSection, "sendAmount", 10000);
    if (s.sendAmount <= 0) {
        // The loop stops when the count reaches the amount, which a
        // non-positive amount would only meet after 2^32 passes.
        XO_LOG_ERROR(
            "Parameter 'sendAmount' in 'options:ap' section of INI must be positive, "
            "not %d",
            s.sendAmount);
        return kConfigError;
    }

    char address[1025];
    address[0] = '\0';
    uint64_t addressSize = sizeof address;
    rc = XoMQServiceResolve(connection.get(), s.service.c_str(), address, &addressSize, 0, 0);
    if (rc != 0) {
        return callFailed(rc, kResolve, &m_record.failedCall);
    }
    address[sizeof address - 1] = '\0';
    const RequestTarget target = {connection.get(), address, s.sendTimeoutMs};

    // Warm-up: the same requests and checks, before the timer and outside
    // every figure, and not paced.
    m_inWarmUp = s.warmupAmount > 0;
    rc = passes(target, false);
    if (rc != 0) {
        return rc;
    }
    m_inWarmUp = false;
    if (s.warmupAmount > 0) {
        XO_LOG_INFO("Warm-up of %d requests done", s.warmupAmount);
    }

    if (Measurement::needed(s)) {
        // Its histograms are allocated before the timer starts.
        m_measurement.emplace(m_record, m_histogramLog.isOpen() ? &m_histogramLog : nullptr);
    }
    std::optional<serviceprobe::Probe> probe;
    if (s.serviceStats) {
        probe.emplace(connection.get(), s.service);
        probe->before();
    }
    XO_LOG_INFO("Start timer");
    m_timer.emplace();
    m_timer->start();
    if (m_measurement) {
        m_measurement->start();
    }
    rc = passes(target, true);
    if (rc == 0 && probe) {
        m_record.serviceStats = probe->after();
        logreport::serviceStats(m_record);
    }
    return rc;
}

// The requests of the warm-up, or of the timed loop, which ends with the
// report (before the last pass's handles are released).
uint32_t Run::passes(const RequestTarget& target, bool timed) {
    const results::RunRecord::Settings& s = m_record.settings;
    const uint32_t amount = static_cast<uint32_t>(timed ? s.sendAmount : s.warmupAmount);
    uint32_t& done = timed ? m_record.count : m_record.warmupDone;
    Measurement* measurement = timed && m_measurement ? &*m_measurement : nullptr;
    // With a histogram the timed loop's progress lines come from its
    // intervals.
    std::optional<logreport::ProgressLines> progress;
    if (s.progressSeconds > 0 && (timed ? !s.latencyHistogram : s.warmupAmount > 0)) {
        progress.emplace(s.progressSeconds, timed ? 0 : s.warmupAmount);
    }
    while (done != amount) {
        if (stoprequest::requested() != 0) {
            return kStopped;
        }
        PassHandles h;
        bool systemError = false;
        const uint32_t rc = requestPass(target, h, measurement, &systemError, &m_record.failedCall);
        if (rc != 0) {
            return rc;
        }
        ++done;
        if (timed && systemError) {
            ++m_record.systemErrors;
        }
        if (timed && done == amount) {
            stopTimer();
            logreport::report(m_record);
        } else if (progress) {
            progress->after(m_record);
        }
    }
    return 0;
}

void Run::stopTimer() {
    if (m_timer && !m_timerStopped) {
        m_timer->stop(false);
        m_timerStopped = true;
    }
    m_record.totalMicros = m_timer ? m_timer->getTimeSumInMicrosec() : 0;
    if (m_measurement) {
        m_measurement->finish();
    }
}

uint32_t Run::finish(uint32_t rc) {
    stoprequest::settle();
    stopTimer();
    // A run that a stop request cut short (whichever call it ended in)
    // says so, with what it had done; a run that completed keeps its 0.
    const int request = rc != 0 ? stoprequest::requested() : 0;
    if (request != 0) {
        m_record.interruptedBy = stoprequest::name(request);
        rc = stoprequest::exitCode(request);
        logreport::interrupted(m_record, m_inWarmUp);
    }
    m_record.resultCode = rc;
    return rc;
}

// The program and the library it runs with, on which machine.
results::RunRecord::Origin thisProcess() {
    const xoversion::LibraryInfo library = xoversion::library();
    results::RunRecord::Origin origin;
    origin.programVersion = XOMQ_VERSION;
    origin.library = library.path;
    origin.libraryVersion = library.version;
    origin.host = results::hostName();
    origin.pid = results::processId();
    return origin;
}

// The result file: the record, completed with what only the file reports.
// The connect settings are read again here: the set-up reads them inside
// createMQConnectionConnect, and the calls of a run are not to change.
uint32_t writeResultFile(results::RunRecord& record) {
    record.settings.connectDeadlineMs =
        XoIniCustGetInt(XO_INI_DEFAULT, "options:mq", "timeoutToAllReconnectingTriing", 10000);
    record.settings.connect = results::withoutPassword(buildConnectString());
    record.origin = thisProcess();
    record.ended = std::chrono::system_clock::now();
    const std::string& path = record.settings.resultFile;
    std::string why;
    if (!results::writeAtomically(path, results::toJson(record), &why)) {
        XO_LOG_ERROR("Cannot write the result file '%s': %s", path.c_str(), why.c_str());
        return record.resultCode == 0 ? kResultFileError : record.resultCode;
    }
    return record.resultCode;
}

}  // namespace

uint32_t runBenchmark(const char* iniPath, const char* extraArg) {
    stoprequest::install();
    LogIni logIni;
    const uint32_t rc = logIni.logIniInit(iniPath);
    if (rc != 0) {
        XoLogErrorWithCode(rc, "%s failed", "logIniInit");
        return rc;
    }
    results::RunRecord record;
    record.started = std::chrono::system_clock::now();
    Run run(record);
    const uint32_t result = run.finish(run.steps(extraArg));
    if (record.settings.resultFile.empty()) {
        return result;
    }
    return writeResultFile(record);
}
