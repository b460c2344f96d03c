// A child process for the smoke test: started with its standard output on
// a pipe, waited for with a deadline, stopped by its PID.
#ifndef XOSYS_TESTS_CHILDPROCESS_H
#define XOSYS_TESTS_CHILDPROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

class ChildProcess {
  public:
    ChildProcess() = default;
    ~ChildProcess() { stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts program with args; its standard error goes to stderrPath
    // (or /dev/null when empty). False when it cannot be started.
    bool start(const std::string& program, const std::vector<std::string>& args,
               const std::string& stderrPath = std::string());

    // Reads standard output until a line equal to line arrives; false on
    // end of output or after timeoutMs.
    bool waitForLine(const std::string& line, int timeoutMs);

    // Waits up to timeoutMs for the process to end; its exit status, or -1
    // when it is still running (or ended by a signal).
    int waitExit(int timeoutMs);

    // SIGTERM, then SIGKILL after timeoutMs; returns the exit status as
    // waitExit does. Does nothing when not running.
    int stop(int timeoutMs = 3000);

    // Everything read from standard output so far.
    const std::string& output() const { return m_output; }
    pid_t pid() const { return m_pid; }

    // Reads what is available on standard output within timeoutMs.
    void drain(int timeoutMs);

  private:
    pid_t m_pid = -1;
    int m_out = -1;
    int m_status = -1;
    std::string m_output;
    size_t m_scanned = 0;
};

// A loopback TCP port that was free a moment ago.
int freeLoopbackPort();

// True once something accepts connections at 127.0.0.1:port (bounded).
bool waitForListener(int port, int timeoutMs);

#endif  // XOSYS_TESTS_CHILDPROCESS_H
