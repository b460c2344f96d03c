// The measurement keys end to end: the result file of a completed, a failed
// and an interrupted run, against the log's own lines; progress lines.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "Harness.h"
#include "XoSysCodes.h"

namespace {

using namespace xotest;
using Json = nlohmann::json;

const Millis kBound(60000);
const char kService[] = "result-echo";

class ResultFileE2E : public ::testing::Test {
  protected:
    void TearDown() override {
        if (HasFailure()) {
            m_dir.keep();
        }
    }

    IniFile measuring(int port, long amount) {
        IniFile ini = standardIni(port, kService, amount, m_logPath);
        ini.set("options:ap", "resultFile", m_resultPath)
            .set("options:ap", "latencyHistogram", 1)
            .set("options:mq", "pwd", "Hush-3141");
        return ini;
    }

    Json result() {
        const std::string text = readFile(m_resultPath);
        EXPECT_FALSE(text.empty());
        return Json::parse(text.empty() ? "{}" : text);
    }

    TempDir m_dir{"xomq-result"};
    const std::string m_iniPath = m_dir.file("sender.ini");
    const std::string m_logPath = m_dir.file("sender.log");
    const std::string m_resultPath = m_dir.file("result.json");
};

TEST_F(ResultFileE2E, CompletedRunWritesTheFiguresTheLogShows) {
    NatsServer router(m_dir);
    Responder responder(m_dir, router.url(), kService, {"--error-every", "50", "--delay-ms", "3"});
    IniFile ini = measuring(router.port(), 400);
    ini.set("options:ap", "warmupAmount", 20).set("options:ap", "progressSeconds", 1);
    ini.write(m_iniPath);
    const SenderRun r = runSender(m_dir, {m_iniPath}, m_logPath, kBound);
    ASSERT_TRUE(r.status.exitedWith(0)) << r.describe();
    const auto report = parseReport(r.log);
    ASSERT_TRUE(report.has_value()) << r.describe();

    const Json j = result();
    EXPECT_EQ(j["outcome"], "completed");
    EXPECT_EQ(j["result_code"], 0);
    EXPECT_EQ(j["count"], 400);
    EXPECT_EQ(j["total_us"], report->totalMicros);
    EXPECT_NEAR(j["rate"].get<double>(), report->rate, 1e-3);
    EXPECT_NEAR(j["us_per_msg"].get<double>(), report->microsPerMessage, 1e-3);
    // The responder's 8th, 16th, ... request; the warm-up took 20 of them.
    EXPECT_EQ(j["system_errors"], (420 / 50) - (20 / 50));
    EXPECT_EQ(j["warmup_count"], 20);
    EXPECT_EQ(j["settings"]["service"], kService);
    EXPECT_EQ(j["settings"]["send_amount"], 400);
    EXPECT_EQ(j["settings"]["connect"].get<std::string>().find("Hush"), std::string::npos);
    EXPECT_NE(j["settings"]["connect"].get<std::string>().find("port = "), std::string::npos);
    EXPECT_EQ(readFile(m_resultPath).find("Hush"), std::string::npos);
    EXPECT_EQ(j["histogram"]["count"], 400);

    // The percentiles agree with the log's distribution line and each other.
    const auto line = linesWith(r.log, "Latency in microseconds: ");
    ASSERT_EQ(line.size(), 1u) << r.describe();
    EXPECT_EQ(numberAfter(line[0], "p50 "), j["p50_us"].get<uint64_t>());
    EXPECT_EQ(numberAfter(line[0], "p99 "), j["p99_us"].get<uint64_t>());
    EXPECT_EQ(numberAfter(line[0], "max "), j["max_us"].get<uint64_t>());
    EXPECT_LE(j["min_us"].get<uint64_t>(), j["p50_us"].get<uint64_t>());
    EXPECT_LE(j["p50_us"].get<uint64_t>(), j["p99_us"].get<uint64_t>());
    EXPECT_LE(j["p99_us"].get<uint64_t>(), j["max_us"].get<uint64_t>());
    // Every round trip took at least the responder's delay, and together
    // no longer than the timed loop.
    EXPECT_GE(j["min_us"].get<uint64_t>(), 3000u);
    EXPECT_LE(j["histogram"]["sum"].get<uint64_t>(), report->totalMicros);
    EXPECT_EQ(linesWith(r.log, "8 system error replies").size(), 1u) << r.describe();
    EXPECT_GE(linesWith(r.log, "Progress: ").size(), 1u) << r.describe();
}

TEST_F(ResultFileE2E, FailedAndInterruptedRunsSayHowFarTheyGot) {
    NatsServer router(m_dir);
    {
        SCOPED_TRACE("no such service");
        measuring(router.port(), 10).write(m_iniPath);
        const SenderRun r = runSender(m_dir, {m_iniPath}, m_logPath, kBound);
        ASSERT_TRUE(r.status.exitedWith(XOSYS_E_SERVICE_NOT_FOUND & 0xFF)) << r.describe();
        const Json j = result();
        EXPECT_EQ(j["outcome"], "failed");
        EXPECT_EQ(j["result_code"], XOSYS_E_SERVICE_NOT_FOUND);
        EXPECT_EQ(j["failed_call"], "XoMQServiceResolve");
        EXPECT_EQ(j["count"], 0);
    }
    {
        SCOPED_TRACE("SIGTERM mid-run");
        Responder responder(m_dir, router.url(), kService, {"--delay-ms", "20"});
        measuring(router.port(), 1000000)
            .set("options:ap", "histogramLog", m_dir.file("run.hlog"))
            .write(m_iniPath);
        const auto startedAt = std::chrono::steady_clock::now();
        Process sender = startSender(m_dir, {m_iniPath});
        std::this_thread::sleep_for(Millis(1200));
        sender.signal(SIGTERM);
        const SenderRun r = finishSender(sender, kBound, m_logPath, startedAt);
        ASSERT_TRUE(r.status.exitedWith(143)) << r.describe();
        const Json j = result();
        EXPECT_EQ(j["outcome"], "interrupted");
        EXPECT_EQ(j["interrupted_by"], "SIGTERM");
        EXPECT_EQ(j["result_code"], 143);
        const auto last = splitLines(r.log).back();
        EXPECT_EQ(numberAfter(last, "after "), j["count"].get<uint64_t>()) << last;
        EXPECT_EQ(numberAfter(last, " requests and "), j["total_us"].get<uint64_t>()) << last;
        EXPECT_GT(j["count"].get<uint64_t>(), 0u);
        EXPECT_EQ(j["histogram"]["count"], j["count"]);
        // The interval log holds every interval up to the stop.
        size_t lines = 0;
        for (const std::string& line : splitLines(readFile(m_dir.file("run.hlog")))) {
            lines += !line.empty() && line[0] >= '0' && line[0] <= '9' ? 1 : 0;
        }
        EXPECT_EQ(lines, j["intervals"].size());
        EXPECT_GE(lines, 2u);
    }
}

}  // namespace

