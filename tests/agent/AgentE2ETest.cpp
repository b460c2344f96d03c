// Fleets on xomq-agents through a real router on loopback, each agent with
// its own work folder: a merged run of two agents, an agent killed while it
// runs, and orders an agent refuses with their reason.
#include <gtest/gtest.h>
#include <nats/nats.h>
#include <signal.h>
#include <sys/stat.h>

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "Harness.h"
#include "NatsHandles.h"

namespace {

using namespace xotest;
using Json = nlohmann::json;

const Millis kFleetBound(60000);

// Every regular file below dir.
std::vector<std::string> filesBelow(const std::string& dir) {
    std::vector<std::string> out;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        return out;
    }
    while (const dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        const std::string path = dir + "/" + name;
        struct stat st {};
        if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            const auto inner = filesBelow(path);
            out.insert(out.end(), inner.begin(), inner.end());
        } else {
            out.push_back(path);
        }
    }
    closedir(d);
    return out;
}

// A silent agent: it answers the ping of the agents' service, and nothing else.
void answerThePingOnly(natsConnection* nc, natsSubscription*, natsMsg* msg, void*) {
    const char* reply = natsMsg_GetReply(msg);
    if (reply != nullptr && reply[0] != '\0') {
        const std::string ping = Json({{"type", "io.nats.micro.v1.ping_response"},
                                       {"name", "xomq-agent"},
                                       {"id", "SILENT"},
                                       {"version", "1"},
                                       {"metadata", {{"agent", "mute"}, {"host", "nowhere"}}}})
                                     .dump();
        natsConnection_PublishString(nc, reply, ping.c_str());
    }
    natsMsg_Destroy(msg);
}

