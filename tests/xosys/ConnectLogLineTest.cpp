// Connect strings, router subjects, result code texts and log line layout.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "Codes.h"
#include "ConnectString.h"
#include "LogLine.h"
#include "Subjects.h"
#include "XoSysCodes.h"

namespace {

TEST(ConnectString, ReadsFieldsWithEitherSeparatorAndAnyCase) {
    xosys::ConnectParams p;
    std::string error;
    ASSERT_EQ(xosys::parseConnectString(
                  "appname = bench;HOST = 10.0.0.5 , Port=4001;timeout = 500;password = s3cret", &p,
                  &error),
              0u)
        << error;
    EXPECT_EQ(p.appname, "bench");
    EXPECT_EQ(p.host, "10.0.0.5");
    EXPECT_EQ(p.port, 4001);
    EXPECT_EQ(p.timeoutMs, 500);
    EXPECT_EQ(p.password, "s3cret");
    EXPECT_EQ(p.url(), "nats://10.0.0.5:4001");
}

TEST(ConnectString, DefaultsAndLocalRouterPort) {
    xosys::ConnectParams p;
    std::string error;
    // Empty values count as absent: the program writes such fields.
    ASSERT_EQ(xosys::parseConnectString("appname = ;host = ;port = ;timeout = ;", &p, &error), 0u);
    EXPECT_EQ(p.url(), "nats://127.0.0.1:3001");
    EXPECT_EQ(p.appname, "XoMQSender");
    EXPECT_EQ(p.timeoutMs, 3000);
    EXPECT_TRUE(p.password.empty());
    // lrpcq_port wins over host and port.
    ASSERT_EQ(
        xosys::parseConnectString("host = far.away; port = 1; lrpcq_port = 4002;", &p, &error), 0u);
    EXPECT_EQ(p.url(), "nats://127.0.0.1:4002");
    ASSERT_EQ(xosys::parseConnectString("host = ::1; port = 5", &p, &error), 0u);
    EXPECT_EQ(p.url(), "nats://[::1]:5");
}

TEST(ConnectString, FirstNonEmptyFieldWinsAndNamesMatchWhole) {
    std::string v;
    EXPECT_TRUE(xosys::findConnectField("host=a;host=b", "host", &v));
    EXPECT_EQ(v, "a");
    EXPECT_TRUE(xosys::findConnectField("host = ;host=b", "host", &v));
    EXPECT_EQ(v, "b");
    EXPECT_TRUE(xosys::findConnectField("hostname=x;lrpcq_port=1;port=2", "port", &v));
    EXPECT_EQ(v, "2");
    EXPECT_FALSE(xosys::findConnectField("hostname=x", "host", &v));
    EXPECT_FALSE(xosys::findConnectField("flag;a=1", "flag", &v));
    EXPECT_FALSE(xosys::findConnectField("host = ;port=1", "host", &v));
    EXPECT_FALSE(xosys::findConnectField("", "host", &v));
}

TEST(ConnectString, RejectsBadValuesWithoutShowingThePassword) {
    const char* bad[] = {
        "port = 0;password = TOPSECRET",        "port = 65536;password = TOPSECRET",
        "port = 12ab;password = TOPSECRET",     "lrpcq_port = -1;password = TOPSECRET",
        "timeout = 0;password = TOPSECRET",     "timeout = soon;password = TOPSECRET",
        "host = a b;password = TOPSECRET",      "host = evil/path;password = TOPSECRET",
        "appname = \"q\";password = TOPSECRET",
    };
    for (const char* text : bad) {
        xosys::ConnectParams p;
        std::string error;
        EXPECT_EQ(xosys::parseConnectString(text, &p, &error), XOSYS_E_CONNECT_STRING) << text;
        EXPECT_FALSE(error.empty()) << text;
        EXPECT_EQ(error.find("TOPSECRET"), std::string::npos) << error;
    }
    xosys::ConnectParams p;
    std::string error;
    EXPECT_EQ(xosys::parseConnectString(nullptr, &p, &error), XOSYS_E_CONNECT_STRING);
}

TEST(Subjects, AnyServiceNameBecomesOneTokenOfItsOwn) {
    // Every name up to 255 bytes is a service name; only empty is not.
    EXPECT_FALSE(xosys::validServiceName(""));
    EXPECT_FALSE(xosys::validServiceName(nullptr));
    EXPECT_FALSE(xosys::validServiceName(std::string(256, 's').c_str()));
    const std::string all(255, '.');
    EXPECT_TRUE(xosys::validServiceName(all.c_str()));

    // Plain names keep their subjects; the rest are escaped, and no two
    // names share a token.
    EXPECT_EQ(xosys::resolveSubject("bench-1_A"), "_XO.resolve.bench-1_A");
    EXPECT_EQ(xosys::serviceToken("my.service *>"), "my%2Eservice%20%2A%3E");
    const char* names[] = {"a.b", "a%2Eb", "a_b", "a b", "a\tb", "a*", "a>", "A.B", "\xff", "a%"};
    std::set<std::string> tokens;
    for (const char* name : names) {
        const std::string token = xosys::serviceToken(name);
        EXPECT_TRUE(tokens.insert(token).second) << name << " -> " << token;
        const std::string subject = xosys::serviceAddress(name);
        EXPECT_TRUE(xosys::validAddress(subject.data(), subject.size())) << subject;
        EXPECT_EQ(token.find_first_of(". \t*>"), std::string::npos) << token;
    }
    // NATS micro names: letters, digits and "-" stay, "_" doubles, any other
    // byte is "_" and two hex digits; names that look like escapes stay apart.
    EXPECT_EQ(xosys::microName("bench-1"), "bench-1");
    EXPECT_EQ(xosys::microName("a.b_c"), "a_2Eb__c");
    std::set<std::string> micro;
    for (const char* name : {"a.", "a_2E", "a_", "a__", "a_5F", "a\xff", "a b", "-"}) {
        const std::string m = xosys::microName(name);
        EXPECT_TRUE(micro.insert(m).second) << name << " -> " << m;
        EXPECT_TRUE(xosys::isMicroName(m)) << m;
    }
    EXPECT_FALSE(xosys::isMicroName(""));
    EXPECT_FALSE(xosys::isMicroName("a.b"));
    EXPECT_STREQ(xosys::microSubject("_XO.micro.svc.echo", 18), "svc.echo");
    EXPECT_EQ(xosys::microSubject("_XO.micro.", 10), nullptr);
    EXPECT_EQ(xosys::microSubject("_XO.svc.echo", 12), nullptr);

    const std::string longest = xosys::serviceAddress(all);
    EXPECT_TRUE(xosys::validAddress(longest.data(), longest.size()));

    const std::string addr = xosys::serviceAddress("bench");
    EXPECT_TRUE(xosys::validAddress(addr.data(), addr.size()));
    for (const char* bad : {"", ".a", "a.", "a..b", "a.*", "a.>", "a b"}) {
        EXPECT_FALSE(xosys::validAddress(bad, std::strlen(bad))) << bad;
    }
    EXPECT_FALSE(xosys::validAddress("ab\0c", 4));
    const std::string tooLong(1025, 'a');
    EXPECT_FALSE(xosys::validAddress(tooLong.data(), tooLong.size()));
    EXPECT_TRUE(xosys::validAddress(tooLong.data(), 1024));
}

TEST(Subjects, ReplySequenceMustMatchThePrefixExactly) {
    const std::string prefix = xosys::connectionReplyPrefix("C1");
    std::string subject = prefix;
    xosys::appendDecimal(subject, 18446744073709551615ull);
    uint64_t seq = 0;
    ASSERT_TRUE(xosys::parseReplySeq(subject.c_str(), prefix, &seq));
    EXPECT_EQ(seq, 18446744073709551615ull);
    EXPECT_TRUE(xosys::parseReplySeq((prefix + "0").c_str(), prefix, &seq));
    EXPECT_EQ(seq, 0u);
    for (const std::string& bad :
         {prefix, prefix + "12x", prefix + "-1", prefix + "18446744073709551616",
          xosys::connectionReplyPrefix("C2") + "5", std::string("_XO.c.C1.r")}) {
        EXPECT_FALSE(xosys::parseReplySeq(bad.c_str(), prefix, &seq)) << bad;
    }
    EXPECT_FALSE(xosys::parseReplySeq(nullptr, prefix, &seq));
}

TEST(Codes, EveryCodeHasItsOwnText) {
    const uint32_t codes[] = {
        XOSYS_E_INVALID_ARG,
        XOSYS_E_NO_MEMORY,
        XOSYS_E_NOT_STARTED,
        XOSYS_E_NO_MESSAGE,
        XOSYS_E_SERVICE_FAILED,
        XOSYS_E_BUFFER_TOO_SMALL,
        XOSYS_E_TRUNCATED,
        XOSYS_E_INI_OPEN,
        XOSYS_E_INI_SYNTAX,
        XOSYS_E_INI_TOO_LARGE,
        XOSYS_E_INI_NO_KEY,
        XOSYS_E_LOG_OPEN,
        XOSYS_E_LOG_CONFIG,
        XOSYS_E_FIELD_NOT_FOUND,
        XOSYS_E_FIELD_SIZE,
        XOSYS_E_FIELD_NAME,
        XOSYS_E_TOO_LARGE,
        XOSYS_E_COMPOSE_FORMAT,
        XOSYS_E_COMPOSE_VALUE,
        XOSYS_E_NATS_STARTUP,
        XOSYS_E_CONNECT_STRING,
        XOSYS_E_CONNECT,
        XOSYS_E_AUTH,
        XOSYS_E_NOT_CONNECTED,
        XOSYS_E_CONNECTION_LOST,
        XOSYS_E_SERVICE_NOT_FOUND,
        XOSYS_E_TIMEOUT,
        XOSYS_E_NO_DESTINATION,
        XOSYS_E_MALFORMED_MESSAGE,
        XOSYS_E_NO_RESPONDER,
        XOSYS_E_MESSAGING,
        XOSYS_E_INTERRUPTED,
    };
    std::set<std::string> texts;
    for (uint32_t code : codes) {
        const std::string text = xosys::codeText(code);
        EXPECT_NE(text, "unknown code") << std::hex << code;
        EXPECT_TRUE(texts.insert(text).second) << "two codes share: " << text;
    }
    EXPECT_EQ(XOSYS_E_NO_MESSAGE, 24580u);
    EXPECT_STREQ(xosys::codeText(0x7777), "unknown code");
}

TEST(LogLine, LaysOutTimestampLevelTagCodeAndMessage) {
    char ts[32];
    xosys::formatTimestamp(2024, 5, 7, 4, 3, 2, 1, ts);
    EXPECT_STREQ(ts, "2024-05-07 04:03:02.000001");
    std::string line;
    xosys::appendLogLine(line, ts, xosys::kLevelInfo, nullptr, false, 0, "hello", 5);
    EXPECT_EQ(line, "2024-05-07 04:03:02.000001 INFO  hello\n");
    line.clear();
    xosys::appendLogLine(line, ts, 2, "RERUZU", true, 0x6004, "two\nlines\r", 10);
    EXPECT_EQ(line, "2024-05-07 04:03:02.000001 WARN  [RERUZU] code=24580 (0x6004) two lines \n");
    line.clear();
    xosys::appendLogLine(line, ts, xosys::kLevelError, "", false, 0, "e", 1);
    EXPECT_EQ(line, "2024-05-07 04:03:02.000001 ERROR e\n");
}

TEST(LogLine, ParsesLevelsAndLists) {
    int32_t level = -1;
    EXPECT_TRUE(xosys::parseLevel("Warning", &level));
    EXPECT_EQ(level, xosys::kLevelWarning);
    EXPECT_TRUE(xosys::parseLevel("off", &level));
    EXPECT_EQ(level, 0);
    EXPECT_TRUE(xosys::parseLevel("4", &level));
    EXPECT_EQ(level, xosys::kLevelDebug);
    level = 77;
    for (const char* bad : {"", "loud", "-1", "101", "3x"}) {
        EXPECT_FALSE(xosys::parseLevel(bad, &level)) << bad;
    }
    EXPECT_EQ(level, 77);
    EXPECT_EQ(xosys::splitList(" XoMQSendMsg | %d messages sent for %I64u microseconds ||  "),
              (std::vector<std::string>{"XoMQSendMsg", "%d messages sent for %I64u microseconds"}));
    EXPECT_TRUE(xosys::splitList("").empty());
    EXPECT_STREQ(xosys::levelName(-5), "ERROR");
    EXPECT_STREQ(xosys::levelName(42), "TRACE");
}

}  // namespace
