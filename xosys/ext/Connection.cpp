// Start-up, connection handles and connecting: a NatsLink with the options
// of the connect string, and the connection's own subscriptions.
#include "Connection.h"

#include <cstring>
#include <mutex>
#include <new>
#include <set>

#include "Codes.h"
#include "ConnectString.h"
#include "LogLine.h"
#include "Subjects.h"
#include "XoSysCodes.h"

namespace xosys {
namespace mq {

const char kTag[] = "XoMQ";

namespace {

const int64_t kCleanupWaitMs = 5000;

struct MQState {
    std::mutex mu;
    bool started = false;
    std::set<XoMQConnection_*> live;
    uint64_t connections = 0;
};

MQState& state() {
    static MQState* s = new MQState;
    return *s;
}

// Failovers are warnings: the run goes on, but the user should know.
void logLinkEvent(const char* text) {
    XoLogEx(kLevelWarning, kTag, "XoMQ: %s", text);
}

// Lets go of the connection, if any; the handle stays usable.
void disconnect(XoMQConnection_* conn) {
    conn->link.reset();
    conn->replies = nullptr;
    conn->inbox = nullptr;
}

uint32_t connect(XoMQConnection_* conn, const char* connectString, uint64_t* connInfo) {
    ConnectParams params;
    std::string error;
    uint32_t rc = parseConnectString(connectString, &params, &error);
    if (rc != XOSYS_OK) {
        XoLogEx(kLevelError, kTag, "XoMQConnectEx2: %s", error.c_str());
        return rc;
    }
    // Connecting again replaces the earlier connection.
    disconnect(conn);

    const std::string url = params.url();
    std::unique_ptr<NatsLink> link(new NatsLink);
    rc = link->connect(params, logLinkEvent, &error);
    if (rc != XOSYS_OK) {
        XoLogEx(kLevelError, kTag, "XoMQConnectEx2: cannot connect to %s as '%s': %s", url.c_str(),
                params.appname.c_str(), error.c_str());
        return rc;
    }
    conn->replyPrefix = connectionReplyPrefix(link->id());
    conn->inboxSubject = connectionInbox(link->id());
    natsStatus s = link->subscribe(conn->replyPrefix + "*", nullptr, &conn->replies);
    if (s == NATS_OK)
        s = link->subscribe(conn->inboxSubject, nullptr, &conn->inbox);
    // A message to ourselves makes sure the router knows our subscriptions
    // before the first request goes out.
    Arrival setUp =
        s == NATS_OK ? link->confirm(conn->replies, nats_Now() + params.timeoutMs) : Arrival::of(s);
    if (setUp.is(Arrival::Kind::kMessage) && !link->startIdleService())
        setUp = Arrival::of(NATS_NO_MEMORY);
    if (!setUp.is(Arrival::Kind::kMessage)) {
        rc = setUp.status == NATS_NO_MEMORY          ? XOSYS_E_NO_MEMORY
             : setUp.is(Arrival::Kind::kInterrupted) ? XOSYS_E_INTERRUPTED
                                                     : XOSYS_E_CONNECT;
        XoLogEx(kLevelError, kTag, "XoMQConnectEx2: setting up %s failed: %s", url.c_str(),
                rc == XOSYS_E_INTERRUPTED ? "interrupted by a signal"
                                          : natsStatus_GetText(setUp.status));
        disconnect(conn);
        return rc;
    }
    conn->link = std::move(link);
    conn->timeoutMs = params.timeoutMs;
    conn->reconnects = params.reconnectAttempts > 0;
    conn->abandoned = false;
    if (connInfo != nullptr) {
        *connInfo = conn->number;
    }
    return XOSYS_OK;
}

}  // namespace

bool started() {
    MQState& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    return s.started;
}

uint32_t refuse(uint32_t code, const char* call, const char* reason) {
    XoLogEx(kLevelError, kTag, "%s: %s", call, reason);
    return code;
}

uint32_t giveText(const char* call, const char* what, const char* serviceName, const char* text,
                  size_t len, char* out, uint64_t* outSize) {
    const uint64_t needed = static_cast<uint64_t>(len) + 1;
    if (needed > *outSize) {
        if (*outSize > 0) {
            out[0] = '\0';
        }
        XoLogEx(kLevelError, kTag, "%s: %s of '%s' needs %llu bytes, the buffer holds %llu", call,
                what, serviceName, static_cast<unsigned long long>(needed),
                static_cast<unsigned long long>(*outSize));
        *outSize = needed;
        return XOSYS_E_BUFFER_TOO_SMALL;
    }
    std::memcpy(out, text, len);
    out[len] = '\0';
    *outSize = static_cast<uint64_t>(len);
    return XOSYS_OK;
}

uint32_t usable(XoMQConnection_* conn, const char* call) {
    if (conn == nullptr) {
        return refuse(XOSYS_E_INVALID_ARG, call, "no connection handle");
    }
    if (!started()) {
        return refuse(XOSYS_E_NOT_STARTED, call,
                      "the messaging runtime is not started (XoMQStartup) or was cleaned up");
    }
    if (!conn->link) {
        return refuse(XOSYS_E_NOT_CONNECTED, call, "the connection is not connected");
    }
    return XOSYS_OK;
}

uint32_t fromNats(natsStatus s) {
    switch (s) {
        case NATS_OK:
            return XOSYS_OK;
        case NATS_CONNECTION_CLOSED:
        case NATS_CONNECTION_DISCONNECTED:
        case NATS_INVALID_SUBSCRIPTION:
        case NATS_STALE_CONNECTION:
        case NATS_IO_ERROR:
            return XOSYS_E_CONNECTION_LOST;
        case NATS_TIMEOUT:
            return XOSYS_E_TIMEOUT;
        case NATS_MAX_PAYLOAD:
            return XOSYS_E_TOO_LARGE;
        case NATS_INVALID_SUBJECT:
            return XOSYS_E_NO_DESTINATION;
        case NATS_NO_MEMORY:
            return XOSYS_E_NO_MEMORY;
        default:
            return XOSYS_E_MESSAGING;
    }
}

uint32_t codeOf(const Arrival& a) {
    return a.is(Arrival::Kind::kInterrupted) ? XOSYS_E_INTERRUPTED : fromNats(a.status);
}

}  // namespace mq
}  // namespace xosys

