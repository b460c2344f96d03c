// Message properties and the binary composer.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <string>

#include "Composer.h"
#include "Message.h"
#include "XoSysCodes.h"

namespace {

std::string field(const XoMsg_& m, const char* name) {
    const uint8_t* v = nullptr;
    size_t n = 0;
    if (!m.getField(name, std::strlen(name), &v, &n)) {
        return "<absent>";
    }
    return std::string(reinterpret_cast<const char*>(v), n);
}

uint32_t set(XoMsg_& m, const char* name, const std::string& value) {
    return m.setField(name, std::strlen(name), value.data(), value.size());
}

TEST(Message, SetsReplacesAndKeepsOrder) {
    XoMsg_ m;
    ASSERT_EQ(set(m, "Xo_To", "addr"), 0u);
    ASSERT_EQ(set(m, "Xo_Category", "long category text"), 0u);
    ASSERT_EQ(set(m, "Xo_Type", std::string("\x06\0\0\0", 4)), 0u);
    EXPECT_EQ(field(m, "Xo_Category"), "long category text");
    // Shorter and longer replacements both read back exactly.
    ASSERT_EQ(set(m, "Xo_Category", "short"), 0u);
    EXPECT_EQ(field(m, "Xo_Category"), "short");
    ASSERT_EQ(set(m, "Xo_Category", std::string(500, 'z')), 0u);
    EXPECT_EQ(field(m, "Xo_Category"), std::string(500, 'z'));
    EXPECT_EQ(field(m, "Xo_To"), "addr");
    EXPECT_EQ(field(m, "Xo_Type"), std::string("\x06\0\0\0", 4));
    // Names are exact: no case folding, no prefix match.
    EXPECT_EQ(field(m, "xo_to"), "<absent>");
    EXPECT_EQ(field(m, "Xo_T"), "<absent>");
    ASSERT_EQ(m.fieldCount(), 3u);
    const char* name = nullptr;
    size_t nameLen = 0;
    const uint8_t* v = nullptr;
    size_t n = 0;
    m.fieldAt(0, &name, &nameLen, &v, &n);
    EXPECT_EQ(std::string(name, nameLen), "Xo_To");
}

TEST(Message, EveryValueReadsAsTextWithoutRunningOff) {
    XoMsg_ m;
    // Binary value without NUL: a hidden NUL follows it in storage.
    ASSERT_EQ(set(m, "bin", "abc"), 0u);
    const uint8_t* v = nullptr;
    size_t n = 0;
    ASSERT_TRUE(m.getField("bin", 3, &v, &n));
    EXPECT_EQ(n, 3u);
    EXPECT_STREQ(reinterpret_cast<const char*>(v), "abc");
    // The body too, also before one was set.
    EXPECT_EQ(m.bodySize(), 0u);
    EXPECT_STREQ(reinterpret_cast<const char*>(m.body()), "");
    ASSERT_EQ(m.setBody("xyz", 3), 0u);
    EXPECT_STREQ(reinterpret_cast<const char*>(m.body()), "xyz");
}

TEST(Message, RejectsBadNamesAndSizes) {
    XoMsg_ m;
    EXPECT_EQ(m.setField("", 0, "v", 1), XOSYS_E_FIELD_NAME);
    const std::string longName(256, 'n');
    EXPECT_EQ(m.setField(longName.data(), longName.size(), "v", 1), XOSYS_E_FIELD_NAME);
    EXPECT_EQ(m.setField(longName.data(), 255, "v", 1), 0u);
    EXPECT_EQ(m.setField("a\0b", 3, "v", 1), XOSYS_E_FIELD_NAME);
    EXPECT_EQ(m.setField("n", 1, nullptr, 5), XOSYS_E_INVALID_ARG);
    EXPECT_EQ(m.setField("empty", 5, nullptr, 0), 0u);
    EXPECT_EQ(field(m, "empty"), "");
    EXPECT_EQ(m.setField("big", 3, "x", XoMsg_::kMaxValueSize + 1), XOSYS_E_TOO_LARGE);
    EXPECT_EQ(m.setBody(nullptr, 1), XOSYS_E_INVALID_ARG);
    EXPECT_EQ(m.setBody("x", XoMsg_::kMaxBodySize + 1), XOSYS_E_TOO_LARGE);
}

TEST(Message, LimitsTheNumberOfProperties) {
    XoMsg_ m;
    for (size_t i = 0; i < XoMsg_::kMaxFields; ++i) {
        const std::string name = "f" + std::to_string(i);
        ASSERT_EQ(set(m, name.c_str(), "v"), 0u) << i;
    }
    EXPECT_EQ(set(m, "one_more", "v"), XOSYS_E_TOO_LARGE);
    // Replacing an existing one still works at the limit.
    EXPECT_EQ(set(m, "f7", "new"), 0u);
    EXPECT_EQ(field(m, "f7"), "new");
}

TEST(Message, CopiesFromItsOwnStorageSafely) {
    XoMsg_ m;
    ASSERT_EQ(set(m, "a", std::string(100, 'a')), 0u);
    const uint8_t* v = nullptr;
    size_t n = 0;
    ASSERT_TRUE(m.getField("a", 1, &v, &n));
    // Growing the arena while reading from it must not read freed memory.
    for (int i = 0; i < 20; ++i) {
        const std::string name = "copy" + std::to_string(i);
        ASSERT_TRUE(m.getField("a", 1, &v, &n));
        ASSERT_EQ(m.setField(name.c_str(), name.size(), v, n), 0u);
    }
    EXPECT_EQ(field(m, "copy19"), std::string(100, 'a'));
    ASSERT_EQ(m.setBody("0123456789", 10), 0u);
    ASSERT_EQ(m.setBody(m.body() + 2, 5), 0u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.body()), m.bodySize()), "23456");
}

