// Messaging calls over NATS: the NATS server is the router.
//
// Each connection subscribes to two subjects of its own: "_XO.c.<id>.r.*"
// for replies, where every request carries the sequence number it expects
// back in its reply subject, and "_XO.c.<id>.in", its own address, which
// requests name in the "Xo_From" property so a service can also send
// unsolicited messages. Both are read synchronously; a reply whose number
// is not the one awaited is a late reply to an earlier request and is
// dropped. The socket itself is read by the calling thread too (CallerIo):
// a reply reaches the caller without a hand-over between threads.
//
// A connection is used by one thread at a time, and XoMQCleanup must not
// run while another thread is inside a call on a connection.
#include <nats/nats.h>

#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "CallerIo.h"
#include "Codes.h"
#include "ConnectString.h"
#include "LogLine.h"
#include "Message.h"
#include "Subjects.h"
#include "Wire.h"
#include "XoSys.h"
#include "XoSysCodes.h"

struct XoMQConnection_ {
    natsConnection* nc = nullptr;
    natsSubscription* replies = nullptr;
    natsSubscription* inbox = nullptr;
    std::string replyPrefix;
    std::string inboxSubject;
    std::string replySubject;    // scratch for each request
    std::vector<uint8_t> frame;  // scratch for each request
    xosys::CallerIo io;
    uint64_t seq = 0;
    uint64_t number = 0;
    int32_t timeoutMs = 3000;
    // A request went out and its call ended without its answer or status.
    bool abandoned = false;
};

