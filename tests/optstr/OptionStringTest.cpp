#include "OptionString.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

constexpr int kAbsent = -1;     // the lookup returns null
constexpr int kUntouched = -2;  // *fieldStart is not written

std::string Describe(const std::string& text, const std::string& name) {
    return "text [" + text + "] name [" + name + "]";
}

struct LookupCase {
    const char* text;
    const char* name;
    int valueAt;  // offset of the returned pointer, or kAbsent
    size_t valueLen;
    const char* value;  // what the string form yields
    int fieldAt;        // offset left in *fieldStart, or kUntouched
};

const LookupCase kLookupCases[] = {
    // Plain fields with blanks around "=".
    {"appname = X;host = Y;port = 3001", "port", 28, 4, "3001", 21},
    {"appname = X;host = Y;port = 3001", "host", 19, 1, "Y", 12},
    {"appname = X;host = Y;port = 3001", "appname", 10, 1, "X", 0},
    {" \thost =  y", "host", 10, 1, "y", 0},
    // Trailing blanks belong to the value, leading ones do not.
    {"host = Y ;port=1", "host", 7, 2, "Y ", 0},
    {"a=\t 1\t;b", "a", 4, 2, "1\t", 0},
    // Case is ignored for ASCII letters only; the sought name is trimmed.
    {"HOST=Y", "host", 5, 1, "Y", 0},
    {"host=Y", "HoSt", 5, 1, "Y", 0},
    {"AZ=1", "az", 3, 1, "1", 0},
    {"HOST=Y", " \thost  ", 5, 1, "Y", 0},
    {"[=1", "{", kAbsent, 0, "", 0},
    {"@=1", "`", kAbsent, 0, "", 0},
    {"\xC4=1;a=2", "\xE4", kAbsent, 0, "", 4},
    {"\xC4=1;a=2", "\xC4", 2, 1, "1", 0},
    // Longer names, names followed by more text, shorter text than the name.
    {"hostname=x;host=y", "host", 16, 1, "y", 11},
    {"lrpcq_port = 4001;port = 3001", "port", 25, 4, "3001", 18},
    {"lrpcq_port = 4001;port = 3001", "lrpcq_port", 13, 4, "4001", 0},
    {"host name=1;host=2", "host", 17, 1, "2", 12},
    {"host name=1", "host", kAbsent, 0, "", 0},
    {"ho", "host", kAbsent, 0, "", 0},
    {"hostX", "host", kAbsent, 0, "", 0},
    // Blanks inside a name compare literally.
    {"my key=1", "my key", 7, 1, "1", 0},
    {"my key=1", "my\tkey", kAbsent, 0, "", 0},
    {"my key=1", "my  key", kAbsent, 0, "", 0},
    // Only space and tab are blanks.
    {"a=\n1", "a", 2, 2, "\n1", 0},
    {"\nhost=1", "host", kAbsent, 0, "", 0},
    {"host\n=1", "host", kAbsent, 0, "", 0},
    // Both separators, empty fields and blank-only fields.
    {"a=1;;b=2", "a", 2, 1, "1", 0},
    {"a=1;;b=2", "b", 7, 1, "2", 5},
    {"a=1,b=2", "a", 2, 1, "1", 0},
    {"a=1,b=2", "b", 6, 1, "2", 4},
    {"a=1;b=2", "b", 6, 1, "2", 4},
    {"a=1,b=2;c=3", "c", 10, 1, "3", 8},
    {"a=1; \t ;b=2", "b", 10, 1, "2", 8},
    // Bare names are found only when a separator follows.
    {"flag;a=1", "flag", 4, 0, "", 0},
    {"flag ;a=1", "flag", 5, 0, "", 0},
    {"a=1;flag,b=2", "flag", 8, 0, "", 4},
    {"a=1;flag", "flag", kAbsent, 0, "", 4},
    {"a=1;flag ", "flag", kAbsent, 0, "", 4},
    // Empty values.
    {"host=;port=1", "host", 5, 0, "", 0},
    {"host=", "host", 5, 0, "", 0},
    {"host = ", "host", 7, 0, "", 0},
    // A value may contain "=", and a name inside a value is not a field.
    {"a = x=y", "a", 4, 3, "x=y", 0},
    {"a=b=c;b=2", "b", 8, 1, "2", 6},
    // Duplicates: the first field wins.
    {"host=a;host=b", "host", 5, 1, "a", 0},
    // Empty and blank-only sought names, empty texts.
    {"a=1", "", kAbsent, 0, "", kUntouched},
    {"", "a", kAbsent, 0, "", 0},
    {" \t ", "a", kAbsent, 0, "", 0},
    {"a=1;", "x", kAbsent, 0, "", 4},
    {"a=1;=v", " ", 5, 1, "v", 4},
    {"a=1;;b=2", "\t", 4, 0, "", 4},
    {"a=1;b=2", " ", kAbsent, 0, "", 4},
};

