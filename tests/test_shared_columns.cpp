// Records that share one column list, and the mapper that makes them: a record
// made from another's columns, copies taken before a change, the mapper's
// reuse of a column list within a batch (checked against mapping every reading
// on its own), grouping that takes its input, and the pipeline over records of
// several shapes.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "connector_fixture.h"
#include "databricks_odbc_connector.h"
#include "databricks_sql_builder.h"
#include "datapoint.h"
#include "log_capture.h"
#include "reading.h"
#include "reading_mapper.h"

namespace {

using Names = std::vector<std::string>;
using Level = Logger::Level;

constexpr uint64_t kTime = 1700000000123456ULL;

Datapoint* dp(const std::string& name, DatapointValue value) {
    return new Datapoint(name, value);
}

std::unique_ptr<Reading> reading(const std::string& asset, std::vector<Datapoint*> datapoints,
                                 uint64_t time = kTime) {
    auto r = std::make_unique<Reading>(asset, std::move(datapoints));
    r->setTimestamp(time);
    r->setUserTimestamp(time - 1000);
    return r;
}

DatabaseRecord sample() {
    DatabaseRecord record("pump");
    record.addColumn("asset_code", "pump", "VARCHAR(256)", CONSTRAINT_NOT_NULL);
    record.addColumn("temperature", "21.500000", "DOUBLE", CONSTRAINT_NULLABLE);
    record.addColumn("count", "3", "BIGINT", CONSTRAINT_NULLABLE);
    return record;
}

// Everything a record shows through its operations.
void expectSameColumns(const DatabaseRecord& a, const DatabaseRecord& b) {
    ASSERT_EQ(a.getColumnNames(), b.getColumnNames());
    for (const std::string& name : a.getColumnNames()) {
        EXPECT_EQ(a.getSQLType(name), b.getSQLType(name)) << name;
        EXPECT_EQ(a.getConstraints(name), b.getConstraints(name)) << name;
        EXPECT_EQ(a.findColumn(name), b.findColumn(name)) << name;
    }
}

void expectSameRecord(const DatabaseRecord& a, const DatabaseRecord& b) {
    EXPECT_EQ(a.getTableName(), b.getTableName());
    expectSameColumns(a, b);
    EXPECT_EQ(a.getValues(), b.getValues());
}

}  // namespace

// --- DatabaseRecord ------------------------------------------------------------

TEST(SharedColumns, RecordMadeFromAnotherHasItsColumnsAndNoValues) {
    DatabaseRecord first = sample();
    DatabaseRecord second("other", first);
    EXPECT_EQ(second.getTableName(), "other");
    expectSameColumns(first, second);
    EXPECT_EQ(second.getValues(), (Names{"", "", ""}));
    EXPECT_TRUE(second.sharesColumnsWith(first));
    EXPECT_TRUE(first.sharesColumnsWith(second));
    EXPECT_EQ(second.getConstraints("asset_code"), CONSTRAINT_NOT_NULL);
    EXPECT_TRUE(second.hasColumn("count"));
    EXPECT_FALSE(second.hasColumn("Count"));
}

TEST(SharedColumns, ValuesBelongToEachRecord) {
    DatabaseRecord first = sample();
    DatabaseRecord second("pump", first);
    second.setValueAt(1, "22.000000");
    second.addColumn("count", "4", "BIGINT", CONSTRAINT_NULLABLE);
    EXPECT_EQ(first.getValue("temperature"), "21.500000");
    EXPECT_EQ(first.getValue("count"), "3");
    EXPECT_EQ(second.getValue("temperature"), "22.000000");
    EXPECT_EQ(second.getValue("count"), "4");
    // Only values changed: the columns are still shared.
    EXPECT_TRUE(second.sharesColumnsWith(first));
}

TEST(SharedColumns, AddingAColumnTakesACopyFirst) {
    DatabaseRecord first = sample();
    DatabaseRecord second("pump", first);
    second.addColumn("pressure", "1.0", "DOUBLE", CONSTRAINT_NULLABLE);
    EXPECT_FALSE(second.sharesColumnsWith(first));
    EXPECT_EQ(first.getColumnNames(), (Names{"asset_code", "temperature", "count"}));
    EXPECT_EQ(second.getColumnNames(), (Names{"asset_code", "temperature", "count", "pressure"}));
    EXPECT_FALSE(first.hasColumn("pressure"));
    EXPECT_EQ(second.findColumn("pressure"), 3);
}

