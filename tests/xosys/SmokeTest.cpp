// The library against a real router (nats-server) and xomq-responder, on
// loopback: resolve, requests and replies, system error replies, messages
// to the own address, time-outs, and a service or router that goes away.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>

#include "Harness.h"
#include "TestFiles.h"
#include "XoSys.h"
#include "XoSysCodes.h"

namespace {

using Clock = std::chrono::steady_clock;
using xotest::Millis;
using xotest::Process;

const char kToken[] = "smoke-token";

struct Reply {
    uint32_t rc = 0;
    std::string category;
    uint32_t type = 0xFFFFFFFFu;
    std::string body;
};

class Smoke : public ::testing::Test {
  protected:
    void SetUp() override {
        if (xotest::natsServerPath().empty()) {
            GTEST_SKIP() << "nats-server not found when the build was configured";
        }
        xotest::NatsServer::Options options;
        options.token = kToken;
        options.startBound = Millis(5000);
        ASSERT_NO_THROW(router.emplace(dir, options)) << "nats-server did not start";
        port = router->port();
        ASSERT_GT(port, 0);
        ASSERT_EQ(XoMQStartup(), 0u);
    }

    void TearDown() override {
        XoMQFreeConnection(conn);
        XoMQCleanup();
        responder.reset();
        router.reset();
        if (HasFailure()) {
            dir.keep();
            std::cerr << "[ smoke ] files kept in " << dir.path() << "\n";
        }
    }

    void startResponder(std::vector<std::string> extra) {
        std::vector<std::string> args = {"--server",   "127.0.0.1:" + std::to_string(port),
                                         "--service",  "smoke",
                                         "--password", kToken};
        args.insert(args.end(), extra.begin(), extra.end());
        // Returns once the responder printed its ready line; throws with its
        // output when it does not.
        ASSERT_NO_THROW(responder.emplace(dir, "127.0.0.1:" + std::to_string(port), "smoke", args));
    }

    std::string connectString(const char* password = kToken) const {
        return "appname = smoke; host = 127.0.0.1; port = " + std::to_string(port) +
               "; password = " + password + "; timeout = 2000";
    }

    void connectAndResolve() {
        ASSERT_EQ(XoMQCreateConnection(&conn), 0u);
        ASSERT_EQ(XoMQConnectEx2(conn, connectString().c_str(), nullptr), 0u);
        uint64_t size = sizeof address;
        ASSERT_EQ(XoMQServiceResolve(conn, "smoke", address, &size, nullptr, 0), 0u);
        EXPECT_EQ(size, std::strlen(address));
    }

    Reply send(const std::string& body, int32_t timeoutMs = 5000) {
        Reply r;
        XoMsgHandle request = nullptr;
        XoMsgHandle reply = nullptr;
        EXPECT_EQ(XoMsgCreateMessage(&request), 0u);
        EXPECT_EQ(XoMsgSetFieldStr(request, "Xo_To", address), 0u);
        EXPECT_EQ(XoMsgSetFieldStr(request, "Xo_Category", "VORNA_FUTURES"), 0u);
        EXPECT_EQ(XoMsgSetBody(request, body.data(), body.size()), 0u);
        r.rc = XoMQSendMsg(conn, request, &reply, timeoutMs);
        if (r.rc == 0) {
            read(reply, r);
        }
        XoMsgFreeMessage(reply);
        XoMsgFreeMessage(request);
        return r;
    }

    static void read(XoMsgHandle msg, Reply& r) {
        const void* category = nullptr;
        if (XoMsgGetBinaryField(msg, "Xo_Category", &category, nullptr) == 0) {
            r.category = static_cast<const char*>(category);
        }
        XoMsgCopyFieldUINT32(msg, "Xo_Type", &r.type);
        char body[256];
        uint64_t size = sizeof body;
        if (XoMsgCopyBody(msg, body, &size) == 0) {
            r.body.assign(body, static_cast<size_t>(size));
        }
    }

    static uint32_t code(const Reply& r) {
        uint32_t c = 0;
        if (r.body.size() == 4) {
            std::memcpy(&c, r.body.data(), 4);
        }
        return c;
    }

