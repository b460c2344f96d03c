#include "NatsLink.h"

#include <algorithm>
#include <cstring>

#include "NatsOptions.h"
#include "Subjects.h"
#include "XoSysCodes.h"

namespace xosys {

NatsLink::~NatsLink() {
    m_io.stopIdleService();
    m_io.releaseAll();
    if (m_nc) {
        LinkEvents::forget(m_nc.get());
    }
    for (NatsSubscriptionPtr& sub : m_subs) {
        sub.reset();
    }
    if (m_nc) {
        // The UNSUBs go out now: libnats would otherwise wait half a second
        // for an event loop to write them while it closes.
        m_io.flush(m_nc.get());
        m_nc.reset();
    }
    m_io.reset();
}

uint32_t NatsLink::connect(const ConnectParams& params, LinkEvents::Sink sink,
                           std::string* reason) {
    if (m_nc) {
        *reason = "already connected";
        return XOSYS_E_INVALID_ARG;
    }
    NatsOptionsPtr opts;
    const uint32_t rc = buildNatsOptions(params, &opts, reason);
    if (rc != XOSYS_OK) {
        return rc;
    }
    // Publishes leave at once, and the calling thread reads the socket.
    natsStatus s = m_io.install(opts.get());
    m_io.setSpin(params.spinUs);
    if (s == NATS_OK && params.reconnectAttempts > 0)
        s = LinkEvents::install(opts.get());
    natsConnection* nc = nullptr;
    if (s == NATS_OK)
        s = natsConnection_Connect(&nc, opts.get());
    if (s != NATS_OK) {
        m_io.reset();
        return connectFailure(s, params, reason);
    }
    m_nc.reset(nc);
    if (params.reconnectAttempts > 0) {
        LinkEvents::track(nc, params, sink);
    }
    // "_INBOX.<unique token>": the token names this link.
    natsInbox* inbox = nullptr;
    s = natsInbox_Create(&inbox);
    const NatsInboxPtr unique(inbox);
    if (s != NATS_OK) {
        *reason = natsStatus_GetText(s);
        return s == NATS_NO_MEMORY ? XOSYS_E_NO_MEMORY : XOSYS_E_MESSAGING;
    }
    const char* dot = std::strrchr(inbox, '.');
    m_id = dot != nullptr ? dot + 1 : inbox;
    m_probe = connectionReplyPrefix(m_id);
    appendDecimal(m_probe, 0);
    return XOSYS_OK;
}

natsStatus NatsLink::subscribe(const std::string& subject, const char* queue,
                               natsSubscription** sub) {
    *sub = nullptr;
    m_subs.reserve(m_subs.size() + 1);  // the push below cannot throw then
    natsSubscription* made = nullptr;
    const natsStatus s =
        queue != nullptr
            ? natsConnection_QueueSubscribeSync(&made, m_nc.get(), subject.c_str(), queue)
            : natsConnection_SubscribeSync(&made, m_nc.get(), subject.c_str());
    if (s == NATS_OK) {
        m_subs.emplace_back(made);
        *sub = made;
    }
    return s;
}

void NatsLink::unsubscribe(natsSubscription* sub) {
    const auto it = std::find_if(m_subs.begin(), m_subs.end(),
                                 [sub](const NatsSubscriptionPtr& p) { return p.get() == sub; });
    if (it == m_subs.end()) {
        return;
    }
    m_subs.erase(it);
    m_io.flush(m_nc.get());
}

Arrival NatsLink::confirm(natsSubscription* via, int64_t deadlineMs) {
    const natsStatus s = natsConnection_Publish(m_nc.get(), m_probe.c_str(), nullptr, 0);
    if (s != NATS_OK) {
        return Arrival::of(s);
    }
    m_io.flush(m_nc.get());
    for (;;) {
        Arrival a = m_io.next(m_nc.get(), via, deadlineMs);
        if (a.is(Arrival::Kind::kOther) &&
            (a.status == NATS_SLOW_CONSUMER || a.status == NATS_NO_RESPONDERS)) {
            continue;  // a status for an earlier request, dropped
        }
        if (!a.is(Arrival::Kind::kMessage)) {
            return a;
        }
        const bool ours = std::strcmp(natsMsg_GetSubject(a.msg.get()), m_probe.c_str()) == 0;
        a.msg.reset();
        if (ours) {
            return a;
        }
    }
}

}  // namespace xosys
