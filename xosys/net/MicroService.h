// The service side of the NATS service protocol ("micro", version 1): a
// process on a NatsLink makes itself known as a NATS micro service, so that
// NATS's own tools and any client's service API find it, ask for its
// description and read its statistics.
//
// Hand-written because the libnats of this system (3.4.1, Debian's) has no
// micro-service API; it came with later releases of nats.c.
//
// It answers on the protocol's nine subjects, without a queue group, so
// every instance answers:
//
//   $SRV.PING  $SRV.PING.<name>  $SRV.PING.<name>.<id>    ping_response
//   $SRV.INFO  $SRV.INFO.<name>  $SRV.INFO.<name>.<id>    info_response
//   $SRV.STATS $SRV.STATS.<name> $SRV.STATS.<name>.<id>   stats_response
//
// with JSON of type "io.nats.micro.v1.<verb>_response". It does not serve
// the endpoints' requests itself: its owner subscribes to them as it likes
// and counts every request it answered with count(). Its subscriptions are
// separate ones, which the owner looks at after its request subscription,
// so that a request never waits behind them.
//
//   MicroService svc(config);
//   svc.subscribe(link, &subs);        // with the owner's own subscriptions
//   ... a message of one of them: svc.answer(link, msg); link.flush();
//   ... after each request answered: svc.count(0, ns, errorText or null);
//
// Not locked: used by the thread that reads the link.
#ifndef XOSYS_NET_MICROSERVICE_H
#define XOSYS_NET_MICROSERVICE_H

#include <nats/nats.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "NatsLink.h"

namespace xosys {

class MicroService {
  public:
    using Metadata = std::map<std::string, std::string>;

    struct Endpoint {
        std::string name;  // micro alphabet
        std::string subject;
        std::string queueGroup;  // the protocol's default is "q"
        Metadata metadata;
    };

    struct Config {
        std::string name;     // micro alphabet (see isMicroName)
        std::string version;  // semantic version, "1.1.0"
        std::string description;
        Metadata metadata;
        std::vector<Endpoint> endpoints;
    };

    // What an endpoint counted since the start.
    struct Counters {
        uint64_t requests = 0;
        uint64_t errors = 0;
        uint64_t processingNs = 0;
        std::string lastError;
    };

    // A new instance: its id is a fresh NUID, it started now.
    explicit MicroService(Config config);

    const std::string& id() const { return m_id; }
    const Config& config() const { return m_config; }
    const Counters& counters(size_t endpoint) const { return m_counters[endpoint]; }

    // Subscribes to the protocol's subjects on link and appends the
    // subscriptions (owned by the link) to *subs.
    natsStatus subscribe(NatsLink& link, std::vector<natsSubscription*>* subs);

    // Answers m, a message of one of those subscriptions, by its subject's
    // verb; a message without a reply subject is not answered. The answer
    // is published, not flushed.
    natsStatus answer(NatsLink& link, natsMsg* m) const;

    // One request answered by endpoint, in ns; errorText is the text of an
    // error reply, or null.
    void count(size_t endpoint, uint64_t ns, const char* errorText) {
        Counters& c = m_counters[endpoint];
        ++c.requests;
        c.processingNs += ns;
        if (errorText != nullptr) {
            ++c.errors;
            c.lastError = errorText;
        }
    }

    // The three answers.
    std::string pingJson() const;
    std::string infoJson() const;
    std::string statsJson() const;

  private:
    Config m_config;
    std::string m_id;
    std::string m_started;  // RFC 3339, UTC
    std::vector<Counters> m_counters;
};

}  // namespace xosys

#endif  // XOSYS_NET_MICROSERVICE_H
