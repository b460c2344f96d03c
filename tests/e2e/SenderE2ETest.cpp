// XoMQSender end to end: the real program, our XoSys library, a real
// nats-server on a free loopback port and the responder service. Every test
// starts its own router and responder and stops them by PID.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

#include "Harness.h"
#include "XoSysCodes.h"

namespace {

using namespace xotest;
using Clock = std::chrono::steady_clock;

const Millis kRunBound(60000);
const char kService[] = "bench-echo";

// The position of the first line holding text, or npos.
size_t positionOf(const std::string& log, const std::string& text) {
    return log.find(text);
}

size_t countOf(const std::string& log, const std::string& text) {
    return linesWith(log, text).size();
}

class SenderE2E : public ::testing::Test {
  protected:
    void TearDown() override {
        if (HasFailure()) {
            m_dir.keep();
            std::cerr << "[ e2e ] files kept in " << m_dir.path() << "\n";
        }
    }

    SenderRun run(const IniFile& ini, Millis bound = kRunBound) {
        ini.write(m_iniPath);
        return runSender(m_dir, {m_iniPath}, m_logPath, bound);
    }

    TempDir m_dir{"xomq-e2e"};
    const std::string m_iniPath = m_dir.file("sender.ini");
    const std::string m_logPath = m_dir.file("sender.log");
};

// The report of a finished run: all three lines, count as configured, and
// numbers that agree with each other and with the time the process took.
void expectConsistentReport(const SenderRun& r, uint64_t amount) {
    const auto report = parseReport(r.log);
    ASSERT_TRUE(report.has_value()) << r.describe();
    EXPECT_EQ(report->count, amount);
    ASSERT_GT(report->totalMicros, 0u);
    EXPECT_LE(report->totalMicros, static_cast<uint64_t>(r.elapsed.count()) * 1000u)
        << "the timed loop cannot take longer than the whole process";
    const double rate = static_cast<double>(report->count) / report->totalMicros * 1e6;
    EXPECT_NEAR(report->rate, rate, rate * 1e-4 + 1e-3);
    const double per = static_cast<double>(report->totalMicros) / report->count;
    EXPECT_NEAR(report->microsPerMessage, per, per * 1e-4 + 1e-3);
    EXPECT_EQ(countOf(r.log, "Total time is 0"), 0u);
}

// A run that failed with code: the exit status is its low byte, and the
// failing step and every caller above it logged the code once.
void expectFailureChain(const SenderRun& r, uint32_t code, const std::vector<std::string>& chain) {
    ASSERT_TRUE(r.finished) << r.describe();
    EXPECT_NE(code, 0u);
    EXPECT_TRUE(r.status.exitedWith(static_cast<int>(code & 0xFFu)))
        << "code " << code << ", " << r.describe();
    for (const auto& step : chain) {
        const auto lines = linesWith(r.log, step + " failed");
        ASSERT_EQ(lines.size(), 1u) << step << "\n" << r.describe();
        EXPECT_EQ(codeIn(lines[0]), code) << lines[0];
    }
    EXPECT_FALSE(parseReport(r.log).has_value()) << "no report after a failure";
    EXPECT_EQ(countOf(r.log, "Start timer"), 0u);
}

// ---- Benchmark runs ---------------------------------------------------------------

TEST_F(SenderE2E, FullRunReportsConsistentThroughput) {
    const long amount = 3000;
    NatsServer router(m_dir);
    Responder responder(m_dir, router.url(), kService);
    IniFile ini = standardIni(router.port(), kService, amount, m_logPath);
    silenceStatement(ini, "XoMQSendMsg");

    const SenderRun r = run(ini);
    ASSERT_TRUE(r.finished) << r.describe();
    EXPECT_TRUE(r.status.exitedWith(0)) << r.describe();
    expectConsistentReport(r, amount);

    // The progress lines come once each, in order, before the report.
    ASSERT_EQ(countOf(r.log, "Init complete"), 1u) << r.describe();
    ASSERT_EQ(countOf(r.log, "Start timer"), 1u);
    EXPECT_LT(positionOf(r.log, "Init complete"), positionOf(r.log, "Start timer"));
    EXPECT_LT(positionOf(r.log, "Start timer"), positionOf(r.log, " messages sent for "));
    EXPECT_LT(positionOf(r.log, " messages sent for "), positionOf(r.log, " messages/sec"));
    EXPECT_LT(positionOf(r.log, " messages/sec"), positionOf(r.log, "microseconds for 1 message"));
    // The per-request line is switched off, and nothing failed.
    EXPECT_EQ(countOf(r.log, "XoMQSendMsg"), 0u);
    EXPECT_EQ(countOf(r.log, "failed"), 0u) << r.describe();
    EXPECT_EQ(countOf(r.log, "Failed to receive reply"), 0u);
    EXPECT_EQ(r.out, "") << "nothing goes to standard output on success";

    const auto summary = responder.stop();
    ASSERT_TRUE(summary.has_value()) << responder.process().describe();
    EXPECT_EQ(summary->answered, amount);
    EXPECT_EQ(summary->systemErrors, 0);
}

TEST_F(SenderE2E, SpinningSenderAndResponderGiveAFullRun) {
    const long amount = 2000;
    NatsServer router(m_dir);
    Responder responder(m_dir, router.url(), kService, {"--spin-us", "200"});
    IniFile ini = standardIni(router.port(), kService, amount, m_logPath);
    // The sender's spin window comes with its connect string.
    ini.set("options:mq", "connect",
            "host = 127.0.0.1; port = " + std::to_string(router.port()) + "; spin_us = 200");
    silenceStatement(ini, "XoMQSendMsg");

    const SenderRun r = run(ini);
    ASSERT_TRUE(r.finished) << r.describe();
    EXPECT_TRUE(r.status.exitedWith(0)) << r.describe();
    expectConsistentReport(r, amount);
    EXPECT_EQ(countOf(r.log, "failed"), 0u) << r.describe();
    const auto summary = responder.stop();
    ASSERT_TRUE(summary.has_value()) << responder.process().describe();
    EXPECT_EQ(summary->answered, amount);
    EXPECT_EQ(summary->systemErrors, 0);
}

TEST_F(SenderE2E, SystemErrorRepliesAreLoggedCountedAndTheRunGoesOn) {
    const long amount = 700;
    const long every = 7;
    const uint32_t errorCode = 4660;
    NatsServer router(m_dir);
    Responder responder(
        m_dir, router.url(), kService,
        {"--error-every", std::to_string(every), "--error-code", std::to_string(errorCode)});
    // Every statement on: each send logs "XoMQSendMsg", error replies included.
    const SenderRun r = run(standardIni(router.port(), kService, amount, m_logPath));
    ASSERT_TRUE(r.finished) << r.describe();
    EXPECT_TRUE(r.status.exitedWith(0)) << r.describe();
    expectConsistentReport(r, amount);

    EXPECT_EQ(countOf(r.log, "XoMQSendMsg"), static_cast<size_t>(amount));
    const auto failures = linesWith(r.log, "Failed to receive reply");
    EXPECT_EQ(failures.size(), static_cast<size_t>(amount / every)) << r.describe();
    for (const auto& line : failures) {
        EXPECT_EQ(codeIn(line), errorCode) << line;
    }

    const auto summary = responder.stop();
    ASSERT_TRUE(summary.has_value()) << responder.process().describe();
    EXPECT_EQ(summary->answered, amount);
    EXPECT_EQ(summary->systemErrors, static_cast<long>(failures.size()));
}

TEST_F(SenderE2E, UnsolicitedMessagesAreDrainedAndNeverTakenForReplies) {
    // One unsolicited message before every reply, and every third reply a
    // system error: a message taken for the wrong reply shows in the count
    // of error lines.
    const long amount = 600;
    const uint32_t errorCode = 4661;
    NatsServer router(m_dir);
    Responder responder(m_dir, router.url(), kService,
                        {"--unsolicited-every", "1", "--error-every", "3", "--error-code",
                         std::to_string(errorCode)});
    IniFile ini = standardIni(router.port(), kService, amount, m_logPath);
    silenceStatement(ini, "XoMQSendMsg");

    const SenderRun r = run(ini);
    ASSERT_TRUE(r.finished) << r.describe();
    EXPECT_TRUE(r.status.exitedWith(0)) << r.describe();
    expectConsistentReport(r, amount);
    const auto failures = linesWith(r.log, "Failed to receive reply");
    EXPECT_EQ(failures.size(), static_cast<size_t>(amount / 3)) << r.describe();
    for (const auto& line : failures) {
        EXPECT_EQ(codeIn(line), errorCode) << line;
    }
    EXPECT_EQ(countOf(r.log, "failed"), 0u) << r.describe();

    const auto summary = responder.stop();
    ASSERT_TRUE(summary.has_value()) << responder.process().describe();
    EXPECT_EQ(summary->answered, amount);
    EXPECT_EQ(summary->unsolicited, amount);
}

TEST_F(SenderE2E, UnknownServiceFailsTheResolveWithTheLibraryCode) {
    NatsServer router(m_dir);
    Responder responder(m_dir, router.url(), kService);
    const SenderRun r = run(standardIni(router.port(), "bench-nobody", 10, m_logPath));

    const auto resolve = linesWith(r.log, "XoMQServiceResolve failed");
    ASSERT_EQ(resolve.size(), 1u) << r.describe();
    EXPECT_EQ(codeIn(resolve[0]), XOSYS_E_SERVICE_NOT_FOUND) << resolve[0];
    expectFailureChain(r, XOSYS_E_SERVICE_NOT_FOUND, {"XoMQServiceResolve"});
    EXPECT_EQ(countOf(r.log, "Init complete"), 1u);
    EXPECT_EQ(countOf(r.log, "XoMQConnect failed"), 0u) << "the router was there from the start";
    EXPECT_LT(r.elapsed, Millis(20000));

    const auto summary = responder.stop();
    ASSERT_TRUE(summary.has_value()) << responder.process().describe();
    EXPECT_EQ(summary->answered, 0);
}

// ---- Connection set-up ------------------------------------------------------------

TEST_F(SenderE2E, WithoutRouterRetriesEvery300msUntilTheDeadline) {
    IniFile ini = standardIni(freeLoopbackPort(), kService, 10, m_logPath);
    ini.set("options:mq", "timeoutToAllReconnectingTriing", 1000);
    const SenderRun r = run(ini);

    const auto attempts = linesWith(r.log, "XoMQConnect failed");
    ASSERT_FALSE(attempts.empty()) << r.describe();
    // Attempts at about 0, 300, 600 and 900 ms; the pause after the last
    // ends past the deadline.
    EXPECT_GE(attempts.size(), 3u) << r.describe();
    EXPECT_LE(attempts.size(), 6u) << r.describe();
    for (const auto& line : attempts) {
        EXPECT_EQ(codeIn(line), XOSYS_E_CONNECT) << line;
    }
    // The pause lies between the attempts: their log lines are about 300 ms
    // apart, and the last failure line follows the last attempt's pause.
    std::vector<int64_t> at;
    for (const auto& line : attempts) {
        const auto t = timestampOf(line);
        ASSERT_TRUE(t.has_value()) << line;
        at.push_back(*t);
    }
    for (size_t i = 1; i < at.size(); ++i) {
        EXPECT_GE(at[i] - at[i - 1], 295000) << attempts[i];
        EXPECT_LT(at[i] - at[i - 1], 1000000) << attempts[i];
    }
    const auto gaveUp = linesWith(r.log, "tryExecuteObjectUntilTimeout failed");
    ASSERT_EQ(gaveUp.size(), 1u) << r.describe();
    const auto gaveUpAt = timestampOf(gaveUp[0]);
    ASSERT_TRUE(gaveUpAt.has_value()) << gaveUp[0];
    EXPECT_GE(*gaveUpAt - at.front(), 950000) << "gave up before the deadline";
    EXPECT_GE(*gaveUpAt - at.back(), 295000) << "no pause after the last attempt";
    expectFailureChain(r, XOSYS_E_CONNECT,
                       {"tryExecuteObjectUntilTimeout", "createMQConnectionConnect"});
    EXPECT_LT(positionOf(r.log, "XoMQConnect failed"),
              positionOf(r.log, "tryExecuteObjectUntilTimeout failed"));
    EXPECT_LT(positionOf(r.log, "tryExecuteObjectUntilTimeout failed"),
              positionOf(r.log, "createMQConnectionConnect failed"));
    EXPECT_EQ(countOf(r.log, "Init complete"), 1u);
    EXPECT_GE(r.elapsed, Millis(1000));
    EXPECT_LT(r.elapsed, Millis(5000));
}

TEST_F(SenderE2E, ZeroDeadlineMakesExactlyOneAttemptAndOnePause) {
    IniFile ini = standardIni(freeLoopbackPort(), kService, 10, m_logPath);
    ini.set("options:mq", "timeoutToAllReconnectingTriing", 0);
    const SenderRun r = run(ini);

    const auto attempts = linesWith(r.log, "XoMQConnect failed");
    ASSERT_EQ(attempts.size(), 1u) << r.describe();
    EXPECT_EQ(codeIn(attempts[0]), XOSYS_E_CONNECT) << attempts[0];
    expectFailureChain(r, XOSYS_E_CONNECT,
                       {"tryExecuteObjectUntilTimeout", "createMQConnectionConnect"});
    EXPECT_GE(r.elapsed, Millis(300));
    EXPECT_LT(r.elapsed, Millis(3000));
}

TEST_F(SenderE2E, RouterStartingDuringTheRetriesIsConnectedTo) {
    // Nobody serves the service on the late router: getting as far as the
    // resolve, with its own failure, proves the connection was made.
    const int port = freeLoopbackPort();
    IniFile ini = standardIni(port, "bench-late", 10, m_logPath);
    ini.set("options:mq", "timeoutToAllReconnectingTriing", 5000);
    ini.write(m_iniPath);

    const auto startedAt = Clock::now();
    Process sender = startSender(m_dir, {m_iniPath});
    std::this_thread::sleep_for(Millis(700));
    NatsServer::Options late;
    late.port = port;
    NatsServer router(m_dir, late);
    const auto routerUpAt = std::chrono::duration_cast<Millis>(Clock::now() - startedAt);
    const SenderRun r = finishSender(sender, kRunBound, m_logPath, startedAt);

    const auto attempts = linesWith(r.log, "XoMQConnect failed");
    EXPECT_GE(attempts.size(), 1u) << r.describe();
    for (const auto& line : attempts) {
        EXPECT_EQ(codeIn(line), XOSYS_E_CONNECT) << line;
    }
    // One attempt per 300 ms until the router was up, and one more at most.
    EXPECT_LE(attempts.size(), static_cast<size_t>(routerUpAt.count() / 300 + 2)) << r.describe();
    EXPECT_EQ(countOf(r.log, "tryExecuteObjectUntilTimeout failed"), 0u) << r.describe();
    EXPECT_EQ(countOf(r.log, "createMQConnectionConnect failed"), 0u);

    const auto resolve = linesWith(r.log, "XoMQServiceResolve failed");
    ASSERT_EQ(resolve.size(), 1u) << r.describe();
    EXPECT_EQ(codeIn(resolve[0]), XOSYS_E_SERVICE_NOT_FOUND) << resolve[0];
    expectFailureChain(r, XOSYS_E_SERVICE_NOT_FOUND, {"XoMQServiceResolve"});
    EXPECT_LT(r.elapsed, Millis(20000));
}

TEST_F(SenderE2E, PasswordProtectedRouterTakesTheRightTokenOnlyAndNoLogShowsIt) {
    const std::string token = "e2e-Right-Tok3n";
    const std::string wrong = "e2e-Wrong-Tok3n";
    NatsServer::Options options;
    options.token = token;
    NatsServer router(m_dir, options);
    Responder responder(m_dir, router.url(), kService, {"--password", token});

    const auto expectNoToken = [&](const SenderRun& r, const char* what) {
        for (const auto* secret : {&token, &wrong}) {
            EXPECT_EQ(r.log.find(*secret), std::string::npos) << what << ": log";
            EXPECT_EQ(r.out.find(*secret), std::string::npos) << what << ": stdout";
            EXPECT_EQ(r.err.find(*secret), std::string::npos) << what << ": stderr";
        }
    };

    {
        SCOPED_TRACE("the right password, from the \"pwd\" key");
        IniFile ini = standardIni(router.port(), kService, 200, m_logPath);
        ini.set("options:mq", "pwd", token);
        const SenderRun r = run(ini);
        ASSERT_TRUE(r.finished) << r.describe();
        EXPECT_TRUE(r.status.exitedWith(0)) << r.describe();
        expectConsistentReport(r, 200);
        expectNoToken(r, "right pwd");
    }
    {
        SCOPED_TRACE("the right password, in a complete connect string");
        IniFile ini = standardIni(router.port(), kService, 50, m_logPath);
        ini.set("options:mq", "connect",
                "host = 127.0.0.1; port = " + std::to_string(router.port()) +
                    "; password = " + token + ";");
        const SenderRun r = run(ini);
        ASSERT_TRUE(r.finished) << r.describe();
        EXPECT_TRUE(r.status.exitedWith(0)) << r.describe();
        expectConsistentReport(r, 50);
        expectNoToken(r, "right connect");
    }
    {
        SCOPED_TRACE("a wrong password is refused");
        IniFile ini = standardIni(router.port(), kService, 50, m_logPath);
        ini.set("options:mq", "pwd", wrong);
        ini.set("options:mq", "timeoutToAllReconnectingTriing", 700);
        const SenderRun r = run(ini);
        const auto attempts = linesWith(r.log, "XoMQConnect failed");
        ASSERT_GE(attempts.size(), 2u) << r.describe();
        EXPECT_LE(attempts.size(), 5u) << r.describe();
        for (const auto& line : attempts) {
            EXPECT_EQ(codeIn(line), XOSYS_E_AUTH) << line;
        }
        expectFailureChain(r, XOSYS_E_AUTH,
                           {"tryExecuteObjectUntilTimeout", "createMQConnectionConnect"});
        expectNoToken(r, "wrong pwd");
    }
    {
        SCOPED_TRACE("no password at all is refused");
        IniFile ini = standardIni(router.port(), kService, 50, m_logPath);
        ini.set("options:mq", "timeoutToAllReconnectingTriing", 0);
        const SenderRun r = run(ini);
        const auto attempts = linesWith(r.log, "XoMQConnect failed");
        ASSERT_EQ(attempts.size(), 1u) << r.describe();
        EXPECT_EQ(codeIn(attempts[0]), XOSYS_E_AUTH) << attempts[0];
        expectFailureChain(r, XOSYS_E_AUTH,
                           {"tryExecuteObjectUntilTimeout", "createMQConnectionConnect"});
        expectNoToken(r, "no pwd");
    }

    const auto summary = responder.stop();
    ASSERT_TRUE(summary.has_value()) << responder.process().describe();
    EXPECT_EQ(summary->answered, 250);
}

// ---- Start-up and configuration ---------------------------------------------------

TEST_F(SenderE2E, MissingIniFileIsReportedOnStandardOutputWithItsCode) {
    const SenderRun r = runSender(m_dir, {m_dir.file("absent.ini")}, m_logPath, kRunBound);
    ASSERT_TRUE(r.finished) << r.describe();
    const std::string prefix = "XoIniOpen not ok. Error code: ";
    const auto at = r.out.find(prefix);
    ASSERT_NE(at, std::string::npos) << r.describe();
    const std::string hex = r.out.substr(at + prefix.size());
    ASSERT_FALSE(hex.empty());
    ASSERT_NE(std::string("0123456789abcdef").find(hex[0]), std::string::npos) << hex;
    const unsigned long code = std::stoul(hex, nullptr, 16);
    EXPECT_EQ(code, XOSYS_E_INI_OPEN) << r.describe();
    EXPECT_FALSE(r.status.exitedWith(0)) << r.describe();
    EXPECT_TRUE(r.status.exitedWith(static_cast<int>(code & 0xFFu))) << r.describe();
    EXPECT_EQ(r.out.find("XoLogOpen"), std::string::npos);
}

TEST_F(SenderE2E, MalformedIniLineIsNamedWithItsLineNumber) {
    // Line 6 is neither a section, a key = value pair nor a comment.
    writeFile(m_iniPath,
              "; sender settings\n"
              "[options:ap]\n"
              "toServiceName = bench-echo\n"
              "sendAmount = 10\n"
              "\n"
              "this line has no equals sign\n"
              "[options:mq]\n"
              "port = 1\n");
    const SenderRun r = runSender(m_dir, {m_iniPath}, m_logPath, kRunBound);
    ASSERT_TRUE(r.finished) << r.describe();
    EXPECT_TRUE(r.status.exitedWith(static_cast<int>(XOSYS_E_INI_SYNTAX & 0xFFu))) << r.describe();
    char expected[64];
    std::snprintf(expected, sizeof expected, "XoIniOpen not ok. Error code: %x",
                  XOSYS_E_INI_SYNTAX);
    EXPECT_NE(r.out.find(expected), std::string::npos) << r.describe();
    EXPECT_NE(r.err.find(m_iniPath), std::string::npos) << r.describe();
    const auto lines = linesWith(r.err, m_iniPath);
    ASSERT_FALSE(lines.empty());
    bool named = false;
    for (const auto& line : lines) {
        named = named || line.find(":6:") != std::string::npos ||
                line.find("line 6") != std::string::npos;
    }
    EXPECT_TRUE(named) << "stderr names line 6:\n" << r.err;
}

TEST_F(SenderE2E, NoArgumentPrintsUsageAndEndsWith13) {
    const SenderRun r = runSender(m_dir, {}, m_logPath, kRunBound);
    ASSERT_TRUE(r.finished) << r.describe();
    EXPECT_TRUE(r.status.exitedWith(13)) << r.describe();
    EXPECT_NE((r.out + r.err).find("Usage: XoMQSender <ini-file>"), std::string::npos)
        << r.describe();
}

TEST_F(SenderE2E, MissingOrEmptyServiceNameEndsWith13BeforeAnyConnect) {
    // No router: a connect attempt, had one been made, would leave a line.
    for (const bool present : {false, true}) {
        SCOPED_TRACE(present ? "empty toServiceName" : "no toServiceName");
        IniFile ini = standardIni(freeLoopbackPort(), "", 10, m_logPath);
        if (!present) {
            ini.erase("options:ap", "toServiceName");
        }
        ini.set("options:mq", "timeoutToAllReconnectingTriing", 0);
        const SenderRun r = run(ini);
        ASSERT_TRUE(r.finished) << r.describe();
        EXPECT_TRUE(r.status.exitedWith(13)) << r.describe();
        EXPECT_EQ(
            countOf(r.log, "Parameter 'toServiceName' is absent in 'options:ap' section of INI"),
            1u)
            << r.describe();
        EXPECT_EQ(countOf(r.log, "Init complete"), 0u);
        EXPECT_EQ(countOf(r.log, "XoMQConnect"), 0u);
        EXPECT_LT(r.elapsed, Millis(10000));
    }
}

}  // namespace
