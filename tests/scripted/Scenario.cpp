#include "Scenario.h"

#include <limits>
#include <sstream>
#include <stdexcept>

namespace xoscript {

namespace {

const char kBlanks[] = " \t\r";

std::string trim(const std::string& s) {
    const size_t begin = s.find_first_not_of(kBlanks);
    if (begin == std::string::npos) {
        return std::string();
    }
    const size_t end = s.find_last_not_of(kBlanks);
    return s.substr(begin, end - begin + 1);
}

// Splits off the first blank-separated word of s; s keeps the trimmed rest.
std::string nextWord(std::string& s) {
    s = trim(s);
    const size_t end = s.find_first_of(kBlanks);
    std::string word = s.substr(0, end);
    s = end == std::string::npos ? std::string() : trim(s.substr(end));
    return word;
}

std::vector<std::string> words(const std::string& s) {
    std::vector<std::string> out;
    std::string rest = s;
    while (!rest.empty()) {
        out.push_back(nextWord(rest));
    }
    return out;
}

[[noreturn]] void fail(int line, const std::string& what) {
    std::ostringstream message;
    message << "scenario line " << line << ": " << what;
    throw std::runtime_error(message.str());
}

// Unsigned decimal number, or hexadecimal with a 0x prefix, up to max.
bool parseUnsigned(const std::string& text, uint64_t max, uint64_t* value) {
    int base = 10;
    size_t pos = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        pos = 2;
    }
    if (pos >= text.size()) {
        return false;
    }
    uint64_t result = 0;
    for (; pos < text.size(); ++pos) {
        const char c = text[pos];
        uint64_t digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint64_t>(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = static_cast<uint64_t>(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = static_cast<uint64_t>(c - 'A' + 10);
        } else {
            return false;
        }
        if (result > (max - digit) / static_cast<uint64_t>(base)) {
            return false;
        }
        result = result * static_cast<uint64_t>(base) + digit;
    }
    *value = result;
    return true;
}

Occurrence parseOccurrence(int line, const std::string& text) {
    const uint64_t kEndless = std::numeric_limits<uint64_t>::max();
    const uint64_t kLargest = kEndless - 1;
    Occurrence occ;
    if (text == "*") {
        occ.first = 1;
        occ.last = kEndless;
        return occ;
    }
    const size_t dash = text.find('-');
    bool ok = false;
    if (!text.empty() && text.back() == '+') {
        ok = parseUnsigned(text.substr(0, text.size() - 1), kLargest, &occ.first);
        occ.last = kEndless;
    } else if (dash != std::string::npos) {
        ok = parseUnsigned(text.substr(0, dash), kLargest, &occ.first) &&
             parseUnsigned(text.substr(dash + 1), kLargest, &occ.last) && occ.first <= occ.last;
    } else {
        ok = parseUnsigned(text, kLargest, &occ.first);
        occ.last = occ.first;
    }
    if (!ok || occ.first == 0) {
        fail(line, "bad occurrence '" + text + "' (use N, N-M, N+ or *, counting from 1)");
    }
    return occ;
}

bool parseHex(const std::string& text, std::string* bytes) {
    if (text.size() % 2 != 0) {
        return false;
    }
    bytes->clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        uint64_t value = 0;
        const std::string pair = text.substr(i, 2);
        if (!parseUnsigned("0x" + pair, 0xff, &value)) {
            return false;
        }
        bytes->push_back(static_cast<char>(value));
    }
    return true;
}

void parseIni(int line, std::string rest, Scenario* scenario) {
    const std::string section = nextWord(rest);
    const size_t eq = rest.find('=');
    if (section.empty() || eq == std::string::npos) {
        fail(line, "expected 'ini <section> <key> = <value>'");
    }
    const std::string key = trim(rest.substr(0, eq));
    if (key.empty() || key.find_first_of(kBlanks) != std::string::npos) {
        fail(line, "bad INI key '" + key + "'");
    }
    // A value in double quotes is taken as written between them, so that
    // leading and trailing blanks can be given.
    std::string value = trim(rest.substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
    }
    scenario->ini[std::make_pair(section, key)] = value;
}

void parseResult(int line, const std::string& rest, Scenario* scenario) {
    const std::vector<std::string> w = words(rest);
    if (w.size() != 3 && w.size() != 4) {
        fail(line, "expected 'result <Call> <occurrence> <code> [fill]'");
    }
    ResultRule rule;
    rule.call = w[0];
    bool hasSlot = false;
    if (!isScriptableCall(rule.call, &hasSlot)) {
        fail(line, "no scriptable call named '" + rule.call + "'");
    }
    rule.when = parseOccurrence(line, w[1]);
    uint64_t code = 0;
    if (!parseUnsigned(w[2], 0xffffffffu, &code)) {
        fail(line, "bad result code '" + w[2] + "'");
    }
    rule.code = static_cast<uint32_t>(code);
    if (w.size() == 4) {
        if (w[3] != "fill") {
            fail(line, "unexpected '" + w[3] + "' (only 'fill' may follow the code)");
        }
        if (!hasSlot) {
            fail(line, "'fill' needs a call that stores a handle, not " + rule.call);
        }
        rule.fill = true;
    }
    scenario->results.push_back(rule);
}

void parseReply(int line, const std::string& rest, Scenario* scenario) {
    const std::vector<std::string> w = words(rest);
    if (w.empty()) {
        fail(line, "expected 'reply <occurrence> [category=...] [type=...] [body=...|nobody]'");
    }
    ReplyRule rule;
    rule.when = parseOccurrence(line, w[0]);
    bool seenCategory = false;
    bool seenType = false;
    bool seenBody = false;
    for (size_t i = 1; i < w.size(); ++i) {
        const std::string& item = w[i];
        const size_t eq = item.find('=');
        const std::string name = item.substr(0, eq);
        const std::string value = eq == std::string::npos ? std::string() : item.substr(eq + 1);
        if (item == "nobody" || (eq != std::string::npos && name == "body")) {
            if (seenBody) {
                fail(line, "body given twice");
            }
            seenBody = true;
            if (item == "nobody") {
                rule.body = ReplyPart::Absent;
            } else if (parseHex(value, &rule.bodyBytes)) {
                rule.body = ReplyPart::Given;
            } else {
                fail(line, "bad body hex '" + value + "'");
            }
        } else if (eq != std::string::npos && name == "category") {
            if (seenCategory) {
                fail(line, "category given twice");
            }
            seenCategory = true;
            rule.category = value == "-" ? ReplyPart::Absent : ReplyPart::Given;
            rule.categoryText = value;
        } else if (eq != std::string::npos && name == "type") {
            if (seenType) {
                fail(line, "type given twice");
            }
            seenType = true;
            uint64_t type = 0;
            if (value == "-") {
                rule.type = ReplyPart::Absent;
            } else if (parseUnsigned(value, 0xffffffffu, &type)) {
                rule.type = ReplyPart::Given;
                rule.typeValue = static_cast<uint32_t>(type);
            } else {
                fail(line, "bad type '" + value + "'");
            }
        } else {
            fail(line, "unknown reply item '" + item + "'");
        }
    }
    scenario->replies.push_back(rule);
}

void parseLogFlag(int line, std::string rest, Scenario* scenario) {
    const std::string mode = nextWord(rest);
    FlagMode flag = FlagMode::On;
    if (mode == "on") {
        flag = FlagMode::On;
    } else if (mode == "off") {
        flag = FlagMode::Off;
    } else if (mode == "null") {
        flag = FlagMode::Null;
    } else {
        fail(line, "expected 'logflag <off|on|null> <format>'");
    }
    if (rest.empty()) {
        fail(line, "logflag needs a format");
    }
    scenario->flags[rest] = flag;
}

}  // namespace

