// xomq-fleet-control: runs one fleet on xomq-agents through the router
// (scripts/fleet.sh --agents calls it). It finds the agents (a ping of the
// NATS service xomq-agent), measures each one's clock against its own,
// sends the order, watches the agents while they run, collects the result
// files they send back into <out>/<agent>/ and describes every agent in
// <out>/agents.json for xomq-fleet-merge.
#include <fcntl.h>
#include <nats/nats.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "IniData.h"
#include "NatsLink.h"
#include "Order.h"
#include "Protocol.h"
#include "RouterFlags.h"

namespace {

using Json = nlohmann::ordered_json;
using xoagent::Order;

const char kUsage[] =
    "usage: xomq-fleet-control --server <routers> --agents <name,...|all> --out <dir>\n"
    "                          [--senders <k>] [--amount <n>] [--warmup <n>]\n"
    "                          [--rate <r>] [--ini <file>] [--timeout <s>]\n"
    "                          [--start-delay-ms <ms>] [--max-offset-ms <ms>]\n"
    "                          [--discover-ms <ms>] [--user <name>] [--password <text>]\n"
    "                          [--nkey-seed <file>] [--creds <file>] [--tls-ca <file>]\n"
    "                          [--tls-cert <file> --tls-key <file>]\n"
    "\n"
    "Runs one fleet on xomq-agents reached through the router, and collects their\n"
    "senders' result files into <out>/<agent>/sender-<i>.json and <out>/agents.json\n"
    "(then: xomq-fleet-merge --agents <out>/agents.json).\n"
    "\n"
    "  --agents            the agents to run on, or 'all' that answer a ping of the\n"
    "                      NATS service xomq-agent within --discover-ms\n"
    "  --out               the folder for the results\n"
    "  --senders           XoMQSender processes per agent (default 1)\n"
    "  --amount            requests per sender (default 10000)\n"
    "  --warmup            warm-up requests per sender (default 0)\n"
    "  --rate              requests per second per sender (sendRate; default: none)\n"
    "  --ini               the sender settings: toServiceName (required), sendtimeout,\n"
    "                      progressSeconds, serviceStats in [options:ap];\n"
    "                      timeoutToAllReconnectingTriing, timeout, appname in\n"
    "                      [options:mq]. Any other key is refused before anything is\n"
    "                      sent\n"
    "  --timeout           the senders still running this many seconds after the start\n"
    "                      are stopped (default 600); the run ends 20 s later at most\n"
    "  --start-delay-ms    the start lies this far ahead of the order (default 2000)\n"
    "  --max-offset-ms     warn about agents whose clock is further off (default 50)\n"
    "  --discover-ms       how long the ping waits for answers (default 1000)\n"
    "%s"
    "\n"
    "An agent that is missing, refuses the order, does not answer, or is lost while\n"
    "it runs (3 clock requests 2 s apart unanswered) is named as failed in\n"
    "agents.json; the results of the others are kept. Exit status: 0 every agent\n"
    "and sender completed, 1 an agent or a sender failed, 2 bad flags or settings\n"
    "(nothing sent), 130/143 stopped by SIGINT/SIGTERM (the agents stop too).\n";

const int kClockRounds = 5;
const int64_t kClockWaitMs = 500;
const int64_t kOrderWaitMs = 5000;
const int64_t kBeatMs = 2000;
const int kMaxMissedBeats = 3;
const int64_t kGraceMs = 20000;
// After a signal: what the agents' senders wrote by then comes back within
// it (a sender writes its result file at once on SIGTERM), and it fits in
// the 5 s a script gives a process it stops before it kills it.
const int64_t kSignalGraceMs = 4000;

volatile std::sig_atomic_t g_stop = 0;

void onSignal(int sig) {
    g_stop = sig;
}

struct Options {
    xosys::ConnectParams router;
    bool all = false;
    std::vector<std::string> agents;
    Order order;
    std::string out;
    int64_t startDelayMs = 2000;
    double maxOffsetMs = 50;
    int64_t discoverMs = 1000;
};

int usageError(const std::string& what) {
    std::fprintf(stderr, "xomq-fleet-control: %s\n\n", what.c_str());
    std::fprintf(stderr, kUsage, xotools::kRouterFlagsHelp);
    return 2;
}

bool parseLong(const char* text, long long min, long long max, long long* value) {
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < min || v > max) {
        return false;
    }
    *value = v;
    return true;
}

