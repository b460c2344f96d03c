#include "Subjects.h"

#include <cstring>

namespace xosys {

namespace {

bool printable(char c) {
    return c > 0x20 && c < 0x7f;
}

bool microChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

const char kHex[] = "0123456789ABCDEF";

}  // namespace

const char kMicroAddressPrefix[] = "_XO.micro.";

bool isMicroName(const std::string& name) {
    if (name.empty()) {
        return false;
    }
    for (const char c : name) {
        if (!microChar(c) && c != '_') {
            return false;
        }
    }
    return true;
}

std::string microName(const std::string& service) {
    std::string name;
    name.reserve(service.size());
    for (const char c : service) {
        if (microChar(c)) {
            name += c;
        } else if (c == '_') {
            name += "__";
        } else {
            const unsigned char b = static_cast<unsigned char>(c);
            name += '_';
            name += kHex[b >> 4];
            name += kHex[b & 0x0F];
        }
    }
    return name;
}

const char* microSubject(const char* address, size_t len) {
    if (len <= kMicroAddressPrefixLen ||
        std::memcmp(address, kMicroAddressPrefix, kMicroAddressPrefixLen) != 0) {
        return nullptr;
    }
    return address + kMicroAddressPrefixLen;
}

bool validServiceName(const char* name) {
    if (name == nullptr) {
        return false;
    }
    const size_t len = std::strlen(name);
    return len != 0 && len <= kMaxServiceNameLen;
}

std::string serviceToken(const std::string& service) {
    std::string token;
    token.reserve(service.size());
    for (const char c : service) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (plain) {
            token += c;
        } else {
            const unsigned char b = static_cast<unsigned char>(c);
            token += '%';
            token += kHex[b >> 4];
            token += kHex[b & 0x0F];
        }
    }
    return token;
}

bool validAddress(const char* text, size_t len) {
    if (text == nullptr || len == 0 || len > kMaxAddressLen) {
        return false;
    }
    bool tokenEmpty = true;
    for (size_t i = 0; i < len; ++i) {
        const char c = text[i];
        if (!printable(c) || c == '*' || c == '>') {
            return false;
        }
        if (c == '.') {
            if (tokenEmpty) {
                return false;
            }
            tokenEmpty = true;
        } else {
            tokenEmpty = false;
        }
    }
    return !tokenEmpty;
}

std::string resolveSubject(const std::string& service) {
    return "_XO.resolve." + serviceToken(service);
}

std::string serviceAddress(const std::string& service) {
    return "_XO.svc." + serviceToken(service);
}

std::string connectionReplyPrefix(const std::string& connId) {
    return "_XO.c." + connId + ".r.";
}

std::string connectionInbox(const std::string& connId) {
    return "_XO.c." + connId + ".in";
}

void appendDecimal(std::string& out, uint64_t v) {
    char digits[24];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n > 0) {
        out += digits[--n];
    }
}

bool parseReplySeq(const char* subject, const std::string& prefix, uint64_t* seq) {
    if (subject == nullptr || std::strncmp(subject, prefix.c_str(), prefix.size()) != 0) {
        return false;
    }
    const char* p = subject + prefix.size();
    if (*p == '\0') {
        return false;
    }
    uint64_t v = 0;
    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
        const uint64_t digit = static_cast<uint64_t>(*p - '0');
        if (v > (UINT64_MAX - digit) / 10) {
            return false;
        }
        v = v * 10 + digit;
    }
    *seq = v;
    return true;
}

}  // namespace xosys
