#include "Process.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

extern char** environ;

namespace xotest {

namespace {

using Clock = std::chrono::steady_clock;

const Millis kPollStep(5);

std::string nameOf(const std::string& name) {
    const auto slash = name.rfind('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

std::string tail(const std::string& text, size_t max) {
    return text.size() <= max ? text : "..." + text.substr(text.size() - max);
}

// The inherited environment with the given "NAME=value" entries added or
// replacing entries of the same name.
std::vector<std::string> mergedEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> result;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string current(*entry);
        const std::string name = current.substr(0, current.find('='));
        bool replaced = false;
        for (const auto& e : extra) {
            if (e.substr(0, e.find('=')) == name) {
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            result.push_back(current);
        }
    }
    result.insert(result.end(), extra.begin(), extra.end());
    return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    result.reserve(strings.size() + 1);
    for (auto& s : strings) {
        result.push_back(&s[0]);
    }
    result.push_back(nullptr);
    return result;
}

ExitStatus decode(int waitStatus) {
    ExitStatus status;
    if (WIFEXITED(waitStatus)) {
        status.exited = true;
        status.code = WEXITSTATUS(waitStatus);
    } else if (WIFSIGNALED(waitStatus)) {
        status.signal = WTERMSIG(waitStatus);
    }
    return status;
}

// Opens path for the child's output; only async-signal-safe calls here, as
// this runs between fork and exec.
int openOutput(const char* path) {
    return open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

}  // namespace

std::string ExitStatus::describe() const {
    if (exited) {
        return "exit code " + std::to_string(code);
    }
    if (signal != 0) {
        return std::string("signal ") + std::to_string(signal) + " (" + strsignal(signal) + ")";
    }
    return "unknown status";
}

// ---- TempDir ----------------------------------------------------------------

TempDir::TempDir(const std::string& prefix) {
    const char* base = getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        throw std::runtime_error("mkdtemp " + pattern + ": " + strerror(errno));
    }
    m_path = buffer.data();
    const char* keepAll = getenv("XO_E2E_KEEP");
    m_keep = keepAll != nullptr && *keepAll != '\0' && std::string(keepAll) != "0";
}

TempDir::~TempDir() {
    if (!m_keep) {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
}

// ---- Process ----------------------------------------------------------------

Process::Process(Options options) : m_options(std::move(options)) {
    start();
}

Process::Process(const TempDir& dir, const std::string& name, std::vector<std::string> args,
                 std::vector<std::string> env) {
    m_options.args = std::move(args);
    m_options.env = std::move(env);
    m_options.outPath = dir.file(name + ".out");
    m_options.errPath = dir.file(name + ".err");
    start();
}

Process Process::combined(const TempDir& dir, const std::string& name,
                          std::vector<std::string> args) {
    Options options;
    options.args = std::move(args);
    options.outPath = dir.file(name + ".out");
    options.errPath = options.outPath;
    return Process(std::move(options));
}

Process::~Process() {
    release();
}

Process::Process(Process&& other) noexcept
    : m_options(std::move(other.m_options)), m_pid(other.m_pid), m_status(other.m_status) {
    other.m_pid = -1;
    other.m_status.reset();
}

Process& Process::operator=(Process&& other) noexcept {
    if (this != &other) {
        release();
        m_options = std::move(other.m_options);
        m_pid = other.m_pid;
        m_status = other.m_status;
        other.m_pid = -1;
        other.m_status.reset();
    }
    return *this;
}

void Process::release() {
    if (m_pid > 0 && !m_status) {
        stop(Millis(2000));
    }
}

void Process::start() {
    if (m_options.args.empty()) {
        throw std::runtime_error("Process: no executable given");
    }
    // Everything the child needs is prepared before fork: after it only
    // async-signal-safe calls are allowed.
    std::vector<std::string> args = m_options.args;
    std::vector<std::string> env = mergedEnvironment(m_options.env);
    std::vector<char*> argv = pointers(args);
    std::vector<char*> envp = pointers(env);
    const std::string outPath = m_options.outPath.empty() ? "/dev/null" : m_options.outPath;
    const std::string errPath = m_options.errPath.empty() ? "/dev/null" : m_options.errPath;
    const bool sameFile = !m_options.outPath.empty() && m_options.errPath == m_options.outPath;

    // The child reports a failed exec through this pipe; a successful exec
    // closes it (O_CLOEXEC) without a word.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe2: ") + strerror(errno));
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        const int err = errno;
        close(report[0]);
        close(report[1]);
        throw std::runtime_error(std::string("fork: ") + strerror(err));
    }
    if (pid == 0) {
        int err = 0;
#if defined(__linux__)
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) {
            _exit(126);
        }
#else
        (void)parent;
#endif
        setpgid(0, 0);
        const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
        const int out = openOutput(outPath.c_str());
        // One file for both: one open file description, so neither stream
        // overwrites what the other wrote.
        const int errFd = sameFile ? out : openOutput(errPath.c_str());
        if (in < 0 || out < 0 || errFd < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 ||
            dup2(errFd, 2) < 0) {
            err = errno;
        } else {
            // Default dispositions and an empty mask, whatever the test runner set.
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            ::signal(SIGPIPE, SIG_DFL);
            execve(argv[0], argv.data(), envp.data());
            err = errno;
        }
        ssize_t ignored = write(report[1], &err, sizeof err);
        (void)ignored;
        _exit(127);
    }

