// Option-string fields: lookup, integer getter, AddFld and RemoveFld,
// checked against the rules every result must keep. Input: text, name and
// value, separated by NUL bytes.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FuzzInput.h"
#include "OptionString.h"

namespace {

// A broken rule aborts; libFuzzer keeps the input that did it.
void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_optstr: broken: %s\n", what);
        std::abort();
    }
}

bool isSeparator(char c) {
    return c == ';' || c == ',';
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// A name that AddFld can write and lookup find back: letters, digits, '_'.
bool cleanName(const std::string& name) {
    if (name.empty()) {
        return false;
    }
    for (const char c : name) {
        const bool ok =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok) {
            return false;
        }
    }
    return true;
}

// A value lookup gives back unchanged: no separator, no leading blank.
bool cleanValue(const std::string& value) {
    for (const char c : value) {
        if (isSeparator(c)) {
            return false;
        }
    }
    return value.empty() || !isBlank(value[0]);
}

// The core lookup's result lies within the text, ends at a separator or
// the end, and holds no separator; the field start is the text's start or
// follows a separator.
void checkLookup(const std::string& text, const std::string& name) {
    const char* base = text.c_str();
    const char* end = base + text.size();
    size_t len = 12345;
    const char* start = nullptr;
    const char* found = optstr::GetFldVal(base, name.c_str(), &len, &start);
    if (found == nullptr) {
        check(len == 0, "absent field has length 0");
    } else {
        check(found >= base && found <= end, "value lies within the text");
        check(len <= static_cast<size_t>(end - found), "value ends within the text");
        check(found[len] == '\0' || isSeparator(found[len]), "value ends at a separator");
        for (size_t i = 0; i < len; ++i) {
            check(!isSeparator(found[i]), "value holds no separator");
        }
        check(len == 0 || !isBlank(found[0]), "value starts after the blanks");
        check(start != nullptr && start >= base && start <= found, "field start before value");
        check(start == base || isSeparator(start[-1]), "field starts after a separator");
    }
    if (name.empty()) {
        check(start == nullptr, "empty name writes no field start");
    }

    std::string value = "preset";
    optstr::GetFldVal(base, name.c_str(), &value);
    check(found == nullptr ? value.empty() : value == std::string(found, len),
          "string form agrees with the core lookup");

    int number = 77;
    const bool got = optstr::GetFldInt(base, name.c_str(), &number);
    check(got == !value.empty(), "integer getter finds what the string form finds");
    if (got) {
        long long expected = std::strtoll(value.c_str(), nullptr, 10);
        expected = expected > INT_MAX ? INT_MAX : expected < INT_MIN ? INT_MIN : expected;
        check(number == expected, "integer getter converts like strtoll, saturated");
    } else {
        check(number == 77, "a failed integer read leaves the value alone");
    }
}

void checkAdd(const std::string& text, const std::string& name, const std::string& value) {
    std::string edited = text;
    optstr::AddFld(&edited, name.c_str(), value.c_str());
    const size_t added = (text.empty() ? 0 : 1) + name.size() + 1 + value.size();
    check(edited.size() == text.size() + added, "AddFld appends exactly one field");
    check(edited.compare(0, text.size(), text) == 0, "AddFld keeps the text before");
    if (!cleanName(name) || !cleanValue(value)) {
        return;
    }
    // A name that is nowhere in the text, not even as a bare name the new
    // separator would complete, is found with the value just added.
    size_t len = 0;
    const std::string closed = text + ";";
    if (optstr::GetFldVal(closed.c_str(), name.c_str(), &len) != nullptr) {
        return;
    }
    std::string back;
    optstr::GetFldVal(edited.c_str(), name.c_str(), &back);
    check(back == value, "a fresh field reads back as added");
}

void checkRemove(const std::string& text, const std::string& name) {
    const char* base = text.c_str();
    size_t len = 0;
    const char* start = nullptr;
    const char* found = optstr::GetFldVal(base, name.c_str(), &len, &start);

    std::string edited = text;
    std::string removed = "preset";
    optstr::RemoveFld(&edited, name.c_str(), &removed);
    if (found == nullptr) {
        check(edited == text, "nothing found, nothing removed");
        check(removed.empty(), "nothing found, empty value");
        return;
    }
    check(removed == std::string(found, len), "the removed value is the one found");
    // Exactly the field, with its leading blanks and the one separator
    // after it, is gone; the text around it stays.
    const size_t from = static_cast<size_t>(start - base);
    size_t to = static_cast<size_t>(found - base) + len;
    if (to < text.size()) {
        ++to;
    }
    check(edited.size() == text.size() - (to - from), "shorter by exactly the field");
    check(edited.compare(0, from, text, 0, from) == 0, "text before the field stays");
    check(edited.compare(from, std::string::npos, text, to, std::string::npos) == 0,
          "text after the field stays");

    // The same lookup now finds a later field, never the removed one again.
    for (const char c : name) {
        if (isSeparator(c)) {
            return;  // such a name can match across fields
        }
    }
    const char* again = optstr::GetFldVal(edited.c_str(), name.c_str(), &len);
    if (again != nullptr) {
        const size_t at = static_cast<size_t>(again - edited.c_str());
        check(at >= from, "no match before the removed field");
        check(text.compare(at + (to - from), len, again, len) == 0,
              "the match is a later field of the original text");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto parts = fuzzinput::split(data, size, 3);
    const std::string& text = parts[0];
    const std::string& name = parts[1];
    const std::string& value = parts[2];
    checkLookup(text, name);
    checkAdd(text, name, value);
    checkRemove(text, name);
    return 0;
}
