// The binary composer behind an XoComposerHandle: packs values after a
// format of items into a byte buffer, without padding.
//
// Items: "c<n>" an n-byte text field (const char*, zero-padded, at most n
// characters), "i1", "i2", "i4" (int) and "i8" (int64_t), little-endian.
#ifndef XOSYS_CORE_COMPOSER_H
#define XOSYS_CORE_COMPOSER_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "SmallBuffer.h"

struct XoComposer_ {
  public:
    static const size_t kMaxTextWidth = 65535;
    static const size_t kMaxSize = 64u * 1024u * 1024u;

    XoComposer_() = default;
    XoComposer_(const XoComposer_&) = delete;
    XoComposer_& operator=(const XoComposer_&) = delete;

    // Appends the values in args after format. On failure nothing is
    // appended and the code tells why.
    uint32_t compose(const char* format, va_list args);

    const uint8_t* data() const { return m_bytes.data(); }
    size_t size() const { return m_bytes.size(); }

  private:
    xosys::SmallBuffer<uint8_t, 128> m_bytes;
};

namespace xosys {

// One parsed format item: kind 'c' with width n, or 'i' with width 1, 2, 4, 8.
struct ComposeItem {
    char kind;
    uint32_t width;
};

// Parses format into items. Returns 0 or XOSYS_E_COMPOSE_FORMAT; *count
// receives the number of items, and at most capacity are stored. The total
// packed size goes to *packedSize.
uint32_t parseComposeFormat(const char* format, ComposeItem* items, size_t capacity, size_t* count,
                            size_t* packedSize);

}  // namespace xosys

#endif  // XOSYS_CORE_COMPOSER_H