using xosys::mq::refuse;
using xosys::mq::state;

extern "C" {

XoResult XoMQStartup(void) {
    xosys::mq::MQState& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.started) {
        return XOSYS_OK;
    }
    const natsStatus st = nats_Open(-1);
    if (st != NATS_OK) {
        XoLogEx(xosys::kLevelError, xosys::mq::kTag,
                "XoMQStartup: the NATS client failed to start: %s", natsStatus_GetText(st));
        return XOSYS_E_NATS_STARTUP;
    }
    s.started = true;
    return XOSYS_OK;
}

XoResult XoMQCleanup(void) {
    xosys::mq::MQState& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    if (!s.started) {
        return XOSYS_OK;
    }
    // Connections still held by their owners stay valid handles, but
    // unconnected, so that their later free is harmless.
    for (XoMQConnection_* conn : s.live) {
        xosys::mq::disconnect(conn);
    }
    s.started = false;
    const natsStatus st = nats_CloseAndWait(xosys::mq::kCleanupWaitMs);
    if (st != NATS_OK) {
        XoLogEx(xosys::kLevelWarning, xosys::mq::kTag,
                "XoMQCleanup: the NATS client did not stop: %s", natsStatus_GetText(st));
        return XOSYS_E_MESSAGING;
    }
    return XOSYS_OK;
}

XoResult XoMQCreateConnection(XoMQConnHandle* slot) {
    const char* call = "XoMQCreateConnection";
    if (slot == nullptr) {
        return refuse(XOSYS_E_INVALID_ARG, call, "no slot for the handle");
    }
    xosys::mq::MQState& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    if (!s.started) {
        return refuse(XOSYS_E_NOT_STARTED, call,
                      "the messaging runtime is not started (XoMQStartup) or was cleaned up");
    }
    XoMQConnection_* conn = new (std::nothrow) XoMQConnection_;
    if (conn == nullptr) {
        return refuse(XOSYS_E_NO_MEMORY, call, "out of memory");
    }
    try {
        s.live.insert(conn);
    } catch (const std::bad_alloc&) {
        delete conn;
        return refuse(XOSYS_E_NO_MEMORY, call, "out of memory");
    }
    conn->number = ++s.connections;
    *slot = conn;
    return XOSYS_OK;
}

XoResult XoMQFreeConnection(XoMQConnHandle conn) {
    if (conn == nullptr) {
        return XOSYS_OK;
    }
    xosys::mq::MQState& s = state();
    {
        std::lock_guard<std::mutex> lock(s.mu);
        s.live.erase(conn);
    }
    xosys::mq::disconnect(conn);
    delete conn;
    return XOSYS_OK;
}

XoResult XoMQConnectEx2(XoMQConnHandle conn, const char* connectString, uint64_t* connInfo) {
    const char* call = "XoMQConnectEx2";
    if (conn == nullptr) {
        return refuse(XOSYS_E_INVALID_ARG, call, "no connection handle");
    }
    if (!xosys::mq::started()) {
        return refuse(XOSYS_E_NOT_STARTED, call,
                      "the messaging runtime is not started (XoMQStartup) or was cleaned up");
    }
    try {
        return xosys::mq::connect(conn, connectString, connInfo);
    } catch (const std::bad_alloc&) {
        xosys::mq::disconnect(conn);
        return refuse(XOSYS_E_NO_MEMORY, call, "out of memory");
    }
}

}  // extern "C"
