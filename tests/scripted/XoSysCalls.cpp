// The XoSys calls of the scripted library: each one records a trace line and
// answers as the scenario says, with plausible defaults otherwise.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "LogFormat.h"
#include "ScriptedState.h"
#include "ScriptedXoSys.h"
#include "XoSys.h"

using namespace xoscript;

namespace {

const char* const kKindWord[] = {"connection", "message", "composer"};

// ---- Trace formatting --------------------------------------------------------

std::string escaped(const char* data, size_t size) {
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        const unsigned char c = static_cast<unsigned char>(data[i]);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c >= 0x7f) {
                    char hex[8];
                    std::snprintf(hex, sizeof hex, "\\x%02x", c);
                    out += hex;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

std::string quoted(const std::string& bytes) {
    return "\"" + escaped(bytes.data(), bytes.size()) + "\"";
}

std::string quoted(const char* text) {
    return text == nullptr ? std::string("null") : quoted(std::string(text));
}

std::string hex(const void* data, uint64_t size) {
    if (data == nullptr) {
        return "null";
    }
    static const char kDigits[] = "0123456789abcdef";
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    std::string out;
    out.reserve(static_cast<size_t>(size) * 2);
    for (uint64_t i = 0; i < size; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 0x0f];
    }
    return out;
}

std::string hex(const std::string& bytes) {
    return hex(bytes.data(), bytes.size());
}

std::string pointer(const void* p) {
    if (p == nullptr) {
        return "null";
    }
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
    return text;
}

// Control characters would break the line structure of the trace.
std::string logText(const std::string& text) {
    std::string out;
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            char hexText[8];
            std::snprintf(hexText, sizeof hexText, "\\x%02x", c);
            out += hexText;
        } else {
            out += ch;
        }
    }
    return out;
}

std::string littleEndian(uint64_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) {
        out += static_cast<char>((value >> (8 * i)) & 0xff);
    }
    return out;
}

// ---- One call --------------------------------------------------------------------

// Collects the arguments and problems of one call and writes its trace line.
class Call {
  public:
    explicit Call(const char* name) : m_state(state()), m_name(name) {
        m_number = ++m_state.session.callCounts[m_name];
        for (const ResultRule& rule : m_state.session.scenario.results) {
            if (rule.call == m_name && rule.when.matches(m_number)) {
                m_rule = &rule;
                break;
            }
        }
    }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    State& st() { return m_state; }
    uint64_t number() const { return m_number; }
    bool hasRule() const { return m_rule != nullptr; }
    // The scripted code of this call; 0 when it is to behave normally.
    uint32_t scriptedCode() const { return m_rule != nullptr ? m_rule->code : 0; }
    bool fill() const { return m_rule != nullptr && m_rule->fill; }

    Call& arg(const std::string& text) {
        m_args.push_back(text);
        return *this;
    }
    Call& handleArg(const void* handle) { return arg(m_state.handleName(handle)); }

    void problem(const std::string& text) { m_problems.push_back(m_name + ": " + text); }

    // The live handle of that kind, or null after recording why not.
    HandleEntry* use(const void* handle, Kind kind) {
        const char* kindWord = kKindWord[static_cast<int>(kind)];
        if (handle == nullptr) {
            problem(std::string("null ") + kindWord + " handle");
            return nullptr;
        }
        HandleEntry* entry = m_state.find(handle);
        if (entry == nullptr) {
            problem("unknown handle " + pointer(handle));
            return nullptr;
        }
        if (entry->kind != kind) {
            problem(entry->name + " is not a " + kindWord + " handle");
            return nullptr;
        }
        if (entry->freed) {
            problem(entry->name + " used after it was freed");
            return nullptr;
        }
        return entry;
    }

    // Frees a handle; every handle must be freed exactly once.
    bool release(const void* handle, Kind kind) {
        HandleEntry* entry = m_state.find(handle);
        if (entry != nullptr && entry->kind == kind && entry->freed) {
            problem(entry->name + " freed twice");
            return false;
        }
        entry = use(handle, kind);
        if (entry == nullptr) {
            return false;
        }
        entry->freed = true;
        entry->message.reset();
        entry->composed.reset();
        return true;
    }

