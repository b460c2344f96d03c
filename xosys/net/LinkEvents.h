// Failover reports of connections that reconnect: the router lost, the
// router reconnected to (and how long it took), and giving up. libnats
// reports these on its callback thread; each becomes one line through the
// sink the connection was tracked with.
#ifndef XOSYS_NET_LINKEVENTS_H
#define XOSYS_NET_LINKEVENTS_H

#include <nats/nats.h>

#include <string>

#include "ConnectString.h"

namespace xosys {

class LinkEvents {
  public:
    // Receives one line of text; called from libnats's callback thread.
    using Sink = void (*)(const char* text);

    // Sets the callbacks on opts; reports start once the connection made
    // with them is tracked.
    static natsStatus install(natsOptions* opts);
    // Reports the events of nc through sink, described by params.
    static void track(natsConnection* nc, const ConnectParams& params, Sink sink);
    // Stops the reports of nc; call before destroying it, so that closing
    // it on purpose is not reported. A give-up still waiting on the
    // callback thread is reported here.
    static void forget(natsConnection* nc);
};

}  // namespace xosys

#endif  // XOSYS_NET_LINKEVENTS_H
