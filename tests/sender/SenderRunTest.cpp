// The whole program, run as a child process against the scripted XoSys: its
// call trace, log lines, standard output and exit status for successful runs,
// every failing call, start-up failures and bad configuration.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "ChildRun.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

const char kIni[] = "sender.ini";
const char kConnectLine[] =
    "XoMQConnectEx2(conn1, \"appname = XoMQSender;host = 127.0.0.1;port = 3001;timeout = "
    "3000;\") = 0";
// The composed body: "ABCD", 12, "001", "VUZA", "", "3" packed as c4i4c3c4c17c10.
const char kBody[] =
    "414243440c00000030303156555a41000000000000000000000000000000000033000000000000000000";

const std::string& sender() {
    static const std::string path = childrun::programPath(XOSENDER_PATH, XOSENDER_NAME);
    return path;
}

const std::string& fixedClockSender() {
    static const std::string path =
        childrun::programPath(XOSENDER_FIXEDCLOCK_PATH, XOSENDER_FIXEDCLOCK_NAME);
    return path;
}

// The files of a run are named after the test.
std::string caseName() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_') {
            c = '_';
        }
    }
    return name;
}

struct Launch {
    std::vector<std::string> args{kIni};
    std::vector<std::string> env;
    const std::string* program = nullptr;  // XoMQSender_scripted when null
};

childrun::Result runSender(const std::string& scenario, const Launch& launch = Launch()) {
    childrun::Request request;
    request.program = launch.program != nullptr ? *launch.program : sender();
    request.args = launch.args;
    request.env = launch.env;
    request.scenario = scenario;
    request.name = caseName();
    request.bound = std::chrono::milliseconds(20000);
    return childrun::run(request);
}

