// XoMQSender on a three-router cluster on loopback (nats-server nodes with
// routes between them), with the responder on one node and senders on the
// others; nodes are killed mid-run. Also: the instances of one service share
// the requests of several senders.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <list>
#include <string>
#include <thread>

#include "Harness.h"
#include "Subjects.h"
#include "XoSysCodes.h"

namespace {

using namespace xotest;
using Clock = std::chrono::steady_clock;

const char kService[] = "cluster-echo";
const Millis kBound(60000);

Millis since(Clock::time_point start) {
    return std::chrono::duration_cast<Millis>(Clock::now() - start);
}

// One XoMQSender with an INI and a log of its own.
struct SenderProcess {
    std::string log;
    Process process;
    Clock::time_point started;
};

class Cluster : public ::testing::Test {
  protected:
    void TearDown() override {
        if (HasFailure()) {
            m_dir.keep();
            std::cerr << "[ cluster ] files kept in " << m_dir.path() << "\n";
        }
    }

    SenderProcess& startSender(const std::string& name, const std::string& fields, long amount,
                               long sendTimeout = 5000) {
        const std::string ini = m_dir.file(name + ".ini");
        const std::string log = m_dir.file(name + ".log");
        IniFile config = standardIni(0, kService, amount, log);
        config.set("options:mq", "connect", fields)
            .set("options:ap", "sendtimeout", sendTimeout)
            .set("log", "level", "info")
            .set("log", "flush", 1);
        config.write(ini);
        m_senders.push_back({log, xotest::startSender(m_dir, {ini}, name), Clock::now()});
        return m_senders.back();
    }

    static SenderRun finish(SenderProcess& s, Millis bound = kBound) {
        return finishSender(s.process, bound, s.log, s.started);
    }

    // Waits until the service answers resolves on every node of the cluster.
    static void expectServiceEverywhere(NatsCluster& cluster) {
        for (int i = 0; i < cluster.size(); ++i) {
            ASSERT_TRUE(
                answersOn(cluster.node(i).port(), xosys::resolveSubject(kService), Millis(10000)))
                << "node " << i;
        }
    }

    // A run that completed: every request answered, a report.
    static void expectComplete(const SenderRun& r, uint64_t amount) {
        EXPECT_TRUE(r.status.exitedWith(0)) << r.describe();
        const auto report = parseReport(r.log);
        ASSERT_TRUE(report.has_value()) << r.describe();
        EXPECT_EQ(report->count, amount) << r.describe();
    }

