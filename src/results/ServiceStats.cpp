#include "ServiceStats.h"

#include <nlohmann/json.hpp>

namespace results {

namespace {

using Json = nlohmann::json;

// Adds the counter key of endpoint, if it has one, to *sum; false when it
// is not a number of at least 0 (some clients write their times as floats).
bool counter(const Json& endpoint, const char* key, uint64_t* sum) {
    const auto it = endpoint.find(key);
    if (it == endpoint.end()) {
        return true;
    }
    if (it->is_number_unsigned()) {
        *sum += it->get<uint64_t>();
        return true;
    }
    if (it->is_number_float() && it->get<double>() >= 0) {
        *sum += static_cast<uint64_t>(it->get<double>() + 0.5);
        return true;
    }
    return false;
}

}  // namespace

uint64_t ServiceStats::requests() const {
    uint64_t n = 0;
    for (const Instance& i : instances) {
        n += i.requests;
    }
    return n;
}

uint64_t ServiceStats::processingNs() const {
    uint64_t n = 0;
    for (const Instance& i : instances) {
        n += i.processingNs;
    }
    return n;
}

std::optional<double> ServiceStats::meanProcessingMicros() const {
    const uint64_t n = requests();
    if (n == 0) {
        return std::nullopt;
    }
    return static_cast<double>(processingNs()) / static_cast<double>(n) / 1000.0;
}

bool readStats(const std::string& json, const std::string& endpoint, StatsReading* reading,
               std::string* error) {
    reading->clear();
    const Json all = Json::parse(json, nullptr, false);
    if (!all.is_array()) {
        *error = "the statistics are not a JSON array";
        return false;
    }
    for (const Json& r : all) {
        const auto id = r.is_object() ? r.find("id") : r.end();
        const auto endpoints = r.is_object() ? r.find("endpoints") : r.end();
        if (!r.is_object() || id == r.end() || !id->is_string() || endpoints == r.end() ||
            !endpoints->is_array()) {
            *error = "a stats response has no id or no endpoints";
            return false;
        }
        ServiceStats::Instance instance;
        instance.id = id->get<std::string>();
        for (const Json& e : *endpoints) {
            const auto name = e.is_object() ? e.find("name") : e.end();
            if (!endpoint.empty() &&
                (name == e.end() || !name->is_string() || name->get<std::string>() != endpoint)) {
                continue;
            }
            if (!counter(e, "num_requests", &instance.requests) ||
                !counter(e, "num_errors", &instance.errors) ||
                !counter(e, "processing_time", &instance.processingNs)) {
                *error = "the stats response of instance " + instance.id +
                         " has a counter that is no unsigned number";
                return false;
            }
        }
        (*reading)[instance.id] = instance;
    }
    return true;
}

ServiceStats countedBetween(const StatsReading& before, const StatsReading& after) {
    ServiceStats s;
    s.available = true;
    for (const auto& kv : after) {
        ServiceStats::Instance i = kv.second;
        const auto was = before.find(kv.first);
        if (was != before.end() && was->second.requests <= i.requests &&
            was->second.errors <= i.errors && was->second.processingNs <= i.processingNs) {
            i.requests -= was->second.requests;
            i.errors -= was->second.errors;
            i.processingNs -= was->second.processingNs;
        }
        s.instances.push_back(i);
    }
    return s;
}

}  // namespace results
