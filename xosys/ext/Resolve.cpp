// Service names to addresses. Every instance of a service answers the
// resolve requests of its name with the service's shared address, which
// all instances subscribe to in one queue group: the router gives each
// request to one of them, and the address stays valid whichever instances
// come and go or reconnect.
//
// A name that no instance answers may name a NATS micro service ("svc", or
// "svc/endpoint" for one endpoint of several): its $SRV.INFO answer names
// the endpoint's subject, and the address is "_XO.micro.<subject>". Both
// looks share the connection's time-out.
#include <new>
#include <nlohmann/json.hpp>
#include <string>

#include "Codes.h"
#include "Connection.h"
#include "LogLine.h"
#include "Subjects.h"
#include "XoSysCodes.h"

using namespace xosys::mq;

namespace {

using Json = nlohmann::json;

const char kCall[] = "XoMQServiceResolve";

// The endpoint of an info_response that serviceName asks for: the one named
// after its "/", or the only one. Null, with the reason, when there is none.
const Json* pickEndpoint(const Json& info, const std::string& endpoint, std::string* why) {
    const Json* endpoints =
        info.is_object() && info.contains("endpoints") ? &info["endpoints"] : nullptr;
    if (endpoints == nullptr || !endpoints->is_array()) {
        *why = "its answer to $SRV.INFO lists no endpoints";
        return nullptr;
    }
    std::string names;
    const Json* found = nullptr;
    for (const Json& e : *endpoints) {
        const std::string name = e.is_object() && e.contains("name") && e["name"].is_string()
                                     ? e["name"].get<std::string>()
                                     : "";
        names += (names.empty() ? "" : ", ") + name;
        if (endpoint.empty() ? endpoints->size() == 1 : name == endpoint) {
            found = &e;
        }
    }
    if (found == nullptr) {
        *why = endpoints->empty() ? "it has no endpoint"
               : endpoint.empty()
                   ? "it has " + std::to_string(endpoints->size()) + " endpoints (" + names +
                         "): name one as '<service>/<endpoint>'"
                   : "it has no endpoint '" + endpoint + "' (its endpoints: " + names + ")";
        return nullptr;
    }
    if (!found->contains("subject") || !(*found)["subject"].is_string()) {
        *why = "its endpoint has no subject";
        return nullptr;
    }
    return found;
}

// Looks for a NATS micro service: serviceName is "svc" or "svc/endpoint".
uint32_t resolveMicro(XoMQConnection_* conn, const std::string& serviceName, int32_t timeoutMs,
                      char* address, uint64_t* addressSize) {
    const size_t slash = serviceName.find('/');
    const std::string service = serviceName.substr(0, slash);
    const std::string endpoint = slash == std::string::npos ? "" : serviceName.substr(slash + 1);
    const char* name = serviceName.c_str();
    if (!xosys::isMicroName(service) ||
        (slash != std::string::npos && !xosys::isMicroName(endpoint))) {
        XoLogEx(xosys::kLevelError, kTag,
                "XoMQServiceResolve: no XoSys instance of '%s' answered, and the name cannot name "
                "a NATS service (A-Z a-z 0-9 - _, or <service>/<endpoint>)",
                name);
        return XOSYS_E_SERVICE_NOT_FOUND;
    }
    const std::string subject = "$SRV.INFO." + service;
    xosys::HeldMsg reply;
    bool noResponders = false;
    uint32_t rc = timeoutMs > 0 ? roundTrip(conn, subject.c_str(), nullptr, 0, timeoutMs, &reply,
                                            &noResponders)
                                : XOSYS_E_TIMEOUT;
    if (rc == XOSYS_E_TIMEOUT || (rc == XOSYS_OK && noResponders)) {
        XoLogEx(xosys::kLevelError, kTag,
                "XoMQServiceResolve: no instance of '%s' answered, neither as an XoSys service nor "
                "as a NATS service (%s)",
                name, subject.c_str());
        return XOSYS_E_SERVICE_NOT_FOUND;
    }
    if (rc != XOSYS_OK) {
        XoLogEx(xosys::kLevelError, kTag, "XoMQServiceResolve: resolving '%s' failed: %s", name,
                xosys::codeText(rc));
        return rc;
    }
    const char* data = natsMsg_GetData(reply.get());
    const int len = natsMsg_GetDataLength(reply.get());
    const Json info = Json::parse(data, data + (len > 0 ? len : 0), nullptr, false);
    std::string why;
    const Json* chosen = pickEndpoint(info, endpoint, &why);
    if (chosen == nullptr) {
        XoLogEx(xosys::kLevelError, kTag, "XoMQServiceResolve: the NATS service '%s': %s",
                service.c_str(), why.c_str());
        return XOSYS_E_SERVICE_NOT_FOUND;
    }
    const std::string target = xosys::kMicroAddressPrefix + (*chosen)["subject"].get<std::string>();
    if (!xosys::validAddress(target.data(), target.size())) {
        XoLogEx(
            xosys::kLevelError, kTag,
            "XoMQServiceResolve: the endpoint subject of the NATS service '%s' cannot be sent "
            "to (wildcards, blanks or longer than %llu bytes)",
            service.c_str(),
            static_cast<unsigned long long>(xosys::kMaxAddressLen - xosys::kMicroAddressPrefixLen));
        return XOSYS_E_MALFORMED_MESSAGE;
    }
    rc = giveText(kCall, "the address", name, target.data(), target.size(), address, addressSize);
    if (rc == XOSYS_OK) {
        conn->microNames[serviceName] = service;
    }
    return rc;
}

}  // namespace

extern "C" {

XoResult XoMQServiceResolve(XoMQConnHandle conn, const char* serviceName, char* address,
                            uint64_t* addressSize, void* reserved, int32_t flags) {
    (void)reserved;  // no options yet
    (void)flags;
    const char* call = kCall;
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
    const int64_t deadline = nats_Now() + conn->timeoutMs;
    try {
        const std::string subject = xosys::resolveSubject(serviceName);
        rc = roundTrip(conn, subject.c_str(), nullptr, 0, conn->timeoutMs, &reply, &noResponders);
        if (rc == XOSYS_E_TIMEOUT || (rc == XOSYS_OK && noResponders)) {
            const int64_t left = deadline - nats_Now();
            return resolveMicro(conn, serviceName, static_cast<int32_t>(left > 0 ? left : 0),
                                address, addressSize);
        }
    } catch (const std::bad_alloc&) {
        return refuse(XOSYS_E_NO_MEMORY, call, "out of memory");
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
    rc = giveText(kCall, "the address", serviceName, text, static_cast<size_t>(len), address,
                  addressSize);
    if (rc == XOSYS_OK) {
        try {
            // Our services answer the service protocol under the mapped name.
            conn->microNames[serviceName] = xosys::microName(serviceName);
        } catch (const std::bad_alloc&) {
            // Only XoMQServiceStats misses it: it maps the name itself.
        }
    }
    return rc;
}

}  // extern "C"
