#include "LogLine.h"

#include <cstdio>
#include <cstring>

#include "IniData.h"

namespace xosys {

const char* levelName(int32_t level) {
    if (level <= kLevelError) {
        return "ERROR";
    }
    switch (level) {
        case kLevelWarning:
            return "WARN";
        case kLevelInfo:
            return "INFO";
        case kLevelDebug:
            return "DEBUG";
        default:
            return "TRACE";
    }
}

bool parseLevel(const std::string& text, int32_t* level) {
    const std::string name = asciiLower(text.data(), text.size());
    static const struct {
        const char* name;
        int32_t level;
    } kNames[] = {{"none", 0},
                  {"off", 0},
                  {"error", kLevelError},
                  {"warn", kLevelWarning},
                  {"warning", kLevelWarning},
                  {"info", kLevelInfo},
                  {"debug", kLevelDebug},
                  {"trace", kLevelTrace}};
    for (const auto& entry : kNames) {
        if (name == entry.name) {
            *level = entry.level;
            return true;
        }
    }
    int32_t v = 0;
    if (parseInt32(text, &v) && v >= 0 && v <= 100) {
        *level = v;
        return true;
    }
    return false;
}

std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t bar = text.find('|', start);
        if (bar == std::string::npos) {
            bar = text.size();
        }
        const char* b = text.data() + start;
        const char* e = text.data() + bar;
        trimBlanks(&b, &e);
        if (b != e) {
            out.emplace_back(b, static_cast<size_t>(e - b));
        }
        start = bar + 1;
    }
    return out;
}

void formatTimestamp(int year, int month, int day, int hour, int minute, int second,
                     long microsecond, char (&out)[32]) {
    std::snprintf(out, sizeof out, "%04d-%02d-%02d %02d:%02d:%02d.%06ld", year, month, day, hour,
                  minute, second, microsecond);
}

void appendLogLine(std::string& out, const char* timestamp, int32_t level, const char* tag,
                   bool hasCode, uint32_t code, const char* message, size_t messageLen) {
    out += timestamp;
    out += ' ';
    const char* name = levelName(level);
    out += name;
    // Pad the level to five characters so that messages line up.
    out.append(5 - std::strlen(name), ' ');
    if (tag != nullptr && tag[0] != '\0') {
        out += " [";
        out += tag;
        out += ']';
    }
    if (hasCode) {
        char text[40];
        std::snprintf(text, sizeof text, " code=%u (0x%x)", static_cast<unsigned>(code),
                      static_cast<unsigned>(code));
        out += text;
    }
    out += ' ';
    const size_t at = out.size();
    out.append(message, messageLen);
    for (size_t i = at; i < out.size(); ++i) {
        if (out[i] == '\n' || out[i] == '\r') {
            out[i] = ' ';
        }
    }
    out += '\n';
}

}  // namespace xosys
