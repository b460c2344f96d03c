// What a service's instances counted during a run, from their statistics on
// the NATS service protocol (the "serviceStats" key): a reading before the
// timed loop, one after it, and the difference per instance.
#ifndef XOMQ_RESULTS_SERVICESTATS_H
#define XOMQ_RESULTS_SERVICESTATS_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace results {

struct ServiceStats {
    struct Instance {
        std::string id;
        uint64_t requests = 0;
        uint64_t errors = 0;
        uint64_t processingNs = 0;
    };

    bool available = false;
    std::string reason;  // why not, when not available
    std::vector<Instance> instances;

    uint64_t requests() const;
    uint64_t processingNs() const;
    // The mean processing time of a request in microseconds; none without
    // requests.
    std::optional<double> meanProcessingMicros() const;
};

// One reading: per instance id, the counters of the endpoint the run's
// requests go to.
using StatsReading = std::map<std::string, ServiceStats::Instance>;

// Reads the JSON array of stats responses (the library's XoMQServiceStats)
// into *reading. The endpoint counted is the one named endpoint, or with an
// empty name every endpoint of the instance. False, with the reason, for
// text that is not such an array.
bool readStats(const std::string& json, const std::string& endpoint, StatsReading* reading,
               std::string* error);

// What each instance of after counted since before (all of it for one that
// was not there before, or that started again in between).
ServiceStats countedBetween(const StatsReading& before, const StatsReading& after);

}  // namespace results

#endif  // XOMQ_RESULTS_SERVICESTATS_H
