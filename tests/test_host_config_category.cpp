// Configuration categories of the host library: parsing the category JSON,
// item values, integers and key/value lists, and refusal of bad input.
#include <gtest/gtest.h>

#include <stdexcept>

#include "config_category.h"

namespace {

std::string thrownMessage(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

TEST(ConfigCategoryParse, ValueWinsOverDefaultAndOrderIsKept) {
    ConfigCategory c("cat", R"({
        "zeta": {"description": "z", "type": "string", "default": "dz"},
        "alpha": {"type": "string", "default": "da", "value": "va"},
        "mid": {"type": "string", "value": "vm"},
        "none": {"type": "string"}
    })");
    EXPECT_EQ(c.getName(), "cat");
    EXPECT_EQ(c.getItemNames(), (std::vector<std::string>{"zeta", "alpha", "mid", "none"}));
    EXPECT_EQ(c.getValue("zeta"), "dz");
    EXPECT_EQ(c.getValue("alpha"), "va");
    EXPECT_EQ(c.getValue("mid"), "vm");
    EXPECT_EQ(c.getValue("none"), "");
    EXPECT_TRUE(c.itemExists("none"));
    EXPECT_FALSE(c.itemExists("Alpha"));
    EXPECT_EQ(c.getValue("missing", "fallback"), "fallback");
    EXPECT_THROW(c.getValue("missing"), std::out_of_range);
}

TEST(ConfigCategoryParse, NonStringValuesBecomeTheirJsonText) {
    ConfigCategory c("cat", R"({
        "n": {"value": 42}, "f": {"value": 1.5}, "b": {"default": true},
        "o": {"value": {"Warehouse": "./wh", "SSL": "1"}}, "a": {"value": ["x", 1]},
        "z": {"value": null}, "s": {"value": "tab\there \"q\" \\"}
    })");
    EXPECT_EQ(c.getValue("n"), "42");
    EXPECT_EQ(c.getValue("f"), "1.5");
    EXPECT_EQ(c.getValue("b"), "true");
    EXPECT_EQ(c.getValue("o"), R"({"Warehouse":"./wh","SSL":"1"})");
    EXPECT_EQ(c.getValue("a"), R"(["x",1])");
    EXPECT_EQ(c.getValue("z"), "");
    EXPECT_EQ(c.getValue("s"), "tab\there \"q\" \\");
}

TEST(ConfigCategoryParse, MalformedJsonIsRefusedNamingTheProblem) {
    const char* bad[] = {"", "{", R"({"a": {"value": "x"},})", R"({"a": {"value": "x"}} trailing)",
                         R"({"a": {"value": 'x'}})"};
    for (const char* json : bad) {
        std::string message = thrownMessage([&] { ConfigCategory("cat", json); });
        EXPECT_NE(message.find("\"cat\" is not valid JSON"), std::string::npos) << message;
        EXPECT_NE(message.find("at offset"), std::string::npos) << message;
    }
    EXPECT_NE(thrownMessage([] { ConfigCategory("cat", "[1, 2]"); }).find("not a JSON object"),
              std::string::npos);
    EXPECT_NE(thrownMessage([] {
                  ConfigCategory("cat", R"({"port": "443"})");
              }).find("item \"port\" is not a JSON object"),
              std::string::npos);
}

TEST(ConfigCategoryParse, SetValueReplacesOrAppends) {
    ConfigCategory c("cat", R"({"a": {"default": "1"}})");
    c.setValue("a", "2");
    c.setValue("b", "3");
    EXPECT_EQ(c.getValue("a"), "2");
    EXPECT_EQ(c.getItemNames(), (std::vector<std::string>{"a", "b"}));
}

struct IntegerCase {
    const char* text;
    bool ok;
    int value;
};

