#include "LinkEvents.h"

#include <chrono>
#include <map>
#include <mutex>

namespace xosys {

namespace {

using Clock = std::chrono::steady_clock;

struct Link {
    LinkEvents::Sink sink = nullptr;
    std::string url;  // the router connected to
    int attempts = 0;
    int waitMs = 0;
    Clock::time_point lostAt;
};

using LinkMap = std::map<natsConnection*, Link>;

struct Links {
    std::mutex mu;
    LinkMap byConnection;
};

// Never destroyed: libnats's callback thread may still report while the
// process exits.
Links& links() {
    static Links* l = new Links;
    return *l;
}

std::string connectedUrl(natsConnection* nc) {
    char buffer[512] = "";
    if (natsConnection_GetConnectedUrl(nc, buffer, sizeof buffer) != NATS_OK) {
        return "(unknown)";
    }
    return buffer;
}

void report(LinkEvents::Sink sink, const std::string& text) {
    if (sink != nullptr) {
        sink(text.c_str());
    }
}

// Under the lock: *was is nc's link as it stands, then change(map, it)
// updates or erases it. False when nc is not tracked (anymore).
template <typename Change>
bool withLink(natsConnection* nc, Link* was, Change change) {
    Links& l = links();
    std::lock_guard<std::mutex> lock(l.mu);
    auto it = l.byConnection.find(nc);
    if (it == l.byConnection.end()) {
        return false;
    }
    *was = it->second;
    change(l.byConnection, it);
    return true;
}

void erase(LinkMap& map, LinkMap::iterator it) {
    map.erase(it);
}

void onDisconnected(natsConnection* nc, void* closure) {
    (void)closure;
    Link copy;
    if (!withLink(nc, &copy,
                  [](LinkMap&, LinkMap::iterator it) { it->second.lostAt = Clock::now(); })) {
        return;
    }
    report(copy.sink, "connection to " + copy.url + " lost; reconnecting (at most " +
                          std::to_string(copy.attempts) + " attempts per router, " +
                          std::to_string(copy.waitMs) + " ms apart)");
}

void onReconnected(natsConnection* nc, void* closure) {
    (void)closure;
    const std::string url = connectedUrl(nc);
    Link copy;
    if (!withLink(nc, &copy, [&url](LinkMap&, LinkMap::iterator it) { it->second.url = url; })) {
        return;
    }
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - copy.lostAt).count();
    report(copy.sink, "reconnected to " + url + " " + std::to_string(ms) +
                          " ms after the connection to " + copy.url + " was lost");
}

void reportGivingUp(const Link& link) {
    report(link.sink, "gave up reconnecting: no router answered within " +
                          std::to_string(link.attempts) +
                          " attempts per router; the connection is closed");
}

void onClosed(natsConnection* nc, void* closure) {
    (void)closure;
    Link copy;
    if (withLink(nc, &copy, erase)) {
        reportGivingUp(copy);  // otherwise closed on purpose, or reported already
    }
}

}  // namespace

natsStatus LinkEvents::install(natsOptions* opts) {
    natsStatus s = natsOptions_SetDisconnectedCB(opts, onDisconnected, nullptr);
    if (s == NATS_OK)
        s = natsOptions_SetReconnectedCB(opts, onReconnected, nullptr);
    if (s == NATS_OK)
        s = natsOptions_SetClosedCB(opts, onClosed, nullptr);
    return s;
}

void LinkEvents::track(natsConnection* nc, const ConnectParams& params, Sink sink) {
    Link link;
    link.sink = sink;
    link.url = connectedUrl(nc);
    link.attempts = params.reconnectAttempts;
    link.waitMs = params.reconnectWaitMs;
    Links& l = links();
    std::lock_guard<std::mutex> lock(l.mu);
    l.byConnection[nc] = link;
}

void LinkEvents::forget(natsConnection* nc) {
    Link copy;
    if (!withLink(nc, &copy, erase)) {
        return;
    }
    // Closed by libnats, and its report still queued on the callback
    // thread: said now, before the connection goes.
    if (natsConnection_Status(nc) == NATS_CONN_STATUS_CLOSED) {
        reportGivingUp(copy);
    }
}

}  // namespace xosys
