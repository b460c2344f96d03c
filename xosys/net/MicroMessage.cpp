#include "MicroMessage.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "XoSysCodes.h"

namespace xosys {
namespace micro {

const char kErrorHeader[] = "Nats-Service-Error";
const char kErrorCodeHeader[] = "Nats-Service-Error-Code";

namespace {

const char kBase64Prefix[] = "Xo-Base64-";
const size_t kBase64PrefixLen = sizeof kBase64Prefix - 1;
const char kHex[] = "0123456789ABCDEF";

bool headerNameChar(unsigned char c) {
    return c > 0x20 && c < 0x7f && c != ':';
}

bool headerSafeName(const char* name, size_t len) {
    for (size_t i = 0; i < len; ++i) {
        if (!headerNameChar(static_cast<unsigned char>(name[i]))) {
            return false;
        }
    }
    return len > 0;
}

// A value that travels as header text: its one NUL at the end, no control
// character, no blank at either end (header values are trimmed), not empty.
bool textValue(const uint8_t* v, size_t size) {
    if (size < 2 || v[size - 1] != 0 || v[0] == ' ' || v[size - 2] == ' ') {
        return false;
    }
    for (size_t i = 0; i + 1 < size; ++i) {
        if (v[i] < 0x20 || v[i] == 0x7f) {
            return false;
        }
    }
    return true;
}

std::string escapedName(const char* name, size_t len) {
    std::string out(kBase64Prefix);
    for (size_t i = 0; i < len; ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (headerNameChar(c) && c != '%') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
    return out;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool unescapeName(const char* text, std::string* name) {
    name->clear();
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p != '%') {
            *name += *p;
            continue;
        }
        const int hi = hexDigit(p[1]);
        const int lo = hi < 0 ? -1 : hexDigit(p[2]);
        if (lo < 0) {
            return false;
        }
        *name += static_cast<char>(hi * 16 + lo);
        p += 2;
    }
    return !name->empty();
}

std::string base64(const uint8_t* v, size_t size) {
    std::string out(4 * ((size + 2) / 3) + 1, '\0');
    const int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]), v, static_cast<int>(size));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

bool unbase64(const char* text, std::vector<uint8_t>* out) {
    const size_t len = std::strlen(text);
    if (len % 4 != 0) {
        return false;
    }
    out->resize(len / 4 * 3 + 1);
    const int n = EVP_DecodeBlock(out->data(), reinterpret_cast<const unsigned char*>(text),
                                  static_cast<int>(len));
    if (n < 0) {
        return false;
    }
    // EVP_DecodeBlock counts the padding as zero bytes.
    size_t size = static_cast<size_t>(n);
    for (size_t i = len; i > 0 && text[i - 1] == '=' && size > 0; --i) {
        --size;
    }
    out->resize(size);
    return true;
}

bool parseU32(const char* text, uint32_t* v) {
    if (*text == '\0') {
        return false;
    }
    uint64_t n = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
        n = n * 10 + static_cast<uint64_t>(*p - '0');
        if (n > UINT32_MAX) {
            return false;
        }
    }
    *v = static_cast<uint32_t>(n);
    return true;
}

uint32_t setText(XoMsg_* msg, const char* name, const char* text) {
    return msg->setField(name, std::strlen(name), text, std::strlen(text) + 1);
}

uint32_t setU32(XoMsg_* msg, const char* name, uint32_t v) {
    return msg->setField(name, std::strlen(name), &v, sizeof v);
}

uint32_t systemError(uint32_t code, XoMsg_* out) {
    const uint8_t body[4] = {static_cast<uint8_t>(code), static_cast<uint8_t>(code >> 8),
                             static_cast<uint8_t>(code >> 16), static_cast<uint8_t>(code >> 24)};
    uint32_t rc = setText(out, "Xo_Category", "Xo_System");
    if (rc == XOSYS_OK)
        rc = setU32(out, "Xo_Type", 0);
    if (rc == XOSYS_OK)
        rc = out->setBody(body, sizeof body);
    return rc;
}

