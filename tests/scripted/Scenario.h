// Scenario of the scripted XoSys: what the calls answer.
#ifndef XOSCRIPT_SCENARIO_H
#define XOSCRIPT_SCENARIO_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace xoscript {

// Which calls of one name a directive applies to, by their 1-based number.
struct Occurrence {
    uint64_t first = 1;
    uint64_t last = 1;
    bool matches(uint64_t n) const { return n >= first && n <= last; }
};

struct ResultRule {
    std::string call;
    Occurrence when;
    uint32_t code = 0;
    bool fill = false;  // a failing call stores a handle in its slot anyway
};

// How a reply property is given: as by default, absent, or with a value.
enum class ReplyPart { Default, Absent, Given };

struct ReplyRule {
    Occurrence when;
    ReplyPart category = ReplyPart::Default;
    std::string categoryText;
    ReplyPart type = ReplyPart::Default;
    uint32_t typeValue = 0;
    ReplyPart body = ReplyPart::Default;  // Absent: "nobody"
    std::string bodyBytes;
};

enum class FlagMode { On, Off, Null };

struct Scenario {
    std::map<std::pair<std::string, std::string>, std::string> ini;
    std::vector<ResultRule> results;
    bool hasResolve = false;
    std::string resolve;
    std::vector<ReplyRule> replies;
    std::vector<Occurrence> incoming;
    std::map<std::string, FlagMode> flags;
};

// Parses scenario text. Throws std::runtime_error("scenario line N: ...") on
// the first line it cannot use.
Scenario parseScenario(const std::string& text);

// True for the calls that a result directive may name; *hasSlot tells whether
// the call stores a handle (so "fill" applies).
bool isScriptableCall(const std::string& name, bool* hasSlot);

}  // namespace xoscript

#endif  // XOSCRIPT_SCENARIO_H
