// The log's format rewriting ("%I64u" to "%llu"): for any format, the
// rewritten one has the same conversions in the same places and never
// takes more arguments than the original; where it is safe to do so the
// rewritten format is also used to format integers.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "LogFormat.h"

namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_logformat: broken: %s\n", what);
        std::abort();
    }
}

// What a reading of a format finds: the arguments its conversions take,
// and whether every conversion was one this reading knows to be an
// integer conversion with a sane width (so formatting it is safe).
struct Reading {
    int arguments = 0;
    int percents = 0;
    bool onlyIntegers = true;
};

// A reference reading of printf conversions, written apart from the code
// under test: '%', flags, width ('*' or digits), precision ('.' and '*' or
// digits), a length (hh h ll l j z t L, and I64 I32 when windows is set),
// then the conversion letter. "%%" takes nothing.
Reading read(const std::string& format, bool windows) {
    Reading r;
    const char* p = format.c_str();
    while (*p != '\0') {
        if (*p++ != '%') {
            continue;
        }
        ++r.percents;
        if (*p == '%') {
            ++p;
            ++r.percents;
            continue;
        }
        int stars = 0;
        long number = 0;
        while (*p != '\0' && std::strchr("-+ #0", *p) != nullptr) {
            ++p;
        }
        for (int part = 0; part < 2; ++part) {
            if (part == 1) {
                if (*p != '.') {
                    break;
                }
                ++p;
            }
            if (*p == '*') {
                ++stars;
                ++p;
            }
            while (*p >= '0' && *p <= '9') {
                number = number * 10 + (*p - '0');
                number = number > 100000 ? 100000 : number;
                ++p;
            }
        }
        const char* length = p;
        if (windows && std::strncmp(p, "I64", 3) == 0) {
            p += 3;
        } else if (windows && std::strncmp(p, "I32", 3) == 0) {
            p += 3;
        } else if (std::strncmp(p, "hh", 2) == 0 || std::strncmp(p, "ll", 2) == 0) {
            p += 2;
        } else if (*p != '\0' && std::strchr("hljztL", *p) != nullptr) {
            ++p;
        }
        // A character takes no length: "%lc" is a wide one.
        const char* integers = p == length ? "diouxXc" : "diouxX";
        if (*p != '\0' && std::strchr(integers, *p) != nullptr) {
            r.arguments += stars + 1;
            // A width from the arguments could be any size: not formatted.
            r.onlyIntegers = r.onlyIntegers && number <= 4096 && stars == 0;
            ++p;
        } else if (*p != '\0' && std::strchr("eEfFgGaAspnc", *p) != nullptr) {
            r.arguments += stars + 1;
            r.onlyIntegers = false;
            ++p;
        } else {
            // Not a conversion this reading knows; what printf makes of it
            // is not checked, and the format is never used.
            r.arguments += stars;
            r.onlyIntegers = false;
        }
    }
    return r;
}

std::string format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string out = xolog::formatV(fmt, args);
    va_end(args);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The format as a C string: up to the first NUL, in a buffer of exactly
    // that size, so that reading past its end shows.
    const size_t len = strnlen(reinterpret_cast<const char*>(data), size);
    char* original = static_cast<char*>(std::malloc(len + 1));
    std::memcpy(original, data, len);
    original[len] = '\0';

    const std::string rewritten = xolog::rewriteFormat(original);
    const Reading before = read(original, true);
    const Reading after = read(rewritten, false);
    check(after.arguments <= before.arguments, "the rewrite takes no more arguments");
    check(after.percents == before.percents, "the rewrite keeps every '%'");
    check(rewritten.size() <= len, "the rewrite never grows the format");
    // Apart from I64 turned into ll, the texts are the same.
    size_t i = 0;
    size_t j = 0;
    while (i < len && j < rewritten.size()) {
        if (original[i] == rewritten[j]) {
            ++i;
            ++j;
        } else {
            check(std::strncmp(original + i, "I64", 3) == 0 && rewritten.compare(j, 2, "ll") == 0,
                  "only I64 is rewritten, and only to ll");
            i += 3;
            j += 2;
        }
    }
    check(i == len && j == rewritten.size(), "nothing added or dropped at the end");

    // Integer conversions only, with at most 16 arguments: format them.
    if (after.onlyIntegers && after.arguments <= 16) {
        const long long a = 1234567890123LL;
        const std::string out = format(original, a, -a, 7LL, 65LL, a, 0LL, 42LL, -1LL, a, 9LL, 8LL,
                                       7LL, 6LL, 5LL, 4LL, 3LL);
        char expected[1];
        const int needed = std::snprintf(expected, 0, rewritten.c_str(), a, -a, 7LL, 65LL, a, 0LL,
                                         42LL, -1LL, a, 9LL, 8LL, 7LL, 6LL, 5LL, 4LL, 3LL);
        check(needed >= 0 && out.size() == static_cast<size_t>(needed),
              "formatting follows the rewritten format");
    }
    std::free(original);
    return 0;
}