TEST(Message, RepeatedGrowingValuesDoNotPileUp) {
    XoMsg_ m;
    ASSERT_EQ(set(m, "keep", "k"), 0u);
    for (size_t size = 1; size < 3000; size += 7) {
        ASSERT_EQ(set(m, "grow", std::string(size, 'g')), 0u);
    }
    EXPECT_EQ(field(m, "grow").size(), 2997u);
    EXPECT_EQ(field(m, "keep"), "k");
    // Old values are reclaimed instead of growing the arena without bound.
    EXPECT_LT(m.wastedBytes(), 3u * 4096u);
}

// Calls compose with a va_list, as the C entry point does.
uint32_t compose(XoComposer_& c, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const uint32_t rc = c.compose(format, args);
    va_end(args);
    return rc;
}

std::string bytes(const XoComposer_& c) {
    return std::string(reinterpret_cast<const char*>(c.data()), c.size());
}

TEST(Composer, PacksTheRequestBodyWithoutPadding) {
    XoComposer_ c;
    ASSERT_EQ(compose(c, "c4i4c3c4c17c10", "ABCD", 12, "001", "VUZA", "", "3"), 0u);
    const std::string expected = std::string("ABCD") + std::string("\x0c\0\0\0", 4) + "001" +
                                 "VUZA" + std::string(17, '\0') + "3" + std::string(9, '\0');
    EXPECT_EQ(c.size(), 42u);
    EXPECT_EQ(bytes(c), expected);
}

TEST(Composer, WritesLittleEndianIntegersOfEachWidth) {
    XoComposer_ c;
    ASSERT_EQ(
        compose(c, "i1i2i4i8", 0xAB, -2, 0x01020304, static_cast<int64_t>(-0x0102030405060708LL)),
        0u);
    const std::string expected = std::string("\xAB", 1) + std::string("\xFE\xFF", 2) +
                                 std::string("\x04\x03\x02\x01", 4) +
                                 std::string("\xF8\xF8\xF9\xFA\xFB\xFC\xFD\xFE", 8);
    EXPECT_EQ(bytes(c), expected);
    // Successive calls append.
    ASSERT_EQ(compose(c, "c2", "z"), 0u);
    EXPECT_EQ(c.size(), 17u);
}

TEST(Composer, RefusesBadFormatsWithoutTouchingTheBuffer) {
    XoComposer_ c;
    ASSERT_EQ(compose(c, "c2", "ok"), 0u);
    for (const char* bad : {"x4", "c", "c0", "c04", "i3", "i16", "i", "c4 i4", "C4", "c65536",
                            "c99999999999", "i4c"}) {
        EXPECT_EQ(compose(c, bad, "ABCD", 1, 2), XOSYS_E_COMPOSE_FORMAT) << bad;
    }
    EXPECT_EQ(compose(c, nullptr), XOSYS_E_INVALID_ARG);
    EXPECT_EQ(bytes(c), "ok");
    EXPECT_EQ(compose(c, ""), 0u);
    EXPECT_EQ(bytes(c), "ok");
}

TEST(Composer, RefusesValuesThatDoNotFit) {
    XoComposer_ c;
    EXPECT_EQ(compose(c, "c3", "ABCD"), XOSYS_E_COMPOSE_VALUE);
    EXPECT_EQ(compose(c, "i4c3", 1, static_cast<const char*>(nullptr)), XOSYS_E_COMPOSE_VALUE);
    EXPECT_EQ(compose(c, "i1", 256), XOSYS_E_COMPOSE_VALUE);
    EXPECT_EQ(compose(c, "i1", -129), XOSYS_E_COMPOSE_VALUE);
    EXPECT_EQ(compose(c, "i2", 65536), XOSYS_E_COMPOSE_VALUE);
    // A failure part-way leaves nothing of the earlier items behind.
    EXPECT_EQ(c.size(), 0u);
    // The edges do fit: exactly n characters (no NUL) and the width's range.
    ASSERT_EQ(compose(c, "c3i1i1i2", "ABC", 255, -128, 65535), 0u);
    EXPECT_EQ(bytes(c), std::string("ABC\xFF\x80\xFF\xFF", 7));
}

TEST(Composer, HandlesManyItems) {
    // More items than the inline item table holds.
    std::string format;
    for (int i = 0; i < 40; ++i) {
        format += "i1";
    }
    XoComposer_ c;
    ASSERT_EQ(compose(c, format.c_str(), 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17,
                      18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36,
                      37, 38, 39, 40),
              0u);
    ASSERT_EQ(c.size(), 40u);
    EXPECT_EQ(c.data()[0], 1);
    EXPECT_EQ(c.data()[39], 40);
}

}  // namespace
