// ReadingMapper: value texts, fixed columns, datapoint columns with overwrite in
// place and renaming, table routing by asset code and hint datapoint, grouping
// by table, and the behaviour without a SQL builder. Real host readings, the
// real Databricks builder.

#include <gtest/gtest.h>

#include <cstdio>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "databricks_sql_builder.h"
#include "datapoint.h"
#include "log_capture.h"
#include "reading.h"
#include "reading_mapper.h"

namespace {

using Names = std::vector<std::string>;
using Level = Logger::Level;

// 1700000000 is 2023-11-14 22:13:20 UTC.
constexpr uint64_t kTime = 1700000000123456ULL;
constexpr uint64_t kUserTime = 1700000001000001ULL;
const std::string kTimeText = "2023-11-14 22:13:20.123456+00:00";
const std::string kUserTimeText = "2023-11-14 22:13:21.000001+00:00";

// What printf's "%f" writes for a number of any size.
std::string printfFixed(double number) {
    std::vector<char> text(512);
    int length = std::snprintf(text.data(), text.size(), "%f", number);
    return std::string(text.data(), static_cast<size_t>(length));
}

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
        {DatapointValue(21.5), "21.500000"},
        {DatapointValue(0.1), "0.100000"},
        {DatapointValue(-0.0000004), "-0.000000"},
        {DatapointValue(1e20), "100000000000000000000.000000"},
        {DatapointValue(1e300), printfFixed(1e300)},
        {DatapointValue(-1.7976931348623157e308), printfFixed(-1.7976931348623157e308)},
        {DatapointValue(std::numeric_limits<double>::infinity()), "inf"},
        {DatapointValue(-std::numeric_limits<double>::infinity()), "-inf"},
        {DatapointValue(std::numeric_limits<double>::quiet_NaN()), "nan"},
        {DatapointValue(-std::numeric_limits<double>::quiet_NaN()), "nan"},
        {DatapointValue(std::vector<double>{1.5, 2}), "[1.5,2.0]"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(mapper.datapointValueToString(c.value), c.text) << c.text;
    EXPECT_TRUE(log.entries().empty());
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

TEST_F(MapperTest, ImagesAndBuffersBecomeNullWithOneMessageEach) {
    DatapointValue image(new DPImage(2, 2, 8, {1, 2, 3, 4}));
    DatapointValue buffer(new DataBuffer(1, {9, 9}));
    EXPECT_EQ(mapper.datapointValueToString(image), "null");
    EXPECT_EQ(mapper.datapointValueToString(buffer), "null");
    EXPECT_EQ(mapper.datapointValueToString(image), "null");
    EXPECT_EQ(log.count(Level::INFO,
                        "Image and databuffer datapoint types not supported - using null value"),
              3u);
}

// --- one reading ------------------------------------------------------------------

TEST_F(MapperTest, PumpReadingBecomesFixedAndDatapointColumns) {
    auto r =
        reading("pump", {dp("temperature", DatapointValue(21.5)), dp("count", DatapointValue(3))});
    DatabaseRecord record = mapper.mapReadingToRecord(r.get());

    EXPECT_EQ(record.getTableName(), "pump");
    EXPECT_EQ(record.getColumnNames(),
              (Names{"asset_code", "user_ts", "ts", "corvane", "temperature", "count"}));
    EXPECT_EQ(record.getValues(),
              (Names{"pump", kUserTimeText, kTimeText, "edge-7", "21.500000", "3"}));
    const Names types{"VARCHAR(256)", "TIMESTAMP", "TIMESTAMP", "VARCHAR(256)", "DOUBLE", "BIGINT"};
    const std::vector<ColumnConstraint> constraints{CONSTRAINT_NOT_NULL, CONSTRAINT_NONE,
                                                    CONSTRAINT_NONE,     CONSTRAINT_NONE,
                                                    CONSTRAINT_NULLABLE, CONSTRAINT_NULLABLE};
    for (size_t i = 0; i < record.columnCount(); ++i) {
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
    EXPECT_EQ(record.getValue("img"), "null");
    EXPECT_EQ(record.getSQLType("buf"), "STRING");
    EXPECT_EQ(record.getValue("buf"), "null");
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

TEST_F(MapperTest, DatapointNamedLikeAFixedColumnOverwritesInPlace) {
    auto r = reading("pump", {dp("ts", DatapointValue(5)), dp("asset_code", DatapointValue("x"))});
    DatabaseRecord record = mapper.mapReadingToRecord(r.get());
    EXPECT_EQ(record.getColumnNames(), (Names{"asset_code", "user_ts", "ts", "corvane"}));
    EXPECT_EQ(record.findColumn("ts"), 2);
    EXPECT_EQ(record.getValue("ts"), "5");
    EXPECT_EQ(record.getSQLType("ts"), "BIGINT");
    EXPECT_EQ(record.getConstraints("ts"), CONSTRAINT_NULLABLE);
    EXPECT_EQ(record.getValue("asset_code"), "x");
    EXPECT_EQ(record.getConstraints("asset_code"), CONSTRAINT_NULLABLE);
    EXPECT_EQ(record.getTableName(), "pump");
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

TEST_F(MapperTest, NullReadingIsLoggedAndGivesAnEmptyRecord) {
    DatabaseRecord record = mapper.mapReadingToRecord(nullptr);
    EXPECT_EQ(record.getTableName(), "");
    EXPECT_EQ(record.columnCount(), 0u);
    EXPECT_TRUE(log.has(Level::ERROR, "Cannot process null reading - skipping"));
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
    EXPECT_EQ(record.getValue("Outside_Temperature"), "3.500000");
    EXPECT_TRUE(
        log.has(Level::DEBUG,
                "Datapoint 'Outside Temperature' is written to column 'Outside_Temperature'"));
    EXPECT_TRUE(log.has(Level::DEBUG, "Datapoint 'flow (l/s)' is written to column 'flow__l/s_'"));
    EXPECT_FALSE(log.contains("Datapoint 'ok'"));

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
    EXPECT_EQ(record.getValue("a_b"), "4.000000");
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
    EXPECT_FALSE(log.contains("hint"));
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
        {"{\"tablename\":\"x\\u0041\"}", "xu0041", false},
        {"{}", "pump", false},
        {"not json", "pump", true},
        {"", "pump", true},
        {"{\"tablename\":\"line_1\"} extra", "pump", true},
        {"{\"tablename\":\"line_1\"", "pump", true},
    };
    for (const auto& c : cases) {
        log.clear();
        EXPECT_EQ(route("pump", hint(c.hintText)), c.table) << c.hintText;
        EXPECT_TRUE(log.has(Level::DEBUG, "Processing databricksHint hint datapoint"))
            << c.hintText;
        EXPECT_EQ(log.contains("Invalid hint JSON format: "), c.invalidLogged) << c.hintText;
        EXPECT_FALSE(log.contains("not an object")) << c.hintText;
    }
}

TEST_F(MapperTest, InvalidHintIsLoggedAsItStoodAfterStripping) {
    EXPECT_EQ(route("pump", hint("not json")), "pump");
    EXPECT_TRUE(log.has(Level::DEBUG, "Invalid hint JSON format: not json"));
    log.clear();
    EXPECT_EQ(route("pump", hint("")), "pump");
    EXPECT_TRUE(log.has(Level::DEBUG, "Invalid hint JSON format: "));
    log.clear();
    // A lone double quote: the text form is three quotes once the escaping
    // backslash is gone, the outer two are dropped and one remains.
    EXPECT_EQ(route("pump", hint("\"")), "pump");
    EXPECT_TRUE(log.has(Level::DEBUG, "Invalid hint JSON format: \""));
}

TEST_F(MapperTest, HintThatIsNotAnObjectHasItsOwnMessage) {
    for (const std::string text : {"[\"line_1\"]", "42", "\"line_1\"", "true"}) {
        log.clear();
        EXPECT_EQ(route("pump", hint(text)), "pump") << text;
        EXPECT_FALSE(log.contains("Invalid hint JSON format")) << text;
        EXPECT_EQ(log.at(Level::DEBUG).size(), 2u) << text;
        EXPECT_TRUE(log.contains("Hint JSON is not an object")) << text;
    }
}

TEST_F(MapperTest, StructuredHintValuesRouteToo) {
    EXPECT_EQ(route("pump", dict("databricksHint", {dp("tablename", DatapointValue("line_2"))})),
              "line_2");
    EXPECT_EQ(route("pump", dp("databricksHint", DatapointValue(5))), "pump");
}

TEST_F(MapperTest, EmptyTableNameDropsTheReading) {
    auto emptyHint = reading("pump", {hint("{\"tablename\":\"\"}")});
    EXPECT_EQ(mapper.extractTableName(emptyHint.get()), "");
    auto emptyAsset = reading("", {dp("v", DatapointValue(1))});
    auto kept = reading("pump", {});
    std::vector<Reading*> batch{emptyHint.get(), emptyAsset.get(), kept.get()};
    std::vector<DatabaseRecord> records = mapper.mapReadingsToRecords(batch);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].getTableName(), "pump");
    EXPECT_TRUE(log.at(Level::ERROR).empty());
}

// --- batches and grouping ------------------------------------------------------------

TEST_F(MapperTest, BatchSkipsNullPointersSilentlyAndKeepsOrder) {
    auto first = reading("b", {dp("v", DatapointValue(1))});
    auto third = reading("a", {dp("v", DatapointValue(3))});
    std::vector<Reading*> batch{first.get(), nullptr, third.get()};
    std::vector<DatabaseRecord> records = mapper.mapReadingsToRecords(batch);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].getTableName(), "b");
    EXPECT_EQ(records[1].getTableName(), "a");
    EXPECT_EQ(records[1].getValue("v"), "3");
    EXPECT_TRUE(log.at(Level::ERROR).empty());
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
    ASSERT_EQ(groups.size(), 3u);
    auto it = groups.begin();
    EXPECT_EQ(it->first, "B");
    EXPECT_EQ((++it)->first, "a");
    EXPECT_EQ((++it)->first, "b");
    ASSERT_EQ(groups["b"].size(), 2u);
    EXPECT_EQ(groups["b"][0].getValue("n"), "0");
    EXPECT_EQ(groups["b"][1].getValue("n"), "3");
    EXPECT_EQ(groups["a"][0].getValue("n"), "1");
    // The grouped records were moved out of the input.
    EXPECT_EQ(records[0].getTableName(), "");
    EXPECT_EQ(records[0].columnCount(), 0u);

