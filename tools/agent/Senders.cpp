#include "Senders.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#if defined(__linux__)
#include <sys/prctl.h>
#endif

namespace xoagent {

namespace {

// The child between fork and exec: only async-signal-safe calls.
[[noreturn]] void becomeSender(const char* binary, char* const* argv, const char* dir,
                               const char* out, pid_t agent, long maxFd) {
    setpgid(0, 0);  // the agent's terminal signals reach the agent alone
#if defined(__linux__)
    // No sender outlives its agent. Not SIGTERM: every thread of the sender
    // inherits the setting and would deliver one, and a second SIGTERM ends
    // XoMQSender at once anyway.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != agent) {
        _exit(127);  // the agent died before the line above
    }
#else
    (void)agent;
#endif
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &dfl, nullptr);
    const int in = open("/dev/null", O_RDONLY);
    const int fd = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || fd < 0 || dup2(in, 0) < 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0) {
        _exit(127);
    }
    // The router socket and files of the agent stay with the agent.
#if defined(__linux__) && defined(SYS_close_range)
    if (syscall(SYS_close_range, 3u, ~0u, 0u) != 0)
#endif
    {
        for (long i = 3; i < maxFd; ++i) {
            close(static_cast<int>(i));
        }
    }
    if (chdir(dir) != 0) {
        _exit(127);
    }
    execv(binary, argv);
    _exit(127);
}

}  // namespace

Senders::~Senders() {
    kill();
    for (SenderProcess& p : m_procs) {
        if (p.pid > 0 && !p.ended) {
            int st = 0;
            waitpid(p.pid, &st, 0);
            p.ended = true;
        }
    }
}

bool Senders::startAll(const std::string& binary, const std::string& dir,
                       std::chrono::system_clock::time_point start, std::string* reason) {
    m_started = true;
    long maxFd = sysconf(_SC_OPEN_MAX);
    if (maxFd < 0 || maxFd > 65536) {
        maxFd = 65536;
    }
    const pid_t agent = getpid();
    for (SenderProcess& p : m_procs) {
        // Everything the child needs, made before the fork.
        std::string arg0 = binary;
        std::string arg1 = p.ini;
        char* argv[] = {&arg0[0], &arg1[0], nullptr};
        p.startLagMs =
            std::chrono::duration<double, std::milli>(std::chrono::system_clock::now() - start)
                .count();
        const pid_t pid = fork();
        if (pid < 0) {
            *reason = std::string("cannot start a sender: ") + std::strerror(errno);
            p.ended = true;
            return false;
        }
        if (pid == 0) {
            becomeSender(binary.c_str(), argv, dir.c_str(), p.out.c_str(), agent, maxFd);
        }
        p.pid = pid;
    }
    return true;
}

bool Senders::reap() {
    bool allEnded = true;
    for (SenderProcess& p : m_procs) {
        if (p.pid <= 0 || p.ended) {
            continue;
        }
        int st = 0;
        const pid_t r = waitpid(p.pid, &st, WNOHANG);
        if (r == p.pid) {
            p.ended = true;
            if (WIFEXITED(st)) {
                p.exitCode = WEXITSTATUS(st);
            } else if (WIFSIGNALED(st)) {
                p.signal = WTERMSIG(st);
            }
        } else if (r < 0 && errno == ECHILD) {
            p.ended = true;  // not ours any more
        } else {
            allEnded = false;
        }
    }
    return allEnded;
}

void Senders::terminate() {
    for (const SenderProcess& p : m_procs) {
        if (p.pid > 0 && !p.ended) {
            ::kill(p.pid, SIGTERM);
        }
    }
}

void Senders::kill() {
    for (const SenderProcess& p : m_procs) {
        if (p.pid > 0 && !p.ended) {
            ::kill(p.pid, SIGKILL);
        }
    }
}

}  // namespace xoagent
