// Our library reads the socket on the calling thread and keeps idle
// connections alive with a small service thread. Against a real router:
// an idle connection survives the router's PINGs, waits end at their
// time-outs, and connections leave no descriptor behind; a wait that spins
// ends at its time-out, on a signal and with the router as one that sleeps.
#include <dirent.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <optional>
#include <string>
#include <thread>

#include "Harness.h"
#include "XoSys.h"
#include "XoSysCodes.h"

namespace {

using Clock = std::chrono::steady_clock;

long millisSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

int openDescriptors() {
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) {
        return -1;
    }
    int n = 0;
    while (readdir(d) != nullptr) {
        ++n;
    }
    closedir(d);
    return n;
}

class CallerIo : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(xotest::natsServerPath().empty()) << "nats-server not found";
        ASSERT_EQ(XoMQStartup(), 0u);
    }
    void TearDown() override {
        XoMQFreeConnection(conn);
        XoMQCleanup();
        responder.reset();
        router.reset();
    }

    // A router on a free port, with the configuration text when given.
    void startRouter(const std::string& config = std::string()) {
        xotest::NatsServer::Options options;
        options.config = config;
        options.startBound = xotest::Millis(5000);
        ASSERT_NO_THROW(router.emplace(dir, options));
        port = router->port();
    }

    void startResponder(const std::string& service, std::vector<std::string> extra) {
        ASSERT_NO_THROW(responder.emplace(dir, "127.0.0.1:" + std::to_string(port), service,
                                          std::move(extra), "responder-" + service));
    }

    // extra: more connect-string fields.
    void connect(const std::string& extra = std::string()) {
        ASSERT_EQ(XoMQCreateConnection(&conn), 0u);
        const std::string cs =
            "host = 127.0.0.1; port = " + std::to_string(port) + "; timeout = 2000" + extra;
        ASSERT_EQ(XoMQConnectEx2(conn, cs.c_str(), nullptr), 0u);
    }

    void resolve(const char* service) {
        uint64_t size = sizeof address;
        ASSERT_EQ(XoMQServiceResolve(conn, service, address, &size, nullptr, 0), 0u);
    }

    uint32_t send(int32_t timeoutMs) {
        XoMsgHandle request = nullptr;
        XoMsgHandle reply = nullptr;
        uint32_t rc = XoMsgCreateMessage(&request);
        if (rc == 0)
            rc = XoMsgSetFieldStr(request, "Xo_To", address);
        if (rc == 0)
            rc = XoMQSendMsg(conn, request, &reply, timeoutMs);
        XoMsgFreeMessage(reply);
        XoMsgFreeMessage(request);
        return rc;
    }

    xotest::TempDir dir{"xomq-benchtest"};
    std::optional<xotest::NatsServer> router;
    std::optional<xotest::Responder> responder;
    int port = 0;
    XoMQConnHandle conn = nullptr;
    char address[1025] = {0};
};