bool parseReal(const char* text, double min, double max, double* value) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !std::isfinite(v) || v < min || v > max) {
        return false;
    }
    *value = v;
    return true;
}

std::vector<std::string> splitCommas(const std::string& text) {
    std::vector<std::string> out;
    size_t begin = 0;
    while (begin <= text.size()) {
        size_t end = text.find(',', begin);
        if (end == std::string::npos) {
            end = text.size();
        }
        out.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    return out;
}

// Returns -1 when the options are good, otherwise the exit status.
int parseOptions(int argc, char** argv, Options* o) {
    xotools::RouterFlags routerFlags;
    std::string agents;
    std::string ini;
    o->order.warmup = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--help" || flag == "-h") {
            std::printf(kUsage, xotools::kRouterFlagsHelp);
            return 0;
        }
        if (i + 1 >= argc) {
            return usageError(
                (flag.compare(0, 2, "--") == 0 ? "missing value of " : "unknown argument: ") +
                flag);
        }
        const char* value = argv[++i];
        if (routerFlags.take(flag, value)) {
            continue;
        }
        long long n = 0;
        bool ok = true;
        if (flag == "--agents") {
            agents = value;
        } else if (flag == "--out") {
            o->out = value;
        } else if (flag == "--ini") {
            ini = value;
        } else if (flag == "--senders") {
            ok = parseLong(value, 1, 1024, &n);
            o->order.senders = static_cast<int>(n);
        } else if (flag == "--amount") {
            ok = parseLong(value, 1, 2147483647, &n);
            o->order.amount = static_cast<int32_t>(n);
        } else if (flag == "--warmup") {
            ok = parseLong(value, 0, 2147483647, &n);
            o->order.warmup = static_cast<int32_t>(n);
        } else if (flag == "--rate") {
            ok = parseReal(value, 0.01, 1e9, &o->order.rate);
        } else if (flag == "--timeout") {
            ok = parseLong(value, 1, xoagent::kMaxTimeoutSeconds, &n);
            o->order.timeoutS = static_cast<int32_t>(n);
        } else if (flag == "--start-delay-ms") {
            ok = parseLong(value, 0, 600000, &n);
            o->startDelayMs = n;
        } else if (flag == "--max-offset-ms") {
            ok = parseReal(value, 0, 1e9, &o->maxOffsetMs);
        } else if (flag == "--discover-ms") {
            ok = parseLong(value, 10, 60000, &n);
            o->discoverMs = n;
        } else {
            return usageError("unknown argument: " + flag);
        }
        if (!ok) {
            return usageError("invalid value of " + flag + ": " + value);
        }
    }
    std::string error;
    if (!routerFlags.finish(&o->router, &error)) {
        return usageError(error);
    }
    if (agents.empty()) {
        return usageError("--agents is required: agent names separated by commas, or all");
    }
    if (agents == "all") {
        o->all = true;
    } else {
        for (const std::string& a : splitCommas(agents)) {
            if (!xoagent::validName(a)) {
                return usageError(
                    "--agents must be agent names (1 to 64 of A-Z a-z 0-9 - _) "
                    "separated by commas, or all");
            }
            if (std::find(o->agents.begin(), o->agents.end(), a) != o->agents.end()) {
                return usageError("--agents names " + a + " twice");
            }
            o->agents.push_back(a);
        }
        if (o->agents.size() > xoagent::kMaxAgents) {
            return usageError("--agents names more than " + std::to_string(xoagent::kMaxAgents) +
                              " agents: one order takes no more");
        }
    }
    if (o->out.empty()) {
        return usageError("--out is required");
    }
    if (!ini.empty()) {
        std::string text;
        if (xosys::readTextFile(ini.c_str(), 1024 * 1024, &text, &error) != 0) {
            return usageError("cannot read --ini " + ini + ": " + error);
        }
        if (!xoagent::settingsFromIni(text, &o->order.settings, &error)) {
            return usageError("--ini " + ini + ": " + error);
        }
    }
    if (o->order.settings.count("toServiceName") == 0) {
        return usageError(
            "the senders need a service: give toServiceName in [options:ap] of --ini");
    }
    return -1;
}

