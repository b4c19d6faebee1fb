// Datapoint values of the host library: their text forms (which the plugin
// writes into the warehouse and parses routing hints from), conversions and
// deep ownership.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <stdexcept>

#include "datapoint.h"

namespace {

Datapoint* dp(const std::string& name, const DatapointValue& value) {
    DatapointValue copy(value);
    return new Datapoint(name, copy);
}

TEST(DatapointValueTypes, TagsHaveTheirFixedNumbers) {
    EXPECT_EQ(DatapointValue(std::string("s")).getType(), 0);
    EXPECT_EQ(DatapointValue(1L).getType(), 1);
    EXPECT_EQ(DatapointValue(1.5).getType(), 2);
    EXPECT_EQ(DatapointValue(std::vector<double>{1.0}).getType(), 3);
    EXPECT_EQ(DatapointValue(new std::vector<Datapoint*>(), true).getType(), 4);
    EXPECT_EQ(DatapointValue(new std::vector<Datapoint*>(), false).getType(), 5);
    EXPECT_EQ(DatapointValue(new DPImage(1, 1, 8, {0})).getType(), 6);
    EXPECT_EQ(DatapointValue(new DataBuffer(1, {0})).getType(), 7);
}

struct StringCase {
    std::string raw;
    std::string json;
};

TEST(DatapointValueToString, StringsAreJsonQuotedAndEscaped) {
    const StringCase cases[] = {
        {"", R"("")"},
        {"plain", R"("plain")"},
        {"say \"hi\"", R"("say \"hi\"")"},
        {"C:\\dir\\", R"("C:\\dir\\")"},
        {"\\\"", R"("\\\"")"},
        {"it's", R"("it's")"},
        {"a\nb\rc\td", R"("a\nb\rc\td")"},
        {"\b\f", R"("\b\f")"},
        {std::string("nul\0x", 5), R"("nul\u0000x")"},
        {"\x01\x1f", R"("\u0001\u001f")"},
        {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
    };
    for (const auto& c : cases) {
        DatapointValue v(c.raw);
        EXPECT_EQ(v.toString(), c.json);
        EXPECT_EQ(v.toStringValue(), c.raw);
        // The text must be a JSON string that decodes back to the original.
        rapidjson::Document d;
        d.Parse(c.json.c_str(), c.json.size());
        ASSERT_FALSE(d.HasParseError()) << c.json;
        ASSERT_TRUE(d.IsString());
        EXPECT_EQ(std::string(d.GetString(), d.GetStringLength()), c.raw);
    }
}

TEST(DatapointValueToString, IntegersAreDecimal) {
    EXPECT_EQ(DatapointValue(0L).toString(), "0");
    EXPECT_EQ(DatapointValue(-42L).toString(), "-42");
    EXPECT_EQ(DatapointValue(std::numeric_limits<long>::max()).toString(), "9223372036854775807");
    EXPECT_EQ(DatapointValue(std::numeric_limits<long>::min()).toString(), "-9223372036854775808");
}

TEST(DatapointValueToString, DoublesAreShortestRoundTripText) {
    const std::pair<double, const char*> cases[] = {
        {21.5, "21.5"}, {0.1, "0.1"},      {-0.25, "-0.25"}, {3.0, "3.0"},
        {0.0, "0.0"},   {1e300, "1e+300"}, {1e-7, "1e-07"},
    };
    for (const auto& [value, text] : cases)
        EXPECT_EQ(DatapointValue(value).toString(), text);

    const double hard[] = {0.1 + 0.2,
                           1.0 / 3.0,
                           std::numeric_limits<double>::max(),
                           std::numeric_limits<double>::min(),
                           std::numeric_limits<double>::denorm_min(),
                           -123456789.123456789,
                           9007199254740993.0,
                           -0.0};
    for (double value : hard) {
        std::string text = DatapointValue(value).toString();
        EXPECT_EQ(std::strtod(text.c_str(), nullptr), value) << text;
        EXPECT_EQ(std::signbit(std::strtod(text.c_str(), nullptr)), std::signbit(value)) << text;
        EXPECT_LE(text.size(), 25u) << text;
    }
}

TEST(DatapointValueToString, NonFiniteDoublesReadBackAloneAndStayValidJsonInside) {
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(DatapointValue(inf).toString(), "inf");
    EXPECT_EQ(DatapointValue(-inf).toString(), "-inf");
    EXPECT_EQ(DatapointValue(std::nan("")).toString(), "nan");
    EXPECT_EQ(DatapointValue(std::vector<double>{1.5, inf, std::nan("")}).toString(),
              "[1.5,null,null]");
    auto* dict = new std::vector<Datapoint*>{dp("x", DatapointValue(-inf))};
    EXPECT_EQ(DatapointValue(dict, true).toString(), R"({"x":null})");
}

TEST(DatapointValueToString, FloatArraysAreJsonArrays) {
    EXPECT_EQ(DatapointValue(std::vector<double>{}).toString(), "[]");
    EXPECT_EQ(DatapointValue(std::vector<double>{1.0, 2.5, -0.1}).toString(), "[1.0,2.5,-0.1]");
}

TEST(DatapointValueToString, DictsAndListsAreJsonWithEscapedNamesAndNesting) {
    auto* inner = new std::vector<Datapoint*>{dp("q\"k", DatapointValue(std::string("v\\")))};
    auto* list = new std::vector<Datapoint*>{dp("i0", DatapointValue(1L)),
                                             dp("i1", DatapointValue(std::string("two"))),
                                             dp("i2", DatapointValue(inner, true))};
    auto* outer = new std::vector<Datapoint*>{
        dp("a", DatapointValue(1L)),          dp("b", DatapointValue(std::string("x"))),
        dp("c", DatapointValue(2.25)),        dp("d", DatapointValue(std::vector<double>{1.0})),
        dp("e", DatapointValue(list, false)), dp("f", DatapointValue(new DataBuffer(1, {1})))};
    DatapointValue value(outer, true);
    const std::string expected =
        R"({"a":1,"b":"x","c":2.25,"d":[1.0],"e":[1,"two",{"q\"k":"v\\"}],"f":null})";
    EXPECT_EQ(value.toString(), expected);
    rapidjson::Document d;
    d.Parse(expected.c_str());
    EXPECT_FALSE(d.HasParseError());

    EXPECT_EQ(DatapointValue(new std::vector<Datapoint*>(), true).toString(), "{}");
    EXPECT_EQ(DatapointValue(std::vector<Datapoint*>{}, false).toString(), "[]");
    EXPECT_EQ(DatapointValue(static_cast<std::vector<Datapoint*>*>(nullptr), true).toString(),
              "{}");
}

