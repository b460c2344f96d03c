// The INI reader: syntax, case, trimming, line ends, long lines, errors
// with line numbers and duplicates.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "IniData.h"
#include "XoSysCodes.h"

namespace {

struct Parsed {
    xosys::IniData data;
    uint32_t rc = 0;
    size_t line = 0;
    std::string error;
    std::vector<std::string> warnings;
};

void parse(const std::string& text, Parsed& p) {
    p.rc = p.data.parse(text, &p.line, &p.error, &p.warnings);
}

std::string value(const Parsed& p, const char* section, const char* key) {
    const std::string* v = p.data.find(section, key);
    return v != nullptr ? *v : std::string("<absent>");
}

TEST(IniData, ReadsSectionsKeysAndSkipsComments) {
    Parsed p;
    parse(
        "; leading comment\n"
        "# another comment\n"
        "\n"
        "[options:ap]\n"
        "sendAmount = 100\n"
        "  toServiceName=bench  \n"
        "\t; indented comment\n"
        "[options:mq]\n"
        "connect = appname = x; host = h;port=1\n",
        p);
    ASSERT_EQ(p.rc, 0u) << p.error;
    EXPECT_EQ(value(p, "options:ap", "sendAmount"), "100");
    EXPECT_EQ(value(p, "options:ap", "toServiceName"), "bench");
    // A value keeps its ";" and inner blanks; only its ends are trimmed.
    EXPECT_EQ(value(p, "options:mq", "connect"), "appname = x; host = h;port=1");
    EXPECT_EQ(value(p, "options:mq", "sendAmount"), "<absent>");
    EXPECT_EQ(value(p, "nosuch", "sendAmount"), "<absent>");
    EXPECT_TRUE(p.warnings.empty());
}

TEST(IniData, MatchesSectionAndKeyIgnoringCase) {
    Parsed p;
    parse("[Options:AP]\nSendAmount = 7\n", p);
    ASSERT_EQ(p.rc, 0u);
    EXPECT_EQ(value(p, "options:ap", "sendamount"), "7");
    EXPECT_EQ(value(p, "OPTIONS:AP", "SENDAMOUNT"), "7");
    // The value itself keeps its case.
    parse("[s]\nk = MixedCase\n", p);
    EXPECT_EQ(value(p, "S", "K"), "MixedCase");
}

TEST(IniData, AcceptsCrlfBomEmptyValuesAndEmptyFile) {
    Parsed p;
    parse("\xEF\xBB\xBF[s]\r\nk = v\r\nempty =\r\nlast = x", p);
    ASSERT_EQ(p.rc, 0u) << p.error;
    EXPECT_EQ(value(p, "s", "k"), "v");  // no stray '\r'
    EXPECT_EQ(value(p, "s", "empty"), "");
    EXPECT_EQ(value(p, "s", "last"), "x");  // last line without line end

    Parsed empty;
    parse("", empty);
    EXPECT_EQ(empty.rc, 0u);
    EXPECT_EQ(value(empty, "s", "k"), "<absent>");
}

TEST(IniData, KeepsLongValuesWhole) {
    const std::string connect(1023, 'c');
    const std::string huge(100 * 1024, 'h');
    Parsed p;
    parse("[options:mq]\nconnect = " + connect + "\nhuge=" + huge + "\nafter = 1\n", p);
    ASSERT_EQ(p.rc, 0u);
    EXPECT_EQ(value(p, "options:mq", "connect"), connect);
    EXPECT_EQ(value(p, "options:mq", "huge"), huge);
    EXPECT_EQ(value(p, "options:mq", "after"), "1");
}

TEST(IniData, RejectsMalformedLinesWithTheirLineNumber) {
    const struct {
        const char* text;
        size_t line;
    } cases[] = {
        {"[s]\nk = v\nno equals sign here\n", 3},
        {"[s\nk = v\n", 1},
        {"[s]\n[]\n", 2},
        {"[s] trailing\n", 1},
        {"k = v\n[s]\n", 1},  // key before any section
        {"[s]\n = v\n", 2},   // empty key
        {"[s]\r\nk = v\r\n\r\nbad\r\n", 4},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        Parsed p;
        parse(cases[i].text, p);
        EXPECT_EQ(p.rc, XOSYS_E_INI_SYNTAX) << cases[i].text;
        EXPECT_EQ(p.line, cases[i].line) << cases[i].text;
        EXPECT_FALSE(p.error.empty());
        // A failed parse leaves nothing behind.
        EXPECT_TRUE(p.data.keys("s").empty());
    }
    Parsed nul;
    parse(std::string("[s]\nk = a\0b\n", 12), nul);
    EXPECT_EQ(nul.rc, XOSYS_E_INI_SYNTAX);
    EXPECT_EQ(nul.line, 2u);
}

TEST(IniData, SectionHeaderMayCarryAComment) {
    Parsed p;
    parse("[ s ] ; the s section\nk=1\n", p);
    ASSERT_EQ(p.rc, 0u) << p.error;
    EXPECT_EQ(value(p, "s", "k"), "1");
}

TEST(IniData, FirstDuplicateKeyWinsAndSectionsMerge) {
    Parsed p;
    parse("[s]\nk = first\n[t]\nx = 1\n[S]\nK = second\nother = 2\n", p);
    ASSERT_EQ(p.rc, 0u);
    EXPECT_EQ(value(p, "s", "k"), "first");
    EXPECT_EQ(value(p, "s", "other"), "2");
    ASSERT_EQ(p.warnings.size(), 1u);
    // The warning names the ignored line and the line whose value stays.
    EXPECT_NE(p.warnings[0].find("line 6"), std::string::npos) << p.warnings[0];
    EXPECT_NE(p.warnings[0].find("line 2"), std::string::npos) << p.warnings[0];
    EXPECT_EQ(p.data.keys("s"), (std::vector<std::string>{"k", "other"}));
}

TEST(ParseInt32, AcceptsWholeNumbersOnly) {
    int32_t v = 0;
    EXPECT_TRUE(xosys::parseInt32("0", &v));
    EXPECT_EQ(v, 0);
    EXPECT_TRUE(xosys::parseInt32(" -17 ", &v));
    EXPECT_EQ(v, -17);
    EXPECT_TRUE(xosys::parseInt32("+42", &v));
    EXPECT_EQ(v, 42);
    EXPECT_TRUE(xosys::parseInt32("2147483647", &v));
    EXPECT_EQ(v, 2147483647);
    EXPECT_TRUE(xosys::parseInt32("-2147483648", &v));
    EXPECT_EQ(v, INT32_MIN);

    v = 99;
    for (const char* bad : {"", " ", "-", "+", "12abc", "abc", "1 2", "0x10", "1.5", "1e3",
                            "2147483648", "-2147483649", "99999999999999999999", "--1"}) {
        EXPECT_FALSE(xosys::parseInt32(bad, &v)) << bad;
        EXPECT_EQ(v, 99) << "untouched on failure: " << bad;
    }
}

}  // namespace
