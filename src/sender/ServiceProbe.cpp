#include "ServiceProbe.h"

#include <cstdio>
#include <utility>
#include <vector>

#include "OptionalCalls.h"

namespace serviceprobe {

namespace {

// Long enough for every instance on loopback or in a cluster to answer.
const int32_t kWaitMs = 500;
const uint64_t kFirstBuffer = 64 * 1024;

}  // namespace

bool Probe::read(results::StatsReading* reading) {
    const XoMQServiceStatsCall call = optionalcalls::serviceStats();
    if (call == nullptr) {
        m_reason = "the XoSys library has no XoMQServiceStats call";
        return false;
    }
    std::vector<char> json(kFirstBuffer);
    uint64_t size = json.size();
    XoResult rc = call(m_conn, m_service.c_str(), json.data(), &size, kWaitMs);
    if (rc != 0 && size > json.size()) {
        // More instances than the buffer held: once more with room.
        json.resize(size);
        size = json.size();
        rc = call(m_conn, m_service.c_str(), json.data(), &size, kWaitMs);
    }
    if (rc != 0) {
        char text[64];
        std::snprintf(text, sizeof text, "XoMQServiceStats failed with code %u",
                      static_cast<unsigned>(rc));
        m_reason = text;
        return false;
    }
    const size_t slash = m_service.find('/');
    const std::string endpoint = slash == std::string::npos ? "" : m_service.substr(slash + 1);
    std::string error;
    if (!results::readStats(std::string(json.data(), size), endpoint, reading, &error)) {
        m_reason = error;
        return false;
    }
    if (reading->empty()) {
        m_reason = "the service does not answer the NATS service protocol ($SRV.STATS)";
        return false;
    }
    return true;
}

void Probe::before() {
    results::StatsReading reading;
    if (read(&reading)) {
        m_before = std::move(reading);
    }
}

results::ServiceStats Probe::after() {
    results::StatsReading reading;
    results::ServiceStats stats;
    if (m_before && read(&reading)) {
        return results::countedBetween(*m_before, reading);
    }
    stats.reason = m_reason;
    return stats;
}

}  // namespace serviceprobe
