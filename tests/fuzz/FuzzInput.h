// Splits a fuzz input into NUL-separated parts: "text\0name\0value" gives
// three strings; missing parts are empty, NULs beyond the last part are
// dropped. Seed files are written the same way.
#ifndef XOMQ_TESTS_FUZZ_FUZZINPUT_H
#define XOMQ_TESTS_FUZZ_FUZZINPUT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzzinput {

inline std::vector<std::string> split(const uint8_t* data, size_t size, size_t parts) {
    std::vector<std::string> out(parts);
    size_t part = 0;
    for (size_t i = 0; i < size; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c == '\0') {
            if (part + 1 < parts) {
                ++part;
            }
            continue;
        }
        out[part] += c;
    }
    return out;
}

}  // namespace fuzzinput

#endif  // XOMQ_TESTS_FUZZ_FUZZINPUT_H
