// Messages to and from the endpoints of NATS micro services: plain NATS
// messages with headers, which a service written with any NATS client reads
// and writes without our frame.
//
// A request: the body is the payload. A property that is text (a value that
// ends with its one NUL, with no control characters and no blank at either
// end, under a name of printable ASCII without ':') is a header of the same
// name with the text as value: "Xo_Category: VORNA_FUTURES". Every other
// property is a header "Xo-Base64-<name>" with the value's bytes in base64,
// the name's bytes outside printable ASCII, ':' and '%' written as "%" and
// two hex digits: "Xo-Base64-Xo_Type: BgAAAA==" for the 4-byte 6.
//
// A reply: the payload is the body, and the headers become properties the
// same way back (a header's first value counts). With the header
// "Nats-Service-Error-Code" it is a system error reply instead: category
// "Xo_System", type 0, the code as 4-byte little-endian body (400 when the
// header is no number), the text of "Nats-Service-Error" handed to the
// caller for its log. Otherwise "Xo_Category" defaults to "Xo_Reply" and
// "Xo_Type" to 1; an "Xo_Type" header holding a decimal number is that
// number as 4 bytes.
#ifndef XOSYS_NET_MICROMESSAGE_H
#define XOSYS_NET_MICROMESSAGE_H

#include <nats/nats.h>

#include <cstdint>
#include <string>

#include "Message.h"
#include "NatsHandles.h"

namespace xosys {
namespace micro {

extern const char kErrorHeader[];      // "Nats-Service-Error"
extern const char kErrorCodeHeader[];  // "Nats-Service-Error-Code"

// The plain NATS request of msg to subject, answered at reply. XOSYS_OK, or
// XOSYS_E_NO_MEMORY / XOSYS_E_TOO_LARGE / XOSYS_E_MESSAGING.
uint32_t makeRequest(const XoMsg_& msg, const char* subject, const char* reply, NatsMsgPtr* out);

// Fills the empty message out from the reply m. *serviceError is set to
// true for a service error reply, with its text in *errorText. XOSYS_OK,
// XOSYS_E_NO_MEMORY, or XOSYS_E_MALFORMED_MESSAGE for a reply that does not
// fit a message (too many or too large properties).
uint32_t readReply(natsMsg* m, XoMsg_* out, bool* serviceError, std::string* errorText);

// Sets the two error headers on m: the code in decimal and the text.
natsStatus setErrorHeaders(natsMsg* m, uint32_t code, const char* text);

}  // namespace micro
}  // namespace xosys

#endif  // XOSYS_NET_MICROMESSAGE_H
