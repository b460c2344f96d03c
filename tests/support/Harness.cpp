#include "Harness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace xotest {

namespace {

using Clock = std::chrono::steady_clock;

const char kReady[] = "xomq-responder: ready";
const char kSummary[] = "xomq-responder: answered ";

std::string lowered(std::string text) {
    for (auto& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

}  // namespace

std::string senderPath() {
    return XO_TEST_SENDER;
}
std::string responderPath() {
    return XO_TEST_RESPONDER;
}
std::string natsServerPath() {
    return XO_TEST_NATS_SERVER;
}

// ---- NatsServer ---------------------------------------------------------------

NatsServer::NatsServer(const TempDir& dir, Options options)
    : m_port(options.port != 0 ? options.port : freeLoopbackPort()) {
    std::vector<std::string> args = {natsServerPath(), "-a", "127.0.0.1", "-p",
                                     std::to_string(m_port)};
    if (!options.token.empty()) {
        args.push_back("--auth");
        args.push_back(options.token);
    }
    const std::string name = "nats-server-" + std::to_string(m_port);
    if (!options.config.empty()) {
        const std::string configPath = dir.file(name + ".conf");
        writeFile(configPath, options.config);
        args.push_back("-c");
        args.push_back(configPath);
    }
    args.insert(args.end(), options.extraArgs.begin(), options.extraArgs.end());
    m_process = Process(dir, name, args);
    if (!waitForTcp(m_port, options.startBound, &m_process)) {
        const std::string what = "nats-server did not accept connections on port " +
                                 std::to_string(m_port) + ": " + m_process.describe();
        m_process.kill();
        throw std::runtime_error(what);
    }
}

// ---- NatsCluster --------------------------------------------------------------

namespace {

size_t countIn(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

}  // namespace

NatsCluster::NatsCluster(const TempDir& dir, int nodes, Millis bound) {
    std::vector<int> routePorts;
    for (int i = 0; i < nodes; ++i) {
        routePorts.push_back(freeLoopbackPort());
    }
    const std::string seed = "nats://127.0.0.1:" + std::to_string(routePorts[0]);
    m_nodes.reserve(static_cast<size_t>(nodes));
    for (int i = 0; i < nodes; ++i) {
        NatsServer::Options options;
        options.extraArgs = {"--cluster_name", "xomq", "--cluster",
                             "nats://127.0.0.1:" + std::to_string(routePorts[i])};
        if (i > 0) {
            options.extraArgs.push_back("--routes");
            options.extraArgs.push_back(seed);
        }
        m_nodes.emplace_back(dir, options);
    }
    // Routes made minus routes closed (duplicates are closed) per node.
    const auto end = std::chrono::steady_clock::now() + bound;
    for (;;) {
        bool meshed = true;
        for (auto& node : m_nodes) {
            const std::string log = node.process().err();
            const size_t made = countIn(log, "Route connection created");
            const size_t closed = countIn(log, "Router connection closed");
            meshed = meshed && made >= closed + static_cast<size_t>(nodes - 1);
        }
        if (meshed) {
            return;
        }
        if (std::chrono::steady_clock::now() > end) {
            throw std::runtime_error("the cluster's routes did not form: " +
                                     m_nodes.back().process().describe());
        }
        std::this_thread::sleep_for(Millis(50));
    }
}

bool answersOn(int port, const std::string& subject, Millis bound) {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < end) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool answered = false;
        if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            const std::string hello = "CONNECT {\"verbose\":false}\r\nSUB _PROBE.reply 1\r\nPUB " +
                                      subject + " _PROBE.reply 0\r\n\r\n";
            std::string got;
            if (write(fd, hello.data(), hello.size()) == static_cast<ssize_t>(hello.size())) {
                // An answer within 300 ms, or another try.
                const auto tryEnd = std::chrono::steady_clock::now() + Millis(300);
                while (!answered && std::chrono::steady_clock::now() < tryEnd) {
                    pollfd p{fd, POLLIN, 0};
                    if (poll(&p, 1, 50) <= 0) {
                        continue;
                    }
                    char buffer[4096];
                    const ssize_t n = read(fd, buffer, sizeof buffer);
                    if (n <= 0) {
                        break;
                    }
                    got.append(buffer, static_cast<size_t>(n));
                    answered = got.find("MSG _PROBE.reply ") != std::string::npos;
                }
            }
        }
        if (fd >= 0) {
            close(fd);
        }
        if (answered) {
            return true;
        }
        std::this_thread::sleep_for(Millis(100));
    }
    return false;
}

// ---- Responder ----------------------------------------------------------------