namespace {

// scripts/fleet.sh with two senders on this build: the combined figures are
// those of the senders together.
TEST(FleetE2E, TwoSendersCombineIntoOneResult) {
    TempDir dir("xomq-fleet");
    const std::string out = dir.file("out");
    Process fleet = Process::combined(
        dir, "fleet",
        {"/bin/bash", XO_SOURCE_DIR "/scripts/fleet.sh", "--senders", "2", "--amount", "400",
         "--warmup", "10", "--no-build", "--build-dir", XO_BUILD_DIR, "--out", out});
    ASSERT_EQ(fleet.waitExitCode(Millis(60000)), 0) << fleet.describe();

    const Json all = Json::parse(readFile(out + "/fleet.json"));
    const Json one = Json::parse(readFile(out + "/sender-1.json"));
    const Json two = Json::parse(readFile(out + "/sender-2.json"));
    EXPECT_EQ(all["senders"], 2);
    EXPECT_EQ(all["count"], 800);
    EXPECT_EQ(all["count"], one["count"].get<int>() + two["count"].get<int>());
    EXPECT_NEAR(all["rate"].get<double>(), one["rate"].get<double>() + two["rate"].get<double>(),
                1e-6);
    EXPECT_EQ(all["failures"].size(), 0u);
    EXPECT_EQ(all["system_errors"], 0);
    const auto p50 = all["p50_us"].get<uint64_t>();
    EXPECT_GE(p50, std::min(one["p50_us"].get<uint64_t>(), two["p50_us"].get<uint64_t>()));
    EXPECT_LE(p50, std::max(one["p50_us"].get<uint64_t>(), two["p50_us"].get<uint64_t>()));
    EXPECT_EQ(all["max_us"],
              std::max(one["max_us"].get<uint64_t>(), two["max_us"].get<uint64_t>()));
    EXPECT_EQ(all["min_us"],
              std::min(one["min_us"].get<uint64_t>(), two["min_us"].get<uint64_t>()));
    const std::string csv = readFile(out + "/fleet.csv");
    EXPECT_NE(csv.find("\nfleet,,800,"), std::string::npos) << csv;
    EXPECT_NE(fleet.out().find("| 2 | 0 | 400 |"), std::string::npos) << fleet.out();
    // A chart when gnuplot is there, and a plain word when it is not.
    const bool gnuplot = std::system("command -v gnuplot >/dev/null 2>&1") == 0;
    EXPECT_EQ(fleet.out().find("no chart drawn: gnuplot is not installed") == std::string::npos,
              gnuplot)
        << fleet.out();
    EXPECT_EQ(!readFile(out + "/latency.png").empty(), gnuplot);

    // The user's own router and service, named by an INI file.
    NatsServer router(dir);
    Responder responder(dir, router.url(), "users-service");
    IniFile mine;
    mine.set("options:ap", "toServiceName", "users-service")
        .set("options:ap", "sendAmount", 5)  // the fleet's amount wins
        .set("options:mq", "port", router.port());
    mine.write(dir.file("mine.ini"));
    const std::string out2 = dir.file("out2");
    Process own = Process::combined(
        dir, "fleet2",
        {"/bin/bash", XO_SOURCE_DIR "/scripts/fleet.sh", "--senders", "1", "--amount", "50",
         "--ini", dir.file("mine.ini"), "--no-build", "--build-dir", XO_BUILD_DIR, "--out", out2});
    ASSERT_EQ(own.waitExitCode(Millis(60000)), 0) << own.describe();
    EXPECT_EQ(Json::parse(readFile(out2 + "/fleet.json"))["count"], 50);
    const auto summary = responder.stop();
    ASSERT_TRUE(summary.has_value());
    EXPECT_EQ(summary->answered, 50 + 100);  // and the default warm-up
}

}  // namespace

