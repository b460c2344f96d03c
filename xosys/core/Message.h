// The message behind an XoMsgHandle: named properties holding bytes, and a
// body. Names and values live in one arena, each followed by a hidden NUL so
// that any value can be read as text without running past its end.
#ifndef XOSYS_CORE_MESSAGE_H
#define XOSYS_CORE_MESSAGE_H

#include <cstddef>
#include <cstdint>

#include "SmallBuffer.h"

struct XoMsg_ {
  public:
    static const size_t kMaxNameLen = 255;
    static const size_t kMaxFields = 1024;
    static const size_t kMaxValueSize = 64u * 1024u * 1024u;
    static const size_t kMaxBodySize = 64u * 1024u * 1024u;

    XoMsg_() {
        // An empty body still reads as empty text.
        m_body.resize(1);
        m_body[0] = 0;
    }
    XoMsg_(const XoMsg_&) = delete;
    XoMsg_& operator=(const XoMsg_&) = delete;

    // Sets (or replaces) the property name[0, nameLen). Returns a result code.
    uint32_t setField(const char* name, size_t nameLen, const void* value, size_t size);
    // Pointer to the stored value and its size, or false when absent.
    bool getField(const char* name, size_t nameLen, const uint8_t** value, size_t* size) const;

    uint32_t setBody(const void* data, size_t size);
    const uint8_t* body() const { return m_body.data(); }
    size_t bodySize() const { return m_bodySize; }

    size_t fieldCount() const { return m_fields.size(); }
    // The i-th property in insertion order (i < fieldCount()).
    void fieldAt(size_t i, const char** name, size_t* nameLen, const uint8_t** value,
                 size_t* size) const;

    // Bytes of the arena no longer referenced by any property. The library
    // never asks; it is how the bound on a message's memory is checked.
    size_t wastedBytes() const { return m_wasted; }

  private:
    struct Field {
        uint32_t nameOff;
        uint32_t valueOff;
        uint32_t valueLen;
        uint32_t nameLen;
    };

    int findField(const char* name, size_t nameLen) const;
    bool appendWithNul(const void* bytes, size_t n, uint32_t* offset);
    bool compact();

    xosys::SmallBuffer<Field, 8> m_fields;
    xosys::SmallBuffer<uint8_t, 192> m_arena;
    xosys::SmallBuffer<uint8_t, 128> m_body;  // body bytes plus a hidden NUL
    size_t m_bodySize = 0;
    size_t m_wasted = 0;
};

#endif  // XOSYS_CORE_MESSAGE_H
