#include "Order.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <set>

#include "IniData.h"
#include "XoSysCodes.h"

namespace xoagent {

const char kOrderSchema[] = "xomq-order-1";

namespace {

using Json = nlohmann::ordered_json;

const char kAp[] = "options:ap";
const char kMq[] = "options:mq";

const int64_t kInt32Max = 2147483647;
const double kMinRate = 0.01;
const double kMaxRate = 1e9;

// Keys of XoMQSender's INI that an order's settings never carry, and why.
struct Reserved {
    const char* key;
    const char* why;
};
const Reserved kReserved[] = {
    {"sendAmount", "the order's 'amount' (--amount) sets it"},
    {"warmupAmount", "the order's 'warmup' (--warmup) sets it"},
    {"sendRate", "the order's 'rate' (--rate) sets it"},
    {"latencyHistogram", "the agent always writes it"},
    {"resultFile", "the agent chooses the senders' files"},
    {"histogramLog", "the agent chooses the senders' files"},
    {"connect", "the senders reach the router through their agent's own --server and credentials"},
    {"host", "the senders reach the router through their agent's own --server and credentials"},
    {"port", "the senders reach the router through their agent's own --server and credentials"},
    {"lrpcq_port",
     "the senders reach the router through their agent's own --server and credentials"},
    {"pwd", "the senders reach the router through their agent's own --server and credentials"},
};

bool sameKey(const std::string& a, const char* b) {
    return xosys::asciiLower(a.data(), a.size()) == xosys::asciiLower(b, std::strlen(b));
}

// 'name' when it is a plain key that may be shown, otherwise a description:
// a reason never carries a control character or a long text from the wire.
std::string shown(const std::string& name) {
    bool plain = !name.empty() && name.size() <= 64;
    for (const char c : name) {
        plain = plain && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.' || c == ':');
    }
    return plain ? "'" + name + "'" : "with a name that is no plain key";
}

std::string knownList() {
    std::string out;
    for (const Setting& s : knownSettings()) {
        out += out.empty() ? "" : ", ";
        out += s.key;
    }
    return out;
}

// Why a text may not be a value, or "".
std::string textFault(const std::string& t, int64_t minLen, int64_t maxLen) {
    const int64_t n = static_cast<int64_t>(t.size());
    if (n < minLen || n > maxLen) {
        return "must be " + std::to_string(minLen) + " to " + std::to_string(maxLen) +
               " characters long";
    }
    for (const char c : t) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) {
            return "holds a line end or another control character";
        }
        if (u >= 0x80) {
            return "holds a character outside printable ASCII";
        }
        if (std::strchr("[]=;,#\"\\", c) != nullptr) {
            return "holds one of [ ] = ; , # \" \\, which could break the senders' INI file or "
                   "connect string";
        }
    }
    if (!t.empty() && (t.front() == ' ' || t.back() == ' ')) {
        return "begins or ends with a blank";
    }
    return "";
}

bool wholeNumber(const Json& j, int64_t* v) {
    if (j.is_number_unsigned()) {
        const uint64_t u = j.get<uint64_t>();
        if (u > static_cast<uint64_t>(INT64_MAX)) {
            return false;
        }
        *v = static_cast<int64_t>(u);
        return true;
    }
    if (j.is_number_integer()) {
        *v = j.get<int64_t>();
        return true;
    }
    return false;
}

// A whole number field within [min, max].
bool numberField(const Json& o, const char* name, int64_t min, int64_t max, int64_t* v,
                 std::string* reason) {
    if (!wholeNumber(o[name], v) || *v < min || *v > max) {
        *reason = std::string("field '") + name + "' must be a whole number from " +
                  std::to_string(min) + " to " + std::to_string(max);
        return false;
    }
    return true;
}

// The setting of key, or null with the reason.
const Setting* settingOf(const std::string& key, std::string* reason) {
    for (const Reserved& r : kReserved) {
        if (sameKey(key, r.key)) {
            *reason = std::string("sender setting '") + r.key + "' is not taken: " + r.why;
            return nullptr;
        }
    }
    const Setting* s = findSetting(key);
    if (s == nullptr) {
        *reason = "unknown sender setting " + shown(key) + " (known: " + knownList() + ")";
    }
    return s;
}

