// xomq-agent: runs XoMQSender fleets on its host for a controller
// (xomq-fleet-control, scripts/fleet.sh --agents) that reaches it through
// the router. It takes orders (Order.h), starts the senders at the order's
// start time, and sends their result files back through the router
// (Protocol.h). It is a NATS micro service, so that NATS's tools and any
// client's service API list and ping it.
#include <fcntl.h>
#include <nats/nats.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "MicroMessage.h"
#include "MicroService.h"
#include "NatsLink.h"
#include "Order.h"
#include "Protocol.h"
#include "RouterFlags.h"
#include "Senders.h"

namespace {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::system_clock;
using xoagent::Order;

const char kUsage[] =
    "usage: xomq-agent --server <routers> [--name <agent name>] [--sender <path>]\n"
    "                  [--work <dir>] [--max-senders <n>] [--user <name>]\n"
    "                  [--password <text>] [--nkey-seed <file>] [--creds <file>]\n"
    "                  [--tls-ca <file>] [--tls-cert <file> --tls-key <file>]\n"
    "\n"
    "Runs XoMQSender fleets on this host for xomq-fleet-control (scripts/fleet.sh\n"
    "--agents), which reaches it through the router. Each order starts its senders\n"
    "at the order's start time, on this host's clock, and their result files go\n"
    "back through the router when they end.\n"
    "\n"
    "  --name              the agent's name, 1 to 64 of A-Z a-z 0-9 - _ (default:\n"
    "                      the host name up to its first '.', other characters as '-')\n"
    "  --sender            the XoMQSender binary to run (default: the one beside this\n"
    "                      program, or the one of its build tree)\n"
    "  --work              where each run gets a folder for its senders' INI files,\n"
    "                      logs and result files (default: a new folder in $TMPDIR or\n"
    "                      /tmp)\n"
    "  --max-senders       the most senders one order may ask for (default 16)\n"
    "%s"
    "\n"
    "The senders reach the router through the same --server and credentials; an\n"
    "order never names a router, a program, a path or a file. Orders with unknown\n"
    "fields or sender settings, or values that could break the senders' INI file,\n"
    "are refused with the reason. It is the NATS micro service 'xomq-agent', the\n"
    "agent and host names in its metadata. Prints \"xomq-agent: ready\" once it\n"
    "listens. SIGINT or SIGTERM: it stops its senders, sends back what they wrote and\n"
    "exits. Exit status: 0 stopped, 1 router trouble, 2 bad flags.\n";

const size_t kMaxResultBytes = 64u * 1024u * 1024u;
// From SIGTERM to SIGKILL for a sender that does not stop.
const std::chrono::seconds kStopGrace(5);

struct Options {
    xosys::ConnectParams router;
    std::string name;
    std::string host;
    std::string sender;
    std::string work;
    int maxSenders = 16;
};

volatile std::sig_atomic_t g_stop = 0;  // the signal that asks us to stop

void onSignal(int sig) {
    g_stop = sig;
}
void onChild(int) {}  // only ends the wait, to reap at once

int usageError(const std::string& what) {
    std::fprintf(stderr, "xomq-agent: %s\n\n", what.c_str());
    std::fprintf(stderr, kUsage, xotools::kRouterFlagsHelp);
    return 2;
}

std::string hostName() {
    char name[256] = {0};
    if (gethostname(name, sizeof name - 1) != 0) {
        return "localhost";
    }
    return name;
}

// The host name as an agent name: up to the first '.', other characters as '-'.
std::string defaultName(const std::string& host) {
    std::string name = host.substr(0, host.find('.'));
    for (char& c : name) {
        if (!xoagent::validName(std::string(1, c))) {
            c = '-';
        }
    }
    if (name.size() > 64) {
        name.resize(64);
    }
    return name.empty() ? "agent" : name;
}

std::string dirOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string absolute(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? resolved : "";
}

// The XoMQSender beside this program, or in its build tree.
std::string defaultSender() {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        return "";
    }
    self[n] = '\0';
    const std::string dir = dirOf(self);
    for (const std::string& candidate :
         {dir + "/XoMQSender", dir + "/../../src/sender/XoMQSender"}) {
        if (access(candidate.c_str(), X_OK) == 0) {
            return absolute(candidate);
        }
    }
    return "";
}