double wallMs() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string messageText(const natsMsg* m) {
    const int n = natsMsg_GetDataLength(m);
    return n > 0 ? std::string(natsMsg_GetData(m), static_cast<size_t>(n)) : std::string();
}

std::string header(natsMsg* m, const char* key) {
    const char* v = nullptr;
    return natsMsgHeader_Get(m, key, &v) == NATS_OK && v != nullptr ? v : "";
}

// "2026-01-01 12:00:00.123 UTC"
std::string utcText(int64_t ms) {
    const std::time_t sec = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&sec, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d UTC", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms % 1000));
    return text;
}

struct AgentState {
    std::string name;
    std::string host;
    std::string id;
    enum class Status { kFound, kAccepted, kDone, kFailed } status = Status::kFound;
    std::string reason;
    // The clock sample with the smallest round trip.
    double offsetMs = 0;
    double rttMs = -1;
    double sentAt = 0;  // of the clock request in flight
    // While it runs.
    bool beatAnswered = true;
    int missedBeats = 0;
    // What it sent back: each sender's parts, by number from 1.
    std::map<int, std::map<int, std::string>> parts;
    std::map<int, int> partCount;
    Json done;
};

class Controller {
  public:
    Controller(Options& o, xosys::NatsLink& link) : m_o(o), m_link(link) {}
    int run();

  private:
    void say(const std::string& text) const {
        std::printf("xomq-fleet-control: %s\n", text.c_str());
        std::fflush(stdout);
    }
    std::string inbox(const std::string& tag) const { return m_inboxPrefix + tag; }
    void request(const std::string& subject, const std::string& tag, const std::string& body) {
        natsConnection_PublishRequest(m_link.nc(), subject.c_str(), inbox(tag).c_str(), body.data(),
                                      static_cast<int>(body.size()));
        m_link.flush();
    }
    // Waits for messages until deadline (nats_Now() time) or until done()
    // says so, handing each to onMessage. False when the connection ended.
    template <typename Done>
    bool pump(int64_t deadline, Done done);
    void onMessage(natsMsg* m);
    void onReply(const std::string& tag, natsMsg* m);
    void onResult(natsMsg* m);

    bool subscribe();
    void discover();
    void measureClocks();
    void sendOrder();
    void watch();
    int finish();
    void fail(AgentState& a, const std::string& reason) {
        a.status = AgentState::Status::kFailed;
        a.reason = reason;
        say("agent " + a.name + " failed: " + reason);
    }
    AgentState* find(const std::string& name) {
        for (AgentState& a : m_agents) {
            if (a.name == name) {
                return &a;
            }
        }
        return nullptr;
    }
    size_t running() const {
        size_t n = 0;
        for (const AgentState& a : m_agents) {
            n += a.status == AgentState::Status::kAccepted ? 1 : 0;
        }
        return n;
    }
    void stopAll();

    Options& m_o;
    xosys::NatsLink& m_link;
    std::string m_inboxPrefix;
    std::vector<natsSubscription*> m_subs;
    natsSubscription* m_probe = nullptr;
    std::vector<AgentState> m_agents;
    // Discovery: name -> (host, instance ids).
    std::map<std::string, std::pair<std::string, std::vector<std::string>>> m_found;
    int m_clockRound = 0;
    bool m_stopSent = false;
    bool m_connectionLost = false;
};