bool addSetting(const Setting& s, Value value, Settings* settings, std::string* reason) {
    if (!checkSetting(s, value, reason)) {
        return false;
    }
    if (!settings->emplace(s.key, std::move(value)).second) {
        *reason = std::string("sender setting '") + s.key + "' is given twice";
        return false;
    }
    return true;
}

bool readSettings(const Json& j, Settings* settings, std::string* reason) {
    if (!j.is_object()) {
        *reason = "field 'settings' must be an object of sender settings";
        return false;
    }
    for (auto it = j.begin(); it != j.end(); ++it) {
        const Setting* s = settingOf(it.key(), reason);
        if (s == nullptr) {
            return false;
        }
        Value v;
        v.integer = s->integer;
        if (s->integer ? !wholeNumber(it.value(), &v.number) : !it.value().is_string()) {
            *reason = std::string("sender setting '") + s->key + "' must be " +
                      (s->integer ? "a whole number" : "a text");
            return false;
        }
        if (!s->integer) {
            v.text = it.value().get<std::string>();
        }
        if (!addSetting(*s, std::move(v), settings, reason)) {
            return false;
        }
    }
    if (settings->count("toServiceName") == 0) {
        *reason = "sender setting 'toServiceName' is required: the service the senders call";
        return false;
    }
    return true;
}

// Why a value of one of the agent's flags cannot go into a connect string.
std::string connectFault(const std::string& value) {
    for (const char c : value) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f || c == ';' || c == ',') {
            return "holds ';', ',' or a control character";
        }
    }
    if (!value.empty() && (value.front() == ' ' || value.front() == '\t' || value.back() == ' ' ||
                           value.back() == '\t')) {
        return "begins or ends with a blank";
    }
    return "";
}

}  // namespace

bool validName(const std::string& name) {
    if (name.empty() || name.size() > 64) {
        return false;
    }
    for (const char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!ok) {
            return false;
        }
    }
    return true;
}

const std::vector<Setting>& knownSettings() {
    static const std::vector<Setting> kKnown = {
        {"toServiceName", kAp, false, 1, 255, nullptr},
        {"sendtimeout", kAp, true, 1, 3600000, nullptr},
        {"progressSeconds", kAp, true, 0, 3600, nullptr},
        {"serviceStats", kAp, true, 0, 1, nullptr},
        {"timeoutToAllReconnectingTriing", kMq, true, 0, 3600000, nullptr},
        {"timeout", kMq, true, 1, 600000, "timeout"},
        {"appname", kMq, false, 1, 255, "appname"},
    };
    return kKnown;
}

const Setting* findSetting(const std::string& key) {
    for (const Setting& s : knownSettings()) {
        if (sameKey(key, s.key)) {
            return &s;
        }
    }
    return nullptr;
}

bool checkSetting(const Setting& setting, const Value& value, std::string* reason) {
    const std::string name = std::string("sender setting '") + setting.key + "' ";
    if (setting.integer) {
        if (!value.integer || value.number < setting.min || value.number > setting.max) {
            *reason = name + "must be a whole number from " + std::to_string(setting.min) + " to " +
                      std::to_string(setting.max);
            return false;
        }
        return true;
    }
    const std::string fault =
        value.integer ? "must be a text" : textFault(value.text, setting.min, setting.max);
    if (!fault.empty()) {
        *reason = name + fault;
        return false;
    }
    return true;
}

bool settingsFromIni(const std::string& text, Settings* settings, std::string* reason) {
    settings->clear();
    xosys::IniData ini;
    size_t line = 0;
    std::string error;
    if (ini.parse(text, &line, &error, nullptr) != XOSYS_OK) {
        *reason = "line " + std::to_string(line) + ": " + error;
        return false;
    }
    for (const std::string& section : ini.sections()) {
        if (section == "log") {
            *reason = "section [log] is not taken: the agent writes the senders' log settings";
            return false;
        }
        if (section != kAp && section != kMq) {
            *reason = "section " + shown(section) + " holds no sender setting (only [" + kAp +
                      "] and [" + kMq + "] do)";
            return false;
        }
        for (const std::string& key : ini.keys(section.c_str())) {
            const Setting* s = settingOf(key, reason);
            if (s == nullptr) {
                return false;
            }
            if (section != s->section) {
                *reason =
                    std::string("sender setting '") + s->key + "' belongs in [" + s->section + "]";
                return false;
            }
            const std::string& raw = *ini.find(section.c_str(), key.c_str());
            Value v;
            v.integer = s->integer;
            if (s->integer) {
                int32_t n = 0;
                if (!xosys::parseInt32(raw, &n)) {
                    *reason = std::string("sender setting '") + s->key + "' must be a whole number";
                    return false;
                }
                v.number = n;
            } else {
                v.text = raw;
            }
            if (!addSetting(*s, std::move(v), settings, reason)) {
                return false;
            }
        }
    }
    return true;
}

