// The frame that carries one message over the router:
//
//   "XoM1"                      4 bytes, frame marker and version
//   field count                 u16
//   per field: name length      u8 (1..255), name bytes (no NUL)
//              value length     u32, value bytes
//   body length                 u32, body bytes
//
// All integers little-endian; nothing may follow the body. Decoding checks
// every length against the bytes actually present and rejects duplicates.
#ifndef XOSYS_CORE_WIRE_H
#define XOSYS_CORE_WIRE_H

#include <cstddef>
#include <cstdint>
#include <vector>

struct XoMsg_;

namespace xosys {
namespace wire {

// Property by which a request names the sender's own address, so the
// service can send unsolicited messages back.
extern const char kFromField[];

// Replaces out with the frame of msg. When from is non-null it is sent as
// the kFromField property (NUL included), in place of any such property of
// msg. Returns 0, XOSYS_E_TOO_LARGE or XOSYS_E_NO_MEMORY.
uint32_t encode(const XoMsg_& msg, const char* from, std::vector<uint8_t>& out);

// Whether data[0, size) starts with the frame marker: a frame, well-formed
// or not, as opposed to a plain payload of another sender.
bool isFrame(const uint8_t* data, size_t size);

// Fills the empty message msg from the frame data[0, size). Returns 0, or
// XOSYS_E_MALFORMED_MESSAGE for anything but a well-formed frame (msg is
// then left in an unspecified but valid state), or XOSYS_E_NO_MEMORY.
uint32_t decode(const uint8_t* data, size_t size, XoMsg_& msg);

}  // namespace wire
}  // namespace xosys

#endif  // XOSYS_CORE_WIRE_H
