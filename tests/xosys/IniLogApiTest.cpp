// The configuration and log calls of libXoSys.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "TestFiles.h"
#include "XoSys.h"
#include "XoSysCodes.h"

namespace {

class IniLogApi : public ::testing::Test {
  protected:
    void TearDown() override {
        XoLogClose();
        XoIniClose();
    }

    // Opens an INI file of the given text, then the log it describes.
    void openBoth(const std::string& ini) {
        ASSERT_EQ(XoIniOpen(dir.write("test.ini", ini).c_str()), 0u);
        ASSERT_EQ(XoLogOpen(0), 0u);
    }

    std::string logSection(const std::string& extra) {
        return "[log]\nfile = " + logPath() + "\n" + extra;
    }

    std::string logPath() const { return dir.path("test.log"); }

    ScratchDir dir;
};

std::string getStr(const char* section, const char* key, const char* def, uint64_t size = 64) {
    char buf[64];
    std::memset(buf, 'X', sizeof buf);
    XoIniCustGetStr(XO_INI_DEFAULT, buf, size, section, key, def);
    return std::string(buf, strnlen(buf, sizeof buf));
}

TEST_F(IniLogApi, OpenFailuresHaveTheirOwnCodesAndNameTheFile) {
    const std::string missing = dir.path("missing.ini");
    testing::internal::CaptureStderr();
    EXPECT_EQ(XoIniOpen(missing.c_str()), XOSYS_E_INI_OPEN);
    EXPECT_EQ(XoIniOpen(dir.dir().c_str()), XOSYS_E_INI_OPEN);  // a directory
    EXPECT_EQ(XoIniOpen(nullptr), XOSYS_E_INVALID_ARG);
    const std::string bad = dir.write("bad.ini", "[s]\r\nk = 1\r\noops\r\n");
    EXPECT_EQ(XoIniOpen(bad.c_str()), XOSYS_E_INI_SYNTAX);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(missing), std::string::npos) << err;
    EXPECT_NE(err.find(bad + ":3:"), std::string::npos) << err;
    // A failed open leaves no configuration behind.
    EXPECT_EQ(XoIniCustGetInt(XO_INI_DEFAULT, "s", "k", -5), -5);
}

TEST_F(IniLogApi, ReadsBeforeOpenAndAfterCloseGiveDefaults) {
    EXPECT_EQ(XoIniCustGetInt(XO_INI_DEFAULT, "options:ap", "sendAmount", 10000), 10000);
    EXPECT_EQ(getStr("options:mq", "host", "127.0.0.1"), "127.0.0.1");
    ASSERT_EQ(XoIniOpen(dir.write("a.ini", "[options:ap]\nsendAmount = 5\n").c_str()), 0u);
    EXPECT_EQ(XoIniCustGetInt(XO_INI_DEFAULT, "OPTIONS:AP", "SENDAMOUNT", 10000), 5);
    EXPECT_EQ(XoIniClose(), 0u);
    EXPECT_EQ(XoIniClose(), 0u);
    EXPECT_EQ(XoIniCustGetInt(XO_INI_DEFAULT, "options:ap", "sendAmount", 10000), 10000);
    // An empty file is a valid, empty configuration.
    ASSERT_EQ(XoIniOpen(dir.write("empty.ini", "").c_str()), 0u);
    EXPECT_EQ(getStr("options:ap", "toServiceName", ""), "");
}