bool Order::names(const std::string& agent) const {
    for (const std::string& a : agents) {
        if (a == agent) {
            return true;
        }
    }
    return false;
}

std::string orderJson(const Order& order) {
    Json settings = Json::object();
    for (const auto& kv : order.settings) {
        settings[kv.first] = kv.second.integer ? Json(kv.second.number) : Json(kv.second.text);
    }
    Json j;
    j["schema"] = kOrderSchema;
    j["run"] = order.run;
    j["agents"] = order.agents;
    j["senders"] = order.senders;
    j["amount"] = order.amount;
    j["warmup"] = order.warmup;
    if (order.rate > 0) {
        j["rate"] = order.rate;
    }
    j["settings"] = std::move(settings);
    j["start_ms"] = order.startMs;
    j["timeout_s"] = order.timeoutS;
    return j.dump();
}

bool parseOrder(const std::string& text, const OrderLimits& limits, Order* order,
                std::string* reason) {
    *order = Order();
    if (text.size() > kMaxOrderBytes) {
        *reason = "the order is larger than " + std::to_string(kMaxOrderBytes) + " bytes";
        return false;
    }
    const Json j = Json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        *reason = "the order is no JSON object";
        return false;
    }
    static const std::set<std::string> kFields = {"schema",   "run",      "agents", "senders",
                                                  "amount",   "warmup",   "rate",   "settings",
                                                  "start_ms", "timeout_s"};
    for (auto it = j.begin(); it != j.end(); ++it) {
        if (kFields.count(it.key()) == 0) {
            *reason = "unknown field " + shown(it.key());
            return false;
        }
    }
    for (const char* required :
         {"schema", "run", "agents", "senders", "amount", "settings", "start_ms", "timeout_s"}) {
        if (!j.contains(required)) {
            *reason = std::string("field '") + required + "' is missing";
            return false;
        }
    }
    if (!j["schema"].is_string() || j["schema"].get<std::string>() != kOrderSchema) {
        *reason = std::string("field 'schema' must be \"") + kOrderSchema +
                  "\" (an agent of another version?)";
        return false;
    }
    if (!j["run"].is_string() || !validName(j["run"].get<std::string>())) {
        *reason = "field 'run' must be 1 to 64 of A-Z a-z 0-9 - _";
        return false;
    }
    order->run = j["run"].get<std::string>();

    const Json& agents = j["agents"];
    if (!agents.is_array() || agents.empty() || agents.size() > kMaxAgents) {
        *reason = "field 'agents' must list 1 to " + std::to_string(kMaxAgents) + " agent names";
        return false;
    }
    std::set<std::string> seen;
    for (const Json& a : agents) {
        if (!a.is_string() || !validName(a.get<std::string>())) {
            *reason = "field 'agents' must hold names of 1 to 64 of A-Z a-z 0-9 - _";
            return false;
        }
        if (!seen.insert(a.get<std::string>()).second) {
            *reason = "field 'agents' names agent '" + a.get<std::string>() + "' twice";
            return false;
        }
        order->agents.push_back(a.get<std::string>());
    }

    int64_t v = 0;
    if (!numberField(j, "senders", 1, limits.maxSenders, &v, reason)) {
        return false;
    }
    order->senders = static_cast<int>(v);
    if (!numberField(j, "amount", 1, kInt32Max, &v, reason)) {
        return false;
    }
    order->amount = static_cast<int32_t>(v);
    if (j.contains("warmup")) {
        if (!numberField(j, "warmup", 0, kInt32Max, &v, reason)) {
            return false;
        }
        order->warmup = static_cast<int32_t>(v);
    }
    if (j.contains("rate")) {
        const Json& r = j["rate"];
        const double rate = r.is_number() ? r.get<double>() : 0;
        if (!r.is_number() || !std::isfinite(rate) || rate < kMinRate || rate > kMaxRate) {
            *reason = "field 'rate' must be a number of requests per second from 0.01 to 1e9";
            return false;
        }
        order->rate = rate;
    }
    if (!numberField(j, "timeout_s", 1, kMaxTimeoutSeconds, &v, reason)) {
        return false;
    }
    order->timeoutS = static_cast<int32_t>(v);
    if (!numberField(j, "start_ms", 0, INT64_MAX, &order->startMs, reason)) {
        return false;
    }
    if (limits.nowMs != 0 && order->startMs < limits.nowMs - kMaxStartLateMs) {
        *reason = "the start time lies " + std::to_string((limits.nowMs - order->startMs) / 1000) +
                  " s in the past on this host's clock (are the clocks in step?)";
        return false;
    }
    if (limits.nowMs != 0 && order->startMs > limits.nowMs + kMaxStartAheadMs) {
        *reason = "the start time lies " + std::to_string((order->startMs - limits.nowMs) / 1000) +
                  " s ahead on this host's clock (more than an hour)";
        return false;
    }
    return readSettings(j["settings"], &order->settings, reason);
}