// A path written into an INI line must stay one line.
bool iniSafe(const std::string& path) {
    for (const char c : path) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            return false;
        }
    }
    return !path.empty() && path.front() != ' ' && path.back() != ' ';
}

bool parseCount(const char* text, int max, int* value) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < 1 || v > max) {
        return false;
    }
    *value = static_cast<int>(v);
    return true;
}

// Returns -1 when the options are good, otherwise the exit status.
int parseOptions(int argc, char** argv, Options* o) {
    xotools::RouterFlags routerFlags;
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
        if (flag == "--name") {
            o->name = value;
            if (!xoagent::validName(o->name)) {
                return usageError("--name must be 1 to 64 of A-Z a-z 0-9 - _");
            }
        } else if (flag == "--sender") {
            o->sender = value;
        } else if (flag == "--work") {
            o->work = value;
        } else if (flag == "--max-senders") {
            if (!parseCount(value, 1024, &o->maxSenders)) {
                return usageError("--max-senders must be a number from 1 to 1024");
            }
        } else {
            return usageError("unknown argument: " + flag);
        }
    }
    std::string error;
    if (!routerFlags.finish(&o->router, &error)) {
        return usageError(error);
    }
    // The senders run in their run's folder: every file they are given is
    // named by its absolute path.
    struct FileFlag {
        const char* flag;
        std::string* path;
    };
    const FileFlag files[] = {{"--nkey-seed", &o->router.nkeySeedFile},
                              {"--creds", &o->router.credsFile},
                              {"--tls-ca", &o->router.tlsCa},
                              {"--tls-cert", &o->router.tlsCert},
                              {"--tls-key", &o->router.tlsKey}};
    for (const FileFlag& f : files) {
        if (!f.path->empty()) {
            const std::string abs = absolute(*f.path);
            if (abs.empty()) {
                return usageError(std::string("cannot find the file of ") + f.flag);
            }
            *f.path = abs;
        }
    }
    std::string connect;
    if (!xoagent::senderConnectString(o->router, {}, &connect, &error)) {
        return usageError(error);
    }
    o->host = hostName();
    if (o->name.empty()) {
        o->name = defaultName(o->host);
    }
    o->sender = o->sender.empty() ? defaultSender() : absolute(o->sender);
    if (o->sender.empty() || access(o->sender.c_str(), X_OK) != 0) {
        return usageError("no XoMQSender to run: give its path with --sender");
    }
    if (o->work.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") +
                              "/xomq-agent-" + o->name + ".XXXXXX";
        if (mkdtemp(&pattern[0]) == nullptr) {
            return usageError("cannot make a work folder in " + dirOf(pattern) + ": " +
                              std::strerror(errno));
        }
        o->work = pattern;
    } else if (mkdir(o->work.c_str(), 0700) != 0 && errno != EEXIST) {
        return usageError("cannot make the folder of --work: " + std::string(std::strerror(errno)));
    }
    o->work = absolute(o->work);
    struct stat st {};
    if (o->work.empty() || stat(o->work.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return usageError("--work is no folder");
    }
    if (!iniSafe(o->work)) {
        return usageError("the path of --work holds a control character or blanks at an end");
    }
    return -1;
}

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

double nowMsExact() {
    return std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count();
}

std::string messageText(const natsMsg* m) {
    const int n = natsMsg_GetDataLength(m);
    return n > 0 ? std::string(natsMsg_GetData(m), static_cast<size_t>(n)) : std::string();
}

bool writePrivate(const std::string& path, const std::string& text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0) {
        return false;
    }
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0) {
            close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return close(fd) == 0;
}

