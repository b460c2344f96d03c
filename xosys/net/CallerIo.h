// Socket I/O of a NATS connection done by the thread that calls us.
//
// libnats normally reads the socket in a thread of its own and hands each
// message over to the waiting caller through a condition variable: one more
// thread wake-up per reply. Here the connection runs in libnats's external
// event loop mode, and the loop is ours: a call that waits for a message
// polls the socket itself and lets libnats parse what arrived, so the reply
// lands in the subscription's queue on the caller's own thread.
//
// Between calls an idle service thread keeps the connection alive: every
// quarter second it writes what libnats queued (its PINGs) and reads what
// arrived (the router's PINGs, messages to our address). It never touches
// the socket while a call holds callLock().
//
// libnats frees a received message in its cleanup thread, and every
// natsMsg_Destroy wakes that thread: a context switch per message. Spent
// messages are therefore handed over in batches (release), the last ones at
// the next idle tick or when the connection goes.
//
// When libnats reconnects, it stops polling the lost socket and, from its
// reconnect thread, attaches the new one. A wait in between does not fail:
// it sleeps on a wake-up descriptor until the new socket is attached, the
// connection closes for good, or its deadline passes. The same descriptor
// wakes a wait when another thread queues bytes to write.
#ifndef XOSYS_NET_CALLERIO_H
#define XOSYS_NET_CALLERIO_H

#include <nats/nats.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace xosys {

class CallerIo {
  public:
    CallerIo() = default;
    ~CallerIo() {
        stopIdleService();
        releaseAll();
    }
    CallerIo(const CallerIo&) = delete;
    CallerIo& operator=(const CallerIo&) = delete;

    // Sets opts so that the next connection made with them is driven by this
    // object (external event loop, publishes written at once).
    natsStatus install(natsOptions* opts);
    // Lets go of the state of the last connection once it is destroyed.
    void reset();

    // Starts and stops the idle service for the connected nc. Stop before
    // the connection is destroyed.
    bool startIdleService(natsConnection* nc);
    void stopIdleService();

    // Held by every call on the connection.
    std::mutex& callLock() { return m_call; }

    // Writes what libnats has queued, if the socket takes it at once; the
    // rest goes out while waiting in nextMsg.
    void flush(natsConnection* nc);

    // Reads what has already arrived, without waiting. Before a write this
    // lets libnats see a router that went away, so that what is written
    // next waits for the next router instead of going into a dead socket.
    // Called with callLock() held.
    void catchUp(natsConnection* nc);

    // The next message of the synchronous subscription sub, reading the
    // socket until deadlineMs (a nats_Now() time); a message already queued
    // or already in the socket is taken even when the deadline has passed.
    // NATS_TIMEOUT when none came; NATS_CONNECTION_CLOSED (or another
    // status of NextMsg) when the connection ended; while libnats
    // reconnects, it waits for the new socket; NATS_ERR with
    // interrupted() true when a signal handler ran while the thread waited
    // (so that a program can stop at once on SIGINT or SIGTERM).
    natsStatus nextMsg(natsConnection* nc, natsSubscription* sub, int64_t deadlineMs,
                       natsMsg** out);
    // The same for the first message of any of count subscriptions; *which
    // is the index of the one it came from.
    natsStatus nextMsgOf(natsConnection* nc, natsSubscription* const* subs, size_t count,
                         int64_t deadlineMs, natsMsg** out, size_t* which);
    // True when the last nextMsg ended because of a signal.
    bool interrupted() const { return m_interrupted; }

    // Destroys m now or with the next batch; m must not be used afterwards.
    // Called with callLock() held.
    void release(natsMsg* m);
    // Destroys every message still held.
    void releaseAll();

    struct Shared;

  private:
    // Waits at most waitMs for the socket and lets libnats handle it.
    // NATS_TIMEOUT when nothing happened within waitMs. A wait cut short by
    // a signal returns NATS_OK and sets *interrupted when it is given.
    natsStatus pump(natsConnection* nc, int64_t waitMs, bool* interrupted = nullptr);
    void idleLoop();

    static const size_t kBatch = 64;

    std::shared_ptr<Shared> m_shared;
    std::vector<natsMsg*> m_spent;
    std::mutex m_call;
    natsConnection* m_nc = nullptr;
    bool m_interrupted = false;
    std::thread m_idle;
    std::mutex m_idleMu;
    std::condition_variable m_idleCv;
    bool m_stop = false;
};

}  // namespace xosys

#endif  // XOSYS_NET_CALLERIO_H