bool isScriptableCall(const std::string& name, bool* hasSlot) {
    static const char* const kSlotCalls[] = {"XoMQCreateConnection", "XoMQGetMsg", "XoMQSendMsg",
                                             "XoMsgCreateMessage", "XoSysCreateBinaryComposer"};
    static const char* const kOtherCalls[] = {
        "XoIniSetOpt",          "XoIniOpen",          "XoIniClose",
        "XoIniCustGetStr",      "XoLogOpen",          "XoLogClose",
        "XoMQStartup",          "XoMQCleanup",        "XoMQFreeConnection",
        "XoMQConnectEx2",       "XoMQServiceResolve", "XoMsgFreeMessage",
        "XoMsgSetFieldStr",     "XoMsgSetField",      "XoMsgGetBinaryField",
        "XoMsgCopyFieldUINT32", "XoMsgSetBody",       "XoMsgCopyBody",
        "XoSysFreeComposer",    "XoSysCompose",       "XoSysComposeGetSize",
        "XoSysComposeGetBuffer"};
    for (const char* call : kSlotCalls) {
        if (name == call) {
            *hasSlot = true;
            return true;
        }
    }
    for (const char* call : kOtherCalls) {
        if (name == call) {
            *hasSlot = false;
            return true;
        }
    }
    return false;
}

Scenario parseScenario(const std::string& text) {
    Scenario scenario;
    std::istringstream in(text);
    std::string raw;
    int line = 0;
    while (std::getline(in, raw)) {
        ++line;
        std::string rest = trim(raw);
        if (rest.empty() || rest[0] == '#') {
            continue;
        }
        const std::string directive = nextWord(rest);
        if (directive == "ini") {
            parseIni(line, rest, &scenario);
        } else if (directive == "result") {
            parseResult(line, rest, &scenario);
        } else if (directive == "resolve") {
            scenario.hasResolve = true;
            scenario.resolve = rest;
        } else if (directive == "reply") {
            parseReply(line, rest, &scenario);
        } else if (directive == "incoming") {
            const std::vector<std::string> w = words(rest);
            if (w.size() != 1) {
                fail(line, "expected 'incoming <occurrence>'");
            }
            scenario.incoming.push_back(parseOccurrence(line, w[0]));
        } else if (directive == "logflag") {
            parseLogFlag(line, rest, &scenario);
        } else {
            fail(line, "unknown directive '" + directive + "'");
        }
    }
    return scenario;
}

}  // namespace xoscript