namespace {

// scripts/fleet.sh --rate: every sender paced, the fleet's offered load the
// sum, and the senders' intervals added into the fleet's, request for
// request.
TEST(FleetE2E, PacedSendersAddUpTheirIntervals) {
    TempDir dir("xomq-fleet-paced");
    const std::string out = dir.file("out");
    Process fleet = Process::combined(dir, "fleet",
                                      {"/bin/bash", XO_SOURCE_DIR "/scripts/fleet.sh", "--senders",
                                       "2", "--amount", "450", "--warmup", "10", "--rate", "300",
                                       "--no-build", "--build-dir", XO_BUILD_DIR, "--out", out});
    ASSERT_EQ(fleet.waitExitCode(Millis(60000)), 0) << fleet.describe();

    const Json all = Json::parse(readFile(out + "/fleet.json"));
    EXPECT_EQ(all["format"], "xomq-fleet-1");
    EXPECT_EQ(all["settings"]["send_rate"], 300.0);
    EXPECT_EQ(all["send_rate"], 600.0);
    EXPECT_EQ(all["count"], 900);
    uint64_t late = 0;
    for (const char* sender : {"/sender-1.json", "/sender-2.json"}) {
        late += Json::parse(readFile(out + sender))["late_sends"].get<uint64_t>();
    }
    EXPECT_EQ(all["late_sends"].get<uint64_t>(), late);
    EXPECT_LE(all["uncorrected"]["p50_us"].get<uint64_t>(), all["p50_us"].get<uint64_t>());
    uint64_t inIntervals = 0;
    for (const Json& i : all["intervals"]) {
        inIntervals += i["count"].get<uint64_t>();
        EXPECT_LE(i["p50_us"].get<uint64_t>(), i["p99_us"].get<uint64_t>());
    }
    EXPECT_EQ(inIntervals, 900u);
    EXPECT_GE(all["intervals"].size(), 2u);
    EXPECT_EQ(splitLines(readFile(out + "/intervals.dat")).size(), all["intervals"].size() + 1);
    const bool gnuplot = std::system("command -v gnuplot >/dev/null 2>&1") == 0;
    EXPECT_EQ(
        fleet.out().find("no chart over time drawn: gnuplot is not installed") == std::string::npos,
        gnuplot)
        << fleet.out();
    EXPECT_EQ(!readFile(out + "/over-time.png").empty(), gnuplot);
}

}  // namespace