// The subscriptions' places in the list the loop waits on.
enum Sub { kOrderSub, kBroadcastSub, kClockSub, kStopSub, kFirstMicroSub };
enum Endpoint { kOrderEp, kBroadcastEp, kClockEp, kStopEp };

class Agent {
  public:
    Agent(Options& o, xosys::NatsLink& link) : m_o(o), m_link(link), m_micro(microConfig(o)) {}

    // Subscribes, serves until stopped; the exit status.
    int serve();

  private:
    struct Run {
        Order order;
        std::string dir;
        std::string subject;
        Clock::time_point start;
        enum class Phase { kWaiting, kRunning, kStopping } phase = Phase::kWaiting;
        std::chrono::steady_clock::time_point killAt;
        bool killed = false;
        std::string ended;
        std::unique_ptr<xoagent::Senders> senders;
    };

    static xosys::MicroService::Config microConfig(const Options& o);

    void say(const std::string& text) const {
        std::fprintf(stderr, "xomq-agent: %s\n", text.c_str());
    }
    // Publishes text to the reply subject of m, as an error reply when
    // errorText is not null; counts it for endpoint.
    void answer(natsMsg* m, size_t endpoint, const Json& j, const char* errorText);
    void refuse(natsMsg* m, size_t endpoint, const std::string& run, const std::string& reason);

    void onOrder(natsMsg* m, bool broadcast);
    void onClock(natsMsg* m);
    void onStop(natsMsg* m);
    // Writes the run's folder and INI files; false with the reason.
    bool prepare(Order order, std::string* reason);
    void startSenders();
    void stopSenders(const std::string& why);
    // Everything the senders wrote goes back, then the run is over.
    void report();
    // The run's step that is due now.
    void advance();

    Options& m_o;
    xosys::NatsLink& m_link;
    xosys::MicroService m_micro;
    natsSubscription* m_probe = nullptr;
    std::optional<Run> m_run;
};

xosys::MicroService::Config Agent::microConfig(const Options& o) {
    xosys::MicroService::Config c;
    c.name = xoagent::kServiceName;
    c.version = XOMQ_VERSION;
    c.description = "xomq-agent '" + o.name + "' on " + o.host + ": runs XoMQSender fleets";
    c.metadata["agent"] = o.name;
    c.metadata["host"] = o.host;
    c.endpoints.push_back({"order", xoagent::agentSubject(o.name, "order"), "", {}});
    c.endpoints.push_back({"orders", xoagent::kBroadcastOrderSubject, "", {}});
    c.endpoints.push_back({"clock", xoagent::agentSubject(o.name, "clock"), "", {}});
    c.endpoints.push_back({"stop", xoagent::agentSubject(o.name, "stop"), "", {}});
    return c;
}

void Agent::answer(natsMsg* m, size_t endpoint, const Json& j, const char* errorText) {
    const char* reply = natsMsg_GetReply(m);
    if (reply == nullptr || reply[0] == '\0') {
        return;
    }
    const std::string text = j.dump();
    natsMsg* out = nullptr;
    if (natsMsg_Create(&out, reply, nullptr, text.data(), static_cast<int>(text.size())) !=
        NATS_OK) {
        return;
    }
    const xosys::HeldMsg owned = m_link.hold(out);
    if (errorText != nullptr) {
        xosys::micro::setErrorHeaders(out, 400, errorText);
    }
    natsConnection_PublishMsg(m_link.nc(), out);
    m_link.flush();
    m_micro.count(endpoint, 0, errorText);
}

void Agent::refuse(natsMsg* m, size_t endpoint, const std::string& run, const std::string& reason) {
    say("order" + (run.empty() ? std::string() : " of run " + run) + " refused: " + reason);
    Json j;
    j["type"] = "refused";
    j["agent"] = m_o.name;
    j["host"] = m_o.host;
    j["run"] = run;
    j["reason"] = reason;
    answer(m, endpoint, j, reason.c_str());
}