TEST(SharedColumns, RetypingAColumnTakesACopyFirst) {
    DatabaseRecord first = sample();
    DatabaseRecord second("pump", first);
    second.addColumn("count", "x", "STRING", CONSTRAINT_NONE);
    EXPECT_FALSE(second.sharesColumnsWith(first));
    EXPECT_EQ(first.getSQLType("count"), "BIGINT");
    EXPECT_EQ(first.getConstraints("count"), CONSTRAINT_NULLABLE);
    EXPECT_EQ(second.getSQLType("count"), "STRING");
    EXPECT_EQ(second.getConstraints("count"), CONSTRAINT_NONE);

    DatabaseRecord third("pump", first);
    third.addColumn("count", "5", "STRING");  // keeps the constraint
    EXPECT_EQ(third.getSQLType("count"), "STRING");
    EXPECT_EQ(third.getConstraints("count"), CONSTRAINT_NULLABLE);
    EXPECT_EQ(first.getSQLType("count"), "BIGINT");
}

TEST(SharedColumns, RenamingAColumnTakesACopyFirst) {
    DatabaseRecord first = sample();
    DatabaseRecord second("pump", first);
    ASSERT_TRUE(second.renameColumn(1, "Temperature"));
    EXPECT_FALSE(second.sharesColumnsWith(first));
    EXPECT_EQ(first.getColumnNames(), (Names{"asset_code", "temperature", "count"}));
    EXPECT_EQ(second.getColumnNames(), (Names{"asset_code", "Temperature", "count"}));
    EXPECT_EQ(first.findColumn("temperature"), 1);
    EXPECT_EQ(second.findColumn("temperature"), -1);
    EXPECT_EQ(second.findColumn("Temperature"), 1);
}

TEST(SharedColumns, MovesCarryTheSharingAndClearEndsIt) {
    DatabaseRecord first = sample();
    DatabaseRecord second("pump", first);
    DatabaseRecord moved(std::move(second));
    EXPECT_TRUE(moved.sharesColumnsWith(first));
    EXPECT_FALSE(second.sharesColumnsWith(first));
    EXPECT_TRUE(second.getColumnNames().empty());
    moved.clear();
    EXPECT_FALSE(moved.sharesColumnsWith(first));
    EXPECT_EQ(first.getColumnNames().size(), 3u);
    // Two records without columns share nothing.
    DatabaseRecord a, b;
    EXPECT_FALSE(a.sharesColumnsWith(b));
}

TEST(SharedColumns, TheLastHolderMayChangeInPlace) {
    DatabaseRecord copy;
    {
        DatabaseRecord first = sample();
        copy = DatabaseRecord("pump", first);
    }
    copy.addColumn("pressure", "1", "DOUBLE", CONSTRAINT_NULLABLE);
    EXPECT_EQ(copy.getColumnNames(), (Names{"asset_code", "temperature", "count", "pressure"}));
}

TEST(SharedColumns, ManyColumnsInAnyOrderAreFoundByName) {
    DatabaseRecord record;
    std::vector<std::string> names;
    std::mt19937 random(11);
    for (int i = 0; i < 600; ++i)
        names.push_back("c" + std::to_string(random() % 100000) + "_" + std::to_string(i));
    for (size_t i = 0; i < names.size(); ++i)
        record.addColumn(names[i], std::to_string(i), "BIGINT", CONSTRAINT_NULLABLE);
    ASSERT_EQ(record.getColumnNames(), names);
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(record.findColumn(names[i]), static_cast<int64_t>(i));
        EXPECT_EQ(record.getValue(names[i]), std::to_string(i));
    }
    EXPECT_EQ(record.findColumn("c"), -1);
    EXPECT_EQ(record.findColumn("zzz"), -1);
}

// --- ReadingMapper ---------------------------------------------------------------

class SharedMapping : public ::testing::Test {
  protected:
    DatabricksSQLBuilder builder;
    ReadingMapper mapper{"edge", &builder};
    std::vector<std::unique_ptr<Reading>> owned;

    std::vector<Reading*> pointers() const {
        std::vector<Reading*> raw;
        for (const auto& r : owned)
            raw.push_back(r.get());
        return raw;
    }
};

