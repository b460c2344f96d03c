// A small POSIX process harness for the tests that start programs: child
// processes with captured output, bounded waits, stop by PID, loopback ports
// and temporary directories. Everything a test starts is stopped by its owner's destructor,
// also when an assertion fails half-way.
#ifndef XOMQ_TESTS_SUPPORT_PROCESS_H
#define XOMQ_TESTS_SUPPORT_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace xotest {

using Millis = std::chrono::milliseconds;

// How a child ended.
struct ExitStatus {
    bool exited = false;  // ended through exit(); code is valid
    int code = -1;
    int signal = 0;  // the signal that ended it, when it did not exit

    bool exitedWith(int expected) const { return exited && code == expected; }
    std::string describe() const;
};

// A temporary directory, removed with its contents at the end of its scope
// unless keep() was called (or XO_E2E_KEEP is set in the environment).
class TempDir {
  public:
    explicit TempDir(const std::string& prefix = "xomq-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }
    void keep() { m_keep = true; }

  private:
    std::string m_path;
    bool m_keep = false;
};

// One child process. Its standard input is /dev/null; standard output and
// standard error go to the files outPath() and errPath() (both into one file
// when the two paths are the same). The child is put
// into its own process group and, on Linux, receives SIGKILL should the
// thread that started it die, so a crashed test leaves no orphans behind.
class Process {
  public:
    struct Options {
        std::vector<std::string> args;  // args[0] is the path of the executable
        std::vector<std::string> env;   // "NAME=value", added to or replacing the inherited ones
        std::string outPath;            // standard output; /dev/null when empty
        std::string errPath;            // standard error; /dev/null when empty
    };

    Process() = default;
    // Starts the child; throws std::runtime_error when it cannot be started
    // (including an executable that cannot be run).
    explicit Process(Options options);
    // Shorthand: output captured in dir as <name>.out and <name>.err.
    Process(const TempDir& dir, const std::string& name, std::vector<std::string> args,
            std::vector<std::string> env = {});
    // Shorthand: standard output and error captured together in dir as
    // <name>.out, in the order the child wrote them.
    static Process combined(const TempDir& dir, const std::string& name,
                            std::vector<std::string> args);
    ~Process();
    Process(Process&& other) noexcept;
    Process& operator=(Process&& other) noexcept;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return m_pid; }
    bool started() const { return m_pid > 0; }
    // True while the child has not ended (reaps it when it has).
    bool running();
    // The exit status once the child has ended and been reaped.
    const std::optional<ExitStatus>& status() const { return m_status; }

    // Waits at most bound for the child to end.
    std::optional<ExitStatus> waitFor(Millis bound);
    // Waits at most bound; the exit code when the child exited by itself,
    // -1 when it still runs or a signal ended it.
    int waitExitCode(Millis bound);
    // Sends a signal to the child (nothing once it has been reaped).
    void signal(int sig);
    // SIGTERM, then SIGKILL when it is still there after grace. Returns how
    // it ended; harmless when it has ended already.
    ExitStatus stop(Millis grace = Millis(3000));
    // SIGKILL at once, e.g. to simulate a crash.
    ExitStatus kill();

    const std::string& outPath() const { return m_options.outPath; }
    const std::string& errPath() const { return m_options.errPath; }
    std::string out() const;
    std::string err() const;

    // Waits until the captured standard output (or error) contains text.
    // False when the bound passes or the child ends without printing it.
    bool waitForOutput(const std::string& text, Millis bound, bool inStderr = false);

    // "name (pid N)" and the tail of the captured output, for messages.
    std::string describe() const;

  private:
    void start();
    void release();

    Options m_options;
    pid_t m_pid = -1;
    std::optional<ExitStatus> m_status;
};

// The whole content of a file ("" when it cannot be read).
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

// A loopback TCP port that nobody listens on at the moment of the call
// (bound to port 0 on 127.0.0.1, read back, released).
int freeLoopbackPort();
// True when a TCP connection to 127.0.0.1:port succeeds within bound. Gives
// up early when owner is given and has ended.
bool waitForTcp(int port, Millis bound, Process* owner = nullptr);

}  // namespace xotest

#endif  // XOMQ_TESTS_SUPPORT_PROCESS_H
