// XoMQServiceStats: the statistics every instance of a service reports on
// the NATS service protocol ($SRV.STATS.<name>), gathered within a window.
#include <new>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Codes.h"
#include "Connection.h"
#include "LogLine.h"
#include "Subjects.h"
#include "XoSysCodes.h"
#include "XoSysExtras.h"

using namespace xosys::mq;

namespace {

// The name serviceName answers the protocol under: the one it resolved as
// on this connection; otherwise the part before a "/", or the name mapped
// as our services map theirs.
std::string microNameOf(const XoMQConnection_* conn, const std::string& serviceName) {
    const auto known = conn->microNames.find(serviceName);
    if (known != conn->microNames.end()) {
        return known->second;
    }
    const size_t slash = serviceName.find('/');
    return slash != std::string::npos ? serviceName.substr(0, slash)
                                      : xosys::microName(serviceName);
}

// "[r1,r2,...]" of the replies that are stats responses.
std::string statsArray(const std::vector<std::string>& replies) {
    std::string out = "[";
    for (const std::string& r : replies) {
        const nlohmann::json j = nlohmann::json::parse(r, nullptr, false);
        if (!j.is_object() || j.value("type", "") != "io.nats.micro.v1.stats_response") {
            continue;
        }
        if (out.size() > 1) {
            out += ',';
        }
        out += j.dump();
    }
    out += ']';
    return out;
}

}  // namespace

extern "C" {

XoResult XoMQServiceStats(XoMQConnHandle conn, const char* serviceName, char* json,
                          uint64_t* jsonSize, int32_t waitMs) {
    const char* call = "XoMQServiceStats";
    if (serviceName == nullptr || serviceName[0] == '\0' || json == nullptr ||
        jsonSize == nullptr) {
        return refuse(XOSYS_E_INVALID_ARG, call, "no service name, buffer or size");
    }
    uint32_t rc = usable(conn, call);
    if (rc != XOSYS_OK) {
        return rc;
    }
    std::lock_guard<std::mutex> lock(conn->link->callLock());
    std::string text;
    try {
        const std::string name = microNameOf(conn, serviceName);
        if (!xosys::isMicroName(name)) {
            return refuse(XOSYS_E_INVALID_ARG, call,
                          "the service part of the name is not a NATS service name");
        }
        const std::string subject = "$SRV.STATS." + name;
        std::vector<std::string> replies;
        rc = gatherReplies(conn, subject.c_str(), waitMs, &replies);
        if (rc != XOSYS_OK) {
            XoLogEx(xosys::kLevelError, kTag, "XoMQServiceStats: asking %s failed: %s",
                    subject.c_str(), xosys::codeText(rc));
            return rc;
        }
        text = statsArray(replies);
    } catch (const std::bad_alloc&) {
        return refuse(XOSYS_E_NO_MEMORY, call, "out of memory");
    }
    return giveText(call, "the statistics text", serviceName, text.data(), text.size(), json,
                    jsonSize);
}

}  // extern "C"
