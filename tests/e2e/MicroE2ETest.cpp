// XoMQSender and xomq-responder with code nobody here wrote: NATS micro
// services and a service client written with nats.js (the npm package
// "nats", installed by install.sh into the build tree), one router, one set
// of processes for the suite.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "Harness.h"
#include "XoSysCodes.h"

namespace {

using namespace xotest;
using Json = nlohmann::json;

const char kNatsJs[] = XO_NATSJS_DIR "/node_modules/nats";
const char kScript[] = XO_SOURCE_DIR "/tests/e2e/js/micro.js";
const char kEcho[] = XO_SOURCE_DIR "/examples/micro-echo.js";
// Every 4th request of the nats.js endpoints "echo" and "multi.b" fails.
const int kErrorEvery = 4;

bool exists(const std::string& path) {
    return std::ifstream(path).good();
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class MicroE2E : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (std::string(XO_NODE).empty()) {
            s_skip = "no node on this machine";
            return;
        }
        if (!exists(std::string(kNatsJs) + "/package.json")) {
            s_skip = std::string("the npm package nats is not installed in ") + XO_NATSJS_DIR +
                     " (tests/e2e/js/install.sh could not get it)";
            return;
        }
        s_dir = std::make_unique<TempDir>("xomq-micro");
        s_router = std::make_unique<NatsServer>(*s_dir);
        s_services = std::make_unique<Process>(
            *s_dir, "natsjs",
            std::vector<std::string>{XO_NODE, kScript, kNatsJs, "serve", s_router->url(),
                                     std::to_string(kErrorEvery)});
        s_echo = std::make_unique<Process>(
            *s_dir, "echo",
            std::vector<std::string>{XO_NODE, kEcho, s_router->url(), std::to_string(kErrorEvery)},
            std::vector<std::string>{std::string("NODE_PATH=") + XO_NATSJS_DIR "/node_modules"});
        if (!s_services->waitForOutput("ready", Millis(15000)) ||
            !s_echo->waitForOutput("echo: ready", Millis(15000))) {
            s_broken = "the nats.js services did not start: " + s_services->err() + s_echo->err();
        }
    }
    static void TearDownTestSuite() {
        s_echo.reset();
        s_services.reset();
        s_router.reset();
        s_dir.reset();
    }

    void SetUp() override {
        if (!s_skip.empty()) {
            GTEST_SKIP() << s_skip;
        }
        ASSERT_TRUE(s_broken.empty()) << s_broken;
    }

    // A run with the count of system error replies in its log.
    SenderRun send(const std::string& service, long amount, const std::string& name) {
        IniFile run = standardIni(s_router->port(), service, amount, s_dir->file(name + ".log"));
        run.set("options:ap", "latencyHistogram", 1);
        silenceStatement(run, "XoMQSendMsg");
        run.write(s_dir->file(name + ".ini"));
        return runSender(*s_dir, {s_dir->file(name + ".ini")}, s_dir->file(name + ".log"),
                         Millis(30000), name);
    }

    // The nats.js service client's ping, info and stats of service, and
    // plain requests to its first endpoint.
    Json client(const std::string& service, int plainRequests) {
        Process p(*s_dir, "client-" + service,
                  {XO_NODE, kScript, kNatsJs, "client", s_router->url(), service,
                   std::to_string(plainRequests)});
        EXPECT_EQ(p.waitExitCode(Millis(20000)), 0) << p.err();
        return Json::parse(p.out(), nullptr, false);
    }

    static std::string s_skip;
    static std::string s_broken;
    static std::unique_ptr<TempDir> s_dir;
    static std::unique_ptr<NatsServer> s_router;
    static std::unique_ptr<Process> s_services;
    static std::unique_ptr<Process> s_echo;
};

std::string MicroE2E::s_skip;
std::string MicroE2E::s_broken;
std::unique_ptr<TempDir> MicroE2E::s_dir;
std::unique_ptr<NatsServer> MicroE2E::s_router;
std::unique_ptr<Process> MicroE2E::s_services;
std::unique_ptr<Process> MicroE2E::s_echo;

