// The harness itself: if it lost output, waited without bound or left a
// child behind, every end-to-end result would be in doubt.
#include <errno.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>

#include "Process.h"

namespace {

using xotest::Millis;
using xotest::Process;
using xotest::TempDir;
using Clock = std::chrono::steady_clock;

Millis since(Clock::time_point start) {
    return std::chrono::duration_cast<Millis>(Clock::now() - start);
}

bool pidAlive(pid_t pid) {
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

TEST(ProcessHarness, CapturesOutputEnvironmentAndExitCode) {
    TempDir dir;
    Process child(dir, "sh", {"/bin/sh", "-c", "echo \"out $E2E_PROBE\"; echo err >&2; exit 3"},
                  {"E2E_PROBE=probe-value"});
    const auto status = child.waitFor(Millis(10000));
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(status->exitedWith(3)) << status->describe();
    EXPECT_EQ(child.out(), "out probe-value\n");
    EXPECT_EQ(child.err(), "err\n");
}

TEST(ProcessHarness, CombinedOutputKeepsBothStreamsInOrder) {
    TempDir dir;
    Process child = Process::combined(
        dir, "both", {"/bin/sh", "-c", "echo one; echo two >&2; echo three; exit 4"});
    EXPECT_EQ(child.waitExitCode(Millis(10000)), 4);
    EXPECT_EQ(child.outPath(), dir.file("both.out"));
    EXPECT_EQ(child.out(), "one\ntwo\nthree\n");

    // A child ended by a signal has no exit code.
    Process killed(dir, "killed", {"/bin/sleep", "30"});
    EXPECT_EQ(killed.waitExitCode(Millis(50)), -1);
    killed.kill();
    EXPECT_EQ(killed.waitExitCode(Millis(50)), -1);
    EXPECT_EQ(killed.status()->signal, SIGKILL);
}

TEST(ProcessHarness, WaitsOnlyAsLongAsItsBoundAndStopsByPid) {
    TempDir dir;
    Process child(dir, "sleeper", {"/bin/sleep", "30"});
    const auto start = Clock::now();
    EXPECT_FALSE(child.waitFor(Millis(200)).has_value());
    EXPECT_GE(since(start), Millis(190));
    EXPECT_LT(since(start), Millis(5000));
    EXPECT_TRUE(child.running());

    const auto status = child.stop();
    EXPECT_EQ(status.signal, SIGTERM) << status.describe();
    EXPECT_FALSE(child.running());
    // Stopping again does not signal a PID that may belong to someone else now.
    EXPECT_EQ(child.stop().signal, SIGTERM);
}

TEST(ProcessHarness, EscalatesToSigkillWhenTermIsIgnored) {
    TempDir dir;
    Process child(dir, "stubborn",
                  {"/bin/sh", "-c", "trap '' TERM; echo armed; while :; do sleep 1; done"});
    ASSERT_TRUE(child.waitForOutput("armed", Millis(10000))) << child.describe();
    const auto start = Clock::now();
    const auto status = child.stop(Millis(300));
    EXPECT_EQ(status.signal, SIGKILL) << status.describe();
    EXPECT_GE(since(start), Millis(290));
    EXPECT_LT(since(start), Millis(5000));
}

TEST(ProcessHarness, DestructorStopsWhatWasStarted) {
    TempDir dir;
    pid_t pid = -1;
    {
        Process child(dir, "orphan", {"/bin/sleep", "30"});
        pid = child.pid();
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(pidAlive(pid));
    }
    // Reaped by the destructor: not even a zombie is left.
    EXPECT_FALSE(pidAlive(pid));
}

TEST(ProcessHarness, WaitForOutputGivesUpWhenTheChildEnds) {
    TempDir dir;
    Process child(dir, "quitter", {"/bin/sh", "-c", "echo something else"});
    const auto start = Clock::now();
    EXPECT_FALSE(child.waitForOutput("never printed", Millis(10000)));
    EXPECT_LT(since(start), Millis(5000));
    // Output written right before the end is still seen.
    Process late(dir, "late", {"/bin/sh", "-c", "echo last words"});
    EXPECT_TRUE(late.waitForOutput("last words", Millis(10000)));
}

TEST(ProcessHarness, UnrunnableExecutableThrows) {
    TempDir dir;
    EXPECT_THROW(Process(dir, "missing", {dir.file("no-such-program")}), std::runtime_error);
    EXPECT_THROW(Process(dir, "empty", {}), std::runtime_error);
}

TEST(ProcessHarness, FreePortIsClosedUntilSomeoneListens) {
    const int port = xotest::freeLoopbackPort();
    ASSERT_GT(port, 0);
    const auto start = Clock::now();
    EXPECT_FALSE(xotest::waitForTcp(port, Millis(100)));
    EXPECT_LT(since(start), Millis(5000));

    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const int bound = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    if (bound == 0) {
        EXPECT_EQ(listen(fd, 4), 0);
        EXPECT_TRUE(xotest::waitForTcp(port, Millis(2000)));
    }
    close(fd);
    EXPECT_EQ(bound, 0) << "the port handed out was taken";
}

TEST(ProcessHarness, WaitForTcpGivesUpWhenTheOwnerEnds) {
    TempDir dir;
    Process quitter(dir, "quitter", {"/bin/true"});
    const auto start = Clock::now();
    EXPECT_FALSE(xotest::waitForTcp(xotest::freeLoopbackPort(), Millis(20000), &quitter));
    EXPECT_LT(since(start), Millis(5000));
}

}  // namespace
