// The pieces of a run against a real router: a NATS router on a free
// loopback port, the responder service, an INI file, XoMQSender itself and
// a reader for its log. Each object stops what it started when it goes.
#ifndef XOMQ_TESTS_SUPPORT_HARNESS_H
#define XOMQ_TESTS_SUPPORT_HARNESS_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Process.h"

namespace xotest {

// Paths of the executables under test, fixed at build time. natsServerPath()
// is empty when the build found no nats-server.
std::string senderPath();
std::string responderPath();
std::string natsServerPath();

// nats-server listening on 127.0.0.1. The constructor returns once the
// server accepts TCP connections and throws when it does not within bound.
class NatsServer {
  public:
    struct Options {
        int port = 0;        // 0: a free port is picked
        std::string token;   // required client token (--auth) when not empty
        std::string config;  // configuration file text (-c), when not empty
        std::vector<std::string> extraArgs;
        Millis startBound = Millis(10000);
    };

    NatsServer(const TempDir& dir, Options options);
    explicit NatsServer(const TempDir& dir) : NatsServer(dir, Options()) {}

    int port() const { return m_port; }
    std::string url() const { return "nats://127.0.0.1:" + std::to_string(m_port); }
    Process& process() { return m_process; }
    ExitStatus stop() { return m_process.stop(); }

  private:
    int m_port;
    Process m_process;
};

// A cluster of nats-servers on loopback, each on free client and route
// ports, with routes to node 0 (the others learn each other from it). The
// constructor returns once every node has a route to each of the others and
// throws when they do not within bound.
class NatsCluster {
  public:
    NatsCluster(const TempDir& dir, int nodes, Millis bound = Millis(15000));

    int size() const { return static_cast<int>(m_nodes.size()); }
    NatsServer& node(int i) { return m_nodes[static_cast<size_t>(i)]; }
    std::string url(int i) const {
        return "nats://127.0.0.1:" + std::to_string(m_nodes[static_cast<size_t>(i)].port());
    }

  private:
    std::vector<NatsServer> m_nodes;
};

// True once a plain client of the router at 127.0.0.1:port gets an answer
// to a request on subject (a service answers its resolve subject), within
// bound. Speaks the NATS protocol itself, so it needs no client library.
bool answersOn(int port, const std::string& subject, Millis bound);

// What the responder says when it stops.
struct ResponderSummary {
    long answered = -1;
    long systemErrors = -1;
    long unsolicited = -1;
};

// xomq-responder serving one service name. The constructor returns once the
// responder has printed its ready line and throws when it does not.
class Responder {
  public:
    Responder(const TempDir& dir, const std::string& serverUrl, const std::string& service,
              std::vector<std::string> extraArgs = {}, const std::string& name = "responder");

    Process& process() { return m_process; }
    // Stops it with SIGTERM and reads its summary line; nullopt when it
    // printed none or did not end cleanly.
    std::optional<ResponderSummary> stop();

  private:
    Process m_process;
};

// An INI file built in memory: sections and keys in the order first set.
class IniFile {
  public:
    IniFile& set(const std::string& section, const std::string& key, const std::string& value);
    IniFile& set(const std::string& section, const std::string& key, long value) {
        return set(section, key, std::to_string(value));
    }
    IniFile& erase(const std::string& section, const std::string& key);
    std::string text() const;
    void write(const std::string& path) const { writeFile(path, text()); }

  private:
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>>
        m_sections;
};

// A configuration for one run against 127.0.0.1:port, the log going to
// logPath with every statement switched on.
IniFile standardIni(int port, const std::string& service, long sendAmount,
                    const std::string& logPath);
// Switches one log statement off by its format text.
void silenceStatement(IniFile& ini, const std::string& formatText);

// One finished (or stopped) run of XoMQSender.
struct SenderRun {
    bool finished = false;  // ended by itself within its bound
    ExitStatus status;
    Millis elapsed{0};
    std::string out;
    std::string err;
    std::string log;

    // Everything the run wrote, for failure messages.
    std::string describe() const;
};

// Starts XoMQSender with the given arguments (usually the INI path).
Process startSender(const TempDir& dir, std::vector<std::string> args,
                    const std::string& name = "sender");
// Waits at most bound for a started run to end (then stops it) and
// collects its output and the log at logPath.
SenderRun finishSender(Process& sender, Millis bound, const std::string& logPath,
                       std::chrono::steady_clock::time_point startedAt);
// Starts, waits and collects in one.
SenderRun runSender(const TempDir& dir, std::vector<std::string> args, const std::string& logPath,
                    Millis bound, const std::string& name = "sender");

// Log reading.
std::vector<std::string> splitLines(const std::string& text);
// The lines that contain text.
std::vector<std::string> linesWith(const std::string& log, const std::string& text);
// Waits until the file at path holds at least count lines with text.
bool waitForLog(const std::string& path, const std::string& text, size_t count, Millis bound);
// The error code a log line carries, if any.
std::optional<uint32_t> codeIn(const std::string& line);
// The time stamp a log line starts with ("YYYY-MM-DD HH:MM:SS.uuuuuu"), in
// microseconds since 1970 as the line shows it.
std::optional<int64_t> timestampOf(const std::string& line);
// The unsigned integer that follows prefix in line.
std::optional<uint64_t> numberAfter(const std::string& line, const std::string& prefix);
// The floating point number that follows prefix in line.
std::optional<double> realAfter(const std::string& line, const std::string& prefix);

// The throughput report of a log.
struct Report {
    uint64_t count = 0;
    uint64_t totalMicros = 0;
    double rate = 0;
    double microsPerMessage = 0;
};
// nullopt unless all three report lines are there, once each.
std::optional<Report> parseReport(const std::string& log);

}  // namespace xotest

#endif  // XOMQ_TESTS_SUPPORT_HARNESS_H
