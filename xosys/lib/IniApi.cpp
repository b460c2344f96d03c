// Configuration calls: one process-wide INI file.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "IniData.h"
#include "LibInternal.h"
#include "LogLine.h"
#include "XoSys.h"
#include "XoSysCodes.h"

namespace {

struct IniState {
    std::mutex mu;
    xosys::IniData data;
    bool open = false;
    uint32_t options = 0;
};

// Never destroyed, so that calls made during process exit stay harmless.
IniState& ini() {
    static IniState* state = new IniState;
    return *state;
}

// Copies the value of section/key; false when absent or no file is open.
bool lookup(const char* section, const char* key, std::string* value) {
    IniState& s = ini();
    std::lock_guard<std::mutex> lock(s.mu);
    if (!s.open) {
        return false;
    }
    const std::string* found = s.data.find(section, key);
    if (found == nullptr) {
        return false;
    }
    *value = *found;
    return true;
}

}  // namespace

namespace xosys {

bool iniLookup(const char* section, const char* key, std::string* value) {
    return lookup(section, key, value);
}

std::vector<std::string> iniKeys(const char* section) {
    IniState& s = ini();
    std::lock_guard<std::mutex> lock(s.mu);
    return s.open ? s.data.keys(section) : std::vector<std::string>();
}

}  // namespace xosys

extern "C" {

XoResult XoIniSetOpt(uint32_t options) {
    // No options are defined yet; the value is kept for later use.
    IniState& s = ini();
    std::lock_guard<std::mutex> lock(s.mu);
    s.options = options;
    return XOSYS_OK;
}

XoResult XoIniOpen(const char* path) {
    if (path == nullptr || path[0] == '\0') {
        std::fprintf(stderr, "XoIniOpen: no INI file name given\n");
        return XOSYS_E_INVALID_ARG;
    }
    std::string text;
    std::string error;
    try {
        XoResult rc = xosys::readTextFile(path, xosys::IniData::kMaxFileSize, &text, &error);
        if (rc != XOSYS_OK) {
            std::fprintf(stderr, "XoIniOpen: cannot read '%s': %s\n", path, error.c_str());
            return rc;
        }
        xosys::IniData data;
        size_t line = 0;
        std::vector<std::string> warnings;
        rc = data.parse(text, &line, &error, &warnings);
        for (const std::string& w : warnings) {
            std::fprintf(stderr, "XoIniOpen: %s: %s\n", path, w.c_str());
        }
        if (rc != XOSYS_OK) {
            std::fprintf(stderr, "XoIniOpen: %s:%zu: %s\n", path, line, error.c_str());
            return rc;
        }
        IniState& s = ini();
        std::lock_guard<std::mutex> lock(s.mu);
        std::swap(s.data, data);
        s.open = true;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "XoIniOpen: out of memory reading '%s'\n", path);
        return XOSYS_E_NO_MEMORY;
    }
    return XOSYS_OK;
}

XoResult XoIniClose(void) {
    IniState& s = ini();
    std::lock_guard<std::mutex> lock(s.mu);
    s.data.clear();
    s.open = false;
    return XOSYS_OK;
}

int32_t XoIniCustGetInt(intptr_t iniHandle, const char* section, const char* key,
                        int32_t defaultValue) {
    (void)iniHandle;  // one process-wide file; XO_INI_DEFAULT names it
    std::string value;
    try {
        if (!lookup(section, key, &value)) {
            return defaultValue;
        }
    } catch (const std::bad_alloc&) {
        return defaultValue;
    }
    int32_t parsed = 0;
    if (xosys::parseInt32(value, &parsed)) {
        return parsed;
    }
    XoLogEx(xosys::kLevelWarning, "XoIni",
            "[%s] %s = '%.64s' is not a whole 32-bit number; using the default %d", section, key,
            value.c_str(), defaultValue);
    return defaultValue;
}

XoResult XoIniCustGetStr(intptr_t iniHandle, char* buffer, uint64_t bufferSize, const char* section,
                         const char* key, const char* defaultValue) {
    (void)iniHandle;
    if (bufferSize == 0) {
        XoLogEx(xosys::kLevelError, "XoIni", "XoIniCustGetStr: a buffer of 0 bytes holds nothing");
        return XOSYS_E_BUFFER_TOO_SMALL;
    }
    if (buffer == nullptr) {
        XoLogEx(xosys::kLevelError, "XoIni", "XoIniCustGetStr: no buffer");
        return XOSYS_E_INVALID_ARG;
    }
    std::string value;
    bool found = false;
    try {
        found = lookup(section, key, &value);
    } catch (const std::bad_alloc&) {
        found = false;
    }
    const char* text = found ? value.c_str() : (defaultValue != nullptr ? defaultValue : "");
    const size_t len = found ? value.size() : std::strlen(text);
    if (len >= bufferSize) {
        const size_t kept = static_cast<size_t>(bufferSize - 1);
        std::memcpy(buffer, text, kept);
        buffer[kept] = '\0';
        XoLogEx(xosys::kLevelWarning, "XoIni",
                "[%s] %s: value of %zu bytes cut to the buffer of %zu bytes",
                section != nullptr ? section : "", key != nullptr ? key : "", len,
                static_cast<size_t>(bufferSize));
        return XOSYS_E_BUFFER_TOO_SMALL;
    }
    std::memcpy(buffer, text, len + 1);
    return found ? XOSYS_OK : XOSYS_E_INI_NO_KEY;
}

}  // extern "C"
