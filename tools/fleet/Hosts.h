// The hosts of a fleet that ran on agents (xomq-fleet-control writes
// agents.json): which result files came from which agent, and each host's
// part of the fleet, its percentiles from its senders' added histograms.
#ifndef XOMQ_TOOLS_FLEET_HOSTS_H
#define XOMQ_TOOLS_FLEET_HOSTS_H

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "RunRecord.h"

namespace fleet {

struct AgentRun {
    std::string agent;
    std::string host;
    bool failed = false;
    std::string reason;                    // why it failed
    std::string ended;                     // how its run ended, as it reported
    nlohmann::ordered_json clockOffsetMs;  // null when not measured
    nlohmann::ordered_json clockRttMs;
    bool clockWarning = false;
    size_t senders = 0;              // the senders it was asked for
    std::vector<std::string> files;  // their result files that came back
};

// Reads agents.json; the result files' names are taken relative to its
// folder. False with the reason.
bool readAgents(const std::string& path, std::vector<AgentRun>* agents, std::string* error);

// One host's entry of fleet.json from the records of its result files.
// Its failures are the senders asked for that did not complete: those that
// failed or were interrupted, and those whose result file never came.
nlohmann::ordered_json hostFigures(const AgentRun& agent,
                                   const std::vector<const results::RunRecord*>& records);

// The hosts' table, then a line for each failed host.
void printHosts(const nlohmann::ordered_json& hosts);

}  // namespace fleet

#endif  // XOMQ_TOOLS_FLEET_HOSTS_H
