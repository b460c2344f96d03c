#include "LogFormat.h"

#include <cstdio>
#include <cstring>

namespace xolog {

std::string rewriteFormat(const char* format) {
    std::string out;
    if (format == nullptr) {
        return out;
    }
    out.reserve(std::strlen(format) + 8);
    const char* p = format;
    while (*p != '\0') {
        if (*p != '%') {
            out += *p++;
            continue;
        }
        out += *p++;  // '%'
        if (*p == '%') {
            out += *p++;
            continue;
        }
        // Flags, width and precision pass through unchanged.
        while (*p != '\0' && std::strchr("-+ #0123456789.*", *p) != nullptr) {
            out += *p++;
        }
        if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            out += "ll";
            p += 3;
        }
    }
    return out;
}

std::string formatV(const char* format, va_list args) {
    if (format == nullptr) {
        return std::string();
    }
    const std::string fmt = rewriteFormat(format);
    char small[512];
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(small, sizeof small, fmt.c_str(), copy);
    va_end(copy);
    if (needed < 0) {
        return std::string();
    }
    if (static_cast<size_t>(needed) < sizeof small) {
        return std::string(small, static_cast<size_t>(needed));
    }
    std::string out(static_cast<size_t>(needed) + 1, '\0');
    std::vsnprintf(&out[0], out.size(), fmt.c_str(), args);
    out.resize(static_cast<size_t>(needed));
    return out;
}

}  // namespace xolog