    // Keeps the files of a failed test: the output of both children.
    xotest::TempDir dir{"xosys-smoke"};
    int port = 0;
    std::optional<xotest::NatsServer> router;
    std::optional<xotest::Responder> responder;
    XoMQConnHandle conn = nullptr;
    char address[1025] = {0};
};

TEST_F(Smoke, RepliesErrorRepliesAndMessagesToTheOwnAddress) {
    startResponder({"--error-every", "3", "--unsolicited-every", "2", "--type", "7"});
    connectAndResolve();

    XoMsgHandle polled = nullptr;
    EXPECT_EQ(XoMQGetMsg(conn, &polled, 0), XOSYS_E_NO_MESSAGE);
    EXPECT_EQ(polled, nullptr);

    const std::string binary("req\0one\xff", 8);
    Reply r1 = send(binary);
    ASSERT_EQ(r1.rc, 0u);
    EXPECT_EQ(r1.category, "Xo_Reply");
    EXPECT_EQ(r1.type, 7u);
    EXPECT_EQ(r1.body, binary);

    Reply r2 = send("two");
    ASSERT_EQ(r2.rc, 0u);
    EXPECT_EQ(r2.body, "two");
    // The responder sent a message to our own address before the reply.
    ASSERT_EQ(XoMQGetMsg(conn, &polled, 0), 0u);
    Reply note;
    read(polled, note);
    XoMsgFreeMessage(polled);
    polled = nullptr;
    EXPECT_EQ(note.category, "Xo_Unsolicited");
    EXPECT_EQ(note.type, 2u);
    EXPECT_EQ(XoMQGetMsg(conn, &polled, 0), XOSYS_E_NO_MESSAGE);

    Reply r3 = send("three");
    ASSERT_EQ(r3.rc, 0u);
    EXPECT_EQ(r3.category, "Xo_System");
    EXPECT_EQ(r3.type, 0u);
    EXPECT_EQ(code(r3), XOSYS_E_SERVICE_FAILED);

    // Connecting again replaces the connection; work goes on.
    ASSERT_EQ(XoMQConnectEx2(conn, connectString().c_str(), nullptr), 0u);
    Reply r4 = send("four");
    ASSERT_EQ(r4.rc, 0u);
    EXPECT_EQ(r4.body, "four");

    responder->process().stop();
    EXPECT_NE(responder->process().out().find(
                  "xomq-responder: answered 4 requests, 1 system errors, 2 unsolicited"),
              std::string::npos)
        << responder->process().describe();
}

TEST_F(Smoke, ResolveFailsForUnknownServiceAndSmallBuffer) {
    startResponder({});
    ASSERT_EQ(XoMQCreateConnection(&conn), 0u);
    ASSERT_EQ(XoMQConnectEx2(conn, connectString().c_str(), nullptr), 0u);
    const auto start = Clock::now();
    uint64_t size = sizeof address;
    EXPECT_EQ(XoMQServiceResolve(conn, "nobody", address, &size, nullptr, 0),
              XOSYS_E_SERVICE_NOT_FOUND);
    // The router says at once that nobody listens: no waiting for a time-out.
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_EQ(XoMQServiceResolve(conn, "", address, &size, nullptr, 0), XOSYS_E_INVALID_ARG);

    char tiny[8];
    std::memset(tiny, 'X', sizeof tiny);
    size = 4;
    EXPECT_EQ(XoMQServiceResolve(conn, "smoke", tiny, &size, nullptr, 0), XOSYS_E_BUFFER_TOO_SMALL);
    EXPECT_GT(size, 4u);  // the capacity it needs
    EXPECT_EQ(tiny[0], '\0');
    EXPECT_EQ(tiny[4], 'X');
    const uint64_t needed = size;
    size = sizeof address;
    ASSERT_EQ(XoMQServiceResolve(conn, "smoke", address, &size, nullptr, 0), 0u);
    EXPECT_EQ(size + 1, needed);
}

TEST_F(Smoke, LateReplyIsNeverTakenForALaterRequest) {
    startResponder({"--delay-ms", "400"});
    connectAndResolve();
    const auto start = Clock::now();
    Reply late = send("first", 100);
    const auto waited = Clock::now() - start;
    EXPECT_EQ(late.rc, XOSYS_E_TIMEOUT);
    EXPECT_GE(waited, std::chrono::milliseconds(90));
    EXPECT_LT(waited, std::chrono::milliseconds(380));
    // The reply to "first" arrives while this request waits; it is dropped.
    Reply second = send("second", 5000);
    ASSERT_EQ(second.rc, 0u);
    EXPECT_EQ(second.body, "second");
}

TEST_F(Smoke, ServiceOrRouterGoneIsReportedAtOnce) {
    startResponder({});
    connectAndResolve();
    ASSERT_EQ(send("alive").rc, 0u);
    EXPECT_TRUE(responder->process().stop().exitedWith(0)) << responder->process().describe();

    // Nothing listens at the address now: a system error reply.
    auto start = Clock::now();
    Reply gone = send("anyone?", 5000);
    ASSERT_EQ(gone.rc, 0u);
    EXPECT_EQ(gone.category, "Xo_System");
    EXPECT_EQ(gone.type, 0u);
    EXPECT_EQ(code(gone), XOSYS_E_NO_RESPONDER);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2000));

    // The router goes away: no reconnect loop hides it.
    router->stop();
    start = Clock::now();
    const uint32_t rc = send("router?", 5000).rc;
    EXPECT_TRUE(rc == XOSYS_E_CONNECTION_LOST) << std::hex << rc;
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2000));
    XoMsgHandle polled = nullptr;
    EXPECT_EQ(XoMQGetMsg(conn, &polled, 0), XOSYS_E_CONNECTION_LOST);
}