TEST_F(CallerIo, IdleConnectionOutlivesTheRoutersPings) {
    // The router pings every 300 ms and drops a client after two unanswered
    // PINGs; between calls nobody but the idle service reads our socket.
    ASSERT_NO_FATAL_FAILURE(startRouter("ping_interval: \"300ms\"\nping_max: 2\n"));
    ASSERT_NO_FATAL_FAILURE(startResponder("idle", {}));
    connect();
    resolve("idle");
    ASSERT_EQ(send(5000), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    EXPECT_EQ(send(5000), 0u) << router->process().describe();
    XoMsgHandle none = nullptr;
    EXPECT_EQ(XoMQGetMsg(conn, &none, 0), XO_NO_MESSAGE);
}

TEST_F(CallerIo, WaitsEndAtTheirTimeOuts) {
    ASSERT_NO_FATAL_FAILURE(startRouter());
    ASSERT_NO_FATAL_FAILURE(startResponder("slow", {"--delay-ms", "600"}));
    connect();
    resolve("slow");

    auto start = Clock::now();
    XoMsgHandle msg = nullptr;
    EXPECT_EQ(XoMQGetMsg(conn, &msg, 200), XO_NO_MESSAGE);
    EXPECT_GE(millisSince(start), 190);
    EXPECT_LT(millisSince(start), 1500);

    start = Clock::now();
    EXPECT_EQ(send(150), XOSYS_E_TIMEOUT);
    EXPECT_GE(millisSince(start), 140);
    EXPECT_LT(millisSince(start), 550);  // well before the reply comes

    // The late reply arrives during the next wait and is not taken for it.
    start = Clock::now();
    EXPECT_EQ(send(5000), 0u);
    EXPECT_GE(millisSince(start), 500);  // its own reply, not the late one
}

TEST_F(CallerIo, SpinningWaitsEndAtTheirTimeOuts) {
    ASSERT_NO_FATAL_FAILURE(startRouter());
    struct Case {
        int spinUs;
        uint32_t waitMs;
    };
    // A window longer than the wait, and one the wait sleeps after.
    for (const Case c : {Case{100000, 60}, Case{20000, 250}}) {
        SCOPED_TRACE("spin_us " + std::to_string(c.spinUs));
        connect("; spin_us = " + std::to_string(c.spinUs));
        const auto start = Clock::now();
        XoMsgHandle msg = nullptr;
        EXPECT_EQ(XoMQGetMsg(conn, &msg, c.waitMs), XO_NO_MESSAGE);
        EXPECT_GE(millisSince(start), static_cast<long>(c.waitMs) - 10);
        EXPECT_LT(millisSince(start), static_cast<long>(c.waitMs) + 1000);
        XoMQFreeConnection(conn);
        conn = nullptr;
    }
}

std::atomic<int> g_signals{0};

void countSignal(int) {
    ++g_signals;
}

TEST_F(CallerIo, ASignalEndsASpinningWaitAtOnce) {
    // Sent while the wait spins; the whole wait is spin, so a signal whose
    // handler ran unseen between two polls would let it end by time-out.
    struct sigaction sa {};
    sa.sa_handler = countSignal;
    sigemptyset(&sa.sa_mask);  // no SA_RESTART: a waiting call sees EINTR
    struct sigaction old {};
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    sigset_t maskBefore;
    pthread_sigmask(SIG_SETMASK, nullptr, &maskBefore);
    ASSERT_NO_FATAL_FAILURE(startRouter());
    connect("; spin_us = 100000");
    const pthread_t waiter = pthread_self();
    for (int trial = 0; trial < 6; ++trial) {
        const int before = g_signals;
        std::thread signaller([waiter] {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            pthread_kill(waiter, SIGUSR1);
        });
        XoMsgHandle msg = nullptr;
        const uint32_t rc = XoMQGetMsg(conn, &msg, 100);
        signaller.join();
        EXPECT_EQ(g_signals, before + 1);
        EXPECT_EQ(rc, XOSYS_E_INTERRUPTED) << "trial " << trial;
    }
    // The wait gave the thread its own signal mask back.
    sigset_t maskAfter;
    pthread_sigmask(SIG_SETMASK, nullptr, &maskAfter);
    for (int sig = 1; sig < SIGRTMIN; ++sig) {
        EXPECT_EQ(sigismember(&maskAfter, sig), sigismember(&maskBefore, sig)) << sig;
    }
    sigaction(SIGUSR1, &old, nullptr);
}

TEST_F(CallerIo, ASpinningWaitEndsWhenTheRouterGoes) {
    ASSERT_NO_FATAL_FAILURE(startRouter());
    connect("; spin_us = 100000");
    std::thread stopper([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        router->process().kill();
    });
    const auto start = Clock::now();
    XoMsgHandle msg = nullptr;
    const uint32_t rc = XoMQGetMsg(conn, &msg, 5000);
    stopper.join();
    EXPECT_EQ(rc, XOSYS_E_CONNECTION_LOST);
    EXPECT_LT(millisSince(start), 2500) << "the wait ended with the router, not at its time-out";
}

TEST_F(CallerIo, ConnectionsLeaveNoDescriptorBehind) {
    ASSERT_NO_FATAL_FAILURE(startRouter());
    connect();  // the first one may set up process-wide state
    XoMQFreeConnection(conn);
    conn = nullptr;
    const int before = openDescriptors();
    ASSERT_GT(before, 0);
    for (int i = 0; i < 10; ++i) {
        connect();
        if (i % 2 == 0) {
            // Connecting again on the same handle replaces the connection.
            const std::string cs = "host = 127.0.0.1; port = " + std::to_string(port);
            ASSERT_EQ(XoMQConnectEx2(conn, cs.c_str(), nullptr), 0u);
        }
        XoMQFreeConnection(conn);
        conn = nullptr;
    }
    EXPECT_EQ(openDescriptors(), before);
}

}  // namespace