Responder::Responder(const TempDir& dir, const std::string& serverUrl, const std::string& service,
                     std::vector<std::string> extraArgs, const std::string& name) {
    std::vector<std::string> args = {responderPath(), "--server", serverUrl, "--service", service};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    m_process = Process(dir, name, args);
    if (!m_process.waitForOutput(kReady, Millis(10000))) {
        const std::string what = "the responder did not get ready: " + m_process.describe();
        m_process.kill();
        throw std::runtime_error(what);
    }
}

std::optional<ResponderSummary> Responder::stop() {
    const ExitStatus status = m_process.stop();
    if (!status.exitedWith(0)) {
        return std::nullopt;
    }
    const auto lines = linesWith(m_process.out(), kSummary);
    if (lines.size() != 1) {
        return std::nullopt;
    }
    // "xomq-responder: answered <n> requests, <e> system errors, <u> unsolicited"
    long answered = 0, errors = 0, unsolicited = 0;
    if (std::sscanf(lines[0].c_str(),
                    "xomq-responder: answered %ld requests, %ld system errors, %ld unsolicited",
                    &answered, &errors, &unsolicited) != 3) {
        return std::nullopt;
    }
    return ResponderSummary{answered, errors, unsolicited};
}

// ---- IniFile ------------------------------------------------------------------

IniFile& IniFile::set(const std::string& section, const std::string& key,
                      const std::string& value) {
    for (auto& s : m_sections) {
        if (s.first == section) {
            for (auto& kv : s.second) {
                if (kv.first == key) {
                    kv.second = value;
                    return *this;
                }
            }
            s.second.emplace_back(key, value);
            return *this;
        }
    }
    m_sections.push_back({section, {{key, value}}});
    return *this;
}

IniFile& IniFile::erase(const std::string& section, const std::string& key) {
    for (auto& s : m_sections) {
        if (s.first == section) {
            for (auto it = s.second.begin(); it != s.second.end(); ++it) {
                if (it->first == key) {
                    s.second.erase(it);
                    return *this;
                }
            }
        }
    }
    return *this;
}

std::string IniFile::text() const {
    std::ostringstream out;
    for (const auto& s : m_sections) {
        out << "[" << s.first << "]\n";
        for (const auto& kv : s.second) {
            out << kv.first << " = " << kv.second << "\n";
        }
        out << "\n";
    }
    return out.str();
}

IniFile standardIni(int port, const std::string& service, long sendAmount,
                    const std::string& logPath) {
    IniFile ini;
    ini.set("options:ap", "toServiceName", service)
        .set("options:ap", "sendAmount", sendAmount)
        .set("options:ap", "sendtimeout", 5000)
        .set("options:mq", "host", "127.0.0.1")
        .set("options:mq", "port", port)
        .set("options:mq", "timeout", 2000)
        .set("options:mq", "timeoutToAllReconnectingTriing", 3000)
        .set("log", "file", logPath)
        .set("log", "append", 0)
        .set("log", "level", "info");
    return ini;
}

void silenceStatement(IniFile& ini, const std::string& formatText) {
    ini.set("log", "silence", formatText);
}

// ---- XoMQSender ---------------------------------------------------------------

std::string SenderRun::describe() const {
    std::ostringstream s;
    s << (finished ? "ended with " + status.describe() : std::string("did not end in time"))
      << " after " << elapsed.count() << " ms\n--- stdout:\n"
      << out << "\n--- stderr:\n"
      << err << "\n--- log:\n"
      << (log.size() > 6000 ? log.substr(0, 3000) + "\n...\n" + log.substr(log.size() - 3000)
                            : log);
    return s.str();
}

Process startSender(const TempDir& dir, std::vector<std::string> args, const std::string& name) {
    args.insert(args.begin(), senderPath());
    return Process(dir, name, args);
}

SenderRun finishSender(Process& sender, Millis bound, const std::string& logPath,
                       Clock::time_point startedAt) {
    SenderRun run;
    const auto status = sender.waitFor(bound);
    run.elapsed = std::chrono::duration_cast<Millis>(Clock::now() - startedAt);
    run.finished = status.has_value();
    run.status = status ? *status : sender.stop();
    run.out = sender.out();
    run.err = sender.err();
    run.log = readFile(logPath);
    return run;
}

SenderRun runSender(const TempDir& dir, std::vector<std::string> args, const std::string& logPath,
                    Millis bound, const std::string& name) {
    // A log left by an earlier run must not be taken for this one's.
    std::remove(logPath.c_str());
    const auto startedAt = Clock::now();
    Process sender = startSender(dir, std::move(args), name);
    return finishSender(sender, bound, logPath, startedAt);
}

