// The bytes XoMQSender's request puts on the wire, built without the XoSys
// library, for the plain libnats requester that it is compared with.
//
// A message travels as one frame in the NATS payload (no NATS headers):
//   "XoM1", u16 property count,
//   per property: u8 name length, name, u32 value length, value,
//   u32 body length, body;
// little-endian, nothing after the body. The library sends the sender's own
// address ("Xo_From") first, then the properties in the order they were set.
#ifndef XOBENCH_REQUESTFRAME_H
#define XOBENCH_REQUESTFRAME_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace xobench {

// Size of the program's request body, format "c4i4c3c4c17c10".
const size_t kBodySize = 4 + 4 + 3 + 4 + 17 + 10;

// Packs the program's body values ("ABCD", 12, "001", "VUZA", "", "3"):
// text fields zero-padded to their width, the integer little-endian.
void composeRequestBody(uint8_t (&out)[kBodySize]);

struct Property {
    const char* name;
    const void* value;
    size_t size;
};

// Replaces out with the frame of the given properties and body. False when a
// name is empty or longer than 255 bytes, or there are too many properties.
bool encodeFrame(const Property* props, size_t count, const uint8_t* body, size_t bodySize,
                 std::vector<uint8_t>& out);

// The frame of the program's request as our library sends it from the
// connection whose own address is from, to the service address to:
// "Xo_From", "Xo_To", "Xo_Category" (texts with their NUL), "Xo_Type" (6 as
// 4 bytes) and the composed body.
bool encodeRequest(const std::string& from, const std::string& to, std::vector<uint8_t>& out);

// What a requester checks of a reply.
struct ReplyInfo {
    std::string category;  // up to its first NUL
    bool hasType = false;
    uint32_t type = 0;
    std::vector<uint8_t> body;
};

// Reads a reply frame; false unless data[0, size) is one well-formed frame.
bool decodeReply(const uint8_t* data, size_t size, ReplyInfo* out);

// A system error reply: category "Xo_System" and type 0.
inline bool isSystemError(const ReplyInfo& r) {
    return r.category == "Xo_System" && r.hasType && r.type == 0;
}

}  // namespace xobench

#endif  // XOBENCH_REQUESTFRAME_H
