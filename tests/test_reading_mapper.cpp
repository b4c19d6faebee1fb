// ReadingMapper: value texts, fixed columns, datapoint columns with overwrite in
// place and renaming, table routing by asset code and hint datapoint, grouping
// by table, and the behaviour without a SQL builder. Real host readings, the
// real Databricks builder.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "databricks_sql_builder.h"
#include "datapoint.h"
#include "log_capture.h"
#include "number_text.h"
#include "reading.h"
#include "reading_mapper.h"
#include "schema_manager.h"

namespace {

using Names = std::vector<std::string>;
using Level = Logger::Level;

// 1700000000 is 2023-11-14 22:13:20 UTC.
constexpr uint64_t kTime = 1700000000123456ULL;
constexpr uint64_t kUserTime = 1700000001000001ULL;
const std::string kTimeText = "2023-11-14 22:13:20.123456+00:00";
const std::string kUserTimeText = "2023-11-14 22:13:21.000001+00:00";

Datapoint* dp(const std::string& name, DatapointValue value) {
    return new Datapoint(name, value);
}

Datapoint* dict(const std::string& name, std::vector<Datapoint*> members) {
    DatapointValue value(std::move(members), true);
    return new Datapoint(name, value);
}

std::unique_ptr<Reading> reading(const std::string& asset, std::vector<Datapoint*> datapoints) {
    auto r = std::make_unique<Reading>(asset, std::move(datapoints));
    r->setTimestamp(kTime);
    r->setUserTimestamp(kUserTime);
    return r;
}

// A hint datapoint whose value is a text holding the given JSON.
Datapoint* hint(const std::string& json) {
    return dp("databricksHint", DatapointValue(json));
}

class MapperTest : public ::testing::Test {
  protected:
    DatabricksSQLBuilder builder;
    ReadingMapper mapper{"edge-7", &builder};
    LogCapture log;

