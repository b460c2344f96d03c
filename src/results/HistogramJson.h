// The latency figures and the mergeable histogram in JSON, as a run's result
// file holds them and as the fleet runner reads them back and writes the
// merged figures: one place for the field names both sides rely on.
#ifndef XOMQ_RESULTS_HISTOGRAMJSON_H
#define XOMQ_RESULTS_HISTOGRAMJSON_H

#include <nlohmann/json.hpp>
#include <string>

#include "LatencyHistogram.h"

namespace results {

// Sets "min_us", "p50_us", "p90_us", "p99_us", "p999_us", "p9999_us",
// "max_us", "mean_us" and "stddev_us" in j.
void putLatencyFigures(nlohmann::ordered_json& j, const latency::Histogram& h);

// The histogram itself: its layout, exact totals and the non-empty
// sub-buckets as [index, count] pairs.
nlohmann::ordered_json histogramJson(const latency::Histogram& h);

// Restores *out from histogramJson's form; false, with the reason in
// *error, for another layout or figures that do not add up.
bool readHistogram(const nlohmann::ordered_json& j, latency::Histogram* out, std::string* error);

// The same form for a histogram's snapshot, as an interval keeps it.
nlohmann::ordered_json snapshotJson(const latency::Histogram::Snapshot& s);
bool readSnapshot(const nlohmann::ordered_json& j, latency::Histogram::Snapshot* out,
                  std::string* error);

}  // namespace results

#endif  // XOMQ_RESULTS_HISTOGRAMJSON_H