void Agent::onOrder(natsMsg* m, bool broadcast) {
    const std::string text = messageText(m);
    const size_t endpoint = broadcast ? kBroadcastEp : kOrderEp;
    if (broadcast && text.size() <= xoagent::kMaxOrderBytes) {
        // An order for others is none of ours.
        const Json j = Json::parse(text, nullptr, false);
        if (j.is_object() && j.contains("agents") && j["agents"].is_array()) {
            bool ours = false;
            for (const Json& a : j["agents"]) {
                ours = ours || (a.is_string() && a.get<std::string>() == m_o.name);
            }
            if (!ours) {
                return;
            }
        }
    }
    Order order;
    std::string reason;
    xoagent::OrderLimits limits;
    limits.maxSenders = m_o.maxSenders;
    limits.nowMs = nowMs();
    if (!xoagent::parseOrder(text, limits, &order, &reason)) {
        refuse(m, endpoint, order.run, reason);
        return;
    }
    if (!order.names(m_o.name)) {
        refuse(m, endpoint, order.run, "the order does not name agent '" + m_o.name + "'");
        return;
    }
    if (m_run) {
        refuse(m, endpoint, order.run, "busy with run " + m_run->order.run);
        return;
    }
    const std::string run = order.run;
    if (!prepare(std::move(order), &reason)) {
        refuse(m, endpoint, run, reason);
        return;
    }
    const int64_t in = m_run->order.startMs - nowMs();
    say("run " + run + ": " + std::to_string(m_run->order.senders) + " senders of " +
        std::to_string(m_run->order.amount) + " requests start in " + std::to_string(in) +
        " ms, files in " + m_run->dir);
    Json j;
    j["type"] = "accepted";
    j["agent"] = m_o.name;
    j["host"] = m_o.host;
    j["run"] = run;
    j["senders"] = m_run->order.senders;
    j["starts_in_ms"] = in;
    j["dir"] = m_run->dir;
    answer(m, endpoint, j, nullptr);
}

void Agent::onClock(natsMsg* m) {
    Json j;
    j["agent"] = m_o.name;
    j["host"] = m_o.host;
    j["clock_ms"] = nowMsExact();
    j["run"] = m_run ? m_run->order.run : "";
    answer(m, kClockEp, j, nullptr);
}

void Agent::onStop(natsMsg* m) {
    const Json j = Json::parse(messageText(m), nullptr, false);
    const std::string run = j.is_object() && j.contains("run") && j["run"].is_string()
                                ? j["run"].get<std::string>()
                                : "";
    if (!m_run || run != m_run->order.run) {
        Json r;
        r["type"] = "refused";
        r["agent"] = m_o.name;
        r["reason"] = "no such run here";
        answer(m, kStopEp, r, "no such run here");
        return;
    }
    Json r;
    r["type"] = "stopping";
    r["agent"] = m_o.name;
    r["run"] = run;
    answer(m, kStopEp, r, nullptr);
    stopSenders("stopped by the controller");
}

bool Agent::prepare(Order order, std::string* reason) {
    std::string connect;
    if (!xoagent::senderConnectString(m_o.router, order.settings, &connect, reason)) {
        return false;
    }
    Run r;
    r.dir = m_o.work + "/" + order.run;
    if (mkdir(r.dir.c_str(), 0700) != 0) {
        *reason = errno == EEXIST
                      ? "run " + order.run + " ran here before"
                      : "cannot make the run's folder: " + std::string(std::strerror(errno));
        return false;
    }
    r.senders.reset(new xoagent::Senders());
    for (int i = 1; i <= order.senders; ++i) {
        xoagent::SenderProcess p;
        p.index = i;
        const std::string base = r.dir + "/sender-" + std::to_string(i);
        p.ini = base + ".ini";
        p.result = base + ".json";
        p.log = base + ".log";
        p.out = base + ".out";
        // The INI may hold the password of --password: for this user only.
        if (!writePrivate(p.ini, xoagent::senderIni(order, connect, p.result, p.log))) {
            *reason = "cannot write the senders' INI files: " + std::string(std::strerror(errno));
            return false;
        }
        r.senders->add(std::move(p));
    }
    r.subject = xoagent::resultSubject(order.run, m_o.name);
    r.start = Clock::time_point(std::chrono::milliseconds(order.startMs));
    r.order = std::move(order);
    m_run = std::move(r);
    return true;
}

