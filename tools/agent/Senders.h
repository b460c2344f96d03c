// The XoMQSender processes of one run of an agent: started with fork and
// exec of the agent's fixed binary, the INI path the only argument (no
// shell), each in its own process group and, on Linux, killed should the
// agent die; reaped without waiting; stopped by PID (SIGTERM, then
// SIGKILL after a grace). Standard output and error go to a file of the
// run's directory; no other descriptor of the agent reaches them.
#ifndef XOMQ_TOOLS_AGENT_SENDERS_H
#define XOMQ_TOOLS_AGENT_SENDERS_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace xoagent {

struct SenderProcess {
    int index = 0;  // 1, 2, ...
    std::string ini;
    std::string result;
    std::string log;
    std::string out;  // its standard output and error
    pid_t pid = -1;
    bool ended = false;
    int exitCode = -1;      // when it exited
    int signal = 0;         // the signal that ended it, else 0
    double startLagMs = 0;  // from the start time to its fork, on this clock
};

class Senders {
  public:
    Senders() = default;
    // Stops what still runs: SIGKILL by PID, reaped.
    ~Senders();
    Senders(const Senders&) = delete;
    Senders& operator=(const Senders&) = delete;

    // Prepared processes, started later by startAll.
    void add(SenderProcess p) { m_procs.push_back(std::move(p)); }

    // Starts every prepared process of binary, in dir. False with the
    // reason when one could not be forked (the others started so far stay
    // ours and are stopped as usual).
    bool startAll(const std::string& binary, const std::string& dir,
                  std::chrono::system_clock::time_point start, std::string* reason);

    // Reaps what ended; true when nothing runs any more.
    bool reap();
    // SIGTERM to every running one by its PID.
    void terminate();
    // SIGKILL to every running one by its PID.
    void kill();

    const std::vector<SenderProcess>& procs() const { return m_procs; }
    bool started() const { return m_started; }

  private:
    std::vector<SenderProcess> m_procs;
    bool m_started = false;
};

}  // namespace xoagent

#endif  // XOMQ_TOOLS_AGENT_SENDERS_H
