#include "CallerIo.h"

#include <poll.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <new>
#include <system_error>

namespace xosys {

// State the libnats callbacks write, possibly from libnats's timer thread.
// Each connection gets a fresh one: a late detach of an earlier connection
// must not touch the state of the next.
struct CallerIo::Shared {
    std::atomic<int> fd{-1};
    std::atomic<bool> attached{false};
    std::atomic<bool> writeWanted{false};
};

namespace {

using SharedRef = std::shared_ptr<CallerIo::Shared>;

// loop: the SharedRef of the CallerIo; *userData gets a reference of its own,
// released by the detach, so the state outlives every callback.
natsStatus onAttach(void** userData, void* loop, natsConnection* nc, natsSock socket) {
    (void)nc;
    SharedRef* ref = static_cast<SharedRef*>(*userData);
    if (ref == nullptr) {
        ref = new (std::nothrow) SharedRef(*static_cast<SharedRef*>(loop));
        if (ref == nullptr) {
            return NATS_NO_MEMORY;
        }
        *userData = ref;
    }
    (*ref)->fd = static_cast<int>(socket);
    (*ref)->attached = true;
    return NATS_OK;
}

natsStatus onRead(void* userData, bool add) {
    // Every wait polls for reading anyway.
    (void)userData;
    (void)add;
    return NATS_OK;
}

natsStatus onWrite(void* userData, bool add) {
    (*static_cast<SharedRef*>(userData))->writeWanted = add;
    return NATS_OK;
}

natsStatus onDetach(void* userData) {
    SharedRef* ref = static_cast<SharedRef*>(userData);
    (*ref)->attached = false;
    delete ref;
    return NATS_OK;
}

const auto kIdlePeriod = std::chrono::milliseconds(250);

}  // namespace

natsStatus CallerIo::install(natsOptions* opts) {
    try {
        m_shared = std::make_shared<Shared>();
        m_spent.reserve(kBatch);
    } catch (const std::bad_alloc&) {
        return NATS_NO_MEMORY;
    }
    natsStatus s = natsOptions_SetEventLoop(opts, &m_shared, onAttach, onRead, onWrite, onDetach);
    // Without a flusher thread a publish queues its bytes and asks for a
    // write event at once, which flush() answers on the spot.
    if (s == NATS_OK) {
        s = natsOptions_SetSendAsap(opts, true);
    }
    return s;
}

bool CallerIo::startIdleService(natsConnection* nc) {
    stopIdleService();
    m_nc = nc;
    m_stop = false;
    try {
        m_idle = std::thread(&CallerIo::idleLoop, this);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void CallerIo::stopIdleService() {
    if (!m_idle.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_idleMu);
        m_stop = true;
    }
    m_idleCv.notify_all();
    m_idle.join();
    m_nc = nullptr;
}

void CallerIo::idleLoop() {
    std::unique_lock<std::mutex> lock(m_idleMu);
    while (!m_stop) {
        m_idleCv.wait_for(lock, kIdlePeriod);
        if (m_stop) {
            break;
        }
        lock.unlock();
        {
            std::unique_lock<std::mutex> call(m_call, std::try_to_lock);
            // A bounded number of passes: a flood of incoming messages must
            // not keep this thread from noticing the stop.
            for (int i = 0; call.owns_lock() && i < 64; ++i) {
                if (pump(m_nc, 0) != NATS_OK) {
                    break;
                }
            }
            if (call.owns_lock()) {
                releaseAll();
            }
        }
        lock.lock();
    }
}

void CallerIo::release(natsMsg* m) {
    if (m == nullptr) {
        return;
    }
    // The capacity is reserved up front, so the push never allocates.
    if (m_spent.size() >= m_spent.capacity()) {
        releaseAll();
        if (m_spent.capacity() == 0) {
            natsMsg_Destroy(m);
            return;
        }
    }
    m_spent.push_back(m);
    if (m_spent.size() >= kBatch) {
        releaseAll();
    }
}

void CallerIo::releaseAll() {
    for (natsMsg* m : m_spent) {
        natsMsg_Destroy(m);
    }
    m_spent.clear();
}

void CallerIo::flush(natsConnection* nc) {
    if (m_shared && m_shared->writeWanted && m_shared->attached) {
        natsConnection_ProcessWriteEvent(nc);
    }
}

natsStatus CallerIo::pump(natsConnection* nc, int64_t waitMs, bool* interrupted) {
    if (!m_shared || !m_shared->attached) {
        return NATS_CONNECTION_CLOSED;
    }
    pollfd p{};
    p.fd = m_shared->fd;
    p.events = static_cast<short>(POLLIN | (m_shared->writeWanted ? POLLOUT : 0));
    const int r = poll(&p, 1, waitMs > INT_MAX ? INT_MAX : static_cast<int>(waitMs));
    if (r < 0) {
        if (errno != EINTR) {
            return NATS_IO_ERROR;
        }
        if (interrupted != nullptr) {
            *interrupted = true;
        }
        return NATS_OK;
    }
    if (r == 0) {
        return NATS_TIMEOUT;
    }
    if ((p.revents & POLLOUT) != 0) {
        natsConnection_ProcessWriteEvent(nc);
    }
    // A hang-up or error is read too: libnats then sees the end and closes.
    if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        natsConnection_ProcessReadEvent(nc);
        // What the input asked for (a PONG to the router's PING) goes at once.
        flush(nc);
    }
    if ((p.revents & POLLNVAL) != 0) {
        return NATS_CONNECTION_CLOSED;
    }
    return NATS_OK;
}

natsStatus CallerIo::nextMsg(natsConnection* nc, natsSubscription* sub, int64_t deadlineMs,
                             natsMsg** out) {
    m_interrupted = false;
    for (;;) {
        int pending = 0;
        if (natsSubscription_GetPending(sub, &pending, nullptr) != NATS_OK || pending > 0) {
            // A message waits, or the subscription is closed: NextMsg tells
            // which without waiting.
            return natsSubscription_NextMsg(out, sub, 0);
        }
        const int64_t left = deadlineMs - nats_Now();
        bool interrupted = false;
        const natsStatus s = pump(nc, left > 0 ? left : 0, &interrupted);
        if (interrupted) {
            m_interrupted = true;
            return NATS_ERR;
        }
        if (s == NATS_TIMEOUT) {
            if (left > 0) {
                continue;  // woke a little early; the deadline decides
            }
            return NATS_TIMEOUT;
        }
        if (s == NATS_CONNECTION_CLOSED) {
            // Closed while we read: the subscription reports how.
            const natsStatus st = natsSubscription_NextMsg(out, sub, 0);
            return st == NATS_TIMEOUT ? NATS_CONNECTION_CLOSED : st;
        }
        if (s != NATS_OK) {
            return s;
        }
    }
}

}  // namespace xosys