void Agent::startSenders() {
    std::string reason;
    const bool ok = m_run->senders->startAll(m_o.sender, m_run->dir, m_run->start, &reason);
    m_run->phase = Run::Phase::kRunning;
    double lag = 0;
    for (const xoagent::SenderProcess& p : m_run->senders->procs()) {
        lag = std::max(lag, p.startLagMs);
    }
    char text[160];
    std::snprintf(text, sizeof text, "run %s: %d senders started, the last %.1f ms after the start",
                  m_run->order.run.c_str(), m_run->order.senders, lag);
    say(text);
    if (!ok) {
        say("run " + m_run->order.run + ": " + reason);
        stopSenders("a sender could not be started");
    }
}

void Agent::stopSenders(const std::string& why) {
    if (m_run->phase == Run::Phase::kStopping) {
        return;
    }
    m_run->ended = why;
    if (m_run->phase == Run::Phase::kWaiting) {
        m_run->ended += " before the start";
        m_run->phase = Run::Phase::kStopping;
        return;  // nothing runs: the report follows at once
    }
    say("run " + m_run->order.run + ": " + why + ": stopping the senders");
    m_run->senders->terminate();
    m_run->phase = Run::Phase::kStopping;
    m_run->killAt = std::chrono::steady_clock::now() + kStopGrace;
}

void Agent::report() {
    Run& r = *m_run;
    const int64_t maxPayload = natsConnection_GetMaxPayload(m_link.nc());
    const size_t chunk =
        static_cast<size_t>(std::max<int64_t>(1024, maxPayload - xoagent::kHeaderRoom));
    Json senders = Json::array();
    double lag = 0;
    size_t files = 0;
    size_t bytes = 0;
    const auto publish = [this, &r](const char* kind, int sender, const std::string& part,
                                    const std::string& chunkText) {
        natsMsg* m = nullptr;
        if (natsMsg_Create(&m, r.subject.c_str(), nullptr, part.data(),
                           static_cast<int>(part.size())) != NATS_OK) {
            return false;
        }
        const xosys::HeldMsg owned = m_link.hold(m);
        natsMsgHeader_Set(m, xoagent::kKindHeader, kind);
        natsMsgHeader_Set(m, xoagent::kAgentHeader, m_o.name.c_str());
        if (sender > 0) {
            natsMsgHeader_Set(m, xoagent::kSenderHeader, std::to_string(sender).c_str());
            natsMsgHeader_Set(m, xoagent::kChunkHeader, chunkText.c_str());
        }
        return natsConnection_PublishMsg(m_link.nc(), m) == NATS_OK;
    };
    for (const xoagent::SenderProcess& p : r.senders->procs()) {
        Json s;
        s["sender"] = p.index;
        s["exit_code"] = p.pid > 0 && p.signal == 0 && p.exitCode >= 0 ? Json(p.exitCode) : Json();
        s["signal"] = p.signal;
        std::string note;
        std::ifstream in(p.result, std::ios::binary);
        std::string data;
        if (p.pid <= 0) {
            note = "not started";
        } else if (!in) {
            note = "no result file";
        } else {
            std::ostringstream text;
            text << in.rdbuf();
            data = text.str();
            if (data.size() > kMaxResultBytes) {
                note = "result file larger than 64 MiB: not sent";
                data.clear();
            }
        }
        const size_t chunks = data.empty() ? 0 : (data.size() + chunk - 1) / chunk;
        for (size_t k = 0; k < chunks; ++k) {
            const std::string part = data.substr(k * chunk, chunk);
            if (!publish(xoagent::kKindResult, p.index, part,
                         std::to_string(k + 1) + "/" + std::to_string(chunks))) {
                note = "sending the result file failed";
                break;
            }
        }
        if (chunks > 0 && note.empty()) {
            ++files;
            bytes += data.size();
        }
        if (p.pid > 0) {
            lag = std::max(lag, p.startLagMs);
        }
        s["result_bytes"] = data.size();
        s["chunks"] = chunks;
        s["note"] = note;
        senders.push_back(std::move(s));
    }
    Json done;
    done["type"] = "done";
    done["run"] = r.order.run;
    done["agent"] = m_o.name;
    done["host"] = m_o.host;
    done["ended"] = r.ended;
    done["start_lag_ms"] = lag;
    done["senders"] = std::move(senders);
    publish(xoagent::kKindDone, 0, done.dump(), "");
    // Once our probe is back, the router has taken every message before it.
    const xosys::Arrival a = m_link.confirm(m_probe, nats_Now() + 10000);
    say("run " + r.order.run + " " + r.ended + ": " + std::to_string(files) + " result files (" +
        std::to_string(bytes) + " bytes) sent" +
        (a.is(xosys::Arrival::Kind::kMessage) ? "" : ", the router did not confirm them"));
    m_run.reset();
}

