#include "CallerIo.h"

#include <utility>

namespace xosys {

bool CallerIo::startIdleService(natsConnection* nc) {
    return m_idle.start([this, nc] { serveIdle(nc); });
}

void CallerIo::serveIdle(natsConnection* nc) {
    std::unique_lock<std::mutex> call(m_call, std::try_to_lock);
    if (!call.owns_lock()) {
        return;  // a call is reading the socket itself
    }
    // A bounded number of passes: a flood of incoming messages must not keep
    // this thread from noticing the stop.
    for (int i = 0; i < 64; ++i) {
        const EventLoop::Pumped p = m_loop.pump(nc, 0);
        if (p != EventLoop::Pumped::kHandled && p != EventLoop::Pumped::kInterrupted) {
            break;
        }
    }
    releaseAll();
}

Arrival Arrival::of(natsStatus s) {
    Arrival a;
    a.status = s;
    a.kind = s == NATS_TIMEOUT             ? Kind::kTimedOut
             : s == NATS_CONNECTION_CLOSED ? Kind::kClosed
                                           : Kind::kOther;
    return a;
}

Arrival CallerIo::take(natsSubscription* sub, size_t i) {
    natsMsg* m = nullptr;
    const natsStatus s = natsSubscription_NextMsg(&m, sub, 0);
    Arrival a = s == NATS_OK
                    ? Arrival{Arrival::Kind::kMessage, NATS_OK, HeldMsg(m, ReleaseTo{&m_spent}), 0}
                    : Arrival::of(s);
    a.from = i;
    return a;
}

Arrival CallerIo::next(natsConnection* nc, natsSubscription* const* subs, size_t count,
                       int64_t deadlineMs) {
    for (;;) {
        for (size_t i = 0; i < count; ++i) {
            int pending = 0;
            if (natsSubscription_GetPending(subs[i], &pending, nullptr) != NATS_OK || pending > 0) {
                // A message waits, or the subscription is closed: NextMsg
                // tells which without waiting.
                return take(subs[i], i);
            }
        }
        const int64_t left = deadlineMs - nats_Now();
        switch (m_loop.pump(nc, left > 0 ? left : 0)) {
            case EventLoop::Pumped::kHandled:
                break;  // look at the subscriptions again
            case EventLoop::Pumped::kTimedOut:
                if (left > 0) {
                    break;  // woke a little early; the deadline decides
                }
                return Arrival::of(NATS_TIMEOUT);
            case EventLoop::Pumped::kInterrupted:
                return Arrival{Arrival::Kind::kInterrupted, NATS_ERR, HeldMsg(), 0};
            case EventLoop::Pumped::kClosed: {
                // Closed while we read: the first subscription reports how.
                Arrival a = take(subs[0], 0);
                return a.is(Arrival::Kind::kTimedOut) ? Arrival::of(NATS_CONNECTION_CLOSED)
                                                      : std::move(a);
            }
            case EventLoop::Pumped::kIoError:
                return Arrival::of(NATS_IO_ERROR);
        }
    }
}

}  // namespace xosys