TEST(DatapointValueToString, ImagesAndBuffersHaveNoTextForm) {
    EXPECT_EQ(DatapointValue(new DPImage(2, 2, 8, {1, 2, 3, 4})).toString(), "null");
    EXPECT_EQ(DatapointValue(new DataBuffer(2, {1, 2})).toString(), "null");
}

TEST(DatapointValueCopy, CopiesAreDeepForEveryKind) {
    auto* children = new std::vector<Datapoint*>{dp("k", DatapointValue(std::string("v")))};
    auto* original = new DatapointValue(children, true);
    DatapointValue copy(*original);
    delete original;
    EXPECT_EQ(copy.toString(), R"({"k":"v"})");

    DatapointValue image(new DPImage(1, 2, 8, {9, 9}));
    DatapointValue imageCopy(image);
    ASSERT_NE(imageCopy.getImage(), nullptr);
    EXPECT_NE(imageCopy.getImage(), image.getImage());
    EXPECT_EQ(imageCopy.getImage()->getData(), image.getImage()->getData());

    DatapointValue target(std::string("old"));
    target = copy;
    EXPECT_EQ(target.getType(), DatapointValue::T_DP_DICT);
    EXPECT_EQ(target.toString(), R"({"k":"v"})");
    target = target;  // self-assignment keeps the value
    EXPECT_EQ(target.toString(), R"({"k":"v"})");
    target = DatapointValue(5L);
    EXPECT_EQ(target.toString(), "5");
    EXPECT_EQ(target.getDpVec(), nullptr);
}

TEST(DatapointValueCopy, AssigningFromOwnChildWorks) {
    auto* children = new std::vector<Datapoint*>{dp("k", DatapointValue(std::string("v")))};
    DatapointValue value(children, false);
    value = (*value.getDpVec())[0]->getData();
    EXPECT_EQ(value.toString(), "\"v\"");
}

TEST(DatapointValueConversions, ToIntAndToDouble) {
    EXPECT_EQ(DatapointValue(-7L).toInt(), -7);
    EXPECT_EQ(DatapointValue(2.9).toInt(), 2);
    EXPECT_EQ(DatapointValue(-2.9).toInt(), -2);
    EXPECT_EQ(DatapointValue(1e300).toInt(), std::numeric_limits<long>::max());
    EXPECT_EQ(DatapointValue(-1e300).toInt(), std::numeric_limits<long>::min());
    EXPECT_EQ(DatapointValue(std::nan("")).toInt(), 0);
    EXPECT_EQ(DatapointValue(std::string("123")).toInt(), 123);
    EXPECT_THROW(DatapointValue(std::string("12a")).toInt(), std::invalid_argument);
    EXPECT_THROW(DatapointValue(std::string("")).toInt(), std::invalid_argument);
    EXPECT_THROW(DatapointValue(std::vector<double>{1}).toInt(), std::invalid_argument);

    EXPECT_EQ(DatapointValue(3L).toDouble(), 3.0);
    EXPECT_EQ(DatapointValue(0.5).toDouble(), 0.5);
    EXPECT_EQ(DatapointValue(std::string("2.5")).toDouble(), 2.5);
    EXPECT_THROW(DatapointValue(std::string("2.5x")).toDouble(), std::invalid_argument);
    EXPECT_THROW(DatapointValue(std::string("1e999")).toDouble(), std::invalid_argument);
    EXPECT_THROW(DatapointValue(new DataBuffer(1, {})).toDouble(), std::invalid_argument);
}

TEST(DatapointTest, NameValueAndJsonProperty) {
    DatapointValue v(std::string("it's \"x\""));
    Datapoint point("na\"me", v);
    EXPECT_EQ(point.getName(), "na\"me");
    EXPECT_EQ(point.getData().toStringValue(), "it's \"x\"");
    EXPECT_EQ(point.toJSONProperty(), R"("na\"me":"it's \"x\"")");
    DatapointValue inf(std::numeric_limits<double>::infinity());
    EXPECT_EQ(Datapoint("f", inf).toJSONProperty(), R"("f":null)");
}

}  // namespace