template <typename Done>
bool Controller::pump(int64_t deadline, Done done) {
    while (!done()) {
        const int64_t now = nats_Now();
        if (now >= deadline) {
            return true;
        }
        // A signal ends the wait; the bound keeps the loop turning should one
        // come just before it begins.
        const xosys::Arrival a =
            m_link.next(m_subs.data(), m_subs.size(), std::min(deadline, now + 250));
        if (a.is(xosys::Arrival::Kind::kMessage)) {
            onMessage(a.msg.get());
        } else if (a.is(xosys::Arrival::Kind::kInterrupted)) {
            if (g_stop != 0) {
                return true;
            }
        } else if (a.is(xosys::Arrival::Kind::kOther) && a.status == NATS_NO_RESPONDERS) {
            // A request to an agent that is gone: its missing answers tell.
        } else if (a.is(xosys::Arrival::Kind::kOther) && a.status == NATS_SLOW_CONSUMER) {
            say("messages were dropped: this controller did not keep up (slow consumer)");
        } else if (!a.is(xosys::Arrival::Kind::kTimedOut)) {
            say(std::string("connection to the router lost: ") + natsStatus_GetText(a.status));
            m_connectionLost = true;
            return false;
        }
        if (g_stop != 0) {
            return true;
        }
    }
    return true;
}

void Controller::onMessage(natsMsg* m) {
    const char* subject = natsMsg_GetSubject(m);
    if (std::strncmp(subject, m_inboxPrefix.c_str(), m_inboxPrefix.size()) == 0) {
        onReply(subject + m_inboxPrefix.size(), m);
    } else {
        onResult(m);
    }
}

void Controller::onReply(const std::string& tag, natsMsg* m) {
    const Json j = Json::parse(messageText(m), nullptr, false);
    if (!j.is_object()) {
        return;
    }
    if (tag == "ping") {
        const Json& md = j.contains("metadata") ? j["metadata"] : Json();
        if (md.is_object() && md.contains("agent") && md["agent"].is_string() && j.contains("id") &&
            j["id"].is_string()) {
            auto& entry = m_found[md["agent"].get<std::string>()];
            entry.first =
                md.contains("host") && md["host"].is_string() ? md["host"].get<std::string>() : "";
            entry.second.push_back(j["id"].get<std::string>());
        }
        return;
    }
    AgentState* a = j.contains("agent") && j["agent"].is_string()
                        ? find(j["agent"].get<std::string>())
                        : nullptr;
    if (a == nullptr || a->status == AgentState::Status::kFailed) {
        return;
    }
    const double receivedAt = wallMs();
    if (tag.compare(0, 6, "clock.") == 0 && tag == "clock." + std::to_string(m_clockRound) &&
        j.contains("clock_ms") && j["clock_ms"].is_number()) {
        const double rtt = receivedAt - a->sentAt;
        if (a->rttMs < 0 || rtt < a->rttMs) {
            a->rttMs = rtt;
            a->offsetMs = j["clock_ms"].get<double>() - (a->sentAt + receivedAt) / 2;
        }
        a->sentAt = 0;
    } else if (tag == "beat") {
        a->beatAnswered = true;
        a->missedBeats = 0;
    } else if (tag == "order" && a->status == AgentState::Status::kFound) {
        const std::string type =
            j.contains("type") && j["type"].is_string() ? j["type"].get<std::string>() : "";
        if (type == "accepted") {
            a->status = AgentState::Status::kAccepted;
            say("agent " + a->name + " accepted: " + std::to_string(m_o.order.senders) +
                " senders, files in " + (j.contains("dir") ? j["dir"].dump() : "?") + " on " +
                a->host);
        } else {
            fail(*a, "refused the order: " + (j.contains("reason") && j["reason"].is_string()
                                                  ? j["reason"].get<std::string>()
                                                  : std::string("no reason given")));
        }
    }
}

