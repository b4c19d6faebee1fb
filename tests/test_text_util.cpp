// The shared text helpers: ASCII-only case folding and UTF-8-safe cuts.

#include <gtest/gtest.h>

#include <string>

#include "text_util.h"

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
