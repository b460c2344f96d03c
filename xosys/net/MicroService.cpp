#include "MicroService.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <utility>

#include "NatsHandles.h"

namespace xosys {

namespace {

using Json = nlohmann::ordered_json;

const char kPrefix[] = "$SRV.";
const char* const kVerbs[] = {"PING", "INFO", "STATS"};

// "2026-12-10T12:00:00.123456789Z"
std::string rfc3339Now() {
    using namespace std::chrono;
    const auto now = system_clock::now().time_since_epoch();
    const long long ns = duration_cast<nanoseconds>(now).count();
    const std::time_t sec = static_cast<std::time_t>(ns / 1000000000);
    std::tm tm{};
#if defined(_WIN32)
    gmtime_s(&tm, &sec);
#else
    gmtime_r(&sec, &tm);
#endif
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%09lldZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ns % 1000000000);
    return text;
}

// A NUID: the unique token of a new inbox name.
std::string newNuid() {
    natsInbox* inbox = nullptr;
    if (natsInbox_Create(&inbox) != NATS_OK) {
        return "";
    }
    const NatsInboxPtr owned(inbox);
    const char* dot = std::strrchr(inbox, '.');
    return dot != nullptr ? dot + 1 : inbox;
}

Json metadataJson(const MicroService::Metadata& m) {
    Json j = Json::object();
    for (const auto& kv : m) {
        j[kv.first] = kv.second;
    }
    return j;
}

// The fields every answer starts with.
Json head(const char* type, const MicroService::Config& c, const std::string& id) {
    Json j;
    j["type"] = type;
    j["name"] = c.name;
    j["id"] = id;
    j["version"] = c.version;
    j["metadata"] = metadataJson(c.metadata);
    return j;
}

}  // namespace

MicroService::MicroService(Config config)
    : m_config(std::move(config)),
      m_id(newNuid()),
      m_started(rfc3339Now()),
      m_counters(m_config.endpoints.size()) {}

natsStatus MicroService::subscribe(NatsLink& link, std::vector<natsSubscription*>* subs) {
    for (const char* verb : kVerbs) {
        const std::string all = std::string(kPrefix) + verb;
        const std::string subjects[] = {all, all + "." + m_config.name,
                                        all + "." + m_config.name + "." + m_id};
        for (const std::string& subject : subjects) {
            natsSubscription* sub = nullptr;
            const natsStatus s = link.subscribe(subject, nullptr, &sub);
            if (s != NATS_OK) {
                return s;
            }
            subs->push_back(sub);
        }
    }
    return NATS_OK;
}

natsStatus MicroService::answer(NatsLink& link, natsMsg* m) const {
    const char* reply = natsMsg_GetReply(m);
    const char* subject = natsMsg_GetSubject(m);
    if (reply == nullptr || reply[0] == '\0' || subject == nullptr) {
        return NATS_OK;
    }
    const size_t prefixLen = sizeof kPrefix - 1;
    std::string text;
    if (std::strncmp(subject, kPrefix, prefixLen) == 0) {
        const char* verb = subject + prefixLen;
        const auto is = [verb](const char* v) {
            const size_t n = std::strlen(v);
            return std::strncmp(verb, v, n) == 0 && (verb[n] == '\0' || verb[n] == '.');
        };
        text = is("PING") ? pingJson() : is("INFO") ? infoJson() : is("STATS") ? statsJson() : "";
    }
    if (text.empty()) {
        return NATS_OK;
    }
    return natsConnection_Publish(link.nc(), reply, text.data(), static_cast<int>(text.size()));
}

std::string MicroService::pingJson() const {
    return head("io.nats.micro.v1.ping_response", m_config, m_id).dump();
}

std::string MicroService::infoJson() const {
    Json j = head("io.nats.micro.v1.info_response", m_config, m_id);
    j["description"] = m_config.description;
    Json endpoints = Json::array();
    for (const Endpoint& e : m_config.endpoints) {
        endpoints.push_back({{"name", e.name},
                             {"subject", e.subject},
                             {"queue_group", e.queueGroup},
                             {"metadata", metadataJson(e.metadata)}});
    }
    j["endpoints"] = std::move(endpoints);
    return j.dump();
}

std::string MicroService::statsJson() const {
    Json j = head("io.nats.micro.v1.stats_response", m_config, m_id);
    j["started"] = m_started;
    Json endpoints = Json::array();
    for (size_t i = 0; i < m_config.endpoints.size(); ++i) {
        const Endpoint& e = m_config.endpoints[i];
        const Counters& c = m_counters[i];
        endpoints.push_back(
            {{"name", e.name},
             {"subject", e.subject},
             {"queue_group", e.queueGroup},
             {"num_requests", c.requests},
             {"num_errors", c.errors},
             {"last_error", c.lastError},
             {"processing_time", c.processingNs},
             {"average_processing_time", c.requests != 0 ? c.processingNs / c.requests : 0}});
    }
    j["endpoints"] = std::move(endpoints);
    return j.dump();
}

}  // namespace xosys