void Controller::onResult(natsMsg* m) {
    AgentState* a = find(header(m, xoagent::kAgentHeader));
    if (a == nullptr || a->status != AgentState::Status::kAccepted) {
        return;  // not ours, or given up on
    }
    // Any message of it shows it is alive.
    a->beatAnswered = true;
    a->missedBeats = 0;
    const std::string kind = header(m, xoagent::kKindHeader);
    if (kind == xoagent::kKindResult) {
        long long sender = 0;
        int k = 0;
        int n = 0;
        const std::string chunk = header(m, xoagent::kChunkHeader);
        if (!parseLong(header(m, xoagent::kSenderHeader).c_str(), 1, 1024, &sender) ||
            std::sscanf(chunk.c_str(), "%d/%d", &k, &n) != 2 || k < 1 || k > n) {
            return;
        }
        a->parts[static_cast<int>(sender)][k] = messageText(m);
        a->partCount[static_cast<int>(sender)] = n;
    } else if (kind == xoagent::kKindDone) {
        const Json j = Json::parse(messageText(m), nullptr, false);
        if (!j.is_object()) {
            fail(*a, "sent an unreadable report");
            return;
        }
        a->done = j;
        a->status = AgentState::Status::kDone;
        say("agent " + a->name + " done: " +
            (j.contains("ended") && j["ended"].is_string() ? j["ended"].get<std::string>()
                                                           : std::string("?")));
    }
}

bool Controller::subscribe() {
    m_inboxPrefix = "_INBOX." + m_link.id() + ".";
    natsSubscription* replies = nullptr;
    natsSubscription* results = nullptr;
    natsStatus s = m_link.subscribe(m_inboxPrefix + ">", nullptr, &replies);
    if (s == NATS_OK)
        s = m_link.subscribe(xoagent::resultSubject(m_o.order.run, "*"), nullptr, &results);
    if (s == NATS_OK)
        s = m_link.subscribe(m_link.probeSubject(), nullptr, &m_probe);
    if (s == NATS_OK) {
        m_subs = {replies, results};
        // Known to the router before anything is asked.
        const xosys::Arrival a = m_link.confirm(m_probe, nats_Now() + 5000);
        s = a.is(xosys::Arrival::Kind::kMessage) ? NATS_OK : a.status;
    }
    if (s != NATS_OK) {
        say(std::string("cannot subscribe: ") + natsStatus_GetText(s));
        return false;
    }
    return true;
}

void Controller::discover() {
    request(std::string("$SRV.PING.") + xoagent::kServiceName, "ping", "");
    pump(nats_Now() + m_o.discoverMs, [] { return false; });
    const auto add = [this](const std::string& name) {
        AgentState a;
        a.name = name;
        const auto it = m_found.find(name);
        if (it == m_found.end()) {
            a.host = "";
            m_agents.push_back(a);
            fail(m_agents.back(),
                 "missing: no answer to the ping within " + std::to_string(m_o.discoverMs) + " ms");
            return;
        }
        a.host = it->second.first;
        m_agents.push_back(a);
        if (it->second.second.size() > 1) {
            fail(m_agents.back(),
                 std::to_string(it->second.second.size()) + " agents answer to this name");
        }
    };
    if (m_o.all) {
        for (const auto& kv : m_found) {
            add(kv.first);
        }
    } else {
        for (const std::string& name : m_o.agents) {
            add(name);
        }
    }
    std::string list;
    for (const AgentState& a : m_agents) {
        if (a.status != AgentState::Status::kFailed) {
            list += (list.empty() ? "" : ", ") + a.name + " (" + a.host + ")";
        }
    }
    say(std::to_string(m_found.size()) + " agents answered the ping; running on " +
        (list.empty() ? std::string("none") : list));
}