// XoMQSender resolves a nats.js service by name or service/endpoint,
// measures it, and counts its respondError replies as system error replies;
// names that fit no endpoint end the run as an unknown service does.
TEST_F(MicroE2E, SenderMeasuresNatsJsServices) {
    const struct {
        const char* service;
        long amount;
        long errors;  // -1: the resolve fails
        const char* logText;
    } cases[] = {
        {"echo", 40, 40 / kErrorEvery, "service error 503 from _XO.micro.echo: busy 4"},
        {"multi/b", 30, 30 / kErrorEvery, "service error 500 from _XO.micro.multi.b: b failed"},
        {"multi/a", 20, 0, "20 messages sent for"},
        {"multi", 1, -1, "the NATS service 'multi': it has 2 endpoints (a, b)"},
        {"multi/c", 1, -1, "it has no endpoint 'c' (its endpoints: a, b)"},
        {"nosuch", 1, -1,
         "no instance of 'nosuch' answered, neither as an XoSys service nor as a NATS service"},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.service);
        const SenderRun r = send(c.service, c.amount, "run" + std::to_string(++n));
        EXPECT_FALSE(linesWith(r.log, c.logText).empty()) << r.describe();
        if (c.errors < 0) {
            ASSERT_TRUE(r.finished) << r.describe();
            EXPECT_EQ(r.status.code, static_cast<int>(XOSYS_E_SERVICE_NOT_FOUND & 0xFF));
            const auto failed = linesWith(r.log, "XoMQServiceResolve failed");
            ASSERT_EQ(failed.size(), 1u) << r.describe();
            EXPECT_EQ(codeIn(failed[0]), XOSYS_E_SERVICE_NOT_FOUND);
            continue;
        }
        EXPECT_TRUE(r.finished && r.status.exitedWith(0)) << r.describe();
        const std::optional<Report> report = parseReport(r.log);
        ASSERT_TRUE(report.has_value()) << r.describe();
        EXPECT_EQ(report->count, static_cast<uint64_t>(c.amount));
        EXPECT_EQ(linesWith(r.log, " " + std::to_string(c.errors) + " system error replies").size(),
                  1u)
            << r.describe();
        EXPECT_EQ(linesWith(r.log, "Failed to receive reply").size(),
                  static_cast<size_t>(c.errors));
    }
}

// The nats.js service client finds xomq-responder by ping, info and stats;
// the stats agree with what the sender sent, and a plain request to its
// endpoint gets its payload back (or, on its error turn, the error headers).
TEST_F(MicroE2E, NatsJsServiceClientSeesTheResponder) {
    Responder responder(*s_dir, s_router->url(), "xo.one", {"--error-every", "4"}, "responder-one");
    const SenderRun r = send("xo.one", 20, "one");
    ASSERT_TRUE(r.finished && r.status.exitedWith(0)) << r.describe();

    const Json j = client("xo_2Eone", 4);
    ASSERT_TRUE(j.is_object()) << j.dump();
    ASSERT_EQ(j["ping"].size(), 1u) << j.dump();
    const std::string id = j["ping"][0]["id"];
    EXPECT_EQ(j["ping"][0]["type"], "io.nats.micro.v1.ping_response");
    EXPECT_EQ(j["ping"][0]["name"], "xo_2Eone");
    EXPECT_EQ(j["ping"][0]["metadata"]["xo_service"], "xo.one");

    ASSERT_EQ(j["info"].size(), 1u);
    const Json& info = j["info"][0];
    EXPECT_EQ(info["type"], "io.nats.micro.v1.info_response");
    EXPECT_EQ(info["id"], id);
    EXPECT_EQ(info["version"], XO_VERSION);
    ASSERT_EQ(info["endpoints"].size(), 1u);
    EXPECT_EQ(info["endpoints"][0]["name"], "requests");
    EXPECT_EQ(info["endpoints"][0]["subject"], "_XO.svc.xo%2Eone");
    EXPECT_EQ(info["endpoints"][0]["queue_group"], "xo");

    ASSERT_EQ(j["stats"].size(), 1u);
    const Json& stats = j["stats"][0];
    EXPECT_EQ(stats["type"], "io.nats.micro.v1.stats_response");
    EXPECT_TRUE(stats["started"].get<std::string>().back() == 'Z') << stats["started"];
    const Json& e = stats["endpoints"][0];
    EXPECT_EQ(e["num_requests"], 20);
    EXPECT_EQ(e["num_errors"], 5);
    EXPECT_EQ(e["last_error"], "xomq-responder: error reply (--error-every 4)");
    EXPECT_GT(e["processing_time"].get<uint64_t>(), 0u);
    EXPECT_EQ(e["average_processing_time"], e["processing_time"].get<uint64_t>() / 20);

    // Requests 21 to 24: the last one is an error turn.
    ASSERT_EQ(j["replies"].size(), 4u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(j["replies"][i]["data"], "plain " + std::to_string(i));
        EXPECT_TRUE(j["replies"][i]["code"].is_null() || j["replies"][i]["code"] == "");
    }
    EXPECT_EQ(j["replies"][3]["data"], "");
    EXPECT_EQ(j["replies"][3]["code"], "24581");
    EXPECT_EQ(j["replies"][3]["error"], "xomq-responder: error reply (--error-every 4)");
    const std::optional<ResponderSummary> summary = responder.stop();
    ASSERT_TRUE(summary.has_value());
    EXPECT_EQ(summary->answered, 24);
}

