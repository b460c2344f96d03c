// Child processes for the benchmark tests: started with fork/exec, output to
// a file, waited for with a bound, stopped by PID.
#ifndef XOBENCH_TESTS_BENCHPROCESS_H
#define XOBENCH_TESTS_BENCHPROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

class BenchProcess {
  public:
    BenchProcess() = default;
    ~BenchProcess() { stop(); }
    BenchProcess(const BenchProcess&) = delete;
    BenchProcess& operator=(const BenchProcess&) = delete;

    // Starts program with args, standard output and error into outPath.
    bool start(const std::string& program, const std::vector<std::string>& args,
               const std::string& outPath);
    // The exit status once it ended within timeoutMs; -1 otherwise (still
    // running, or ended by a signal).
    int wait(int timeoutMs);
    // SIGTERM, SIGKILL after 3 s; nothing when not running.
    void stop();
    bool running() const { return m_pid > 0; }

  private:
    pid_t m_pid = -1;
};

// A directory of its own under /tmp, removed with what it holds.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
};

std::string readText(const std::string& path);
void writeText(const std::string& path, const std::string& text);

// A loopback port that was free a moment ago.
int freePort();
// True once 127.0.0.1:port accepts connections, within timeoutMs.
bool waitForPort(int port, int timeoutMs);
// True once the file holds text, within timeoutMs.
bool waitForText(const std::string& path, const std::string& text, int timeoutMs);

// Starts nats-server on a free loopback port (with the configuration text,
// when given, as its config file); *port receives the port. False when it
// does not accept connections within 5 s.
bool startRouter(BenchProcess& router, const ScratchDir& dir, const std::string& natsServer,
                 const std::string& config, int* port);
// Starts xomq-responder for service at the router; false unless it gets
// ready within 5 s.
bool startResponder(BenchProcess& responder, const ScratchDir& dir, const std::string& program,
                    int port, const std::string& service, const std::vector<std::string>& extra);

#endif  // XOBENCH_TESTS_BENCHPROCESS_H