void Controller::measureClocks() {
    for (m_clockRound = 0; m_clockRound < kClockRounds && g_stop == 0; ++m_clockRound) {
        for (AgentState& a : m_agents) {
            if (a.status != AgentState::Status::kFailed) {
                a.sentAt = wallMs();
                request(xoagent::agentSubject(a.name, "clock"),
                        "clock." + std::to_string(m_clockRound), "");
            }
        }
        pump(nats_Now() + kClockWaitMs, [this] {
            for (const AgentState& a : m_agents) {
                if (a.status != AgentState::Status::kFailed && a.sentAt != 0) {
                    return false;
                }
            }
            return true;
        });
    }
    m_clockRound = -1;
    for (AgentState& a : m_agents) {
        if (a.status == AgentState::Status::kFailed) {
            continue;
        }
        if (a.rttMs < 0) {
            fail(a, "silent: no answer to its clock requests");
            continue;
        }
        char text[200];
        std::snprintf(text, sizeof text,
                      "clock of %s: %+.3f ms against ours (round trip %.3f ms)%s", a.name.c_str(),
                      a.offsetMs, a.rttMs,
                      std::fabs(a.offsetMs) > m_o.maxOffsetMs
                          ? ": more than --max-offset-ms, its senders start off the others"
                          : "");
        say(text);
    }
}

void Controller::sendOrder() {
    for (const AgentState& a : m_agents) {
        if (a.status != AgentState::Status::kFailed) {
            m_o.order.agents.push_back(a.name);
        }
    }
    if (m_o.order.agents.empty()) {
        return;
    }
    m_o.order.startMs = static_cast<int64_t>(wallMs()) + m_o.startDelayMs;
    say("run " + m_o.order.run + ": " + std::to_string(m_o.order.agents.size()) + " agents x " +
        std::to_string(m_o.order.senders) + " senders x " + std::to_string(m_o.order.amount) +
        " requests, start at " + utcText(m_o.order.startMs));
    request(xoagent::kBroadcastOrderSubject, "order", xoagent::orderJson(m_o.order));
    pump(nats_Now() + std::max<int64_t>(kOrderWaitMs, m_o.startDelayMs), [this] {
        for (const AgentState& a : m_agents) {
            if (a.status == AgentState::Status::kFound) {
                return false;
            }
        }
        return true;
    });
    for (AgentState& a : m_agents) {
        if (a.status == AgentState::Status::kFound) {
            fail(a, "silent: no answer to the order");
            // Should it take the order after all, it stops at once.
            request(xoagent::agentSubject(a.name, "stop"), "stop",
                    Json({{"run", m_o.order.run}}).dump());
        }
    }
}

void Controller::stopAll() {
    for (const AgentState& a : m_agents) {
        if (a.status == AgentState::Status::kAccepted) {
            request(xoagent::agentSubject(a.name, "stop"), "stop",
                    Json({{"run", m_o.order.run}}).dump());
        }
    }
    m_stopSent = true;
}

void Controller::watch() {
    // The agents' own time-out ends their senders; this one ends the wait.
    const double endAt = static_cast<double>(m_o.order.startMs) +
                         static_cast<double>(m_o.order.timeoutS) * 1000.0 + kGraceMs;
    int64_t stopDeadline = 0;
    while (running() > 0 && !m_connectionLost) {
        if (g_stop != 0 && !m_stopSent) {
            say(std::string("stopping the agents on ") + (g_stop == SIGINT ? "SIGINT" : "SIGTERM"));
            stopAll();
            stopDeadline = nats_Now() + kSignalGraceMs;
        }
        if (wallMs() >= endAt || (stopDeadline != 0 && nats_Now() >= stopDeadline)) {
            for (AgentState& a : m_agents) {
                if (a.status == AgentState::Status::kAccepted) {
                    fail(a, stopDeadline != 0
                                ? "no report after it was asked to stop"
                                : "no report within " + std::to_string(m_o.order.timeoutS) +
                                      " s after the start and " + std::to_string(kGraceMs / 1000) +
                                      " s more");
                }
            }
            break;
        }
        for (AgentState& a : m_agents) {
            if (a.status != AgentState::Status::kAccepted) {
                continue;
            }
            if (!a.beatAnswered && ++a.missedBeats >= kMaxMissedBeats) {
                fail(a, "lost while running: no answer to " + std::to_string(kMaxMissedBeats) +
                            " clock requests " + std::to_string(kBeatMs / 1000) + " s apart");
                continue;
            }
            a.beatAnswered = false;
            request(xoagent::agentSubject(a.name, "clock"), "beat", "");
        }
        const int64_t beatEnd = nats_Now() + kBeatMs;
        pump(beatEnd, [this] { return running() == 0 || (g_stop != 0 && !m_stopSent); });
    }
}