TEST(OptionStringLookup, FindsFieldsAsDescribedInTheTable) {
    for (const LookupCase& c : kLookupCases) {
        SCOPED_TRACE(Describe(c.text, c.name));
        size_t len = 99;
        const char* fieldStart = nullptr;
        const char* found = optstr::GetFldVal(c.text, c.name, &len, &fieldStart);

        if (c.valueAt == kAbsent) {
            EXPECT_EQ(found, nullptr);
        } else {
            ASSERT_NE(found, nullptr);
            EXPECT_EQ(found - c.text, c.valueAt);
            EXPECT_EQ(std::string(found, len), c.value);
        }
        EXPECT_EQ(len, c.valueLen);
        if (c.fieldAt == kUntouched) {
            EXPECT_EQ(fieldStart, nullptr);
        } else {
            ASSERT_NE(fieldStart, nullptr);
            EXPECT_EQ(fieldStart - c.text, c.fieldAt);
        }

        // Without fieldStart the result is the same.
        size_t plainLen = 99;
        EXPECT_EQ(optstr::GetFldVal(c.text, c.name, &plainLen), found);
        EXPECT_EQ(plainLen, c.valueLen);

        // The string form replaces any earlier content.
        std::string value = "stale";
        EXPECT_EQ(optstr::GetFldVal(c.text, c.name, &value), &value);
        EXPECT_EQ(value, c.value);
    }
}

struct IntCase {
    const char* text;
    bool found;
    int value;  // expected when found
};

TEST(OptionStringInt, ConvertsLikeStrtolAndSaturatesAtTheIntLimits) {
    const int kPreset = 4242;
    const IntCase cases[] = {
        {"port = 3001", true, 3001},
        {"port = abc", true, 0},
        {"port = -7", true, -7},
        {"port = 0x10", true, 0},
        {"port=12abc", true, 12},
        {"port=+15 ", true, 15},
        {"port=\n5", true, 5},
        {"port=", false, 0},
        {"port= \t", false, 0},
        {"port;a=1", false, 0},
        {"a=1;port", false, 0},
        {"lrpcq_port=1", false, 0},
        {"port=2147483647", true, INT_MAX},
        {"port=2147483648", true, INT_MAX},
        {"port=4294967297", true, INT_MAX},
        {"port=99999999999999999999999", true, INT_MAX},
        {"port=-2147483648", true, INT_MIN},
        {"port=-2147483649", true, INT_MIN},
        {"port=-4294967295", true, INT_MIN},
        {"port=-99999999999999999999999", true, INT_MIN},
    };
    for (const IntCase& c : cases) {
        SCOPED_TRACE(c.text);
        int value = kPreset;
        EXPECT_EQ(optstr::GetFldInt(c.text, "port", &value), c.found);
        EXPECT_EQ(value, c.found ? c.value : kPreset);
    }
}

TEST(OptionStringAdd, AppendsNameEqualsValueWithSemicolon) {
    struct AddCase {
        const char* text;
        const char* name;
        const char* value;
        const char* expected;
    };
    const AddCase cases[] = {
        {"", "x", "1", "x=1"},          {"a=1", "x", "1", "a=1;x=1"},
        {"a=1;", "x", "1", "a=1;;x=1"}, {"a=1,", "x", "1", "a=1,;x=1"},
        {" ", "x", "", " ;x="},         {"", " my key ", " v ", " my key = v "},
        {"", "a,b", "c;d", "a,b=c;d"},
    };
    for (const AddCase& c : cases) {
        SCOPED_TRACE(Describe(c.text, c.name));
        std::string text = c.text;
        EXPECT_EQ(optstr::AddFld(&text, c.name, c.value), &text);
        EXPECT_EQ(text, c.expected);
    }
}