    // A slot must be given and hold null; a non-empty slot is reported (the
    // handle in it would be lost) and then overwritten.
    template <class Handle>
    bool slotUsable(Handle* slot) {
        if (slot == nullptr) {
            problem("null slot");
            return false;
        }
        if (*slot != nullptr) {
            problem("slot not empty, holds " + m_state.handleName(*slot));
        }
        return true;
    }

    template <class Handle>
    std::string store(Handle* slot, Kind kind) {
        const uintptr_t value = m_state.newHandle(kind);
        *slot = reinterpret_cast<Handle>(value);
        return m_state.handleName(*slot);
    }

    // Writes "<name>(<args>) = <result>[ -> <output>]" and the problems.
    uint32_t finish(uint32_t result, const std::string& output = std::string()) {
        finishLine(" = " + std::to_string(result) + (output.empty() ? "" : " -> " + output));
        return result;
    }

    void finishLine(const std::string& tail) {
        std::string line = m_name + "(";
        for (size_t i = 0; i < m_args.size(); ++i) {
            line += (i == 0 ? "" : ", ") + m_args[i];
        }
        line += ")" + tail;
        m_state.emit(line);
        for (const std::string& text : m_problems) {
            m_state.emitProblem(text);
        }
        m_problems.clear();
    }

  private:
    State& m_state;
    std::string m_name;
    uint64_t m_number = 0;
    const ResultRule* m_rule = nullptr;
    std::vector<std::string> m_args;
    std::vector<std::string> m_problems;
};

// A call that stores a handle in a slot: scripted failures leave the slot
// alone unless "fill" is given.
template <class Handle>
uint32_t failWithSlot(Call& c, Handle* slot, Kind kind) {
    if (c.fill()) {
        return c.finish(c.scriptedCode(), c.store(slot, kind));
    }
    return c.finish(c.scriptedCode());
}

template <class Handle>
uint32_t createInSlot(const char* name, Handle* slot, Kind kind) {
    Call c(name);
    if (!c.slotUsable(slot)) {
        return c.finish(kBadArgument);
    }
    if (c.scriptedCode() != 0) {
        return failWithSlot(c, slot, kind);
    }
    return c.finish(0, c.store(slot, kind));
}

// ---- Log --------------------------------------------------------------------------

enum class LogKind { Info, Error, InfoEx, ErrorEx, ErrorWithCode, Ex };
const char* const kLogKind[] = {"Info", "Error", "InfoEx", "ErrorEx", "ErrorWithCode", "Ex"};

struct LogStatement {
    LogKind kind;
    int32_t level;
    uint32_t code;
    const char* source;
    const char* format;
};

std::string sourceText(const char* source) {
    return source == nullptr ? std::string("null") : logText(source);
}

void addLogArgs(Call& c, const LogStatement& s, const std::string& text) {
    switch (s.kind) {
        case LogKind::InfoEx:
        case LogKind::ErrorEx:
            c.arg(quoted(s.source));
            break;
        case LogKind::ErrorWithCode:
            c.arg(std::to_string(s.code));
            break;
        case LogKind::Ex:
            c.arg(std::to_string(s.level)).arg(quoted(s.source));
            break;
        default:
            break;
    }
    c.arg(quoted(text));
    if (s.format == nullptr) {
        c.problem("null format");
    }
}

void writeLog(State& st, const LogStatement& s, const std::string& text) {
    std::string line = std::string("LOG ") + kLogKind[static_cast<int>(s.kind)];
    switch (s.kind) {
        case LogKind::InfoEx:
        case LogKind::ErrorEx:
            line += " " + sourceText(s.source);
            break;
        case LogKind::ErrorWithCode:
            line += " code=" + std::to_string(s.code);
            break;
        case LogKind::Ex:
            line += " " + std::to_string(s.level) + " " + sourceText(s.source);
            break;
        default:
            break;
    }
    st.emit(line + ": " + logText(text));
}

void plainLog(const char* name, const LogStatement& s, va_list args) {
    const std::string text = xolog::formatV(s.format, args);
    Call c(name);
    addLogArgs(c, s, text);
    c.finishLine("");
    writeLog(c.st(), s, text);
}