    std::string route(const std::string& asset, Datapoint* hintDatapoint) {
        auto r = reading(asset, {hintDatapoint, dp("v", DatapointValue(1))});
        return mapper.extractTableName(r.get());
    }
};

// --- value texts ----------------------------------------------------------------

TEST_F(MapperTest, ValueTexts) {
    struct Case {
        DatapointValue value;
        std::string text;
    };
    const std::vector<Case> cases = {
        {DatapointValue("plain text"), "plain text"},
        {DatapointValue("it's \"quoted\" \\ done"), "it's \"quoted\" \\ done"},
        {DatapointValue(""), ""},
        {DatapointValue(-42), "-42"},
        {DatapointValue(0), "0"},
        {DatapointValue(std::numeric_limits<long>::min()), "-9223372036854775808"},
        {DatapointValue(std::numeric_limits<long>::max()), "9223372036854775807"},
        // Doubles: the shortest text that reads back as the same double.
        {DatapointValue(21.5), "21.5"},
        {DatapointValue(22.0), "22.0"},
        {DatapointValue(0.1), "0.1"},
        {DatapointValue(0.001), "0.001"},
        {DatapointValue(1.2e-7), "1.2E-7"},
        {DatapointValue(-0.0000004), "-4.0E-7"},
        {DatapointValue(9999999.0), "9999999.0"},
        {DatapointValue(1e7), "1.0E7"},
        {DatapointValue(1e20), "1.0E20"},
        {DatapointValue(1e300), "1.0E300"},
        {DatapointValue(0.0), "0.0"},
        {DatapointValue(-0.0), "-0.0"},
        {DatapointValue(0.30000000000000004), "0.30000000000000004"},
        {DatapointValue(std::numeric_limits<double>::denorm_min()), "5.0E-324"},
        {DatapointValue(-1.7976931348623157e308), "-1.7976931348623157E308"},
        {DatapointValue(std::numeric_limits<double>::infinity()), "Infinity"},
        {DatapointValue(-std::numeric_limits<double>::infinity()), "-Infinity"},
        {DatapointValue(std::numeric_limits<double>::quiet_NaN()), "NaN"},
        {DatapointValue(-std::numeric_limits<double>::quiet_NaN()), "NaN"},
        {DatapointValue(std::vector<double>{1.5, 2}), "[1.5,2.0]"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(mapper.datapointValueToString(c.value), c.text) << c.text;
}

TEST_F(MapperTest, DoubleTextsAreTheShortestThatReadBack) {
    // Decimals of up to seven places around every magnitude the quick path
    // takes, and random bit patterns: always the shortest text.
    std::mt19937_64 random(7);
    std::vector<double> numbers;
    for (int i = 0; i < 20000; ++i) {
        const double scale = std::pow(10.0, static_cast<int>(random() % 8));
        const double magnitude = std::pow(10.0, static_cast<int>(random() % 12) - 4);
        double v =
            std::round(static_cast<double>(random() % 100000000) / 1e8 * magnitude * scale) / scale;
        numbers.push_back(random() % 2 ? v : -v);
        uint64_t bits = random();
        double any;
        std::memcpy(&any, &bits, sizeof any);
        numbers.push_back(any);
    }
    for (double limit : {1e-3, 1e7, 9999999.999999, 0.0009999999999999998, 1e7 - 1e-9})
        numbers.push_back(limit);
    for (double v : numbers) {
        const std::string text = mapper.datapointValueToString(DatapointValue(v));
        ASSERT_EQ(text, shortestDoubleText(v)) << v;
        double back = 0;
        ASSERT_TRUE(parseDoubleText(text, &back)) << text;
        if (!std::isnan(v)) {
            ASSERT_EQ(std::memcmp(&back, &v, sizeof v), 0) << text;
        }
    }
}

TEST_F(MapperTest, StructuredValuesUseTheHostTextForm) {
    DatapointValue inner(7);
    std::vector<Datapoint*> members{new Datapoint("a", inner), new Datapoint("b", inner)};
    DatapointValue object(std::move(members), true);
    EXPECT_EQ(mapper.datapointValueToString(object), object.toString());
    EXPECT_EQ(object.toString(), "{\"a\":7,\"b\":7}");

    std::vector<Datapoint*> items{new Datapoint("x", inner)};
    DatapointValue list(std::move(items), false);
    EXPECT_EQ(mapper.datapointValueToString(list), list.toString());
}

TEST_F(MapperTest, StructuredValuesRepeatNoKey) {
    // The warehouse refuses JSON that repeats a key: the last value wins, at
    // the place of the key's first occurrence, at every depth.
    struct Case {
        const char* what;
        DatapointValue value;
        std::string text;
    };
    auto members = [](std::vector<std::pair<std::string, DatapointValue>> pairs) {
        std::vector<Datapoint*> points;
        for (auto& [name, value] : pairs)
            points.push_back(new Datapoint(name, value));
        return points;
    };
    DatapointValue one(1), two(2), text("t");
    DatapointValue repeated(members({{"a", one}, {"b", text}, {"a", two}}), true);
    DatapointValue unique(members({{"a", one}, {"b", text}}), true);
    const std::vector<Case> cases = {
        {"repeated key", repeated, "{\"a\":2,\"b\":\"t\"}"},
        {"no repeat", unique, "{\"a\":1,\"b\":\"t\"}"},
        {"repeat inside a list", DatapointValue(members({{"x", repeated}, {"y", one}}), false),
         "[{\"a\":2,\"b\":\"t\"},1]"},
        {"repeat inside a dict", DatapointValue(members({{"in", repeated}, {"in", unique}}), true),
         "{\"in\":{\"a\":1,\"b\":\"t\"}}"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(mapper.datapointValueToString(c.value), c.text) << c.what;

    auto r = reading("pump", {new Datapoint("d", repeated)});
    DatabaseRecord record = mapper.mapReadingToRecord(r.get());
    EXPECT_EQ(record.getValue("d"), "{\"a\":2,\"b\":\"t\"}");
    EXPECT_EQ(record.getSQLType("d"), "VARIANT");
}

TEST_F(MapperTest, ImagesAndBuffersBecomeTheJsonOfTheirContent) {
    const struct {
        DatapointValue value;
        const char* json;
    } cases[] = {
        {DatapointValue(new DPImage(2, 2, 8, {1, 2, 3, 4})),
         R"({"width":2,"height":2,"depth":8,"data":"AQIDBA=="})"},
        {DatapointValue(new DPImage(1, 1, 24, {0xFF, 0xFE, 0xFD})),
         R"({"width":1,"height":1,"depth":24,"data":"//79"})"},
        {DatapointValue(new DPImage(0, 0, 8, {})), R"({"width":0,"height":0,"depth":8,"data":""})"},
        {DatapointValue(new DPImage(1, 5, 8, {'h', 'e', 'l', 'l', 'o'})),
         R"({"width":1,"height":5,"depth":8,"data":"aGVsbG8="})"},
        {DatapointValue(new DataBuffer(1, {9, 255})), "[9,255]"},
        {DatapointValue(new DataBuffer(2, {1, 1, 0, 1})), "[257,256]"},
        {DatapointValue(new DataBuffer(4, {1, 0, 0, 0, 2})), "[1]"},
        {DatapointValue(new DataBuffer(8, std::vector<uint8_t>(8, 0xFF))),
         "[18446744073709551615]"},
        {DatapointValue(new DataBuffer(3, {7, 8})), "[7,8]"},
        {DatapointValue(new DataBuffer(2, {})), "[]"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mapper.datapointValueToString(c.value), c.json);
        EXPECT_EQ(valueKindOfTag(c.value.getType()), ValueKind::Binary);
    }
}

// --- one reading ------------------------------------------------------------------

TEST_F(MapperTest, PumpReadingBecomesFixedAndDatapointColumns) {
    auto r =
        reading("pump", {dp("temperature", DatapointValue(21.5)), dp("count", DatapointValue(3))});
    DatabaseRecord record = mapper.mapReadingToRecord(r.get());

    EXPECT_EQ(record.getTableName(), "pump");
    EXPECT_EQ(record.getColumnNames(),
              (Names{"asset_code", "user_ts", "ts", "corvane", "temperature", "count"}));
    EXPECT_EQ(record.getValues(), (Names{"pump", kUserTimeText, kTimeText, "edge-7", "21.5", "3"}));
    const Names types{"VARCHAR(256)", "TIMESTAMP", "TIMESTAMP", "VARCHAR(256)", "DOUBLE", "BIGINT"};
    const std::vector<ValueKind> kinds{ValueKind::Label, ValueKind::Timestamp, ValueKind::Timestamp,
                                       ValueKind::Label, ValueKind::Double,    ValueKind::Integer};
    const std::vector<ColumnConstraint> constraints{CONSTRAINT_NOT_NULL, CONSTRAINT_NONE,
                                                    CONSTRAINT_NONE,     CONSTRAINT_NONE,
                                                    CONSTRAINT_NULLABLE, CONSTRAINT_NULLABLE};
    for (size_t i = 0; i < record.columnCount(); ++i) {
        EXPECT_EQ(record.kindAt(i), kinds[i]) << i;
        EXPECT_EQ(record.declaredTypeAt(i), nullptr) << "no type text travels with a record";
        EXPECT_EQ(record.sqlTypeAt(i), types[i]) << i;
        EXPECT_EQ(record.constraintAt(i), constraints[i]) << i;
    }
}

TEST_F(MapperTest, ColumnTypesPerDatapointKind) {
    auto r = reading(
        "a", {dp("s", DatapointValue("x")), dp("i", DatapointValue(1)),
              dp("f", DatapointValue(1.0)), dp("arr", DatapointValue(std::vector<double>{1.0})),
              dict("d", {dp("k", DatapointValue(1))}),
              dp("img", DatapointValue(new DPImage(1, 1, 8, {0}))),
              dp("buf", DatapointValue(new DataBuffer(1, {0})))});
    DatabaseRecord record = mapper.mapReadingToRecord(r.get());
    EXPECT_EQ(record.getSQLType("s"), "STRING");
    EXPECT_EQ(record.getSQLType("i"), "BIGINT");
    EXPECT_EQ(record.getSQLType("f"), "DOUBLE");
    EXPECT_EQ(record.getSQLType("arr"), "VARIANT");
    EXPECT_EQ(record.getSQLType("d"), "VARIANT");
    EXPECT_EQ(record.getValue("d"), "{\"k\":1}");
    EXPECT_EQ(record.getSQLType("img"), "STRING");
    EXPECT_EQ(record.getValue("img"), R"({"width":1,"height":1,"depth":8,"data":"AA=="})");
    EXPECT_EQ(record.getSQLType("buf"), "STRING");
    EXPECT_EQ(record.getValue("buf"), "[0]");
}

TEST_F(MapperTest, ReadingWithoutDatapointsHasTheFourFixedColumns) {
    auto r = reading("pump", {});
    DatabaseRecord record = mapper.mapReadingToRecord(r.get());
    EXPECT_EQ(record.getColumnNames(), (Names{"asset_code", "user_ts", "ts", "corvane"}));
}

TEST_F(MapperTest, HintNeverBecomesAColumn) {
    auto r = reading("pump", {hint("{\"tablename\":\"line_1\"}")});
    DatabaseRecord record = mapper.mapReadingToRecord(r.get());
    EXPECT_EQ(record.getTableName(), "line_1");
    EXPECT_EQ(record.getColumnNames(), (Names{"asset_code", "user_ts", "ts", "corvane"}));
    EXPECT_EQ(record.getValue("asset_code"), "pump");

    // The hint name is compared exactly: another spelling is an ordinary datapoint.
    auto other = reading("pump", {dp("DatabricksHint", DatapointValue("x"))});
    EXPECT_TRUE(mapper.mapReadingToRecord(other.get()).hasColumn("DatabricksHint"));
}

TEST_F(MapperTest, DatapointsNamedLikeFixedColumnsGetTheirOwnColumns) {
    // In every letter case, and in a table's first reading: the fixed
    // columns keep their values, types and constraints.
    const Names reserved = {
        "ts",      "TS",      "Ts",      "asset_code", "ASSET_CODE",    "Asset_Code",
        "user_ts", "USER_TS", "corvane", "CorVane",    "_rescued_data", "_RESCUED_DATA"};
    for (const std::string& name : reserved) {
        log.clear();
        auto r = reading("pump", {dp(name, DatapointValue(5)), dp("v", DatapointValue(1))});
        // Twice in one batch: the second reading reuses the first's columns.
        std::vector<DatabaseRecord> records = mapper.mapReadingsToRecords({r.get(), r.get()});
        ASSERT_EQ(records.size(), 2u) << name;
        for (const DatabaseRecord& record : records) {
            EXPECT_EQ(record.getColumnNames(),
                      (Names{"asset_code", "user_ts", "ts", "corvane", "dp_" + name, "v"}))
                << name;
            EXPECT_EQ(record.getValues(),
                      (Names{"pump", kUserTimeText, kTimeText, "edge-7", "5", "1"}))
                << name;
            EXPECT_EQ(record.getSQLType("asset_code"), "VARCHAR(256)") << name;
            EXPECT_EQ(record.getConstraints("asset_code"), CONSTRAINT_NOT_NULL) << name;
            EXPECT_EQ(record.getSQLType("ts"), "TIMESTAMP") << name;
            EXPECT_EQ(record.getConstraints("ts"), CONSTRAINT_NONE) << name;
            EXPECT_EQ(record.getSQLType("dp_" + name), "BIGINT") << name;
        }
    }
    // Only the whole name is reserved.
    auto near = reading("pump", {dp("tss", DatapointValue(1)), dp("my_ts", DatapointValue(2)),
                                 dp("_rescued", DatapointValue(3))});
    EXPECT_EQ(mapper.mapReadingToRecord(near.get()).getColumnNames(),
              (Names{"asset_code", "user_ts", "ts", "corvane", "tss", "my_ts", "_rescued"}));
}

TEST_F(MapperTest, ReservedNameMeetingItsPrefixedSpellingKeepsTheLaterValue) {
    // A datapoint "ts" and a datapoint "dp_ts" (in any case) name one column:
    // as for any two datapoints sharing a column, the later value is written
    // and a warning tells which datapoint was overwritten.
    auto r = reading("pump", {dp("dp_ts", DatapointValue(1)), dp("x", DatapointValue(2)),
                              dp("TS", DatapointValue("later"))});
    DatabaseRecord record = mapper.mapReadingToRecord(r.get());
    EXPECT_EQ(record.getColumnNames(),
              (Names{"asset_code", "user_ts", "ts", "corvane", "dp_ts", "x"}));
    EXPECT_EQ(record.getValue("dp_ts"), "later");
    EXPECT_EQ(record.getSQLType("dp_ts"), "STRING");
    EXPECT_EQ(record.getValue("ts"), kTimeText);
}

TEST_F(MapperTest, RepeatedDatapointNameKeepsFirstPositionAndLastValue) {
    auto r = reading("pump", {dp("a", DatapointValue(1)), dp("b", DatapointValue(2)),
                              dp("a", DatapointValue("later"))});
    DatabaseRecord record = mapper.mapReadingToRecord(r.get());
    EXPECT_EQ(record.getColumnNames(), (Names{"asset_code", "user_ts", "ts", "corvane", "a", "b"}));
    EXPECT_EQ(record.getValue("a"), "later");
    EXPECT_EQ(record.getSQLType("a"), "STRING");
}

TEST_F(MapperTest, InstanceNameAndDefaults) {
    ReadingMapper defaults;
    EXPECT_EQ(defaults.getCorvaneInstance(), "corvaneInstance");
    EXPECT_EQ(defaults.getSQLBuilder(), nullptr);
    ReadingMapper named("north-1");
    EXPECT_EQ(named.getCorvaneInstance(), "north-1");

    EXPECT_EQ(mapper.getSQLBuilder(), &builder);
    mapper.setCorvaneInstance("renamed");
    auto r = reading("pump", {});
    EXPECT_EQ(mapper.mapReadingToRecord(r.get()).getValue("corvane"), "renamed");
    EXPECT_EQ(mapper.getHintName(), "databricksHint");
    EXPECT_TRUE(mapper.shouldSkipDatapoint("databricksHint"));
    EXPECT_FALSE(mapper.shouldSkipDatapoint("databrickshint"));
}

TEST_F(MapperTest, NullReadingGivesAnEmptyRecord) {
    DatabaseRecord record = mapper.mapReadingToRecord(nullptr);
    EXPECT_EQ(record.getTableName(), "");
    EXPECT_EQ(record.columnCount(), 0u);
    EXPECT_EQ(mapper.extractTableName(nullptr), "");
}

// --- names the warehouse accepts --------------------------------------------------

TEST_F(MapperTest, TableAndColumnNamesAreMadeAcceptable) {
    auto r =
        reading("Boiler 1", {dp("Outside Temperature", DatapointValue(3.5)),
                             dp("flow (l/s)", DatapointValue(2)), dp("ok", DatapointValue(1))});
    DatabaseRecord record = mapper.mapReadingToRecord(r.get());
    EXPECT_EQ(record.getTableName(), "Boiler_1");
    EXPECT_EQ(record.getValue("asset_code"), "Boiler 1");
    EXPECT_EQ(record.getColumnNames(), (Names{"asset_code", "user_ts", "ts", "corvane",
                                              "Outside_Temperature", "flow__l/s_", "ok"}));
    EXPECT_EQ(record.getValue("Outside_Temperature"), "3.5");

    // Routing itself names the table as the reading does; the record carries
    // the name the warehouse accepts.
    EXPECT_EQ(mapper.extractTableName(r.get()), "Boiler 1");
    auto dotted = reading("line.3", {});
    EXPECT_EQ(mapper.mapReadingToRecord(dotted.get()).getTableName(), "line_3");
    auto slashed = reading("site/pump", {hint("{\"tablename\":\"a.b\"}")});
    EXPECT_EQ(mapper.mapReadingToRecord(slashed.get()).getTableName(), "a_b");
}

TEST_F(MapperTest, CollidingRenamedDatapointsKeepTheLaterValueInPlace) {
    auto r = reading("pump", {dp("a b", DatapointValue(1)), dp("x", DatapointValue(2)),
                              dp("a;b", DatapointValue("late")), dp("a_b", DatapointValue(4.0))});
    DatabaseRecord record = mapper.mapReadingToRecord(r.get());
    EXPECT_EQ(record.getColumnNames(),
              (Names{"asset_code", "user_ts", "ts", "corvane", "a_b", "x"}));
    EXPECT_EQ(record.getValue("a_b"), "4.0");
    EXPECT_EQ(record.getSQLType("a_b"), "DOUBLE");

    auto two = reading("pump", {dp("a b", DatapointValue(1)), dp("a(b", DatapointValue("late"))});
    DatabaseRecord second = mapper.mapReadingToRecord(two.get());
    EXPECT_EQ(second.getValue("a_b"), "late");
    EXPECT_EQ(second.getSQLType("a_b"), "STRING");
}

// --- routing ------------------------------------------------------------------------

TEST_F(MapperTest, RoutingWithoutHintUsesTheAssetCodeAsSpelled) {
    auto r = reading("Pump Station #2", {dp("v", DatapointValue(1))});
    EXPECT_EQ(mapper.extractTableName(r.get()), "Pump Station #2");
}

TEST_F(MapperTest, HintRoutingCases) {
    struct Case {
        std::string hintText;
        std::string table;
        bool invalidLogged;
    };
    const std::vector<Case> cases = {
        {"{\"tablename\":\"line_1\"}", "line_1", false},
        {"{\"site\":\"x\",\"tablename\":\"line_1\",\"n\":2}", "line_1", false},
        {"  {\"tablename\" : \"Line_1\"}  ", "Line_1", false},
        {"{\"other\":\"line_1\"}", "pump", false},
        {"{\"tablename\":42}", "pump", false},
        {"{\"tablename\":null}", "pump", false},
        {"{\"tablename\":\"first\",\"tablename\":\"second\"}", "first", false},
        {"{\"tablename\":1,\"tablename\":\"second\"}", "pump", false},
        {"{\"TableName\":\"line_1\"}", "pump", false},
        {"{\"tablename\":\"x\\u0041\"}", "xA", false},
        {"{\"tablename\":\"a\\\\b\"}", "a\\b", false},
        {"{\"tablename\":\"say \\\"hi\\\"\"}", "say \"hi\"", false},
        {"{\"tablename\":\"\\\\\"}", "\\", false},
        {"{\"tablename\":\"\"}", "pump", false},
        {"\\", "pump", true},
        {"{}", "pump", false},
        {"not json", "pump", true},
        {"", "pump", true},
        {"{\"tablename\":\"line_1\"} extra", "pump", true},
        {"{\"tablename\":\"line_1\"", "pump", true},
    };
    for (const auto& c : cases) {
        log.clear();
        EXPECT_EQ(route("pump", hint(c.hintText)), c.table) << c.hintText;
        EXPECT_EQ(log.contains("Invalid hint JSON format: "), c.invalidLogged) << c.hintText;
    }
}

TEST_F(MapperTest, InvalidHintIsLoggedAsSent) {
    for (const std::string text : {"not json", "", "\""}) {
        log.clear();
        EXPECT_EQ(route("pump", hint(text)), "pump");
        EXPECT_TRUE(log.has(Level::DEBUG, "Invalid hint JSON format: " + text)) << text;
    }
}

TEST_F(MapperTest, HintTableNamesAreRenamedLikeAssetCodes) {
    struct Case {
        const char* what;
        Datapoint* hint;
        std::string table;
    };
    const std::vector<Case> cases = {
        {"backslash stays", hint("{\"tablename\":\"a\\\\b\"}"), "a\\b"},
        {"newline escape", hint("{\"tablename\":\"a\\nb\"}"), "a_b"},
        {"NUL escape", hint("{\"tablename\":\"a\\u0000b\"}"), "a_b"},
        {"tab and dot", hint("{\"tablename\":\"\\tline.1\"}"), "_line_1"},
        {"backslash alone", hint("{\"tablename\":\"\\\\\"}"), "\\"},
        {"blanks", hint("{\"tablename\":\"  \"}"), "__"},
        {"empty", hint("{\"tablename\":\"\"}"), "Boiler_1"},
        {"lone backslash text", hint("\\"), "Boiler_1"},
        {"dict", dict("databricksHint", {dp("tablename", DatapointValue("a\\b\nc"))}), "a\\b_c"},
        {"dict, empty name", dict("databricksHint", {dp("tablename", DatapointValue(""))}),
         "Boiler_1"},
    };
    for (const Case& c : cases) {
        auto r = reading("Boiler 1", {c.hint, dp("v", DatapointValue(1))});
        std::vector<DatabaseRecord> records = mapper.mapReadingsToRecords({r.get()});
        ASSERT_EQ(records.size(), 1u) << c.what;
        EXPECT_EQ(records[0].getTableName(), c.table) << c.what;
        EXPECT_EQ(records[0].getValue("asset_code"), "Boiler 1") << c.what;
    }
}

TEST_F(MapperTest, DeeplyNestedHintsDoNotExhaustTheStack) {
    const size_t depth = 200000;
    std::string deep =
        "{\"x\":" + std::string(depth, '[') + std::string(depth, ']') + ",\"tablename\":\"deep\"}";
    EXPECT_EQ(route("pump", hint(deep)), "deep");
    std::string unclosed(depth, '{');
    EXPECT_EQ(route("pump", hint(unclosed)), "pump");
    std::string nested = "{\"tablename\":{\"tablename\":\"inner\"}}";
    EXPECT_EQ(route("pump", hint(nested)), "pump");
    EXPECT_EQ(route("pump", dict("databricksHint",
                                 {dict("tablename", {dp("tablename", DatapointValue("in"))})})),
              "pump");
}

TEST_F(MapperTest, HintThatIsNotAnObjectRoutesByAssetCodeAndIsNotCalledInvalid) {
    // A JSON string holding an object is a string, not an object.
    for (const std::string text :
         {"[\"line_1\"]", "42", "\"line_1\"", "true", "\"{\\\"tablename\\\":\\\"line_1\\\"}\""}) {
        log.clear();
        EXPECT_EQ(route("pump", hint(text)), "pump") << text;
        EXPECT_FALSE(log.contains("Invalid hint JSON format")) << text;
    }
}

TEST_F(MapperTest, StructuredHintValuesRouteToo) {
    EXPECT_EQ(route("pump", dict("databricksHint", {dp("tablename", DatapointValue("line_2"))})),
              "line_2");
    // Read directly: what the name holds is the name, escapes and all.
    EXPECT_EQ(route("pump", dict("databricksHint", {dp("tablename", DatapointValue("a\\b"))})),
              "a\\b");
    EXPECT_EQ(route("pump", dict("databricksHint", {dp("site", DatapointValue("x")),
                                                    dp("tablename", DatapointValue("line_3")),
                                                    dp("tablename", DatapointValue("late"))})),
              "line_3");
    EXPECT_EQ(route("pump", dict("databricksHint", {dp("tablename", DatapointValue(3)),
                                                    dp("tablename", DatapointValue("late"))})),
              "pump");
    EXPECT_EQ(route("pump", dict("databricksHint", {dp("TableName", DatapointValue("x"))})),
              "pump");
    EXPECT_EQ(route("pump", dp("databricksHint", DatapointValue(5))), "pump");
}

TEST_F(MapperTest, EmptyHintNameRoutesByAssetCodeAndOnlyAnEmptyAssetDrops) {
    auto emptyHint = reading("pump", {hint("{\"tablename\":\"\"}")});
    EXPECT_EQ(mapper.extractTableName(emptyHint.get()), "pump");
    auto emptyAsset = reading("", {dp("v", DatapointValue(1))});
    auto kept = reading("valve", {});
    auto hinted = reading("", {hint("{\"tablename\":\"line\"}")});
    std::vector<Reading*> batch{emptyHint.get(), emptyAsset.get(), kept.get(), hinted.get()};
    std::vector<DatabaseRecord> records = mapper.mapReadingsToRecords(batch);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].getTableName(), "pump");
    EXPECT_EQ(records[1].getTableName(), "valve");
    EXPECT_EQ(records[2].getTableName(), "line");
    EXPECT_EQ(records[2].readingIndex(), 3u);
    EXPECT_EQ(log.at(Level::WARNING).size(), 1u) << "the reading without a table name";
}

// --- batches and grouping ------------------------------------------------------------

TEST_F(MapperTest, BatchSkipsNullPointersAndKeepsOrder) {
    auto first = reading("b", {dp("v", DatapointValue(1))});
    auto third = reading("a", {dp("v", DatapointValue(3))});
    std::vector<Reading*> batch{first.get(), nullptr, third.get()};
    std::vector<DatabaseRecord> records = mapper.mapReadingsToRecords(batch);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].getTableName(), "b");
    EXPECT_EQ(records[1].getTableName(), "a");
    EXPECT_EQ(records[1].getValue("v"), "3");
    // Each record points back at its reading: index i is the batch's reading i.
    EXPECT_EQ(records[0].readingIndex(), 0u);
    EXPECT_EQ(records[1].readingIndex(), 2u);
    EXPECT_EQ(mapper.mapReadingToRecord(first.get()).readingIndex(), DatabaseRecord::kNoReading);
    EXPECT_TRUE(mapper.mapReadingsToRecords({}).empty());
}

TEST_F(MapperTest, BatchMapsEachReadingLikeOneReading) {
    auto r = reading("Boiler 1", {hint("{\"tablename\":\"line.1\"}"),
                                  dp("x y", DatapointValue(2.5)), dp("n", DatapointValue(7))});
    std::vector<DatabaseRecord> records = mapper.mapReadingsToRecords({r.get()});
    ASSERT_EQ(records.size(), 1u);
    DatabaseRecord single = mapper.mapReadingToRecord(r.get());
    EXPECT_EQ(records[0].getTableName(), single.getTableName());
    EXPECT_EQ(records[0].getColumnNames(), single.getColumnNames());
    EXPECT_EQ(records[0].getValues(), single.getValues());
    EXPECT_EQ(records[0].getTableName(), "line_1");
}

TEST_F(MapperTest, GroupingOrdersTablesAndKeepsRecordOrder) {
    std::vector<DatabaseRecord> records;
    for (const char* table : {"b", "a", "", "b", "B"}) {
        DatabaseRecord record(table);
        record.addColumn("n", std::to_string(records.size()), "BIGINT", CONSTRAINT_NONE);
        records.push_back(std::move(record));
    }
    TableGroups groups = mapper.groupRecordsByTable(records);
    ASSERT_EQ(groups.size(), 2u);
    auto it = groups.begin();
    EXPECT_EQ(it->first, "a");
    EXPECT_EQ((++it)->first, "b");
    ASSERT_EQ(groups["b"].size(), 3u);
    EXPECT_EQ(groups["b"][0].getValue("n"), "0");
    EXPECT_EQ(groups["b"][1].getValue("n"), "3");
    EXPECT_EQ(groups["b"][2].getValue("n"), "4");
    EXPECT_EQ(groups["b"][2].getTableName(), "b");
    EXPECT_EQ(groups["a"][0].getValue("n"), "1");
    // The grouped records were moved out of the input.
    EXPECT_EQ(records[0].getTableName(), "");
    EXPECT_EQ(records[0].columnCount(), 0u);

    std::vector<DatabaseRecord> none;
    EXPECT_TRUE(mapper.groupRecordsByTable(none).empty());
}

TEST_F(MapperTest, TablesEqualButForCaseAreOneGroupNamedAsFirstSpelled) {
    struct Case {
        const char* what;
        Names tables;                                       // of the records, in order
        std::vector<std::pair<std::string, Names>> groups;  // name -> record numbers
    };
    const std::vector<Case> cases = {
        {"one table, three spellings",
         {"Pump", "pump", "PUMP", "pump"},
         {{"Pump", {"0", "1", "2", "3"}}}},
        {"first spelling lower case", {"pump", "Pump"}, {{"pump", {"0", "1"}}}},
        {"groups in byte order of their names",
         {"valve", "Pump", "VALVE", "b", "pump", "", "B", "a"},
         {{"Pump", {"1", "4"}}, {"a", {"7"}}, {"b", {"3", "6"}}, {"valve", {"0", "2"}}}},
        {"only ASCII letters fold",
         {"\xC3\xA4", "\xC3\x84", "x_1", "X_1"},
         {{"x_1", {"2", "3"}}, {"\xC3\x84", {"1"}}, {"\xC3\xA4", {"0"}}}},
    };
    for (const Case& c : cases) {
        std::vector<DatabaseRecord> records;
        for (const std::string& table : c.tables) {
            DatabaseRecord record(table);
            record.addColumn("n", std::to_string(records.size()), "BIGINT", CONSTRAINT_NONE);
            record.setReadingIndex(records.size() * 10);
            records.push_back(std::move(record));
        }
        TableGroups groups = mapper.groupRecordsByTable(std::move(records));
        ASSERT_EQ(groups.size(), c.groups.size()) << c.what;
        auto group = groups.begin();
        for (const auto& [name, numbers] : c.groups) {
            EXPECT_EQ(group->first, name) << c.what;
            ASSERT_EQ(group->second.size(), numbers.size()) << c.what << " " << name;
            for (size_t i = 0; i < numbers.size(); ++i) {
                const DatabaseRecord& record = group->second[i];
                EXPECT_EQ(record.getValue("n"), numbers[i]) << c.what;
                EXPECT_EQ(record.getTableName(), name) << c.what;
                EXPECT_EQ(record.readingIndex(), std::stoul(numbers[i]) * 10) << c.what;
            }
            ++group;
        }
    }
}

TEST_F(MapperTest, ReadingIndexesSurviveMappingAndGrouping) {
    auto a = reading("Pump", {dp("v", DatapointValue(1))});
    auto b = reading("valve", {dp("v", DatapointValue(2))});
    auto c = reading("PUMP", {dp("v", DatapointValue(3))});
    auto d = reading("", {dp("v", DatapointValue(4))});
    std::vector<Reading*> batch{a.get(), nullptr, b.get(), d.get(), c.get()};
    TableGroups groups = mapper.groupRecordsByTable(mapper.mapReadingsToRecords(batch));
    ASSERT_EQ(groups.size(), 2u);
    ASSERT_EQ(groups["Pump"].size(), 2u);
    EXPECT_EQ(groups["Pump"][0].readingIndex(), 0u);
    EXPECT_EQ(groups["Pump"][1].readingIndex(), 4u);
    EXPECT_EQ(groups["Pump"][1].getValue("asset_code"), "PUMP");
    ASSERT_EQ(groups["valve"].size(), 1u);
    EXPECT_EQ(groups["valve"][0].readingIndex(), 2u);

    // One table: the whole list moves over, indexes and all.
    groups = mapper.groupRecordsByTable(mapper.mapReadingsToRecords({b.get(), nullptr, b.get()}));
    ASSERT_EQ(groups["valve"].size(), 2u);
    EXPECT_EQ(groups["valve"][0].readingIndex(), 0u);
    EXPECT_EQ(groups["valve"][1].readingIndex(), 2u);
}

// --- without a builder -------------------------------------------------------------

TEST(MapperWithoutBuilder, GivesEmptyResults) {
    ReadingMapper mapper;
    EXPECT_EQ(mapper.getHintName(), "");
    EXPECT_FALSE(mapper.shouldSkipDatapoint("databricksHint"));
    EXPECT_FALSE(mapper.shouldSkipDatapoint(""));

    auto r = reading("pump", {dp("v", DatapointValue(1))});
    DatabaseRecord record = mapper.mapReadingToRecord(r.get());
    EXPECT_EQ(record.getTableName(), "");
    EXPECT_EQ(record.columnCount(), 0u);
    EXPECT_TRUE(mapper.mapReadingsToRecords({r.get(), r.get()}).empty());
    EXPECT_EQ(mapper.extractTableName(r.get()), "");

    // Setting a builder later makes the same mapper work.
    DatabricksSQLBuilder builder;
    mapper.setSQLBuilder(&builder);
    EXPECT_EQ(mapper.mapReadingToRecord(r.get()).getTableName(), "pump");
    mapper.setSQLBuilder(nullptr);
    EXPECT_EQ(mapper.mapReadingToRecord(r.get()).getTableName(), "");
}

// The mapper takes names and the hint from its builder, and gives each column
// the kind of its value: with a builder that keeps names and writes one type,
// the table is created with that builder's types.
class GenericBuilder : public SQLBuilder {
  public:
    SQLBuilder* createSQLBuilder() const override { return new GenericBuilder(); }
    std::string getHintName() const override { return "route"; }
};

TEST(MapperWithGenericBuilder, TypesNamesAndHintComeFromTheBuilder) {
    GenericBuilder builder;
    ReadingMapper mapper("i", &builder);
    auto r = reading("Boiler 1", {dp("a b", DatapointValue(1)), dp("f", DatapointValue(2.0)),
                                  dp("route", DatapointValue("{\"tablename\":\"x.y\"}")),
                                  dp("databricksHint", DatapointValue("z"))});
    DatabaseRecord record = mapper.mapReadingToRecord(r.get());
    EXPECT_EQ(record.getTableName(), "x.y");
    EXPECT_EQ(record.getColumnNames(),
              (Names{"asset_code", "user_ts", "ts", "corvane", "a b", "f", "databricksHint"}));
    EXPECT_EQ(record.kindAt(4), ValueKind::Integer);
    EXPECT_EQ(record.kindAt(5), ValueKind::Double);
    EXPECT_EQ(record.kindAt(6), ValueKind::Text);
    SchemaManager schema;
    schema.setSQLBuilder(&builder);
    EXPECT_EQ(schema.buildCreateTableSQL("x.y", record),
              "CREATE TABLE `x.y` (`asset_code` VARCHAR(256) NOT NULL, `user_ts` TIMESTAMP, `ts` "
              "TIMESTAMP, `corvane` VARCHAR(256), `a b` VARCHAR(256), `f` VARCHAR(256), "
              "`databricksHint` VARCHAR(256))");
}

// A builder whose table names drop blanks: a hint of blanks names no table.
class BlankDroppingBuilder : public GenericBuilder {
  public:
    std::string tableNameFor(const std::string& name) const override {
        std::string kept;
        for (char c : name) {
            if (c != ' ')
                kept += c;
        }
        return kept;
    }
};

TEST(MapperWithGenericBuilder, HintEmptyOnceRenamedRoutesByAssetCode) {
    BlankDroppingBuilder builder;
    ReadingMapper mapper("i", &builder);
    auto r = reading("Boiler 1", {dp("route", DatapointValue("{\"tablename\":\"   \"}"))});
    EXPECT_EQ(mapper.extractTableName(r.get()), "Boiler 1");
    std::vector<DatabaseRecord> records = mapper.mapReadingsToRecords({r.get()});
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].getTableName(), "Boiler1");
}

}  // namespace