// ---- Log reading ----------------------------------------------------------------

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> linesWith(const std::string& log, const std::string& text) {
    std::vector<std::string> result;
    for (auto& line : splitLines(log)) {
        if (line.find(text) != std::string::npos) {
            result.push_back(line);
        }
    }
    return result;
}

bool waitForLog(const std::string& path, const std::string& text, size_t count, Millis bound) {
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < bound) {
        if (linesWith(readFile(path), text).size() >= count) {
            return true;
        }
        std::this_thread::sleep_for(Millis(10));
    }
    return false;
}

std::optional<uint32_t> codeIn(const std::string& line) {
    // The library writes the code of an error line as "code=<decimal>".
    const auto value = numberAfter(lowered(line), "code=");
    if (!value || *value > 0xFFFFFFFFu) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(*value);
}

std::optional<int64_t> timestampOf(const std::string& line) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, micro = 0, used = 0;
    if (std::sscanf(line.c_str(), "%4d-%2d-%2d %2d:%2d:%2d.%6d%n", &year, &month, &day, &hour,
                    &minute, &second, &micro, &used) != 7 ||
        used != 26 || month < 1 || month > 12 || day < 1 || day > 31) {
        return std::nullopt;
    }
    // Days since 1970-01-01 of a proleptic Gregorian date.
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yearOfEra = y - era * 400;
    const int dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const int64_t days = static_cast<int64_t>(era) * 146097 + dayOfEra - 719468;
    return ((days * 24 + hour) * 60 + minute) * 60 * int64_t{1000000} +
           static_cast<int64_t>(second) * 1000000 + micro;
}

std::optional<uint64_t> numberAfter(const std::string& line, const std::string& prefix) {
    const auto at = line.find(prefix);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    const char* begin = line.c_str() + at + prefix.size();
    if (*begin < '0' || *begin > '9') {
        return std::nullopt;
    }
    char* end = nullptr;
    const unsigned long long value = std::strtoull(begin, &end, 10);
    return static_cast<uint64_t>(value);
}

std::optional<double> realAfter(const std::string& line, const std::string& prefix) {
    const auto at = line.find(prefix);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    const char* begin = line.c_str() + at + prefix.size();
    char* end = nullptr;
    const double value = std::strtod(begin, &end);
    if (end == begin) {
        return std::nullopt;
    }
    return value;
}

namespace {

// The word right before suffix in line ("" when suffix is not there).
std::string wordBefore(const std::string& line, const std::string& suffix) {
    const auto at = line.find(suffix);
    if (at == std::string::npos) {
        return std::string();
    }
    const auto space = line.rfind(' ', at == 0 ? 0 : at - 1);
    const auto begin = space == std::string::npos || space >= at ? 0 : space + 1;
    return line.substr(begin, at - begin);
}

bool wholeNumber(const std::string& word, uint64_t* value) {
    if (word.empty() || word.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    *value = std::strtoull(word.c_str(), nullptr, 10);
    return true;
}

bool realNumber(const std::string& word, double* value) {
    if (word.empty()) {
        return false;
    }
    char* end = nullptr;
    *value = std::strtod(word.c_str(), &end);
    return end == word.c_str() + word.size();
}

}  // namespace

std::optional<Report> parseReport(const std::string& log) {
    // "%d messages sent for %I64u microseconds", "So it is %f messages/sec",
    // "or %f microseconds for 1 message"
    const auto sent = linesWith(log, " messages sent for ");
    const auto rate = linesWith(log, " messages/sec");
    const auto per = linesWith(log, " microseconds for 1 message");
    if (sent.size() != 1 || rate.size() != 1 || per.size() != 1) {
        return std::nullopt;
    }
    Report report;
    const std::string total = sent[0].substr(sent[0].find(" messages sent for ") + 19);
    if (!wholeNumber(wordBefore(sent[0], " messages sent for "), &report.count) ||
        !wholeNumber(wordBefore(total, " microseconds"), &report.totalMicros) ||
        total.find(" microseconds") != wordBefore(total, " microseconds").size() ||
        !realNumber(wordBefore(rate[0], " messages/sec"), &report.rate) ||
        rate[0].find("So it is " + wordBefore(rate[0], " messages/sec")) == std::string::npos ||
        !realNumber(wordBefore(per[0], " microseconds for 1 message"), &report.microsPerMessage) ||
        per[0].find("or " + wordBefore(per[0], " microseconds for 1 message")) ==
            std::string::npos) {
        return std::nullopt;
    }
    return report;
}

}  // namespace xotest