// Writes the result files and agents.json; the exit status.
int Controller::finish() {
    mkdir(m_o.out.c_str(), 0755);
    bool allGood = !m_agents.empty();
    Json agents = Json::array();
    for (AgentState& a : m_agents) {
        Json e;
        e["agent"] = a.name;
        e["host"] = a.host;
        const bool done = a.status == AgentState::Status::kDone;
        e["status"] = done ? "completed" : "failed";
        e["reason"] = a.reason;
        // To the microsecond: the clocks' own resolution here.
        const auto us = [](double ms) { return std::round(ms * 1000) / 1000; };
        e["clock_offset_ms"] = a.rttMs >= 0 ? Json(us(a.offsetMs)) : Json();
        e["clock_rtt_ms"] = a.rttMs >= 0 ? Json(us(a.rttMs)) : Json();
        e["clock_warning"] = a.rttMs >= 0 && std::fabs(a.offsetMs) > m_o.maxOffsetMs;
        Json senders = Json::array();
        if (done) {
            e["ended"] = a.done.contains("ended") ? a.done["ended"] : Json("");
            e["start_lag_ms"] = a.done.contains("start_lag_ms") ? a.done["start_lag_ms"] : Json();
            const std::string dir = m_o.out + "/" + a.name;
            mkdir(dir.c_str(), 0755);
            const Json list = a.done.contains("senders") && a.done["senders"].is_array()
                                  ? a.done["senders"]
                                  : Json::array();
            for (const Json& s : list) {
                if (!s.is_object() || !s.contains("sender") || !s["sender"].is_number_integer()) {
                    continue;
                }
                const int index = s["sender"].get<int>();
                Json one;
                one["sender"] = index;
                one["exit_code"] = s.contains("exit_code") ? s["exit_code"] : Json();
                one["signal"] = s.contains("signal") ? s["signal"] : Json(0);
                std::string note =
                    s.contains("note") && s["note"].is_string() ? s["note"].get<std::string>() : "";
                const int expected = s.contains("chunks") && s["chunks"].is_number_integer()
                                         ? s["chunks"].get<int>()
                                         : 0;
                const auto& parts = a.parts[index];
                if (expected > 0 && (static_cast<int>(parts.size()) != expected ||
                                     a.partCount[index] != expected)) {
                    note = "result file incomplete: " + std::to_string(parts.size()) + " of " +
                           std::to_string(expected) + " parts arrived";
                } else if (expected > 0) {
                    std::string data;
                    for (const auto& p : parts) {
                        data += p.second;
                    }
                    const std::string name = "sender-" + std::to_string(index) + ".json";
                    std::ofstream f(dir + "/" + name, std::ios::binary | std::ios::trunc);
                    f << data;
                    if (f) {
                        one["file"] = a.name + "/" + name;
                    } else {
                        note = "cannot write " + dir + "/" + name;
                    }
                }
                one["parts"] = expected;  // the messages it came in
                one["note"] = note;
                if (!one.contains("file") || !one["exit_code"].is_number() ||
                    one["exit_code"].get<int>() != 0) {
                    allGood = false;
                    say("agent " + a.name + ", sender " + std::to_string(index) + ": " +
                        (one["exit_code"].is_number() ? "exit status " + one["exit_code"].dump()
                                                      : "ended by signal " + one["signal"].dump()) +
                        (note.empty() ? "" : ", " + note));
                }
                senders.push_back(std::move(one));
            }
        } else {
            allGood = false;
        }
        e["senders"] = std::move(senders);
        agents.push_back(std::move(e));
    }
    Json settings = Json::object();
    for (const auto& kv : m_o.order.settings) {
        settings[kv.first] = kv.second.integer ? Json(kv.second.number) : Json(kv.second.text);
    }
    Json all;
    all["format"] = "xomq-agents-1";
    all["run"] = m_o.order.run;
    all["start_ms"] = m_o.order.startMs;
    all["timeout_s"] = m_o.order.timeoutS;
    all["senders_per_agent"] = m_o.order.senders;
    all["amount"] = m_o.order.amount;
    all["warmup"] = m_o.order.warmup;
    all["rate"] = m_o.order.rate > 0 ? Json(m_o.order.rate) : Json();
    all["settings"] = std::move(settings);
    all["max_offset_ms"] = m_o.maxOffsetMs;
    all["agents"] = std::move(agents);
    std::ofstream f(m_o.out + "/agents.json", std::ios::binary | std::ios::trunc);
    f << all.dump(2) << "\n";
    if (!f) {
        say("cannot write " + m_o.out + "/agents.json");
        return 1;
    }
    say("results in " + m_o.out + " (agents.json)");
    if (g_stop != 0) {
        return 128 + g_stop;
    }
    return allGood ? 0 : 1;
}

