// xomq-fleet-merge: the combined result of several XoMQSender runs that ran
// at once (scripts/fleet.sh). Reads their result files, merges their latency
// histograms (in paced runs the latency from the scheduled send, and apart
// the one from the actual send) and their interval histograms, lined up by
// the senders' timer starts (for agents' senders on the controller's clock,
// by each host's measured offset), prints one table, and writes fleet.json,
// fleet.csv, the merged percentile curve (latency.dat) and the rate and p99
// over time (intervals.dat), both for gnuplot, to an output folder.
// Percentiles always come from added histograms, never from averages.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "HistogramJson.h"
#include "Hosts.h"
#include "LatencyHistogram.h"
#include "ResultFile.h"
#include "RunRecord.h"

namespace {

using Json = nlohmann::ordered_json;

const char kUsage[] =
    "usage: xomq-fleet-merge --out <dir> [--label <text>] <result.json>...\n"
    "       xomq-fleet-merge --out <dir> [--label <text>] --agents <agents.json>\n"
    "\n"
    "With --agents, the result files are those xomq-fleet-control collected from\n"
    "its agents, and fleet.json gains each host's part (hosts) and the failed hosts.\n"
    "Merges the result files of XoMQSender runs that ran at once (written with\n"
    "resultFile and latencyHistogram = 1) into <dir>/fleet.json, <dir>/fleet.csv,\n"
    "<dir>/latency.dat and <dir>/intervals.dat, and prints the combined table. Exit\n"
    "status: 0 done, 1 a file cannot be read or is not a result file, 2 bad arguments.\n";

const char kFormat[] = "xomq-fleet-1";

struct Sender {
    std::string file;
    results::RunRecord record;
};

bool readSender(const std::string& path, Sender* s, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read it";
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    s->file = path;
    return results::fromJson(text.str(), &s->record, error);
}

double median(std::vector<double> v) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The settings the senders ran with, as the first one's result file gives
// them (the fleet gives every sender the same).
Json settingsOf(const results::RunRecord::Settings& s) {
    return {{"service", s.service},
            {"send_amount", s.sendAmount},
            {"send_timeout_ms", s.sendTimeoutMs},
            {"warmup_amount", s.warmupAmount},
            {"latency_histogram", s.latencyHistogram},
            {"progress_seconds", s.progressSeconds},
            {"send_rate", s.sendRate}};
}

// One interval of the fleet: the senders' intervals that started within
// it, their histograms added.
struct FleetInterval {
    double lengthSeconds = 0;
    int senders = 0;
    latency::Histogram::Snapshot latency;
    latency::Histogram::Snapshot uncorrected;
    bool paced = false;
};

// The senders' intervals on one time line: the fleet's starts with the
// earliest timer start, and a sender's interval goes to the fleet interval
// nearest its own start. Senders without intervals (a run that ended before
// its loop) add none. Empty, and the reason, when no sender has intervals
// or their lengths differ.
std::vector<FleetInterval> mergeIntervals(const std::vector<Sender>& senders, double* seconds,
                                          std::string* why) {
    std::vector<FleetInterval> out;
    const results::RunRecord* first = nullptr;
    for (const Sender& s : senders) {
        if (!s.record.intervals.empty() &&
            (first == nullptr || s.record.timerStarted < first->timerStarted)) {
            first = &s.record;
        }
    }
    if (first == nullptr) {
        *why = "no sender has intervals (latencyHistogram = 1)";
        return {};
    }
    *seconds = first->settings.intervalSeconds();
    for (const Sender& s : senders) {
        if (s.record.intervals.empty()) {
            continue;
        }
        if (s.record.settings.intervalSeconds() != first->settings.intervalSeconds()) {
            *why = "the senders' intervals differ in length";
            return {};
        }
        const double offset =
            std::chrono::duration<double>(s.record.timerStarted - first->timerStarted).count();
        for (const results::RunRecord::Interval& i : s.record.intervals) {
            const long long slot = std::llround((offset + i.startSeconds) / *seconds);
            if (slot < 0 || slot > 10000000) {
                continue;  // not on the fleet's time line: a sender far apart
            }
            if (static_cast<size_t>(slot) >= out.size()) {
                out.resize(static_cast<size_t>(slot) + 1);
            }
            FleetInterval& f = out[static_cast<size_t>(slot)];
            f.lengthSeconds = std::max(f.lengthSeconds, i.lengthSeconds);
            ++f.senders;
            f.latency.add(i.latency);
            if (i.uncorrected) {
                f.paced = true;
                f.uncorrected.add(*i.uncorrected);
            }
        }
    }
    return out;
}

// p50, p99 and max of an added interval histogram.
void putIntervalFigures(Json& j, const latency::Histogram::Snapshot& s,
                        latency::Histogram* scratch) {
    scratch->restore(s);
    const double percents[] = {50, 99};
    uint64_t at[2];
    scratch->valuesAtPercentiles(percents, at, 2);
    j["p50_us"] = at[0];
    j["p99_us"] = at[1];
    j["max_us"] = s.totals.max;
}

bool writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    std::string outDir;
    std::string label = "fleet";
    std::vector<std::string> files;
    std::string agentsFile;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if ((a == "--out" || a == "--label" || a == "--agents") && i + 1 < argc) {
            (a == "--out" ? outDir : a == "--label" ? label : agentsFile) = argv[++i];
        } else if (a.compare(0, 2, "--") == 0) {
            std::fprintf(stderr, "xomq-fleet-merge: unknown option %s\n\n%s", a.c_str(), kUsage);
            return 2;
        } else {
            files.push_back(a);
        }
    }
    if (outDir.empty() || files.empty() == agentsFile.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    // A fleet on agents: each result file belongs to the host of its agent.
    std::vector<fleet::AgentRun> agents;
    std::vector<size_t> agentOf;
    if (!agentsFile.empty()) {
        std::string error;
        if (!fleet::readAgents(agentsFile, &agents, &error)) {
            std::fprintf(stderr, "xomq-fleet-merge: %s: %s\n", agentsFile.c_str(), error.c_str());
            return 1;
        }
        for (size_t a = 0; a < agents.size(); ++a) {
            files.insert(files.end(), agents[a].files.begin(), agents[a].files.end());
            agentOf.insert(agentOf.end(), agents[a].files.size(), a);
        }
    }

    std::vector<Sender> senders(files.size());
    latency::Histogram merged;
    latency::Histogram mergedUncorrected;
    bool paced = false;
    uint64_t lateSends = 0;
    uint64_t maxLag = 0;
    double askedRate = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        std::string error;
        if (!readSender(files[i], &senders[i], &error)) {
            std::fprintf(stderr, "xomq-fleet-merge: %s: %s\n", files[i].c_str(), error.c_str());
            return 1;
        }
        if (!agentOf.empty() && agents[agentOf[i]].clockOffsetMs.is_number()) {
            // On the controller's clock, so that the hosts' intervals line up
            // even when their clocks do not.
            const double offsetMs = agents[agentOf[i]].clockOffsetMs.get<double>();
            senders[i].record.timerStarted -=
                std::chrono::duration_cast<std::chrono::system_clock::duration>(
                    std::chrono::duration<double, std::milli>(offsetMs));
        }
        const results::RunRecord& r = senders[i].record;
        if (r.histogram) {
            merged.merge(*r.histogram);
        }
        if (r.pacing) {
            paced = true;
            lateSends += r.pacing->lateSends;
            maxLag = std::max(maxLag, r.pacing->maxLagMicros);
            askedRate += r.settings.sendRate;
            if (r.uncorrected) {
                mergedUncorrected.merge(*r.uncorrected);
            }
        }
    }
    double intervalSeconds = 0;
    std::string noIntervals;
    const std::vector<FleetInterval> intervals =
        mergeIntervals(senders, &intervalSeconds, &noIntervals);

    uint64_t count = 0;
    uint64_t systemErrors = 0;
    double rate = 0;
    std::vector<double> rates;
    Json failures = Json::array();
    Json perSender = Json::array();
    for (size_t i = 0; i < senders.size(); ++i) {
        const results::RunRecord& r = senders[i].record;
        count += r.count;
        systemErrors += r.systemErrors;
        if (r.resultCode != 0) {
            failures.push_back({{"sender", i + 1},
                                {"file", senders[i].file},
                                {"result_code", r.resultCode},
                                {"outcome", results::outcomeName(r.outcome())},
                                {"failed_call", r.failedCall}});
        } else {
            rate += r.rate().value_or(0.0);
            rates.push_back(r.rate().value_or(0.0));
        }
        std::optional<latency::Histogram::Summary> latency;
        if (r.histogram) {
            latency = r.histogram->summary();
        }
        Json one = {{"sender", i + 1},
                    {"file", senders[i].file},
                    {"result_code", r.resultCode},
                    {"count", r.count},
                    {"rate", r.rate() ? Json(*r.rate()) : Json()},
                    {"p50_us", latency ? Json(latency->p50) : Json()},
                    {"p99_us", latency ? Json(latency->p99) : Json()},
                    {"max_us", latency ? Json(latency->max) : Json()},
                    {"system_errors", r.systemErrors}};
        if (r.pacing) {
            one["send_rate"] = r.settings.sendRate;
            one["late_sends"] = r.pacing->lateSends;
            one["max_lag_us"] = r.pacing->maxLagMicros;
        }
        perSender.push_back(std::move(one));
    }
    const double rateMin = rates.empty() ? 0 : *std::min_element(rates.begin(), rates.end());
    const double rateMax = rates.empty() ? 0 : *std::max_element(rates.begin(), rates.end());

    Json fleet;
    fleet["format"] = kFormat;
    fleet["label"] = label;
    fleet["senders"] = senders.size();
    fleet["settings"] = senders.empty() ? Json() : settingsOf(senders[0].record.settings);
    fleet["count"] = count;
    // The senders ran at once: their rates add up.
    fleet["rate"] = rate;
    fleet["rate_min"] = rateMin;
    fleet["rate_median"] = median(rates);
    fleet["rate_max"] = rateMax;
    fleet["recorded"] = merged.count();
    results::putLatencyFigures(fleet, merged);
    if (paced) {
        // The fleet's offered load, and its latency from the actual send.
        fleet["send_rate"] = askedRate;
        fleet["late_sends"] = lateSends;
        fleet["max_lag_us"] = maxLag;
        Json u = Json::object();
        results::putLatencyFigures(u, mergedUncorrected);
        fleet["uncorrected"] = u;
    }
    fleet["system_errors"] = systemErrors;
    fleet["failures"] = failures;
    fleet["per_sender"] = perSender;
    if (!agentsFile.empty()) {
        Json hosts = Json::array();
        Json failedHosts = Json::array();
        for (size_t a = 0; a < agents.size(); ++a) {
            std::vector<const results::RunRecord*> records;
            for (size_t i = 0; i < senders.size(); ++i) {
                if (agentOf[i] == a) {
                    records.push_back(&senders[i].record);
                    fleet["per_sender"][i]["agent"] = agents[a].agent;
                }
            }
            hosts.push_back(fleet::hostFigures(agents[a], records));
            if (agents[a].failed) {
                failedHosts.push_back({{"agent", agents[a].agent},
                                       {"host", agents[a].host},
                                       {"reason", agents[a].reason}});
            }
        }
        fleet["hosts"] = std::move(hosts);
        fleet["failed_hosts"] = std::move(failedHosts);
    }

    // Rate and latency over time, from the added interval histograms.
    Json fleetIntervals = Json::array();
    std::ostringstream overTime;
    overTime << "# start_s rate p99_us p50_us middle_s (" << label << ")\n";
    latency::Histogram scratch;
    for (size_t k = 0; k < intervals.size(); ++k) {
        const FleetInterval& f = intervals[k];
        Json e = Json::object();
        e["start_s"] = static_cast<double>(k) * intervalSeconds;
        e["length_s"] = f.lengthSeconds;
        e["senders"] = f.senders;
        e["count"] = f.latency.totals.count;
        const double rateThen =
            f.lengthSeconds > 0 ? static_cast<double>(f.latency.totals.count) / f.lengthSeconds : 0;
        e["rate"] = rateThen;
        putIntervalFigures(e, f.latency, &scratch);
        if (f.paced) {
            Json u = Json::object();
            putIntervalFigures(u, f.uncorrected, &scratch);
            e["uncorrected"] = u;
        }
        overTime << e["start_s"].get<double>() << ' ' << rateThen << ' ' << e["p99_us"].dump()
                 << ' ' << e["p50_us"].dump() << ' '
                 << e["start_s"].get<double>() + f.lengthSeconds / 2 << '\n';
        fleetIntervals.push_back(std::move(e));
    }
    fleet["interval_seconds"] = intervalSeconds;
    fleet["intervals"] = fleetIntervals;

    std::ostringstream csv;
    csv << "sender,result_code,count,rate,p50_us,p99_us,max_us,system_errors\n";
    for (const Json& s : perSender) {
        const auto num = [](const Json& v) { return v.is_null() ? std::string() : v.dump(); };
        csv << s["sender"].dump() << ',' << s["result_code"].dump() << ',' << s["count"].dump()
            << ',' << num(s["rate"]) << ',' << num(s["p50_us"]) << ',' << num(s["p99_us"]) << ','
            << num(s["max_us"]) << ',' << s["system_errors"].dump() << '\n';
    }
    csv << "fleet,," << count << ',' << Json(rate).dump() << ',' << fleet["p50_us"].dump() << ','
        << fleet["p99_us"].dump() << ',' << fleet["max_us"].dump() << ',' << systemErrors << '\n';

    // The percentile curve: x = 1 / (1 - p), so that p90, p99, p99.9 are
    // evenly spaced on a log scale.
    std::ostringstream curve;
    curve << "# percentile value_us one_over_one_minus_p (" << label << ")\n";
    if (merged.count() != 0) {
        std::vector<double> nines;
        std::vector<double> percents;
        for (double n = 0; n <= 5.0001; n += 0.125) {
            nines.push_back(n);
            percents.push_back(100.0 * (1.0 - std::pow(10.0, -n)));
        }
        std::vector<double> asked = percents;
        asked[0] = 0.0001;  // p0 stands for the smallest value
        std::vector<uint64_t> values(asked.size());
        merged.valuesAtPercentiles(asked.data(), values.data(), asked.size());
        for (size_t i = 0; i < percents.size(); ++i) {
            curve << percents[i] << ' ' << values[i] << ' ' << std::pow(10.0, nines[i]) << '\n';
        }
    }

    const std::string base = outDir + "/";
    if (!writeText(base + "fleet.json", fleet.dump(2) + "\n") ||
        !writeText(base + "fleet.csv", csv.str()) ||
        !writeText(base + "latency.dat", curve.str()) ||
        !writeText(base + "intervals.dat", overTime.str())) {
        std::fprintf(stderr, "xomq-fleet-merge: cannot write to %s\n", outDir.c_str());
        return 1;
    }

    std::printf("fleet '%s': %zu senders, %llu requests, %llu system error replies, %zu failed\n",
                label.c_str(), senders.size(), static_cast<unsigned long long>(count),
                static_cast<unsigned long long>(systemErrors), failures.size());
    std::printf("aggregate rate %.1f msg/s; per sender min %.1f, median %.1f, max %.1f msg/s\n",
                rate, rateMin, median(rates), rateMax);
    if (merged.count() != 0) {
        const latency::Histogram::Summary all = merged.summary();
        std::printf(
            "latency (us, all senders): min %llu, p50 %llu, p90 %llu, p99 %llu, "
            "p99.9 %llu, p99.99 %llu, max %llu\n",
            static_cast<unsigned long long>(all.min), static_cast<unsigned long long>(all.p50),
            static_cast<unsigned long long>(all.p90), static_cast<unsigned long long>(all.p99),
            static_cast<unsigned long long>(all.p999), static_cast<unsigned long long>(all.p9999),
            static_cast<unsigned long long>(all.max));
    }
    if (paced) {
        std::printf(
            "paced at %.1f msg/s in all: %llu late sends, largest lag %llu us; the latency above "
            "is from the scheduled send\n",
            askedRate, static_cast<unsigned long long>(lateSends),
            static_cast<unsigned long long>(maxLag));
    }
    if (!intervals.empty()) {
        std::printf("%zu intervals of %.0f s (intervals.dat)\n", intervals.size(), intervalSeconds);
    } else if (!noIntervals.empty()) {
        std::printf("no intervals merged: %s\n", noIntervals.c_str());
    }
    std::printf(
        "\n| sender | code | count | msg/s | p50 us | p99 us | max us | system errors |\n"
        "|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const Json& s : perSender) {
        const auto num = [](const Json& v) { return v.is_null() ? std::string("-") : v.dump(); };
        std::printf("| %s | %s | %s | %.1f | %s | %s | %s | %s |\n", s["sender"].dump().c_str(),
                    s["result_code"].dump().c_str(), s["count"].dump().c_str(),
                    s["rate"].is_number() ? s["rate"].get<double>() : 0.0, num(s["p50_us"]).c_str(),
                    num(s["p99_us"]).c_str(), num(s["max_us"]).c_str(),
                    s["system_errors"].dump().c_str());
    }
    for (const Json& f : failures) {
        std::printf("sender %s failed: code %s (%s) in %s\n", f["sender"].dump().c_str(),
                    f["result_code"].dump().c_str(), f["outcome"].get<std::string>().c_str(),
                    f["failed_call"].get<std::string>().c_str());
    }
    if (fleet.contains("hosts")) {
        fleet::printHosts(fleet["hosts"]);
    }
    return 0;
}
