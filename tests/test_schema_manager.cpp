// Schema discovery, the cache, table creation and column additions, with a
// mock client answering the information schema.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "databricks_sql_builder.h"
#include "log_capture.h"
#include "mock_odbc_client.h"
#include "schema_manager.h"

using ::testing::_;
using ::testing::Invoke;
using ::testing::NiceMock;
using ::testing::Return;

namespace {

// The base builder's rules, for the cases where the dialect must not matter.
class PlainBuilder : public SQLBuilder {
  public:
    SQLBuilder* createSQLBuilder() const override { return new PlainBuilder(); }
    std::string getHintName() const override { return "hint"; }
};

DatabaseRecord pumpRecord() {
    DatabaseRecord record("pump");
    record.addColumn("asset_code", "pump", "VARCHAR(256)", CONSTRAINT_NOT_NULL);
    record.addColumn("ts", "2026-01-01 00:00:00.000000+00:00", "TIMESTAMP", CONSTRAINT_NONE);
    record.addColumn("temperature", "21.500000", "DOUBLE", CONSTRAINT_NULLABLE);
    return record;
}

struct Manager {
    NiceMock<MockODBCClient> client;
    DatabricksSQLBuilder builder;
    SchemaManager manager{&client, "Plant"};
    std::vector<std::string> statements;
    QueryRows infoRows;
    std::string failOn;

    Manager() {
        manager.setSQLBuilder(&builder);
        ON_CALL(client, executeQuery(_)).WillByDefault(Invoke([this](const std::string& sql) {
            statements.push_back(sql);
            if (!failOn.empty() && sql.find(failOn) != std::string::npos) {
                throw std::runtime_error("Failed to execute query.");
            }
            return okResult(sql.rfind("SELECT", 0) == 0 ? infoRows : QueryRows{});
        }));
    }
};

}  // namespace

TEST(SchemaDiscovery, DiscoversOnceAndNormalisesTypes) {
    Manager m;
    m.infoRows = {
        {"asset_code", "STRING"}, {"count", "LONG"}, {"ts", "TIMESTAMP"}, {"x", "BOOLEAN"}};
    EXPECT_TRUE(m.manager.checkTableExists("Pump", pumpRecord()));
    ASSERT_EQ(m.statements.size(), 1u);
    EXPECT_EQ(m.statements[0],
              "SELECT column_name,data_type FROM information_schema.columns WHERE table_schema = "
              "'plant' AND table_name = 'pump' ORDER BY ordinal_position");
    EXPECT_EQ(
        m.manager.getCachedSchema("Pump"),
        (TableSchema{
            {"asset_code", "VARCHAR(256)"}, {"count", "BIGINT"}, {"ts", "TIMESTAMP"}, {"x", ""}}));
    EXPECT_TRUE(m.manager.checkTableExists("Pump", DatabaseRecord()));
    EXPECT_EQ(m.statements.size(), 1u) << "a cached table is never asked about again";
    // The cache is keyed byte for byte: pump is another table.
    EXPECT_TRUE(m.manager.checkTableExists("pump", DatabaseRecord()));
    EXPECT_EQ(m.statements.size(), 2u);
    // A new schema name does not forget cached tables.
    m.manager.setDatabaseName("Other");
    EXPECT_TRUE(m.manager.checkTableExists("Pump", DatabaseRecord()));
    EXPECT_EQ(m.statements.size(), 2u);
}

TEST(SchemaDiscovery, MissingTableLeavesNoEntryAndIsAskedAgain) {
    Manager m;
    EXPECT_FALSE(m.manager.checkTableExists("pump", pumpRecord()));
    EXPECT_FALSE(m.manager.checkTableExists("pump", pumpRecord()));
    EXPECT_EQ(m.statements.size(), 2u);
    EXPECT_TRUE(m.manager.getCachedSchema("pump").empty());
    EXPECT_EQ(m.manager.findCachedSchema("pump"), nullptr);
}

TEST(SchemaDiscovery, BaseBuilderCachesEmptyTypesAndShortRowsAreSkipped) {
    Manager m;
    PlainBuilder plain;
    m.manager.setSQLBuilder(&plain);
    EXPECT_EQ(m.manager.extractColumnInfo({{"a", "BIGINT"}, {"short"}, {"b", "STRING", "extra"}}),
              (TableSchema{{"a", ""}, {"b", ""}}));
}

TEST(SchemaDiscovery, NoClientFailsWithAnError) {
    DatabricksSQLBuilder builder;
    SchemaManager manager;
    manager.setSQLBuilder(&builder);
    LogCapture log;
    EXPECT_FALSE(manager.checkTableExists("pump", pumpRecord()));
    EXPECT_FALSE(manager.createTable("pump", pumpRecord()));
    EXPECT_EQ(log.at(Logger::Level::ERROR),
              (std::vector<std::string>{"Database client not initialized",
                                        "Database client not initialized",
                                        "Failed to create table 'pump'"}));
}

TEST(SchemaDiscovery, StatementErrorsPassThroughWithTheCacheUnchanged) {
    Manager m;
    m.failOn = "information_schema";
    EXPECT_THROW(m.manager.checkTableExists("pump", pumpRecord()), std::runtime_error);
    EXPECT_EQ(m.manager.findCachedSchema("pump"), nullptr);
}