TEST(OptionStringAdd, AddedFieldsAreFoundAndEarlierDuplicatesStayInForce) {
    std::string text = "a=1;";
    optstr::AddFld(&text, "x", "2");
    optstr::AddFld(&text, "x", "3");
    std::string value;
    EXPECT_EQ(*optstr::GetFldVal(text.c_str(), "a", &value), "1");
    EXPECT_EQ(*optstr::GetFldVal(text.c_str(), "x", &value), "2");
}

TEST(OptionStringRemove, ErasesTheFieldItsLeadingBlanksAndTheSeparatorAfterIt) {
    struct RemoveCase {
        const char* text;
        const char* name;
        const char* remaining;
        const char* value;
    };
    const RemoveCase cases[] = {
        {"a=1;b=2;d=3", "b", "a=1;d=3", "2"},
        {"a=1;b=2", "a", "b=2", "1"},
        {"a=1;b=2", "b", "a=1;", "2"},
        {"a=1; b=2, d=3", "b", "a=1; d=3", "2"},
        {"a=1;flag;b=2", "flag", "a=1;b=2", ""},
        {"a = 1 ;b=2", "A", "b=2", "1 "},
        {"a=;b=2", "a", "b=2", ""},
        {"a=1;", "a", "", "1"},
        {"a=1", "a", "", "1"},
        {"a=1;;b=2", " ", "a=1;b=2", ""},
        {"hostname=1;host=2;x=3", "host", "hostname=1;x=3", "2"},
        // Absent fields leave the text unchanged.
        {"a=1", "x", "a=1", ""},
        {"a=1;flag", "flag", "a=1;flag", ""},
        {"a=1", "", "a=1", ""},
        {"", "a", "", ""},
    };
    for (const RemoveCase& c : cases) {
        SCOPED_TRACE(Describe(c.text, c.name));
        std::string text = c.text;
        std::string value = "stale";
        optstr::RemoveFld(&text, c.name, &value);
        EXPECT_EQ(text, c.remaining);
        EXPECT_EQ(value, c.value);
    }
}

TEST(OptionStringRemove, RemovesOnlyTheFirstOfDuplicates) {
    std::string text = "host=a;host=b";
    std::string value;
    optstr::RemoveFld(&text, "host", &value);
    EXPECT_EQ(text, "host=b");
    EXPECT_EQ(value, "a");
    EXPECT_EQ(*optstr::GetFldVal(text.c_str(), "host", &value), "b");
    optstr::RemoveFld(&text, "host", &value);
    EXPECT_EQ(text, "");
    EXPECT_EQ(value, "b");
}

TEST(OptionStringInternals, TrimmedLenDropsOnlyTrailingSetCharacters) {
    using optstr::detail::kBlanks;
    using optstr::detail::TrimmedLen;
    EXPECT_EQ(TrimmedLen("abc \t ", kBlanks), 3u);
    EXPECT_EQ(TrimmedLen(" \tabc", kBlanks), 5u);
    EXPECT_EQ(TrimmedLen("a b", kBlanks), 3u);
    EXPECT_EQ(TrimmedLen("a\n", kBlanks), 2u);
    EXPECT_EQ(TrimmedLen("", kBlanks), 0u);
    EXPECT_EQ(TrimmedLen(" \t ", kBlanks), 0u);
    EXPECT_EQ(TrimmedLen("abc", ""), 3u);
    EXPECT_EQ(TrimmedLen("a;,;", optstr::detail::kSeparators), 1u);
}

TEST(OptionStringInternals, TrimFldNameSkipsLeadingAndMeasuresWithoutTrailingBlanks) {
    struct TrimCase {
        const char* name;
        int at;
        size_t len;
    };
    const TrimCase cases[] = {
        {"host", 0, 4}, {" \thost \t", 2, 4}, {"my key ", 0, 6}, {"", 0, 0}, {" \t ", 3, 0},
    };
    for (const TrimCase& c : cases) {
        SCOPED_TRACE(std::string("name [") + c.name + "]");
        size_t len = 99;
        const char* trimmed = optstr::detail::TrimFldName(c.name, &len);
        EXPECT_EQ(trimmed - c.name, c.at);
        EXPECT_EQ(len, c.len);
        if (c.len == 0) {
            EXPECT_EQ(*trimmed, '\0');
        }
    }
}

}  // namespace
