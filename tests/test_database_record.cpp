// DatabaseRecord: parallel column lists with a name index, overwrite in place,
// move-only ownership.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "database_record.h"

namespace {

using Names = std::vector<std::string>;

TEST(DatabaseRecordTest, IsMovedNeverCopied) {
    static_assert(!std::is_copy_constructible_v<DatabaseRecord>);
    static_assert(!std::is_copy_assignable_v<DatabaseRecord>);
    static_assert(std::is_nothrow_move_constructible_v<DatabaseRecord>);
    static_assert(std::is_nothrow_move_assignable_v<DatabaseRecord>);
}

TEST(DatabaseRecordTest, NewRecordsAreEmpty) {
    DatabaseRecord empty;
    EXPECT_EQ(empty.getTableName(), "");
    EXPECT_TRUE(empty.getColumnNames().empty());
    EXPECT_EQ(empty.columnCount(), 0u);

    DatabaseRecord named("pump");
    EXPECT_EQ(named.getTableName(), "pump");
    EXPECT_TRUE(named.getValues().empty());

    named.setTableName("");
    EXPECT_EQ(named.getTableName(), "");
    named.addColumn("a", "1", "BIGINT", CONSTRAINT_NONE);
    EXPECT_TRUE(named.hasColumn("a"));
}

TEST(DatabaseRecordTest, ColumnsKeepTheOrderOfFirstAddition) {
    DatabaseRecord record("t");
    record.addColumn("zeta", "1", "BIGINT", CONSTRAINT_NONE);
    record.addColumn("alpha", "2", "DOUBLE", CONSTRAINT_NOT_NULL);
    record.addColumn("mid", "x", "VARCHAR(256)", CONSTRAINT_NULLABLE);

    EXPECT_EQ(record.getColumnNames(), (Names{"zeta", "alpha", "mid"}));
    EXPECT_EQ(record.getValues(), (Names{"1", "2", "x"}));
    EXPECT_EQ(record.findColumn("zeta"), 0);
    EXPECT_EQ(record.findColumn("alpha"), 1);
    EXPECT_EQ(record.findColumn("mid"), 2);
    EXPECT_EQ(record.valueAt(1), "2");
    EXPECT_EQ(record.sqlTypeAt(1), "DOUBLE");
    EXPECT_EQ(record.constraintAt(1), CONSTRAINT_NOT_NULL);
    EXPECT_EQ(record.sqlTypeAt(2), "VARCHAR(256)");
    EXPECT_EQ(record.constraintAt(2), CONSTRAINT_NULLABLE);
}

TEST(DatabaseRecordTest, RepeatedNameOverwritesInPlace) {
    DatabaseRecord record("t");
    record.addColumn("a", "1", "BIGINT", CONSTRAINT_NOT_NULL);
    record.addColumn("b", "2", "BIGINT", CONSTRAINT_NONE);
    record.addColumn("a", "x", "VARCHAR(256)", CONSTRAINT_NULLABLE | CONSTRAINT_UNIQUE);

    EXPECT_EQ(record.getColumnNames(), (Names{"a", "b"}));
    EXPECT_EQ(record.getValues(), (Names{"x", "2"}));
    EXPECT_EQ(record.getValue("a"), "x");
    EXPECT_EQ(record.getSQLType("a"), "VARCHAR(256)");
    EXPECT_EQ(record.getConstraints("a"), CONSTRAINT_NULLABLE | CONSTRAINT_UNIQUE);
    EXPECT_EQ(record.findColumn("a"), 0);
    EXPECT_EQ(record.columnCount(), 2u);
}

TEST(DatabaseRecordTest, ThreeArgumentAddKeepsConstraintOfExistingColumn) {
    DatabaseRecord record("t");
    record.addColumn("a", "1", "BIGINT", CONSTRAINT_NOT_NULL);
    record.addColumn("a", "2.5", "DOUBLE");
    EXPECT_EQ(record.getValue("a"), "2.5");
    EXPECT_EQ(record.getSQLType("a"), "DOUBLE");
    EXPECT_EQ(record.getConstraints("a"), CONSTRAINT_NOT_NULL);

    record.addColumn("b", "v", "STRING");
    EXPECT_EQ(record.getConstraints("b"), CONSTRAINT_NONE);
    EXPECT_EQ(record.getColumnNames(), (Names{"a", "b"}));
}

TEST(DatabaseRecordTest, KindsAndTypeTexts) {
    // A column added by kind reports its kind's usual type name and declares
    // no text; one added with a text keeps that text, its kind read from it.
    struct Case {
        std::string column;
        bool byKind;
        ValueKind kind;
        std::string text;  // declared text; for a kind column, the reported type
        ValueKind expectedKind;
    };
    const std::vector<Case> cases = {
        {"i", true, ValueKind::Integer, "BIGINT", ValueKind::Integer},
        {"d", true, ValueKind::Double, "DOUBLE", ValueKind::Double},
        {"s", true, ValueKind::Text, "STRING", ValueKind::Text},
        {"j", true, ValueKind::Structured, "VARIANT", ValueKind::Structured},
        {"t", true, ValueKind::Timestamp, "TIMESTAMP", ValueKind::Timestamp},
        {"l", true, ValueKind::Label, "VARCHAR(256)", ValueKind::Label},
        {"ti", false, ValueKind::Text, "tinyint", ValueKind::Integer},
        {"f", false, ValueKind::Text, "FLOAT", ValueKind::Double},
        {"v", false, ValueKind::Text, "VARCHAR(10) NOT NULL", ValueKind::Text},
        {"x", false, ValueKind::Text, "variant", ValueKind::Structured},
        {"ts", false, ValueKind::Text, "timestamp_ntz", ValueKind::Timestamp},
        {"b", false, ValueKind::Text, "BOOLEAN", ValueKind::Text},
        {"e", false, ValueKind::Text, "", ValueKind::Text},
    };
    DatabaseRecord record("t");
    for (const Case& c : cases) {
        if (c.byKind)
            record.addColumn(c.column, std::string("1"), c.kind, CONSTRAINT_NULLABLE);
        else
            record.addColumn(c.column, "1", c.text, CONSTRAINT_NULLABLE);
    }
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        EXPECT_EQ(record.kindAt(i), c.expectedKind) << c.column;
        EXPECT_EQ(record.getSQLType(c.column), c.text) << c.column;
        EXPECT_EQ(record.declaredTypeAt(i) == nullptr, c.byKind) << c.column;
        EXPECT_EQ(record.constraintAt(i), CONSTRAINT_NULLABLE) << c.column;
    }
    // Replacing a declared column by kind drops its text, and back.
    record.addColumn("v", std::string("2"), ValueKind::Integer, CONSTRAINT_NONE);
    EXPECT_EQ(record.getSQLType("v"), "BIGINT");
    EXPECT_EQ(record.declaredTypeAt(8), nullptr);
    record.addColumn("i", "3", "DECIMAL(10,2)");
    EXPECT_EQ(record.getSQLType("i"), "DECIMAL(10,2)");
    EXPECT_EQ(record.getConstraints("i"), CONSTRAINT_NULLABLE);
    EXPECT_EQ(record.getColumnNames().size(), cases.size());
}

