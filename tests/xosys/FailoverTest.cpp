// A connection that names several routers (or asks to reconnect) survives
// the loss of its router: against two real nats-servers on loopback, what a
// caller sees when the router goes before a send, during a send, and when
// every router is gone, and that a request is never published twice.
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <list>
#include <optional>
#include <string>
#include <thread>

#include "Harness.h"
#include "TestFiles.h"
#include "XoSys.h"
#include "XoSysCodes.h"

namespace {

using Clock = std::chrono::steady_clock;
using xotest::Millis;

long millisSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class Failover : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(xotest::natsServerPath().empty()) << "nats-server not found";
        xotest::writeFile(dir.file("log.ini"), "[log]\nfile = " + logPath +
                                                   "\nlevel = warning\nflush = 1\nappend = 0\n");
        ASSERT_EQ(XoIniOpen(dir.file("log.ini").c_str()), 0u);
        ASSERT_EQ(XoLogOpen(0), 0u);
        ASSERT_EQ(XoMQStartup(), 0u);
        for (auto* router : {&a, &b}) {
            xotest::NatsServer::Options options;
            options.startBound = Millis(5000);
            ASSERT_NO_THROW(router->emplace(dir, options));
        }
    }
    void TearDown() override {
        XoMQFreeConnection(conn);
        XoMQCleanup();
        XoLogClose();
        XoIniClose();
        responders.clear();
        a.reset();
        b.reset();
        if (HasFailure()) {
            dir.keep();
            std::cerr << "[ failover ] files kept in " << dir.path() << "\n";
        }
    }

    std::string both() const { return a->url() + "," + b->url(); }

    xotest::Responder& startResponder(const std::string& servers, std::vector<std::string> args) {
        responders.emplace_back(dir, servers, "fo", args,
                                "responder-" + std::to_string(responders.size()));
        return responders.back();
    }

    void connect(const std::string& fields) {
        ASSERT_EQ(XoMQCreateConnection(&conn), 0u);
        ASSERT_EQ(XoMQConnectEx2(conn, ("appname = failover; timeout = 1000; " + fields).c_str(),
                                 nullptr),
                  0u)
            << log();
        uint64_t size = sizeof address;
        ASSERT_EQ(XoMQServiceResolve(conn, "fo", address, &size, nullptr, 0), 0u) << log();
    }

    uint32_t send(int32_t timeoutMs) {
        XoMsgHandle request = nullptr;
        XoMsgHandle reply = nullptr;
        EXPECT_EQ(XoMsgCreateMessage(&request), 0u);
        EXPECT_EQ(XoMsgSetFieldStr(request, "Xo_To", address), 0u);
        const uint32_t rc = XoMQSendMsg(conn, request, &reply, timeoutMs);
        if (rc == 0) {
            // A system error reply counts as a failure here: every test
            // expects a real answer.
            const void* category = nullptr;
            XoMsgGetBinaryField(reply, "Xo_Category", &category, nullptr);
            EXPECT_STREQ(static_cast<const char*>(category), "Xo_Reply");
        }
        XoMsgFreeMessage(reply);
        XoMsgFreeMessage(request);
        return rc;
    }

    std::string log() const { return xotest::readFile(logPath); }

    bool waitForLog(const std::string& text, Millis bound) const {
        const auto end = Clock::now() + bound;
        while (Clock::now() < end) {
            if (log().find(text) != std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(Millis(20));
        }
        return false;
    }

    xotest::TempDir dir{"xosys-failover"};
    const std::string logPath = dir.file("lib.log");
    std::optional<xotest::NatsServer> a;
    std::optional<xotest::NatsServer> b;
    std::list<xotest::Responder> responders;
    XoMQConnHandle conn = nullptr;
    char address[1025] = {0};
};

TEST_F(Failover, RouterLostBetweenRequestsIsReplacedByTheNextOfTheList) {
    xotest::Responder& responder = startResponder(both(), {});
    connect("servers = " + a->url() + " " + b->url());
    ASSERT_EQ(send(5000), 0u) << log();

    a->process().kill();
    ASSERT_TRUE(waitForLog("reconnected to " + b->url(), Millis(3000))) << log();
    ASSERT_TRUE(responder.process().waitForOutput("reconnected to " + b->url(), Millis(3000), true))
        << responder.process().describe();
    // The address resolved before the loss reaches the service on the new
    // router: the run goes on without an error.
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(send(5000), 0u) << log();
    }
    const std::string text = log();
    EXPECT_EQ(countOf(text, "XoMQ: connection to " + a->url() + " lost; reconnecting"), 1) << text;
    EXPECT_EQ(countOf(text, "ERROR"), 0) << text;
    const auto summary = responder.stop();
    ASSERT_TRUE(summary.has_value()) << responder.process().describe();
    EXPECT_EQ(summary->answered, 4);
}

