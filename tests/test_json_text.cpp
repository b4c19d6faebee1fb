// JSON made ready for parse_json: repeated keys resolved as JSON.parse does
// (last value, first position) at any depth, documents without repeats handed
// back unchanged, numbers and strings kept, non-JSON refused, deep nesting
// handled; and JSON string values written for any bytes.

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <rapidjson/memorystream.h>

#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "json_text.h"

namespace {

struct RewriteCase {
    const char* name;
    std::string input;
    std::string expected;
};

TEST(UniqueKeyJson, LastValueWinsAtFirstPosition) {
    const RewriteCase cases[] = {
        {"top level", R"({"a":1,"b":2,"a":3})", R"({"a":3,"b":2})"},
        {"three times", R"({"a":1,"b":2,"a":3,"c":4,"a":5})", R"({"a":5,"b":2,"c":4})"},
        {"nested object", R"({"x":{"k":1,"k":2},"y":0})", R"({"x":{"k":2},"y":0})"},
        {"inside array", R"([{"k":1,"k":[1,2]},{"k":3}])", R"([{"k":[1,2]},{"k":3}])"},
        {"replaced value holds a repeat", R"({"a":{"x":1,"x":2},"a":7})", R"({"a":7})"},
        {"replacing value holds a repeat", R"({"a":7,"b":0,"a":{"x":1,"x":2}})",
         R"({"a":{"x":2},"b":0})"},
        {"same key at other levels stays", R"({"a":{"a":1,"a":2},"b":[{"a":3}]})",
         R"({"a":{"a":2},"b":[{"a":3}]})"},
        {"keys compared decoded", R"({"a":1,"\u0061":2})", R"({"a":2})"},
        {"blanks dropped when rebuilt", "{ \"a\" : [ 1 , 2 ] ,\n \"a\" : null }", R"({"a":null})"},
        {"literals", R"({"t":true,"f":false,"n":null,"t":false})",
         R"({"t":false,"f":false,"n":null})"},
        {"numbers as written",
         R"({"n":0,"n":12345678901234567890,"d":1.0000000000000000001,"z":-0.0,"e":1E+300,"d":2.50e-3})",
         R"({"n":12345678901234567890,"d":2.50e-3,"z":-0.0,"e":1E+300})"},
        {"escapes", R"({"s":1,"s":"a\"b\\c\u0000d\n\t\u001f\/\u00e9"})",
         "{\"s\":\"a\\\"b\\\\c\\u0000d\\n\\t\\u001f/\xC3\xA9\"}"},
        {"unicode", "{\"s\":\"\\ud83d\\ude00 \xC3\xBC\",\"s\":\"\xF0\x9F\x98\x80 \\u00fc\"}",
         "{\"s\":\"\xF0\x9F\x98\x80 \xC3\xBC\"}"},
        {"empty containers", R"({"a":{},"b":[],"a":[]})", R"({"a":[],"b":[]})"},
        {"empty key", R"({"":1,"":2})", R"({"":2})"},
    };
    for (const RewriteCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(jsonHasDuplicateKeys(c.input));
        std::string out = "old";
        ASSERT_TRUE(uniqueKeyJson(c.input, &out));
        EXPECT_EQ(out, c.expected);
        EXPECT_FALSE(jsonHasDuplicateKeys(out));
    }
}

TEST(UniqueKeyJson, DocumentsWithoutRepeatsComeBackUnchanged) {
    const std::string cases[] = {
        R"({"a":1,"b":{"c":2}})",
        "{ \"a\" : 1 ,\n\t\"b\" : [ 1.50 , 2E3 ] }",
        R"({"a":{"a":1},"b":{"a":2}})",
        R"([{"a":1},{"a":2}])",
        R"({"a":"a","A":1,"a ":2})",
        R"([1,2,"x"])",
        R"("just a string")",
        "12345678901234567890.000000000000000000001",
        "null",
        "{}",
        R"({"s":"\u0000\ud83d\ude00"})",
    };
    for (const std::string& json : cases) {
        SCOPED_TRACE(json);
        EXPECT_FALSE(jsonHasDuplicateKeys(json));
        std::string out;
        ASSERT_TRUE(uniqueKeyJson(json, &out));
        EXPECT_EQ(out, json);
    }
}

