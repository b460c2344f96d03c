// libnats connection options from connect-string parameters, shared by the
// messaging library and the responder so that both reach routers the same
// way: the router list and its order, the connect time-out, reconnecting,
// the servers a cluster announces, credentials and TLS.
#ifndef XOSYS_NET_NATSOPTIONS_H
#define XOSYS_NET_NATSOPTIONS_H

#include <nats/nats.h>

#include <cstdint>
#include <string>

#include "ConnectString.h"
#include "NatsHandles.h"

namespace xosys {

// Creates *out for params. XOSYS_OK, or the code and *reason, in the
// user's terms and without any secret or field value:
// XOSYS_E_CONNECT_STRING when a file a field names cannot be used,
// XOSYS_E_CONNECT when the client certificate has expired, XOSYS_E_NO_MEMORY.
uint32_t buildNatsOptions(const ConnectParams& params, NatsOptionsPtr* out, std::string* reason);

// The result code of a failed connect and its reason in the user's terms
// (refused credentials, a TLS handshake that failed, no router reached).
uint32_t connectFailure(natsStatus s, const ConnectParams& params, std::string* reason);

}  // namespace xosys

#endif  // XOSYS_NET_NATSOPTIONS_H