TEST_F(SharedMapping, ReadingsOfOneShapeShareTheirColumns) {
    for (int i = 0; i < 3; ++i) {
        owned.push_back(reading("pump",
                                {dp("temperature", DatapointValue(20.5 + i)),
                                 dp("count", DatapointValue(static_cast<long>(i)))},
                                kTime + i));
    }
    std::vector<DatabaseRecord> records = mapper.mapReadingsToRecords(pointers());
    ASSERT_EQ(records.size(), 3u);
    EXPECT_TRUE(records[1].sharesColumnsWith(records[0]));
    EXPECT_TRUE(records[2].sharesColumnsWith(records[0]));
    EXPECT_EQ(records[2].getValues(),
              (Names{"pump", "2023-11-14 22:13:20.122458+00:00", "2023-11-14 22:13:20.123458+00:00",
                     "edge", "22.5", "2"}));
    EXPECT_EQ(records[2].getTableName(), "pump");
}

TEST_F(SharedMapping, SameNamesOfAnotherKindAreAnotherShape) {
    owned.push_back(reading("pump", {dp("v", DatapointValue(1.5))}));
    owned.push_back(reading("pump", {dp("v", DatapointValue(static_cast<long>(2)))}));
    owned.push_back(reading("pump", {dp("v", DatapointValue(std::string("x")))}));
    std::vector<DatabaseRecord> records = mapper.mapReadingsToRecords(pointers());
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].getSQLType("v"), "DOUBLE");
    EXPECT_EQ(records[1].getSQLType("v"), "BIGINT");
    EXPECT_EQ(records[2].getSQLType("v"), "STRING");
    EXPECT_FALSE(records[1].sharesColumnsWith(records[0]));
    EXPECT_EQ(records[1].getValue("v"), "2");
}

TEST_F(SharedMapping, RenamedDatapointsAreRenamedInEveryReading) {
    owned.push_back(reading("pump", {dp("flow rate", DatapointValue(1.0))}));
    owned.push_back(reading("pump", {dp("flow rate", DatapointValue(2.0))}));
    std::vector<DatabaseRecord> records = mapper.mapReadingsToRecords(pointers());
    ASSERT_EQ(records.size(), 2u);
    for (const DatabaseRecord& record : records) {
        EXPECT_EQ(record.getColumnNames(), (std::vector<std::string>{"asset_code", "user_ts", "ts",
                                                                     "corvane", "flow_rate"}));
    }
    EXPECT_EQ(records[0].getValue("flow_rate"), "1.0");
    EXPECT_EQ(records[1].getValue("flow_rate"), "2.0");
}

TEST_F(SharedMapping, ImageOfEveryReadingKeepsItsOwnContent) {
    for (uint8_t i = 0; i < 2; ++i) {
        owned.push_back(reading(
            "cam", {dp("frame", DatapointValue(new DPImage(1, 1, 8, std::vector<uint8_t>{i})))}));
    }
    std::vector<DatabaseRecord> records = mapper.mapReadingsToRecords(pointers());
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].getValue("frame"), R"({"width":1,"height":1,"depth":8,"data":"AA=="})");
    EXPECT_EQ(records[1].getValue("frame"), R"({"width":1,"height":1,"depth":8,"data":"AQ=="})");
    EXPECT_EQ(records[1].kindAt(4), ValueKind::Binary);
}

// The batch operation against mapping every reading on its own (which builds
// each record column by column), over readings whose shapes repeat, differ by
// kind, repeat a name, differ only in case, carry the hint anywhere, hold null
// datapoints or a datapoint named like a fixed column.
TEST_F(SharedMapping, BatchEqualsReadingByReading) {
    std::mt19937 random(5);
    const std::vector<std::string> names = {"a", "b",   "B",          "c d", "ts",
                                            "a", "e;f", "asset_code", "",    "flow"};
    for (int i = 0; i < 400; ++i) {
        std::vector<Datapoint*> datapoints;
        const int shape = static_cast<int>(random() % 7);
        const int count = 1 + shape % 4;
        for (int k = 0; k < count; ++k) {
            const std::string& name = names[(shape * 3 + k * (shape + 1)) % names.size()];
            switch ((shape + k) % 3) {
                case 0:
                    datapoints.push_back(dp(name, DatapointValue(static_cast<double>(i) / 8)));
                    break;
                case 1:
                    datapoints.push_back(dp(name, DatapointValue(static_cast<long>(i * k))));
                    break;
                default:
                    datapoints.push_back(dp(name, DatapointValue("t'" + std::to_string(i))));
            }
            if (shape == 5 && k == 0)
                datapoints.push_back(dp("databricksHint",
                                        DatapointValue(std::string("{\"tablename\":\"routed\"}"))));
        }
        if (shape == 6)
            datapoints.insert(datapoints.begin(), nullptr);
        owned.push_back(reading(i % 3 ? "pump" : "Valve 7", std::move(datapoints),
                                kTime + static_cast<uint64_t>(i) * 700000));
    }
    std::vector<DatabaseRecord> batch = mapper.mapReadingsToRecords(pointers());
    ASSERT_EQ(batch.size(), owned.size());
    for (size_t i = 0; i < owned.size(); ++i) {
        SCOPED_TRACE(i);
        DatabaseRecord alone = mapper.mapReadingToRecord(owned[i].get());
        expectSameRecord(batch[i], alone);
    }
}