TEST(UniqueKeyJson, RefusesTextThatIsNotOneDocument) {
    const std::string cases[] = {
        "",
        " ",
        "{",
        R"({"a":1,})",
        R"({"a" 1})",
        R"({"a":1,"a":2)",
        R"({"a":1,"a":2} x)",
        "{} {}",
        "[1,2",
        "nul",
        "{'a':1}",
        R"({a:1})",
        R"("\ud800")",
        R"("\x")",
        "[1E+400]",  // beyond a double: the reader refuses it
        "\"tab\tinside\"",
        std::string("{\"a\":1}\0", 8),
        std::string("{\"a\":1,\"a\":2}\0{}", 16),
        std::string("\"a\0b\"", 5),
    };
    for (const std::string& json : cases) {
        SCOPED_TRACE(json);
        EXPECT_FALSE(jsonHasDuplicateKeys(json));
        std::string out = "untouched";
        EXPECT_FALSE(uniqueKeyJson(json, &out));
        EXPECT_EQ(out, "untouched");
    }
}

TEST(UniqueKeyJson, ManyKeysWithRepeats) {
    // Large objects look keys up by hash; the outcome must be the same.
    std::string input = "{";
    std::string expected = "{";
    for (int i = 0; i < 200; ++i) {
        const std::string member = "\"k" + std::to_string(i) + "\":";
        input += member + std::to_string(i) + ",";
        expected += member + (i == 3 ? "\"last3\"" : i == 150 ? "\"last150\"" : std::to_string(i));
        expected += i < 199 ? "," : "}";
    }
    input += R"("k150":"first150","k3":"last3","k150":"last150"})";
    EXPECT_TRUE(jsonHasDuplicateKeys(input));
    std::string out;
    ASSERT_TRUE(uniqueKeyJson(input, &out));
    EXPECT_EQ(out, expected);

    std::string unique = expected;
    EXPECT_FALSE(jsonHasDuplicateKeys(unique));
    unique.insert(1, R"("k199":0,)");  // a repeat found by hash, far from its twin
    EXPECT_TRUE(jsonHasDuplicateKeys(unique));
}

TEST(UniqueKeyJson, DeepNestingNeitherCrashesNorIsCut) {
    const int depth = 100000;
    std::string arrays = std::string(depth, '[') + std::string(depth, ']');
    std::string out;
    EXPECT_FALSE(jsonHasDuplicateKeys(arrays));
    ASSERT_TRUE(uniqueKeyJson(arrays, &out));
    EXPECT_EQ(out, arrays);

    // Objects nested as deep, with a repeat at the bottom, inside the value
    // that a repeat at the top replaces as a whole.
    std::string objects;
    for (int i = 0; i < depth; ++i)
        objects += R"({"a":)";
    objects += R"({"b":1,"b":2})";
    objects += std::string(depth - 1, '}');
    const std::string topRepeat = R"(,"a":[0,{"c":1,"c":2}]})";
    EXPECT_TRUE(jsonHasDuplicateKeys(objects + topRepeat));
    ASSERT_TRUE(uniqueKeyJson(objects + topRepeat, &out));
    EXPECT_EQ(out, R"({"a":[0,{"c":2}]})");

    // The repeat at the bottom alone keeps the whole depth.
    objects += '}';
    std::string expected;
    for (int i = 0; i < depth; ++i)
        expected += R"({"a":)";
    expected += R"({"b":2})" + std::string(depth, '}');
    EXPECT_TRUE(jsonHasDuplicateKeys(objects));
    out.clear();
    ASSERT_TRUE(uniqueKeyJson(objects, &out));
    EXPECT_EQ(out, expected);
}

