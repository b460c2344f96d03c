// Log calls. The log is configured by the INI section "log" (see
// xosys/README.md): destination, level threshold, silenced statements.
//
// Every statement that registers through a trcheckEx_ call gets a flag of
// its own, keyed by its level, tag, code-ness and format text. The flag
// stays at the same address for the life of the process; XoLogOpen sets
// it from the configuration.
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "IniData.h"
#include "LibInternal.h"
#include "LogFormat.h"
#include "LogLine.h"
#include "Owned.h"
#include "XoSys.h"
#include "XoSysCodes.h"

namespace {

const char kSection[] = "log";

struct Statement {
    int32_t flag = 0;
    int32_t level = 0;
    std::string tag;
    std::string format;
};

struct LogConfig {
    int32_t threshold = xosys::kLevelInfo;
    std::unordered_set<std::string> silencedFormats;
    std::unordered_set<std::string> silencedTags;
    bool flushEachLine = false;
};

// Where the lines go: standard error, standard output, or a file the log
// opened itself. Replacing it and closing it flush what is buffered, and
// close only a file of its own.
class LogFile {
  public:
    LogFile() = default;
    // stdout or stderr, which stay open.
    explicit LogFile(FILE* standard) : m_out(standard) {}
    explicit LogFile(xosys::FilePtr own) : m_out(own.get()), m_own(std::move(own)) {}
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;
    LogFile& operator=(LogFile&& other) noexcept {
        if (this != &other) {
            close();
            m_out = other.m_out;
            m_own = std::move(other.m_own);
            other.m_out = nullptr;
        }
        return *this;
    }
    ~LogFile() { close(); }

    // Null when closed.
    FILE* get() const { return m_out; }
    void close() {
        if (m_out != nullptr) {
            std::fflush(m_out);
        }
        m_own.reset();
        m_out = nullptr;
    }

