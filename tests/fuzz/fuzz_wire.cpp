// Decoding a message frame off the wire: any bytes give a message or a
// refusal, never a crash or a read beyond them. A frame that decodes is
// canonical: encoding the message again gives back exactly the same bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Message.h"
#include "Wire.h"
#include "XoSysCodes.h"

namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_wire: broken: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly the input's size, so that any read past it shows.
    std::vector<uint8_t> frame(data, data + size);
    XoMsg_ msg;
    const uint32_t rc = xosys::wire::decode(frame.empty() ? nullptr : frame.data(), size, msg);
    if (rc != XOSYS_OK) {
        check(rc == XOSYS_E_MALFORMED_MESSAGE || rc == XOSYS_E_NO_MEMORY,
              "a refusal is a malformed message");
        return 0;
    }
    check(msg.fieldCount() <= XoMsg_::kMaxFields, "no more properties than allowed");
    size_t total = 4 + 2 + 4 + msg.bodySize();
    for (size_t i = 0; i < msg.fieldCount(); ++i) {
        const char* name = nullptr;
        size_t nameLen = 0;
        const uint8_t* value = nullptr;
        size_t valueSize = 0;
        msg.fieldAt(i, &name, &nameLen, &value, &valueSize);
        check(nameLen >= 1 && nameLen <= XoMsg_::kMaxNameLen, "names are 1 to 255 bytes");
        check(std::memchr(name, '\0', nameLen) == nullptr, "names hold no NUL");
        check(value[valueSize] == 0, "every value is followed by a NUL");
        // What the program does with a category: read it as text.
        check(std::strlen(reinterpret_cast<const char*>(value)) <= valueSize,
              "a value read as text ends within it");
        const uint8_t* found = nullptr;
        size_t foundSize = 0;
        check(msg.getField(name, nameLen, &found, &foundSize) && found == value &&
                  foundSize == valueSize,
              "each property is found by its name, once");
        total += 1 + nameLen + 4 + valueSize;
    }
    check(total == size, "the parts add up to the frame");
    check(msg.body()[msg.bodySize()] == 0, "the body is followed by a NUL");

    std::vector<uint8_t> again;
    check(xosys::wire::encode(msg, nullptr, again) == XOSYS_OK, "a decoded message encodes");
    check(again == frame, "encoding gives back the same frame");
    return 0;
}
