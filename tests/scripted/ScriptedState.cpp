#include "ScriptedState.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "ScriptedXoSys.h"

namespace xoscript {

namespace {

// Never deleted: the log flags handed out must stay valid until the process
// ends, and the exit lines are written from an atexit handler.
State* g_state = nullptr;

const char* const kKindPrefix[] = {"conn", "msg", "comp"};

void writeExitLinesAtExit() {
    if (g_state != nullptr) {
        g_state->writeExitLines();
    }
}

[[noreturn]] void scenarioFailure(State& st, const std::string& message) {
    st.emit("ERROR " + message);
    std::fprintf(stderr, "XoSysScripted: %s\n", message.c_str());
    std::fflush(stderr);
    std::abort();
}

// Opens the trace file and arranges the exit lines; the scenario is read at
// the first call.
State& stateWithTrace() {
    if (g_state == nullptr) {
        g_state = new State;
        const char* tracePath = std::getenv("XOSCRIPT_TRACE");
        if (tracePath != nullptr && tracePath[0] != '\0') {
            g_state->openTraceFile(tracePath);
        }
        std::atexit(&writeExitLinesAtExit);
    }
    return *g_state;
}

// Done when the library is loaded, so that a process that makes no call at
// all still ends its trace with "END".
struct TraceAtLoad {
    TraceAtLoad() { stateWithTrace(); }
} g_traceAtLoad;

bool g_scenarioRead = false;

void readScenarioFile(State& st) {
    Scenario scenario;
    const char* scenarioPath = std::getenv("XOSCRIPT_FILE");
    if (scenarioPath != nullptr && scenarioPath[0] != '\0') {
        std::ifstream in(scenarioPath, std::ios::binary);
        if (!in) {
            scenarioFailure(st, std::string("cannot read scenario file ") + scenarioPath);
        }
        std::ostringstream text;
        text << in.rdbuf();
        try {
            scenario = parseScenario(text.str());
        } catch (const std::runtime_error& e) {
            scenarioFailure(st, std::string(scenarioPath) + ": " + e.what());
        }
    }
    st.reset(scenario);
}

}  // namespace

State& state() {
    State& st = stateWithTrace();
    if (!g_scenarioRead) {
        g_scenarioRead = true;
        readScenarioFile(st);
    }
    return st;
}

void State::reset(const Scenario& scenario) {
    session = Session();
    session.scenario = scenario;
    for (auto& entry : m_flags) {
        *entry.second = 1;
    }
    for (const auto& entry : scenario.flags) {
        *flagFor(entry.first) = entry.second == FlagMode::Off ? 0 : 1;
    }
}

void State::emit(const std::string& line) {
    session.lines.push_back(line);
    if (m_traceFile != nullptr) {
        std::fputs(line.c_str(), m_traceFile);
        std::fputc('\n', m_traceFile);
        std::fflush(m_traceFile);
    }
}

void State::emitProblem(const std::string& text) {
    const std::string line = "PROBLEM " + text;
    session.problemLines.push_back(line);
    emit(line);
}

int32_t* State::flagFor(const std::string& format) {
    auto it = m_flags.find(format);
    if (it != m_flags.end()) {
        return it->second;
    }
    m_flagStore.push_back(1);
    int32_t* flag = &m_flagStore.back();
    m_flags[format] = flag;
    return flag;
}

FlagMode State::flagMode(const std::string& format) const {
    auto it = session.scenario.flags.find(format);
    return it == session.scenario.flags.end() ? FlagMode::On : it->second;
}

std::string State::flagName(const int32_t* flag) {
    auto it = session.flagNames.find(flag);
    if (it != session.flagNames.end()) {
        return it->second;
    }
    const std::string name = "flag" + std::to_string(session.flagNames.size() + 1);
    session.flagNames[flag] = name;
    return name;
}

uintptr_t State::newHandle(Kind kind) {
    const uintptr_t value = m_nextHandle;
    m_nextHandle += 0x10;
    const int k = static_cast<int>(kind);
    HandleEntry entry;
    entry.kind = kind;
    entry.name = kKindPrefix[k] + std::to_string(++session.created[k]);
    if (kind == Kind::Message) {
        entry.message.reset(new MessageData);
    } else if (kind == Kind::Composer) {
        entry.composed.reset(new std::string);
    }
    session.handles[value] = std::move(entry);
    session.creationOrder.push_back(value);
    return value;
}

HandleEntry* State::find(const void* handle) {
    auto it = session.handles.find(reinterpret_cast<uintptr_t>(handle));
    return it == session.handles.end() ? nullptr : &it->second;
}

std::string State::handleName(const void* handle) {
    if (handle == nullptr) {
        return "null";
    }
    const HandleEntry* entry = find(handle);
    if (entry != nullptr) {
        return entry->name;
    }
    char text[32];
    std::snprintf(text, sizeof text, "?0x%llx",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)));
    return text;
}

std::vector<std::string> State::liveLines() const {
    std::vector<std::string> out;
    for (uintptr_t value : session.creationOrder) {
        const HandleEntry& entry = session.handles.at(value);
        if (!entry.freed) {
            out.push_back("LIVE " + entry.name);
        }
    }
    return out;
}

void State::openTraceFile(const char* path) {
    m_traceFile = std::fopen(path, "a");
    if (m_traceFile == nullptr) {
        std::fprintf(stderr, "XoSysScripted: cannot open trace file %s\n", path);
        std::fflush(stderr);
        std::abort();
    }
}

void State::writeExitLines() {
    for (const std::string& line : liveLines()) {
        emit(line);
    }
    emit("END");
}

// ---- Control interface ------------------------------------------------------

void load(const std::string& scenarioText) {
    State& st = state();
    st.reset(parseScenario(scenarioText));
}

std::vector<std::string> trace() {
    return state().session.lines;
}

std::vector<std::string> calls(const std::string& name) {
    std::vector<std::string> out;
    const std::string prefix = name + "(";
    for (const std::string& line : state().session.lines) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            out.push_back(line);
        }
    }
    return out;
}

std::vector<std::string> logs() {
    std::vector<std::string> out;
    for (const std::string& line : state().session.lines) {
        if (line.compare(0, 4, "LOG ") == 0) {
            out.push_back(line.substr(4));
        }
    }
    return out;
}

std::vector<std::string> problems() {
    State& st = state();
    std::vector<std::string> out = st.session.problemLines;
    for (const std::string& line : st.liveLines()) {
        out.push_back(line);
    }
    return out;
}

int32_t* logFlag(const std::string& format) {
    return state().flagFor(format);
}

}  // namespace xoscript
