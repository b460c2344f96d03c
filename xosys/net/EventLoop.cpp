#include "EventLoop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <new>

namespace xosys {

// State the libnats callbacks write, possibly from libnats's timer thread.
// Each connection gets a fresh one: a late detach of an earlier connection
// must not touch the state of the next.
struct EventLoop::Shared {
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

using SharedRef = std::shared_ptr<EventLoop::Shared>;

// loop: the SharedRef of the EventLoop; *userData gets a reference of its
// own, released by the detach, so the state outlives every callback.
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
    // Every pump polls for reading anyway; a removal means the socket is
    // gone (libnats reconnects or closes).
    if (!add) {
        EventLoop::Shared& shared = **static_cast<SharedRef*>(userData);
        shared.live = false;
        shared.wake();
    }
    return NATS_OK;
}

natsStatus onWrite(void* userData, bool add) {
    EventLoop::Shared& shared = **static_cast<SharedRef*>(userData);
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

// The one place a pump blocks: until a descriptor is ready or waitMs passed.
int waitForEvents(pollfd* fds, nfds_t n, int64_t waitMs) {
    return poll(fds, n, waitMs > INT_MAX ? INT_MAX : static_cast<int>(waitMs));
}

}  // namespace

natsStatus EventLoop::install(natsOptions* opts) {
    try {
        m_shared = std::make_shared<Shared>();
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

void EventLoop::reset() {
    m_shared.reset();
}

void EventLoop::flush(natsConnection* nc) {
    if (m_shared && m_shared->writeWanted && m_shared->live) {
        natsConnection_ProcessWriteEvent(nc);
    }
}

EventLoop::Pumped EventLoop::pump(natsConnection* nc, int64_t waitMs) {
    if (!m_shared || !m_shared->attached) {
        return Pumped::kClosed;
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
    const int r = waitForEvents(fds, n, waitMs);
    shared.polling = false;
    if (r < 0) {
        return errno == EINTR ? Pumped::kInterrupted : Pumped::kIoError;
    }
    if (r == 0) {
        return Pumped::kTimedOut;
    }
    if ((wake.revents & POLLIN) != 0) {
        shared.drain();
    }
    if (!live) {
        return Pumped::kHandled;  // the caller looks again at the connection
    }
    const pollfd& p = fds[0];
    if (p.revents == 0) {
        return Pumped::kHandled;
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
        return Pumped::kClosed;
    }
    return Pumped::kHandled;
}

}  // namespace xosys