int32_t* registerLog(const char* name, const LogStatement& s, va_list args) {
    const std::string text = xolog::formatV(s.format, args);
    Call c(name);
    addLogArgs(c, s, text);
    const std::string format = s.format != nullptr ? s.format : "";
    int32_t* flag = nullptr;
    bool write = true;
    if (c.st().flagMode(format) != FlagMode::Null) {
        flag = c.st().flagFor(format);
        write = *flag != 0;
    }
    c.finishLine(" = " + (flag != nullptr ? c.st().flagName(flag) : std::string("null")));
    if (write) {
        writeLog(c.st(), s, text);
    }
    return flag;
}

// ---- Messages -----------------------------------------------------------------------

const char kCategory[] = "Xo_Category";
const char kType[] = "Xo_Type";

// The reply to a request: category "Xo_Reply", type 1 and the request's body,
// unless the scenario gives a reply for this send.
void fillReply(State& st, uint64_t sendNumber, const MessageData* request, MessageData* reply) {
    const ReplyRule* rule = nullptr;
    for (const ReplyRule& r : st.session.scenario.replies) {
        if (r.when.matches(sendNumber)) {
            rule = &r;
            break;
        }
    }
    const ReplyRule defaults;
    if (rule == nullptr) {
        rule = &defaults;
    }
    if (rule->category != ReplyPart::Absent) {
        reply->fields[kCategory] =
            rule->category == ReplyPart::Given ? rule->categoryText : std::string("Xo_Reply");
    }
    if (rule->type != ReplyPart::Absent) {
        reply->fields[kType] =
            littleEndian(rule->type == ReplyPart::Given ? rule->typeValue : 1u, 4);
    }
    if (rule->body == ReplyPart::Absent) {
        reply->bodyCopyFails = true;
    } else if (rule->body == ReplyPart::Given) {
        reply->body = rule->bodyBytes;
    } else if (request != nullptr) {
        reply->body = request->body;
    }
}

// ---- Composer ------------------------------------------------------------------------

