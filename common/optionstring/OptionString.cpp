#include "OptionString.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace optstr {

namespace detail {

const char kSeparators[] = ";,";
const char kBlanks[] = " \t";

size_t TrimmedLen(const char* s, const char* set) {
    size_t len = std::strlen(s);
    // s[len - 1] is never NUL here, so strchr cannot match the set's terminator.
    while (len > 0 && std::strchr(set, s[len - 1]) != nullptr) {
        --len;
    }
    return len;
}

const char* TrimFldName(const char* name, size_t* len) {
    while (*name == ' ' || *name == '\t') {
        ++name;
    }
    *len = TrimmedLen(name, kBlanks);
    return name;
}

}  // namespace detail

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsSeparator(char c) {
    return c == ';' || c == ',';
}

// ASCII only, independent of the locale and safe for bytes above 0x7F.
char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

const char* SkipBlanks(const char* p) {
    while (IsBlank(*p)) {
        ++p;
    }
    return p;
}

// The next separator at or after p, or the terminating NUL.
const char* FieldEnd(const char* p) {
    while (*p != '\0' && !IsSeparator(*p)) {
        ++p;
    }
    return p;
}

// Compares len bytes at p with key, ignoring ASCII case. The key holds no NUL,
// so the comparison stops at the end of the text at the latest.
bool StartsWithKey(const char* p, const char* key, size_t len) {
    for (size_t i = 0; i < len; ++i) {
        if (LowerAscii(p[i]) != LowerAscii(key[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

const char* GetFldVal(const char* text, const char* name, size_t* valueLen,
                      const char** fieldStart) {
    *valueLen = 0;
    if (*name == '\0') {
        return nullptr;
    }
    size_t keyLen = 0;
    const char* trimmed = detail::TrimFldName(name, &keyLen);
    const std::string key(trimmed, keyLen);

    const char* p = text;
    for (;;) {
        if (fieldStart != nullptr) {
            *fieldStart = p;
        }
        p = SkipBlanks(p);
        if (*p == '\0') {
            return nullptr;
        }
        if (StartsWithKey(p, key.data(), keyLen)) {
            p = SkipBlanks(p + keyLen);
            if (*p == '=') {
                p = SkipBlanks(p + 1);
                *valueLen = static_cast<size_t>(FieldEnd(p) - p);
                return p;
            }
            if (IsSeparator(*p)) {
                return p;  // bare name
            }
            // A longer name or a name followed by more text: not this field.
        }
        p = FieldEnd(p);
        if (*p == '\0') {
            return nullptr;
        }
        ++p;
    }
}

std::string* GetFldVal(const char* text, const char* name, std::string* value) {
    size_t len = 0;
    const char* found = GetFldVal(text, name, &len);
    if (found != nullptr) {
        value->assign(found, len);
    } else {
        value->clear();
    }
    return value;
}

bool GetFldInt(const char* text, const char* name, int* value) {
    std::string digits;
    GetFldVal(text, name, &digits);
    if (digits.empty()) {
        return false;
    }
    // strtol would give a 32-bit long on Windows (saturating) but a 64-bit long
    // on Linux, where narrowing wraps (2^32 + 1 would read as 1). Convert wide
    // and clamp so both builds saturate at the int limits.
    long long converted = std::strtoll(digits.c_str(), nullptr, 10);
    if (converted > INT_MAX) {
        converted = INT_MAX;
    } else if (converted < INT_MIN) {
        converted = INT_MIN;
    }
    *value = static_cast<int>(converted);
    return true;
}

std::string* AddFld(std::string* text, const char* name, const char* value) {
    if (!text->empty()) {
        text->push_back(detail::kSeparators[0]);
    }
    text->append(name);
    text->push_back('=');
    text->append(value);
    return text;
}

void RemoveFld(std::string* text, const char* name, std::string* value) {
    const char* base = text->c_str();
    const char* start = nullptr;
    size_t len = 0;
    const char* found = GetFldVal(base, name, &len, &start);
    if (found == nullptr) {
        value->clear();
        return;
    }
    value->assign(found, len);
    // The value runs up to the field's separator or the end of the text; the
    // separator after the field goes with it, the one in front stays.
    const char* end = found + len;
    if (*end != '\0') {
        ++end;
    }
    text->erase(static_cast<size_t>(start - base), static_cast<size_t>(end - start));
}

}  // namespace optstr
