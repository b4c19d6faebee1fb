// The shared text helpers: ASCII-only case folding, and UTF-8 checks, repairs,
// counts and cuts.

#include <gtest/gtest.h>

#include <string>

#include "text_util.h"
#include "utf8.h"

namespace {

TEST(TextUtil, CaseFoldingChangesOnlyAToZ) {
    struct Case {
        std::string in, folded;
    };
    const Case cases[] = {
        {"", ""},
        {"AbC_xyZ09", "abc_xyz09"},
        {"@[`{", "@[`{"},                          // the neighbours of A-Z and a-z
        {"\xC3\x84\xC3\xA4", "\xC3\x84\xC3\xA4"},  // Ä ä stay as they are
        {"\xC4\xB0", "\xC4\xB0"},                  // İ is not folded to an i
        {std::string("A\0B", 3), std::string("a\0b", 3)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(foldAsciiCase(c.in), c.folded) << c.in;
        EXPECT_EQ(hasUpperAscii(c.in), c.in != c.folded) << c.in;
    }
    EXPECT_TRUE(equalsIgnoringAsciiCase("NuLl", "null"));
    EXPECT_TRUE(equalsIgnoringAsciiCase("TRUE", "true"));
    EXPECT_FALSE(equalsIgnoringAsciiCase("nul", "null"));
    EXPECT_FALSE(equalsIgnoringAsciiCase("nullx", "null"));
    EXPECT_FALSE(equalsIgnoringAsciiCase("\xC3\xA4", "\xC3\x84"));
    EXPECT_TRUE(equalsIgnoringAsciiCase(std::string("Tank_1"), std::string("tANK_1")));
    EXPECT_FALSE(equalsIgnoringAsciiCase(std::string("tank"), std::string("tanks")));
    EXPECT_EQ(upperAsciiCase('q'), 'Q');
    EXPECT_EQ(upperAsciiCase('{'), '{');
    EXPECT_EQ(upperAsciiCase('Q'), 'Q');
    EXPECT_EQ(upperAsciiCase(std::string("decimal(10,2) \xC3\xA4")), "DECIMAL(10,2) \xC3\xA4");
    EXPECT_EQ(countOf(0, "value", "values"), "0 values");
    EXPECT_EQ(countOf(1, "value", "values"), "1 value");
    EXPECT_EQ(countOf(2, "reading is", "readings are"), "2 readings are");
}

TEST(TextUtil, ContainsIgnoringCaseFindsTheNeedleAnywhere) {
    EXPECT_TRUE(containsIgnoringAsciiCase("timestamp_ntz", "TIMESTAMP"));
    EXPECT_TRUE(containsIgnoringAsciiCase("map<string,int>", "INT"));  // at the very end
    EXPECT_TRUE(containsIgnoringAsciiCase("Double precision", "double"));
    EXPECT_TRUE(containsIgnoringAsciiCase("x", ""));
    EXPECT_FALSE(containsIgnoringAsciiCase("in", "INT"));  // longer than the text
    EXPECT_FALSE(containsIgnoringAsciiCase("varchar", "VARCHAR2"));
    EXPECT_FALSE(containsIgnoringAsciiCase("\xC3\x84", "\xC3\xA4"));  // only A to Z fold
}

TEST(Utf8, ChecksRepairsAndCountsCharacters) {
    struct Case {
        std::string in;
        bool valid;
        std::string repaired;
        size_t characters;
    };
    const std::string bad = "\xEF\xBF\xBD";
    const Case cases[] = {
        {"", true, "", 0},
        {"plain ascii text", true, "plain ascii text", 16},
        {"\xC3\xA4\xE2\x82\xAC\xF0\x9D\x84\x9E", true, "\xC3\xA4\xE2\x82\xAC\xF0\x9D\x84\x9E", 3},
        {"a\xFFz", false, "a" + bad + "z", 3},
        {"\xC0\xAF", false, bad + bad, 1},                      // overlong
        {"\xED\xA0\x80", false, bad + bad + bad, 1},            // a surrogate
        {"\xF4\x90\x80\x80", false, bad + bad + bad + bad, 1},  // above U+10FFFF
        {"ab\xE2\x82", false, "ab" + bad + bad, 3},             // cut short
    };
    for (const Case& c : cases) {
        EXPECT_EQ(isUtf8(c.in), c.valid) << c.in;
        EXPECT_EQ(utf8Repaired(c.in), c.repaired) << c.in;
        EXPECT_EQ(utf8Length(c.in), c.characters) << c.in;
    }
    const std::string text = "a\xC3\xA4\xE2\x82\xAC!";
    EXPECT_EQ(utf8PrefixBytes(text, 0), 0u);
    EXPECT_EQ(utf8PrefixBytes(text, 2), 3u);
    EXPECT_EQ(utf8PrefixBytes(text, 3), 6u);
    EXPECT_EQ(utf8PrefixBytes(text, 9), text.size());
}

TEST(TextUtil, CutNeverSplitsACharacter) {
    struct Case {
        std::string in;
        size_t maxBytes;
        std::string out;
    };
    const std::string euro = "\xE2\x82\xAC";      // three bytes
    const std::string clef = "\xF0\x9D\x84\x9E";  // four bytes
    const Case cases[] = {
        {"abc", 0, ""},
        {"abc", 3, "abc"},  // exactly the limit
        {"abc", 9, "abc"},  // under it
        {"abcd", 3, "abc"},
        {"a\xC3\xA4z", 1, "a"},  // inside a two-byte character
        {"a\xC3\xA4z", 2, "a"},
        {"a\xC3\xA4z", 3, "a\xC3\xA4"},  // the character ends at the limit
        {"a" + euro + "z", 2, "a"},
        {"a" + euro + "z", 3, "a"},
        {"a" + euro + "z", 4, "a" + euro},
        {"a" + clef + "z", 2, "a"},
        {"a" + clef + "z", 4, "a"},
        {"a" + clef + "z", 5, "a" + clef},
        {clef + clef, 7, clef},
        {clef, 0, ""},
        // Bytes that are not UTF-8 are cut like single bytes.
        {std::string(8, '\x80'), 5, std::string(5, '\x80')},
        {"ab\xFF\xFE", 3, "ab\xFF"},
    };
    for (const Case& c : cases) {
        std::string text = c.in;
        cutUtf8(text, c.maxBytes);
        EXPECT_EQ(text, c.out) << c.in << " at " << c.maxBytes;
        EXPECT_EQ(utf8CutPoint(c.in.data(), c.in.size(), c.maxBytes), c.out.size());
    }
}

TEST(TextUtil, AlreadyCutTextLosesOnlyAnIncompleteLastCharacter) {
    struct Case {
        std::string in;
        size_t length;
    };
    const Case cases[] = {
        {"", 0},
        {"abc", 3},
        {"a\xC3", 1},                 // two-byte lead alone
        {"a\xC3\xA4", 3},             // complete
        {"a\xE2\x82", 1},             // three-byte character missing one byte
        {"a\xE2\x82\xAC", 4},         // complete
        {"a\xF0\x9D\x84", 1},         // four-byte character missing one byte
        {"a\xF0\x9D\x84\x9E", 5},     // complete
        {"a\xE9", 1},                 // Latin-1 é looks like a lead: dropped
        {"a\xFF", 2},                 // not UTF-8: kept
        {std::string(5, '\x80'), 5},  // continuation bytes only: kept
    };
    for (const Case& c : cases)
        EXPECT_EQ(utf8CompleteLength(c.in.data(), c.in.size()), c.length) << c.in;
}

}  // namespace
