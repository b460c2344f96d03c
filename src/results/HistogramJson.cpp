#include "HistogramJson.h"

#include <cstdint>
#include <utility>
#include <vector>

namespace results {

using Json = nlohmann::ordered_json;

void putLatencyFigures(Json& j, const latency::Histogram& h) {
    const latency::Histogram::Summary s = h.summary();
    j["min_us"] = s.min;
    j["p50_us"] = s.p50;
    j["p90_us"] = s.p90;
    j["p99_us"] = s.p99;
    j["p999_us"] = s.p999;
    j["p9999_us"] = s.p9999;
    j["max_us"] = s.max;
    j["mean_us"] = s.mean;
    j["stddev_us"] = s.stddev;
}

Json histogramJson(const latency::Histogram& h) {
    return snapshotJson(h.snapshot());
}

Json snapshotJson(const latency::Histogram::Snapshot& s) {
    const latency::Histogram::Totals& t = s.totals;
    Json buckets = Json::array();
    for (const auto& b : s.buckets) {
        buckets.push_back({b.first, b.second});
    }
    return {
        {"unit", "us"},
        {"sub_bucket_count", latency::Histogram::kSubBucketCount},
        {"highest_us", latency::Histogram::kHighest},
        {"count", t.count},
        {"min", t.min},
        {"max", t.max},
        {"sum", t.sum},
        {"sum_squares", t.sumSquares},
        {"buckets", buckets},
    };
}

bool readHistogram(const Json& j, latency::Histogram* out, std::string* error) {
    latency::Histogram::Snapshot s;
    if (!readSnapshot(j, &s, error)) {
        return false;
    }
    out->restore(s);
    return true;
}

bool readSnapshot(const Json& j, latency::Histogram::Snapshot* out, std::string* error) {
    if (j.value("sub_bucket_count", 0u) != latency::Histogram::kSubBucketCount ||
        j.value("highest_us", uint64_t{0}) != latency::Histogram::kHighest) {
        *error = "its histogram has another layout";
        return false;
    }
    latency::Histogram::Snapshot s;
    for (const Json& b : j.value("buckets", Json::array())) {
        if (!b.is_array() || b.size() != 2 || !b[0].is_number_unsigned() ||
            !b[1].is_number_unsigned()) {
            *error = "a histogram bucket is not [index, count]";
            return false;
        }
        s.buckets.emplace_back(b[0].get<uint32_t>(), b[1].get<uint64_t>());
    }
    latency::Histogram::Totals& t = s.totals;
    t.count = j.value("count", uint64_t{0});
    t.min = j.value("min", uint64_t{0});
    t.max = j.value("max", uint64_t{0});
    t.sum = j.value("sum", uint64_t{0});
    t.sumSquares = j.value("sum_squares", 0.0);
    if (!latency::Histogram::consistent(s)) {
        *error = "its histogram does not add up";
        return false;
    }
    *out = std::move(s);
    return true;
}

}  // namespace results
