#include "BenchProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

void pause10ms() {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

}  // namespace

bool BenchProcess::start(const std::string& program, const std::vector<std::string>& args,
                         const std::string& outPath) {
    stop();
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargs;
    for (std::string& a : argv) {
        cargs.push_back(&a[0]);
    }
    cargs.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        return false;
    }
    if (pid == 0) {
        // Never outlive the test process.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127);
        }
        const int fd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        execv(program.c_str(), cargs.data());
        _exit(127);
    }
    m_pid = pid;
    return true;
}

int BenchProcess::wait(int timeoutMs) {
    if (m_pid <= 0) {
        return -1;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            m_pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (r < 0 || Clock::now() >= deadline) {
            return -1;
        }
        pause10ms();
    }
}

void BenchProcess::stop() {
    if (m_pid <= 0) {
        return;
    }
    kill(m_pid, SIGTERM);
    if (wait(3000) == -1 && m_pid > 0) {
        kill(m_pid, SIGKILL);
        int status = 0;
        waitpid(m_pid, &status, 0);
    }
    m_pid = -1;
}

ScratchDir::ScratchDir() {
    char dir[] = "/tmp/xomq-benchtest.XXXXXX";
    if (mkdtemp(dir) != nullptr) {
        m_path = dir;
    }
}

ScratchDir::~ScratchDir() {
    if (m_path.empty()) {
        return;
    }
    const std::string cmd = "rm -rf '" + m_path + "'";
    if (std::system(cmd.c_str()) != 0) {
        std::fprintf(stderr, "cannot remove %s\n", m_path.c_str());
    }
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

int freePort() {
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

bool waitForPort(int port, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
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
        pause10ms();
    }
    return false;
}

bool waitForText(const std::string& path, const std::string& text, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
        if (readText(path).find(text) != std::string::npos) {
            return true;
        }
        pause10ms();
    }
    return false;
}

bool startRouter(BenchProcess& router, const ScratchDir& dir, const std::string& natsServer,
                 const std::string& config, int* port) {
    *port = freePort();
    std::vector<std::string> args = {"-a", "127.0.0.1", "-p", std::to_string(*port)};
    if (!config.empty()) {
        writeText(dir.file("router.conf"), config);
        args.push_back("-c");
        args.push_back(dir.file("router.conf"));
    }
    return *port > 0 && router.start(natsServer, args, dir.file("router.log")) &&
           waitForPort(*port, 5000);
}

bool startResponder(BenchProcess& responder, const ScratchDir& dir, const std::string& program,
                    int port, const std::string& service, const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"--server", "127.0.0.1:" + std::to_string(port), "--service",
                                     service};
    args.insert(args.end(), extra.begin(), extra.end());
    const std::string out = dir.file("responder-" + service + ".out");
    return responder.start(program, args, out) && waitForText(out, "xomq-responder: ready", 5000);
}
