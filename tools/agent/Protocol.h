// How the fleet controller and its agents speak through the router.
//
//   xomq.agent.<agent>.order   an order for that agent (Order.h); the answer
//                              is {"type": "accepted", ...} or {"type":
//                              "refused", "reason": ...} with the service
//                              error headers
//   xomq.agent.order           the same for every agent the order names;
//                              the others stay silent
//   xomq.agent.<agent>.clock   {"clock_ms": <the agent's wall clock>, ...}
//   xomq.agent.<agent>.stop    {"run": <id>}: stop the senders of that run
//                              now and send back what they wrote
//   xomq.fleet.<run>.<agent>   what the agent sends back once its senders
//                              ended: each result file in one or more
//                              messages (kind "result"), then one "done"
//                              message with every sender's exit status
//
// The agents are NATS micro services named kServiceName, with the agent
// name and the host name in their metadata. No message of these carries a
// secret: the senders' router and credentials stay on the agent's host.
#ifndef XOMQ_TOOLS_AGENT_PROTOCOL_H
#define XOMQ_TOOLS_AGENT_PROTOCOL_H

#include <string>

namespace xoagent {

const char kServiceName[] = "xomq-agent";
const char kBroadcastOrderSubject[] = "xomq.agent.order";

inline std::string agentSubject(const std::string& agent, const char* endpoint) {
    return "xomq.agent." + agent + "." + endpoint;
}
inline std::string resultSubject(const std::string& run, const std::string& agent) {
    return "xomq.fleet." + run + "." + agent;
}

// Headers of the messages sent back.
const char kKindHeader[] = "Xomq-Kind";  // "result" or "done"
const char kAgentHeader[] = "Xomq-Agent";
const char kSenderHeader[] = "Xomq-Sender";  // 1, 2, ...
const char kChunkHeader[] = "Xomq-Chunk";    // "<k>/<n>", from 1
const char kKindResult[] = "result";
const char kKindDone[] = "done";

// Headroom left under the router's max payload for a message's headers.
const long kHeaderRoom = 4096;

}  // namespace xoagent

#endif  // XOMQ_TOOLS_AGENT_PROTOCOL_H