bool senderConnectString(const xosys::ConnectParams& params, const Settings& settings,
                         std::string* out, std::string* reason) {
    struct Field {
        const char* name;
        const char* flag;
        const std::string& value;
    };
    const Field fields[] = {
        {"user", "--user", params.user},
        {"password", "--password", params.password},
        {"nkey_seed", "--nkey-seed", params.nkeySeedFile},
        {"creds", "--creds", params.credsFile},
        {"tls_ca", "--tls-ca", params.tlsCa},
        {"tls_cert", "--tls-cert", params.tlsCert},
        {"tls_key", "--tls-key", params.tlsKey},
    };
    std::string s = "servers = " + params.url();
    for (const Field& f : fields) {
        if (f.value.empty()) {
            continue;
        }
        const std::string fault = connectFault(f.value);
        if (!fault.empty()) {
            *reason = std::string("the value of ") + f.flag + " " + fault +
                      ": the senders' connect string cannot carry it";
            return false;
        }
        s += std::string(";") + f.name + " = " + f.value;
    }
    for (const auto& kv : settings) {
        const Setting* setting = findSetting(kv.first);
        if (setting != nullptr && setting->connectField != nullptr) {
            s += std::string(";") + setting->connectField + " = " +
                 (kv.second.integer ? std::to_string(kv.second.number) : kv.second.text);
        }
    }
    // Read back as the library reads it: what the senders get is what was meant.
    xosys::ConnectParams back;
    std::string error;
    if (xosys::parseConnectString(s.c_str(), &back, &error) != XOSYS_OK ||
        back.servers != params.servers || back.user != params.user ||
        back.password != params.password || back.nkeySeedFile != params.nkeySeedFile ||
        back.credsFile != params.credsFile || back.tlsCa != params.tlsCa ||
        back.tlsCert != params.tlsCert || back.tlsKey != params.tlsKey) {
        *reason = "the senders' connect string cannot carry the agent's router flags";
        return false;
    }
    *out = s;
    return true;
}

std::string rateText(double rate) {
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", rate);
    std::string t = text;
    while (!t.empty() && t.back() == '0') {
        t.pop_back();
    }
    if (!t.empty() && t.back() == '.') {
        t.pop_back();
    }
    return t;
}

std::string senderIni(const Order& order, const std::string& connect, const std::string& resultFile,
                      const std::string& logFile) {
    const auto lines = [&order](const char* section) {
        std::string out;
        for (const auto& kv : order.settings) {
            const Setting* s = findSetting(kv.first);
            if (s != nullptr && s->connectField == nullptr &&
                std::strcmp(s->section, section) == 0) {
                out += kv.first + " = " +
                       (kv.second.integer ? std::to_string(kv.second.number) : kv.second.text) +
                       "\n";
            }
        }
        return out;
    };
    std::string ini = "[options:ap]\n";
    ini += "sendAmount = " + std::to_string(order.amount) + "\n";
    ini += "warmupAmount = " + std::to_string(order.warmup) + "\n";
    if (order.rate > 0) {
        ini += "sendRate = " + rateText(order.rate) + "\n";
    }
    ini += "latencyHistogram = 1\n";
    ini += "resultFile = " + resultFile + "\n";
    ini += lines(kAp);
    ini += "[options:mq]\n";
    ini += "connect = " + connect + "\n";
    ini += lines(kMq);
    ini += "[log]\nfile = " + logFile + "\nappend = 0\nsilence = XoMQSendMsg\n";
    return ini;
}

}  // namespace xoagent
