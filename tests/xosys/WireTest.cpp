// The wire frame: round trip, and rejection of anything but a well-formed
// frame.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "Message.h"
#include "Wire.h"
#include "XoSysCodes.h"

namespace {

using xosys::wire::decode;
using xosys::wire::encode;

std::string field(const XoMsg_& m, const char* name) {
    const uint8_t* v = nullptr;
    size_t n = 0;
    if (!m.getField(name, std::strlen(name), &v, &n)) {
        return "<absent>";
    }
    return std::string(reinterpret_cast<const char*>(v), n);
}

void sample(XoMsg_& m) {
    m.setField("Xo_To", 5, "_XO.svc.bench.1", 16);
    m.setField("Xo_Category", 11, "VORNA_FUTURES", 14);
    const uint32_t type = 6;
    m.setField("Xo_Type", 7, &type, 4);
    m.setBody("body\0with\0NULs", 14);
}

TEST(Wire, RoundTripKeepsPropertiesAndBinaryBody) {
    XoMsg_ in;
    sample(in);
    std::vector<uint8_t> frame;
    ASSERT_EQ(encode(in, nullptr, frame), 0u);
    XoMsg_ out;
    ASSERT_EQ(decode(frame.data(), frame.size(), out), 0u);
    EXPECT_EQ(out.fieldCount(), 3u);
    EXPECT_EQ(field(out, "Xo_To"), std::string("_XO.svc.bench.1\0", 16));
    EXPECT_EQ(field(out, "Xo_Category"), std::string("VORNA_FUTURES\0", 14));
    EXPECT_EQ(field(out, "Xo_Type"), std::string("\x06\0\0\0", 4));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.body()), out.bodySize()),
              std::string("body\0with\0NULs", 14));
}

TEST(Wire, SenderAddressReplacesAnyGivenOne) {
    XoMsg_ in;
    sample(in);
    in.setField("Xo_From", 7, "forged", 7);
    std::vector<uint8_t> frame;
    ASSERT_EQ(encode(in, "_XO.c.me.in", frame), 0u);
    XoMsg_ out;
    ASSERT_EQ(decode(frame.data(), frame.size(), out), 0u);
    EXPECT_EQ(field(out, "Xo_From"), std::string("_XO.c.me.in\0", 12));
    EXPECT_EQ(out.fieldCount(), 4u);
}

TEST(Wire, EmptyMessageRoundTrips) {
    XoMsg_ in;
    std::vector<uint8_t> frame(100, 0xEE);  // stale content is replaced
    ASSERT_EQ(encode(in, nullptr, frame), 0u);
    EXPECT_EQ(frame.size(), 10u);
    XoMsg_ out;
    ASSERT_EQ(decode(frame.data(), frame.size(), out), 0u);
    EXPECT_EQ(out.fieldCount(), 0u);
    EXPECT_EQ(out.bodySize(), 0u);
}

TEST(Wire, RejectsEveryTruncationAndTrailingBytes) {
    XoMsg_ in;
    sample(in);
    std::vector<uint8_t> frame;
    ASSERT_EQ(encode(in, "_XO.c.me.in", frame), 0u);
    for (size_t len = 0; len < frame.size(); ++len) {
        XoMsg_ out;
        EXPECT_EQ(decode(frame.data(), len, out), XOSYS_E_MALFORMED_MESSAGE) << len;
    }
    frame.push_back(0);
    XoMsg_ out;
    EXPECT_EQ(decode(frame.data(), frame.size(), out), XOSYS_E_MALFORMED_MESSAGE);
    EXPECT_EQ(decode(nullptr, 0, out), XOSYS_E_MALFORMED_MESSAGE);
}

// Builds a frame by hand, to state lengths that do not match the content.
std::vector<uint8_t> handFrame(uint16_t count, const std::vector<std::string>& parts) {
    std::vector<uint8_t> f = {
        'X', 'o', 'M', '1', static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8)};
    for (const std::string& p : parts) {
        f.insert(f.end(), p.begin(), p.end());
    }
    return f;
}

std::string u32(uint32_t v) {
    return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 24)};
}

TEST(Wire, RejectsLyingLengthsAndBadFields) {
    const std::string noBody = u32(0);
    const struct {
        const char* what;
        std::vector<uint8_t> frame;
    } cases[] = {
        {"value length beyond the end", handFrame(1, {"\x01"
                                                      "a",
                                                      u32(1000), "xy", noBody})},
        {"huge value length", handFrame(1, {"\x01"
                                            "a",
                                            u32(0xFFFFFFFFu), "xy", noBody})},
        {"body length beyond the end", handFrame(0, {u32(5), "abc"})},
        {"huge body length", handFrame(0, {u32(0xFFFFFFF0u), "abc"})},
        {"more fields than present", handFrame(3, {"\x01"
                                                   "a",
                                                   u32(0), noBody})},
        {"field count over the limit", handFrame(0xFFFF, {noBody})},
        {"empty name", handFrame(1, {std::string("\0", 1), u32(0), noBody})},
        {"NUL in name", handFrame(1, {std::string("\x03"
                                                  "a\0b",
                                                  4),
                                      u32(0), noBody})},
        {"duplicate name", handFrame(2, {"\x01"
                                         "a",
                                         u32(1), "x",
                                         "\x01"
                                         "a",
                                         u32(1), "y", noBody})},
        {"wrong marker", {'X', 'o', 'M', '2', 0, 0, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        XoMsg_ out;
        EXPECT_EQ(decode(c.frame.data(), c.frame.size(), out), XOSYS_E_MALFORMED_MESSAGE) << c.what;
    }
    // The hand-built frames are otherwise right: the same layout decodes.
    const std::vector<uint8_t> good = handFrame(1, {"\x01"
                                                    "a",
                                                    u32(2), "xy", u32(1), "b"});
    XoMsg_ out;
    ASSERT_EQ(decode(good.data(), good.size(), out), 0u);
    EXPECT_EQ(field(out, "a"), "xy");
}

TEST(Wire, SurvivesRandomGarbageAndMutations) {
    XoMsg_ in;
    sample(in);
    std::vector<uint8_t> frame;
    ASSERT_EQ(encode(in, "_XO.c.me.in", frame), 0u);
    std::mt19937 rng(12345);
    int decoded = 0;
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> data = frame;
        if (round % 3 == 0) {
            data.resize(rng() % 64);
            for (uint8_t& b : data) {
                b = static_cast<uint8_t>(rng());
            }
        } else {
            const int flips = 1 + static_cast<int>(rng() % 4);
            for (int i = 0; i < flips; ++i) {
                data[rng() % data.size()] = static_cast<uint8_t>(rng());
            }
        }
        XoMsg_ out;
        const uint32_t rc = decode(data.data(), data.size(), out);
        ASSERT_TRUE(rc == 0 || rc == XOSYS_E_MALFORMED_MESSAGE) << rc;
        if (rc == 0) {
            ++decoded;
            // Whatever decodes re-encodes to the same bytes.
            std::vector<uint8_t> again;
            ASSERT_EQ(encode(out, nullptr, again), 0u);
            EXPECT_EQ(again, data);
        }
    }
    // Mutations inside values keep frames valid, so some must decode.
    EXPECT_GT(decoded, 0);
}

}  // namespace
