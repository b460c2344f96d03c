// xomq-fleet-merge: the combined result of several XoMQSender runs that ran
// at once (scripts/fleet.sh). Reads their result files, merges their latency
// histograms, prints one table, and writes fleet.json, fleet.csv and the
// merged percentile curve (latency.dat, for gnuplot) to an output folder.
#include <algorithm>
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
    "resultFile and latencyHistogram = 1) into <dir>/fleet.json, <dir>/fleet.csv and\n"
    "<dir>/latency.dat, and prints the combined table. Exit status: 0 done, 1 a file\n"
    "cannot be read or is not a result file, 2 bad arguments.\n";

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
    for (size_t i = 0; i < files.size(); ++i) {
        std::string error;
        if (!readSender(files[i], &senders[i], &error)) {
            std::fprintf(stderr, "xomq-fleet-merge: %s: %s\n", files[i].c_str(), error.c_str());
            return 1;
        }
        if (senders[i].record.histogram) {
            merged.merge(*senders[i].record.histogram);
        }
    }

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
        perSender.push_back({{"sender", i + 1},
                             {"file", senders[i].file},
                             {"result_code", r.resultCode},
                             {"count", r.count},
                             {"rate", r.rate() ? Json(*r.rate()) : Json()},
                             {"p50_us", latency ? Json(latency->p50) : Json()},
                             {"p99_us", latency ? Json(latency->p99) : Json()},
                             {"max_us", latency ? Json(latency->max) : Json()},
                             {"system_errors", r.systemErrors}});
    }
    const double rateMin = rates.empty() ? 0 : *std::min_element(rates.begin(), rates.end());
    const double rateMax = rates.empty() ? 0 : *std::max_element(rates.begin(), rates.end());

    Json fleet;
    fleet["label"] = label;
    fleet["senders"] = senders.size();
    fleet["count"] = count;
    // The senders ran at once: their rates add up.
    fleet["rate"] = rate;
    fleet["rate_min"] = rateMin;
    fleet["rate_median"] = median(rates);
    fleet["rate_max"] = rateMax;
    fleet["recorded"] = merged.count();
    results::putLatencyFigures(fleet, merged);
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
        !writeText(base + "latency.dat", curve.str())) {
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
