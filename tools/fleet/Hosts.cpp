#include "Hosts.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "HistogramJson.h"
#include "LatencyHistogram.h"

namespace fleet {

namespace {

using Json = nlohmann::ordered_json;

std::string text(const Json& j, const char* key) {
    return j.contains(key) && j[key].is_string() ? j[key].get<std::string>() : "";
}

// A host an agent that never answered leaves unknown.
std::string hostText(const Json& h) {
    const std::string host = text(h, "host");
    return host.empty() ? "(unknown)" : host;
}

}  // namespace

bool readAgents(const std::string& path, std::vector<AgentRun>* agents, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read it";
        return false;
    }
    std::stringstream all;
    all << in.rdbuf();
    const Json j = Json::parse(all.str(), nullptr, false);
    if (!j.is_object() || text(j, "format") != "xomq-agents-1" || !j.contains("agents") ||
        !j["agents"].is_array()) {
        *error = "not the agents file of xomq-fleet-control (format xomq-agents-1)";
        return false;
    }
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    for (const Json& a : j["agents"]) {
        if (!a.is_object() || text(a, "agent").empty()) {
            *error = "an agent without a name";
            return false;
        }
        AgentRun r;
        r.agent = text(a, "agent");
        r.host = text(a, "host");
        r.failed = text(a, "status") != "completed";
        r.reason = text(a, "reason");
        r.ended = text(a, "ended");
        r.clockOffsetMs = a.contains("clock_offset_ms") ? a["clock_offset_ms"] : Json();
        r.clockRttMs = a.contains("clock_rtt_ms") ? a["clock_rtt_ms"] : Json();
        r.clockWarning = a.contains("clock_warning") && a["clock_warning"].is_boolean() &&
                         a["clock_warning"].get<bool>();
        r.senders = j.contains("senders_per_agent") && j["senders_per_agent"].is_number_unsigned()
                        ? j["senders_per_agent"].get<size_t>()
                        : 0;
        if (a.contains("senders") && a["senders"].is_array()) {
            for (const Json& s : a["senders"]) {
                const std::string file = s.is_object() ? text(s, "file") : "";
                if (!file.empty()) {
                    r.files.push_back(file[0] == '/' ? file : dir + file);
                }
            }
        }
        agents->push_back(std::move(r));
    }
    return true;
}

Json hostFigures(const AgentRun& agent, const std::vector<const results::RunRecord*>& records) {
    latency::Histogram merged;
    uint64_t count = 0;
    uint64_t systemErrors = 0;
    double rate = 0;
    size_t completed = 0;
    for (const results::RunRecord* r : records) {
        count += r->count;
        systemErrors += r->systemErrors;
        if (r->histogram) {
            merged.merge(*r->histogram);
        }
        if (r->resultCode == 0) {
            ++completed;
            rate += r->rate().value_or(0.0);
        }
    }
    Json h;
    h["agent"] = agent.agent;
    h["host"] = agent.host;
    h["status"] = agent.failed ? "failed" : "completed";
    h["reason"] = agent.reason;
    h["ended"] = agent.ended;
    h["senders"] = agent.senders;
    h["results"] = records.size();
    h["count"] = count;
    h["rate"] = rate;
    h["recorded"] = merged.count();
    if (merged.count() != 0) {
        results::putLatencyFigures(h, merged);
    }
    h["system_errors"] = systemErrors;
    h["failures"] = agent.senders > completed ? agent.senders - completed : 0;
    h["clock_offset_ms"] = agent.clockOffsetMs;
    h["clock_rtt_ms"] = agent.clockRttMs;
    h["clock_warning"] = agent.clockWarning;
    return h;
}

void printHosts(const Json& hosts) {
    std::printf(
        "\n| host | agent | status | senders | count | msg/s | p50 us | p99 us | max us | "
        "failures | clock offset ms |\n"
        "|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    const auto num = [](const Json& h, const char* key) {
        return h.contains(key) && !h[key].is_null() ? h[key].dump() : std::string("-");
    };
    size_t failed = 0;
    for (const Json& h : hosts) {
        char offset[32] = "-";
        if (h["clock_offset_ms"].is_number()) {
            std::snprintf(offset, sizeof offset, "%+.3f", h["clock_offset_ms"].get<double>());
        }
        std::printf("| %s | %s | %s | %s | %s | %.1f | %s | %s | %s | %s | %s |\n",
                    hostText(h).c_str(), h["agent"].get<std::string>().c_str(),
                    h["status"].get<std::string>().c_str(), num(h, "senders").c_str(),
                    num(h, "count").c_str(), h["rate"].get<double>(), num(h, "p50_us").c_str(),
                    num(h, "p99_us").c_str(), num(h, "max_us").c_str(), num(h, "failures").c_str(),
                    offset);
        failed += h["status"] == "failed" ? 1 : 0;
    }
    for (const Json& h : hosts) {
        if (h["status"] == "failed") {
            std::printf("host %s (agent %s) failed: %s\n", hostText(h).c_str(),
                        h["agent"].get<std::string>().c_str(),
                        h["reason"].get<std::string>().c_str());
        } else if (h["clock_warning"] == true) {
            std::printf("host %s (agent %s): its clock is off by more than the bound\n",
                        hostText(h).c_str(), h["agent"].get<std::string>().c_str());
        }
    }
    std::printf("%zu hosts, %zu failed\n", hosts.size(), failed);
}

}  // namespace fleet
