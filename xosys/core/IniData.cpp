#include "IniData.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Owned.h"
#include "XoSysCodes.h"

namespace xosys {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string lineWarning(size_t line, const std::string& text) {
    return "line " + std::to_string(line) + ": " + text;
}

}  // namespace

std::string asciiLower(const char* text, size_t len) {
    std::string out(text, len);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

void trimBlanks(const char** begin, const char** end) {
    while (*begin < *end && isBlank(**begin)) {
        ++*begin;
    }
    while (*end > *begin && isBlank((*end)[-1])) {
        --*end;
    }
}

bool parseInt32(const std::string& text, int32_t* value) {
    const char* b = text.data();
    const char* e = b + text.size();
    trimBlanks(&b, &e);
    bool negative = false;
    if (b < e && (*b == '+' || *b == '-')) {
        negative = *b == '-';
        ++b;
    }
    if (b == e) {
        return false;
    }
    // Accumulate as a negative number so that INT32_MIN fits.
    int64_t acc = 0;
    for (; b < e; ++b) {
        if (*b < '0' || *b > '9') {
            return false;
        }
        acc = acc * 10 - (*b - '0');
        if (acc < -2147483648LL) {
            return false;
        }
    }
    if (!negative) {
        if (acc < -2147483647LL) {
            return false;
        }
        acc = -acc;
    }
    *value = static_cast<int32_t>(acc);
    return true;
}

uint32_t IniData::parse(const std::string& text, size_t* errorLine, std::string* error,
                        std::vector<std::string>* warnings) {
    m_sections.clear();
    *errorLine = 0;
    const char* p = text.data();
    const char* const end = p + text.size();
    // A UTF-8 byte order mark at the start is not part of the first line.
    if (text.size() >= 3 && std::memcmp(p, "\xEF\xBB\xBF", 3) == 0) {
        p += 3;
    }

    Section* current = nullptr;
    std::string currentName;
    size_t lineNo = 0;
    const auto fail = [&](const char* why) {
        *errorLine = lineNo;
        *error = why;
        m_sections.clear();
        return XOSYS_E_INI_SYNTAX;
    };

    while (p < end) {
        ++lineNo;
        // The line as a start and a length: a length can never be negative,
        // whatever the line end looks like.
        const size_t left = static_cast<size_t>(end - p);
        const char* eol = static_cast<const char*>(std::memchr(p, '\n', left));
        size_t length = eol != nullptr ? static_cast<size_t>(eol - p) : left;
        if (length > 0 && p[length - 1] == '\r') {
            --length;  // CRLF line end
        }
        if (std::memchr(p, '\0', length) != nullptr) {
            return fail("the line contains a NUL byte");
        }
        const char* b = p;
        const char* e = p + length;
        p = eol != nullptr ? eol + 1 : end;
        trimBlanks(&b, &e);
        if (b == e || *b == ';' || *b == '#') {
            continue;
        }
        if (*b == '[') {
            const char* close =
                static_cast<const char*>(std::memchr(b, ']', static_cast<size_t>(e - b)));
            if (close == nullptr) {
                return fail("section header without ']'");
            }
            // Only blanks or a comment may follow the header.
            const char* rest = close + 1;
            const char* restEnd = e;
            trimBlanks(&rest, &restEnd);
            if (rest != restEnd && *rest != ';' && *rest != '#') {
                return fail("text after the section header");
            }
            const char* nb = b + 1;
            const char* ne = close;
            trimBlanks(&nb, &ne);
            if (nb == ne) {
                return fail("empty section name");
            }
            currentName = asciiLower(nb, static_cast<size_t>(ne - nb));
            current = &m_sections[currentName];
            continue;
        }
        const char* eq = static_cast<const char*>(std::memchr(b, '=', static_cast<size_t>(e - b)));
        if (eq == nullptr) {
            return fail("expected '[section]', 'key = value' or a comment");
        }
        const char* kb = b;
        const char* ke = eq;
        trimBlanks(&kb, &ke);
        if (kb == ke) {
            return fail("empty key name");
        }
        if (current == nullptr) {
            return fail("key outside of any section");
        }
        const char* vb = eq + 1;
        const char* ve = e;
        trimBlanks(&vb, &ve);
        std::string key = asciiLower(kb, static_cast<size_t>(ke - kb));
        auto found = current->find(key);
        if (found != current->end()) {
            if (warnings != nullptr) {
                warnings->push_back(
                    lineWarning(lineNo, "duplicate key '" + key + "' in [" + currentName +
                                            "] ignored; the value from line " +
                                            std::to_string(found->second.line) + " stays"));
            }
            continue;
        }
        Entry entry;
        entry.value.assign(vb, static_cast<size_t>(ve - vb));
        entry.line = lineNo;
        current->emplace(std::move(key), std::move(entry));
    }
    return XOSYS_OK;
}

const std::string* IniData::find(const char* section, const char* key) const {
    if (section == nullptr || key == nullptr) {
        return nullptr;
    }
    const auto s = m_sections.find(asciiLower(section, std::strlen(section)));
    if (s == m_sections.end()) {
        return nullptr;
    }
    const auto k = s->second.find(asciiLower(key, std::strlen(key)));
    return k == s->second.end() ? nullptr : &k->second.value;
}

std::vector<std::string> IniData::keys(const char* section) const {
    std::vector<std::string> out;
    if (section == nullptr) {
        return out;
    }
    const auto s = m_sections.find(asciiLower(section, std::strlen(section)));
    if (s != m_sections.end()) {
        for (const auto& entry : s->second) {
            out.push_back(entry.first);
        }
    }
    return out;
}

std::vector<std::string> IniData::sections() const {
    std::vector<std::string> out;
    for (const auto& section : m_sections) {
        out.push_back(section.first);
    }
    return out;
}

uint32_t readTextFile(const char* path, size_t maxSize, std::string* text, std::string* error) {
    text->clear();
    const FilePtr f(std::fopen(path, "rb"));
    if (!f) {
        *error = std::strerror(errno);
        return XOSYS_E_INI_OPEN;
    }
    char chunk[16384];
    uint32_t rc = XOSYS_OK;
    for (;;) {
        errno = 0;
        const size_t n = std::fread(chunk, 1, sizeof chunk, f.get());
        if (n > 0) {
            if (text->size() + n > maxSize) {
                *error = "larger than " + std::to_string(maxSize) + " bytes";
                rc = XOSYS_E_INI_TOO_LARGE;
                break;
            }
            text->append(chunk, n);
        }
        if (n < sizeof chunk) {
            if (std::ferror(f.get())) {
                // A directory opens on Linux but fails to read (EISDIR).
                *error = errno != 0 ? std::strerror(errno) : "read error";
                rc = XOSYS_E_INI_OPEN;
            }
            break;
        }
    }
    if (rc != XOSYS_OK) {
        text->clear();
    }
    return rc;
}

}  // namespace xosys
