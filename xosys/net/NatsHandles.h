// Owners of libnats's handles (see core/Owned.h).
#ifndef XOSYS_NET_NATSHANDLES_H
#define XOSYS_NET_NATSHANDLES_H

#include <nats/nats.h>

#include "Owned.h"

namespace xosys {

using NatsOptionsPtr = Owned<natsOptions, natsOptions_Destroy>;

}  // namespace xosys

#endif  // XOSYS_NET_NATSHANDLES_H
