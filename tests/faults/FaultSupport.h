// Shared pieces of the fault tests: a listener that accepts TCP connections
// and never says a word, runs of the program against the scripted XoSys
// with a check that no handle was lost, and the checks every failed run of
// the real program must pass.
#ifndef XOMQ_TESTS_FAULTS_FAULTSUPPORT_H
#define XOMQ_TESTS_FAULTS_FAULTSUPPORT_H

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "Harness.h"

namespace faults {

// A test with a directory of its own for the INI file, the log and the
// output of every process; kept when the test fails.
class FaultTest : public ::testing::Test {
  protected:
    void TearDown() override;

    xotest::TempDir m_dir{"xomq-faults"};
    const std::string m_iniPath = m_dir.file("sender.ini");
    const std::string m_logPath = m_dir.file("sender.log");
};

using xotest::waitForLog;

// Microseconds between the time stamps of the first log lines holding from
// and to; -1 when either is missing.
int64_t microsBetween(const std::string& log, const std::string& from, const std::string& to);

// Paths fixed at build time.
std::string scriptedSenderPath();

// Accepts every connection on a free loopback port and keeps it open without
// writing a byte, until it goes out of scope.
class SilentListener {
  public:
    SilentListener();
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;

    int port() const { return m_port; }
    int accepted() const { return m_accepted.load(); }

  private:
    void serve();

    int m_listenFd = -1;
    int m_port = 0;
    int m_wakeFds[2] = {-1, -1};
    std::atomic<int> m_accepted{0};
    std::vector<int> m_clients;
    std::thread m_thread;
};

// One run of XoMQSender_scripted.
struct ScriptedRun {
    bool finished = false;
    xotest::ExitStatus status;
    std::string out;
    std::string err;
    std::vector<std::string> trace;

    // Trace lines that start with prefix.
    std::vector<std::string> lines(const std::string& prefix) const;
    // "LIVE" and "PROBLEM" lines, and a missing "END": every handle freed
    // once, nothing misused, and a normal exit.
    std::vector<std::string> handleTrouble() const;
    std::string describe() const;
};

// Runs the program against the scripted XoSys with the scenario text; args
// are the program's arguments (the INI path is not read by the scripted
// library, so any text will do).
ScriptedRun runScripted(const xotest::TempDir& dir, const std::string& name,
                        const std::string& scenario, std::vector<std::string> args = {"app.ini"});

// The failure of a real run: the exit status is the code's low byte, the
// step named logged the code, and no report was written.
void expectFailedRun(const xotest::SenderRun& r, uint32_t code, const std::string& step);

// The secret occurs nowhere in what the run wrote.
void expectSecretHidden(const xotest::SenderRun& r, const std::string& secret);

}  // namespace faults

#endif  // XOMQ_TESTS_FAULTS_FAULTSUPPORT_H