bool endsWith(const std::string& s, const std::string& end) {
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

class AgentFleet : public ::testing::Test {
  protected:
    void TearDown() override {
        if (HasFailure()) {
            m_dir.keep();
            std::cerr << "[ agents ] files kept in " << m_dir.path() << "\n";
        }
    }

    std::string work(const std::string& agent) const { return m_dir.file(agent + "-work"); }

    Process startAgent(const std::string& name, const std::string& url,
                       std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {XO_AGENT, "--server", url,       "--name",
                                         name,     "--work",   work(name)};
        args.insert(args.end(), extra.begin(), extra.end());
        Process p(m_dir, name, args);
        if (!p.waitForOutput("xomq-agent: ready", Millis(10000))) {
            ADD_FAILURE() << "the agent did not get ready: " << p.describe();
        }
        return p;
    }

    std::string serviceIni(const std::string& service) {
        const std::string path = m_dir.file("settings.ini");
        writeFile(path, "[options:ap]\ntoServiceName = " + service + "\nsendtimeout = 5000\n");
        return path;
    }

    Process startFleet(const std::string& name, std::vector<std::string> args) {
        std::vector<std::string> all = {"/bin/bash", XO_SOURCE_DIR "/scripts/fleet.sh",
                                        "--no-build", "--build-dir", XO_BUILD_DIR};
        all.insert(all.end(), args.begin(), args.end());
        return Process::combined(m_dir, name, all);
    }

    static const Json* host(const Json& fleet, const std::string& agent) {
        for (const Json& h : fleet["hosts"]) {
            if (h["agent"] == agent) {
                return &h;
            }
        }
        return nullptr;
    }

    TempDir m_dir{"xomq-agents"};
};

// All agents there are (two), two senders each, through a router that
// wants a token and takes small messages: one result whose figures are the
// hosts' added up, the result files back whole in several messages, and the
// token nowhere but in the agents' private INI files.
TEST_F(AgentFleet, TwoAgentsAddUpAndTheTokenStaysOnTheirHosts) {
    const std::string token = "tok-4f9a1c-never-shown";
    NatsServer::Options options;
    options.token = token;
    options.config = "max_payload: 5120\n";  // result files are larger
    NatsServer router(m_dir, options);
    Responder responder(m_dir, router.url(), "agent-echo", {"--password", token});
    Process a1 = startAgent("a1", router.url(), {"--password", token});
    Process a2 = startAgent("a2", router.url(), {"--password", token});

    const std::string out = m_dir.file("out");
    Process fleet =
        startFleet("fleet", {"--agents", "all", "--server", router.url(), "--password", token,
                             "--senders", "2", "--amount", "300", "--warmup", "5", "--ini",
                             serviceIni("agent-echo"), "--timeout", "30", "--out", out});
    ASSERT_EQ(fleet.waitExitCode(kFleetBound), 0) << fleet.describe();

    const Json all = Json::parse(readFile(out + "/fleet.json"));
    EXPECT_EQ(all["senders"], 4);
    EXPECT_EQ(all["count"], 1200);
    EXPECT_EQ(all["failed_hosts"].size(), 0u);
    ASSERT_EQ(all["hosts"].size(), 2u);
    uint64_t maxUs = 0;
    uint64_t lowP50 = UINT64_MAX;
    uint64_t highP50 = 0;
    double rate = 0;
    for (const char* agent : {"a1", "a2"}) {
        const Json* h = host(all, agent);
        ASSERT_NE(h, nullptr) << agent;
        EXPECT_EQ((*h)["status"], "completed");
        EXPECT_EQ((*h)["senders"], 2);
        EXPECT_EQ((*h)["count"], 600);
        EXPECT_EQ((*h)["recorded"], 600);
        EXPECT_EQ((*h)["failures"], 0);
        // Both on this machine's one clock.
        EXPECT_LT(std::abs((*h)["clock_offset_ms"].get<double>()), 50.0);
        maxUs = std::max(maxUs, (*h)["max_us"].get<uint64_t>());
        lowP50 = std::min(lowP50, (*h)["p50_us"].get<uint64_t>());
        highP50 = std::max(highP50, (*h)["p50_us"].get<uint64_t>());
        rate += (*h)["rate"].get<double>();
    }
    // The fleet's figures come from the added histograms.
    EXPECT_EQ(all["max_us"], maxUs);
    EXPECT_GE(all["p50_us"].get<uint64_t>(), lowP50);
    EXPECT_LE(all["p50_us"].get<uint64_t>(), highP50);
    EXPECT_NEAR(all["rate"].get<double>(), rate, 1e-6);
    EXPECT_NE(fleet.out().find("| a2 | completed | 2 | 600 |"), std::string::npos) << fleet.out();

    // Each result file came in parts under the router's limit, put together
    // as the agent wrote it.
    const Json agents = Json::parse(readFile(out + "/agents.json"));
    for (const Json& a : agents["agents"]) {
        for (const Json& sender : a["senders"]) {
            EXPECT_GE(sender["parts"].get<int>(), 2) << sender;
            const std::string file = sender["file"];
            std::string local;
            for (const std::string& f : filesBelow(work(a["agent"]))) {
                if (endsWith(f, file.substr(file.find('/')))) {
                    local = readFile(f);
                }
            }
            EXPECT_FALSE(local.empty()) << file;
            EXPECT_EQ(readFile(out + "/" + file), local) << file;
        }
    }

    // Each host's intervals go on the controller's clock: had a1's clock
    // been 3 s ahead, its senders' intervals would begin 3 s before a2's,
    // and the table would say so.
    for (const Json& a : agents["agents"]) {
        EXPECT_EQ(a["clock_warning"], false) << a;
    }
    Json skewed = agents;
    for (Json& a : skewed["agents"]) {
        a["clock_offset_ms"] = a["agent"] == "a1" ? 3000.0 : 0.0;
        a["clock_warning"] = a["agent"] == "a1";
    }
    writeFile(out + "/skewed.json", skewed.dump());
    const std::string moved = m_dir.file("skewed");
    ASSERT_EQ(mkdir(moved.c_str(), 0755), 0);
    Process merge(m_dir, "merge",
                  {XO_BUILD_DIR "/tools/fleet/xomq-fleet-merge", "--out", moved, "--agents",
                   out + "/skewed.json"});
    ASSERT_EQ(merge.waitExitCode(Millis(10000)), 0) << merge.describe();
    EXPECT_NE(merge.out().find("(agent a1): its clock is off by more than the bound"),
              std::string::npos)
        << merge.out();
    EXPECT_EQ(merge.out().find("(agent a2): its clock"), std::string::npos) << merge.out();
    uint64_t early = 0;
    uint64_t late = 0;
    const Json skewedFleet = Json::parse(readFile(moved + "/fleet.json"));
    for (const Json& i : skewedFleet["intervals"]) {
        (i["start_s"].get<double>() < 1.5 ? early : late) += i["count"].get<uint64_t>();
    }
    EXPECT_EQ(early, 600u);
    EXPECT_EQ(late, 600u);

    EXPECT_TRUE(a1.stop().exitedWith(0));
    EXPECT_TRUE(a2.stop().exitedWith(0));
    std::vector<std::string> scanned = filesBelow(out);
    for (const std::string agent : {"a1", "a2"}) {
        for (const std::string& f : filesBelow(work(agent))) {
            if (endsWith(f, ".ini")) {
                // The senders' INI holds the agent's token: for its user only.
                struct stat st {};
                ASSERT_EQ(stat(f.c_str(), &st), 0);
                EXPECT_EQ(st.st_mode & 0777, 0600u) << f;
                EXPECT_NE(readFile(f).find(token), std::string::npos) << f;
            } else {
                scanned.push_back(f);
            }
        }
        scanned.push_back(m_dir.file(agent + ".out"));
        scanned.push_back(m_dir.file(agent + ".err"));
    }
    scanned.push_back(fleet.outPath());
    EXPECT_GE(scanned.size(), 12u);
    for (const std::string& f : scanned) {
        EXPECT_EQ(readFile(f).find(token), std::string::npos) << "the token shows in " << f;
    }
}

// Three agents, one sender each, for seconds, one that is not there (a0)
// and one that answers the ping only (mute): a1 is killed (SIGKILL), a2's
// sender outlasts the order's time-out, a3 gets SIGTERM. The run ends, not
// with 0; a0, mute and a1 are named as failed, each with its reason; a2
// and a3 send back what their interrupted senders did; a1's sender does not
// run on without it.
TEST_F(AgentFleet, AKilledAgentFailsItsHostAndTheOthersKeepTheirPartialResults) {
    NatsServer router(m_dir);
    // Each request takes 2 ms or more, 500 a second at most for all senders.
    Responder responder(m_dir, router.url(), "slow-echo", {"--delay-ms", "2"});
    Process a1 = startAgent("a1", router.url());
    Process a2 = startAgent("a2", router.url());
    Process a3 = startAgent("a3", router.url());
    natsConnection* raw = nullptr;
    ASSERT_EQ(natsConnection_ConnectTo(&raw, router.url().c_str()), NATS_OK);
    const xosys::NatsConnectionPtr nc(raw);
    natsSubscription* rawSub = nullptr;
    ASSERT_EQ(natsConnection_Subscribe(&rawSub, nc.get(), "$SRV.PING.xomq-agent", answerThePingOnly,
                                       nullptr),
              NATS_OK);
    const xosys::NatsSubscriptionPtr mute(rawSub);
    ASSERT_EQ(natsConnection_FlushTimeout(nc.get(), 5000), NATS_OK);

    const std::string out = m_dir.file("out");
    Process fleet =
        startFleet("fleet", {"--agents", "a1,a2,a3,a0,mute", "--server", router.url(), "--senders",
                             "1", "--amount", "5000", "--warmup", "0", "--ini",
                             serviceIni("slow-echo"), "--timeout", "4", "--out", out});
    ASSERT_TRUE(a1.waitForOutput("senders started", Millis(20000), true)) << a1.describe();
    std::this_thread::sleep_for(Millis(1000));
    const auto killedAt = std::chrono::steady_clock::now();
    a1.kill();
    a3.signal(SIGTERM);
    EXPECT_EQ(a3.waitExitCode(Millis(10000)), 0) << a3.describe();
    ASSERT_EQ(fleet.waitExitCode(kFleetBound), 1) << fleet.describe();
    // Found lost well before the controller's own time-out (4 s + 20 s).
    EXPECT_LT(std::chrono::steady_clock::now() - killedAt, std::chrono::seconds(20));

    const Json all = Json::parse(readFile(out + "/fleet.json"));
    ASSERT_EQ(all["failed_hosts"].size(), 3u) << all.dump(2);
    const char* const failed[][2] = {{"a1", "lost while running"},
                                     {"a0", "missing: no answer to the ping"},
                                     {"mute", "silent: no answer to its clock requests"}};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(all["failed_hosts"][i]["agent"], failed[i][0]);
        EXPECT_NE(all["failed_hosts"][i]["reason"].get<std::string>().find(failed[i][1]),
                  std::string::npos)
            << all["failed_hosts"][i];
    }
    EXPECT_NE(fleet.out().find("(agent a1) failed: lost while running"), std::string::npos)
        << fleet.out();
    EXPECT_EQ((*host(all, "a1"))["failures"], 1);
    uint64_t count = 0;
    for (const char* agent : {"a2", "a3"}) {
        const Json* h = host(all, agent);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ((*h)["status"], "completed") << agent;
        EXPECT_EQ((*h)["failures"], 1) << agent;  // interrupted
        EXPECT_GT((*h)["count"].get<uint64_t>(), 0u) << agent;
        EXPECT_LT((*h)["count"].get<uint64_t>(), 5000u) << agent;
        const Json result = Json::parse(readFile(out + "/" + agent + "/sender-1.json"));
        EXPECT_EQ(result["outcome"], "interrupted") << agent;
        EXPECT_EQ(result["interrupted_by"], "SIGTERM") << agent;
        EXPECT_EQ(result["count"], (*h)["count"]) << agent;
        count += (*h)["count"].get<uint64_t>();
    }
    EXPECT_EQ(all["count"], count);
    EXPECT_EQ((*host(all, "a2"))["ended"], "timed out after 4 s");
    EXPECT_EQ((*host(all, "a3"))["ended"], "stopped by SIGTERM");
#if defined(__linux__)
    // Had a1's sender run on, the service would still have been answering
    // it after a2's time-out.
    const auto summary = responder.stop();
    ASSERT_TRUE(summary.has_value());
    EXPECT_LT(summary->answered, 3000);
#endif
}