    TempDir m_dir{"xomq-cluster"};
    std::list<SenderProcess> m_senders;
};

TEST_F(Cluster, SenderWhoseRouterDiesBetweenRequestsFailsOverAndCompletes) {
    const long amount = 5000;
    NatsCluster cluster(m_dir, 3);
    Responder responder(m_dir, cluster.url(0), kService);
    expectServiceEverywhere(cluster);
    SenderProcess& onB =
        startSender("on-b", "servers = " + cluster.url(1) + " " + cluster.url(2), amount);
    SenderProcess& onC = startSender("on-c", "servers = " + cluster.url(2), amount);
    ASSERT_TRUE(waitForLog(onB.log, "INFO  XoMQSendMsg", 200, Millis(20000))) << readFile(onB.log);
    // Held while its router dies: the reply it waited for is already in its
    // socket, so the loss comes between two requests.
    onB.process.signal(SIGSTOP);
    std::this_thread::sleep_for(Millis(300));
    cluster.node(1).process().kill();
    std::this_thread::sleep_for(Millis(200));
    onB.process.signal(SIGCONT);

    const SenderRun b = finish(onB);
    const SenderRun c = finish(onC);
    expectComplete(b, amount);
    expectComplete(c, amount);
    EXPECT_EQ(
        linesWith(b.log, "XoMQ: connection to " + cluster.url(1) + " lost; reconnecting").size(),
        1u)
        << b.describe();
    EXPECT_EQ(linesWith(b.log, "XoMQ: reconnected to " + cluster.url(2)).size(), 1u)
        << b.describe();
    EXPECT_EQ(linesWith(b.log, "ERROR").size(), 0u) << b.describe();
    EXPECT_EQ(linesWith(c.log, "WARN").size(), 0u) << c.describe();
    const auto summary = responder.stop();
    ASSERT_TRUE(summary.has_value()) << responder.process().describe();
    EXPECT_EQ(summary->answered, 2 * amount);
}

TEST_F(Cluster, SenderWhoseRouterDiesDuringASendCompletesOrTimesOut) {
    const long amount = 150;
    const long sendTimeout = 2000;
    NatsCluster cluster(m_dir, 3);
    // Each answer takes 20 ms: the kill finds a request on its way.
    Responder responder(m_dir, cluster.url(0), kService, {"--delay-ms", "20"});
    expectServiceEverywhere(cluster);
    SenderProcess& onB = startSender("on-b", "servers = " + cluster.url(1) + " " + cluster.url(2),
                                     amount, sendTimeout);
    ASSERT_TRUE(waitForLog(onB.log, "INFO  XoMQSendMsg", 40, Millis(20000))) << readFile(onB.log);
    const auto killedAt = Clock::now();
    cluster.node(1).process().kill();
    const SenderRun b = finish(onB);

    // The reply reaches the sender when the service answers after the
    // sender is back on node C; otherwise it is lost with node B and the
    // send times out. Either way within the time-out and the rest of the run.
    ASSERT_TRUE(b.finished) << b.describe();
    EXPECT_LT(since(killedAt), Millis(sendTimeout + amount * 40 + 2000)) << b.describe();
    EXPECT_EQ(linesWith(b.log, "XoMQ: reconnected to " + cluster.url(2)).size(), 1u)
        << b.describe();
    if (b.status.exitedWith(0)) {
        expectComplete(b, amount);
    } else {
        EXPECT_TRUE(b.status.exitedWith(XOSYS_E_TIMEOUT & 0xFF)) << b.describe();
        EXPECT_EQ(linesWith(b.log, "XoMQSendMsg: no reply from _XO.svc.cluster-echo within 2000 ms")
                      .size(),
                  1u)
            << b.describe();
    }
    std::cout << "[ cluster ] send interrupted by the failover: exit status " << b.status.describe()
              << "\n";
}

TEST_F(Cluster, ServiceWhoseRouterDiesRegistersAgainOnAnotherNode) {
    const long amount = 400;
    NatsCluster cluster(m_dir, 3);
    Responder responder(m_dir, cluster.url(0) + "," + cluster.url(1), kService,
                        {"--delay-ms", "5"});
    expectServiceEverywhere(cluster);
    SenderProcess& onB = startSender("on-b", "servers = " + cluster.url(1), amount, 3000);
    SenderProcess& onC = startSender("on-c", "servers = " + cluster.url(2), amount, 3000);
    ASSERT_TRUE(waitForLog(onB.log, "INFO  XoMQSendMsg", 50, Millis(20000))) << readFile(onB.log);
    const auto killedAt = Clock::now();
    cluster.node(0).process().kill();
    EXPECT_TRUE(responder.process().waitForOutput(
        "xomq-responder: reconnected to " + cluster.url(1), Millis(5000), true))
        << responder.process().describe();

    for (SenderProcess* s : {&onB, &onC}) {
        const SenderRun r = finish(*s);
        ASSERT_TRUE(r.finished) << r.describe();
        EXPECT_LT(since(killedAt), Millis(3000 + amount * 20 + 3000)) << r.describe();
        // Requests that found no instance during the switch are answered
        // by the library with a system error reply (24666) and counted; a
        // request lost inside the dead node times out.
        if (r.status.exitedWith(0)) {
            expectComplete(r, amount);
            for (const auto& line : linesWith(r.log, "Failed to receive reply")) {
                EXPECT_EQ(codeIn(line), XOSYS_E_NO_RESPONDER) << line;
            }
        } else {
            EXPECT_TRUE(r.status.exitedWith(XOSYS_E_TIMEOUT & 0xFF)) << r.describe();
            EXPECT_EQ(linesWith(r.log, "XoMQSendMsg: no reply from").size(), 1u) << r.describe();
        }
        std::cout << "[ cluster ] sender with the service's node killed: " << r.status.describe()
                  << ", " << linesWith(r.log, "Failed to receive reply").size()
                  << " system error replies\n";
    }
    EXPECT_TRUE(responder.stop().has_value()) << responder.process().describe();
}

// The responder's router dies while it works on a request: the reply it
// writes afterwards waits for the next router of its list and still reaches
// the sender on another node.
TEST_F(Cluster, ReplyInTheWorksWhenTheServicesRouterDiesStillArrives) {
    NatsCluster cluster(m_dir, 3);
    Responder responder(m_dir, cluster.url(0) + "," + cluster.url(1), kService,
                        {"--delay-ms", "1500"});
    expectServiceEverywhere(cluster);
    SenderProcess& onC = startSender("on-c", "servers = " + cluster.url(2), 1, 10000);
    ASSERT_TRUE(waitForLog(onC.log, "Start timer", 1, Millis(20000))) << readFile(onC.log);
    // Well inside the responder's delay: the request is with it.
    std::this_thread::sleep_for(Millis(500));
    cluster.node(0).process().kill();
    const SenderRun r = finish(onC);
    ASSERT_TRUE(r.finished) << r.describe();
    EXPECT_TRUE(r.status.exitedWith(0)) << r.describe() << responder.process().describe();
    expectComplete(r, 1);
    EXPECT_TRUE(responder.process().waitForOutput(
        "xomq-responder: reconnected to " + cluster.url(1), Millis(5000), true))
        << responder.process().describe();
    EXPECT_TRUE(responder.stop().has_value()) << responder.process().describe();
}

TEST_F(Cluster, AnnouncedRoutersAreUsedUnlessIgnored) {
    struct Case {
        const char* name;
        std::string extra;
        int status;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"announced", "", 0, "XoMQ: reconnected to "},
        {"ignored", "; ignore_discovered = 1; reconnect_attempts = 2; reconnect_wait = 100",
         XOSYS_E_CONNECTION_LOST & 0xFF,
         "XoMQ: gave up reconnecting: no router answered within 2 attempts per router"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NatsCluster cluster(m_dir, 2);
        Responder responder(m_dir, cluster.url(0), kService, {}, std::string("r-") + c.name);
        expectServiceEverywhere(cluster);
        // The sender knows only node B; node A is what the cluster announces.
        SenderProcess& s =
            startSender(std::string("s-") + c.name, "servers = " + cluster.url(1) + c.extra, 2000);
        ASSERT_TRUE(waitForLog(s.log, "INFO  XoMQSendMsg", 100, Millis(20000))) << readFile(s.log);
        s.process.signal(SIGSTOP);
        std::this_thread::sleep_for(Millis(300));
        cluster.node(1).process().kill();
        std::this_thread::sleep_for(Millis(200));
        s.process.signal(SIGCONT);
        const auto resumed = Clock::now();
        const SenderRun r = finish(s);
        EXPECT_TRUE(r.status.exitedWith(c.status)) << r.describe();
        EXPECT_EQ(linesWith(r.log, c.line).size(), 1u) << r.describe();
        if (c.status == 0) {
            expectComplete(r, 2000);
            EXPECT_EQ(linesWith(r.log, "XoMQ: reconnected to " + cluster.url(0)).size(), 1u)
                << r.describe();
        } else {
            // 2 attempts x (100 ms + 1 router x the 3000 ms time-out), at most.
            EXPECT_LT(since(resumed), Millis(2 * (100 + 3000) + 1000)) << r.describe();
        }
        responder.process().kill();
    }
}

TEST_F(Cluster, ServiceInstancesShareTheRequestsOfFourSenders) {
    const long amount = 500;
    NatsServer router(m_dir);
    Responder first(m_dir, router.url(), kService, {}, "first");
    Responder second(m_dir, router.url(), kService, {}, "second");
    const std::string fields = "servers = " + router.url();
    std::vector<SenderProcess*> senders;
    for (int i = 0; i < 4; ++i) {
        senders.push_back(&startSender("sender-" + std::to_string(i), fields, amount));
    }
    for (SenderProcess* s : senders) {
        expectComplete(finish(*s), amount);
    }
    const auto a = first.stop();
    const auto b = second.stop();
    ASSERT_TRUE(a.has_value() && b.has_value());
    EXPECT_GT(a->answered, 0);
    EXPECT_GT(b->answered, 0);
    EXPECT_EQ(a->answered + b->answered, 4 * amount);
    std::cout << "[ cluster ] two instances answered " << a->answered << " and " << b->answered
              << " of " << 4 * amount << " requests\n";
}

}  // namespace
