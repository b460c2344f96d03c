// XoMQSender against a misbehaving router or service: every run ends in
// bounded time with the code of the call that failed (or 0 when the failure
// is a system error reply), and a clear line in the log.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "FaultSupport.h"
#include "Harness.h"
#include "XoSysCodes.h"

namespace {

using namespace xotest;
using Clock = std::chrono::steady_clock;

const char kService[] = "fault-echo";
const Millis kBound(30000);

Millis since(Clock::time_point start) {
    return std::chrono::duration_cast<Millis>(Clock::now() - start);
}

class RunFaults : public faults::FaultTest {
  protected:
    // A configuration whose log is flushed line by line, so that a test can
    // follow the run while it goes.
    IniFile ini(int port, long amount) {
        IniFile i = standardIni(port, kService, amount, m_logPath);
        i.set("log", "flush", 1);
        return i;
    }
};

TEST_F(RunFaults, RouterKilledMidRunFailsTheSendWithinItsTimeOut) {
    const long sendTimeout = 3000;
    NatsServer router(m_dir);
    // Each answer takes a while, so the kill finds the program waiting in
    // its send.
    Responder responder(m_dir, router.url(), kService, {"--delay-ms", "20"});
    IniFile config = ini(router.port(), 1000000);
    config.set("options:ap", "sendtimeout", sendTimeout);
    silenceStatement(config, "XoMQSendMsg");
    config.write(m_iniPath);

    const auto startedAt = Clock::now();
    Process sender = startSender(m_dir, {m_iniPath});
    ASSERT_TRUE(faults::waitForLog(m_logPath, "Start timer", 1, Millis(10000)))
        << readFile(m_logPath);
    std::this_thread::sleep_for(Millis(200));
    const auto killedAt = Clock::now();
    router.process().kill();
    const SenderRun r = finishSender(sender, kBound, m_logPath, startedAt);

    faults::expectFailedRun(r, XOSYS_E_CONNECTION_LOST, "XoMQSendMsg");
    EXPECT_LT(since(killedAt), Millis(sendTimeout + 1000)) << r.describe();
    EXPECT_EQ(linesWith(r.log, "Failed to receive reply").size(), 0u) << r.describe();
}

TEST_F(RunFaults, ResponderKilledMidRunLosesTheRequestItHeldAndTheSendTimesOut) {
    const long sendTimeout = 1000;
    NatsServer router(m_dir);
    // Each answer takes a while, so the kill finds a request inside it
    // (all but a few microseconds of every 200 ms).
    Responder responder(m_dir, router.url(), kService, {"--delay-ms", "200"});
    IniFile config = ini(router.port(), 1000000);
    config.set("options:ap", "sendtimeout", sendTimeout);
    config.write(m_iniPath);

    const auto startedAt = Clock::now();
    Process sender = startSender(m_dir, {m_iniPath});
    ASSERT_TRUE(faults::waitForLog(m_logPath, "XoMQSendMsg", 2, Millis(10000)))
        << readFile(m_logPath);
    const auto killedAt = Clock::now();
    responder.process().kill();
    const SenderRun r = finishSender(sender, kBound, m_logPath, startedAt);

    faults::expectFailedRun(r, XOSYS_E_TIMEOUT, "XoMQSendMsg");
    EXPECT_EQ(linesWith(r.log, "XoMQSendMsg: no reply from").size(), 1u) << r.describe();
    EXPECT_GE(since(killedAt), Millis(sendTimeout - 100)) << r.describe();
    EXPECT_LT(since(killedAt), Millis(sendTimeout + 1500)) << r.describe();
}

TEST_F(RunFaults, ResponderKilledMidRunLeavesSystemErrorRepliesThatAreCounted) {
    const long amount = 400;
    NatsServer router(m_dir);
    Responder responder(m_dir, router.url(), kService, {"--delay-ms", "1"});
    IniFile config = ini(router.port(), amount);
    config.write(m_iniPath);

    const auto startedAt = Clock::now();
    Process sender = startSender(m_dir, {m_iniPath});
    ASSERT_TRUE(faults::waitForLog(m_logPath, "XoMQSendMsg", 20, Millis(10000)))
        << readFile(m_logPath);
    // The program is held while the responder dies, so that no request is
    // inside the responder when it goes: every later request finds nobody
    // listening instead of waiting for an answer that never comes.
    sender.signal(SIGSTOP);
    std::this_thread::sleep_for(Millis(200));
    responder.process().kill();
    std::this_thread::sleep_for(Millis(300));
    sender.signal(SIGCONT);
    const SenderRun r = finishSender(sender, kBound, m_logPath, startedAt);

    ASSERT_TRUE(r.finished) << r.describe();
    EXPECT_TRUE(r.status.exitedWith(0)) << r.describe();
    const auto report = parseReport(r.log);
    ASSERT_TRUE(report.has_value()) << r.describe();
    EXPECT_EQ(report->count, static_cast<uint64_t>(amount));
    EXPECT_EQ(linesWith(r.log, "XoMQSendMsg").size(), static_cast<size_t>(amount));
    const auto failures = linesWith(r.log, "Failed to receive reply");
    ASSERT_GE(failures.size(), 1u) << r.describe();
    EXPECT_LE(failures.size(), static_cast<size_t>(amount - 20)) << "answered before the kill";
    for (const auto& line : failures) {
        EXPECT_EQ(codeIn(line), XOSYS_E_NO_RESPONDER) << line;
    }
    EXPECT_EQ(linesWith(r.log, " failed").size(), 0u) << r.describe();
}

TEST_F(RunFaults, ResponderSlowerThanTheSendTimeOutFailsTheSendWithTheTimeOutCode) {
    const long sendTimeout = 300;
    NatsServer router(m_dir);
    Responder responder(m_dir, router.url(), kService, {"--delay-ms", "800"});
    IniFile config = ini(router.port(), 10);
    config.set("options:ap", "sendtimeout", sendTimeout);
    config.write(m_iniPath);
    const SenderRun r = runSender(m_dir, {m_iniPath}, m_logPath, kBound);

    faults::expectFailedRun(r, XOSYS_E_TIMEOUT, "XoMQSendMsg");
    // The first request is the one that times out: no send got through,
    // and the library said why.
    EXPECT_EQ(linesWith(r.log, "INFO  XoMQSendMsg").size(), 0u) << r.describe();
    EXPECT_EQ(linesWith(r.log, "XoMQSendMsg: no reply from").size(), 1u) << r.describe();
    const int64_t waited = faults::microsBetween(r.log, "Start timer", "XoMQSendMsg failed");
    EXPECT_GE(waited, (sendTimeout - 10) * 1000) << r.describe();
    EXPECT_LT(waited, (sendTimeout + 1000) * 1000) << r.describe();
}

TEST_F(RunFaults, NegativeSendTimeOutWaitsWithoutLimitAndZeroExplainsItsTimeOut) {
    NatsServer router(m_dir);
    Responder responder(m_dir, router.url(), kService, {"--delay-ms", "300"});
    IniFile config = ini(router.port(), 2);
    config.set("options:ap", "sendtimeout", -1);
    config.write(m_iniPath);
    SenderRun r = runSender(m_dir, {m_iniPath}, m_logPath, kBound);
    EXPECT_TRUE(r.status.exitedWith(0)) << r.describe();
    EXPECT_TRUE(parseReport(r.log).has_value()) << r.describe();

    config.set("options:ap", "sendtimeout", 0);
    config.write(m_iniPath);
    r = runSender(m_dir, {m_iniPath}, m_logPath, kBound);
    faults::expectFailedRun(r, XOSYS_E_TIMEOUT, "XoMQSendMsg");
    EXPECT_EQ(linesWith(r.log,
                        "within 0 ms (a time-out of 0 takes only a reply that is already "
                        "there)")
                  .size(),
              1u)
        << r.describe();
}

TEST_F(RunFaults, RouterRestartingDuringTheConnectRetriesIsConnectedTo) {
    const long amount = 50;
    const int port = freeLoopbackPort();
    NatsServer::Options atPort;
    atPort.port = port;
    {
        // The router's first life ends before the program starts.
        NatsServer first(m_dir, atPort);
        first.process().kill();
    }
    IniFile config = ini(port, amount);
    config.set("options:mq", "timeoutToAllReconnectingTriing", 10000);
    config.write(m_iniPath);

    const auto startedAt = Clock::now();
    Process sender = startSender(m_dir, {m_iniPath});
    ASSERT_TRUE(faults::waitForLog(m_logPath, "XoMQConnect failed", 2, Millis(10000)))
        << readFile(m_logPath);
    // Held while the router comes back and the service registers again, so
    // that the attempt that connects also finds the service.
    sender.signal(SIGSTOP);
    NatsServer second(m_dir, atPort);
    Responder responder(m_dir, second.url(), kService);
    sender.signal(SIGCONT);
    const SenderRun r = finishSender(sender, kBound, m_logPath, startedAt);

    ASSERT_TRUE(r.finished) << r.describe();
    EXPECT_TRUE(r.status.exitedWith(0)) << r.describe();
    const auto report = parseReport(r.log);
    ASSERT_TRUE(report.has_value()) << r.describe();
    EXPECT_EQ(report->count, static_cast<uint64_t>(amount));
    const auto attempts = linesWith(r.log, "XoMQConnect failed");
    EXPECT_GE(attempts.size(), 2u);
    for (const auto& line : attempts) {
        EXPECT_EQ(codeIn(line), XOSYS_E_CONNECT) << line;
    }
    EXPECT_EQ(linesWith(r.log, "tryExecuteObjectUntilTimeout failed").size(), 0u);
    const auto summary = responder.stop();
    ASSERT_TRUE(summary.has_value()) << responder.process().describe();
    EXPECT_EQ(summary->answered, amount);
}

TEST_F(RunFaults, ListenerThatNeverSpeaksTimesOutEachAttemptUntilTheDeadline) {
    const long attemptTimeout = 400;
    const long deadline = 1500;
    faults::SilentListener silent;
    IniFile config = ini(silent.port(), 10);
    config.set("options:mq", "timeout", attemptTimeout)
        .set("options:mq", "timeoutToAllReconnectingTriing", deadline);
    config.write(m_iniPath);
    const SenderRun r = runSender(m_dir, {m_iniPath}, m_logPath, kBound);

    faults::expectFailedRun(r, XOSYS_E_CONNECT, "createMQConnectionConnect");
    const auto attempts = linesWith(r.log, "XoMQConnect failed");
    ASSERT_GE(attempts.size(), 2u) << r.describe();
    EXPECT_LE(attempts.size(), 4u) << r.describe();
    // Every attempt reached the listener.
    EXPECT_EQ(static_cast<size_t>(silent.accepted()), attempts.size());

    // The first attempt gave up after the connect time-out; each later one
    // follows the pause and its own time-out.
    const int64_t first = faults::microsBetween(r.log, "Init complete", "XoMQConnect failed");
    EXPECT_GE(first, (attemptTimeout - 10) * 1000) << r.describe();
    EXPECT_LT(first, (attemptTimeout + 1000) * 1000) << r.describe();
    std::vector<int64_t> at;
    for (const auto& line : attempts) {
        ASSERT_TRUE(timestampOf(line).has_value()) << line;
        at.push_back(*timestampOf(line));
    }
    for (size_t i = 1; i < at.size(); ++i) {
        EXPECT_GE(at[i] - at[i - 1], (attemptTimeout + 300 - 20) * 1000) << attempts[i];
        EXPECT_LT(at[i] - at[i - 1], (attemptTimeout + 300 + 1000) * 1000) << attempts[i];
    }
    // Attempts went on until the deadline, and not beyond one more attempt.
    const int64_t gaveUp =
        faults::microsBetween(r.log, "Init complete", "tryExecuteObjectUntilTimeout failed");
    EXPECT_GE(gaveUp, deadline * 1000) << r.describe();
    EXPECT_LT(gaveUp, (deadline + attemptTimeout + 300 + 1000) * 1000) << r.describe();
    EXPECT_LT(at.back() - at.front(), deadline * 1000) << "an attempt started after the deadline";
}

}  // namespace