TEST(DatabaseRecordTest, MovingAValueInTakesItOver) {
    DatabaseRecord record("t");
    std::string value(1000, 'v');
    const char* data = value.data();
    record.addColumn("big", std::move(value), "STRING", CONSTRAINT_NULLABLE);
    EXPECT_EQ(record.valueAt(0).data(), data);
    EXPECT_EQ(record.valueAt(0), std::string(1000, 'v'));

    std::string replacement(2000, 'w');
    record.addColumn("big", std::move(replacement), "STRING", CONSTRAINT_NONE);
    EXPECT_EQ(record.valueAt(0), std::string(2000, 'w'));
    EXPECT_EQ(record.columnCount(), 1u);
}

TEST(DatabaseRecordTest, MissingColumnsAnswerEmpty) {
    DatabaseRecord record("t");
    record.addColumn("present", "", "VARCHAR(256)", CONSTRAINT_NOT_NULL);

    EXPECT_EQ(record.getValue("absent"), "");
    EXPECT_EQ(record.getSQLType("absent"), "");
    EXPECT_EQ(record.getConstraints("absent"), CONSTRAINT_NONE);
    EXPECT_FALSE(record.hasColumn("absent"));
    EXPECT_EQ(record.findColumn("absent"), -1);

    // An empty value is still a column: hasColumn tells the two apart.
    EXPECT_EQ(record.getValue("present"), "");
    EXPECT_TRUE(record.hasColumn("present"));
}

TEST(DatabaseRecordTest, NamesAreComparedExactly) {
    DatabaseRecord record("t");
    record.addColumn("Temp", "1", "BIGINT", CONSTRAINT_NONE);
    record.addColumn("temp", "2", "BIGINT", CONSTRAINT_NONE);
    record.addColumn("temp ", "3", "BIGINT", CONSTRAINT_NONE);
    EXPECT_EQ(record.getColumnNames(), (Names{"Temp", "temp", "temp "}));
    EXPECT_EQ(record.getValue("Temp"), "1");
    EXPECT_EQ(record.getValue("temp"), "2");
    EXPECT_EQ(record.getValue("temp "), "3");
    EXPECT_FALSE(record.hasColumn("TEMP"));
}