// One header as a property of out.
uint32_t takeHeader(const char* key, const char* value, XoMsg_* out) {
    std::string name;
    std::vector<uint8_t> bytes;
    if (std::strncmp(key, kBase64Prefix, kBase64PrefixLen) == 0 &&
        unescapeName(key + kBase64PrefixLen, &name) && unbase64(value, &bytes)) {
        return out->setField(name.data(), name.size(), bytes.data(), bytes.size());
    }
    if (std::strcmp(key, "Xo_Type") == 0) {
        uint32_t type = 0;
        return parseU32(value, &type) ? setU32(out, key, type) : XOSYS_OK;
    }
    return setText(out, key, value);
}

uint32_t codeOfStatus(natsStatus s) {
    return s == NATS_NO_MEMORY ? XOSYS_E_NO_MEMORY : XOSYS_E_MESSAGING;
}

}  // namespace

uint32_t makeRequest(const XoMsg_& msg, const char* subject, const char* reply, NatsMsgPtr* out) {
    if (msg.bodySize() > static_cast<size_t>(INT32_MAX)) {
        return XOSYS_E_TOO_LARGE;
    }
    natsMsg* m = nullptr;
    natsStatus s = natsMsg_Create(&m, subject, reply, reinterpret_cast<const char*>(msg.body()),
                                  static_cast<int>(msg.bodySize()));
    if (s != NATS_OK) {
        return codeOfStatus(s);
    }
    out->reset(m);
    for (size_t i = 0; i < msg.fieldCount() && s == NATS_OK; ++i) {
        const char* name = nullptr;
        size_t nameLen = 0;
        const uint8_t* value = nullptr;
        size_t size = 0;
        msg.fieldAt(i, &name, &nameLen, &value, &size);
        const bool plain = headerSafeName(name, nameLen) && textValue(value, size) &&
                           std::strncmp(name, kBase64Prefix, kBase64PrefixLen) != 0;
        if (plain) {
            // Names and values are followed by a NUL in the message.
            s = natsMsgHeader_Set(m, name, reinterpret_cast<const char*>(value));
        } else {
            s = natsMsgHeader_Set(m, escapedName(name, nameLen).c_str(),
                                  base64(value, size).c_str());
        }
    }
    if (s != NATS_OK) {
        out->reset();
        return codeOfStatus(s);
    }
    return XOSYS_OK;
}

uint32_t readReply(natsMsg* m, XoMsg_* out, bool* serviceError, std::string* errorText) {
    *serviceError = false;
    errorText->clear();
    const char* code = nullptr;
    if (natsMsgHeader_Get(m, kErrorCodeHeader, &code) == NATS_OK && code != nullptr) {
        *serviceError = true;
        uint32_t n = 0;
        if (!parseU32(code, &n)) {
            n = 400;
        }
        const char* text = nullptr;
        if (natsMsgHeader_Get(m, kErrorHeader, &text) == NATS_OK && text != nullptr) {
            *errorText = text;
        }
        return systemError(n, out);
    }
    const int len = natsMsg_GetDataLength(m);
    uint32_t rc = out->setBody(natsMsg_GetData(m), len > 0 ? static_cast<size_t>(len) : 0);
    if (rc == XOSYS_OK)
        rc = setText(out, "Xo_Category", "Xo_Reply");
    if (rc == XOSYS_OK)
        rc = setU32(out, "Xo_Type", 1);
    const char** keys = nullptr;
    int count = 0;
    if (rc == XOSYS_OK && natsMsgHeader_Keys(m, &keys, &count) == NATS_OK) {
        for (int i = 0; i < count && rc == XOSYS_OK; ++i) {
            const char* value = nullptr;
            if (natsMsgHeader_Get(m, keys[i], &value) == NATS_OK && value != nullptr) {
                rc = takeHeader(keys[i], value, out);
            }
        }
        std::free(static_cast<void*>(keys));
    }
    return rc == XOSYS_OK || rc == XOSYS_E_NO_MEMORY ? rc : XOSYS_E_MALFORMED_MESSAGE;
}

natsStatus setErrorHeaders(natsMsg* m, uint32_t code, const char* text) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%u", static_cast<unsigned>(code));
    natsStatus s = natsMsgHeader_Set(m, kErrorCodeHeader, digits);
    if (s == NATS_OK)
        s = natsMsgHeader_Set(m, kErrorHeader, text);
    return s;
}

}  // namespace micro
}  // namespace xosys
