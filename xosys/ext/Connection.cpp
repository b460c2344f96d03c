// Start-up, connection handles and connecting: libnats options built from
// the connect string (NatsOptions), the connection's own subscriptions, and
// teardown.
#include "Connection.h"

#include <cstring>
#include <mutex>
#include <new>
#include <set>

#include "Codes.h"
#include "ConnectString.h"
#include "LinkEvents.h"
#include "LogLine.h"
#include "NatsOptions.h"
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

void disconnect(XoMQConnection_* conn) {
    conn->io.stopIdleService();
    conn->io.releaseAll();
    if (conn->nc != nullptr) {
        LinkEvents::forget(conn->nc);
    }
    natsSubscription_Destroy(conn->replies);
    natsSubscription_Destroy(conn->inbox);
    // The UNSUBs go out now: libnats would otherwise wait half a second for
    // an event loop to write them while it closes.
    conn->io.flush(conn->nc);
    natsConnection_Destroy(conn->nc);
    conn->io.reset();
    conn->replies = nullptr;
    conn->inbox = nullptr;
    conn->nc = nullptr;
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
    NatsOptionsPtr opts;
    rc = buildNatsOptions(params, &opts, &error);
    if (rc != XOSYS_OK) {
        XoLogEx(kLevelError, kTag, "XoMQConnectEx2: cannot connect to %s as '%s': %s", url.c_str(),
                params.appname.c_str(), error.c_str());
        return rc;
    }
    // Requests leave at once, and the calling thread reads the replies.
    natsStatus s = conn->io.install(opts.get());
    if (s == NATS_OK && params.reconnectAttempts > 0)
        s = LinkEvents::install(opts.get());
    if (s == NATS_OK) {
        s = natsConnection_Connect(&conn->nc, opts.get());
        if (s != NATS_OK) {
            conn->nc = nullptr;
            rc = connectFailure(s, params, &error);
            XoLogEx(kLevelError, kTag, "XoMQConnectEx2: cannot connect to %s as '%s': %s",
                    url.c_str(), params.appname.c_str(), error.c_str());
            conn->io.reset();
            return rc;
        }
    }
    opts.reset();
    if (s == NATS_OK && params.reconnectAttempts > 0) {
        LinkEvents::track(conn->nc, params, logLinkEvent);
    }

    char* unique = nullptr;
    if (s == NATS_OK)
        s = natsInbox_Create(&unique);
    if (s == NATS_OK) {
        // "_INBOX.<unique token>": the token names this connection.
        const char* dot = std::strrchr(unique, '.');
        const std::string id = dot != nullptr ? dot + 1 : unique;
        conn->replyPrefix = connectionReplyPrefix(id);
        conn->inboxSubject = connectionInbox(id);
        natsInbox_Destroy(unique);
        const std::string wildcard = conn->replyPrefix + "*";
        s = natsConnection_SubscribeSync(&conn->replies, conn->nc, wildcard.c_str());
    }
    if (s == NATS_OK) {
        s = natsConnection_SubscribeSync(&conn->inbox, conn->nc, conn->inboxSubject.c_str());
    }
    // A message to ourselves makes sure the router knows our subscriptions
    // before the first request goes out.
    Arrival setUp = s == NATS_OK ? confirmSubscriptions(conn, params.timeoutMs) : Arrival::of(s);
    if (setUp.is(Arrival::Kind::kMessage) && !conn->io.startIdleService(conn->nc))
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
    conn->timeoutMs = params.timeoutMs;
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

uint32_t usable(XoMQConnection_* conn, const char* call) {
    if (conn == nullptr) {
        return refuse(XOSYS_E_INVALID_ARG, call, "no connection handle");
    }
    if (!started()) {
        return refuse(XOSYS_E_NOT_STARTED, call,
                      "the messaging runtime is not started (XoMQStartup) or was cleaned up");
    }
    if (conn->nc == nullptr) {
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
