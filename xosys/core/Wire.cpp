#include "Wire.h"

#include <cstring>

#include "Message.h"
#include "XoSysCodes.h"

namespace xosys {
namespace wire {

const char kFromField[] = "Xo_From";

namespace {

const uint8_t kMagic[4] = {'X', 'o', 'M', '1'};
// Largest frame we build: the router's payload limit is far below this.
const size_t kMaxFrame = 256u * 1024u * 1024u;

void put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put32(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

uint32_t get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Reads from a byte range; every read checks what is left.
class Reader {
  public:
    Reader(const uint8_t* data, size_t size) : m_p(data), m_left(size) {}

    bool bytes(size_t n, const uint8_t** out) {
        if (n > m_left) {
            return false;
        }
        *out = m_p;
        m_p += n;
        m_left -= n;
        return true;
    }
    bool u8(uint32_t* v) {
        const uint8_t* p = nullptr;
        if (!bytes(1, &p)) {
            return false;
        }
        *v = p[0];
        return true;
    }
    bool u16(uint32_t* v) {
        const uint8_t* p = nullptr;
        if (!bytes(2, &p)) {
            return false;
        }
        *v = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8;
        return true;
    }
    bool u32(uint32_t* v) {
        const uint8_t* p = nullptr;
        if (!bytes(4, &p)) {
            return false;
        }
        *v = get32(p);
        return true;
    }
    size_t left() const { return m_left; }

  private:
    const uint8_t* m_p;
    size_t m_left;
};

bool isFrom(const char* name, size_t nameLen) {
    return nameLen == sizeof kFromField - 1 && std::memcmp(name, kFromField, nameLen) == 0;
}

}  // namespace

uint32_t encode(const XoMsg_& msg, const char* from, std::vector<uint8_t>& out) {
    const size_t fromLen = from != nullptr ? std::strlen(from) + 1 : 0;
    size_t fields = from != nullptr ? 1 : 0;
    size_t total = 4 + 2 + 4 + msg.bodySize();
    if (from != nullptr) {
        total += 1 + sizeof kFromField - 1 + 4 + fromLen;
    }
    for (size_t i = 0; i < msg.fieldCount(); ++i) {
        const char* name = nullptr;
        size_t nameLen = 0;
        const uint8_t* value = nullptr;
        size_t size = 0;
        msg.fieldAt(i, &name, &nameLen, &value, &size);
        if (from != nullptr && isFrom(name, nameLen)) {
            continue;
        }
        ++fields;
        total += 1 + nameLen + 4 + size;
    }
    if (fields > 0xFFFF || total > kMaxFrame || fromLen > XoMsg_::kMaxValueSize) {
        return XOSYS_E_TOO_LARGE;
    }
    try {
        out.resize(total);
    } catch (...) {
        return XOSYS_E_NO_MEMORY;
    }

    uint8_t* p = out.data();
    std::memcpy(p, kMagic, 4);
    p += 4;
    put16(p, static_cast<uint32_t>(fields));
    p += 2;
    if (from != nullptr) {
        *p++ = static_cast<uint8_t>(sizeof kFromField - 1);
        std::memcpy(p, kFromField, sizeof kFromField - 1);
        p += sizeof kFromField - 1;
        put32(p, fromLen);
        p += 4;
        std::memcpy(p, from, fromLen);
        p += fromLen;
    }
    for (size_t i = 0; i < msg.fieldCount(); ++i) {
        const char* name = nullptr;
        size_t nameLen = 0;
        const uint8_t* value = nullptr;
        size_t size = 0;
        msg.fieldAt(i, &name, &nameLen, &value, &size);
        if (from != nullptr && isFrom(name, nameLen)) {
            continue;
        }
        *p++ = static_cast<uint8_t>(nameLen);
        std::memcpy(p, name, nameLen);
        p += nameLen;
        put32(p, size);
        p += 4;
        if (size != 0) {
            std::memcpy(p, value, size);
            p += size;
        }
    }
    put32(p, msg.bodySize());
    p += 4;
    if (msg.bodySize() != 0) {
        std::memcpy(p, msg.body(), msg.bodySize());
    }
    return XOSYS_OK;
}

bool isFrame(const uint8_t* data, size_t size) {
    return data != nullptr && size >= sizeof kMagic &&
           std::memcmp(data, kMagic, sizeof kMagic) == 0;
}

uint32_t decode(const uint8_t* data, size_t size, XoMsg_& msg) {
    if (data == nullptr && size != 0) {
        return XOSYS_E_MALFORMED_MESSAGE;
    }
    Reader in(data, size);
    const uint8_t* magic = nullptr;
    uint32_t fields = 0;
    if (!in.bytes(4, &magic) || std::memcmp(magic, kMagic, 4) != 0 || !in.u16(&fields) ||
        fields > XoMsg_::kMaxFields) {
        return XOSYS_E_MALFORMED_MESSAGE;
    }
    for (uint32_t i = 0; i < fields; ++i) {
        uint32_t nameLen = 0;
        uint32_t valueLen = 0;
        const uint8_t* name = nullptr;
        const uint8_t* value = nullptr;
        if (!in.u8(&nameLen) || nameLen == 0 || !in.bytes(nameLen, &name) || !in.u32(&valueLen) ||
            !in.bytes(valueLen, &value)) {
            return XOSYS_E_MALFORMED_MESSAGE;
        }
        const char* n = reinterpret_cast<const char*>(name);
        const uint8_t* existing = nullptr;
        size_t existingSize = 0;
        if (msg.getField(n, nameLen, &existing, &existingSize)) {
            return XOSYS_E_MALFORMED_MESSAGE;
        }
        const uint32_t rc = msg.setField(n, nameLen, value, valueLen);
        if (rc == XOSYS_E_NO_MEMORY) {
            return rc;
        }
        if (rc != XOSYS_OK) {
            return XOSYS_E_MALFORMED_MESSAGE;
        }
    }
    uint32_t bodyLen = 0;
    const uint8_t* body = nullptr;
    if (!in.u32(&bodyLen) || !in.bytes(bodyLen, &body) || in.left() != 0) {
        return XOSYS_E_MALFORMED_MESSAGE;
    }
    const uint32_t rc = msg.setBody(body, bodyLen);
    if (rc == XOSYS_E_NO_MEMORY) {
        return rc;
    }
    return rc == XOSYS_OK ? XOSYS_OK : XOSYS_E_MALFORMED_MESSAGE;
}

}  // namespace wire
}  // namespace xosys
