// Layout of one log line:
//
//   2024-05-17 14:03:22.123456 INFO  [CHRTimer] code=24580 (0x6004) message
//
// timestamp (local time, microseconds), level, "[tag]" when the statement
// has a source tag, "code=..." when it carries a code, then the message.
// Line breaks inside the message become blanks, so one call is one line.
#ifndef XOSYS_CORE_LOGLINE_H
#define XOSYS_CORE_LOGLINE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace xosys {

// Levels: a statement is written when its level is at most the configured
// threshold. 0 as threshold silences everything.
const int32_t kLevelError = 1;
const int32_t kLevelWarning = 2;
const int32_t kLevelInfo = 3;
const int32_t kLevelDebug = 4;
const int32_t kLevelTrace = 5;

// "ERROR" (1 and below), "WARN", "INFO", "DEBUG", "TRACE" (5 and above).
const char* levelName(int32_t level);

// A level name (none/off, error, warn/warning, info, debug, trace; any case)
// or a decimal number from 0 to 100.
bool parseLevel(const std::string& text, int32_t* level);

// Splits a "|"-separated list; items are trimmed, empty items dropped.
std::vector<std::string> splitList(const std::string& text);

// "YYYY-MM-DD HH:MM:SS" of the broken-down time plus ".uuuuuu"; 26 chars.
void formatTimestamp(int year, int month, int day, int hour, int minute, int second,
                     long microsecond, char (&out)[32]);

// Appends one complete line, with its line end, to out.
void appendLogLine(std::string& out, const char* timestamp, int32_t level, const char* tag,
                   bool hasCode, uint32_t code, const char* message, size_t messageLen);

}  // namespace xosys

#endif  // XOSYS_CORE_LOGLINE_H
