// The messaging library's connection handle and what its calls share.
//
// Each connection subscribes to two subjects of its own: "_XO.c.<id>.r.*"
// for replies, where every request carries the sequence number it expects
// back in its reply subject, and "_XO.c.<id>.in", its own address, which
// requests name in the "Xo_From" property so a service can also send
// unsolicited messages. Both are read synchronously, the socket by the
// calling thread itself (CallerIo): a reply reaches the caller without a
// hand-over between threads. The connection with its subscriptions is a
// NatsLink, which takes it down when the handle lets go of it.
//
// A connection is used by one thread at a time, and XoMQCleanup must not
// run while another thread is inside a call on a connection.
//
//   Connection.cpp  start-up, handles, connecting (the link with the
//                   options of the connect string, the two subscriptions)
//   Resolve.cpp     service names to addresses
//   Request.cpp     the request round trip, messages to the own address
//   ServiceStats.cpp the statistics of a service's instances
#ifndef XOSYS_EXT_CONNECTION_H
#define XOSYS_EXT_CONNECTION_H

#include <nats/nats.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "NatsLink.h"
#include "XoSys.h"

struct XoMQConnection_ {
    // Null while not connected.
    std::unique_ptr<xosys::NatsLink> link;
    // Owned by the link.
    natsSubscription* replies = nullptr;
    natsSubscription* inbox = nullptr;
    std::string replyPrefix;
    std::string inboxSubject;
    std::string replySubject;    // scratch for each request
    std::vector<uint8_t> frame;  // scratch for each request
    uint64_t seq = 0;
    uint64_t number = 0;
    int32_t timeoutMs = 3000;
    // A request went out and its call ended without its answer or status.
    bool abandoned = false;
    // libnats reconnects this connection after a loss.
    bool reconnects = false;
    // The micro name under which each service resolved on this connection
    // answers the service protocol (XoMQServiceStats).
    std::map<std::string, std::string> microNames;
};

namespace xosys {
namespace mq {

extern const char kTag[];

// True between XoMQStartup and XoMQCleanup.
bool started();

// Logs why call fails, in the user's terms, and returns code. Every failure
// a call returns comes with one such line.
uint32_t refuse(uint32_t code, const char* call, const char* reason);

// Gives the caller text[0, len) with a NUL in out, a buffer of *outSize
// bytes; *outSize becomes len. When it does not fit: an empty text where
// there is room, *outSize the bytes needed, a line naming call, what and
// serviceName, and XOSYS_E_BUFFER_TOO_SMALL.
uint32_t giveText(const char* call, const char* what, const char* serviceName, const char* text,
                  size_t len, char* out, uint64_t* outSize);

// Common checks of the calls on a connection.
uint32_t usable(XoMQConnection_* conn, const char* call);

// Code of a failed call on an open connection.
uint32_t fromNats(natsStatus s);
// The code of a wait on the connection that brought no message.
uint32_t codeOf(const xosys::Arrival& a);

// Publishes data to subject with a reply subject of its own and waits at
// most timeoutMs for the reply to it (no limit when negative). On success
// either *reply holds the reply, or *noResponders is set: the router
// reported that nothing listens at subject. Never publishes twice. With
// micro, the request is the plain NATS request of that message (headers
// and body, MicroMessage.h) instead of data.
// Called with the call lock held; the reply must go before it is let go.
uint32_t roundTrip(XoMQConnection_* conn, const char* subject, const void* data, size_t size,
                   int32_t timeoutMs, xosys::HeldMsg* reply, bool* noResponders,
                   const XoMsg_* micro = nullptr);

// Publishes an empty request to subject and collects the payloads of every
// reply that comes within windowMs (none when nothing listens at subject).
// Called with the call lock held.
uint32_t gatherReplies(XoMQConnection_* conn, const char* subject, int32_t windowMs,
                       std::vector<std::string>* replies);

}  // namespace mq
}  // namespace xosys

#endif  // XOSYS_EXT_CONNECTION_H
