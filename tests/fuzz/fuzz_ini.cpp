// The INI reader: any bytes give a configuration or a syntax error with a
// line number, never a crash. What it reads is checked against the rules
// (names matched ignoring case, values trimmed, one line each) and read
// again from a clean rewrite of itself, which must give the same data.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "IniData.h"
#include "XoSysCodes.h"

namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_ini: broken: %s\n", what);
        std::abort();
    }
}

std::string upper(const std::string& s) {
    std::string out = s;
    for (auto& c : out) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return out;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// The names of the "[...]" headers of the text, as the reader trims them.
std::vector<std::string> headerNames(const std::string& text) {
    std::vector<std::string> names;
    size_t pos = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos) {
            eol = text.size();
        }
        const char* b = text.data() + pos;
        const char* e = text.data() + eol;
        xosys::trimBlanks(&b, &e);
        if (b < e && *b == '[') {
            const char* close = static_cast<const char*>(std::memchr(b, ']', e - b));
            if (close != nullptr) {
                const char* nb = b + 1;
                const char* ne = close;
                xosys::trimBlanks(&nb, &ne);
                names.emplace_back(nb, static_cast<size_t>(ne - nb));
            }
        }
        pos = eol + 1;
    }
    return names;
}

using Data = std::map<std::string, std::map<std::string, std::string>>;

Data collect(const xosys::IniData& ini, const std::vector<std::string>& sections) {
    Data data;
    for (const auto& section : sections) {
        for (const auto& key : ini.keys(section.c_str())) {
            const std::string* value = ini.find(section.c_str(), key.c_str());
            check(value != nullptr, "every listed key is found");
            data[xosys::asciiLower(section.data(), section.size())][key] = *value;
        }
    }
    return data;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    const std::string text(reinterpret_cast<const char*>(bytes), size);
    xosys::IniData ini;
    size_t line = 0;
    std::string error;
    std::vector<std::string> warnings;
    const uint32_t rc = ini.parse(text, &line, &error, &warnings);
    const std::vector<std::string> sections = headerNames(text);
    if (rc != XOSYS_OK) {
        check(rc == XOSYS_E_INI_SYNTAX, "a refusal is a syntax error");
        size_t lines = 1;
        for (const char c : text) {
            lines += c == '\n' ? 1 : 0;
        }
        check(line >= 1 && line <= lines, "the bad line exists");
        check(!error.empty(), "a refusal says why");
        for (const auto& section : sections) {
            check(ini.keys(section.c_str()).empty(), "a refused file leaves no data");
        }
        return 0;
    }

    const Data data = collect(ini, sections);
    std::string rewrite;
    for (const auto& section : data) {
        // CRLF line ends: a value may itself end in CR.
        rewrite += "[" + section.first + "]\r\n";
        for (const auto& entry : section.second) {
            const std::string& key = entry.first;
            const std::string& value = entry.second;
            check(!key.empty() && key == xosys::asciiLower(key.data(), key.size()),
                  "keys are listed in lower case");
            check(value.find('\n') == std::string::npos, "a value is one line");
            check(value.find('\0') == std::string::npos, "a value holds no NUL");
            check(value.empty() || (!isBlank(value.front()) && !isBlank(value.back())),
                  "values are trimmed");
            const std::string* again = ini.find(upper(section.first).c_str(), upper(key).c_str());
            check(again != nullptr && *again == value, "names match ignoring case");
            int32_t number = 0;
            if (xosys::parseInt32(value, &number)) {
                check(std::strtoll(value.c_str(), nullptr, 10) == number,
                      "a whole number reads as strtoll reads it");
            }
            rewrite += key + " = " + value + "\r\n";
        }
    }
    xosys::IniData reread;
    check(reread.parse(rewrite, &line, &error, &warnings) == XOSYS_OK,
          "the clean rewrite is accepted");
    check(collect(reread, sections) == data, "the clean rewrite reads the same");
    return 0;
}
