#include "FaultSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace faults {

void FaultTest::TearDown() {
    if (HasFailure()) {
        m_dir.keep();
        std::cerr << "[ faults ] files kept in " << m_dir.path() << "\n";
    }
}

int64_t microsBetween(const std::string& log, const std::string& from, const std::string& to) {
    const auto a = xotest::linesWith(log, from);
    const auto b = xotest::linesWith(log, to);
    if (a.empty() || b.empty() || !xotest::timestampOf(a[0]) || !xotest::timestampOf(b[0])) {
        return -1;
    }
    return *xotest::timestampOf(b[0]) - *xotest::timestampOf(a[0]);
}

std::string scriptedSenderPath() {
    return XO_FAULTS_SCRIPTED_SENDER;
}

// ---- SilentListener -----------------------------------------------------------

SilentListener::SilentListener() {
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0 || ::pipe(m_wakeFds) != 0) {
        throw std::runtime_error("SilentListener: no socket or pipe");
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(m_listenFd, 16) != 0 ||
        ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(m_listenFd);
        throw std::runtime_error("SilentListener: cannot listen on 127.0.0.1");
    }
    m_port = ntohs(addr.sin_port);
    m_thread = std::thread([this] { serve(); });
}

SilentListener::~SilentListener() {
    const char stop = 'x';
    if (::write(m_wakeFds[1], &stop, 1) != 1) {
        // The pipe cannot be full: one byte is ever written.
    }
    m_thread.join();
    for (const int fd : m_clients) {
        ::close(fd);
    }
    ::close(m_listenFd);
    ::close(m_wakeFds[0]);
    ::close(m_wakeFds[1]);
}

void SilentListener::serve() {
    for (;;) {
        pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_wakeFds[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            continue;  // EINTR
        }
        if (fds[1].revents != 0) {
            return;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            const int client = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                m_clients.push_back(client);  // held open, never written to
                ++m_accepted;
            }
        }
    }
}

// ---- Scripted runs --------------------------------------------------------------

std::vector<std::string> ScriptedRun::lines(const std::string& prefix) const {
    std::vector<std::string> result;
    for (const auto& line : trace) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            result.push_back(line);
        }
    }
    return result;
}

std::vector<std::string> ScriptedRun::handleTrouble() const {
    std::vector<std::string> trouble = lines("LIVE ");
    for (const auto& line : lines("PROBLEM ")) {
        trouble.push_back(line);
    }
    for (const auto& line : lines("ERROR ")) {
        trouble.push_back(line);
    }
    if (trace.empty() || trace.back() != "END") {
        trouble.push_back("(no END: the process did not exit normally)");
    }
    return trouble;
}

std::string ScriptedRun::describe() const {
    std::ostringstream s;
    s << (finished ? "ended with " + status.describe() : std::string("did not end in time"))
      << "\n--- stdout:\n"
      << out << "\n--- stderr:\n"
      << err << "\n--- trace:\n";
    for (const auto& line : trace) {
        s << line << "\n";
    }
    return s.str();
}

ScriptedRun runScripted(const xotest::TempDir& dir, const std::string& name,
                        const std::string& scenario, std::vector<std::string> args) {
    const std::string scenarioPath = dir.file(name + ".scenario");
    const std::string tracePath = dir.file(name + ".trace");
    xotest::writeFile(scenarioPath, scenario);
    std::remove(tracePath.c_str());
    args.insert(args.begin(), scriptedSenderPath());
    xotest::Process child(dir, name, args,
                          {"XOSCRIPT_FILE=" + scenarioPath, "XOSCRIPT_TRACE=" + tracePath});
    ScriptedRun run;
    const auto status = child.waitFor(xotest::Millis(20000));
    run.finished = status.has_value();
    run.status = status ? *status : child.stop();
    run.out = child.out();
    run.err = child.err();
    run.trace = xotest::splitLines(xotest::readFile(tracePath));
    return run;
}

// ---- Checks of real runs --------------------------------------------------------

void expectFailedRun(const xotest::SenderRun& r, uint32_t code, const std::string& step) {
    ASSERT_TRUE(r.finished) << r.describe();
    EXPECT_TRUE(r.status.exitedWith(static_cast<int>(code & 0xFFu)))
        << "expected code " << code << "\n"
        << r.describe();
    const auto lines = xotest::linesWith(r.log, step + " failed");
    ASSERT_EQ(lines.size(), 1u) << step << "\n" << r.describe();
    EXPECT_EQ(xotest::codeIn(lines[0]), code) << lines[0];
    EXPECT_FALSE(xotest::parseReport(r.log).has_value()) << "no report after a failure";
    EXPECT_EQ(xotest::linesWith(r.log, "Total time is 0").size(), 0u);
}

void expectSecretHidden(const xotest::SenderRun& r, const std::string& secret) {
    EXPECT_EQ(r.log.find(secret), std::string::npos) << "log:\n" << r.log;
    EXPECT_EQ(r.out.find(secret), std::string::npos) << "stdout:\n" << r.out;
    EXPECT_EQ(r.err.find(secret), std::string::npos) << "stderr:\n" << r.err;
}

}  // namespace faults
