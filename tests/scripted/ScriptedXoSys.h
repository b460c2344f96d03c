// Control interface of the scripted XoSys library (see README.md).
//
// The library exports every XoSys call. It records each call with its
// arguments in a trace, answers according to a scenario, and keeps track of
// every handle it hands out. Tests running in the same process use the
// functions below; a child process is driven through the environment variables
// XOSCRIPT_FILE and XOSCRIPT_TRACE instead.
#ifndef XOSCRIPT_SCRIPTEDXOSYS_H
#define XOSCRIPT_SCRIPTEDXOSYS_H

#include <cstdint>
#include <string>
#include <vector>

#if defined(_WIN32)
#if defined(XOSYS_BUILDING_LIBRARY)
#define XOSCRIPT_API __declspec(dllexport)
#else
#define XOSCRIPT_API __declspec(dllimport)
#endif
#else
#define XOSCRIPT_API __attribute__((visibility("default")))
#endif

namespace xoscript {

// Codes the library returns of its own accord (scenarios choose any others).
constexpr uint32_t kBadHandle = 0x6001;        // null, unknown, freed or wrong kind of handle
constexpr uint32_t kBadArgument = 0x6002;      // null pointer or slot not empty
constexpr uint32_t kNoProperty = 0x6003;       // the message lacks the property
constexpr uint32_t kNoMessage = 0x6004;        // XoMQGetMsg: nothing waiting
constexpr uint32_t kBadPropertySize = 0x6005;  // XoMsgCopyFieldUINT32 on a property not 4 bytes
constexpr uint32_t kComposeError = 0x6006;     // bad composer format or value
constexpr uint32_t kNoBody = 0x6007;           // XoMsgCopyBody on a reply scripted "nobody"

// Resets the trace, the call counters, the handles, the INI contents and the
// log flags, then applies the scenario. Throws std::runtime_error naming the
// line of the first bad directive; the previous state is then kept.
XOSCRIPT_API void load(const std::string& scenarioText);

// Every trace line since the last load, in order.
XOSCRIPT_API std::vector<std::string> trace();
// The trace lines of one call (those starting with "<name>(").
XOSCRIPT_API std::vector<std::string> calls(const std::string& name);
// The written log lines, without their "LOG " prefix.
XOSCRIPT_API std::vector<std::string> logs();
// The "PROBLEM ..." lines, then a "LIVE <handle>" line for each handle not
// freed yet, in creation order. Empty when the caller behaved.
XOSCRIPT_API std::vector<std::string> problems();

// The enable flag of the log statements with exactly this format, created on
// demand. Its address stays valid for the life of the process; load sets it
// back to 1 (or 0 when the scenario switches it off).
XOSCRIPT_API int32_t* logFlag(const std::string& format);

}  // namespace xoscript

#endif  // XOSCRIPT_SCRIPTEDXOSYS_H