    close(report[1]);
    int childErr = 0;
    ssize_t got;
    do {
        got = read(report[0], &childErr, sizeof childErr);
    } while (got < 0 && errno == EINTR);
    close(report[0]);
    m_pid = pid;
    if (got > 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        m_status = decode(status);
        throw std::runtime_error("cannot start " + m_options.args[0] + ": " + strerror(childErr));
    }
}

bool Process::running() {
    if (m_pid <= 0 || m_status) {
        return false;
    }
    int status = 0;
    const pid_t r = waitpid(m_pid, &status, WNOHANG);
    if (r == m_pid) {
        m_status = decode(status);
        return false;
    }
    return r == 0;
}

std::optional<ExitStatus> Process::waitFor(Millis bound) {
    const auto deadline = Clock::now() + bound;
    while (running()) {
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(kPollStep);
    }
    return m_status;
}

int Process::waitExitCode(Millis bound) {
    const auto status = waitFor(bound);
    return status && status->exited ? status->code : -1;
}

void Process::signal(int sig) {
    // Only a child not yet reaped: its PID cannot have been reused.
    if (m_pid > 0 && !m_status) {
        ::kill(m_pid, sig);
    }
}

ExitStatus Process::stop(Millis grace) {
    if (m_pid <= 0) {
        return ExitStatus{};
    }
    if (running()) {
        signal(SIGTERM);
        if (!waitFor(grace)) {
            return kill();
        }
    }
    return m_status.value_or(ExitStatus{});
}

ExitStatus Process::kill() {
    if (m_pid <= 0) {
        return ExitStatus{};
    }
    if (!m_status) {
        ::kill(m_pid, SIGKILL);
        int status = 0;
        pid_t r;
        do {
            r = waitpid(m_pid, &status, 0);
        } while (r < 0 && errno == EINTR);
        m_status = r == m_pid ? decode(status) : ExitStatus{};
    }
    return *m_status;
}

std::string Process::out() const {
    return readFile(m_options.outPath);
}
std::string Process::err() const {
    return readFile(m_options.errPath);
}

bool Process::waitForOutput(const std::string& text, Millis bound, bool inStderr) {
    const auto deadline = Clock::now() + bound;
    for (;;) {
        const bool alive = running();
        // Read after the liveness check, so output written right before the
        // end is not missed.
        if ((inStderr ? err() : out()).find(text) != std::string::npos) {
            return true;
        }
        if (!alive || Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(kPollStep);
    }
}

std::string Process::describe() const {
    std::ostringstream s;
    s << (m_options.args.empty() ? std::string("(none)") : nameOf(m_options.args[0])) << " (pid "
      << m_pid << ")";
    if (m_status) {
        s << " ended with " << m_status->describe();
    }
    s << "\n--- stdout: " << tail(out(), 2000) << "\n--- stderr: " << tail(err(), 2000);
    return s.str();
}

// ---- Files and ports --------------------------------------------------------

std::string readFile(const std::string& path) {
    if (path.empty()) {
        return std::string();
    }
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + path);
    }
}

int freeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::runtime_error(std::string("socket: ") + strerror(errno));
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        const int err = errno;
        close(fd);
        throw std::runtime_error(std::string("bind 127.0.0.1:0: ") + strerror(err));
    }
    close(fd);
    return ntohs(addr.sin_port);
}

bool waitForTcp(int port, Millis bound, Process* owner) {
    const auto deadline = Clock::now() + bound;
    for (;;) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0) {
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            addr.sin_port = htons(static_cast<uint16_t>(port));
            const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
            close(fd);
            if (ok) {
                return true;
            }
        }
        if ((owner != nullptr && !owner->running()) || Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(Millis(10));
    }
}

}  // namespace xotest