TEST(ConfigCategoryInteger, WholeDecimalNumbersWithinThirtyTwoBits) {
    const IntegerCase cases[] = {
        {"443", true, 443},
        {"0", true, 0},
        {"-12", true, -12},
        {"+7", true, 7},
        {" 80 ", true, 80},
        {"007", true, 7},
        {"2147483647", true, 2147483647},
        {"-2147483648", true, -2147483647 - 1},
        {"2147483648", false, 0},
        {"-2147483649", false, 0},
        {"99999999999999999999999", false, 0},
        {"", false, 0},
        {"-", false, 0},
        {"12abc", false, 0},
        {"abc", false, 0},
        {"4.5", false, 0},
        {"1e3", false, 0},
        {"0x10", false, 0},
        {"1 2", false, 0},
    };
    for (const auto& c : cases) {
        ConfigCategory cat("cat", std::string(R"({"port": {"value": ")") + c.text + "\"}}");
        if (c.ok) {
            EXPECT_EQ(cat.getIntegerValue("port", 1), c.value) << c.text;
        } else {
            std::string message = thrownMessage([&] { cat.getIntegerValue("port", 1); });
            EXPECT_NE(message.find("\"port\""), std::string::npos) << message;
            EXPECT_NE(message.find(std::string("\"") + c.text + "\""), std::string::npos)
                << message;
        }
    }
    ConfigCategory cat("cat", R"({"big": {"value": "3000000000"}, "n": {"value": 12}})");
    EXPECT_NE(thrownMessage([&] { cat.getIntegerValue("big", 0); }).find("32-bit"),
              std::string::npos);
    EXPECT_EQ(cat.getIntegerValue("n", 0), 12);
    EXPECT_EQ(cat.getIntegerValue("absent", 443), 443);
}

TEST(ConfigCategoryKVList, ParsesObjectsOfStringsOrderedByKey) {
    ConfigCategory c("cat", R"({
        "p": {"value": "{\"b\": \"2\", \"a\": \"1\", \"C\": \"x;y\", \"e\": \"\"}"},
        "o": {"value": {"Warehouse": "/tmp/w", "HTTPPath": "/sql/1"}},
        "empty": {"default": "{}"}, "blank": {"value": "  "}, "nothing": {"value": ""},
        "dup": {"value": "{\"k\": \"first\", \"k\": \"second\"}"}
    })");
    const std::map<std::string, std::string> expected{
        {"C", "x;y"}, {"a", "1"}, {"b", "2"}, {"e", ""}};
    EXPECT_EQ(c.getValueKVList("p"), expected);
    auto pairs = c.getValueKVList("p");
    EXPECT_EQ(pairs.begin()->first, "C");  // byte order: upper case first
    EXPECT_EQ(c.getValueKVList("o"), (std::map<std::string, std::string>{{"HTTPPath", "/sql/1"},
                                                                         {"Warehouse", "/tmp/w"}}));
    EXPECT_TRUE(c.getValueKVList("empty").empty());
    EXPECT_TRUE(c.getValueKVList("blank").empty());
    EXPECT_TRUE(c.getValueKVList("nothing").empty());
    EXPECT_TRUE(c.getValueKVList("absent").empty());
    EXPECT_EQ(c.getValueKVList("dup").at("k"), "second");
}

TEST(ConfigCategoryKVList, MalformedOrNonStringListsAreRefused) {
    ConfigCategory c("cat", R"({
        "broken": {"value": "{\"a\": \"1\""},
        "array": {"value": "[\"a\"]"},
        "text": {"value": "Warehouse=/tmp"},
        "number": {"value": "{\"a\": 1}"},
        "nested": {"value": {"a": {"b": "c"}}},
        "nul": {"value": "{\"a\": null}"}
    })");
    EXPECT_NE(thrownMessage([&] { c.getValueKVList("broken"); }).find("not a valid key/value list"),
              std::string::npos);
    EXPECT_NE(thrownMessage([&] { c.getValueKVList("array"); }).find("JSON object"),
              std::string::npos);
    EXPECT_NE(thrownMessage([&] { c.getValueKVList("text"); }).find("\"text\""), std::string::npos);
    EXPECT_NE(thrownMessage([&] {
                  c.getValueKVList("number");
              }).find("the value of key \"a\" is not a string"),
              std::string::npos);
    EXPECT_THROW(c.getValueKVList("nested"), std::invalid_argument);
    EXPECT_THROW(c.getValueKVList("nul"), std::invalid_argument);
}

}  // namespace
