// A fleet order: what the controller (xomq-fleet-control) asks of the agents
// (xomq-agent), as JSON of at most kMaxOrderBytes:
//
//   {"schema": "xomq-order-1", "run": "<id>", "agents": ["load1", "load2"],
//    "senders": 4, "amount": 10000, "warmup": 100, "rate": 500,
//    "settings": {"toServiceName": "bench", "sendtimeout": 5000},
//    "start_ms": 1767268800000, "timeout_s": 600}
//
// Every field is checked here, on the agent, before anything is written or
// started: its type, its range, the characters of every text. A field or a
// sender setting this file does not know is refused, and so is every value
// that could break the INI file the agent writes or the senders' connect
// string. The senders' router comes from the agent's own flags, never from
// an order, and so do every path and file name.
#ifndef XOMQ_TOOLS_AGENT_ORDER_H
#define XOMQ_TOOLS_AGENT_ORDER_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ConnectString.h"

namespace xoagent {

extern const char kOrderSchema[];  // "xomq-order-1"
const size_t kMaxOrderBytes = 64 * 1024;
const size_t kMaxAgents = 256;
const int kMaxTimeoutSeconds = 86400;
// How far from the agent's clock a start time may lie: late by a minute at
// most (the senders then start at once), ahead by an hour at most.
const int64_t kMaxStartLateMs = 60 * 1000;
const int64_t kMaxStartAheadMs = 3600 * 1000;

// An agent name or a run id: 1 to 64 of A-Z a-z 0-9 - _, so that it is one
// token of a subject and one file name.
bool validName(const std::string& name);

// A sender setting an order may carry: an INI key of XoMQSender.
struct Setting {
    const char* key;      // its spelling in the INI file and in orders
    const char* section;  // "options:ap" or "options:mq"
    bool integer;         // else text
    int64_t min;          // the range of an integer, the length of a text
    int64_t max;
    // When not null, the agent writes the value into the senders' connect
    // string as this field instead of an INI line.
    const char* connectField;
};

// The closed list: toServiceName (required), sendtimeout, progressSeconds,
// serviceStats, timeoutToAllReconnectingTriing, timeout, appname.
const std::vector<Setting>& knownSettings();
// The setting of that key (ignoring case, as INI keys are), or null.
const Setting* findSetting(const std::string& key);

struct Value {
    bool integer = false;
    int64_t number = 0;
    std::string text;
};
// Known keys in their own spelling.
using Settings = std::map<std::string, Value>;

// False with the reason when value is not one of the setting's.
bool checkSetting(const Setting& setting, const Value& value, std::string* reason);

// The sender settings of an INI file (the controller's --ini): the known
// keys of [options:ap] and [options:mq], each checked. Any other key or
// section is refused, with the reason naming it.
bool settingsFromIni(const std::string& text, Settings* settings, std::string* reason);

struct Order {
    std::string run;
    std::vector<std::string> agents;
    int senders = 1;
    int32_t amount = 10000;
    int32_t warmup = 0;
    double rate = 0;  // per sender; 0: the closed loop
    Settings settings;
    int64_t startMs = 0;  // the controller's wall clock, ms since 1970 (UTC)
    int32_t timeoutS = 600;

    bool names(const std::string& agent) const;
};

struct OrderLimits {
    int maxSenders = 16;
    // The agent's wall clock for the start time's bounds; 0 skips them.
    int64_t nowMs = 0;
};

std::string orderJson(const Order& order);
// Reads and checks an order. False with the reason (a text that quotes no
// value, and names a key only when it is a plain one).
bool parseOrder(const std::string& text, const OrderLimits& limits, Order* order,
                std::string* reason);

// The connect string of the senders: the agent's routers and credentials
// from params, and the order's connect-string settings. False with the
// reason when a value cannot be carried in it (a ';', a ',', a control
// character or blanks at an end), naming the flag it came from.
bool senderConnectString(const xosys::ConnectParams& params, const Settings& settings,
                         std::string* out, std::string* reason);

// The INI file of one sender: the order's amounts and settings, the
// agent's connect string, a latency histogram, and the result file and log
// the agent chose.
std::string senderIni(const Order& order, const std::string& connect, const std::string& resultFile,
                      const std::string& logFile);

// The decimal text of a rate, as the sender reads it ("12.5", no exponent).
std::string rateText(double rate);

}  // namespace xoagent

#endif  // XOMQ_TOOLS_AGENT_ORDER_H
