#include "EventLoop.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
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

// The signals held back while a wait spins: all but those a fault raises on
// the thread itself, whose handlers must run where the fault happened.
const sigset_t& spinMask() {
    static const sigset_t mask = [] {
        sigset_t m;
        sigfillset(&m);
        for (const int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) {
            sigdelset(&m, sig);
        }
        return m;
    }();
    return mask;
}

int64_t nowMicros() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// The one place a pump blocks: until a descriptor is ready or waitMs passed.
//
// With a spin window it first polls without sleeping for up to spinUs (never
// beyond waitMs), giving way between two polls to any other thread that is
// ready to run on this CPU. A signal must end the wait at once (EINTR) also
// while it spins, but a handler that ran between two polls would go unseen
// and the wait would sleep on. So the signals are held back for the whole
// wait and let in only inside each poll (ppoll with the caller's mask): one
// that comes between two polls is taken by the next and ends it.
int waitForEvents(pollfd* fds, nfds_t n, int64_t waitMs, int32_t spinUs) {
    const int ms = waitMs > INT_MAX ? INT_MAX : static_cast<int>(waitMs);
    sigset_t caller;
    if (spinUs <= 0 || ms <= 0 || pthread_sigmask(SIG_BLOCK, &spinMask(), &caller) != 0) {
        return poll(fds, n, ms);
    }
    const int64_t start = nowMicros();
    const int64_t waitUs = static_cast<int64_t>(ms) * 1000;
    const int64_t spinEnd = start + std::min<int64_t>(spinUs, waitUs);
    const timespec zero{0, 0};
    int r = 0;
    do {
        r = ppoll(fds, n, &zero, &caller);
        if (r == 0) {
            // What we wait for may need this CPU: the router or the service,
            // woken onto it, runs now instead of after our time slice.
            sched_yield();
        }
    } while (r == 0 && nowMicros() < spinEnd);
    const int64_t left = start + waitUs - nowMicros();
    if (r == 0 && left > 0) {
        const timespec rest{static_cast<time_t>(left / 1000000),
                            static_cast<long>(left % 1000000) * 1000};
        r = ppoll(fds, n, &rest, &caller);
    }
    const int saved = errno;
    pthread_sigmask(SIG_SETMASK, &caller, nullptr);
    errno = saved;
    return r;
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
    const int r = waitForEvents(fds, n, waitMs, m_spinUs);
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