// Orders sent straight to an agent: each hostile or unknown setting is
// refused with its reason, as a service error, and nothing is written. The
// script refuses an unknown setting itself, before anything is sent, and
// names the agent that refuses an order with the agent's reason.
TEST_F(AgentFleet, OrdersWithHostileOrUnknownSettingsAreRefusedWithTheirReason) {
    NatsServer router(m_dir);
    Process a1 = startAgent("a1", router.url());

    natsConnection* raw = nullptr;
    ASSERT_EQ(natsConnection_ConnectTo(&raw, router.url().c_str()), NATS_OK);
    const xosys::NatsConnectionPtr nc(raw);
    const auto ask = [&nc](const char* subject, const std::string& body, Json* answer,
                           std::string* errorCode) {
        natsMsg* reply = nullptr;
        const natsStatus s = natsConnection_Request(&reply, nc.get(), subject, body.data(),
                                                    static_cast<int>(body.size()), 3000);
        if (s != NATS_OK) {
            return s;
        }
        const xosys::NatsMsgPtr owned(reply);
        *answer = Json::parse(
            std::string(natsMsg_GetData(reply), static_cast<size_t>(natsMsg_GetDataLength(reply))));
        const char* code = nullptr;
        *errorCode =
            natsMsgHeader_Get(reply, "Nats-Service-Error-Code", &code) == NATS_OK ? code : "";
        return NATS_OK;
    };

    // Listed and pinged as the NATS service xomq-agent.
    Json ping;
    std::string code;
    ASSERT_EQ(ask("$SRV.PING.xomq-agent", "", &ping, &code), NATS_OK);
    EXPECT_EQ(ping["name"], "xomq-agent");
    EXPECT_EQ(ping["metadata"]["agent"], "a1");
    EXPECT_FALSE(ping["metadata"]["host"].get<std::string>().empty());

    // A minute ahead: these orders fail on their settings alone.
    const int64_t start = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count() +
                          60000;
    const auto order = [start](const Json& settings) {
        return Json({{"schema", "xomq-order-1"},
                     {"run", "r1"},
                     {"agents", {"a1"}},
                     {"senders", 1},
                     {"amount", 10},
                     {"settings", settings},
                     {"start_ms", start},
                     {"timeout_s", 10}})
            .dump();
    };
    const struct {
        const char* what;
        Json settings;
        const char* reason;
    } cases[] = {
        {"a service name that opens a section",
         {{"toServiceName", "echo\n[options:mq]\nconnect = servers = nats://evil:1"}},
         "'toServiceName' holds a line end"},
        {"a value with ';'", {{"toServiceName", "echo"}, {"appname", "x;password = y"}}, "; ,"},
        {"an unknown setting",
         {{"toServiceName", "echo"}, {"histogramLogFile", "/tmp/x"}},
         "unknown sender setting 'histogramLogFile'"},
    };
    for (const auto& c : cases) {
        Json answer;
        ASSERT_EQ(ask("xomq.agent.a1.order", order(c.settings), &answer, &code), NATS_OK) << c.what;
        EXPECT_EQ(answer["type"], "refused") << c.what;
        EXPECT_NE(answer["reason"].get<std::string>().find(c.reason), std::string::npos)
            << c.what << ": " << answer["reason"];
        EXPECT_EQ(code, "400") << c.what;
    }
    EXPECT_TRUE(filesBelow(work("a1")).empty());

    // The script: the unknown key is named, and no order goes out.
    const std::string ini = m_dir.file("unknown.ini");
    writeFile(ini, "[options:ap]\ntoServiceName = echo\nsendAmmount = 5\n");
    Process fleet = startFleet("fleet", {"--agents", "a1", "--server", router.url(), "--ini", ini,
                                         "--out", m_dir.file("out")});
    ASSERT_EQ(fleet.waitExitCode(kFleetBound), 2) << fleet.describe();
    EXPECT_NE(fleet.out().find("unknown sender setting 'sendammount'"), std::string::npos)
        << fleet.out();
    Json stats;
    ASSERT_EQ(ask("$SRV.STATS.xomq-agent", "", &stats, &code), NATS_OK);
    EXPECT_EQ(stats["endpoints"][0]["num_requests"], 3);  // the three above
    EXPECT_EQ(stats["endpoints"][1]["num_requests"], 0);  // none broadcast

    // Through the script: more senders than the agent takes. Its reason is
    // the controller's, and the run fails.
    Process many =
        startFleet("many", {"--agents", "a1", "--server", router.url(), "--senders", "17", "--ini",
                            serviceIni("echo"), "--out", m_dir.file("many")});
    ASSERT_EQ(many.waitExitCode(kFleetBound), 1) << many.describe();
    EXPECT_NE(many.out().find("(agent a1) failed: refused the order: field 'senders' must be a "
                              "whole number from 1 to 16"),
              std::string::npos)
        << many.out();
}

}  // namespace