// serviceStats = 1: two instances in one queue group share the run, and
// their counts add up to it; a service that does not speak the protocol is
// named as such, in the log and in the result file.
TEST_F(MicroE2E, ServiceStatsSplitsTheRunAndNamesAServiceWithoutThem) {
    Responder first(*s_dir, s_router->url(), "pair_x", {}, "pair1");
    Responder second(*s_dir, s_router->url(), "pair_x", {}, "pair2");
    for (const char* service : {"pair_x", "legacy"}) {
        SCOPED_TRACE(service);
        const std::string name = std::string("stats-") + service;
        IniFile ini = standardIni(s_router->port(), service, 400, s_dir->file(name + ".log"));
        ini.set("options:ap", "serviceStats", 1)
            .set("options:ap", "warmupAmount", 10)
            .set("options:ap", "resultFile", s_dir->file(name + ".json"));
        silenceStatement(ini, "XoMQSendMsg");
        ini.write(s_dir->file(name + ".ini"));
        const SenderRun r = runSender(*s_dir, {s_dir->file(name + ".ini")},
                                      s_dir->file(name + ".log"), Millis(30000), name);
        ASSERT_TRUE(r.finished && r.status.exitedWith(0)) << r.describe();
        const Json file = Json::parse(readFile(s_dir->file(name + ".json")), nullptr, false);
        const Json& stats = file["service_stats"];
        if (std::string(service) == "legacy") {
            EXPECT_EQ(linesWith(r.log,
                                "Service statistics not available: the service does not "
                                "answer the NATS service protocol ($SRV.STATS)")
                          .size(),
                      1u)
                << r.describe();
            EXPECT_EQ(stats["available"], false);
            EXPECT_EQ(stats["reason"],
                      "the service does not answer the NATS service protocol ($SRV.STATS)");
            continue;
        }
        EXPECT_EQ(linesWith(r.log, "Service statistics: 2 instances counted 400 requests").size(),
                  1u)
            << r.describe();
        EXPECT_EQ(linesWith(r.log, "Service instance ").size(), 2u);
        EXPECT_EQ(linesWith(r.log, "transport and router").size(), 1u);
        ASSERT_EQ(stats["available"], true) << stats.dump();
        ASSERT_EQ(stats["instances"].size(), 2u);
        uint64_t sum = 0;
        double shares = 0;
        for (const Json& i : stats["instances"]) {
            sum += i["requests"].get<uint64_t>();
            shares += i["share"].get<double>();
        }
        EXPECT_EQ(sum, 400u);
        EXPECT_NEAR(shares, 1.0, 1e-9);
        EXPECT_LT(stats["mean_processing_us"].get<double>(), stats["round_trip_us"].get<double>());
        EXPECT_NEAR(stats["transport_us"].get<double>() + stats["mean_processing_us"].get<double>(),
                    file["us_per_msg"].get<double>(), 1e-6);
    }
}

}  // namespace