int Controller::run() {
    std::lock_guard<std::mutex> reader(m_link.callLock());
    if (!subscribe()) {
        return 1;
    }
    discover();
    if (g_stop == 0) {
        measureClocks();
    }
    if (g_stop == 0) {
        sendOrder();
    }
    watch();
    const int status = finish();
    m_link.flush();
    return status;
}

void printLinkEvent(const char* text) {
    std::printf("xomq-fleet-control: %s\n", text);
    std::fflush(stdout);
}

// A run id: the time and a token no other controller shares.
std::string runId(const std::string& unique) {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &tm);
    return std::string(text) + "-" + unique.substr(0, 8);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    const int parsed = parseOptions(argc, argv, &o);
    if (parsed >= 0) {
        return parsed;
    }
    sigset_t ours;
    sigemptyset(&ours);
    sigaddset(&ours, SIGINT);
    sigaddset(&ours, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &ours, nullptr);
    struct sigaction stop {};
    stop.sa_handler = onSignal;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    if (nats_Open(-1) != NATS_OK) {
        std::fprintf(stderr, "xomq-fleet-control: the NATS client failed to start\n");
        return 1;
    }
    o.router.appname = "xomq-fleet-control";
    int status = 1;
    {
        xosys::NatsLink link;
        std::string reason;
        const uint32_t rc = link.connect(o.router, printLinkEvent, &reason);
        pthread_sigmask(SIG_UNBLOCK, &ours, nullptr);
        if (rc != 0) {
            std::fprintf(stderr, "xomq-fleet-control: cannot connect to %s: %s\n",
                         o.router.url().c_str(), reason.c_str());
        } else {
            o.order.run = runId(link.id());
            // The order as the agents will read it, checked the same way
            // before anything goes out.
            Order probe = o.order;
            probe.agents = {"probe"};
            Order check;
            std::string why;
            if (!xoagent::parseOrder(xoagent::orderJson(probe), xoagent::OrderLimits{1024, 0},
                                     &check, &why)) {
                std::fprintf(stderr, "xomq-fleet-control: %s\n", why.c_str());
                status = 2;
            } else {
                Controller c(o, link);
                status = c.run();
            }
        }
    }
    nats_CloseAndWait(2000);
    return status;
}
