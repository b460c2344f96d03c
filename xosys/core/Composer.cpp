#include "Composer.h"

#include <cstring>

#include "XoSysCodes.h"

namespace xosys {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

uint32_t parseComposeFormat(const char* format, ComposeItem* items, size_t capacity, size_t* count,
                            size_t* packedSize) {
    *count = 0;
    *packedSize = 0;
    const char* p = format;
    while (*p != '\0') {
        const char kind = *p++;
        if (kind != 'c' && kind != 'i') {
            return XOSYS_E_COMPOSE_FORMAT;
        }
        // A width: decimal digits without a leading zero, bounded.
        if (!isDigit(*p) || *p == '0') {
            return XOSYS_E_COMPOSE_FORMAT;
        }
        uint32_t width = 0;
        while (isDigit(*p)) {
            width = width * 10 + static_cast<uint32_t>(*p - '0');
            ++p;
            if (width > XoComposer_::kMaxTextWidth) {
                return XOSYS_E_COMPOSE_FORMAT;
            }
        }
        if (kind == 'i' && width != 1 && width != 2 && width != 4 && width != 8) {
            return XOSYS_E_COMPOSE_FORMAT;
        }
        if (*count < capacity) {
            items[*count].kind = kind;
            items[*count].width = width;
        }
        ++*count;
        *packedSize += width;
        if (*packedSize > XoComposer_::kMaxSize) {
            return XOSYS_E_TOO_LARGE;
        }
    }
    return XOSYS_OK;
}

}  // namespace xosys

namespace {

void putLittleEndian(uint8_t* out, uint64_t value, uint32_t width) {
    for (uint32_t i = 0; i < width; ++i) {
        out[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

}  // namespace

uint32_t XoComposer_::compose(const char* format, va_list args) {
    if (format == nullptr) {
        return XOSYS_E_INVALID_ARG;
    }
    // Validate the whole format before any value is taken from args, so
    // that a bad format never reads arguments that were not passed.
    xosys::SmallBuffer<xosys::ComposeItem, 16> items;
    size_t count = 0;
    size_t packed = 0;
    uint32_t rc =
        xosys::parseComposeFormat(format, items.data(), items.capacity(), &count, &packed);
    if (rc != XOSYS_OK) {
        return rc;
    }
    if (count > items.capacity()) {
        if (!items.reserve(count)) {
            return XOSYS_E_NO_MEMORY;
        }
        rc = xosys::parseComposeFormat(format, items.data(), items.capacity(), &count, &packed);
        if (rc != XOSYS_OK) {
            return rc;
        }
    }
    if (!items.resize(count)) {
        return XOSYS_E_NO_MEMORY;
    }

    const size_t start = m_bytes.size();
    if (packed > kMaxSize - start) {
        return XOSYS_E_TOO_LARGE;
    }
    if (!m_bytes.resize(start + packed)) {
        return XOSYS_E_NO_MEMORY;
    }
    uint8_t* out = m_bytes.data() + start;
    for (size_t i = 0; i < count; ++i) {
        const xosys::ComposeItem item = items[i];
        if (item.kind == 'c') {
            const char* text = va_arg(args, const char*);
            if (text == nullptr) {
                m_bytes.resize(start);
                return XOSYS_E_COMPOSE_VALUE;
            }
            size_t len = 0;
            while (len <= item.width && text[len] != '\0') {
                ++len;
            }
            if (len > item.width) {
                m_bytes.resize(start);
                return XOSYS_E_COMPOSE_VALUE;
            }
            std::memcpy(out, text, len);
            std::memset(out + len, 0, item.width - len);
        } else if (item.width == 8) {
            const int64_t value = va_arg(args, int64_t);
            putLittleEndian(out, static_cast<uint64_t>(value), 8);
        } else {
            const int value = va_arg(args, int);
            // i1 and i2 take signed or unsigned values of their width.
            const long long lo = item.width == 1 ? -128 : item.width == 2 ? -32768 : INT32_MIN;
            const long long hi = item.width == 1 ? 255 : item.width == 2 ? 65535 : INT32_MAX;
            if (value < lo || value > hi) {
                m_bytes.resize(start);
                return XOSYS_E_COMPOSE_VALUE;
            }
            putLittleEndian(out, static_cast<uint64_t>(static_cast<int64_t>(value)), item.width);
        }
        out += item.width;
    }
    return XOSYS_OK;
}