TEST(DatabaseRecordTest, ClearEmptiesAndPositionsRestart) {
    DatabaseRecord record("t");
    record.addColumn("a", "1", "BIGINT", CONSTRAINT_NONE);
    record.addColumn("b", "2", "BIGINT", CONSTRAINT_NONE);
    record.clear();

    EXPECT_EQ(record.getTableName(), "");
    EXPECT_TRUE(record.getColumnNames().empty());
    EXPECT_TRUE(record.getValues().empty());
    EXPECT_FALSE(record.hasColumn("a"));
    EXPECT_EQ(record.getValue("b"), "");

    record.addColumn("b", "again", "STRING", CONSTRAINT_NONE);
    EXPECT_EQ(record.findColumn("b"), 0);
    EXPECT_EQ(record.getColumnNames(), (Names{"b"}));
    EXPECT_EQ(record.getValue("b"), "again");
}

DatabaseRecord makeRecord() {
    DatabaseRecord record("pump");
    record.addColumn("asset_code", "pump", "VARCHAR(256)", CONSTRAINT_NOT_NULL);
    record.addColumn("temperature", "21.500000", "DOUBLE", CONSTRAINT_NULLABLE);
    record.addColumn("count", "3", "BIGINT", CONSTRAINT_NULLABLE);
    record.setReadingIndex(7);
    return record;
}

void expectMadeRecord(const DatabaseRecord& record) {
    EXPECT_EQ(record.getTableName(), "pump");
    EXPECT_EQ(record.getColumnNames(), (Names{"asset_code", "temperature", "count"}));
    EXPECT_EQ(record.getValues(), (Names{"pump", "21.500000", "3"}));
    EXPECT_EQ(record.getSQLType("temperature"), "DOUBLE");
    EXPECT_EQ(record.getConstraints("asset_code"), CONSTRAINT_NOT_NULL);
    EXPECT_EQ(record.findColumn("count"), 2);
    EXPECT_EQ(record.readingIndex(), 7u);
}

void expectEmpty(const DatabaseRecord& record) {
    EXPECT_EQ(record.getTableName(), "");
    EXPECT_TRUE(record.getColumnNames().empty());
    EXPECT_TRUE(record.getValues().empty());
    EXPECT_EQ(record.columnCount(), 0u);
    EXPECT_FALSE(record.hasColumn("asset_code"));
    EXPECT_EQ(record.findColumn("temperature"), -1);
    EXPECT_EQ(record.readingIndex(), DatabaseRecord::kNoReading);
}

TEST(DatabaseRecordTest, MoveConstructionTakesEverythingAndEmptiesSource) {
    DatabaseRecord source = makeRecord();
    DatabaseRecord target(std::move(source));
    expectMadeRecord(target);
    expectEmpty(source);  // NOLINT(bugprone-use-after-move): documented state

    // The emptied source can be filled again from position 0.
    source.addColumn("x", "1", "BIGINT", CONSTRAINT_NONE);
    EXPECT_EQ(source.findColumn("x"), 0);
}

TEST(DatabaseRecordTest, MoveAssignmentReplacesAndEmptiesSource) {
    DatabaseRecord source = makeRecord();
    DatabaseRecord target("other");
    target.addColumn("stale", "1", "BIGINT", CONSTRAINT_NONE);
    target = std::move(source);
    expectMadeRecord(target);
    EXPECT_FALSE(target.hasColumn("stale"));
    expectEmpty(source);  // NOLINT(bugprone-use-after-move): documented state
}

TEST(DatabaseRecordTest, SelfMoveAssignmentChangesNothing) {
    DatabaseRecord record = makeRecord();
    DatabaseRecord& alias = record;
    record = std::move(alias);
    expectMadeRecord(record);
}

TEST(DatabaseRecordTest, ReadingIndexIsSetOnlyExplicitly) {
    DatabaseRecord fresh("pump");
    EXPECT_EQ(fresh.readingIndex(), DatabaseRecord::kNoReading);
    EXPECT_EQ(DatabaseRecord::kNoReading, SIZE_MAX);

    DatabaseRecord source = makeRecord();
    DatabaseRecord sameShape("pump", source);
    EXPECT_EQ(sameShape.readingIndex(), DatabaseRecord::kNoReading);
    EXPECT_TRUE(sameShape.sharesColumnsWith(source));

    sameShape.setReadingIndex(0);
    EXPECT_EQ(sameShape.readingIndex(), 0u);
    EXPECT_EQ(source.readingIndex(), 7u);
    source.clear();
    EXPECT_EQ(source.readingIndex(), DatabaseRecord::kNoReading);
}

TEST(DatabaseRecordTest, RecordsMoveThroughContainers) {
    std::vector<DatabaseRecord> records;
    for (int i = 0; i < 100; ++i) {
        DatabaseRecord record("t" + std::to_string(i));
        record.addColumn("v", std::to_string(i), "BIGINT", CONSTRAINT_NONE);
        record.setReadingIndex(static_cast<size_t>(i) * 2);
        records.push_back(std::move(record));
    }
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(records[i].getTableName(), "t" + std::to_string(i));
        EXPECT_EQ(records[i].getValue("v"), std::to_string(i));
        EXPECT_EQ(records[i].readingIndex(), static_cast<size_t>(i) * 2);
    }
}

}  // namespace
