// libnats's external event loop, with the loop being ours: libnats tells us
// which socket to watch and whether it has bytes to write, and pump() polls
// that socket and lets libnats read and write. Whoever calls pump() does
// the connection's socket I/O on its own thread (CallerIo).
//
// When libnats reconnects, it stops watching the lost socket and, from its
// reconnect thread, attaches the new one. A pump in between does not fail:
// it sleeps on a wake-up descriptor until the new socket is attached, the
// connection closes for good, or its wait ends. The same descriptor wakes a
// pump when another thread queues bytes to write.
//
// A spin window (setSpin) trades CPU for latency: a pump that may wait
// first polls without sleeping for up to that long, so that what arrives
// meanwhile is handled without the thread going to sleep and being woken
// (a wake-up costs tens of microseconds when it crosses CPUs). Only then
// does it sleep as without the window. A pump that may not wait (waitMs 0:
// the idle service, catching up before a write) never spins.
#ifndef XOSYS_NET_EVENTLOOP_H
#define XOSYS_NET_EVENTLOOP_H

#include <nats/nats.h>

#include <cstdint>
#include <memory>

namespace xosys {

class EventLoop {
  public:
    // What one pump did.
    enum class Pumped {
        kHandled,      // libnats handled what the socket had, or the socket changed
        kTimedOut,     // nothing happened within the wait
        kInterrupted,  // a signal handler ran while the thread waited
        kClosed,       // no socket any more: the connection is closed
        kIoError,      // the poll itself failed
    };

    EventLoop() = default;
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Sets opts so that the next connection made with them is driven by this
    // loop (external event loop, publishes written at once).
    natsStatus install(natsOptions* opts);
    // Lets go of the state of the last connection once it is destroyed.
    void reset();

    // The spin window of every later pump, in microseconds; 0, the
    // default, sleeps at once.
    void setSpin(int32_t spinUs) { m_spinUs = spinUs; }

    // Writes what libnats has queued, if the socket takes it at once; the
    // rest goes out with the next pump.
    void flush(natsConnection* nc);

    // Waits at most waitMs for the socket of nc (or a wake-up) and lets
    // libnats handle what it has.
    Pumped pump(natsConnection* nc, int64_t waitMs);

    struct Shared;

  private:
    std::shared_ptr<Shared> m_shared;
    int32_t m_spinUs = 0;
};

}  // namespace xosys

#endif  // XOSYS_NET_EVENTLOOP_H
