#include "ChildProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& args,
                         const std::string& stderrPath) {
    int fds[2];
    if (pipe(fds) != 0) {
        return false;
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    const std::string errPath = stderrPath.empty() ? "/dev/null" : stderrPath;

    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err >= 0) {
            dup2(err, STDERR_FILENO);
        }
        close(fds[0]);
        close(fds[1]);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(fds[1]);
    m_out = fds[0];
    fcntl(m_out, F_SETFL, fcntl(m_out, F_GETFL) | O_NONBLOCK);
    m_pid = pid;
    m_status = -1;
    return true;
}

void ChildProcess::drain(int timeoutMs) {
    if (m_out < 0) {
        return;
    }
    pollfd p{m_out, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) {
        return;
    }
    char buf[4096];
    for (;;) {
        const ssize_t n = read(m_out, buf, sizeof buf);
        if (n > 0) {
            m_output.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n == 0) {
            close(m_out);
            m_out = -1;
        }
        return;
    }
}

bool ChildProcess::waitForLine(const std::string& line, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        size_t eol;
        while ((eol = m_output.find('\n', m_scanned)) != std::string::npos) {
            const bool match = m_output.compare(m_scanned, eol - m_scanned, line) == 0;
            m_scanned = eol + 1;
            if (match) {
                return true;
            }
        }
        if (m_out < 0 || msLeft(deadline) == 0) {
            return false;
        }
        drain(msLeft(deadline) < 50 ? msLeft(deadline) : 50);
    }
}

int ChildProcess::waitExit(int timeoutMs) {
    if (m_pid < 0) {
        return m_status;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            drain(0);
            m_pid = -1;
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return m_status;
        }
        if (r < 0 && errno != EINTR) {
            m_pid = -1;
            m_status = -1;
            return m_status;
        }
        if (msLeft(deadline) == 0) {
            return -1;
        }
        drain(10);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int ChildProcess::stop(int timeoutMs) {
    if (m_pid < 0) {
        if (m_out >= 0) {
            close(m_out);
            m_out = -1;
        }
        return m_status;
    }
    kill(m_pid, SIGTERM);
    int status = waitExit(timeoutMs);
    if (m_pid >= 0) {
        kill(m_pid, SIGKILL);
        status = waitExit(timeoutMs);
    }
    if (m_out >= 0) {
        close(m_out);
        m_out = -1;
    }
    return status;
}

int freeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = -1;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    if (fd >= 0) {
        close(fd);
    }
    return port;
}

bool waitForListener(int port, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        const bool ok =
            fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        if (fd >= 0) {
            close(fd);
        }
        if (ok) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (msLeft(deadline) > 0);
    return false;
}
