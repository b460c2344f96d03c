// The connection set-up in process, against the scripted XoSys: the connect
// string built from "options:mq", the keys read for it, and the retry loop
// with its log lines, attempt counts and pauses.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "HandleGuard.h"
#include "MQConnection.h"
#include "ScriptedXoSys.h"
#include "XoSys.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::StartsWith;

namespace {

using Clock = std::chrono::steady_clock;

long long millisSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// One run of createMQConnectionConnect; the handle it leaves is freed here,
// as the run's guard would, after the results have been taken.
struct SetUpRun {
    uint32_t rc = 0;
    bool handleLeft = false;
    long long elapsedMs = 0;
    std::vector<std::string> trace;
    std::vector<std::string> logs;
    std::vector<std::string> connects;
};

SetUpRun runSetUp(const std::string& scenario) {
    xoscript::load(scenario);
    SetUpRun run;
    {
        ConnectionGuard connection;
        const Clock::time_point start = Clock::now();
        run.rc = createMQConnectionConnect(connection.slot(), "unused");
        run.elapsedMs = millisSince(start);
        run.handleLeft = connection.get() != nullptr;
        run.trace = xoscript::trace();
        run.logs = xoscript::logs();
        run.connects = xoscript::calls("XoMQConnectEx2");
    }
    EXPECT_THAT(xoscript::problems(), IsEmpty());
    return run;
}

std::vector<std::string> iniReads(const std::vector<std::string>& trace) {
    std::vector<std::string> reads;
    for (const std::string& line : trace) {
        if (line.rfind("XoIniCust", 0) == 0) {
            reads.push_back(line);
        }
    }
    return reads;
}

// ---- Connect string ----------------------------------------------------------------

struct ConnectStringCase {
    const char* name;
    const char* ini;  // lines of section "options:mq", "key = value" each
    const char* expected;
};

// Shown in test lists and failures: the case's name, stable across builds.
void PrintTo(const ConnectStringCase& c, std::ostream* os) {
    *os << c.name;
}

class ConnectString : public ::testing::TestWithParam<ConnectStringCase> {};

std::string scenarioFor(const ConnectStringCase& c) {
    std::string scenario;
    std::string lines = c.ini;
    size_t begin = 0;
    while (begin < lines.size()) {
        size_t end = lines.find('\n', begin);
        if (end == std::string::npos) {
            end = lines.size();
        }
        scenario += "ini options:mq " + lines.substr(begin, end - begin) + "\n";
        begin = end + 1;
    }
    return scenario;
}

TEST_P(ConnectString, IsBuiltAndHandedToTheConnectCall) {
    const ConnectStringCase& c = GetParam();
    xoscript::load(scenarioFor(c));
    EXPECT_EQ(buildConnectString(), c.expected);

    const SetUpRun run = runSetUp(scenarioFor(c));
    EXPECT_EQ(run.rc, 0u);
    EXPECT_THAT(run.connects,
                ElementsAre("XoMQConnectEx2(conn1, \"" + std::string(c.expected) + "\") = 0"));
    EXPECT_THAT(run.logs, IsEmpty());
}

const ConnectStringCase kConnectStrings[] = {
    {"Defaults", "", "appname = XoMQSender;host = 127.0.0.1;port = 3001;timeout = 3000;"},
    {"GivenHostAndPort", "connect = host = 10.0.0.5; port = 4001",
     "host = 10.0.0.5; port = 4001;appname = XoMQSender;timeout = 3000;"},
    {"GivenLocalPort", "connect = lrpcq_port = 4002;",
     "lrpcq_port = 4002;appname = XoMQSender;timeout = 3000;"},
    {"GivenAppnameAndTimeout", "connect = appname = bench; timeout = 500",
     "appname = bench; timeout = 500;port = 3001;host = 127.0.0.1;"},
    {"PasswordBetweenPortAndTimeout", "pwd = s3cret",
     "appname = XoMQSender;host = 127.0.0.1;port = 3001;password = s3cret;timeout = 3000;"},
    {"EmptyPasswordLeftOut",
     "pwd =", "appname = XoMQSender;host = 127.0.0.1;port = 3001;timeout = 3000;"},
    {"SingleKeys", "appname = a\nhost = h\nport = p\npwd = w\ntimeout = t",
     "appname = a;host = h;port = p;password = w;timeout = t;"},
    {"EmptySingleKeysStillWritten",
     "appname =\nhost =\nport =\ntimeout =", "appname = ;host = ;port = ;timeout = ;"},
    {"BlankAfterLastSeparator", "connect = \"a=1; \"",
     "a=1; ;appname = XoMQSender;timeout = 3000;port = 3001;host = 127.0.0.1;"},
    {"GivenTextKeepsItsBlanks", "connect = \"  host = h  \"",
     "  host = h  ;appname = XoMQSender;timeout = 3000;port = 3001;"},
    {"EmptyValueCountsAsMissing", "connect = appname = ; host = h",
     "appname = ; host = h;appname = XoMQSender;timeout = 3000;port = 3001;"},
    {"BareNameCountsAsMissing", "connect = timeout;host=h;port=1;appname=a",
     "timeout;host=h;port=1;appname=a;timeout = 3000;"},
    {"EmptyLocalPortCountsAsMissing", "connect = lrpcq_port = ; appname = a",
     "lrpcq_port = ; appname = a;timeout = 3000;port = 3001;host = 127.0.0.1;"},
    {"NamesIgnoreCase", "connect = HOST = 10.1.1.1",
     "HOST = 10.1.1.1;appname = XoMQSender;timeout = 3000;port = 3001;"},
    {"LongerNamesDoNotCount", "connect = hostname = h; sport = 1; lrpcq_port_x = 2",
     "hostname = h; sport = 1; lrpcq_port_x = 2;appname = XoMQSender;timeout = 3000;port = "
     "3001;host = 127.0.0.1;"},
    {"CompleteTextUnchanged", "connect = host=h,PORT=1,appname=a,Timeout=2",
     "host=h,PORT=1,appname=a,Timeout=2"},
    {"SingleKeysIgnoredWhenGiven", "connect = lrpcq_port = 1;\nappname = other\npwd = s3cret",
     "lrpcq_port = 1;appname = XoMQSender;timeout = 3000;"},
};

INSTANTIATE_TEST_SUITE_P(Table, ConnectString, ::testing::ValuesIn(kConnectStrings),
                         [](const ::testing::TestParamInfo<ConnectStringCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(ConnectSettings, SingleKeysReadInOrderWithTheirDefaults) {
    const SetUpRun run = runSetUp("");
    EXPECT_THAT(
        run.trace,
        ElementsAre(
            "XoMQCreateConnection() = 0 -> conn1",
            "XoIniCustGetInt(-1, \"options:mq\", \"timeoutToAllReconnectingTriing\", 10000) = "
            "10000",
            "XoIniCustGetStr(-1, 1024, \"options:mq\", \"connect\", \"\") = 0 -> \"\"",
            "XoIniCustGetStr(-1, 1024, \"options:mq\", \"appname\", \"XoMQSender\") = 0 -> "
            "\"XoMQSender\"",
            "XoIniCustGetStr(-1, 1024, \"options:mq\", \"host\", \"127.0.0.1\") = 0 -> "
            "\"127.0.0.1\"",
            "XoIniCustGetStr(-1, 1024, \"options:mq\", \"port\", \"3001\") = 0 -> \"3001\"",
            "XoIniCustGetStr(-1, 1024, \"options:mq\", \"pwd\", \"\") = 0 -> \"\"",
            "XoIniCustGetStr(-1, 1024, \"options:mq\", \"timeout\", \"3000\") = 0 -> \"3000\"",
            StartsWith("XoMQConnectEx2(conn1, ")));
}

TEST(ConnectSettings, OnlyConnectIsReadWhenItIsGiven) {
    const SetUpRun run = runSetUp(
        "ini options:mq connect = host = h\n"
        "ini options:mq appname = a\n"
        "ini options:mq timeoutToAllReconnectingTriing = 700\n");
    EXPECT_THAT(iniReads(run.trace),
                ElementsAre("XoIniCustGetInt(-1, \"options:mq\", "
                            "\"timeoutToAllReconnectingTriing\", 10000) = 700",
                            "XoIniCustGetStr(-1, 1024, \"options:mq\", \"connect\", \"\") = 0 -> "
                            "\"host = h\""));
}

// A long connect text fits the 1023 characters the value buffer holds.
TEST(ConnectSettings, LongGivenTextIsCompletedWhole) {
    const std::string text = "appname=a;timeout=1;lrpcq_port=2;x=" + std::string(988, 'v');
    ASSERT_EQ(text.size(), 1023u);
    const SetUpRun run = runSetUp("ini options:mq connect = " + text + "\n");
    EXPECT_THAT(run.connects, ElementsAre("XoMQConnectEx2(conn1, \"" + text + "\") = 0"));
}

// ---- Creation failure ---------------------------------------------------------------

TEST(ConnectionCreation, FailureReadsNothingAndMakesNoAttempt) {
    struct Case {
        const char* rule;
        bool handleLeft;
        const char* createLine;
    };
    const Case cases[] = {
        {"result XoMQCreateConnection 1 0x1f2e\n", false, "XoMQCreateConnection() = 7982"},
        {"result XoMQCreateConnection 1 0x1f2e fill\n", true,
         "XoMQCreateConnection() = 7982 -> conn1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rule);
        const SetUpRun run = runSetUp(c.rule);
        EXPECT_EQ(run.rc, 0x1f2eu);
        // A handle stored by the failing call stays for the caller to free.
        EXPECT_EQ(run.handleLeft, c.handleLeft);
        EXPECT_THAT(
            run.trace,
            ElementsAre(c.createLine, "XoLogErrorWithCode(7982, \"XoMQCreateConnection failed\")",
                        "LOG ErrorWithCode code=7982: XoMQCreateConnection failed"));
    }
}

// ---- Retry loop ------------------------------------------------------------------------

struct RetryCase {
    const char* name;
    const char* deadline;  // "timeoutToAllReconnectingTriing"
    int minAttempts;
    int maxAttempts;
    long long minMs;
    long long maxMs;
};

// Shown in test lists and failures: the case's name, stable across builds.
void PrintTo(const RetryCase& c, std::ostream* os) {
    *os << c.name;
}

class ConnectRetry : public ::testing::TestWithParam<RetryCase> {};

TEST_P(ConnectRetry, FailingRouterIsRetriedUntilTheDeadline) {
    const RetryCase& c = GetParam();
    const SetUpRun run = runSetUp(std::string("ini options:mq timeoutToAllReconnectingTriing = ") +
                                  c.deadline + "\nresult XoMQConnectEx2 * 0x5107\n");
    EXPECT_EQ(run.rc, 0x5107u);
    const int attempts = static_cast<int>(run.connects.size());
    EXPECT_GE(attempts, c.minAttempts);
    EXPECT_LE(attempts, c.maxAttempts);
    // Every attempt is followed by a 300 ms pause, the last one included.
    EXPECT_GE(run.elapsedMs, 300LL * attempts - 10);
    EXPECT_GE(run.elapsedMs, c.minMs);
    EXPECT_LT(run.elapsedMs, c.maxMs);
    // The same handle and text on every attempt.
    for (const std::string& line : run.connects) {
        EXPECT_EQ(line, run.connects.front());
    }
    std::vector<std::string> expected(static_cast<size_t>(attempts),
                                      "ErrorWithCode code=20743: XoMQConnect failed");
    expected.push_back("ErrorWithCode code=20743: tryExecuteObjectUntilTimeout failed");
    EXPECT_THAT(run.logs, ElementsAreArray(expected));
    // Failure lines are direct calls, never registered log statements.
    EXPECT_THAT(xoscript::calls("trcheckEx_XoLogErrorWithCode_"), IsEmpty());
    // The handle stays with the caller, who frees it.
    EXPECT_TRUE(run.handleLeft);
    EXPECT_THAT(xoscript::calls("XoMQFreeConnection"),
                ElementsAre("XoMQFreeConnection(conn1) = 0"));
}

const RetryCase kRetryCases[] = {
    {"ZeroDeadline", "0", 1, 1, 290, 1500},
    {"NegativeDeadline", "-1", 1, 1, 290, 1500},
    {"ShortDeadline", "1000", 3, 5, 890, 3000},
};

INSTANTIATE_TEST_SUITE_P(Deadlines, ConnectRetry, ::testing::ValuesIn(kRetryCases),
                         [](const ::testing::TestParamInfo<RetryCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(ConnectRetry, FirstAttemptSucceedsWithoutLineOrPause) {
    const SetUpRun run = runSetUp("ini options:mq timeoutToAllReconnectingTriing = 0\n");
    EXPECT_EQ(run.rc, 0u);
    EXPECT_EQ(run.connects.size(), 1u);
    EXPECT_THAT(run.logs, IsEmpty());
    EXPECT_LT(run.elapsedMs, 250);
}

TEST(ConnectRetry, ThirdAttemptSucceeds) {
    const SetUpRun run = runSetUp("result XoMQConnectEx2 1-2 0x5a5a\n");
    EXPECT_EQ(run.rc, 0u);
    EXPECT_EQ(run.connects.size(), 3u);
    EXPECT_THAT(run.logs, ElementsAre("ErrorWithCode code=23130: XoMQConnect failed",
                                      "ErrorWithCode code=23130: XoMQConnect failed"));
    EXPECT_GE(run.elapsedMs, 590);
    EXPECT_LT(run.elapsedMs, 3000);
}

// ---- The generic retry operation ----------------------------------------------------------

TEST(RetryOperation, CallsAnyCallableUntilItSucceeds) {
    xoscript::load("");
    int calls = 0;
    const uint32_t codes[] = {11, 12, 0, 13};
    const uint32_t rc = tryExecuteObjectUntilTimeout(
        10000, [&calls, &codes]() { return codes[calls++]; }, "probe");
    EXPECT_EQ(rc, 0u);
    EXPECT_EQ(calls, 3);
    EXPECT_THAT(xoscript::logs(), ElementsAre("ErrorWithCode code=11: probe failed",
                                              "ErrorWithCode code=12: probe failed"));
}

TEST(RetryOperation, ReturnsTheLastCodeAndLeavesTheFinalLineToTheCaller) {
    xoscript::load("");
    int calls = 0;
    const Clock::time_point start = Clock::now();
    const uint32_t rc = tryExecuteObjectUntilTimeout(
        400, [&calls]() { return static_cast<uint32_t>(30 + ++calls); }, "probe");
    const long long elapsed = millisSince(start);
    ASSERT_GE(calls, 1);
    ASSERT_LE(calls, 3);
    EXPECT_EQ(rc, static_cast<uint32_t>(30 + calls));
    EXPECT_EQ(xoscript::logs().size(), static_cast<size_t>(calls));
    EXPECT_EQ(xoscript::logs().back(),
              "ErrorWithCode code=" + std::to_string(rc) + ": probe failed");
    EXPECT_GE(elapsed, 300LL * calls - 10);
    EXPECT_LT(elapsed, 2500);
}

// A deadline of 0 or less allows one attempt only. The probe succeeds from its
// second call on, so the loop ends even where the deadline would not end it.
TEST(RetryOperation, NoDeadlineMeansOneAttempt) {
    const int32_t deadlines[] = {0, -1, -300, INT32_MIN};
    for (const int32_t deadline : deadlines) {
        SCOPED_TRACE(deadline);
        xoscript::load("");
        int calls = 0;
        const uint32_t rc = tryExecuteObjectUntilTimeout(
            deadline, [&calls]() { return ++calls == 1 ? 51u : 0u; }, "probe");
        EXPECT_EQ(rc, 51u);
        EXPECT_EQ(calls, 1);
        EXPECT_THAT(xoscript::logs(), ElementsAre("ErrorWithCode code=51: probe failed"));
    }
}

// A callable with state of its own: the operation works on a copy.
struct CountingProbe {
    int calls = 0;
    int* seen = nullptr;
    uint32_t operator()() {
        ++calls;
        *seen = calls;
        return calls < 2 ? 41u : 0u;
    }
};

TEST(RetryOperation, TakesTheObjectByValue) {
    xoscript::load("");
    int seen = 0;
    CountingProbe probe;
    probe.seen = &seen;
    EXPECT_EQ(tryExecuteObjectUntilTimeout(5000, probe, "probe"), 0u);
    EXPECT_EQ(seen, 2);
    EXPECT_EQ(probe.calls, 0);
}

}  // namespace
