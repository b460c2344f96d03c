// Service names to addresses. Every instance of a service answers the
// resolve requests of its name with the service's shared address, which
// all instances subscribe to in one queue group: the router gives each
// request to one of them, and the address stays valid whichever instances
// come and go or reconnect.
#include <cstring>
#include <new>
#include <string>

#include "Codes.h"
#include "Connection.h"
#include "LogLine.h"
#include "Subjects.h"
#include "XoSysCodes.h"

using namespace xosys::mq;

extern "C" {

XoResult XoMQServiceResolve(XoMQConnHandle conn, const char* serviceName, char* address,
                            uint64_t* addressSize, void* reserved, int32_t flags) {
    (void)reserved;  // no options yet
    (void)flags;
    const char* call = "XoMQServiceResolve";
    if (serviceName == nullptr || address == nullptr || addressSize == nullptr) {
        return refuse(XOSYS_E_INVALID_ARG, call, "no service name, address buffer or size");
    }
    uint32_t rc = usable(conn, call);
    if (rc != XOSYS_OK) {
        return rc;
    }
    std::lock_guard<std::mutex> lock(conn->link->callLock());
    if (!xosys::validServiceName(serviceName)) {
        return refuse(XOSYS_E_INVALID_ARG, call,
                      serviceName[0] == '\0' ? "the service name is empty"
                                             : "the service name is longer than 255 bytes");
    }
    xosys::HeldMsg reply;  // released before the lock
    bool noResponders = false;
    try {
        const std::string subject = xosys::resolveSubject(serviceName);
        rc = roundTrip(conn, subject.c_str(), nullptr, 0, conn->timeoutMs, &reply, &noResponders);
    } catch (const std::bad_alloc&) {
        return refuse(XOSYS_E_NO_MEMORY, call, "out of memory");
    }
    if (rc == XOSYS_E_TIMEOUT || (rc == XOSYS_OK && noResponders)) {
        XoLogEx(xosys::kLevelError, kTag, "XoMQServiceResolve: no instance of '%s' answered",
                serviceName);
        return XOSYS_E_SERVICE_NOT_FOUND;
    }
    if (rc != XOSYS_OK) {
        XoLogEx(xosys::kLevelError, kTag, "XoMQServiceResolve: resolving '%s' failed: %s",
                serviceName, xosys::codeText(rc));
        return rc;
    }
    const char* text = natsMsg_GetData(reply.get());
    const int len = natsMsg_GetDataLength(reply.get());
    if (len <= 0 || !xosys::validAddress(text, static_cast<size_t>(len))) {
        XoLogEx(xosys::kLevelError, kTag,
                "XoMQServiceResolve: '%s' answered with an invalid address (%d bytes)", serviceName,
                len);
        return XOSYS_E_MALFORMED_MESSAGE;
    }
    const uint64_t needed = static_cast<uint64_t>(len) + 1;
    if (needed > *addressSize) {
        if (*addressSize > 0) {
            address[0] = '\0';
        }
        XoLogEx(xosys::kLevelError, kTag,
                "XoMQServiceResolve: the address of '%s' needs %llu bytes, the buffer holds %llu",
                serviceName, static_cast<unsigned long long>(needed),
                static_cast<unsigned long long>(*addressSize));
        *addressSize = needed;
        return XOSYS_E_BUFFER_TOO_SMALL;
    }
    std::memcpy(address, text, static_cast<size_t>(len));
    address[len] = '\0';
    *addressSize = static_cast<uint64_t>(len);
    return XOSYS_OK;
}

}  // extern "C"
