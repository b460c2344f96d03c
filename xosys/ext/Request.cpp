// The request round trip (XoMQSendMsg) and messages to the connection's
// own address (XoMQGetMsg). A reply whose number is not the one awaited is
// a late reply to an earlier request and is dropped. A request is published
// once: when the router goes away before its reply came, the call ends
// with the time-out (or the loss of the connection), never with a resend.
#include <cstdint>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "Codes.h"
#include "Connection.h"
#include "LogLine.h"
#include "Message.h"
#include "MicroMessage.h"
#include "Subjects.h"
#include "Wire.h"
#include "XoSysCodes.h"

namespace xosys {
namespace mq {

namespace {

// Publishes a request to subject with a reply subject of its own (the
// connection's next number, in *seq): data, or with micro the plain NATS
// request of that message. Never publishes twice.
uint32_t publishRequest(XoMQConnection_* conn, const char* subject, const void* data, size_t size,
                        const XoMsg_* micro, uint64_t* seq) {
    NatsLink& link = *conn->link;
    if (conn->reconnects) {
        // A router that went away before this call (its close already in
        // our socket) is seen now: the request then waits in libnats for the
        // next router instead of going into a dead socket and being lost.
        link.catchUp();
    }
    if (conn->abandoned) {
        // The router's "no responders" status for an earlier request may
        // still be on its way, and it comes without the request's number.
        // A message to ourselves clears the way: whatever the router sent
        // before it is stale, and is dropped.
        const Arrival cleared = link.confirm(conn->replies, nats_Now() + conn->timeoutMs);
        if (!cleared.is(Arrival::Kind::kMessage)) {
            return codeOf(cleared);
        }
        conn->abandoned = false;
    }
    *seq = ++conn->seq;
    conn->replySubject = conn->replyPrefix;
    xosys::appendDecimal(conn->replySubject, *seq);
    if (size > static_cast<size_t>(INT32_MAX)) {
        return XOSYS_E_TOO_LARGE;
    }
    natsStatus s = NATS_OK;
    if (micro != nullptr) {
        xosys::NatsMsgPtr m;
        const uint32_t rc =
            xosys::micro::makeRequest(*micro, subject, conn->replySubject.c_str(), &m);
        if (rc != XOSYS_OK) {
            return rc;
        }
        s = natsConnection_PublishMsg(link.nc(), m.get());
        link.hold(m.release());  // freed with the batch of spent messages
    } else {
        s = natsConnection_PublishRequest(link.nc(), subject, conn->replySubject.c_str(), data,
                                          static_cast<int>(size));
    }
    if (s != NATS_OK) {
        return fromNats(s);
    }
    conn->abandoned = true;  // until its answer or status is taken
    link.flush();
    return XOSYS_OK;
}

// The next reply to request seq or its status, until deadline.
uint32_t awaitReply(XoMQConnection_* conn, uint64_t seq, int64_t deadline, HeldMsg* reply,
                    bool* noResponders) {
    NatsLink& link = *conn->link;
    for (;;) {
        // A reply that is already there is taken even after the deadline.
        Arrival a = link.next(conn->replies, deadline);
        if (a.is(Arrival::Kind::kOther) && a.status == NATS_SLOW_CONSUMER) {
            continue;  // the flag is reset by this call; read on
        }
        if (a.is(Arrival::Kind::kOther) && a.status == NATS_NO_RESPONDERS) {
            // Reported without the message: it answers the request just
            // sent, since every earlier request had its answer or status
            // taken or was cleared away above.
            conn->abandoned = false;
            *noResponders = true;
            return XOSYS_OK;
        }
        if (!a.is(Arrival::Kind::kMessage)) {
            return codeOf(a);
        }
        uint64_t got = 0;
        if (!xosys::parseReplySeq(natsMsg_GetSubject(a.msg.get()), conn->replyPrefix, &got) ||
            got != seq) {
            continue;  // late reply to an earlier request, released
        }
        conn->abandoned = false;
        if (natsMsg_IsNoResponders(a.msg.get())) {
            *noResponders = true;
            return XOSYS_OK;
        }
        *reply = std::move(a.msg);
        return XOSYS_OK;
    }
}

}  // namespace

uint32_t roundTrip(XoMQConnection_* conn, const char* subject, const void* data, size_t size,
                   int32_t timeoutMs, HeldMsg* reply, bool* noResponders, const XoMsg_* micro) {
    reply->reset();
    *noResponders = false;
    uint64_t seq = 0;
    const uint32_t rc = publishRequest(conn, subject, data, size, micro, &seq);
    if (rc != XOSYS_OK) {
        return rc;
    }
    const int64_t deadline = timeoutMs < 0 ? INT64_MAX : nats_Now() + timeoutMs;
    return awaitReply(conn, seq, deadline, reply, noResponders);
}

uint32_t gatherReplies(XoMQConnection_* conn, const char* subject, int32_t windowMs,
                       std::vector<std::string>* replies) {
    replies->clear();
    uint64_t seq = 0;
    uint32_t rc = publishRequest(conn, subject, nullptr, 0, nullptr, &seq);
    const int64_t deadline = nats_Now() + (windowMs > 0 ? windowMs : 0);
    while (rc == XOSYS_OK) {
        HeldMsg reply;
        bool noResponders = false;
        rc = awaitReply(conn, seq, deadline, &reply, &noResponders);
        if (rc == XOSYS_E_TIMEOUT || noResponders) {
            return XOSYS_OK;
        }
        if (rc == XOSYS_OK) {
            const int len = natsMsg_GetDataLength(reply.get());
            replies->emplace_back(natsMsg_GetData(reply.get()),
                                  len > 0 ? static_cast<size_t>(len) : 0);
        }
    }
    return rc;
}

}  // namespace mq
}  // namespace xosys

