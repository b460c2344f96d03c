#include "RequestFrame.h"

#include <cstring>

namespace xobench {

namespace {

const uint8_t kMagic[4] = {'X', 'o', 'M', '1'};

void put32(std::vector<uint8_t>& out, size_t v) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}

void putBytes(std::vector<uint8_t>& out, const void* p, size_t n) {
    const uint8_t* b = static_cast<const uint8_t*>(p);
    out.insert(out.end(), b, b + n);
}

void putText(uint8_t* out, const char* text, size_t width) {
    const size_t len = std::strlen(text);
    std::memcpy(out, text, len);
    std::memset(out + len, 0, width - len);
}

// Bounds-checked reading of a frame.
class Reader {
  public:
    Reader(const uint8_t* p, size_t n) : m_p(p), m_left(n) {}
    bool take(size_t n, const uint8_t** out) {
        if (n > m_left) {
            return false;
        }
        *out = m_p;
        m_p += n;
        m_left -= n;
        return true;
    }
    bool u32(uint32_t* v) {
        const uint8_t* p = nullptr;
        if (!take(4, &p)) {
            return false;
        }
        *v = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
             static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
        return true;
    }
    size_t left() const { return m_left; }

  private:
    const uint8_t* m_p;
    size_t m_left;
};

}  // namespace

void composeRequestBody(uint8_t (&out)[kBodySize]) {
    uint8_t* p = out;
    putText(p, "ABCD", 4);
    p += 4;
    const uint32_t twelve = 12;
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(twelve >> (8 * i));
    }
    p += 4;
    putText(p, "001", 3);
    p += 3;
    putText(p, "VUZA", 4);
    p += 4;
    putText(p, "", 17);
    p += 17;
    putText(p, "3", 10);
}

bool encodeFrame(const Property* props, size_t count, const uint8_t* body, size_t bodySize,
                 std::vector<uint8_t>& out) {
    if (count > 0xFFFF) {
        return false;
    }
    size_t total = 4 + 2 + 4 + bodySize;
    for (size_t i = 0; i < count; ++i) {
        const size_t nameLen = std::strlen(props[i].name);
        if (nameLen == 0 || nameLen > 255 || props[i].size > 0xFFFFFFFFu) {
            return false;
        }
        total += 1 + nameLen + 4 + props[i].size;
    }
    out.clear();
    out.reserve(total);
    putBytes(out, kMagic, 4);
    out.push_back(static_cast<uint8_t>(count));
    out.push_back(static_cast<uint8_t>(count >> 8));
    for (size_t i = 0; i < count; ++i) {
        const size_t nameLen = std::strlen(props[i].name);
        out.push_back(static_cast<uint8_t>(nameLen));
        putBytes(out, props[i].name, nameLen);
        put32(out, props[i].size);
        putBytes(out, props[i].value, props[i].size);
    }
    put32(out, bodySize);
    putBytes(out, body, bodySize);
    return true;
}

bool encodeRequest(const std::string& from, const std::string& to, std::vector<uint8_t>& out) {
    static const char kCategory[] = "VORNA_FUTURES";
    const uint8_t type[4] = {6, 0, 0, 0};
    uint8_t body[kBodySize];
    composeRequestBody(body);
    const Property props[] = {
        {"Xo_From", from.c_str(), from.size() + 1},
        {"Xo_To", to.c_str(), to.size() + 1},
        {"Xo_Category", kCategory, sizeof kCategory},
        {"Xo_Type", type, sizeof type},
    };
    return encodeFrame(props, sizeof props / sizeof props[0], body, sizeof body, out);
}

bool decodeReply(const uint8_t* data, size_t size, ReplyInfo* out) {
    *out = ReplyInfo();
    if (data == nullptr) {
        return false;
    }
    Reader in(data, size);
    const uint8_t* p = nullptr;
    if (!in.take(4, &p) || std::memcmp(p, kMagic, 4) != 0 || !in.take(2, &p)) {
        return false;
    }
    const size_t count = static_cast<size_t>(p[0]) | static_cast<size_t>(p[1]) << 8;
    bool hasCategory = false;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* name = nullptr;
        const uint8_t* value = nullptr;
        uint32_t valueLen = 0;
        if (!in.take(1, &p) || p[0] == 0) {
            return false;
        }
        const size_t nameLen = p[0];
        if (!in.take(nameLen, &name) || !in.u32(&valueLen) || !in.take(valueLen, &value)) {
            return false;
        }
        const std::string n(reinterpret_cast<const char*>(name), nameLen);
        if (n == "Xo_Category") {
            if (hasCategory) {
                return false;  // duplicates are malformed
            }
            hasCategory = true;
            const void* nul = std::memchr(value, 0, valueLen);
            const size_t textLen =
                nul != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - value)
                               : valueLen;
            out->category.assign(reinterpret_cast<const char*>(value), textLen);
        } else if (n == "Xo_Type") {
            if (out->hasType || valueLen != 4) {
                return false;
            }
            out->hasType = true;
            out->type = static_cast<uint32_t>(value[0]) | static_cast<uint32_t>(value[1]) << 8 |
                        static_cast<uint32_t>(value[2]) << 16 |
                        static_cast<uint32_t>(value[3]) << 24;
        }
    }
    uint32_t bodyLen = 0;
    const uint8_t* body = nullptr;
    if (!in.u32(&bodyLen) || !in.take(bodyLen, &body) || in.left() != 0) {
        return false;
    }
    out->body.assign(body, body + bodyLen);
    return true;
}

}  // namespace xobench