TEST_F(Failover, ReplyLostInTheSwitchTimesOutAndTheRequestIsNeverSentAgain) {
    // The service lives on router A only, and holds each request a while:
    // the router goes while the request is inside it, and the reply with it.
    startResponder(a->url(), {"--delay-ms", "600"});
    connect("servers = " + a->url() + " " + b->url());
    const auto started = Clock::now();
    std::thread killer([this] {
        std::this_thread::sleep_for(Millis(200));
        a->process().kill();
    });
    // A second instance is ready on B before the time-out: a request sent
    // again after the reconnect would reach it and be answered.
    xotest::Responder& second = startResponder(b->url(), {});
    const uint32_t rc = send(2500);
    killer.join();
    EXPECT_EQ(rc, XOSYS_E_TIMEOUT) << log();
    EXPECT_GE(millisSince(started), 2400);
    EXPECT_LT(millisSince(started), 4000);
    const std::string text = log();
    EXPECT_EQ(countOf(text, "reconnected to " + b->url()), 1) << text;
    EXPECT_EQ(countOf(text, "XoMQSendMsg: no reply from _XO.svc.fo within 2500 ms"), 1) << text;
    // The next request is answered by the instance on B.
    EXPECT_EQ(send(5000), 0u) << log();
    const auto summary = second.stop();
    ASSERT_TRUE(summary.has_value()) << second.process().describe();
    EXPECT_EQ(summary->answered, 1) << "the lost request was sent again";
}

TEST_F(Failover, AllRoutersGoneFailsTheWaitingCallWithinTheReconnectBound) {
    startResponder(a->url(), {"--delay-ms", "3000"});
    // Bound: 3 attempts x (200 ms + 2 routers x 1000 ms time-out).
    connect("servers = " + a->url() + " " + b->url() +
            "; reconnect_attempts = 3; reconnect_wait = 200");
    std::thread killer([this] {
        std::this_thread::sleep_for(Millis(300));
        b->process().kill();
        a->process().kill();
    });
    const auto started = Clock::now();
    const uint32_t rc = send(30000);
    const long waited = millisSince(started);
    killer.join();
    EXPECT_EQ(rc, XOSYS_E_CONNECTION_LOST) << log();
    EXPECT_GE(waited, 300 + 3 * 200 - 50) << log();
    EXPECT_LT(waited, 300 + 3 * (200 + 2 * 1000) + 1000) << log();
    // libnats reports giving up on its own thread, at about the time the
    // call fails.
    EXPECT_TRUE(waitForLog("gave up reconnecting", Millis(2000))) << log();
    const std::string text = log();
    EXPECT_EQ(countOf(text, "lost; reconnecting (at most 3 attempts per router, 200 ms apart)"), 1)
        << text;
    EXPECT_EQ(countOf(text, "gave up reconnecting"), 1) << text;
    EXPECT_EQ(countOf(text, "XoMQSendMsg: the request to _XO.svc.fo failed: "), 1) << text;
    // Later calls fail at once.
    XoMsgHandle none = nullptr;
    EXPECT_EQ(XoMQGetMsg(conn, &none, 1000), XOSYS_E_CONNECTION_LOST);
}

TEST_F(Failover, ConnectionFreedWhileReconnectingGoesAtOnceAndReportsNothingMore) {
    startResponder(a->url(), {});
    connect("servers = " + a->url() + "; reconnect_attempts = 1000; reconnect_wait = 100");
    // The replies wait in the batch of spent messages, to go with the
    // connection.
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(send(5000), 0u) << log();
    }
    a->process().kill();
    ASSERT_TRUE(waitForLog("lost; reconnecting", Millis(3000))) << log();
    const auto started = Clock::now();
    XoMQFreeConnection(conn);
    conn = nullptr;
    // Not after the attempts left (1000 x 100 ms), and closing it on
    // purpose is not a give-up.
    EXPECT_LT(millisSince(started), 2000);
    std::this_thread::sleep_for(Millis(300));
    const std::string text = log();
    EXPECT_EQ(countOf(text, "gave up reconnecting"), 0) << text;
    EXPECT_EQ(countOf(text, "reconnected to"), 0) << text;
}

}  // namespace