// A random document with repeated keys, and what JSON.parse would make of it.
void randomValue(std::mt19937& random, int depth, std::string& input, std::string& expected) {
    const int kind = static_cast<int>(random() % (depth > 3 ? 3 : 5));
    if (kind == 0) {
        const std::string number = std::to_string(random() % 1000) + ".50";
        input += number;
        expected += number;
    } else if (kind == 1) {
        input += "\"\\u0041\\n\"";
        expected += "\"A\\n\"";
    } else if (kind == 2) {
        input += "null";
        expected += "null";
    } else if (kind == 3) {
        input += '[';
        expected += '[';
        const int count = static_cast<int>(random() % 4);
        for (int i = 0; i < count; ++i) {
            if (i > 0) {
                input += ',';
                expected += ',';
            }
            randomValue(random, depth + 1, input, expected);
        }
        input += ']';
        expected += ']';
    } else {
        std::vector<std::string> order;
        std::map<std::string, std::string> last;
        input += '{';
        const int count = static_cast<int>(random() % 6);
        for (int i = 0; i < count; ++i) {
            const std::string key(1, static_cast<char>('a' + random() % 3));
            input += (i > 0 ? ",\"" : "\"") + key + "\":";
            std::string value;
            randomValue(random, depth + 1, input, value);
            if (last.find(key) == last.end())
                order.push_back(key);
            last[key] = value;
        }
        input += '}';
        expected += '{';
        for (size_t i = 0; i < order.size(); ++i)
            expected += (i > 0 ? ",\"" : "\"") + order[i] + "\":" + last[order[i]];
        expected += '}';
    }
}

TEST(UniqueKeyJson, RandomDocumentsMatchJsonParse) {
    std::mt19937 random(16);
    int rebuilt = 0;
    for (int i = 0; i < 3000; ++i) {
        std::string input;
        std::string expected;
        randomValue(random, 0, input, expected);
        SCOPED_TRACE(input);
        std::string out;
        ASSERT_TRUE(uniqueKeyJson(input, &out));
        if (jsonHasDuplicateKeys(input)) {
            ++rebuilt;
            EXPECT_EQ(out, expected);
        } else {
            EXPECT_EQ(out, input);
        }
    }
    EXPECT_GT(rebuilt, 300);
}

TEST(AppendJsonString, EscapesQuotesBackslashesAndControls) {
    const std::pair<std::string, std::string> cases[] = {
        {"", R"("")"},
        {"plain", R"("plain")"},
        {"say \"hi\"", R"("say \"hi\"")"},
        {"C:\\temp\\", R"("C:\\temp\\")"},
        {"a\nb\rc\td", R"("a\nb\rc\td")"},
        {std::string("\0", 1), R"("\u0000")"},
        {"\x01\x08\x0c\x1f", R"("\u0001\u0008\u000c\u001f")"},
        {"\x7f \xC3\xA9 \xF0\x9F\x98\x80 /", "\"\x7f \xC3\xA9 \xF0\x9F\x98\x80 /\""},
        {"it's", R"("it's")"},
    };
    for (const auto& c : cases) {
        std::string out = "x=";
        appendJsonString(out, c.first);
        EXPECT_EQ(out, "x=" + c.second);
    }
}

TEST(AppendJsonString, AnyBytesReadBackUnchanged) {
    std::mt19937 random(5);
    for (int i = 0; i < 2000; ++i) {
        std::string text(random() % 40, '\0');
        for (char& c : text)
            c = static_cast<char>(random() % 256);
        std::string json;
        appendJsonString(json, text);
        ASSERT_EQ(json.find('\0'), std::string::npos);
        rapidjson::Document document;
        rapidjson::MemoryStream stream(json.data(), json.size());
        document.ParseStream(stream);
        ASSERT_FALSE(document.HasParseError()) << json;
        ASSERT_TRUE(document.IsString());
        EXPECT_EQ(std::string(document.GetString(), document.GetStringLength()), text);
    }
}

}  // namespace