namespace {

// A stopped run keeps its log, although the log is written in blocks: every
// line written before the signal, then one line that says so, within a
// second of the signal, also when a send is waiting for its reply.
class StoppedRuns : public faults::FaultTest {
  protected:
    SenderRun stopAfter(Millis running, const IniFile& config, Millis* afterSignal) {
        config.write(m_iniPath);
        const auto startedAt = Clock::now();
        Process sender = startSender(m_dir, {m_iniPath});
        std::this_thread::sleep_for(running);
        const auto signalledAt = Clock::now();
        sender.signal(SIGTERM);
        const SenderRun r = finishSender(sender, kBound, m_logPath, startedAt);
        *afterSignal = since(signalledAt);
        return r;
    }

    static void expectInterruptedLine(const SenderRun& r, uint64_t requests) {
        EXPECT_TRUE(r.status.exitedWith(143)) << r.describe();
        EXPECT_FALSE(parseReport(r.log).has_value()) << r.describe();
        const auto lines = splitLines(r.log);
        ASSERT_FALSE(lines.empty()) << r.describe();
        EXPECT_EQ(numberAfter(lines.back(), "Interrupted by SIGTERM after "), requests)
            << r.describe();
        EXPECT_NE(lines.back().find(" requests and "), std::string::npos) << r.describe();
    }
};

TEST_F(StoppedRuns, SigtermMidRunKeepsEveryLineAndCountsTheRequestsDone) {
    NatsServer router(m_dir);
    for (const int delayMs : {20, 8000}) {
        SCOPED_TRACE("reply delay " + std::to_string(delayMs) + " ms");
        Responder responder(m_dir, router.url(), kService, {"--delay-ms", std::to_string(delayMs)},
                            "r" + std::to_string(delayMs));
        IniFile config = standardIni(router.port(), kService, 1000000, m_logPath);
        config.set("options:ap", "sendtimeout", 10000);
        Millis afterSignal(0);
        const SenderRun r = stopAfter(Millis(1500), config, &afterSignal);
        ASSERT_TRUE(r.finished) << r.describe();
        EXPECT_LT(afterSignal, Millis(1500)) << r.describe();
        EXPECT_EQ(linesWith(r.log, "Init complete").size(), 1u) << r.describe();
        EXPECT_EQ(linesWith(r.log, "Start timer").size(), 1u) << r.describe();
        const size_t done = linesWith(r.log, "INFO  XoMQSendMsg").size();
        EXPECT_EQ(done > 0, delayMs < 1000) << r.describe();
        expectInterruptedLine(r, done);
        const auto micros = numberAfter(splitLines(r.log).back(), " requests and ");
        ASSERT_TRUE(micros.has_value()) << r.describe();
        EXPECT_GT(*micros, 500000u) << r.describe();
        EXPECT_LT(*micros, static_cast<uint64_t>(r.elapsed.count()) * 1000u) << r.describe();
        responder.process().kill();  // it may still sit in its delay
    }
}

TEST_F(StoppedRuns, SigtermDuringTheConnectRetriesEndsThemAndSaysSo) {
    IniFile config = standardIni(freeLoopbackPort(), kService, 10, m_logPath);
    config.set("options:mq", "timeoutToAllReconnectingTriing", 20000);
    Millis afterSignal(0);
    const SenderRun r = stopAfter(Millis(1000), config, &afterSignal);
    ASSERT_TRUE(r.finished) << r.describe();
    EXPECT_LT(afterSignal, Millis(1500)) << r.describe();
    EXPECT_GE(linesWith(r.log, "XoMQConnect failed").size(), 2u) << r.describe();
    EXPECT_EQ(linesWith(r.log, "Start timer").size(), 0u) << r.describe();
    expectInterruptedLine(r, 0);
}

}  // namespace