  private:
    FILE* m_out = nullptr;
    xosys::FilePtr m_own;
};

struct LogState {
    std::mutex mu;
    LogFile file;  // open from XoLogOpen to XoLogClose
    LogConfig config;
    std::unordered_map<std::string, std::unique_ptr<Statement>> statements;
    std::string line;  // reused for every line
    std::string keyScratch;
    long long cachedSecond = -1;
    char cachedPrefix[32] = {0};
};

// Never destroyed: statements' flags must stay valid until the process ends.
LogState& logState() {
    static LogState* state = new LogState;
    return *state;
}

bool enabled(const LogConfig& config, int32_t level, const char* tag, const char* format) {
    if (level > config.threshold) {
        return false;
    }
    if (!config.silencedFormats.empty() && config.silencedFormats.count(format) != 0) {
        return false;
    }
    if (tag != nullptr && !config.silencedTags.empty() && config.silencedTags.count(tag) != 0) {
        return false;
    }
    return true;
}

// "YYYY-MM-DD HH:MM:SS.uuuuuu" of now; the part up to the seconds is
// computed once per second.
void timestamp(LogState& s, char (&out)[32]) {
    using namespace std::chrono;
    const auto now = system_clock::now().time_since_epoch();
    const long long us = duration_cast<microseconds>(now).count();
    long long sec = us / 1000000;
    long micro = static_cast<long>(us % 1000000);
    if (micro < 0) {
        micro += 1000000;
        --sec;
    }
    if (sec != s.cachedSecond) {
        const std::time_t t = static_cast<std::time_t>(sec);
        std::tm tm{};
#if defined(_WIN32)
        localtime_s(&tm, &t);
#else
        localtime_r(&t, &tm);
#endif
        xosys::formatTimestamp(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                               tm.tm_sec, 0, s.cachedPrefix);
        s.cachedPrefix[19] = '\0';  // keep "YYYY-MM-DD HH:MM:SS"
        s.cachedSecond = sec;
    }
    std::memcpy(out, s.cachedPrefix, 19);
    out[19] = '.';
    for (int i = 25; i > 19; --i) {
        out[i] = static_cast<char>('0' + micro % 10);
        micro /= 10;
    }
    out[26] = '\0';
}

// Writes one line; the caller holds the lock and has checked the config.
void writeLocked(LogState& s, int32_t level, const char* tag, bool hasCode, uint32_t code,
                 const char* format, va_list args) {
    FILE* out = s.file.get();
    if (out == nullptr) {
        return;
    }
    const std::string message = xolog::formatV(format, args);
    char ts[32];
    timestamp(s, ts);
    s.line.clear();
    xosys::appendLogLine(s.line, ts, level, tag, hasCode, code, message.data(), message.size());
    std::fwrite(s.line.data(), 1, s.line.size(), out);
    if (s.config.flushEachLine) {
        std::fflush(out);
    }
}

void write(int32_t level, const char* tag, bool hasCode, uint32_t code, const char* format,
           va_list args) {
    if (format == nullptr) {
        return;
    }
    LogState& s = logState();
    std::lock_guard<std::mutex> lock(s.mu);
    try {
        if (s.file.get() != nullptr && enabled(s.config, level, tag, format)) {
            writeLocked(s, level, tag, hasCode, code, format, args);
        }
    } catch (const std::bad_alloc&) {
        // A line that cannot be built is dropped.
    }
}

int32_t* registerStatement(int32_t level, const char* tag, bool hasCode, uint32_t code,
                           const char* format, va_list args) {
    if (format == nullptr) {
        return nullptr;
    }
    if (tag == nullptr) {
        tag = "";
    }
    LogState& s = logState();
    std::lock_guard<std::mutex> lock(s.mu);
    Statement* st = nullptr;
    try {
        std::string& key = s.keyScratch;
        key.clear();
        key += std::to_string(level);
        key += hasCode ? "\x1f"
                         "c\x1f"
                       : "\x1f-\x1f";
        key += tag;
        key += '\x1f';
        key += format;
        auto it = s.statements.find(key);
        if (it == s.statements.end()) {
            std::unique_ptr<Statement> created(new Statement);
            created->level = level;
            created->tag = tag;
            created->format = format;
            created->flag = enabled(s.config, level, tag, format) ? 1 : 0;
            it = s.statements.emplace(key, std::move(created)).first;
        }
        st = it->second.get();
        if (st->flag != 0) {
            writeLocked(s, level, tag, hasCode, code, format, args);
        }
    } catch (const std::bad_alloc&) {
        return nullptr;  // the caller registers again next time
    }
    return &st->flag;
}

void applyConfig(LogState& s) {
    for (auto& entry : s.statements) {
        Statement& st = *entry.second;
        st.flag = enabled(s.config, st.level, st.tag.c_str(), st.format.c_str()) ? 1 : 0;
    }
}

// Reads a 0/1 switch of the log section.
bool readSwitch(const char* key, bool defaultValue, bool* value) {
    std::string text;
    if (!xosys::iniLookup(kSection, key, &text) || text.empty()) {
        *value = defaultValue;
        return true;
    }
    int32_t v = 0;
    if (!xosys::parseInt32(text, &v) || (v != 0 && v != 1)) {
        std::fprintf(stderr, "XoLogOpen: [log] %s = '%.64s' must be 0 or 1\n", key, text.c_str());
        return false;
    }
    *value = v == 1;
    return true;
}

XoResult openLog() {
    static const char* const kKeys[] = {"file",        "level", "silence",
                                        "silencetags", "flush", "append"};
    for (const std::string& key : xosys::iniKeys(kSection)) {
        bool known = false;
        for (const char* k : kKeys) {
            known = known || key == k;
        }
        if (!known) {
            std::fprintf(stderr, "XoLogOpen: unknown key '%s' in [log] ignored\n", key.c_str());
        }
    }

    LogConfig config;
    std::string text;
    if (xosys::iniLookup(kSection, "level", &text) && !text.empty() &&
        !xosys::parseLevel(text, &config.threshold)) {
        std::fprintf(stderr,
                     "XoLogOpen: [log] level = '%.64s' is not a level (none, error, warning, "
                     "info, debug, trace or 0 to 100)\n",
                     text.c_str());
        return XOSYS_E_LOG_CONFIG;
    }
    if (xosys::iniLookup(kSection, "silence", &text)) {
        for (std::string& item : xosys::splitList(text)) {
            config.silencedFormats.insert(std::move(item));
        }
    }
    if (xosys::iniLookup(kSection, "silenceTags", &text)) {
        for (std::string& item : xosys::splitList(text)) {
            config.silencedTags.insert(std::move(item));
        }
    }
    bool append = true;
    if (!readSwitch("flush", false, &config.flushEachLine) ||
        !readSwitch("append", true, &append)) {
        return XOSYS_E_LOG_CONFIG;
    }

    std::string file;
    xosys::iniLookup(kSection, "file", &file);
    LogFile out(stderr);
    if (file == "stdout") {
        out = LogFile(stdout);
    } else if (!file.empty() && file != "stderr") {
        xosys::FilePtr own(std::fopen(file.c_str(), append ? "ab" : "wb"));
        if (!own) {
            std::fprintf(stderr, "XoLogOpen: cannot open log file '%s': %s\n", file.c_str(),
                         std::strerror(errno));
            return XOSYS_E_LOG_OPEN;
        }
        // Fully buffered: a switched-on statement costs no system call.
        std::setvbuf(own.get(), nullptr, _IOFBF, 64 * 1024);
        out = LogFile(std::move(own));
    }

    LogState& s = logState();
    std::lock_guard<std::mutex> lock(s.mu);
    s.file = std::move(out);
    s.config = std::move(config);
    applyConfig(s);
    return XOSYS_OK;
}

}  // namespace

