// Our XoSys library with untrusted input: connect strings that hide a
// password in the wrong place, replies larger than the caller's buffer, and
// replies that arrive too late for the request they answer.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "ConnectString.h"
#include "FaultSupport.h"
#include "Harness.h"
#include "XoSys.h"
#include "XoSysCodes.h"

namespace {

using namespace xotest;
using Clock = std::chrono::steady_clock;

const char kSecret[] = "Sekr1t-Pa55";

// Connect strings that carry the secret where it does not belong: values
// run together because a separator is missing, or the field is misspelt.
std::vector<std::string> misplacedSecrets(int port) {
    const std::string p = std::to_string(port);
    const std::string s = kSecret;
    return {
        "host = 127.0.0.1 password = " + s + "; port = " + p,
        "host = 127.0.0.1; port = " + p + " password = " + s,
        "lrpcq_port = " + p + " password = " + s,
        "port = " + p + "; timeout = 500 password = " + s,
        "appname = bench password = " + s + "; port = " + p,
        "appname = " + s + "\x01; port = " + p,
        "host = " + s + "/x; port = " + p,
    };
}

TEST(ConnectStringSecrets, ValuesNeverShowInTheReasonOfARefusal) {
    for (const auto& text : misplacedSecrets(4222)) {
        xosys::ConnectParams params;
        std::string error;
        EXPECT_EQ(xosys::parseConnectString(text.c_str(), &params, &error), XOSYS_E_CONNECT_STRING)
            << text;
        EXPECT_FALSE(error.empty()) << text;
        EXPECT_EQ(error.find(kSecret), std::string::npos) << error;
    }
}

// The library with its log in a file of the test's directory, at the most
// talkative level.
class LibraryFaults : public faults::FaultTest {
  protected:
    void SetUp() override {
        writeFile(m_iniPath, "[log]\nfile = " + m_logPath + "\nlevel = trace\nflush = 1\n");
        ASSERT_EQ(XoIniOpen(m_iniPath.c_str()), 0u);
        ASSERT_EQ(XoLogOpen(0), 0u);
        ASSERT_EQ(XoMQStartup(), 0u);
        ASSERT_EQ(XoMQCreateConnection(&m_conn), 0u);
    }
    void TearDown() override {
        XoMQFreeConnection(m_conn);
        XoMQCleanup();
        XoLogClose();
        XoIniClose();
        faults::FaultTest::TearDown();
    }

    void connectAndResolve(int port, const std::string& service) {
        const std::string text = "lrpcq_port = " + std::to_string(port) + "; timeout = 2000";
        ASSERT_EQ(XoMQConnectEx2(m_conn, text.c_str(), nullptr), 0u);
        uint64_t size = sizeof m_address;
        ASSERT_EQ(XoMQServiceResolve(m_conn, service.c_str(), m_address, &size, nullptr, 0), 0u);
    }

    // A request to address with body as its body.
    XoMsgHandle request(const char* address, const std::string& body) {
        XoMsgHandle msg = nullptr;
        EXPECT_EQ(XoMsgCreateMessage(&msg), 0u);
        EXPECT_EQ(XoMsgSetFieldStr(msg, "Xo_To", address), 0u);
        EXPECT_EQ(XoMsgSetBody(msg, body.data(), body.size()), 0u);
        return msg;
    }

    struct Answer {
        uint32_t rc = 0;
        std::string category;
        std::string body;
        Millis took{0};
    };

    Answer send(const char* address, const std::string& body, int32_t timeoutMs) {
        Answer a;
        XoMsgHandle req = request(address, body);
        XoMsgHandle reply = nullptr;
        const auto start = Clock::now();
        a.rc = XoMQSendMsg(m_conn, req, &reply, timeoutMs);
        a.took = std::chrono::duration_cast<Millis>(Clock::now() - start);
        if (a.rc == 0) {
            const void* category = nullptr;
            if (XoMsgGetBinaryField(reply, "Xo_Category", &category, nullptr) == 0) {
                a.category = static_cast<const char*>(category);
            }
            char buf[256];
            uint64_t size = sizeof buf;
            EXPECT_EQ(XoMsgCopyBody(reply, buf, &size), 0u);
            a.body.assign(buf, static_cast<size_t>(size));
        } else {
            EXPECT_EQ(reply, nullptr) << "a failed send hands back no reply";
        }
        XoMsgFreeMessage(reply);
        XoMsgFreeMessage(req);
        return a;
    }

