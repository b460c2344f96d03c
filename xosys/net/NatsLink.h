// One connection to a NATS router, with everything that hangs on it: its
// subscriptions, the socket I/O on the calling thread (CallerIo) and, when
// it reconnects, its failover reports (LinkEvents). The library's
// connection handle and the responder each hold one; a process that
// subscribes to several subjects, some in queue groups, and answers
// requests is served the same way:
//
//   NatsLink link;
//   link.connect(params, sink, &reason);
//   link.subscribe(subject, queue, &sub);   // as many as needed
//   link.confirm(probe, deadline);          // the router knows them now
//   Arrival a = link.next(subs, count, deadline);
//   natsConnection_Publish(link.nc(), ...); link.flush();
//
// Waits, publishes and released messages need callLock() when another
// thread (the idle service) may be reading. A link is used once: connected,
// used, destroyed. The destructor takes it down in the one order that
// works: the idle service stops, spent messages go back, the failover
// reports stop, the subscriptions go and their UNSUBs are written, then the
// connection goes and with it the event loop's state.
#ifndef XOSYS_NET_NATSLINK_H
#define XOSYS_NET_NATSLINK_H

#include <nats/nats.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "CallerIo.h"
#include "ConnectString.h"
#include "LinkEvents.h"
#include "NatsHandles.h"

namespace xosys {

class NatsLink {
  public:
    NatsLink() = default;
    ~NatsLink();
    NatsLink(const NatsLink&) = delete;
    NatsLink& operator=(const NatsLink&) = delete;

    // Connects to the routers of params, with the options they ask for
    // (NatsOptions). A connection that reconnects reports its failovers
    // through sink. XOSYS_OK, or the code and *reason in the user's terms,
    // without any secret or file name.
    uint32_t connect(const ConnectParams& params, LinkEvents::Sink sink, std::string* reason);

    // Null until connected.
    natsConnection* nc() const { return m_nc.get(); }
    // A token no other link shares, for subjects of our own ("_XO.c.<id>...").
    const std::string& id() const { return m_id; }

    // A synchronous subscription to subject, in the queue group queue when
    // it is not null; libnats makes it again after a reconnect. The link
    // owns it; *sub stays valid until unsubscribe or the link goes.
    natsStatus subscribe(const std::string& subject, const char* queue, natsSubscription** sub);
    // Ends a subscription now; its UNSUB is written at once.
    void unsubscribe(natsSubscription* sub);

    std::mutex& callLock() { return m_io.callLock(); }

    // The next message of sub, or of any of count subscriptions (CallerIo).
    Arrival next(natsSubscription* sub, int64_t deadlineMs) {
        return m_io.next(nc(), sub, deadlineMs);
    }
    Arrival next(natsSubscription* const* subs, size_t count, int64_t deadlineMs) {
        return m_io.next(nc(), subs, count, deadlineMs);
    }

    // A subject of ours for confirm: "_XO.c.<id>.r.0", the shape of the
    // library's reply subjects and a number no request uses, so that a
    // router user allowed only "_XO.>" may send it.
    const std::string& probeSubject() const { return m_probe; }
    // Sends an empty message to probeSubject() and waits for it on via, a
    // subscription that receives that subject; whatever via gets before it
    // is dropped. Once it is back the router has processed every
    // subscription made before. Kind::kMessage when it came back (the
    // message itself is released); otherwise how the wait ended.
    Arrival confirm(natsSubscription* via, int64_t deadlineMs);

    // See CallerIo.
    HeldMsg hold(natsMsg* m) { return m_io.hold(m); }
    void flush() { m_io.flush(nc()); }
    void catchUp() { m_io.catchUp(nc()); }
    bool startIdleService() { return m_io.startIdleService(nc()); }

  private:
    CallerIo m_io;
    NatsConnectionPtr m_nc;
    std::vector<NatsSubscriptionPtr> m_subs;
    std::string m_id;
    std::string m_probe;
};

}  // namespace xosys

#endif  // XOSYS_NET_NATSLINK_H