    std::vector<DatabaseRecord> none;
    EXPECT_TRUE(mapper.groupRecordsByTable(none).empty());
}

// --- without a builder -------------------------------------------------------------

TEST(MapperWithoutBuilder, LogsAnErrorAndGivesEmptyResults) {
    LogCapture log;
    ReadingMapper mapper;
    EXPECT_EQ(mapper.getHintName(), "");
    EXPECT_FALSE(mapper.shouldSkipDatapoint("databricksHint"));
    EXPECT_FALSE(mapper.shouldSkipDatapoint(""));

    auto r = reading("pump", {dp("v", DatapointValue(1))});
    DatabaseRecord record = mapper.mapReadingToRecord(r.get());
    EXPECT_EQ(record.getTableName(), "");
    EXPECT_EQ(record.columnCount(), 0u);
    EXPECT_EQ(log.at(Level::ERROR).size(), 1u);

    EXPECT_TRUE(mapper.mapReadingsToRecords({r.get(), r.get()}).empty());
    EXPECT_EQ(log.at(Level::ERROR).size(), 2u);

    EXPECT_EQ(mapper.extractTableName(r.get()), "");
    EXPECT_EQ(log.at(Level::ERROR).size(), 3u);
    for (const auto& text : log.at(Level::ERROR)) {
        EXPECT_EQ(text, "No SQL builder set - cannot map readings");
    }

    // Setting a builder later makes the same mapper work.
    DatabricksSQLBuilder builder;
    mapper.setSQLBuilder(&builder);
    EXPECT_EQ(mapper.mapReadingToRecord(r.get()).getTableName(), "pump");
    mapper.setSQLBuilder(nullptr);
    EXPECT_EQ(mapper.mapReadingToRecord(r.get()).getTableName(), "");
}

// The mapper takes every type from its builder: with a builder that keeps
// names and writes one type, records follow that builder.
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
    for (size_t i : {4u, 5u, 6u})
        EXPECT_EQ(record.sqlTypeAt(i), "VARCHAR(256)");
}

}  // namespace
