#include "CallerIo.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

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
    Shared() : wakeFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~Shared() {
        if (wakeFd >= 0) {
            close(wakeFd);
        }
    }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;

    // Ends a poll of another thread at once.
    void wake() {
        const uint64_t one = 1;
        if (wakeFd >= 0 && write(wakeFd, &one, sizeof one) < 0) {
            // Already signalled: the counter is far from full, so the wait
            // wakes anyway.
        }
    }
    void drain() {
        uint64_t count = 0;
        if (read(wakeFd, &count, sizeof count) < 0) {
            // Nothing to take: another wake-up was taken already.
        }
    }

    const int wakeFd;
    std::atomic<int> fd{-1};
    // From attach to detach: the connection is open or reconnecting.
    std::atomic<bool> attached{false};
    // The socket may be polled: false while libnats reconnects.
    std::atomic<bool> live{false};
    std::atomic<bool> writeWanted{false};
    // A thread sits in poll and needs a wake-up for new writes.
    std::atomic<bool> polling{false};
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
    // Attached again after a reconnect: the new socket.
    (*ref)->fd = static_cast<int>(socket);
    (*ref)->attached = true;
    (*ref)->live = true;
    (*ref)->wake();
    return NATS_OK;
}

natsStatus onRead(void* userData, bool add) {
    // Every wait polls for reading anyway; a removal means the socket is
    // gone (libnats reconnects or closes).
    if (!add) {
        CallerIo::Shared& shared = **static_cast<SharedRef*>(userData);
        shared.live = false;
        shared.wake();
    }
    return NATS_OK;
}

natsStatus onWrite(void* userData, bool add) {
    CallerIo::Shared& shared = **static_cast<SharedRef*>(userData);
    shared.writeWanted = add;
    // Bytes queued by another thread (the reconnect thread resending our
    // subscriptions, a PING): a poll without POLLOUT must see them.
    if (add && shared.polling) {
        shared.wake();
    }
    return NATS_OK;
}

natsStatus onDetach(void* userData) {
    SharedRef* ref = static_cast<SharedRef*>(userData);
    (*ref)->attached = false;
    (*ref)->live = false;
    (*ref)->wake();
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
    if (m_shared->wakeFd < 0) {
        m_shared.reset();
        return NATS_SYS_ERROR;
    }
    natsStatus s = natsOptions_SetEventLoop(opts, &m_shared, onAttach, onRead, onWrite, onDetach);
    // Without a flusher thread a publish queues its bytes and asks for a
    // write event at once, which flush() answers on the spot.
    if (s == NATS_OK) {
        s = natsOptions_SetSendAsap(opts, true);
    }
    return s;
}

void CallerIo::reset() {
    m_shared.reset();
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
    if (m_shared && m_shared->writeWanted && m_shared->live) {
        natsConnection_ProcessWriteEvent(nc);
    }
}

void CallerIo::catchUp(natsConnection* nc) {
    pump(nc, 0);
}

natsStatus CallerIo::pump(natsConnection* nc, int64_t waitMs, bool* interrupted) {
    if (!m_shared || !m_shared->attached) {
        return NATS_CONNECTION_CLOSED;
    }
    Shared& shared = *m_shared;
    // The socket, unless libnats is between two sockets; the wake-up
    // descriptor always.
    pollfd fds[2]{};
    const bool live = shared.live;
    nfds_t n = 0;
    if (live) {
        fds[n++].fd = shared.fd;
    }
    pollfd& wake = fds[n++];
    wake.fd = shared.wakeFd;
    wake.events = POLLIN;
    shared.polling = true;
    // Read after announcing the poll: a write queued from now on wakes it.
    if (live) {
        fds[0].events = static_cast<short>(POLLIN | (shared.writeWanted ? POLLOUT : 0));
    }
    const int r = poll(fds, n, waitMs > INT_MAX ? INT_MAX : static_cast<int>(waitMs));
    shared.polling = false;
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
    if ((wake.revents & POLLIN) != 0) {
        shared.drain();
    }
    if (!live) {
        return NATS_OK;  // the caller looks again at the connection
    }
    const pollfd& p = fds[0];
    if (p.revents == 0) {
        return NATS_OK;
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
    size_t which = 0;
    return nextMsgOf(nc, &sub, 1, deadlineMs, out, &which);
}

natsStatus CallerIo::nextMsgOf(natsConnection* nc, natsSubscription* const* subs, size_t count,
                               int64_t deadlineMs, natsMsg** out, size_t* which) {
    m_interrupted = false;
    for (;;) {
        for (size_t i = 0; i < count; ++i) {
            int pending = 0;
            if (natsSubscription_GetPending(subs[i], &pending, nullptr) != NATS_OK || pending > 0) {
                // A message waits, or the subscription is closed: NextMsg
                // tells which without waiting.
                *which = i;
                return natsSubscription_NextMsg(out, subs[i], 0);
            }
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
            // Closed while we read: the first subscription reports how.
            *which = 0;
            const natsStatus st = natsSubscription_NextMsg(out, subs[0], 0);
            return st == NATS_TIMEOUT ? NATS_CONNECTION_CLOSED : st;
        }
        if (s != NATS_OK) {
            return s;
        }
    }
}

}  // namespace xosys
