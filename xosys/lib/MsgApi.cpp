// Message calls.
#include <cstring>
#include <new>

#include "Message.h"
#include "XoSys.h"
#include "XoSysCodes.h"

extern "C" {

XoResult XoMsgCreateMessage(XoMsgHandle* slot) {
    if (slot == nullptr) {
        return XOSYS_E_INVALID_ARG;
    }
    XoMsg_* msg = new (std::nothrow) XoMsg_;
    if (msg == nullptr) {
        return XOSYS_E_NO_MEMORY;
    }
    *slot = msg;
    return XOSYS_OK;
}

XoResult XoMsgFreeMessage(XoMsgHandle msg) {
    delete msg;
    return XOSYS_OK;
}

XoResult XoMsgSetFieldStr(XoMsgHandle msg, const char* name, const char* value) {
    if (msg == nullptr || name == nullptr || value == nullptr) {
        return XOSYS_E_INVALID_ARG;
    }
    // Text is stored with its terminating NUL so that it reads back as text.
    return msg->setField(name, std::strlen(name), value, std::strlen(value) + 1);
}

XoResult XoMsgSetField(XoMsgHandle msg, const char* name, const void* value, uint64_t size) {
    if (msg == nullptr || name == nullptr) {
        return XOSYS_E_INVALID_ARG;
    }
    if (size > XoMsg_::kMaxValueSize) {
        return XOSYS_E_TOO_LARGE;
    }
    return msg->setField(name, std::strlen(name), value, static_cast<size_t>(size));
}

XoResult XoMsgGetBinaryField(XoMsgHandle msg, const char* name, const void** value,
                             uint64_t* size) {
    if (value != nullptr) {
        *value = nullptr;
    }
    if (size != nullptr) {
        *size = 0;
    }
    if (msg == nullptr || name == nullptr || value == nullptr) {
        return XOSYS_E_INVALID_ARG;
    }
    const uint8_t* bytes = nullptr;
    size_t n = 0;
    if (!msg->getField(name, std::strlen(name), &bytes, &n)) {
        return XOSYS_E_FIELD_NOT_FOUND;
    }
    *value = bytes;
    if (size != nullptr) {
        *size = n;
    }
    return XOSYS_OK;
}

XoResult XoMsgCopyFieldUINT32(XoMsgHandle msg, const char* name, uint32_t* value) {
    if (msg == nullptr || name == nullptr || value == nullptr) {
        return XOSYS_E_INVALID_ARG;
    }
    const uint8_t* bytes = nullptr;
    size_t n = 0;
    if (!msg->getField(name, std::strlen(name), &bytes, &n)) {
        return XOSYS_E_FIELD_NOT_FOUND;
    }
    if (n != sizeof *value) {
        return XOSYS_E_FIELD_SIZE;
    }
    std::memcpy(value, bytes, sizeof *value);
    return XOSYS_OK;
}

XoResult XoMsgSetBody(XoMsgHandle msg, const void* data, uint64_t size) {
    if (msg == nullptr) {
        return XOSYS_E_INVALID_ARG;
    }
    if (size > XoMsg_::kMaxBodySize) {
        return XOSYS_E_TOO_LARGE;
    }
    return msg->setBody(data, static_cast<size_t>(size));
}

XoResult XoMsgCopyBody(XoMsgHandle msg, void* buffer, uint64_t* capacity) {
    if (msg == nullptr || capacity == nullptr || (buffer == nullptr && *capacity != 0)) {
        return XOSYS_E_INVALID_ARG;
    }
    // The body's size comes from the sender: never copy more than the caller
    // said the buffer holds. A longer body is cut, and the code says so.
    const uint64_t size = msg->bodySize();
    const uint64_t copied = size < *capacity ? size : *capacity;
    if (copied != 0) {
        std::memcpy(buffer, msg->body(), static_cast<size_t>(copied));
    }
    *capacity = copied;
    return copied == size ? XOSYS_OK : XOSYS_E_TRUNCATED;
}

}  // extern "C"