    XoMQConnHandle m_conn = nullptr;
    char m_address[1025] = {0};
};

TEST_F(LibraryFaults, ConnectFailuresNeverShowThePassword) {
    NatsServer::Options options;
    options.token = kSecret;
    NatsServer router(m_dir, options);
    faults::SilentListener silent;
    const std::string s = kSecret;
    std::vector<std::string> texts = misplacedSecrets(router.port());
    // Well-formed strings whose connect fails: nobody there, a listener
    // that never answers, a router that wants another password.
    texts.push_back("port = " + std::to_string(freeLoopbackPort()) + "; password = " + s);
    texts.push_back("port = " + std::to_string(silent.port()) + "; password = " + s +
                    "; timeout = 200");
    texts.push_back("port = " + std::to_string(router.port()) + "; password = " + s + "x");
    for (const auto& text : texts) {
        EXPECT_NE(XoMQConnectEx2(m_conn, text.c_str(), nullptr), 0u) << text;
    }
    // The right one connects: the strings above failed for their faults.
    const std::string right = "port = " + std::to_string(router.port()) + "; password = " + s;
    EXPECT_EQ(XoMQConnectEx2(m_conn, right.c_str(), nullptr), 0u);
    XoLogClose();

    const std::string log = readFile(m_logPath);
    EXPECT_GE(linesWith(log, "XoMQConnectEx2").size(), texts.size()) << log;
    EXPECT_EQ(log.find(kSecret), std::string::npos) << log;
}

TEST_F(LibraryFaults, ReplyLargerThanTheBufferIsCopiedUpToTheCapacity) {
    NatsServer router(m_dir);
    Responder responder(m_dir, router.url(), "fault-echo");
    connectAndResolve(router.port(), "fault-echo");

    XoMsgHandle req = request(m_address, "0123456789");
    XoMsgHandle reply = nullptr;
    ASSERT_EQ(XoMQSendMsg(m_conn, req, &reply, 5000), 0u);
    char buf[16];
    std::memset(buf, '#', sizeof buf);
    uint64_t capacity = 4;
    EXPECT_EQ(XoMsgCopyBody(reply, buf, &capacity), XOSYS_E_TRUNCATED);
    EXPECT_EQ(capacity, 4u);
    EXPECT_EQ(std::string(buf, 5), "0123#") << "four bytes copied, not one more";
    capacity = 0;
    EXPECT_EQ(XoMsgCopyBody(reply, nullptr, &capacity), XOSYS_E_TRUNCATED);
    EXPECT_EQ(capacity, 0u);
    capacity = 10;
    EXPECT_EQ(XoMsgCopyBody(reply, buf, &capacity), 0u);
    EXPECT_EQ(capacity, 10u);
    EXPECT_EQ(std::string(buf, 11), "0123456789#");
    XoMsgFreeMessage(reply);
    XoMsgFreeMessage(req);
}

TEST_F(LibraryFaults, LateReplyArrivingDuringTheNextRequestIsDropped) {
    NatsServer router(m_dir);
    // One request at a time, each answered after 300 ms.
    Responder responder(m_dir, router.url(), "fault-slow", {"--delay-ms", "300"});
    connectAndResolve(router.port(), "fault-slow");

    const Answer first = send(m_address, "first", 100);
    EXPECT_EQ(first.rc, XOSYS_E_TIMEOUT);
    EXPECT_GE(first.took, Millis(95));
    EXPECT_LT(first.took, Millis(290)) << "gave up before the answer came";
    // The answer to "first" comes about 200 ms into this wait; the answer
    // to "second" only after another 300 ms.
    const Answer second = send(m_address, "second", 3000);
    ASSERT_EQ(second.rc, 0u);
    EXPECT_EQ(second.body, "second");
    EXPECT_EQ(second.category, "Xo_Reply");
    EXPECT_GE(second.took, Millis(350)) << "answered before the late reply was even sent";
    // Two late replies in a row, then one in time.
    EXPECT_EQ(send(m_address, "third", 50).rc, XOSYS_E_TIMEOUT);
    EXPECT_EQ(send(m_address, "fourth", 50).rc, XOSYS_E_TIMEOUT);
    const Answer fifth = send(m_address, "fifth", 3000);
    ASSERT_EQ(fifth.rc, 0u);
    EXPECT_EQ(fifth.body, "fifth");
    const auto summary = responder.stop();
    ASSERT_TRUE(summary.has_value());
    EXPECT_EQ(summary->answered, 5);
}

TEST_F(LibraryFaults, NoRespondersStatusOfAnAbandonedRequestIsNotTakenForTheNext) {
    NatsServer router(m_dir);
    Responder responder(m_dir, router.url(), "fault-echo");
    connectAndResolve(router.port(), "fault-echo");

    // A request to an address nobody listens at, given up at once: the
    // router's status for it ("no responders", which carries no request
    // number) is still on its way when the call returns.
    const char nowhere[] = "_XO.svc.fault-nobody.gone";
    bool abandoned = false;
    for (int i = 0; i < 20 && !abandoned; ++i) {
        const Answer lost = send(nowhere, "lost", 0);
        abandoned = lost.rc == XOSYS_E_TIMEOUT;
        if (!abandoned) {
            // The status was quicker than the call this time.
            ASSERT_EQ(lost.rc, 0u);
            ASSERT_EQ(lost.category, "Xo_System");
        }
    }
    ASSERT_TRUE(abandoned) << "the router's status always came within the call";
    std::this_thread::sleep_for(Millis(50));  // it has arrived by now

    const Answer next = send(m_address, "next", 3000);
    ASSERT_EQ(next.rc, 0u);
    EXPECT_EQ(next.category, "Xo_Reply") << "the stale status was taken for this answer";
    EXPECT_EQ(next.body, "next");
    // And a request that really finds nobody still gets its system error reply.
    const Answer nobody = send(nowhere, "nobody", 3000);
    ASSERT_EQ(nobody.rc, 0u);
    EXPECT_EQ(nobody.category, "Xo_System");
}

}  // namespace