TEST_F(Smoke, WrongPasswordIsRefused) {
    ASSERT_EQ(XoMQCreateConnection(&conn), 0u);
    EXPECT_EQ(XoMQConnectEx2(conn, connectString("wrong").c_str(), nullptr), XOSYS_E_AUTH);
    // A local router port in place of host and port.
    const std::string local =
        "lrpcq_port = " + std::to_string(port) + "; host = 192.0.2.1; " + "password = " + kToken;
    EXPECT_EQ(XoMQConnectEx2(conn, local.c_str(), nullptr), 0u);
}

TEST_F(Smoke, ResponderCommandLine) {
    const std::string server = "nats://127.0.0.1:" + std::to_string(port);
    const std::vector<std::vector<std::string>> bad = {
        {"--service", "s"},
        {"--server", server},
        {"--server", server, "--service", "s", "--limit", "abc"},
        {"--server", server, "--service", "s", "--bogus", "1"},
        {"--server", server, "--service", std::string(256, 's')},
        {"--server", "host:99999", "--service", "s"},
        {"--server", server, "--service"},
        {"--server", server + ",tls://127.0.0.1:1", "--service", "s"},
        {"--server", server + ",", "--service", "s"},
        {"--server", server, "--service", "s", "--tls-cert", "c.pem"},
        {"--server", server, "--service", "s", "--spin-us", "100001"},
    };
    int n = 0;
    for (const auto& args : bad) {
        std::vector<std::string> argv = {xotest::responderPath()};
        argv.insert(argv.end(), args.begin(), args.end());
        std::optional<Process> p;
        ASSERT_NO_THROW(p.emplace(dir, "bad-" + std::to_string(n++), argv));
        EXPECT_EQ(p->waitExitCode(Millis(5000)), 2) << args.back();
    }
    std::optional<Process> noRouter;
    ASSERT_NO_THROW(noRouter.emplace(
        dir, "no-router",
        std::vector<std::string>{xotest::responderPath(), "--server",
                                 "127.0.0.1:" + std::to_string(xotest::freeLoopbackPort()),
                                 "--service", "s"}));
    EXPECT_EQ(noRouter->waitExitCode(Millis(5000)), 1);

    // --limit: exits by itself after that many requests.
    startResponder({"--limit", "2"});
    connectAndResolve();
    EXPECT_EQ(send("a").rc, 0u);
    EXPECT_EQ(send("b").rc, 0u);
    EXPECT_EQ(responder->process().waitExitCode(Millis(5000)), 0);
    EXPECT_NE(responder->process().out().find("answered 2 requests"), std::string::npos)
        << responder->process().describe();
}

}  // namespace