// Appends the values of one XoSysCompose call as the format says. Returns
// false at the first item it cannot pack; *shown lists the values read.
bool compose(const char* format, va_list args, std::string* out, std::vector<std::string>* shown) {
    const size_t kMaxWidth = 1u << 20;
    const char* p = format;
    while (*p != '\0') {
        const char item = *p++;
        size_t width = 0;
        const char* digits = p;
        while (*p >= '0' && *p <= '9' && width <= kMaxWidth) {
            width = width * 10 + static_cast<size_t>(*p - '0');
            ++p;
        }
        if (p == digits || width > kMaxWidth) {
            return false;
        }
        if (item == 'c' && width > 0) {
            const char* text = va_arg(args, const char*);
            shown->push_back(quoted(text));
            if (text == nullptr) {
                return false;
            }
            const size_t length = std::strlen(text);
            if (length > width) {
                return false;
            }
            out->append(text, length);
            out->append(width - length, '\0');
        } else if (item == 'i' && (width == 1 || width == 2 || width == 4)) {
            const int value = va_arg(args, int);
            shown->push_back(std::to_string(value));
            out->append(littleEndian(static_cast<uint64_t>(static_cast<int64_t>(value)),
                                     static_cast<int>(width)));
        } else if (item == 'i' && width == 8) {
            const int64_t value = va_arg(args, int64_t);
            shown->push_back(std::to_string(value));
            out->append(littleEndian(static_cast<uint64_t>(value), 8));
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" {

// ---- Configuration -------------------------------------------------------------------

XOSYS_API XoResult XoIniSetOpt(uint32_t options) {
    Call c("XoIniSetOpt");
    c.arg(std::to_string(options));
    return c.finish(c.scriptedCode());
}

XOSYS_API XoResult XoIniOpen(const char* path) {
    Call c("XoIniOpen");
    c.arg(quoted(path));
    return c.finish(c.scriptedCode());
}

XOSYS_API XoResult XoIniClose(void) {
    Call c("XoIniClose");
    return c.finish(c.scriptedCode());
}

XOSYS_API int32_t XoIniCustGetInt(intptr_t ini, const char* section, const char* key,
                                  int32_t defaultValue) {
    Call c("XoIniCustGetInt");
    c.arg(std::to_string(ini)).arg(quoted(section)).arg(quoted(key));
    c.arg(std::to_string(defaultValue));
    int32_t result = defaultValue;
    if (section != nullptr && key != nullptr) {
        const auto& iniKeys = c.st().session.scenario.ini;
        auto it = iniKeys.find(std::make_pair(std::string(section), std::string(key)));
        if (it != iniKeys.end()) {
            // A whole decimal 32-bit number, or else the default.
            const std::string& text = it->second;
            size_t pos = (!text.empty() && (text[0] == '-' || text[0] == '+')) ? 1 : 0;
            const bool negative = !text.empty() && text[0] == '-';
            int64_t value = 0;
            bool ok = pos < text.size();
            for (; ok && pos < text.size(); ++pos) {
                if (text[pos] < '0' || text[pos] > '9') {
                    ok = false;
                    break;
                }
                value = value * 10 + (text[pos] - '0');
                if (value > 2147483648LL) {
                    ok = false;
                }
            }
            if (ok && negative) {
                value = -value;
            }
            if (ok && value >= INT32_MIN && value <= INT32_MAX) {
                result = static_cast<int32_t>(value);
            }
        }
    } else {
        c.problem("null section or key");
    }
    c.finishLine(" = " + std::to_string(result));
    return result;
}

XOSYS_API XoResult XoIniCustGetStr(intptr_t ini, char* buffer, uint64_t bufferSize,
                                   const char* section, const char* key, const char* defaultValue) {
    Call c("XoIniCustGetStr");
    c.arg(std::to_string(ini)).arg(std::to_string(bufferSize));
    c.arg(quoted(section)).arg(quoted(key)).arg(quoted(defaultValue));
    if (c.scriptedCode() != 0) {
        return c.finish(c.scriptedCode());
    }
    if (buffer == nullptr || section == nullptr || key == nullptr) {
        c.problem("null buffer, section or key");
        return c.finish(kBadArgument);
    }
    std::string value = defaultValue != nullptr ? defaultValue : "";
    const auto& iniKeys = c.st().session.scenario.ini;
    auto it = iniKeys.find(std::make_pair(std::string(section), std::string(key)));
    if (it != iniKeys.end()) {
        value = it->second;
    }
    if (bufferSize == 0) {
        return c.finish(0, "\"\"");
    }
    if (value.size() > bufferSize - 1) {
        value.resize(static_cast<size_t>(bufferSize - 1));
    }
    std::memcpy(buffer, value.data(), value.size());
    buffer[value.size()] = '\0';
    return c.finish(0, quoted(value));
}

// ---- Log --------------------------------------------------------------------------------

XOSYS_API XoResult XoLogOpen(uint32_t options) {
    Call c("XoLogOpen");
    c.arg(std::to_string(options));
    return c.finish(c.scriptedCode());
}

XOSYS_API XoResult XoLogClose(void) {
    Call c("XoLogClose");
    return c.finish(c.scriptedCode());
}

XOSYS_API void XoLogInfo(const char* format, ...) {
    va_list args;
    va_start(args, format);
    plainLog("XoLogInfo", LogStatement{LogKind::Info, 0, 0, nullptr, format}, args);
    va_end(args);
}

XOSYS_API void XoLogError(const char* format, ...) {
    va_list args;
    va_start(args, format);
    plainLog("XoLogError", LogStatement{LogKind::Error, 0, 0, nullptr, format}, args);
    va_end(args);
}

XOSYS_API void XoLogInfoEx(const char* source, const char* format, ...) {
    va_list args;
    va_start(args, format);
    plainLog("XoLogInfoEx", LogStatement{LogKind::InfoEx, 0, 0, source, format}, args);
    va_end(args);
}

XOSYS_API void XoLogErrorEx(const char* source, const char* format, ...) {
    va_list args;
    va_start(args, format);
    plainLog("XoLogErrorEx", LogStatement{LogKind::ErrorEx, 0, 0, source, format}, args);
    va_end(args);
}

XOSYS_API void XoLogErrorWithCode(uint32_t code, const char* format, ...) {
    va_list args;
    va_start(args, format);
    plainLog("XoLogErrorWithCode", LogStatement{LogKind::ErrorWithCode, 0, code, nullptr, format},
             args);
    va_end(args);
}

XOSYS_API void XoLogEx(int32_t level, const char* source, const char* format, ...) {
    va_list args;
    va_start(args, format);
    plainLog("XoLogEx", LogStatement{LogKind::Ex, level, 0, source, format}, args);
    va_end(args);
}

XOSYS_API int32_t* trcheckEx_XoLogInfo_(const char* format, ...) {
    va_list args;
    va_start(args, format);
    int32_t* flag = registerLog("trcheckEx_XoLogInfo_",
                                LogStatement{LogKind::Info, 0, 0, nullptr, format}, args);
    va_end(args);
    return flag;
}

XOSYS_API int32_t* trcheckEx_XoLogError_(const char* format, ...) {
    va_list args;
    va_start(args, format);
    int32_t* flag = registerLog("trcheckEx_XoLogError_",
                                LogStatement{LogKind::Error, 0, 0, nullptr, format}, args);
    va_end(args);
    return flag;
}

XOSYS_API int32_t* trcheckEx_XoLogInfoEx_(const char* source, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int32_t* flag = registerLog("trcheckEx_XoLogInfoEx_",
                                LogStatement{LogKind::InfoEx, 0, 0, source, format}, args);
    va_end(args);
    return flag;
}

XOSYS_API int32_t* trcheckEx_XoLogErrorEx_(const char* source, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int32_t* flag = registerLog("trcheckEx_XoLogErrorEx_",
                                LogStatement{LogKind::ErrorEx, 0, 0, source, format}, args);
    va_end(args);
    return flag;
}

XOSYS_API int32_t* trcheckEx_XoLogErrorWithCode_(uint32_t code, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int32_t* flag =
        registerLog("trcheckEx_XoLogErrorWithCode_",
                    LogStatement{LogKind::ErrorWithCode, 0, code, nullptr, format}, args);
    va_end(args);
    return flag;
}

XOSYS_API int32_t* trcheckEx_XoLogEx_(int32_t level, const char* source, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int32_t* flag = registerLog("trcheckEx_XoLogEx_",
                                LogStatement{LogKind::Ex, level, 0, source, format}, args);
    va_end(args);
    return flag;
}

// ---- Messaging runtime and connections -------------------------------------------------------

XOSYS_API XoResult XoMQStartup(void) {
    Call c("XoMQStartup");
    return c.finish(c.scriptedCode());
}

XOSYS_API XoResult XoMQCleanup(void) {
    Call c("XoMQCleanup");
    return c.finish(c.scriptedCode());
}

XOSYS_API XoResult XoMQCreateConnection(XoMQConnHandle* slot) {
    return createInSlot("XoMQCreateConnection", slot, Kind::Connection);
}

XOSYS_API XoResult XoMQFreeConnection(XoMQConnHandle conn) {
    Call c("XoMQFreeConnection");
    c.handleArg(conn);
    const bool freed = c.release(conn, Kind::Connection);
    return c.finish(c.scriptedCode() != 0 ? c.scriptedCode() : freed ? 0 : kBadHandle);
}

XOSYS_API XoResult XoMQConnectEx2(XoMQConnHandle conn, const char* connectString,
                                  uint64_t* connInfo) {
    Call c("XoMQConnectEx2");
    c.handleArg(conn).arg(quoted(connectString));
    HandleEntry* entry = c.use(conn, Kind::Connection);
    if (connInfo == nullptr) {
        c.problem("null connection info");
    } else {
        // All 8 bytes are written, as a library would.
        *connInfo = 0;
    }
    if (c.scriptedCode() != 0) {
        return c.finish(c.scriptedCode());
    }
    if (entry == nullptr) {
        return c.finish(kBadHandle);
    }
    if (connectString == nullptr || connInfo == nullptr) {
        return c.finish(kBadArgument);
    }
    return c.finish(0);
}

XOSYS_API XoResult XoMQServiceResolve(XoMQConnHandle conn, const char* serviceName, char* address,
                                      uint64_t* addressSize, void* reserved, int32_t flags) {
    Call c("XoMQServiceResolve");
    c.handleArg(conn).arg(quoted(serviceName));
    c.arg(addressSize != nullptr ? std::to_string(*addressSize) : std::string("null"));
    c.arg(pointer(reserved)).arg(std::to_string(flags));
    HandleEntry* entry = c.use(conn, Kind::Connection);
    if (c.scriptedCode() != 0) {
        return c.finish(c.scriptedCode());
    }
    if (entry == nullptr) {
        return c.finish(kBadHandle);
    }
    if (serviceName == nullptr || address == nullptr || addressSize == nullptr) {
        c.problem("null service name, address or size");
        return c.finish(kBadArgument);
    }
    const Scenario& scenario = c.st().session.scenario;
    std::string result =
        scenario.hasResolve ? scenario.resolve : "addr:" + std::string(serviceName);
    if (*addressSize == 0) {
        return c.finish(0, "\"\"");
    }
    if (result.size() > *addressSize - 1) {
        result.resize(static_cast<size_t>(*addressSize - 1));
    }
    std::memcpy(address, result.data(), result.size());
    address[result.size()] = '\0';
    *addressSize = result.size();
    return c.finish(0, quoted(result));
}

XOSYS_API XoResult XoMQGetMsg(XoMQConnHandle conn, XoMsgHandle* slot, uint32_t waitMs) {
    Call c("XoMQGetMsg");
    c.handleArg(conn).arg(std::to_string(waitMs));
    HandleEntry* entry = c.use(conn, Kind::Connection);
    if (!c.slotUsable(slot)) {
        return c.finish(kBadArgument);
    }
    if (c.scriptedCode() != 0) {
        return failWithSlot(c, slot, Kind::Message);
    }
    if (entry == nullptr) {
        return c.finish(kBadHandle);
    }
    bool waiting = c.hasRule();
    for (const Occurrence& when : c.st().session.scenario.incoming) {
        waiting = waiting || when.matches(c.number());
    }
    if (!waiting) {
        return c.finish(kNoMessage);
    }
    return c.finish(0, c.store(slot, Kind::Message));
}

XOSYS_API XoResult XoMQSendMsg(XoMQConnHandle conn, XoMsgHandle request, XoMsgHandle* replySlot,
                               int32_t timeoutMs) {
    Call c("XoMQSendMsg");
    c.handleArg(conn).handleArg(request).arg(std::to_string(timeoutMs));
    HandleEntry* connEntry = c.use(conn, Kind::Connection);
    HandleEntry* requestEntry = c.use(request, Kind::Message);
    if (!c.slotUsable(replySlot)) {
        return c.finish(kBadArgument);
    }
    const bool usable = connEntry != nullptr && requestEntry != nullptr;
    if (c.scriptedCode() == 0 && !usable) {
        return c.finish(kBadHandle);
    }
    if (c.scriptedCode() != 0 && !c.fill()) {
        return c.finish(c.scriptedCode());
    }
    const std::string replyName = c.store(replySlot, Kind::Message);
    fillReply(c.st(), c.number(), requestEntry != nullptr ? requestEntry->message.get() : nullptr,
              c.st().find(*replySlot)->message.get());
    return c.finish(c.scriptedCode(), replyName);
}

// ---- Messages ----------------------------------------------------------------------------

XOSYS_API XoResult XoMsgCreateMessage(XoMsgHandle* slot) {
    return createInSlot("XoMsgCreateMessage", slot, Kind::Message);
}

XOSYS_API XoResult XoMsgFreeMessage(XoMsgHandle msg) {
    Call c("XoMsgFreeMessage");
    c.handleArg(msg);
    const bool freed = c.release(msg, Kind::Message);
    return c.finish(c.scriptedCode() != 0 ? c.scriptedCode() : freed ? 0 : kBadHandle);
}

XOSYS_API XoResult XoMsgSetFieldStr(XoMsgHandle msg, const char* name, const char* value) {
    Call c("XoMsgSetFieldStr");
    c.handleArg(msg).arg(quoted(name)).arg(quoted(value));
    HandleEntry* entry = c.use(msg, Kind::Message);
    if (c.scriptedCode() != 0) {
        return c.finish(c.scriptedCode());
    }
    if (entry == nullptr) {
        return c.finish(kBadHandle);
    }
    if (name == nullptr || value == nullptr) {
        c.problem("null name or value");
        return c.finish(kBadArgument);
    }
    entry->message->fields[name] = value;
    return c.finish(0);
}

XOSYS_API XoResult XoMsgSetField(XoMsgHandle msg, const char* name, const void* value,
                                 uint64_t size) {
    Call c("XoMsgSetField");
    c.handleArg(msg).arg(quoted(name)).arg(hex(value, value != nullptr ? size : 0));
    c.arg(std::to_string(size));
    HandleEntry* entry = c.use(msg, Kind::Message);
    if (c.scriptedCode() != 0) {
        return c.finish(c.scriptedCode());
    }
    if (entry == nullptr) {
        return c.finish(kBadHandle);
    }
    if (name == nullptr || (value == nullptr && size != 0)) {
        c.problem("null name or value");
        return c.finish(kBadArgument);
    }
    entry->message->fields[name] =
        size != 0 ? std::string(static_cast<const char*>(value), static_cast<size_t>(size))
                  : std::string();
    return c.finish(0);
}

XOSYS_API XoResult XoMsgGetBinaryField(XoMsgHandle msg, const char* name, const void** value,
                                       uint64_t* size) {
    Call c("XoMsgGetBinaryField");
    c.handleArg(msg).arg(quoted(name)).arg(size != nullptr ? "&size" : "null");
    HandleEntry* entry = c.use(msg, Kind::Message);
    if (c.scriptedCode() != 0) {
        return c.finish(c.scriptedCode());
    }
    if (entry == nullptr) {
        return c.finish(kBadHandle);
    }
    if (name == nullptr || value == nullptr) {
        c.problem("null name or value pointer");
        return c.finish(kBadArgument);
    }
    auto it = entry->message->fields.find(name);
    if (it == entry->message->fields.end()) {
        return c.finish(kNoProperty);
    }
    // std::string keeps a terminating NUL after the bytes, so text reads stop there.
    *value = it->second.c_str();
    if (size != nullptr) {
        *size = it->second.size();
    }
    return c.finish(0, quoted(it->second));
}

XOSYS_API XoResult XoMsgCopyFieldUINT32(XoMsgHandle msg, const char* name, uint32_t* value) {
    Call c("XoMsgCopyFieldUINT32");
    c.handleArg(msg).arg(quoted(name));
    HandleEntry* entry = c.use(msg, Kind::Message);
    if (c.scriptedCode() != 0) {
        return c.finish(c.scriptedCode());
    }
    if (entry == nullptr) {
        return c.finish(kBadHandle);
    }
    if (name == nullptr || value == nullptr) {
        c.problem("null name or value pointer");
        return c.finish(kBadArgument);
    }
    auto it = entry->message->fields.find(name);
    if (it == entry->message->fields.end()) {
        return c.finish(kNoProperty);
    }
    if (it->second.size() != 4) {
        return c.finish(kBadPropertySize);
    }
    uint32_t result = 0;
    for (int i = 3; i >= 0; --i) {
        result = (result << 8) | static_cast<unsigned char>(it->second[static_cast<size_t>(i)]);
    }
    *value = result;
    return c.finish(0, std::to_string(result));
}

XOSYS_API XoResult XoMsgSetBody(XoMsgHandle msg, const void* data, uint64_t size) {
    Call c("XoMsgSetBody");
    c.handleArg(msg).arg(hex(data, data != nullptr ? size : 0)).arg(std::to_string(size));
    HandleEntry* entry = c.use(msg, Kind::Message);
    if (c.scriptedCode() != 0) {
        return c.finish(c.scriptedCode());
    }
    if (entry == nullptr) {
        return c.finish(kBadHandle);
    }
    if (data == nullptr && size != 0) {
        c.problem("null data");
        return c.finish(kBadArgument);
    }
    entry->message->body =
        size != 0 ? std::string(static_cast<const char*>(data), static_cast<size_t>(size))
                  : std::string();
    return c.finish(0);
}

XOSYS_API XoResult XoMsgCopyBody(XoMsgHandle msg, void* buffer, uint64_t* capacity) {
    Call c("XoMsgCopyBody");
    c.handleArg(msg).arg(capacity != nullptr ? std::to_string(*capacity) : std::string("null"));
    HandleEntry* entry = c.use(msg, Kind::Message);
    if (c.scriptedCode() != 0) {
        return c.finish(c.scriptedCode());
    }
    if (entry == nullptr) {
        return c.finish(kBadHandle);
    }
    if (buffer == nullptr || capacity == nullptr) {
        c.problem("null buffer or capacity");
        return c.finish(kBadArgument);
    }
    if (entry->message->bodyCopyFails) {
        return c.finish(kNoBody);
    }
    const std::string& body = entry->message->body;
    const uint64_t count = body.size() < *capacity ? body.size() : *capacity;
    std::memcpy(buffer, body.data(), static_cast<size_t>(count));
    *capacity = count;
    return c.finish(0, hex(body.data(), count));
}

// ---- Binary composer --------------------------------------------------------------------

XOSYS_API XoResult XoSysCreateBinaryComposer(XoComposerHandle* slot) {
    return createInSlot("XoSysCreateBinaryComposer", slot, Kind::Composer);
}

XOSYS_API XoResult XoSysFreeComposer(XoComposerHandle composer) {
    Call c("XoSysFreeComposer");
    c.handleArg(composer);
    const bool freed = c.release(composer, Kind::Composer);
    return c.finish(c.scriptedCode() != 0 ? c.scriptedCode() : freed ? 0 : kBadHandle);
}

XOSYS_API XoResult XoSysCompose(XoComposerHandle composer, const char* format, ...) {
    Call c("XoSysCompose");
    c.handleArg(composer).arg(quoted(format));
    HandleEntry* entry = c.use(composer, Kind::Composer);
    if (format == nullptr) {
        c.problem("null format");
        return c.finish(c.scriptedCode() != 0 ? c.scriptedCode() : kBadArgument);
    }
    std::string packed;
    std::vector<std::string> shown;
    va_list args;
    va_start(args, format);
    const bool ok = compose(format, args, &packed, &shown);
    va_end(args);
    for (const std::string& value : shown) {
        c.arg(value);
    }
    if (c.scriptedCode() != 0) {
        return c.finish(c.scriptedCode());
    }
    if (entry == nullptr) {
        return c.finish(kBadHandle);
    }
    if (!ok) {
        return c.finish(kComposeError);
    }
    entry->composed->append(packed);
    return c.finish(0);
}

XOSYS_API XoResult XoSysComposeGetSize(XoComposerHandle composer, uint64_t* size) {
    Call c("XoSysComposeGetSize");
    c.handleArg(composer);
    HandleEntry* entry = c.use(composer, Kind::Composer);
    if (c.scriptedCode() != 0) {
        return c.finish(c.scriptedCode());
    }
    if (entry == nullptr) {
        return c.finish(kBadHandle);
    }
    if (size == nullptr) {
        c.problem("null size");
        return c.finish(kBadArgument);
    }
    *size = entry->composed->size();
    return c.finish(0, std::to_string(*size));
}

XOSYS_API XoResult XoSysComposeGetBuffer(XoComposerHandle composer, const uint8_t** buffer) {
    Call c("XoSysComposeGetBuffer");
    c.handleArg(composer);
    HandleEntry* entry = c.use(composer, Kind::Composer);
    if (c.scriptedCode() != 0) {
        return c.finish(c.scriptedCode());
    }
    if (entry == nullptr) {
        return c.finish(kBadHandle);
    }
    if (buffer == nullptr) {
        c.problem("null buffer pointer");
        return c.finish(kBadArgument);
    }
    *buffer = reinterpret_cast<const uint8_t*>(entry->composed->data());
    return c.finish(0, hex(*entry->composed));
}

}  // extern "C"