namespace {

const char kTag[] = "XoMQ";
const int64_t kCleanupWaitMs = 5000;

struct MQState {
    std::mutex mu;
    bool started = false;
    std::set<XoMQConnection_*> live;
    uint64_t connections = 0;
};

MQState& mq() {
    static MQState* state = new MQState;
    return *state;
}

bool started() {
    MQState& s = mq();
    std::lock_guard<std::mutex> lock(s.mu);
    return s.started;
}

void disconnect(XoMQConnection_* conn) {
    conn->io.stopIdleService();
    conn->io.releaseAll();
    natsSubscription_Destroy(conn->replies);
    natsSubscription_Destroy(conn->inbox);
    // The UNSUBs go out now: libnats would otherwise wait half a second for
    // an event loop to write them while it closes.
    conn->io.flush(conn->nc);
    natsConnection_Destroy(conn->nc);
    conn->replies = nullptr;
    conn->inbox = nullptr;
    conn->nc = nullptr;
}

// Code of a failed call on an open connection.
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

// The code of a failed wait on the connection: a signal, or what libnats said.
uint32_t codeOf(const XoMQConnection_* conn, natsStatus s) {
    return s == NATS_ERR && conn->io.interrupted() ? XOSYS_E_INTERRUPTED : fromNats(s);
}

// Logs why call fails, in the user's terms, and returns code. Every failure
// a call returns comes with one such line.
uint32_t refuse(uint32_t code, const char* call, const char* reason) {
    XoLogEx(xosys::kLevelError, kTag, "%s: %s", call, reason);
    return code;
}

// Common checks of the calls on a connection.
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

natsStatus confirmSubscriptions(XoMQConnection_* conn, int32_t timeoutMs);

// Publishes data to subject with a reply subject of its own and waits at
// most timeoutMs for the reply to it (no limit when negative). On success
// either *reply holds the reply, or *noResponders is set: the router
// reported that nothing listens at subject.
uint32_t roundTrip(XoMQConnection_* conn, const char* subject, const void* data, size_t size,
                   int32_t timeoutMs, natsMsg** reply, bool* noResponders) {
    *reply = nullptr;
    *noResponders = false;
    if (conn->abandoned) {
        // The router's "no responders" status for an earlier request may
        // still be on its way, and it comes without the request's number.
        // A message to ourselves clears the way: whatever the router sent
        // before it is stale, and is dropped.
        const natsStatus s = confirmSubscriptions(conn, conn->timeoutMs);
        if (s != NATS_OK) {
            return codeOf(conn, s);
        }
        conn->abandoned = false;
    }
    const uint64_t seq = ++conn->seq;
    conn->replySubject = conn->replyPrefix;
    xosys::appendDecimal(conn->replySubject, seq);
    if (size > static_cast<size_t>(INT32_MAX)) {
        return XOSYS_E_TOO_LARGE;
    }
    natsStatus s = natsConnection_PublishRequest(conn->nc, subject, conn->replySubject.c_str(),
                                                 data, static_cast<int>(size));
    if (s != NATS_OK) {
        return fromNats(s);
    }
    conn->abandoned = true;  // until its answer or status is taken
    conn->io.flush(conn->nc);
    const int64_t deadline = timeoutMs < 0 ? INT64_MAX : nats_Now() + timeoutMs;
    for (;;) {
        // A reply that is already there is taken even after the deadline.
        natsMsg* m = nullptr;
        s = conn->io.nextMsg(conn->nc, conn->replies, deadline, &m);
        if (s == NATS_SLOW_CONSUMER) {
            continue;  // the flag is reset by this call; read on
        }
        if (s == NATS_NO_RESPONDERS) {
            // Reported without the message: it answers the request just
            // sent, since every earlier request had its answer or status
            // taken or was cleared away above.
            conn->abandoned = false;
            *noResponders = true;
            return XOSYS_OK;
        }
        if (s != NATS_OK) {
            return codeOf(conn, s);
        }
        uint64_t got = 0;
        if (!xosys::parseReplySeq(natsMsg_GetSubject(m), conn->replyPrefix, &got) || got != seq) {
            conn->io.release(m);  // late reply to an earlier request
            continue;
        }
        conn->abandoned = false;
        if (natsMsg_IsNoResponders(m)) {
            conn->io.release(m);
            *noResponders = true;
            return XOSYS_OK;
        }
        *reply = m;
        return XOSYS_OK;
    }
}

// Builds a message from a frame off the wire.
uint32_t decodeMessage(natsMsg* m, XoMsg_** out) {
    XoMsg_* msg = new (std::nothrow) XoMsg_;
    if (msg == nullptr) {
        return XOSYS_E_NO_MEMORY;
    }
    const int len = natsMsg_GetDataLength(m);
    const uint32_t rc = xosys::wire::decode(reinterpret_cast<const uint8_t*>(natsMsg_GetData(m)),
                                            len > 0 ? static_cast<size_t>(len) : 0, *msg);
    if (rc != XOSYS_OK) {
        delete msg;
        return rc;
    }
    *out = msg;
    return XOSYS_OK;
}

// The system error reply: category "Xo_System", type 0, the code as body.
uint32_t systemErrorReply(uint32_t code, XoMsg_** out) {
    XoMsg_* msg = new (std::nothrow) XoMsg_;
    if (msg == nullptr) {
        return XOSYS_E_NO_MEMORY;
    }
    static const char kCategory[] = "Xo_System";
    const uint32_t type = 0;
    const uint8_t body[4] = {static_cast<uint8_t>(code), static_cast<uint8_t>(code >> 8),
                             static_cast<uint8_t>(code >> 16), static_cast<uint8_t>(code >> 24)};
    uint32_t rc = msg->setField("Xo_Category", 11, kCategory, sizeof kCategory);
    if (rc == XOSYS_OK) {
        rc = msg->setField("Xo_Type", 7, &type, sizeof type);
    }
    if (rc == XOSYS_OK) {
        rc = msg->setBody(body, sizeof body);
    }
    if (rc != XOSYS_OK) {
        delete msg;
        return rc;
    }
    *out = msg;
    return XOSYS_OK;
}

// Sends a message to reply number 0, which no request uses, and waits for
// it: once it is back, the router has processed our subscriptions.
natsStatus confirmSubscriptions(XoMQConnection_* conn, int32_t timeoutMs) {
    std::string probe = conn->replyPrefix;
    xosys::appendDecimal(probe, 0);
    natsStatus s = natsConnection_Publish(conn->nc, probe.c_str(), nullptr, 0);
    if (s != NATS_OK) {
        return s;
    }
    conn->io.flush(conn->nc);
    const int64_t deadline = nats_Now() + timeoutMs;
    for (;;) {
        natsMsg* m = nullptr;
        s = conn->io.nextMsg(conn->nc, conn->replies, deadline, &m);
        if (s == NATS_SLOW_CONSUMER || s == NATS_NO_RESPONDERS) {
            continue;  // a status for an earlier request, dropped
        }
        if (s != NATS_OK) {
            return s;
        }
        const bool ours = std::strcmp(natsMsg_GetSubject(m), probe.c_str()) == 0;
        conn->io.release(m);
        if (ours) {
            return NATS_OK;
        }
    }
}

uint32_t connect(XoMQConnection_* conn, const char* connectString, uint64_t* connInfo) {
    xosys::ConnectParams params;
    std::string error;
    uint32_t rc = xosys::parseConnectString(connectString, &params, &error);
    if (rc != XOSYS_OK) {
        XoLogEx(xosys::kLevelError, kTag, "XoMQConnectEx2: %s", error.c_str());
        return rc;
    }
    // Connecting again replaces the earlier connection.
    disconnect(conn);

    const std::string url = params.url();
    natsOptions* opts = nullptr;
    natsStatus s = natsOptions_Create(&opts);
    if (s == NATS_OK)
        s = natsOptions_SetURL(opts, url.c_str());
    if (s == NATS_OK)
        s = natsOptions_SetName(opts, params.appname.c_str());
    if (s == NATS_OK)
        s = natsOptions_SetTimeout(opts, params.timeoutMs);
    // No reconnect loop: a router that goes away fails the next call at
    // once instead of hiding behind reconnect attempts.
    if (s == NATS_OK)
        s = natsOptions_SetAllowReconnect(opts, false);
    // Requests leave at once, and the calling thread reads the replies.
    if (s == NATS_OK)
        s = conn->io.install(opts);
    if (s == NATS_OK)
        s = natsOptions_SetIgnoreDiscoveredServers(opts, true);
    if (s == NATS_OK && !params.password.empty()) {
        s = natsOptions_SetToken(opts, params.password.c_str());
    }
    if (s == NATS_OK) {
        s = natsConnection_Connect(&conn->nc, opts);
        if (s != NATS_OK) {
            conn->nc = nullptr;
            rc = (s == NATS_CONNECTION_AUTH_FAILED || s == NATS_NOT_PERMITTED) ? XOSYS_E_AUTH
                 : s == NATS_NO_MEMORY                                         ? XOSYS_E_NO_MEMORY
                                                                               : XOSYS_E_CONNECT;
            // The router's own words (its -ERR text) when it gave any.
            natsStatus last = NATS_OK;
            const char* detail = nats_GetLastError(&last);
            if (detail == nullptr || detail[0] == '\0') {
                detail = natsStatus_GetText(s);
            } else if (detail[0] == '(') {
                // libnats puts its source position first: "(conn.c:1905): "
                const char* end = std::strstr(detail, "): ");
                detail = end != nullptr ? end + 3 : detail;
            }
            XoLogEx(xosys::kLevelError, kTag, "XoMQConnectEx2: cannot connect to %s as '%s': %s%s",
                    url.c_str(), params.appname.c_str(),
                    rc == XOSYS_E_AUTH ? "the router refused the credentials: " : "", detail);
            natsOptions_Destroy(opts);
            return rc;
        }
    }
    natsOptions_Destroy(opts);

    char* unique = nullptr;
    if (s == NATS_OK)
        s = natsInbox_Create(&unique);
    if (s == NATS_OK) {
        // "_INBOX.<unique token>": the token names this connection.
        const char* dot = std::strrchr(unique, '.');
        const std::string id = dot != nullptr ? dot + 1 : unique;
        conn->replyPrefix = xosys::connectionReplyPrefix(id);
        conn->inboxSubject = xosys::connectionInbox(id);
        natsInbox_Destroy(unique);
        const std::string wildcard = conn->replyPrefix + "*";
        s = natsConnection_SubscribeSync(&conn->replies, conn->nc, wildcard.c_str());
    }
    if (s == NATS_OK) {
        s = natsConnection_SubscribeSync(&conn->inbox, conn->nc, conn->inboxSubject.c_str());
    }
    // A message to ourselves makes sure the router knows our subscriptions
    // before the first request goes out.
    if (s == NATS_OK)
        s = confirmSubscriptions(conn, params.timeoutMs);
    if (s == NATS_OK && !conn->io.startIdleService(conn->nc))
        s = NATS_NO_MEMORY;
    if (s != NATS_OK) {
        rc = s == NATS_NO_MEMORY                       ? XOSYS_E_NO_MEMORY
             : s == NATS_ERR && conn->io.interrupted() ? XOSYS_E_INTERRUPTED
                                                       : XOSYS_E_CONNECT;
        XoLogEx(xosys::kLevelError, kTag, "XoMQConnectEx2: setting up %s failed: %s", url.c_str(),
                rc == XOSYS_E_INTERRUPTED ? "interrupted by a signal" : natsStatus_GetText(s));
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

extern "C" {

XoResult XoMQStartup(void) {
    MQState& s = mq();
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.started) {
        return XOSYS_OK;
    }
    const natsStatus st = nats_Open(-1);
    if (st != NATS_OK) {
        XoLogEx(xosys::kLevelError, kTag, "XoMQStartup: the NATS client failed to start: %s",
                natsStatus_GetText(st));
        return XOSYS_E_NATS_STARTUP;
    }
    s.started = true;
    return XOSYS_OK;
}

XoResult XoMQCleanup(void) {
    MQState& s = mq();
    std::lock_guard<std::mutex> lock(s.mu);
    if (!s.started) {
        return XOSYS_OK;
    }
    // Connections still held by their owners stay valid handles, but
    // unconnected, so that their later free is harmless.
    for (XoMQConnection_* conn : s.live) {
        disconnect(conn);
    }
    s.started = false;
    const natsStatus st = nats_CloseAndWait(kCleanupWaitMs);
    if (st != NATS_OK) {
        XoLogEx(xosys::kLevelWarning, kTag, "XoMQCleanup: the NATS client did not stop: %s",
                natsStatus_GetText(st));
        return XOSYS_E_MESSAGING;
    }
    return XOSYS_OK;
}

XoResult XoMQCreateConnection(XoMQConnHandle* slot) {
    const char* call = "XoMQCreateConnection";
    if (slot == nullptr) {
        return refuse(XOSYS_E_INVALID_ARG, call, "no slot for the handle");
    }
    MQState& s = mq();
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
    MQState& s = mq();
    {
        std::lock_guard<std::mutex> lock(s.mu);
        s.live.erase(conn);
    }
    disconnect(conn);
    delete conn;
    return XOSYS_OK;
}

XoResult XoMQConnectEx2(XoMQConnHandle conn, const char* connectString, uint64_t* connInfo) {
    const char* call = "XoMQConnectEx2";
    if (conn == nullptr) {
        return refuse(XOSYS_E_INVALID_ARG, call, "no connection handle");
    }
    if (!started()) {
        return refuse(XOSYS_E_NOT_STARTED, call,
                      "the messaging runtime is not started (XoMQStartup) or was cleaned up");
    }
    try {
        return connect(conn, connectString, connInfo);
    } catch (const std::bad_alloc&) {
        disconnect(conn);
        return refuse(XOSYS_E_NO_MEMORY, call, "out of memory");
    }
}

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
    std::lock_guard<std::mutex> lock(conn->io.callLock());
    if (!xosys::validServiceName(serviceName)) {
        return refuse(XOSYS_E_INVALID_ARG, call,
                      serviceName[0] == '\0' ? "the service name is empty"
                                             : "the service name is longer than 255 bytes");
    }
    natsMsg* reply = nullptr;
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
    const char* text = natsMsg_GetData(reply);
    const int len = natsMsg_GetDataLength(reply);
    if (len <= 0 || !xosys::validAddress(text, static_cast<size_t>(len))) {
        conn->io.release(reply);
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
        conn->io.release(reply);
        return XOSYS_E_BUFFER_TOO_SMALL;
    }
    std::memcpy(address, text, static_cast<size_t>(len));
    address[len] = '\0';
    *addressSize = static_cast<uint64_t>(len);
    conn->io.release(reply);
    return XOSYS_OK;
}

XoResult XoMQGetMsg(XoMQConnHandle conn, XoMsgHandle* slot, uint32_t waitMs) {
    const char* call = "XoMQGetMsg";
    if (slot == nullptr) {
        return refuse(XOSYS_E_INVALID_ARG, call, "no slot for the message");
    }
    uint32_t rc = usable(conn, call);
    if (rc != XOSYS_OK) {
        return rc;
    }
    std::lock_guard<std::mutex> lock(conn->io.callLock());
    const int64_t deadline = nats_Now() + waitMs;
    for (;;) {
        natsMsg* m = nullptr;
        const natsStatus s = conn->io.nextMsg(conn->nc, conn->inbox, deadline, &m);
        if (s == NATS_TIMEOUT) {
            return XO_NO_MESSAGE;
        }
        if (s == NATS_SLOW_CONSUMER) {
            XoLogEx(xosys::kLevelWarning, kTag,
                    "XoMQGetMsg: messages to this connection were dropped (not taken in time)");
            continue;
        }
        if (s != NATS_OK) {
            rc = codeOf(conn, s);
            return refuse(rc, call, xosys::codeText(rc));
        }
        XoMsg_* msg = nullptr;
        rc = decodeMessage(m, &msg);
        const int len = natsMsg_GetDataLength(m);
        conn->io.release(m);
        if (rc == XOSYS_OK) {
            *slot = msg;
            return XOSYS_OK;
        }
        if (rc != XOSYS_E_MALFORMED_MESSAGE) {
            return refuse(rc, call, xosys::codeText(rc));
        }
        XoLogEx(xosys::kLevelWarning, kTag, "XoMQGetMsg: dropped a malformed message of %d bytes",
                len);
    }
}

XoResult XoMQSendMsg(XoMQConnHandle conn, XoMsgHandle request, XoMsgHandle* replySlot,
                     int32_t timeoutMs) {
    const char* call = "XoMQSendMsg";
    if (request == nullptr || replySlot == nullptr) {
        return refuse(XOSYS_E_INVALID_ARG, call, "no request or no slot for the reply");
    }
    uint32_t rc = usable(conn, call);
    if (rc != XOSYS_OK) {
        return rc;
    }
    std::lock_guard<std::mutex> lock(conn->io.callLock());
    // The destination is the "Xo_To" text; its NUL is part of the value.
    const uint8_t* to = nullptr;
    size_t toSize = 0;
    if (!request->getField("Xo_To", 5, &to, &toSize) || toSize == 0) {
        return refuse(XOSYS_E_NO_DESTINATION, call, "the request has no 'Xo_To' address");
    }
    const char* address = reinterpret_cast<const char*>(to);
    const size_t addressLen = to[toSize - 1] == 0 ? toSize - 1 : toSize;
    if (!xosys::validAddress(address, addressLen)) {
        return refuse(XOSYS_E_NO_DESTINATION, call, "'Xo_To' is not a valid address");
    }

    natsMsg* reply = nullptr;
    bool noResponders = false;
    try {
        rc = xosys::wire::encode(*request, conn->inboxSubject.c_str(), conn->frame);
        if (rc != XOSYS_OK) {
            XoLogEx(xosys::kLevelError, kTag, "XoMQSendMsg: the request cannot be sent: %s",
                    xosys::codeText(rc));
            return rc;
        }
        rc = roundTrip(conn, address, conn->frame.data(), conn->frame.size(), timeoutMs, &reply,
                       &noResponders);
    } catch (const std::bad_alloc&) {
        return refuse(XOSYS_E_NO_MEMORY, call, "out of memory");
    }
    if (rc != XOSYS_OK) {
        if (rc == XOSYS_E_TIMEOUT) {
            XoLogEx(xosys::kLevelError, kTag, "XoMQSendMsg: no reply from %s within %d ms%s",
                    address, timeoutMs,
                    timeoutMs == 0 ? " (a time-out of 0 takes only a reply that is already there)"
                                   : "");
        } else if (rc == XOSYS_E_INTERRUPTED) {
            XoLogEx(xosys::kLevelError, kTag,
                    "XoMQSendMsg: interrupted by a signal while waiting for the reply from %s",
                    address);
        } else {
            XoLogEx(xosys::kLevelError, kTag, "XoMQSendMsg: the request to %s failed: %s", address,
                    xosys::codeText(rc));
        }
        return rc;
    }
    XoMsg_* msg = nullptr;
    if (noResponders) {
        XoLogEx(xosys::kLevelDebug, kTag, "XoMQSendMsg: nothing listens at %s", address);
        rc = systemErrorReply(XOSYS_E_NO_RESPONDER, &msg);
        if (rc != XOSYS_OK) {
            XoLogEx(
                xosys::kLevelError, kTag,
                "XoMQSendMsg: nothing listens at %s, and the reply saying so cannot be made: %s",
                address, xosys::codeText(rc));
        }
    } else {
        rc = decodeMessage(reply, &msg);
        if (rc == XOSYS_E_MALFORMED_MESSAGE) {
            XoLogEx(xosys::kLevelError, kTag, "XoMQSendMsg: malformed reply of %d bytes from %s",
                    natsMsg_GetDataLength(reply), address);
        } else if (rc != XOSYS_OK) {
            XoLogEx(xosys::kLevelError, kTag, "XoMQSendMsg: the reply from %s cannot be read: %s",
                    address, xosys::codeText(rc));
        }
        conn->io.release(reply);
    }
    if (rc != XOSYS_OK) {
        return rc;
    }
    *replySlot = msg;
    return XOSYS_OK;
}

}  // extern "C"
