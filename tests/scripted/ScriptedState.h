// Inner state of the scripted XoSys: the scenario in force, the trace, the
// call counters, the handles and the log flags. One instance per process,
// used from one thread.
#ifndef XOSCRIPT_SCRIPTEDSTATE_H
#define XOSCRIPT_SCRIPTEDSTATE_H

#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Scenario.h"

namespace xoscript {

enum class Kind { Connection = 0, Message = 1, Composer = 2 };

struct MessageData {
    std::map<std::string, std::string> fields;
    std::string body;
    bool bodyCopyFails = false;  // a reply scripted with "nobody"
};

struct HandleEntry {
    Kind kind = Kind::Connection;
    std::string name;  // conn1, msg2, comp1, ...
    bool freed = false;
    // Released when the handle is freed, so that a pointer the caller kept
    // into a freed message or composer is caught by the address sanitizer.
    std::unique_ptr<MessageData> message;
    std::unique_ptr<std::string> composed;
};

// Everything a load starts afresh.
struct Session {
    Scenario scenario;
    std::vector<std::string> lines;
    std::vector<std::string> problemLines;
    std::map<std::string, uint64_t> callCounts;
    std::map<uintptr_t, HandleEntry> handles;
    std::vector<uintptr_t> creationOrder;
    uint64_t created[3] = {0, 0, 0};
    std::map<const int32_t*, std::string> flagNames;
};

class State {
  public:
    Session session;

    // Replaces the session by a fresh one running this scenario.
    void reset(const Scenario& scenario);

    // Appends a line to the trace (and to the trace file, flushed at once).
    void emit(const std::string& line);
    void emitProblem(const std::string& text);

    // The flag of the statements with this format; created on first use and
    // never moved or freed.
    int32_t* flagFor(const std::string& format);
    FlagMode flagMode(const std::string& format) const;
    // flag1, flag2, ... in order of first appearance in this session.
    std::string flagName(const int32_t* flag);

    uintptr_t newHandle(Kind kind);
    HandleEntry* find(const void* handle);
    // Name of a handle for the trace: conn1, "null", or "?0x..." when unknown.
    std::string handleName(const void* handle);

    // "LIVE <name>" for every handle not freed, in creation order.
    std::vector<std::string> liveLines() const;

    void openTraceFile(const char* path);
    void writeExitLines();

  private:
    std::FILE* m_traceFile = nullptr;
    uintptr_t m_nextHandle = 0x10000;  // never reused, even across loads
    std::deque<int32_t> m_flagStore;
    std::map<std::string, int32_t*> m_flags;
};

// The process's state, initialised from the environment on first use.
State& state();

}  // namespace xoscript

#endif  // XOSCRIPT_SCRIPTEDSTATE_H