bool startsWith(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

// A normal exit with the code's visible part; every handle freed once, no
// misuse reported by the library, and the trace complete.
void expectExit(const childrun::Result& r, uint32_t code) {
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_TRUE(r.exited) << r.describe();
    EXPECT_EQ(r.status, childrun::visibleStatus(code)) << r.describe();
    // Sanitizer reports, for one, go to standard error.
    EXPECT_EQ(r.err, "") << r.describe();
    for (const std::string& line : r.trace) {
        EXPECT_FALSE(startsWith(line, "PROBLEM") || startsWith(line, "LIVE") ||
                     startsWith(line, "ERROR"))
            << line;
    }
    if (!r.trace.empty()) {
        EXPECT_EQ(r.trace.back(), "END");
    }
}

std::vector<std::string> logsOf(const childrun::Result& r) {
    std::vector<std::string> out;
    for (const std::string& line : r.trace) {
        if (startsWith(line, "LOG ")) {
            out.push_back(line.substr(4));
        }
    }
    return out;
}

std::vector<std::string> callsOf(const childrun::Result& r, const std::string& name) {
    std::vector<std::string> out;
    for (const std::string& line : r.trace) {
        if (startsWith(line, (name + "(").c_str())) {
            out.push_back(line);
        }
    }
    return out;
}

std::vector<std::string> freesOf(const childrun::Result& r) {
    std::vector<std::string> out;
    for (const std::string& line : r.trace) {
        if (startsWith(line, "XoMsgFreeMessage(") || startsWith(line, "XoSysFreeComposer(") ||
            startsWith(line, "XoMQFreeConnection(")) {
            out.push_back(line);
        }
    }
    return out;
}

// The trace lines after the first line equal to marker.
std::vector<std::string> linesAfter(const childrun::Result& r, const std::string& marker) {
    for (size_t i = 0; i < r.trace.size(); ++i) {
        if (r.trace[i] == marker) {
            return std::vector<std::string>(r.trace.begin() + static_cast<long>(i) + 1,
                                            r.trace.end());
        }
    }
    ADD_FAILURE() << "no line \"" << marker << "\" in\n" << r.describe();
    return {};
}

// ---- Expected lines ----------------------------------------------------------------------

// Pattern lines: "{n}" stands for a run of digits, "{f}" for digits, a point
// and digits (a %f value), "{*}" at the end for any text of one or more
// characters (a system's error message). Everything else is literal.
bool fits(const std::string& line, const std::string& pattern) {
    size_t i = 0;
    size_t j = 0;
    const auto digits = [&line, &i]() {
        const size_t begin = i;
        while (i < line.size() && std::isdigit(static_cast<unsigned char>(line[i]))) {
            ++i;
        }
        return i > begin;
    };
    while (j < pattern.size()) {
        if (pattern.compare(j, 3, "{*}") == 0 && j + 3 == pattern.size()) {
            return i < line.size();
        }
        if (pattern.compare(j, 3, "{n}") == 0) {
            if (!digits()) {
                return false;
            }
            j += 3;
        } else if (pattern.compare(j, 3, "{f}") == 0) {
            if (!digits() || i >= line.size() || line[i] != '.') {
                return false;
            }
            ++i;
            if (!digits()) {
                return false;
            }
            j += 3;
        } else {
            if (i >= line.size() || line[i] != pattern[j]) {
                return false;
            }
            ++i;
            ++j;
        }
    }
    return i == line.size();
}

MATCHER_P(Fits, pattern, "fits \"" + std::string(pattern) + "\"") {
    return fits(arg, pattern);
}

::testing::Matcher<const std::vector<std::string>&> linesFitting(
    const std::vector<std::string>& patterns) {
    std::vector<::testing::Matcher<const std::string&>> matchers;
    for (const std::string& p : patterns) {
        matchers.push_back(Fits(p));
    }
    return ElementsAreArray(matchers);
}

std::vector<std::string> envUp() {
    return {"XoIniSetOpt(0) = 0", "XoIniOpen(\"sender.ini\") = 0", "XoLogOpen(0) = 0",
            "XoMQStartup() = 0"};
}

std::vector<std::string> teardown() {
    return {"XoMQCleanup() = 0", "XoLogClose() = 0", "XoIniClose() = 0", "END"};
}

void append(std::vector<std::string>& to, const std::vector<std::string>& lines) {
    to.insert(to.end(), lines.begin(), lines.end());
}

std::string msg(int n) {
    return "msg" + std::to_string(n);
}

// Lines of a run with the default connection settings and the service "svc",
// pass by pass. Messages are numbered in creation order: with an incoming
// message drained in every pass, pass k polls msg 3k-2, creates msg 3k-1 and
// receives msg 3k; otherwise it creates msg 2k-1 and receives msg 2k.
struct Shape {
    int amount = 1;
    bool drainEveryPass = false;

    int drained(int k) const { return 3 * k - 2; }
    int request(int k) const { return drainEveryPass ? 3 * k - 1 : 2 * k - 1; }
    int reply(int k) const { return drainEveryPass ? 3 * k : 2 * k; }
};

// The reads of the measurement keys, none of them set: the only calls a
// plain run makes beyond the benchmark's own. The 0/1 keys are read as
// text, so that a word in their place is refused.
const char* const kMeasurementReads[] = {
    "XoIniCustGetStr(-1, 16, \"options:ap\", \"latencyHistogram\", \"0\") = 0 -> \"0\"",
    "XoIniCustGetStr(-1, 1024, \"options:ap\", \"resultFile\", \"\") = 0 -> \"\"",
    "XoIniCustGetInt(-1, \"options:ap\", \"warmupAmount\", 0) = 0",
    "XoIniCustGetInt(-1, \"options:ap\", \"progressSeconds\", 0) = 0",
    "XoIniCustGetStr(-1, 16, \"options:ap\", \"serviceStats\", \"0\") = 0 -> \"0\"",
    "XoIniCustGetStr(-1, 32, \"options:ap\", \"sendRate\", \"0\") = 0 -> \"0\"",
    "XoIniCustGetStr(-1, 1024, \"options:ap\", \"histogramLog\", \"\") = 0 -> \"\"",
};

std::vector<std::string> header(const Shape& s) {
    std::vector<std::string> lines = envUp();
    append(lines,
           {"XoIniCustGetInt(-1, \"options:ap\", \"sendtimeout\", 10000) = 10000",
            "XoIniCustGetStr(-1, 256, \"options:ap\", \"toServiceName\", \"\") = 0 -> \"svc\""});
    lines.insert(lines.end(), std::begin(kMeasurementReads), std::end(kMeasurementReads));
    append(
        lines,
        {"trcheckEx_XoLogInfo_(\"Init complete\") = flag1", "LOG Info: Init complete",
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
         kConnectLine,
         "XoIniCustGetInt(-1, \"options:ap\", \"sendAmount\", 10000) = " + std::to_string(s.amount),
         "XoMQServiceResolve(conn1, \"svc\", 1025, null, 0) = 0 -> \"addr:svc\"",
         "trcheckEx_XoLogInfo_(\"Start timer\") = flag2", "LOG Info: Start timer"});
    return lines;
}

// The calls of pass k up to the reply checks.
std::vector<std::string> passCalls(const Shape& s, int k) {
    const std::string r = msg(s.request(k));
    const std::string p = msg(s.reply(k));
    const std::string c = "comp" + std::to_string(k);
    return {
        s.drainEveryPass ? "XoMQGetMsg(conn1, 0) = 0 -> " + msg(s.drained(k))
                         : "XoMQGetMsg(conn1, 0) = 24580",
        "XoMsgCreateMessage() = 0 -> " + r,
        "XoMsgSetFieldStr(" + r + ", \"Xo_To\", \"addr:svc\") = 0",
        "XoMsgSetFieldStr(" + r + ", \"Xo_Category\", \"VORNA_FUTURES\") = 0",
        "XoMsgSetField(" + r + ", \"Xo_Type\", 06000000, 4) = 0",
        "XoSysCreateBinaryComposer() = 0 -> " + c,
        "XoSysCompose(" + c +
            ", \"c4i4c3c4c17c10\", \"ABCD\", 12, \"001\", \"VUZA\", \"\", \"3\") = 0",
        "XoSysComposeGetSize(" + c + ") = 0 -> 42",
        "XoSysComposeGetBuffer(" + c + ") = 0 -> " + kBody,
        "XoMsgSetBody(" + r + ", " + kBody + ", 42) = 0",
        "XoMQSendMsg(conn1, " + r + ", 10000) = 0 -> " + p,
        k == 1 ? "trcheckEx_XoLogInfo_(\"XoMQSendMsg\") = flag3" : "XoLogInfo(\"XoMQSendMsg\")",
        "LOG Info: XoMQSendMsg",
        "XoMsgGetBinaryField(" + p + ", \"Xo_Category\", null) = 0 -> \"Xo_Reply\"",
        "XoMsgCopyFieldUINT32(" + p + ", \"Xo_Type\") = 0 -> 1",
    };
}

// The frees at the end of pass k, given which handles it holds.
std::vector<std::string> passFrees(const Shape& s, int k, const std::string& held) {
    std::vector<std::string> lines;
    if (held.find("reply") != std::string::npos) {
        lines.push_back("XoMsgFreeMessage(" + msg(s.reply(k)) + ") = 0");
    }
    if (held.find("composer") != std::string::npos) {
        lines.push_back("XoSysFreeComposer(comp" + std::to_string(k) + ") = 0");
    }
    if (held.find("request") != std::string::npos) {
        lines.push_back("XoMsgFreeMessage(" + msg(s.request(k)) + ") = 0");
    }
    if (held.find("drained") != std::string::npos) {
        lines.push_back("XoMsgFreeMessage(" + msg(s.drained(k)) + ") = 0");
    }
    return lines;
}

std::vector<std::string> reportPatterns(int count) {
    const std::string n = std::to_string(count);
    return {"trcheckEx_XoLogInfo_(\"" + n + " messages sent for {n} microseconds\") = flag4",
            "LOG Info: " + n + " messages sent for {n} microseconds",
            "trcheckEx_XoLogInfo_(\"So it is {f} messages/sec\") = flag5",
            "LOG Info: So it is {f} messages/sec",
            "trcheckEx_XoLogInfo_(\"or {f} microseconds for 1 message\") = flag6",
            "LOG Info: or {f} microseconds for 1 message"};
}

std::vector<std::string> successfulRun(const Shape& s) {
    const std::string all =
        s.drainEveryPass ? "reply composer request drained" : "reply composer request";
    std::vector<std::string> lines = header(s);
    for (int k = 1; k <= s.amount; ++k) {
        append(lines, passCalls(s, k));
        if (k == s.amount) {
            append(lines, reportPatterns(k));
        }
        append(lines, passFrees(s, k, all));
    }
    lines.push_back("XoMQFreeConnection(conn1) = 0");
    append(lines, teardown());
    return lines;
}

const char kService[] = "ini options:ap toServiceName = svc\n";

std::string withAmount(int amount) {
    return std::string(kService) + "ini options:ap sendAmount = " + std::to_string(amount) + "\n";
}

// ---- Successful runs -----------------------------------------------------------------------

const std::vector<std::string>& oneRequestRun() {
    static const std::vector<std::string> lines = {
        "XoIniSetOpt(0) = 0",
        "XoIniOpen(\"sender.ini\") = 0",
        "XoLogOpen(0) = 0",
        "XoMQStartup() = 0",
        "XoIniCustGetInt(-1, \"options:ap\", \"sendtimeout\", 10000) = 10000",
        "XoIniCustGetStr(-1, 256, \"options:ap\", \"toServiceName\", \"\") = 0 -> \"svc\"",
        kMeasurementReads[0],
        kMeasurementReads[1],
        kMeasurementReads[2],
        kMeasurementReads[3],
        kMeasurementReads[4],
        kMeasurementReads[5],
        kMeasurementReads[6],
        "trcheckEx_XoLogInfo_(\"Init complete\") = flag1",
        "LOG Info: Init complete",
        "XoMQCreateConnection() = 0 -> conn1",
        "XoIniCustGetInt(-1, \"options:mq\", \"timeoutToAllReconnectingTriing\", 10000) = 10000",
        "XoIniCustGetStr(-1, 1024, \"options:mq\", \"connect\", \"\") = 0 -> \"\"",
        "XoIniCustGetStr(-1, 1024, \"options:mq\", \"appname\", \"XoMQSender\") = 0 -> "
        "\"XoMQSender\"",
        "XoIniCustGetStr(-1, 1024, \"options:mq\", \"host\", \"127.0.0.1\") = 0 -> \"127.0.0.1\"",
        "XoIniCustGetStr(-1, 1024, \"options:mq\", \"port\", \"3001\") = 0 -> \"3001\"",
        "XoIniCustGetStr(-1, 1024, \"options:mq\", \"pwd\", \"\") = 0 -> \"\"",
        "XoIniCustGetStr(-1, 1024, \"options:mq\", \"timeout\", \"3000\") = 0 -> \"3000\"",
        "XoMQConnectEx2(conn1, \"appname = XoMQSender;host = 127.0.0.1;port = 3001;timeout = "
        "3000;\") = 0",
        "XoIniCustGetInt(-1, \"options:ap\", \"sendAmount\", 10000) = 1",
        "XoMQServiceResolve(conn1, \"svc\", 1025, null, 0) = 0 -> \"addr:svc\"",
        "trcheckEx_XoLogInfo_(\"Start timer\") = flag2",
        "LOG Info: Start timer",
        "XoMQGetMsg(conn1, 0) = 24580",
        "XoMsgCreateMessage() = 0 -> msg1",
        "XoMsgSetFieldStr(msg1, \"Xo_To\", \"addr:svc\") = 0",
        "XoMsgSetFieldStr(msg1, \"Xo_Category\", \"VORNA_FUTURES\") = 0",
        "XoMsgSetField(msg1, \"Xo_Type\", 06000000, 4) = 0",
        "XoSysCreateBinaryComposer() = 0 -> comp1",
        "XoSysCompose(comp1, \"c4i4c3c4c17c10\", \"ABCD\", 12, \"001\", \"VUZA\", \"\", \"3\") = 0",
        "XoSysComposeGetSize(comp1) = 0 -> 42",
        "XoSysComposeGetBuffer(comp1) = 0 -> 414243440c00000030303156555a4100000000000000000000000"
        "0000000000033000000000000000000",
        "XoMsgSetBody(msg1, 414243440c00000030303156555a410000000000000000000000000000000000330000"
        "00000000000000, 42) = 0",
        "XoMQSendMsg(conn1, msg1, 10000) = 0 -> msg2",
        "trcheckEx_XoLogInfo_(\"XoMQSendMsg\") = flag3",
        "LOG Info: XoMQSendMsg",
        "XoMsgGetBinaryField(msg2, \"Xo_Category\", null) = 0 -> \"Xo_Reply\"",
        "XoMsgCopyFieldUINT32(msg2, \"Xo_Type\") = 0 -> 1",
        "trcheckEx_XoLogInfo_(\"1 messages sent for {n} microseconds\") = flag4",
        "LOG Info: 1 messages sent for {n} microseconds",
        "trcheckEx_XoLogInfo_(\"So it is {f} messages/sec\") = flag5",
        "LOG Info: So it is {f} messages/sec",
        "trcheckEx_XoLogInfo_(\"or {f} microseconds for 1 message\") = flag6",
        "LOG Info: or {f} microseconds for 1 message",
        "XoMsgFreeMessage(msg2) = 0",
        "XoSysFreeComposer(comp1) = 0",
        "XoMsgFreeMessage(msg1) = 0",
        "XoMQFreeConnection(conn1) = 0",
        "XoMQCleanup() = 0",
        "XoLogClose() = 0",
        "XoIniClose() = 0",
        "END",
    };
    return lines;
}

TEST(SuccessfulRun, OneRequest) {
    const childrun::Result r = runSender(withAmount(1));
    expectExit(r, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.trace, linesFitting(oneRequestRun())) << r.describe();
}

// The second command-line argument is handed on and not used.
TEST(SuccessfulRun, SecondArgumentChangesNothing) {
    Launch launch;
    launch.args = {kIni, "extra"};
    const childrun::Result r = runSender(withAmount(1), launch);
    expectExit(r, 0);
    EXPECT_THAT(r.trace, linesFitting(oneRequestRun())) << r.describe();
}

TEST(SuccessfulRun, ThreePasses) {
    Shape shape;
    shape.amount = 3;
    const childrun::Result r = runSender(withAmount(3));
    expectExit(r, 0);
    EXPECT_THAT(r.trace, linesFitting(successfulRun(shape))) << r.describe();
}

TEST(SuccessfulRun, IncomingMessagesAreDrainedAndFreedUnread) {
    Shape shape;
    shape.amount = 2;
    shape.drainEveryPass = true;
    const childrun::Result r = runSender(withAmount(2) + "incoming *\n");
    expectExit(r, 0);
    EXPECT_THAT(r.trace, linesFitting(successfulRun(shape))) << r.describe();
}

// A message waiting at only one poll: taken there, held to the end of that
// pass and freed after the request. A poll that answers 24580 but stores a
// message anyway is treated the same.
TEST(SuccessfulRun, OneDrainedMessageLivesForItsPass) {
    const char* const polls[] = {"incoming 2\n", "result XoMQGetMsg 2 24580 fill\n"};
    for (const char* poll : polls) {
        SCOPED_TRACE(poll);
        const childrun::Result r = runSender(withAmount(3) + poll);
        expectExit(r, 0);
        EXPECT_THAT(freesOf(r),
                    ElementsAre("XoMsgFreeMessage(msg2) = 0", "XoSysFreeComposer(comp1) = 0",
                                "XoMsgFreeMessage(msg1) = 0", "XoMsgFreeMessage(msg5) = 0",
                                "XoSysFreeComposer(comp2) = 0", "XoMsgFreeMessage(msg4) = 0",
                                "XoMsgFreeMessage(msg3) = 0", "XoMsgFreeMessage(msg7) = 0",
                                "XoSysFreeComposer(comp3) = 0", "XoMsgFreeMessage(msg6) = 0",
                                "XoMQFreeConnection(conn1) = 0"))
            << r.describe();
        // Unread: no call but the poll and the free names it.
        int uses = 0;
        for (const std::string& line : r.trace) {
            uses += line.find("msg3") != std::string::npos ? 1 : 0;
        }
        EXPECT_EQ(uses, 2);
        EXPECT_EQ(callsOf(r, "XoMQSendMsg").size(), 3u);
    }
}

TEST(SuccessfulRun, SendTimeoutIsPassedUnchanged) {
    const char* const values[] = {"1234", "0", "-7", "2147483647"};
    for (const char* value : values) {
        SCOPED_TRACE(value);
        const childrun::Result r =
            runSender(withAmount(2) + "ini options:ap sendtimeout = " + value + "\n");
        expectExit(r, 0);
        EXPECT_THAT(
            callsOf(r, "XoMQSendMsg"),
            ElementsAre("XoMQSendMsg(conn1, msg1, " + std::string(value) + ") = 0 -> msg2",
                        "XoMQSendMsg(conn1, msg3, " + std::string(value) + ") = 0 -> msg4"));
    }
}

// A statement switched off in the log is registered once and then skipped.
TEST(SuccessfulRun, SwitchedOffLineIsNotWritten) {
    const childrun::Result r = runSender(withAmount(3) + "logflag off XoMQSendMsg\n");
    expectExit(r, 0);
    EXPECT_THAT(callsOf(r, "trcheckEx_XoLogInfo_"),
                ::testing::Contains("trcheckEx_XoLogInfo_(\"XoMQSendMsg\") = flag3"));
    EXPECT_THAT(callsOf(r, "XoLogInfo"), IsEmpty());
    EXPECT_THAT(logsOf(r), linesFitting({"Info: Init complete", "Info: Start timer",
                                         "Info: 3 messages sent for {n} microseconds",
                                         "Info: So it is {f} messages/sec",
                                         "Info: or {f} microseconds for 1 message"}));
}

// ---- Replies ---------------------------------------------------------------------------------

struct ReplyCase {
    const char* name;
    const char* reply;     // reply directive for the first send
    const char* copyLine;  // the XoMsgCopyBody call, or "" when none is expected
    const char* logLine;   // the failure line, or "" for an ordinary reply
};

// Shown in test lists and failures: the case's name, stable across builds.
void PrintTo(const ReplyCase& c, std::ostream* os) {
    *os << c.name;
}

const ReplyCase kReplies[] = {
    {"CodeCopied", "category=Xo_System type=0 body=0d0c0b0a",
     "XoMsgCopyBody(msg2, 4) = 0 -> 0d0c0b0a",
     "ErrorWithCode code=168496141: Failed to receive reply"},
    {"OnlyFourBytesCopied", "category=Xo_System type=0 body=ffffffff2a",
     "XoMsgCopyBody(msg2, 4) = 0 -> ffffffff",
     "ErrorWithCode code=4294967295: Failed to receive reply"},
    // Bytes not copied keep the preset 24580 (04 60 00 00).
    {"BodyNotCopied", "category=Xo_System type=0 nobody", "XoMsgCopyBody(msg2, 4) = 24583",
     "ErrorWithCode code=24580: Failed to receive reply"},
    {"EmptyBody", "category=Xo_System type=0 body=", "XoMsgCopyBody(msg2, 4) = 0",
     "ErrorWithCode code=24580: Failed to receive reply"},
    {"ShortBody", "category=Xo_System type=0 body=0d0c", "XoMsgCopyBody(msg2, 4) = 0 -> 0d0c",
     "ErrorWithCode code=3085: Failed to receive reply"},
    {"SystemCategoryOtherType", "category=Xo_System type=1", "", ""},
    {"OtherCategoryTypeZero", "category=Xo_Reply type=0", "", ""},
    {"LongerCategory", "category=Xo_SystemX type=0", "", ""},
    {"ShorterCategory", "category=Xo_Syste type=0", "", ""},
    {"CategoryInOtherCase", "category=xo_system type=0", "", ""},
};

class Reply : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(Reply, SystemErrorsAreLoggedAndCounted) {
    const ReplyCase& c = GetParam();
    const childrun::Result r = runSender(withAmount(2) + "reply 1 " + c.reply + "\n");
    expectExit(r, 0);
    std::vector<std::string> logs = {"Info: Init complete", "Info: Start timer",
                                     "Info: XoMQSendMsg"};
    if (*c.logLine != '\0') {
        logs.push_back(c.logLine);
    }
    append(logs, {"Info: XoMQSendMsg", "Info: 2 messages sent for {n} microseconds",
                  "Info: So it is {f} messages/sec", "Info: or {f} microseconds for 1 message"});
    EXPECT_THAT(logsOf(r), linesFitting(logs)) << r.describe();
    if (*c.copyLine != '\0') {
        EXPECT_THAT(callsOf(r, "XoMsgCopyBody"), ElementsAre(c.copyLine));
        // Written through a log statement of its own, not a direct call.
        EXPECT_EQ(callsOf(r, "trcheckEx_XoLogErrorWithCode_").size(), 1u);
    } else {
        EXPECT_THAT(callsOf(r, "XoMsgCopyBody"), IsEmpty());
    }
}

INSTANTIATE_TEST_SUITE_P(Table, Reply, ::testing::ValuesIn(kReplies),
                         [](const ::testing::TestParamInfo<ReplyCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(ReplyRepeated, EverySystemErrorGetsItsLine) {
    const childrun::Result r = runSender(withAmount(3) +
                                         "reply 1 category=Xo_System type=0 body=01000000\n"
                                         "reply 3 category=Xo_System type=0 body=03000000\n");
    expectExit(r, 0);
    EXPECT_THAT(logsOf(r),
                linesFitting({"Info: Init complete", "Info: Start timer", "Info: XoMQSendMsg",
                              "ErrorWithCode code=1: Failed to receive reply", "Info: XoMQSendMsg",
                              "Info: XoMQSendMsg", "ErrorWithCode code=3: Failed to receive reply",
                              "Info: 3 messages sent for {n} microseconds",
                              "Info: So it is {f} messages/sec",
                              "Info: or {f} microseconds for 1 message"}));
}

// ---- Measurement keys ---------------------------------------------------------------------------

// Warm-up requests are the same requests with the same checks, before the
// timer and outside every figure; the distribution and the count of system
// error replies follow the report.
TEST(Measurements, WarmUpComesBeforeTheTimerAndTheDistributionAfterTheReport) {
    const childrun::Result r = runSender(withAmount(2) +
                                         "ini options:ap warmupAmount = 3\n"
                                         "ini options:ap latencyHistogram = 1\n"
                                         "reply 2 category=Xo_System type=0 body=02000000\n"
                                         "reply 5 category=Xo_System type=0 body=05000000\n");
    expectExit(r, 0);
    EXPECT_EQ(callsOf(r, "XoMQSendMsg").size(), 5u);
    EXPECT_THAT(
        logsOf(r),
        linesFitting(
            {"Info: Init complete", "Info: XoMQSendMsg", "Info: XoMQSendMsg",
             "ErrorWithCode code=2: Failed to receive reply", "Info: XoMQSendMsg",
             "Info: Warm-up of 3 requests done", "Info: Start timer", "Info: XoMQSendMsg",
             "Info: XoMQSendMsg", "ErrorWithCode code=5: Failed to receive reply",
             "Info: 2 messages sent for {n} microseconds", "Info: So it is {f} messages/sec",
             "Info: or {f} microseconds for 1 message", "Info: 1 system error replies",
             "Info: Latency in microseconds: min {n}, p50 {n}, p90 {n}, p99 {n}, p99.9 {n}, "
             "p99.99 {n}, max {n}",
             "Info: Latency mean {f} microseconds, standard deviation {f} microseconds"}));
}

// A library without the optional statistics call (the vendor's, and the
// scripted one): the run makes no further call, says why after its report
// and ends as it would without the key.
TEST(Measurements, ServiceStatsWithoutTheLibraryCallSaysSoAndGoesOn) {
    const childrun::Result r = runSender(withAmount(2) + "ini options:ap serviceStats = 1\n");
    expectExit(r, 0);
    EXPECT_THAT(
        logsOf(r),
        linesFitting({"Info: Init complete", "Info: Start timer", "Info: XoMQSendMsg",
                      "Info: XoMQSendMsg", "Info: 2 messages sent for {n} microseconds",
                      "Info: So it is {f} messages/sec", "Info: or {f} microseconds for 1 message",
                      "Info: Service statistics not available: the XoSys library has no "
                      "XoMQServiceStats call"}));
}

TEST(Measurements, BadValuesEndTheRunWith13BeforeItConnects) {
    const struct {
        const char* line;
        const char* message;
    } cases[] = {
        {"latencyHistogram = 2",
         "Parameter 'latencyHistogram' in 'options:ap' section of INI must be 0 or 1, not 2"},
        {"warmupAmount = -1",
         "Parameter 'warmupAmount' in 'options:ap' section of INI must not be negative, not -1"},
        {"serviceStats = 2",
         "Parameter 'serviceStats' in 'options:ap' section of INI must be 0 or 1, not 2"},
        {"progressSeconds = -5",
         "Parameter 'progressSeconds' in 'options:ap' section of INI must not be negative, not "
         "-5"},
        {"resultFile = no-such-folder/r.json",
         "Parameter 'resultFile' in 'options:ap' section of INI: cannot write "
         "'no-such-folder/r.json': {*}"},
        {"resultFile = .",
         "Parameter 'resultFile' in 'options:ap' section of INI: cannot write '.': it is a "
         "directory"},
        {"latencyHistogram = yes",
         "Parameter 'latencyHistogram' in 'options:ap' section of INI must be 0 or 1, not yes"},
        {"sendRate = fast",
         "Parameter 'sendRate' in 'options:ap' section of INI must be a number of requests per "
         "second (0 for none), not fast"},
        {"sendRate = -50",
         "Parameter 'sendRate' in 'options:ap' section of INI must be a number of requests per "
         "second (0 for none), not -50"},
        {"histogramLog = run.hlog",
         "Parameter 'histogramLog' in 'options:ap' section of INI needs latencyHistogram = 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const childrun::Result r =
            runSender(withAmount(1) + "ini options:ap " + std::string(c.line) + "\n");
        expectExit(r, 13);
        EXPECT_THAT(logsOf(r), linesFitting({std::string("Error: ") + c.message}));
        EXPECT_TRUE(callsOf(r, "XoMQCreateConnection").empty());
    }
}

// A paced run makes the same calls; its report says from when each latency
// is measured, and counts the late sends.
TEST(Measurements, PacedRunReportsBothLatenciesAndTheLateSends) {
    const childrun::Result r = runSender(withAmount(3) +
                                         "ini options:ap sendRate = 2000.5\n"
                                         "ini options:ap latencyHistogram = 1\n"
                                         "logflag off XoMQSendMsg\n");
    expectExit(r, 0);
    EXPECT_EQ(callsOf(r, "XoMQSendMsg").size(), 3u);
    std::vector<std::string> logs = logsOf(r);
    // A run this short may or may not keep up with its rate.
    if (!logs.empty() && startsWith(logs.back(), "Info: Could not keep up")) {
        EXPECT_THAT(logs.back(), Fits("Info: Could not keep up with sendRate: 2000.500000 "
                                      "requests/sec asked, {f} requests/sec achieved"));
        logs.pop_back();
    }
    EXPECT_THAT(
        logs,
        linesFitting(
            {"Info: Init complete", "Info: Start timer",
             "Info: 3 messages sent for {n} microseconds", "Info: So it is {f} messages/sec",
             "Info: or {f} microseconds for 1 message", "Info: 0 system error replies",
             "Info: Latency from the scheduled send in microseconds: min {n}, p50 {n}, p90 {n}, "
             "p99 {n}, p99.9 {n}, p99.99 {n}, max {n}",
             "Info: Latency from the scheduled send: mean {f} microseconds, standard deviation "
             "{f} microseconds",
             "Info: Latency from the actual send in microseconds: min {n}, p50 {n}, p90 {n}, "
             "p99 {n}, p99.9 {n}, p99.99 {n}, max {n}",
             "Info: Latency from the actual send: mean {f} microseconds, standard deviation {f} "
             "microseconds",
             "Info: {n} late sends, largest lag {n} microseconds"}))
        << r.describe();
}

// ---- A failing call in the loop ----------------------------------------------------------------

struct LoopFailure {
    const char* call;
    int nth;  // which call of that name within the pass
    bool fill;
    const char* text;
    const char* held;  // what the pass holds when the call fails
};

const LoopFailure kLoopFailures[] = {
    {"XoMQGetMsg", 1, false, "XoMQGetMsg failed", ""},
    {"XoMQGetMsg", 1, true, "XoMQGetMsg failed", "drained"},
    {"XoMsgCreateMessage", 1, false, "XoMsgCreateMessage failed", "drained"},
    {"XoMsgCreateMessage", 1, true, "XoMsgCreateMessage failed", "request drained"},
    {"XoMsgSetFieldStr", 1, false, "XoMsgSetFieldStr failed", "request drained"},
    {"XoMsgSetFieldStr", 2, false, "XoMsgSetFieldStr failed", "request drained"},
    {"XoMsgSetField", 1, false, "XoMsgSetField XoMSG_PROP_TYPE failed", "request drained"},
    {"XoSysCreateBinaryComposer", 1, false, "XoSysCreateBinaryComposer failed", "request drained"},
    {"XoSysCreateBinaryComposer", 1, true, "XoSysCreateBinaryComposer failed",
     "composer request drained"},
    {"XoSysCompose", 1, false, "XoSysCompose failed", "composer request drained"},
    {"XoSysComposeGetSize", 1, false, "XoSysComposeGetSize failed", "composer request drained"},
    {"XoSysComposeGetBuffer", 1, false, "XoSysComposeGetBuffer failed", "composer request drained"},
    {"XoMsgSetBody", 1, false, "Cannot set body in reply message", "composer request drained"},
    {"XoMQSendMsg", 1, false, "XoMQSendMsg failed", "composer request drained"},
    {"XoMQSendMsg", 1, true, "XoMQSendMsg failed", "reply composer request drained"},
    {"XoMsgGetBinaryField", 1, false, "XoMsgGetFieldStr failed", "reply composer request drained"},
    {"XoMsgCopyFieldUINT32", 1, false, "XoMsgCopyFieldUINT32 failed",
     "reply composer request drained"},
};

// Each row fails on the first pass and on the second of three, with a code of
// its own whose low byte tells the rows apart.
class LoopFailureRun : public ::testing::TestWithParam<std::tuple<size_t, int>> {};

TEST_P(LoopFailureRun, EndsTheRunWithItsCodeAndReleasesInOrder) {
    const size_t row = std::get<0>(GetParam());
    const int pass = std::get<1>(GetParam());
    const LoopFailure& f = kLoopFailures[row];
    const uint32_t code = 0x12340u + 0x41u + static_cast<uint32_t>(row);
    const std::string codeText = std::to_string(code);

    Shape shape;
    shape.amount = 3;
    shape.drainEveryPass = true;
    // Calls of that name per pass, to find the failing one's number.
    const std::vector<std::string> onePass = passCalls(shape, 1);
    int perPass = 0;
    for (const std::string& line : onePass) {
        perPass += startsWith(line, (std::string(f.call) + "(").c_str()) ? 1 : 0;
    }
    ASSERT_GE(perPass, f.nth);
    const int occurrence = (pass - 1) * perPass + f.nth;
    const childrun::Result r =
        runSender(withAmount(3) + "incoming *\nresult " + f.call + " " +
                  std::to_string(occurrence) + " " + codeText + (f.fill ? " fill" : "") + "\n");
    expectExit(r, code);
    EXPECT_EQ(r.out, "");

    std::vector<std::string> expected = header(shape);
    for (int k = 1; k < pass; ++k) {
        append(expected, passCalls(shape, k));
        append(expected, passFrees(shape, k, "reply composer request drained"));
    }
    int seen = 0;
    for (const std::string& line : passCalls(shape, pass)) {
        if (startsWith(line, (std::string(f.call) + "(").c_str()) && ++seen == f.nth) {
            // The failing call: its code, and a handle only when it fills.
            const size_t result = line.find(") = ");
            const size_t output = line.find(" -> ");
            std::string failing = line.substr(0, result) + ") = " + codeText;
            if (f.fill) {
                failing += line.substr(output);
            }
            expected.push_back(failing);
            break;
        }
        expected.push_back(line);
    }
    append(expected, {"XoLogErrorWithCode(" + codeText + ", \"" + f.text + "\")",
                      "LOG ErrorWithCode code=" + codeText + ": " + f.text});
    append(expected, passFrees(shape, pass, f.held));
    expected.push_back("XoMQFreeConnection(conn1) = 0");
    append(expected, teardown());
    EXPECT_THAT(r.trace, linesFitting(expected)) << r.describe();
}

INSTANTIATE_TEST_SUITE_P(
    Table, LoopFailureRun,
    ::testing::Combine(::testing::Range<size_t>(0, sizeof kLoopFailures / sizeof kLoopFailures[0]),
                       ::testing::Values(1, 2)),
    [](const ::testing::TestParamInfo<std::tuple<size_t, int>>& info) {
        const LoopFailure& f = kLoopFailures[std::get<0>(info.param)];
        return std::string(f.call) + "_" + std::to_string(f.nth) + (f.fill ? "_fill" : "") +
               "_pass" + std::to_string(std::get<1>(info.param));
    });

// ---- Failures before the loop ------------------------------------------------------------------

struct SetUpFailure {
    const char* name;
    const char* scenario;  // added to the service name and sendAmount 2
    uint32_t code;
    std::vector<std::string> logs;
    const char* lastCall;              // the trace line after which ...
    std::vector<std::string> release;  // ... these follow
};

// Shown in test lists and failures: the case's name, stable across builds.
void PrintTo(const SetUpFailure& c, std::ostream* os) {
    *os << c.name;
}

const SetUpFailure kSetUpFailures[] = {
    {"CreationFails",
     "result XoMQCreateConnection 1 0x5111\n",
     0x5111,
     {"Info: Init complete", "ErrorWithCode code=20753: XoMQCreateConnection failed",
      "ErrorWithCode code=20753: createMQConnectionConnect failed"},
     "XoMQCreateConnection() = 20753",
     {"XoLogErrorWithCode(20753, \"XoMQCreateConnection failed\")",
      "LOG ErrorWithCode code=20753: XoMQCreateConnection failed",
      "XoLogErrorWithCode(20753, \"createMQConnectionConnect failed\")",
      "LOG ErrorWithCode code=20753: createMQConnectionConnect failed", "XoMQCleanup() = 0",
      "XoLogClose() = 0", "XoIniClose() = 0", "END"}},
    {"CreationFailsLeavingAHandle",
     "result XoMQCreateConnection 1 0x5112 fill\n",
     0x5112,
     {"Info: Init complete", "ErrorWithCode code=20754: XoMQCreateConnection failed",
      "ErrorWithCode code=20754: createMQConnectionConnect failed"},
     "XoMQCreateConnection() = 20754 -> conn1",
     {"XoLogErrorWithCode(20754, \"XoMQCreateConnection failed\")",
      "LOG ErrorWithCode code=20754: XoMQCreateConnection failed",
      "XoLogErrorWithCode(20754, \"createMQConnectionConnect failed\")",
      "LOG ErrorWithCode code=20754: createMQConnectionConnect failed",
      "XoMQFreeConnection(conn1) = 0", "XoMQCleanup() = 0", "XoLogClose() = 0", "XoIniClose() = 0",
      "END"}},
    {"ConnectFailsUntilTheDeadline",
     "ini options:mq timeoutToAllReconnectingTriing = 0\nresult XoMQConnectEx2 * 0x5113\n",
     0x5113,
     {"Info: Init complete", "ErrorWithCode code=20755: XoMQConnect failed",
      "ErrorWithCode code=20755: tryExecuteObjectUntilTimeout failed",
      "ErrorWithCode code=20755: createMQConnectionConnect failed"},
     "XoLogErrorWithCode(20755, \"createMQConnectionConnect failed\")",
     {"LOG ErrorWithCode code=20755: createMQConnectionConnect failed",
      "XoMQFreeConnection(conn1) = 0", "XoMQCleanup() = 0", "XoLogClose() = 0", "XoIniClose() = 0",
      "END"}},
    {"ResolveFails",
     "result XoMQServiceResolve 1 0x5114\n",
     0x5114,
     {"Info: Init complete", "ErrorWithCode code=20756: XoMQServiceResolve failed"},
     "XoMQServiceResolve(conn1, \"svc\", 1025, null, 0) = 20756",
     {"XoLogErrorWithCode(20756, \"XoMQServiceResolve failed\")",
      "LOG ErrorWithCode code=20756: XoMQServiceResolve failed", "XoMQFreeConnection(conn1) = 0",
      "XoMQCleanup() = 0", "XoLogClose() = 0", "XoIniClose() = 0", "END"}},
};

class SetUpFailureRun : public ::testing::TestWithParam<SetUpFailure> {};

TEST_P(SetUpFailureRun, EndsTheRunBeforeTheLoop) {
    const SetUpFailure& f = GetParam();
    const childrun::Result r = runSender(withAmount(2) + f.scenario);
    expectExit(r, f.code);
    EXPECT_THAT(logsOf(r), ElementsAreArray(f.logs)) << r.describe();
    EXPECT_THAT(linesAfter(r, f.lastCall), ElementsAreArray(f.release)) << r.describe();
    EXPECT_THAT(callsOf(r, "XoMQGetMsg"), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Table, SetUpFailureRun, ::testing::ValuesIn(kSetUpFailures),
                         [](const ::testing::TestParamInfo<SetUpFailure>& info) {
                             return std::string(info.param.name);
                         });

// ---- Environment start-up ------------------------------------------------------------------

struct StartUpFailure {
    const char* name;
    const char* scenario;
    uint32_t code;
    const char* out;
    std::vector<std::string> trace;
};

// Shown in test lists and failures: the case's name, stable across builds.
void PrintTo(const StartUpFailure& c, std::ostream* os) {
    *os << c.name;
}

const StartUpFailure kStartUpFailures[] = {
    {"IniOpen",
     "result XoIniOpen 1 0x1a2b\n",
     0x1a2b,
     "XoIniOpen not ok. Error code: 1a2b",
     {"XoIniSetOpt(0) = 0", "XoIniOpen(\"sender.ini\") = 6699",
      "XoLogErrorWithCode(6699, \"logIniInit failed\")",
      "LOG ErrorWithCode code=6699: logIniInit failed", "XoMQCleanup() = 0", "XoLogClose() = 0",
      "XoIniClose() = 0", "END"}},
    {"LogOpen",
     "result XoLogOpen 1 0x2c3d\n",
     0x2c3d,
     "XoLogOpen not ok. Error code: 2c3d",
     {"XoIniSetOpt(0) = 0", "XoIniOpen(\"sender.ini\") = 0", "XoLogOpen(0) = 11325",
      "XoIniClose() = 0", "XoLogErrorWithCode(11325, \"logIniInit failed\")",
      "LOG ErrorWithCode code=11325: logIniInit failed", "XoMQCleanup() = 0", "XoLogClose() = 0",
      "XoIniClose() = 0", "END"}},
    {"MQStartup",
     "result XoMQStartup 1 0x3e4f\n",
     0x3e4f,
     "",
     {"XoIniSetOpt(0) = 0", "XoIniOpen(\"sender.ini\") = 0", "XoLogOpen(0) = 0",
      "XoMQStartup() = 15951",
      "trcheckEx_XoLogEx_(2, \"RERUZU\", \"XoMQStartup not ok. Error code: 3e4f\") = flag1",
      "LOG Ex 2 RERUZU: XoMQStartup not ok. Error code: 3e4f", "XoLogClose() = 0",
      "XoIniClose() = 0", "XoLogErrorWithCode(15951, \"logIniInit failed\")",
      "LOG ErrorWithCode code=15951: logIniInit failed", "XoMQCleanup() = 0", "XoLogClose() = 0",
      "XoIniClose() = 0", "END"}},
};

class StartUpFailureRun : public ::testing::TestWithParam<StartUpFailure> {};

TEST_P(StartUpFailureRun, IsReportedAndTornDown) {
    const StartUpFailure& f = GetParam();
    const childrun::Result r = runSender(withAmount(2) + f.scenario);
    expectExit(r, f.code);
    EXPECT_EQ(r.out, f.out);
    EXPECT_THAT(r.trace, ElementsAreArray(f.trace)) << r.describe();
}

INSTANTIATE_TEST_SUITE_P(Table, StartUpFailureRun, ::testing::ValuesIn(kStartUpFailures),
                         [](const ::testing::TestParamInfo<StartUpFailure>& info) {
                             return std::string(info.param.name);
                         });

// ---- Configuration ------------------------------------------------------------------------------

TEST(Configuration, MissingOrEmptyServiceNameEndsWith13) {
    const char* const scenarios[] = {"", "ini options:ap toServiceName =\n"};
    for (const char* scenario : scenarios) {
        SCOPED_TRACE(scenario);
        const childrun::Result r =
            runSender(std::string(scenario) + "ini options:ap sendAmount = 1\n");
        expectExit(r, 13);
        std::vector<std::string> expected = envUp();
        append(expected,
               {"XoIniCustGetInt(-1, \"options:ap\", \"sendtimeout\", 10000) = 10000",
                "XoIniCustGetStr(-1, 256, \"options:ap\", \"toServiceName\", \"\") = 0 -> \"\"",
                "trcheckEx_XoLogError_(\"Parameter 'toServiceName' is absent in 'options:ap' "
                "section of INI\") = flag1",
                "LOG Error: Parameter 'toServiceName' is absent in 'options:ap' section of INI"});
        append(expected, teardown());
        EXPECT_THAT(r.trace, ElementsAreArray(expected)) << r.describe();
    }
}

TEST(Configuration, NonPositiveSendAmountEndsWith13) {
    const char* const amounts[] = {"0", "-5", "-2147483648"};
    for (const char* amount : amounts) {
        SCOPED_TRACE(amount);
        const std::string line =
            std::string(
                "Parameter 'sendAmount' in 'options:ap' section of INI must be positive, "
                "not ") +
            amount;
        const childrun::Result r =
            runSender(std::string(kService) + "ini options:ap sendAmount = " + amount + "\n");
        expectExit(r, 13);
        EXPECT_THAT(
            linesAfter(
                r, std::string("XoIniCustGetInt(-1, \"options:ap\", \"sendAmount\", 10000) = ") +
                       amount),
            ElementsAre("trcheckEx_XoLogError_(\"" + line + "\") = flag2", "LOG Error: " + line,
                        "XoMQFreeConnection(conn1) = 0", "XoMQCleanup() = 0", "XoLogClose() = 0",
                        "XoIniClose() = 0", "END"))
            << r.describe();
    }
}

TEST(Configuration, NoIniPathGivesUsageAndNoXoSysCall) {
    Launch launch;
    launch.args = {};
    const childrun::Result r = runSender(withAmount(1), launch);
    expectExit(r, 13);
    EXPECT_EQ(r.out, "Usage: XoMQSender <ini-file>\n");
    // A process that made no call leaves only the library's exit line.
    EXPECT_THAT(r.trace, ElementsAre("END"));
}

TEST(Configuration, OptionsAreAnsweredWithoutAnyXoSysCall) {
    const struct {
        std::vector<std::string> args;
        int exit;
        const char* outStart;
    } cases[] = {
        {{"--help"},
         0,
         "Usage: XoMQSender <ini-file>\n       XoMQSender --help | -h | --version\n"},
        {{"-h"}, 0, "Usage: XoMQSender <ini-file>\n       XoMQSender --help | -h | --version\n"},
        {{"--version"}, 0, "XoMQSender 1."},
        {{"--bogus", kIni},
         13,
         "XoMQSender: unknown option '--bogus'\nUsage: XoMQSender <ini-file>\n"},
        {{"--"}, 13, "Usage: XoMQSender <ini-file>\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        Launch launch;
        launch.args = c.args;
        const childrun::Result r = runSender(withAmount(1), launch);
        expectExit(r, c.exit);
        EXPECT_TRUE(startsWith(r.out, c.outStart)) << r.out;
        EXPECT_THAT(r.trace, ElementsAre("END"));
        if (c.args[0] == "--version") {
            EXPECT_NE(r.out.find("\nXoSys library: "), std::string::npos) << r.out;
        }
    }
    // "--" ends the options: what follows is the INI path, whatever its name.
    Launch launch;
    launch.args = {"--", kIni};
    const childrun::Result r = runSender(withAmount(1), launch);
    expectExit(r, 0);
}

// ---- Report -----------------------------------------------------------------------------------

// With the timer's clock advancing a fixed step per read, the total time of a
// run is that step, and the report lines are known exactly.
struct ReportCase {
    const char* step;
    int amount;
    std::vector<std::string> report;
};

// Shown in test lists and failures: the case's name, stable across builds.
void PrintTo(const ReportCase& c, std::ostream* os) {
    *os << "step " << c.step << " for " << c.amount;
}

const ReportCase kReports[] = {
    {"0", 2, {"Info: Total time is 0"}},
    {"157",
     1,
     {"Info: 1 messages sent for 157 microseconds", "Info: So it is 6369.426752 messages/sec",
      "Info: or 157.000000 microseconds for 1 message"}},
    {"2000000",
     3,
     {"Info: 3 messages sent for 2000000 microseconds", "Info: So it is 1.500000 messages/sec",
      "Info: or 666666.666667 microseconds for 1 message"}},
    // More than 32 bits of microseconds are printed in full.
    {"5000000000",
     1,
     {"Info: 1 messages sent for 5000000000 microseconds", "Info: So it is 0.000200 messages/sec",
      "Info: or 5000000000.000000 microseconds for 1 message"}},
};

class Report : public ::testing::TestWithParam<ReportCase> {};

TEST_P(Report, ShowsTheTotalTimeAndRates) {
    const ReportCase& c = GetParam();
    Launch launch;
    launch.program = &fixedClockSender();
    launch.env = {std::string("XOSENDER_CLOCK_STEP=") + c.step};
    const childrun::Result r = runSender(withAmount(c.amount), launch);
    expectExit(r, 0);
    std::vector<std::string> logs = {"Info: Init complete", "Info: Start timer"};
    for (int i = 0; i < c.amount; ++i) {
        logs.push_back("Info: XoMQSendMsg");
    }
    append(logs, c.report);
    EXPECT_THAT(logsOf(r), ElementsAreArray(logs)) << r.describe();
}

INSTANTIATE_TEST_SUITE_P(FixedClock, Report, ::testing::ValuesIn(kReports),
                         [](const ::testing::TestParamInfo<ReportCase>& info) {
                             return "Step" + std::string(info.param.step) + "For" +
                                    std::to_string(info.param.amount);
                         });

}  // namespace
