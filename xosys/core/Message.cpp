#include "Message.h"

#include <cstring>
#include <string>

#include "XoSysCodes.h"

int XoMsg_::findField(const char* name, size_t nameLen) const {
    for (size_t i = 0; i < m_fields.size(); ++i) {
        const Field& f = m_fields[i];
        if (f.nameLen == nameLen && std::memcmp(m_arena.data() + f.nameOff, name, nameLen) == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool XoMsg_::appendWithNul(const void* bytes, size_t n, uint32_t* offset) {
    const size_t at = m_arena.size();
    // Offsets are 32-bit; the size limits keep the arena far below that.
    if (at + n + 1 > UINT32_MAX || !m_arena.reserve(at + n + 1)) {
        return false;
    }
    static const uint8_t nul = 0;
    m_arena.append(static_cast<const uint8_t*>(bytes), n);
    m_arena.append(&nul, 1);
    *offset = static_cast<uint32_t>(at);
    return true;
}

bool XoMsg_::compact() {
    // Rebuild the arena from the live names and values, in field order.
    std::string live;
    live.reserve(m_arena.size() - m_wasted);
    for (size_t i = 0; i < m_fields.size(); ++i) {
        Field& f = m_fields[i];
        const uint32_t nameOff = static_cast<uint32_t>(live.size());
        live.append(reinterpret_cast<const char*>(m_arena.data() + f.nameOff), f.nameLen + 1);
        const uint32_t valueOff = static_cast<uint32_t>(live.size());
        live.append(reinterpret_cast<const char*>(m_arena.data() + f.valueOff), f.valueLen + 1);
        f.nameOff = nameOff;
        f.valueOff = valueOff;
    }
    m_arena.clear();
    m_wasted = 0;
    return m_arena.append(reinterpret_cast<const uint8_t*>(live.data()), live.size());
}

uint32_t XoMsg_::setField(const char* name, size_t nameLen, const void* value, size_t size) {
    if (name == nullptr || (value == nullptr && size != 0)) {
        return XOSYS_E_INVALID_ARG;
    }
    if (nameLen == 0 || nameLen > kMaxNameLen || std::memchr(name, '\0', nameLen) != nullptr) {
        return XOSYS_E_FIELD_NAME;
    }
    if (size > kMaxValueSize) {
        return XOSYS_E_TOO_LARGE;
    }
    // The value may point into our own arena (a value copied from another
    // property); take a private copy before the arena can move.
    std::string ownCopy;
    if (size != 0 && m_arena.contains(value)) {
        ownCopy.assign(static_cast<const char*>(value), size);
        value = ownCopy.data();
    }

    const int index = findField(name, nameLen);
    if (index >= 0) {
        Field& f = m_fields[static_cast<size_t>(index)];
        if (size <= f.valueLen) {
            if (size != 0) {
                std::memcpy(m_arena.data() + f.valueOff, value, size);
            }
            m_arena[f.valueOff + size] = 0;
            m_wasted += f.valueLen - size;
            f.valueLen = static_cast<uint32_t>(size);
            return XOSYS_OK;
        }
        uint32_t valueOff = 0;
        if (!appendWithNul(value, size, &valueOff)) {
            return XOSYS_E_NO_MEMORY;
        }
        m_wasted += f.valueLen + 1;
        f.valueOff = valueOff;
        f.valueLen = static_cast<uint32_t>(size);
        if (m_wasted > 4096 && m_wasted > m_arena.size() / 2 && !compact()) {
            return XOSYS_E_NO_MEMORY;
        }
        return XOSYS_OK;
    }

    if (m_fields.size() >= kMaxFields) {
        return XOSYS_E_TOO_LARGE;
    }
    Field f{};
    const size_t rollback = m_arena.size();
    if (!appendWithNul(name, nameLen, &f.nameOff) || !appendWithNul(value, size, &f.valueOff)) {
        m_arena.resize(rollback);
        return XOSYS_E_NO_MEMORY;
    }
    f.nameLen = static_cast<uint32_t>(nameLen);
    f.valueLen = static_cast<uint32_t>(size);
    if (!m_fields.push_back(f)) {
        m_arena.resize(rollback);
        return XOSYS_E_NO_MEMORY;
    }
    return XOSYS_OK;
}

bool XoMsg_::getField(const char* name, size_t nameLen, const uint8_t** value, size_t* size) const {
    const int index = findField(name, nameLen);
    if (index < 0) {
        return false;
    }
    const Field& f = m_fields[static_cast<size_t>(index)];
    *value = m_arena.data() + f.valueOff;
    *size = f.valueLen;
    return true;
}

uint32_t XoMsg_::setBody(const void* data, size_t size) {
    if (data == nullptr && size != 0) {
        return XOSYS_E_INVALID_ARG;
    }
    if (size > kMaxBodySize) {
        return XOSYS_E_TOO_LARGE;
    }
    std::string ownCopy;
    if (size != 0 && m_body.contains(data)) {
        ownCopy.assign(static_cast<const char*>(data), size);
        data = ownCopy.data();
    }
    if (!m_body.resize(size + 1)) {
        return XOSYS_E_NO_MEMORY;
    }
    if (size != 0) {
        std::memcpy(m_body.data(), data, size);
    }
    m_body[size] = 0;
    m_bodySize = size;
    return XOSYS_OK;
}

void XoMsg_::fieldAt(size_t i, const char** name, size_t* nameLen, const uint8_t** value,
                     size_t* size) const {
    const Field& f = m_fields[i];
    *name = reinterpret_cast<const char*>(m_arena.data() + f.nameOff);
    *nameLen = f.nameLen;
    *value = m_arena.data() + f.valueOff;
    *size = f.valueLen;
}
