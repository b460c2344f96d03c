// A thread that runs a task at a fixed period until it is stopped: what
// keeps a connection alive while nobody calls on it (CallerIo).
#ifndef XOSYS_NET_IDLESERVICE_H
#define XOSYS_NET_IDLESERVICE_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace xosys {

class IdleService {
  public:
    explicit IdleService(std::chrono::milliseconds period) : m_period(period) {}
    ~IdleService() { stop(); }
    IdleService(const IdleService&) = delete;
    IdleService& operator=(const IdleService&) = delete;

    // Runs task every period, the first time one period from now; a task
    // already running is stopped first. False when no thread can be started.
    bool start(std::function<void()> task);
    // Ends the thread; a task running finishes first. Stopping a stopped
    // service does nothing.
    void stop();

  private:
    void loop();

    const std::chrono::milliseconds m_period;
    std::function<void()> m_task;
    std::mutex m_mu;
    std::condition_variable m_cv;
    bool m_stop = false;
    std::thread m_thread;
};

}  // namespace xosys

#endif  // XOSYS_NET_IDLESERVICE_H