TEST_F(IniLogApi, StringReadsStayWithinTheBuffer) {
    ASSERT_EQ(
        XoIniOpen(
            dir.write("s.ini", "[s]\nk = abcdef\nlong = " + std::string(1023, 'L') + "\n").c_str()),
        0u);
    char buf[8];
    std::memset(buf, 'X', sizeof buf);
    EXPECT_EQ(XoIniCustGetStr(XO_INI_DEFAULT, buf, 0, "s", "k", "d"), XOSYS_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(buf[0], 'X');  // size 0: nothing written
    EXPECT_EQ(XoIniCustGetStr(XO_INI_DEFAULT, buf, 4, "s", "k", "d"), XOSYS_E_BUFFER_TOO_SMALL);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(buf[4], 'X');
    EXPECT_EQ(XoIniCustGetStr(XO_INI_DEFAULT, buf, 7, "s", "k", "d"), 0u);
    EXPECT_STREQ(buf, "abcdef");
    EXPECT_EQ(XoIniCustGetStr(XO_INI_DEFAULT, buf, 8, "s", "none", "dflt"), XOSYS_E_INI_NO_KEY);
    EXPECT_STREQ(buf, "dflt");
    EXPECT_EQ(XoIniCustGetStr(XO_INI_DEFAULT, buf, 8, "s", "none", nullptr), XOSYS_E_INI_NO_KEY);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(XoIniCustGetStr(XO_INI_DEFAULT, nullptr, 8, "s", "k", "d"), XOSYS_E_INVALID_ARG);
    char big[1024];
    EXPECT_EQ(XoIniCustGetStr(XO_INI_DEFAULT, big, sizeof big, "s", "long", ""), 0u);
    EXPECT_EQ(std::strlen(big), 1023u);
}

TEST_F(IniLogApi, IntegerReadsAreStrictAndWarn) {
    openBoth(logSection("") +
             "[n]\nok = -12\nhex = 0x10\ntrailing = 12abc\nbig = 2147483648\nempty =\n");
    EXPECT_EQ(XoIniCustGetInt(XO_INI_DEFAULT, "n", "ok", 0), -12);
    EXPECT_EQ(XoIniCustGetInt(XO_INI_DEFAULT, "n", "hex", 7), 7);
    EXPECT_EQ(XoIniCustGetInt(XO_INI_DEFAULT, "n", "trailing", 7), 7);
    EXPECT_EQ(XoIniCustGetInt(XO_INI_DEFAULT, "n", "big", 7), 7);
    EXPECT_EQ(XoIniCustGetInt(XO_INI_DEFAULT, "n", "empty", 7), 7);
    EXPECT_EQ(XoIniCustGetInt(XO_INI_DEFAULT, "n", "absent", 7), 7);
    XoLogClose();
    const std::string log = readFile(logPath());
    EXPECT_EQ(countOf(log, "WARN"), 4) << log;  // one per bad value, none for absent
    EXPECT_NE(log.find("'12abc'"), std::string::npos) << log;
}

TEST_F(IniLogApi, WritesLinesWithLevelTagCodeAndI64Formats) {
    openBoth(logSection("level = info\n"));
    XoLogInfo("%d messages sent for %I64u microseconds", 3, static_cast<uint64_t>(1) << 40);
    XoLogErrorWithCode(0x6004, "%s failed", "XoMQSendMsg");
    XoLogEx(2, "RERUZU", "XoMQStartup not ok. Error code: %x", 0x6050);
    XoLogInfoEx("CHRTimer", "timer %s", "started");
    XoLogEx(4, "dbg", "debug line");  // above the threshold
    XoLogClose();
    const std::string log = readFile(logPath());
    EXPECT_NE(log.find(" INFO  3 messages sent for 1099511627776 microseconds\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(" ERROR code=24580 (0x6004) XoMQSendMsg failed\n"), std::string::npos);
    EXPECT_NE(log.find(" WARN  [RERUZU] XoMQStartup not ok. Error code: 6050\n"),
              std::string::npos);
    EXPECT_NE(log.find(" INFO  [CHRTimer] timer started\n"), std::string::npos);
    EXPECT_EQ(log.find("debug line"), std::string::npos);
    EXPECT_EQ(countOf(log, "\n"), 4);
    // Every line starts with a timestamp with microseconds.
    EXPECT_EQ(log[4], '-');
    EXPECT_EQ(log[19], '.');
    EXPECT_EQ(log[26], ' ');
}

TEST_F(IniLogApi, StatementFlagsAreStableAndFollowTheConfiguration) {
    openBoth(logSection("silence = XoMQSendMsg | other text\nsilenceTags = Noisy\n"));
    int32_t* sent = trcheckEx_XoLogInfo_("XoMQSendMsg");
    int32_t* start = trcheckEx_XoLogInfo_("Start timer");
    int32_t* noisy = trcheckEx_XoLogInfoEx_("Noisy", "Start timer");
    int32_t* error = trcheckEx_XoLogError_("Start timer");
    ASSERT_NE(sent, nullptr);
    ASSERT_NE(start, nullptr);
    EXPECT_EQ(trcheckEx_XoLogInfo_("XoMQSendMsg"), sent);  // same statement, same flag
    EXPECT_NE(noisy, start);                               // tag makes it another statement
    EXPECT_NE(error, start);                               // so does the level
    EXPECT_EQ(*sent, 0);
    EXPECT_EQ(*start, 1);
    EXPECT_EQ(*noisy, 0);
    EXPECT_EQ(*error, 1);

    // Reopening with another configuration switches the existing flags.
    ASSERT_EQ(XoIniOpen(dir.write("second.ini", logSection("level = error\n")).c_str()), 0u);
    ASSERT_EQ(XoLogOpen(0), 0u);
    EXPECT_EQ(*sent, 0);
    EXPECT_EQ(*start, 0);
    EXPECT_EQ(*error, 1);
    ASSERT_EQ(XoIniOpen(dir.write("third.ini", logSection("level = trace\n")).c_str()), 0u);
    ASSERT_EQ(XoLogOpen(0), 0u);
    EXPECT_EQ(*sent, 1);
    EXPECT_EQ(trcheckEx_XoLogInfo_("XoMQSendMsg"), sent);
    XoLogClose();
    const std::string log = readFile(logPath());
    // Registration writes only while enabled: one "Start timer" from the
    // first configuration plus its error twin, and the last XoMQSendMsg.
    EXPECT_EQ(countOf(log, "Start timer"), 2) << log;
    EXPECT_EQ(countOf(log, "XoMQSendMsg"), 1) << log;
}

TEST_F(IniLogApi, SilencedPlainCallsWriteNothing) {
    // Failure lines too: they go round the statement flags, not round the
    // configuration.
    openBoth(logSection("silence = XoMQSendMsg | %s failed\nsilenceTags = CHRTimer\n"));
    XoLogInfo("XoMQSendMsg");
    XoLogInfoEx("CHRTimer", "anything");
    XoLogErrorWithCode(24663, "%s failed", "XoMQSendMsg");
    XoLogInfo("kept");
    XoLogClose();
    std::string log = readFile(logPath());
    EXPECT_EQ(countOf(log, "\n"), 1) << log;
    EXPECT_NE(log.find("kept"), std::string::npos);

    openBoth(logSection("level = none\nappend = 0\n"));
    XoLogErrorWithCode(24663, "%s failed", "XoMQSendMsg");
    XoLogClose();
    log = readFile(logPath());
    EXPECT_EQ(log, "");
}

TEST_F(IniLogApi, BufferedUnlessFlushIsConfigured) {
    openBoth(logSection("flush = 0\n"));
    XoLogInfo("buffered line");
    EXPECT_EQ(readFile(logPath()).find("buffered line"), std::string::npos);
    XoLogClose();  // flushes
    EXPECT_NE(readFile(logPath()).find("buffered line"), std::string::npos);

    openBoth(logSection("flush = 1\nappend = 0\n"));
    XoLogInfo("flushed line");
    const std::string now = readFile(logPath());
    EXPECT_NE(now.find("flushed line"), std::string::npos);
    EXPECT_EQ(now.find("buffered line"), std::string::npos);  // append = 0 started afresh
}

TEST_F(IniLogApi, ClosedLogDropsLinesAndClosesTwice) {
    openBoth(logSection(""));
    XoLogInfo("before");
    EXPECT_EQ(XoLogClose(), 0u);
    EXPECT_EQ(XoLogClose(), 0u);
    XoLogInfo("after");
    XoLogErrorWithCode(1, "%s failed", "logIniInit");
    int32_t* flag = trcheckEx_XoLogInfo_("after close %d", 1);
    EXPECT_NE(flag, nullptr);
    const std::string log = readFile(logPath());
    EXPECT_NE(log.find("before"), std::string::npos);
    EXPECT_EQ(log.find("after"), std::string::npos);
    EXPECT_EQ(log.find("logIniInit"), std::string::npos);
    EXPECT_EQ(trcheckEx_XoLogInfo_(nullptr), nullptr);
    XoLogInfo(nullptr);
}

TEST_F(IniLogApi, BadLogConfigurationFailsWithItsOwnCodes) {
    testing::internal::CaptureStderr();
    ASSERT_EQ(XoIniOpen(dir.write("l.ini", "[log]\nlevel = loud\n").c_str()), 0u);
    EXPECT_EQ(XoLogOpen(0), XOSYS_E_LOG_CONFIG);
    ASSERT_EQ(XoIniOpen(dir.write("f.ini", "[log]\nflush = yes\n").c_str()), 0u);
    EXPECT_EQ(XoLogOpen(0), XOSYS_E_LOG_CONFIG);
    ASSERT_EQ(
        XoIniOpen(
            dir.write("p.ini", "[log]\nfile = " + dir.path("no/such/dir/x.log") + "\n").c_str()),
        0u);
    EXPECT_EQ(XoLogOpen(0), XOSYS_E_LOG_OPEN);
    ASSERT_EQ(XoIniOpen(dir.write("u.ini", "[log]\nfiel = x.log\n").c_str()), 0u);
    EXPECT_EQ(XoLogOpen(0), 0u);  // unknown keys are reported, not fatal
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("loud"), std::string::npos) << err;
    EXPECT_NE(err.find("no/such/dir/x.log"), std::string::npos) << err;
    EXPECT_NE(err.find("'fiel'"), std::string::npos) << err;
}

}  // namespace

namespace {

// Each failing call of the message and composer API writes exactly one line
// that names the call, before the code reaches the caller.
TEST_F(IniLogApi, EveryFailedMessageOrComposerCallSaysWhyInTheLog) {
    openBoth(logSection("flush = 1\n"));
    XoMsgHandle m = nullptr;
    ASSERT_EQ(XoMsgCreateMessage(&m), 0u);
    XoComposerHandle c = nullptr;
    ASSERT_EQ(XoSysCreateBinaryComposer(&c), 0u);
    ASSERT_EQ(XoMsgSetField(m, "Short", "ab", 2), 0u);
    ASSERT_EQ(XoMsgSetBody(m, "12345678", 8), 0u);
    uint32_t u = 0;
    const void* p = nullptr;
    char buf[4];
    uint64_t cap = sizeof buf;
    const struct {
        const char* call;
        uint32_t code;
    } cases[] = {
        {"XoMsgCreateMessage", XoMsgCreateMessage(nullptr)},
        {"XoMsgSetFieldStr", XoMsgSetFieldStr(m, "", "x")},
        {"XoMsgSetField", XoMsgSetField(nullptr, "Xo_Type", &u, 4)},
        {"XoMsgGetBinaryField", XoMsgGetBinaryField(m, "Absent", &p, nullptr)},
        {"XoMsgCopyFieldUINT32", XoMsgCopyFieldUINT32(m, "Short", &u)},
        {"XoMsgSetBody", XoMsgSetBody(nullptr, "x", 1)},
        {"XoMsgCopyBody", XoMsgCopyBody(m, buf, &cap)},
        {"XoSysCreateBinaryComposer", XoSysCreateBinaryComposer(nullptr)},
        {"XoSysCompose", XoSysCompose(c, "c4x9", "ABCD")},
        {"XoSysComposeGetSize", XoSysComposeGetSize(c, nullptr)},
        {"XoSysComposeGetBuffer", XoSysComposeGetBuffer(nullptr, nullptr)},
    };
    XoSysFreeComposer(c);
    XoMsgFreeMessage(m);
    XoLogClose();
    const std::string log = readFile(logPath());
    for (const auto& k : cases) {
        EXPECT_NE(k.code, 0u) << k.call;
        EXPECT_EQ(countOf(log, std::string(k.call) + ": "), 1) << k.call << "\n" << log;
    }
}

}  // namespace
