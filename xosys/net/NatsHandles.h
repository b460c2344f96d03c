// Owners of libnats's handles (see core/Owned.h). A connection's own
// handles and their teardown order belong to NatsLink; a received message
// is a HeldMsg (SpentMessages.h), which hands it back in batches.
#ifndef XOSYS_NET_NATSHANDLES_H
#define XOSYS_NET_NATSHANDLES_H

#include <nats/nats.h>

#include "Owned.h"

namespace xosys {

using NatsOptionsPtr = Owned<natsOptions, natsOptions_Destroy>;
using NatsConnectionPtr = Owned<natsConnection, natsConnection_Destroy>;
using NatsSubscriptionPtr = Owned<natsSubscription, natsSubscription_Destroy>;
using NatsInboxPtr = Owned<natsInbox, natsInbox_Destroy>;
// A message we made (natsMsg_Create), not one received.
using NatsMsgPtr = Owned<natsMsg, natsMsg_Destroy>;

}  // namespace xosys

#endif  // XOSYS_NET_NATSHANDLES_H
