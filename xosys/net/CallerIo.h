// Socket I/O of a NATS connection done by the thread that calls us.
//
// libnats normally reads the socket in a thread of its own and hands each
// message over to the waiting caller through a condition variable: one more
// thread wake-up per reply. Here the connection runs in libnats's external
// event loop mode, and the loop is ours (EventLoop): a call that waits for a
// message polls the socket itself and lets libnats parse what arrived, so
// the reply lands in the subscription's queue on the caller's own thread.
//
// Between calls an idle service thread (IdleService) keeps the connection
// alive: every quarter second it writes what libnats queued (its PINGs) and
// reads what arrived (the router's PINGs, messages to our address). It
// never touches the socket while a call holds callLock().
//
// libnats frees a received message in its cleanup thread, and every
// natsMsg_Destroy wakes that thread: a context switch per message. A
// received message therefore comes as a HeldMsg, which hands it back in
// batches (SpentMessages), the last ones at the next idle tick or when the
// connection goes.
//
// When libnats reconnects, a wait does not fail: it sleeps until the new
// socket is attached, the connection closes for good, or its deadline
// passes (EventLoop).
//
// A wait says how it ended as a value (Arrival): a message, the time-out, a
// signal, the end of the connection, or another status of libnats. Nothing
// of it stays behind for the next call to check.
#ifndef XOSYS_NET_CALLERIO_H
#define XOSYS_NET_CALLERIO_H

#include <nats/nats.h>

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "EventLoop.h"
#include "IdleService.h"
#include "SpentMessages.h"

namespace xosys {

// How a wait for a message ended.
struct Arrival {
    enum class Kind {
        kMessage,      // msg holds it; from is the index of its subscription
        kTimedOut,     // nothing came before the deadline
        kInterrupted,  // a signal handler ran while the thread waited (so that
                       // a program can stop at once on SIGINT or SIGTERM)
        kClosed,       // the connection is closed for good
        kOther,        // another status of libnats, in status: a slow consumer
                       // (messages were dropped), no responders, ...
    };

    Kind kind = Kind::kTimedOut;
    // libnats's status: NATS_OK with a message, NATS_TIMEOUT, NATS_ERR when
    // interrupted, NATS_CONNECTION_CLOSED, or the other status.
    natsStatus status = NATS_TIMEOUT;
    HeldMsg msg;
    size_t from = 0;

    // How a wait ended that got status s (not NATS_OK) instead of a message.
    static Arrival of(natsStatus s);

    bool is(Kind k) const { return kind == k; }
};

class CallerIo {
  public:
    CallerIo() : m_idle(kIdlePeriod) {}
    ~CallerIo() {
        stopIdleService();
        releaseAll();
    }
    CallerIo(const CallerIo&) = delete;
    CallerIo& operator=(const CallerIo&) = delete;

    // Sets opts so that the next connection made with them is driven by this
    // object (external event loop, publishes written at once).
    natsStatus install(natsOptions* opts) { return m_loop.install(opts); }
    // Lets go of the state of the last connection once it is destroyed.
    void reset() { m_loop.reset(); }
    // How long a wait in next polls without sleeping before it sleeps, in
    // microseconds (EventLoop::setSpin); the idle service never spins.
    void setSpin(int32_t spinUs) { m_loop.setSpin(spinUs); }

    // Starts and stops the idle service for the connected nc. Stop before
    // the connection is destroyed.
    bool startIdleService(natsConnection* nc);
    void stopIdleService() { m_idle.stop(); }

    // Held by every call on the connection.
    std::mutex& callLock() { return m_call; }

    // Writes what libnats has queued, if the socket takes it at once; the
    // rest goes out while waiting in next.
    void flush(natsConnection* nc) { m_loop.flush(nc); }

    // Reads what has already arrived, without waiting. Before a write this
    // lets libnats see a router that went away, so that what is written
    // next waits for the next router instead of going into a dead socket.
    // Called with callLock() held.
    void catchUp(natsConnection* nc) { m_loop.pump(nc, 0); }

    // The next message of any of count synchronous subscriptions, reading
    // the socket until deadlineMs (a nats_Now() time); a message already
    // queued or already in the socket is taken even when the deadline has
    // passed. While libnats reconnects, it waits for the new socket. Called
    // with callLock() held; the message must go before the connection.
    Arrival next(natsConnection* nc, natsSubscription* const* subs, size_t count,
                 int64_t deadlineMs);
    Arrival next(natsConnection* nc, natsSubscription* sub, int64_t deadlineMs) {
        return next(nc, &sub, 1, deadlineMs);
    }

    // Owns m, a message we made and published, until it goes back with the
    // batch of received ones. Called with callLock() held.
    HeldMsg hold(natsMsg* m) { return HeldMsg(m, ReleaseTo{&m_spent}); }

    // Destroys every spent message still held.
    void releaseAll() { m_spent.releaseAll(); }

  private:
    static constexpr std::chrono::milliseconds kIdlePeriod{250};

    // The message of subs[i] that is there now, or the status it reports.
    Arrival take(natsSubscription* sub, size_t i);
    // One tick of the idle service.
    void serveIdle(natsConnection* nc);

    EventLoop m_loop;
    SpentMessages m_spent;
    std::mutex m_call;
    // Last: its thread uses the members above.
    IdleService m_idle;
};

}  // namespace xosys

#endif  // XOSYS_NET_CALLERIO_H