TEST_F(SharedMapping, GroupingThatTakesTheListLeavesItEmpty) {
    owned.push_back(reading("b", {dp("x", DatapointValue(1.0))}));
    owned.push_back(reading("a", {dp("x", DatapointValue(2.0))}));
    owned.push_back(reading("b", {dp("x", DatapointValue(3.0))}));
    std::vector<DatabaseRecord> records = mapper.mapReadingsToRecords(pointers());
    TableGroups groups = mapper.groupRecordsByTable(std::move(records));
    EXPECT_TRUE(records.empty());
    ASSERT_EQ(groups.size(), 2u);
    ASSERT_EQ(groups["b"].size(), 2u);
    EXPECT_EQ(groups["b"][1].getValue("x"), "3.0");
    EXPECT_EQ(groups["a"][0].getValue("x"), "2.0");

    owned.clear();
    owned.push_back(reading("one", {dp("x", DatapointValue(1.0))}));
    owned.push_back(reading("one", {dp("x", DatapointValue(2.0))}));
    records = mapper.mapReadingsToRecords(pointers());
    TableGroups single = mapper.groupRecordsByTable(std::move(records));
    EXPECT_TRUE(records.empty());
    ASSERT_EQ(single.size(), 1u);
    ASSERT_EQ(single["one"].size(), 2u);
    EXPECT_EQ(single["one"][1].getValue("x"), "2.0");

    // The list kept by the caller: as many records as before, all empty.
    records = mapper.mapReadingsToRecords(pointers());
    single = mapper.groupRecordsByTable(records);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_TRUE(records[0].getColumnNames().empty());
    EXPECT_EQ(records[1].getTableName(), "");
    EXPECT_EQ(single["one"].size(), 2u);
}

// --- The pipeline over records of several shapes -----------------------------------

TEST(SharedColumnsPipeline, RowsFollowTheTableColumnsWhateverTheRecordShape) {
    RecordingConnector warehouse;
    DatabricksODBCConnector& connector = warehouse.connector;
    const std::vector<std::string>& statements = warehouse.statements;

    std::vector<std::unique_ptr<Reading>> owned;
    for (int i = 0; i < 6; ++i) {
        if (i % 2 == 0) {
            owned.push_back(reading("pump", {dp("t", DatapointValue(static_cast<double>(i)))}));
        } else {
            owned.push_back(reading("pump", {dp("n", DatapointValue(static_cast<long>(i))),
                                             dp("t", DatapointValue(static_cast<double>(i)))}));
        }
    }
    std::vector<Reading*> raw;
    for (const auto& r : owned)
        raw.push_back(r.get());
    ASSERT_TRUE(connector.send(raw));

    // One CREATE from the first record, one ALTER for the second shape's new
    // column, one INSERT whose rows follow the table's column order.
    ASSERT_EQ(statements.size(), 4u);  // information schema, CREATE, ALTER, INSERT
    EXPECT_EQ(statements[2], "ALTER TABLE `pump` ADD COLUMN `n` BIGINT");
    const std::string ts = "'2023-11-14 22:13:20.122456+00:00', '2023-11-14 22:13:20.123456+00:00'";
    EXPECT_EQ(statements[3],
              "INSERT INTO `pump` (`asset_code`, `user_ts`, `ts`, `corvane`, `t`, `n`) VALUES "
              "('pump', " +
                  ts + ", 'edge', 0.0D, NULL), ('pump', " + ts + ", 'edge', 1.0D, 1), ('pump', " +
                  ts + ", 'edge', 2.0D, NULL), ('pump', " + ts + ", 'edge', 3.0D, 3), ('pump', " +
                  ts + ", 'edge', 4.0D, NULL), ('pump', " + ts + ", 'edge', 5.0D, 5)");
}