namespace {

using namespace xosys::mq;

// Builds a message from a frame off the wire.
uint32_t decodeMessage(const natsMsg* m, XoMsg_** out) {
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

// Builds a message from the reply of a micro endpoint (MicroMessage.h).
uint32_t microReply(natsMsg* m, const char* address, XoMsg_** out) {
    XoMsg_* msg = new (std::nothrow) XoMsg_;
    if (msg == nullptr) {
        return XOSYS_E_NO_MEMORY;
    }
    bool serviceError = false;
    std::string text;
    uint32_t rc = XOSYS_OK;
    try {
        rc = xosys::micro::readReply(m, msg, &serviceError, &text);
    } catch (const std::bad_alloc&) {
        rc = XOSYS_E_NO_MEMORY;
    }
    if (rc != XOSYS_OK) {
        delete msg;
        return rc;
    }
    if (serviceError) {
        const char* code = nullptr;
        natsMsgHeader_Get(m, xosys::micro::kErrorCodeHeader, &code);
        XoLogEx(xosys::kLevelWarning, kTag, "XoMQSendMsg: service error %s from %s: %s",
                code != nullptr ? code : "", address, text.c_str());
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

}  // namespace

extern "C" {

XoResult XoMQGetMsg(XoMQConnHandle conn, XoMsgHandle* slot, uint32_t waitMs) {
    const char* call = "XoMQGetMsg";
    if (slot == nullptr) {
        return refuse(XOSYS_E_INVALID_ARG, call, "no slot for the message");
    }
    uint32_t rc = usable(conn, call);
    if (rc != XOSYS_OK) {
        return rc;
    }
    std::lock_guard<std::mutex> lock(conn->link->callLock());
    const int64_t deadline = nats_Now() + waitMs;
    for (;;) {
        const xosys::Arrival a = conn->link->next(conn->inbox, deadline);
        if (a.is(xosys::Arrival::Kind::kTimedOut)) {
            return XO_NO_MESSAGE;
        }
        if (a.is(xosys::Arrival::Kind::kOther) && a.status == NATS_SLOW_CONSUMER) {
            XoLogEx(xosys::kLevelWarning, kTag,
                    "XoMQGetMsg: messages to this connection were dropped (not taken in time)");
            continue;
        }
        if (!a.is(xosys::Arrival::Kind::kMessage)) {
            rc = codeOf(a);
            return refuse(rc, call, xosys::codeText(rc));
        }
        XoMsg_* msg = nullptr;
        rc = decodeMessage(a.msg.get(), &msg);
        const int len = natsMsg_GetDataLength(a.msg.get());
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
    std::lock_guard<std::mutex> lock(conn->link->callLock());
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

    // An endpoint of a NATS micro service takes a plain NATS request.
    const char* microSubject = xosys::microSubject(address, addressLen);
    xosys::HeldMsg reply;  // released before the lock
    bool noResponders = false;
    try {
        if (microSubject != nullptr) {
            rc = roundTrip(conn, microSubject, nullptr, 0, timeoutMs, &reply, &noResponders,
                           request);
        } else {
            rc = xosys::wire::encode(*request, conn->inboxSubject.c_str(), conn->frame);
            if (rc != XOSYS_OK) {
                XoLogEx(xosys::kLevelError, kTag, "XoMQSendMsg: the request cannot be sent: %s",
                        xosys::codeText(rc));
                return rc;
            }
            rc = roundTrip(conn, address, conn->frame.data(), conn->frame.size(), timeoutMs, &reply,
                           &noResponders);
        }
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
    } else if (microSubject != nullptr) {
        rc = microReply(reply.get(), address, &msg);
        if (rc != XOSYS_OK) {
            XoLogEx(xosys::kLevelError, kTag, "XoMQSendMsg: the reply from %s cannot be read: %s",
                    address, xosys::codeText(rc));
        }
    } else {
        rc = decodeMessage(reply.get(), &msg);
        if (rc == XOSYS_E_MALFORMED_MESSAGE) {
            XoLogEx(xosys::kLevelError, kTag, "XoMQSendMsg: malformed reply of %d bytes from %s",
                    natsMsg_GetDataLength(reply.get()), address);
        } else if (rc != XOSYS_OK) {
            XoLogEx(xosys::kLevelError, kTag, "XoMQSendMsg: the reply from %s cannot be read: %s",
                    address, xosys::codeText(rc));
        }
    }
    if (rc != XOSYS_OK) {
        return rc;
    }
    *replySlot = msg;
    return XOSYS_OK;
}

}  // extern "C"
