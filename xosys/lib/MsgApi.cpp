// Message calls. Every failure is logged with its reason before its code is
// returned.
#include <cstring>
#include <new>

#include "Codes.h"
#include "LogLine.h"
#include "Message.h"
#include "XoSys.h"
#include "XoSysCodes.h"

namespace {

const char kTag[] = "XoMsg";

uint32_t refuse(uint32_t code, const char* call, const char* reason) {
    XoLogEx(xosys::kLevelError, kTag, "%s: %s", call, reason);
    return code;
}

// A failed property or body change: the property's name and the reason.
uint32_t checked(uint32_t rc, const char* call, const char* name) {
    if (rc != XOSYS_OK) {
        XoLogEx(xosys::kLevelError, kTag, "%s: property '%.64s' cannot be set: %s", call,
                name != nullptr ? name : "", xosys::codeText(rc));
    }
    return rc;
}

}  // namespace

extern "C" {

XoResult XoMsgCreateMessage(XoMsgHandle* slot) {
    if (slot == nullptr) {
        return refuse(XOSYS_E_INVALID_ARG, "XoMsgCreateMessage", "no slot for the handle");
    }
    XoMsg_* msg = new (std::nothrow) XoMsg_;
    if (msg == nullptr) {
        return refuse(XOSYS_E_NO_MEMORY, "XoMsgCreateMessage", "out of memory");
    }
    *slot = msg;
    return XOSYS_OK;
}

XoResult XoMsgFreeMessage(XoMsgHandle msg) {
    delete msg;
    return XOSYS_OK;
}

XoResult XoMsgSetFieldStr(XoMsgHandle msg, const char* name, const char* value) {
    const char* call = "XoMsgSetFieldStr";
    if (msg == nullptr || name == nullptr || value == nullptr) {
        return refuse(XOSYS_E_INVALID_ARG, call, "no message, property name or value");
    }
    // Text is stored with its terminating NUL so that it reads back as text.
    return checked(msg->setField(name, std::strlen(name), value, std::strlen(value) + 1), call,
                   name);
}

XoResult XoMsgSetField(XoMsgHandle msg, const char* name, const void* value, uint64_t size) {
    const char* call = "XoMsgSetField";
    if (msg == nullptr || name == nullptr) {
        return refuse(XOSYS_E_INVALID_ARG, call, "no message or property name");
    }
    if (size > XoMsg_::kMaxValueSize) {
        return checked(XOSYS_E_TOO_LARGE, call, name);
    }
    return checked(msg->setField(name, std::strlen(name), value, static_cast<size_t>(size)), call,
                   name);
}

XoResult XoMsgGetBinaryField(XoMsgHandle msg, const char* name, const void** value,
                             uint64_t* size) {
    const char* call = "XoMsgGetBinaryField";
    if (value != nullptr) {
        *value = nullptr;
    }
    if (size != nullptr) {
        *size = 0;
    }
    if (msg == nullptr || name == nullptr || value == nullptr) {
        return refuse(XOSYS_E_INVALID_ARG, call, "no message, property name or result pointer");
    }
    const uint8_t* bytes = nullptr;
    size_t n = 0;
    if (!msg->getField(name, std::strlen(name), &bytes, &n)) {
        XoLogEx(xosys::kLevelError, kTag, "%s: the message has no property '%.64s'", call, name);
        return XOSYS_E_FIELD_NOT_FOUND;
    }
    *value = bytes;
    if (size != nullptr) {
        *size = n;
    }
    return XOSYS_OK;
}

XoResult XoMsgCopyFieldUINT32(XoMsgHandle msg, const char* name, uint32_t* value) {
    const char* call = "XoMsgCopyFieldUINT32";
    if (msg == nullptr || name == nullptr || value == nullptr) {
        return refuse(XOSYS_E_INVALID_ARG, call, "no message, property name or result");
    }
    const uint8_t* bytes = nullptr;
    size_t n = 0;
    if (!msg->getField(name, std::strlen(name), &bytes, &n)) {
        XoLogEx(xosys::kLevelError, kTag, "%s: the message has no property '%.64s'", call, name);
        return XOSYS_E_FIELD_NOT_FOUND;
    }
    if (n != sizeof *value) {
        XoLogEx(xosys::kLevelError, kTag, "%s: property '%.64s' has %llu bytes, not 4", call, name,
                static_cast<unsigned long long>(n));
        return XOSYS_E_FIELD_SIZE;
    }
    std::memcpy(value, bytes, sizeof *value);
    return XOSYS_OK;
}

XoResult XoMsgSetBody(XoMsgHandle msg, const void* data, uint64_t size) {
    const char* call = "XoMsgSetBody";
    if (msg == nullptr) {
        return refuse(XOSYS_E_INVALID_ARG, call, "no message");
    }
    const uint32_t rc = size > XoMsg_::kMaxBodySize ? XOSYS_E_TOO_LARGE
                                                    : msg->setBody(data, static_cast<size_t>(size));
    if (rc != XOSYS_OK) {
        XoLogEx(xosys::kLevelError, kTag, "%s: a body of %llu bytes cannot be set: %s", call,
                static_cast<unsigned long long>(size), xosys::codeText(rc));
    }
    return rc;
}

XoResult XoMsgCopyBody(XoMsgHandle msg, void* buffer, uint64_t* capacity) {
    const char* call = "XoMsgCopyBody";
    if (msg == nullptr || capacity == nullptr || (buffer == nullptr && *capacity != 0)) {
        return refuse(XOSYS_E_INVALID_ARG, call, "no message, buffer or capacity");
    }
    // The body's size comes from the sender: never copy more than the caller
    // said the buffer holds. A longer body is cut, and the code says so.
    const uint64_t size = msg->bodySize();
    const uint64_t copied = size < *capacity ? size : *capacity;
    if (copied != 0) {
        std::memcpy(buffer, msg->body(), static_cast<size_t>(copied));
    }
    *capacity = copied;
    if (copied != size) {
        XoLogEx(xosys::kLevelWarning, kTag, "%s: the body of %llu bytes was cut to %llu", call,
                static_cast<unsigned long long>(size), static_cast<unsigned long long>(copied));
        return XOSYS_E_TRUNCATED;
    }
    return XOSYS_OK;
}

}  // extern "C"