void Agent::advance() {
    if (!m_run) {
        return;
    }
    Run& r = *m_run;
    if (r.phase == Run::Phase::kWaiting && Clock::now() >= r.start) {
        startSenders();
    }
    if (r.phase == Run::Phase::kRunning &&
        Clock::now() >= r.start + std::chrono::seconds(r.order.timeoutS)) {
        stopSenders("timed out after " + std::to_string(r.order.timeoutS) + " s");
    }
    if (r.phase == Run::Phase::kStopping && !r.killed && r.senders->started() &&
        std::chrono::steady_clock::now() >= r.killAt) {
        say("run " + r.order.run + ": a sender did not stop: killing it");
        r.senders->kill();
        r.killed = true;
    }
    if (r.phase != Run::Phase::kWaiting && r.senders->reap()) {
        if (r.ended.empty()) {
            r.ended = "completed";
        }
        report();
    }
}

int Agent::serve() {
    std::vector<natsSubscription*> subs(kFirstMicroSub, nullptr);
    const std::string subjects[] = {
        xoagent::agentSubject(m_o.name, "order"), xoagent::kBroadcastOrderSubject,
        xoagent::agentSubject(m_o.name, "clock"), xoagent::agentSubject(m_o.name, "stop")};
    natsStatus s = NATS_OK;
    for (int i = 0; i < kFirstMicroSub && s == NATS_OK; ++i) {
        s = m_link.subscribe(subjects[i], nullptr, &subs[static_cast<size_t>(i)]);
    }
    if (s == NATS_OK)
        s = m_micro.subscribe(m_link, &subs);
    if (s == NATS_OK)
        s = m_link.subscribe(m_link.probeSubject(), nullptr, &m_probe);
    std::lock_guard<std::mutex> reader(m_link.callLock());
    xosys::Arrival ready = xosys::Arrival::of(s);
    if (s == NATS_OK) {
        do {
            ready = m_link.confirm(m_probe, nats_Now() + 5000);
        } while (ready.is(xosys::Arrival::Kind::kInterrupted) && g_stop == 0);
    }
    if (!ready.is(xosys::Arrival::Kind::kMessage)) {
        if (g_stop != 0) {
            return 0;
        }
        say("cannot subscribe at " + m_o.router.url() + ": " + natsStatus_GetText(ready.status));
        return 1;
    }
    say("agent '" + m_o.name + "' on host " + m_o.host + ", NATS service '" +
        xoagent::kServiceName + "' instance " + m_micro.id());
    say("senders: " + m_o.sender + "; work folder: " + m_o.work);
    std::fputs("xomq-agent: ready\n", stdout);
    std::fflush(stdout);

    int status = 0;
    bool stopping = false;
    for (;;) {
        if (g_stop != 0 && !stopping) {
            stopping = true;
            say(std::string("stopping on ") + (g_stop == SIGINT ? "SIGINT" : "SIGTERM"));
            if (m_run) {
                stopSenders(std::string("stopped by ") + (g_stop == SIGINT ? "SIGINT" : "SIGTERM"));
            }
        }
        advance();
        if (stopping && !m_run) {
            break;
        }
        int64_t waitMs = 250;
        if (m_run && m_run->phase == Run::Phase::kWaiting) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(m_run->start - Clock::now());
            if (left.count() <= 300) {
                // The last stretch asleep, for a start to the tenth of a ms.
                std::this_thread::sleep_until(m_run->start);
                continue;
            }
            waitMs = std::min<int64_t>(waitMs, left.count() - 300);
        }
        const xosys::Arrival a = m_link.next(subs.data(), subs.size(), nats_Now() + waitMs);
        if (a.is(xosys::Arrival::Kind::kMessage)) {
            natsMsg* m = a.msg.get();
            switch (a.from) {
                case kOrderSub:
                    onOrder(m, false);
                    break;
                case kBroadcastSub:
                    onOrder(m, true);
                    break;
                case kClockSub:
                    onClock(m);
                    break;
                case kStopSub:
                    onStop(m);
                    break;
                default:
                    m_micro.answer(m_link, m);
                    m_link.flush();
            }
        } else if (a.is(xosys::Arrival::Kind::kClosed) ||
                   (a.is(xosys::Arrival::Kind::kOther) && a.status != NATS_SLOW_CONSUMER)) {
            say(std::string("connection to the router lost: ") + natsStatus_GetText(a.status));
            status = 1;
            if (m_run) {
                stopSenders("the router connection was lost");
                m_run->senders->kill();
                m_run->senders->reap();
            }
            break;
        }
    }
    m_link.flush();
    return status;
}

