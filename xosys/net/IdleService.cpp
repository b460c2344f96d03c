#include "IdleService.h"

#include <system_error>
#include <utility>

namespace xosys {

bool IdleService::start(std::function<void()> task) {
    stop();
    m_task = std::move(task);
    m_stop = false;
    try {
        m_thread = std::thread(&IdleService::loop, this);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void IdleService::stop() {
    if (!m_thread.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mu);
        m_stop = true;
    }
    m_cv.notify_all();
    m_thread.join();
}

void IdleService::loop() {
    std::unique_lock<std::mutex> lock(m_mu);
    while (!m_stop) {
        m_cv.wait_for(lock, m_period);
        if (m_stop) {
            break;
        }
        lock.unlock();
        m_task();
        lock.lock();
    }
}

}  // namespace xosys
