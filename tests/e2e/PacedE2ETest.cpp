// Paced runs against the real responder: a stall of the service shows in the
// latency from the scheduled send and not in the one from the actual send;
// a long wait for the next due time ends at once on SIGTERM; the warm-up
// reports its progress and how far it got when stopped.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "Harness.h"

namespace {

using namespace xotest;
using Json = nlohmann::json;

const Millis kBound(60000);
const char kService[] = "paced-echo";

class PacedE2E : public ::testing::Test {
  protected:
    void TearDown() override {
        if (HasFailure()) {
            m_dir.keep();
        }
    }

    // Every line reaches the file at once: the test waits for lines.
    IniFile ini(int port, long amount) {
        IniFile i = standardIni(port, kService, amount, m_logPath);
        i.set("log", "flush", 1);
        return i;
    }

    TempDir m_dir{"xomq-paced"};
    const std::string m_iniPath = m_dir.file("sender.ini");
    const std::string m_logPath = m_dir.file("sender.log");
    const std::string m_resultPath = m_dir.file("result.json");
    const std::string m_hlogPath = m_dir.file("run.hlog");
};

// 200 requests per second for 4 s; the responder stopped for 1 s after the
// first. The requests due during the stall go late, one after the other as
// fast as the service answers, and their latency from the scheduled send
// holds the stall; from the actual send only the one request it held waited.
TEST_F(PacedE2E, StalledServiceShowsInTheLatencyFromTheScheduledSend) {
    NatsServer router(m_dir);
    Responder responder(m_dir, router.url(), kService);
    IniFile ini = this->ini(router.port(), 800);
    ini.set("options:ap", "sendRate", 200)
        .set("options:ap", "latencyHistogram", 1)
        .set("options:ap", "resultFile", m_resultPath)
        .set("options:ap", "histogramLog", m_hlogPath);
    silenceStatement(ini, "XoMQSendMsg");
    ini.write(m_iniPath);
    const auto startedAt = std::chrono::steady_clock::now();
    Process sender = startSender(m_dir, {m_iniPath});
    ASSERT_TRUE(waitForLog(m_logPath, "Start timer", 1, Millis(20000)));
    std::this_thread::sleep_for(Millis(1000));
    responder.process().signal(SIGSTOP);
    std::this_thread::sleep_for(Millis(1000));
    responder.process().signal(SIGCONT);
    const SenderRun r = finishSender(sender, kBound, m_logPath, startedAt);
    ASSERT_TRUE(r.status.exitedWith(0)) << r.describe();

    const Json j = Json::parse(readFile(m_resultPath));
    EXPECT_EQ(j["count"], 800);
    EXPECT_EQ(j["send_rate"], 200.0);
    // About 200 requests were due during the stall: a fifth of the run, so
    // the top tenth from the scheduled send waited most of the second.
    EXPECT_GE(j["p90_us"].get<uint64_t>(), 300000u) << j.dump();
    EXPECT_LT(j["uncorrected"]["p90_us"].get<uint64_t>(), 100000u) << j.dump();
    EXPECT_GE(j["uncorrected"]["max_us"].get<uint64_t>(), 800000u);
    EXPECT_GE(j["late_sends"].get<uint64_t>(), 100u);
    EXPECT_GE(j["max_lag_us"].get<uint64_t>(), 800000u);
    const auto late = linesWith(r.log, " late sends, largest lag ");
    ASSERT_EQ(late.size(), 1u) << r.describe();
    EXPECT_EQ(numberAfter(late[0], "INFO  "), j["late_sends"].get<uint64_t>()) << late[0];
    const auto scheduled = linesWith(r.log, "Latency from the scheduled send in microseconds: ");
    ASSERT_EQ(scheduled.size(), 1u) << r.describe();
    EXPECT_EQ(numberAfter(scheduled[0], "p90 "), j["p90_us"].get<uint64_t>());
    EXPECT_EQ(linesWith(r.log, "Latency from the actual send in microseconds: ").size(), 1u);

    // Every request is in exactly one interval; the interval log has an
    // untagged and an uncorrected line for each.
    uint64_t inIntervals = 0;
    for (const Json& i : j["intervals"]) {
        inIntervals += i["count"].get<uint64_t>();
    }
    EXPECT_EQ(inIntervals, 800u);
    const auto lines = splitLines(readFile(m_hlogPath));
    size_t untagged = 0;
    size_t uncorrected = 0;
    for (const std::string& line : lines) {
        untagged += !line.empty() && line[0] >= '0' && line[0] <= '9' ? 1 : 0;
        uncorrected += line.rfind("Tag=uncorrected,", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(untagged, j["intervals"].size());
    EXPECT_EQ(uncorrected, j["intervals"].size());
}

// One request every 5 s: the first goes at once, the wait for the second
// ends with SIGTERM at once, not when the request is due.
TEST_F(PacedE2E, StopRequestEndsTheWaitForTheNextRequest) {
    NatsServer router(m_dir);
    Responder responder(m_dir, router.url(), kService);
    IniFile ini = this->ini(router.port(), 10);
    ini.set("options:ap", "sendRate", "0.2");
    ini.write(m_iniPath);
    const auto startedAt = std::chrono::steady_clock::now();
    Process sender = startSender(m_dir, {m_iniPath});
    ASSERT_TRUE(waitForLog(m_logPath, "XoMQSendMsg", 1, Millis(20000)));
    std::this_thread::sleep_for(Millis(500));
    const auto stoppedAt = std::chrono::steady_clock::now();
    sender.signal(SIGTERM);
    const SenderRun r = finishSender(sender, kBound, m_logPath, startedAt);
    ASSERT_TRUE(r.status.exitedWith(143)) << r.describe();
    EXPECT_LT(std::chrono::steady_clock::now() - stoppedAt, Millis(3000));
    const auto last = splitLines(r.log).back();
    EXPECT_NE(last.find("Interrupted by SIGTERM after 1 requests and "), std::string::npos) << last;
}

// A warm-up longer than the run is allowed: its progress lines say they are
// the warm-up's, and the stop names the warm-up requests done.
TEST_F(PacedE2E, LongWarmUpShowsProgressAndHowFarItGot) {
    NatsServer router(m_dir);
    Responder responder(m_dir, router.url(), kService);
    IniFile ini = this->ini(router.port(), 10);
    ini.set("options:ap", "warmupAmount", 2147483647).set("options:ap", "progressSeconds", 1);
    silenceStatement(ini, "XoMQSendMsg");
    ini.write(m_iniPath);
    const auto startedAt = std::chrono::steady_clock::now();
    Process sender = startSender(m_dir, {m_iniPath});
    ASSERT_TRUE(waitForLog(m_logPath, "Warm-up progress: ", 1, Millis(20000)));
    sender.signal(SIGTERM);
    const SenderRun r = finishSender(sender, kBound, m_logPath, startedAt);
    ASSERT_TRUE(r.status.exitedWith(143)) << r.describe();
    const auto progress = linesWith(r.log, "Warm-up progress: ");
    ASSERT_GE(progress.size(), 1u);
    EXPECT_NE(progress[0].find(" of 2147483647 requests, now "), std::string::npos) << progress[0];
    EXPECT_TRUE(linesWith(r.log, "Start timer").empty());
    const auto last = splitLines(r.log).back();
    const auto done = numberAfter(last, "Interrupted by SIGTERM during the warm-up, after ");
    ASSERT_TRUE(done.has_value()) << last;
    EXPECT_GE(*done, *numberAfter(progress.back(), "Warm-up progress: "));
    EXPECT_NE(last.find(" of 2147483647 warm-up requests"), std::string::npos) << last;
}

}  // namespace