void printLinkEvent(const char* text) {
    std::fprintf(stderr, "xomq-agent: %s\n", text);
}

int run(Options& o) {
    // Signals come to this thread alone, where they end a wait at once:
    // libnats's threads start with them blocked.
    sigset_t ours;
    sigemptyset(&ours);
    sigaddset(&ours, SIGINT);
    sigaddset(&ours, SIGTERM);
    sigaddset(&ours, SIGCHLD);
    pthread_sigmask(SIG_BLOCK, &ours, nullptr);
    if (nats_Open(-1) != NATS_OK) {
        std::fprintf(stderr, "xomq-agent: the NATS client failed to start\n");
        return 1;
    }
    o.router.appname = "xomq-agent " + o.name;
    int status = 1;
    {
        xosys::NatsLink link;
        std::string reason;
        if (link.connect(o.router, printLinkEvent, &reason) != 0) {
            pthread_sigmask(SIG_UNBLOCK, &ours, nullptr);
            std::fprintf(stderr, "xomq-agent: cannot connect to %s: %s\n", o.router.url().c_str(),
                         reason.c_str());
        } else {
            pthread_sigmask(SIG_UNBLOCK, &ours, nullptr);
            Agent agent(o, link);
            status = agent.serve();
        }
    }
    nats_CloseAndWait(2000);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const int parsed = parseOptions(argc, argv, &options);
    if (parsed >= 0) {
        return parsed;
    }
    struct sigaction stop {};
    stop.sa_handler = onSignal;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    struct sigaction child {};
    child.sa_handler = onChild;
    sigemptyset(&child.sa_mask);
    child.sa_flags = SA_NOCLDSTOP;
    sigaction(SIGCHLD, &child, nullptr);
    return run(options);
}