extern "C" {

XoResult XoLogOpen(uint32_t options) {
    (void)options;  // reserved; the INI section "log" configures the log
    try {
        return openLog();
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "XoLogOpen: out of memory\n");
        return XOSYS_E_NO_MEMORY;
    }
}

XoResult XoLogClose(void) {
    LogState& s = logState();
    std::lock_guard<std::mutex> lock(s.mu);
    s.file.close();
    return XOSYS_OK;
}

#define XOSYS_FORWARD(call) \
    va_list args;           \
    va_start(args, format); \
    call;                   \
    va_end(args)

void XoLogInfo(const char* format, ...) {
    XOSYS_FORWARD(write(xosys::kLevelInfo, nullptr, false, 0, format, args));
}

void XoLogError(const char* format, ...) {
    XOSYS_FORWARD(write(xosys::kLevelError, nullptr, false, 0, format, args));
}

void XoLogInfoEx(const char* source, const char* format, ...) {
    XOSYS_FORWARD(write(xosys::kLevelInfo, source, false, 0, format, args));
}

void XoLogErrorEx(const char* source, const char* format, ...) {
    XOSYS_FORWARD(write(xosys::kLevelError, source, false, 0, format, args));
}

void XoLogErrorWithCode(uint32_t code, const char* format, ...) {
    XOSYS_FORWARD(write(xosys::kLevelError, nullptr, true, code, format, args));
}

void XoLogEx(int32_t level, const char* source, const char* format, ...) {
    XOSYS_FORWARD(write(level, source, false, 0, format, args));
}

int32_t* trcheckEx_XoLogInfo_(const char* format, ...) {
    int32_t* flag = nullptr;
    XOSYS_FORWARD(flag = registerStatement(xosys::kLevelInfo, nullptr, false, 0, format, args));
    return flag;
}

int32_t* trcheckEx_XoLogError_(const char* format, ...) {
    int32_t* flag = nullptr;
    XOSYS_FORWARD(flag = registerStatement(xosys::kLevelError, nullptr, false, 0, format, args));
    return flag;
}

int32_t* trcheckEx_XoLogInfoEx_(const char* source, const char* format, ...) {
    int32_t* flag = nullptr;
    XOSYS_FORWARD(flag = registerStatement(xosys::kLevelInfo, source, false, 0, format, args));
    return flag;
}

int32_t* trcheckEx_XoLogErrorEx_(const char* source, const char* format, ...) {
    int32_t* flag = nullptr;
    XOSYS_FORWARD(flag = registerStatement(xosys::kLevelError, source, false, 0, format, args));
    return flag;
}

int32_t* trcheckEx_XoLogErrorWithCode_(uint32_t code, const char* format, ...) {
    int32_t* flag = nullptr;
    XOSYS_FORWARD(flag = registerStatement(xosys::kLevelError, nullptr, true, code, format, args));
    return flag;
}

int32_t* trcheckEx_XoLogEx_(int32_t level, const char* source, const char* format, ...) {
    int32_t* flag = nullptr;
    XOSYS_FORWARD(flag = registerStatement(level, source, false, 0, format, args));
    return flag;
}

}  // extern "C"