TEST(SchemaCreation, CreateWritesDefinitionsAndCachesThemAsWritten) {
    Manager m;
    ASSERT_TRUE(m.manager.createTable("pump", pumpRecord()));
    ASSERT_EQ(m.statements.size(), 1u);
    EXPECT_EQ(m.statements[0],
              "CREATE TABLE `pump` (`asset_code` VARCHAR(256) NOT NULL, `ts` "
              "TIMESTAMP, `temperature` DOUBLE)");
    EXPECT_EQ(m.manager.getCachedSchema("pump"),
              (TableSchema{{"asset_code", "VARCHAR(256) NOT NULL"},
                           {"ts", "TIMESTAMP"},
                           {"temperature", "DOUBLE"}}));
    EXPECT_TRUE(m.manager.checkTableExists("pump", pumpRecord()));
    EXPECT_EQ(m.statements.size(), 1u);
    EXPECT_FALSE(m.manager.checkTableSchema("pump", pumpRecord()));

    // Creating a cached table again replaces its entry.
    DatabaseRecord other("pump");
    other.addColumn("only", "1", "BIGINT", CONSTRAINT_NONE);
    ASSERT_TRUE(m.manager.createTable("pump", other));
    EXPECT_EQ(m.manager.getCachedSchema("pump"), (TableSchema{{"only", "BIGINT"}}));
}

TEST(SchemaEvolution, MissingColumnsAreAddedOneStatementEachInRecordOrder) {
    Manager m;
    ASSERT_TRUE(m.manager.createTable("pump", pumpRecord()));
    m.statements.clear();
    DatabaseRecord wider = pumpRecord();
    wider.addColumn("pressure", "1.0", "DOUBLE", CONSTRAINT_NULLABLE);
    wider.addColumn("Temperature", "2.0", "DOUBLE", CONSTRAINT_NULLABLE);
    EXPECT_TRUE(m.manager.checkTableSchema("pump", wider));
    EXPECT_TRUE(m.manager.alterTable("pump", wider));
    EXPECT_EQ(m.statements,
              (std::vector<std::string>{"ALTER TABLE `pump` ADD COLUMN `pressure` DOUBLE",
                                        "ALTER TABLE `pump` ADD COLUMN `Temperature` DOUBLE"}));
    const TableSchema schema = m.manager.getCachedSchema("pump");
    ASSERT_EQ(schema.size(), 5u);
    EXPECT_EQ(schema[3], ColumnInfo("pressure", "DOUBLE"));
    EXPECT_EQ(schema[4], ColumnInfo("Temperature", "DOUBLE"));

    // Nothing missing: no statement and a false result.
    m.statements.clear();
    EXPECT_FALSE(m.manager.checkTableSchema("pump", wider));
    EXPECT_FALSE(m.manager.alterTable("pump", wider));
    EXPECT_TRUE(m.statements.empty());
    // A record lacking cached columns needs nothing either.
    DatabaseRecord narrow("pump");
    narrow.addColumn("ts", "x", "TIMESTAMP");
    EXPECT_FALSE(m.manager.checkTableSchema("pump", narrow));
}

TEST(SchemaEvolution, FailureOnTheSecondColumnKeepsTheFirstAndSkipsTheThird) {
    Manager m;
    ASSERT_TRUE(m.manager.createTable("pump", pumpRecord()));
    DatabaseRecord wider = pumpRecord();
    wider.addColumn("a", "1", "BIGINT", CONSTRAINT_NULLABLE);
    wider.addColumn("b", "1", "BIGINT", CONSTRAINT_NULLABLE);
    wider.addColumn("c", "1", "BIGINT", CONSTRAINT_NULLABLE);
    m.failOn = "`b`";
    m.statements.clear();
    EXPECT_THROW(m.manager.alterTable("pump", wider), std::runtime_error);
    EXPECT_EQ(m.statements.size(), 2u);
    const TableSchema schema = m.manager.getCachedSchema("pump");
    ASSERT_EQ(schema.size(), 4u);
    EXPECT_EQ(std::get<0>(schema.back()), "a");
}

TEST(SchemaEvolution, UncachedTableCannotBeAltered) {
    Manager m;
    LogCapture log;
    EXPECT_TRUE(m.manager.checkTableSchema("pump", pumpRecord()));
    EXPECT_FALSE(m.manager.alterTable("pump", pumpRecord()));
    EXPECT_TRUE(m.statements.empty());
    EXPECT_TRUE(log.has(Logger::Level::ERROR, "Table 'pump' not found in cache for alteration"));
}

TEST(SchemaEvolution, ReportedAlterFailureNamesTheColumn) {
    Manager m;
    ASSERT_TRUE(m.manager.createTable("pump", pumpRecord()));
    m.manager.setClient(nullptr);
    DatabaseRecord wider = pumpRecord();
    wider.addColumn("extra", "1", "BIGINT", CONSTRAINT_NULLABLE);
    LogCapture log;
    EXPECT_FALSE(m.manager.alterTable("pump", wider));
    EXPECT_TRUE(log.has(Logger::Level::ERROR, "Failed to add column 'extra' to table 'pump'"));
    EXPECT_EQ(m.manager.getCachedSchema("pump").size(), 3u);
}
