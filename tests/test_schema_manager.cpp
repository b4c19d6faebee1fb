// Schema discovery, the cache, table creation and column additions, with a
// mock client answering the information schema; discovery of long column
// names and parameterised types also through the driver manager and the
// emulator.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "counting_client.h"
#include "databricks_sql_builder.h"
#include "log_capture.h"
#include "mock_odbc_client.h"
#include "schema_fixture.h"
#include "schema_manager.h"
#include "warehouse.h"

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

// The parsed type of each cached column of the table, in cache order.
std::vector<ColumnType> typesOf(const SchemaManager& manager, const std::string& table) {
    std::vector<ColumnType> types;
    if (const CachedTable* entry = manager.findCachedTable(table)) {
        for (const CachedColumn& column : entry->columns)
            types.push_back(column.type);
    }
    return types;
}

DatabaseRecord pumpRecord() {
    DatabaseRecord record("pump");
    record.addColumn("asset_code", "pump", "VARCHAR(256)", CONSTRAINT_NOT_NULL);
    record.addColumn("ts", "2026-01-01 00:00:00.000000+00:00", "TIMESTAMP", CONSTRAINT_NONE);
    record.addColumn("temperature", "21.500000", "DOUBLE", CONSTRAINT_NULLABLE);
    return record;
}

}  // namespace

TEST(SchemaDiscovery, DiscoversOnceAndNormalisesTypes) {
    MockedSchemaManager m;
    m.infoRows = {
        {"asset_code", "STRING"}, {"count", "LONG"}, {"ts", "TIMESTAMP"}, {"x", "BOOLEAN"}};
    EXPECT_TRUE(m.manager.checkTableExists("Pump", pumpRecord()));
    ASSERT_EQ(m.statements.size(), 1u);
    EXPECT_EQ(m.statements[0],
              "SELECT column_name,data_type,is_nullable,full_data_type FROM "
              "information_schema.columns WHERE table_schema = 'plant' AND table_name = 'pump' "
              "ORDER BY ordinal_position");
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
    MockedSchemaManager m;
    EXPECT_FALSE(m.manager.checkTableExists("pump", pumpRecord()));
    EXPECT_FALSE(m.manager.checkTableExists("pump", pumpRecord()));
    EXPECT_EQ(m.statements.size(), 2u);
    EXPECT_TRUE(m.manager.getCachedSchema("pump").empty());
    EXPECT_EQ(m.manager.findCachedTable("pump"), nullptr);
}

TEST(SchemaDiscovery, BaseBuilderCachesEmptyTypesAndShortRowsAreSkipped) {
    MockedSchemaManager m;
    PlainBuilder plain;
    m.manager.setSQLBuilder(&plain);
    EXPECT_EQ(m.manager.extractColumnInfo({{"a", "BIGINT"}, {"short"}, {"b", "STRING", "extra"}}),
              (TableSchema{{"a", ""}, {"b", ""}}));
}

TEST(SchemaDiscovery, NoClientFails) {
    DatabricksSQLBuilder builder;
    SchemaManager manager;
    manager.setSQLBuilder(&builder);
    EXPECT_FALSE(manager.checkTableExists("pump", pumpRecord()));
    EXPECT_FALSE(manager.createTable("pump", pumpRecord()));
    EXPECT_EQ(manager.findCachedTable("pump"), nullptr);
}

TEST(SchemaDiscovery, StatementErrorsPassThroughWithTheCacheUnchanged) {
    MockedSchemaManager m;
    m.failOn = "information_schema";
    EXPECT_THROW(m.manager.checkTableExists("pump", pumpRecord()), std::runtime_error);
    EXPECT_EQ(m.manager.findCachedTable("pump"), nullptr);
}

TEST(SchemaCreation, CreateWritesDefinitionsAndCachesThemAsWritten) {
    MockedSchemaManager m;
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
    MockedSchemaManager m;
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
    MockedSchemaManager m;
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
    MockedSchemaManager m;
    EXPECT_TRUE(m.manager.checkTableSchema("pump", pumpRecord()));
    EXPECT_FALSE(m.manager.alterTable("pump", pumpRecord()));
    EXPECT_TRUE(m.statements.empty());
}

TEST(SchemaEvolution, ReportedAlterFailureNamesTheColumn) {
    MockedSchemaManager m;
    ASSERT_TRUE(m.manager.createTable("pump", pumpRecord()));
    m.manager.setClient(nullptr);
    DatabaseRecord wider = pumpRecord();
    wider.addColumn("extra", "1", "BIGINT", CONSTRAINT_NULLABLE);
    LogCapture log;
    EXPECT_FALSE(m.manager.alterTable("pump", wider));
    EXPECT_TRUE(log.has(Logger::Level::ERROR, "Failed to add column 'extra' to table 'pump'"));
    EXPECT_EQ(m.manager.getCachedSchema("pump").size(), 3u);
}

// ---- column types ------------------------------------------------------------

// One information-schema row (column_name, data_type[, is_nullable[,
// full_data_type]]) and what the cache makes of it: the normalised text (from
// data_type), the parsed type (from full_data_type when present), whether the
// column is NOT NULL (is_nullable), and the type text messages show.
struct TypeCase {
    const char* name;
    QueryRow row;
    std::string text;
    ColumnType::Kind kind;
    int length;
    int scale;
    bool notNull;
    std::string ownText;
};

class SchemaTypes : public ::testing::TestWithParam<TypeCase> {};

TEST_P(SchemaTypes, TextFromDataTypeAndTypeFromFullType) {
    const TypeCase& c = GetParam();
    MockedSchemaManager m;
    m.infoRows = {c.row};
    ASSERT_TRUE(m.manager.checkTableExists("pump", pumpRecord()));
    EXPECT_EQ(m.manager.getCachedSchema("pump"), (TableSchema{{c.row[0], c.text}}));
    const CachedTable* entry = m.manager.findCachedTable("pump");
    ASSERT_NE(entry, nullptr);
    ASSERT_EQ(entry->columns.size(), 1u);
    const CachedColumn& column = entry->columns[0];
    EXPECT_EQ(column.name, c.row[0]);
    EXPECT_EQ(column.type.kind, c.kind);
    EXPECT_EQ(column.type.length, c.length);
    EXPECT_EQ(column.type.scale, c.scale);
    EXPECT_EQ(column.type.notNull, c.notNull);
    EXPECT_EQ(column.typeText, c.ownText);
    EXPECT_TRUE(column.learned);
}

using Kind = ColumnType::Kind;

INSTANTIATE_TEST_SUITE_P(
    Rows, SchemaTypes,
    ::testing::Values(
        TypeCase{"String",
                 {"s", "STRING", "YES", "string"},
                 "VARCHAR(256)",
                 Kind::String,
                 0,
                 0,
                 false,
                 "string"},
        TypeCase{"Varchar",
                 {"v", "STRING", "YES", "varchar(300)"},
                 "VARCHAR(256)",
                 Kind::Varchar,
                 300,
                 0,
                 false,
                 "varchar(300)"},
        TypeCase{"NotNullVarchar",
                 {"a", "STRING", "NO", "varchar(256)"},
                 "VARCHAR(256)",
                 Kind::Varchar,
                 256,
                 0,
                 true,
                 "varchar(256)"},
        TypeCase{"Char",
                 {"c", "STRING", "YES", "char(8)"},
                 "VARCHAR(256)",
                 Kind::Varchar,
                 8,
                 0,
                 false,
                 "char(8)"},
        TypeCase{"Decimal",
                 {"d", "DECIMAL", "no", "decimal(10,2)"},
                 "",
                 Kind::Decimal,
                 10,
                 2,
                 true,
                 "decimal(10,2)"},
        TypeCase{"Boolean",
                 {"flag", "BOOLEAN", "YES", "boolean"},
                 "",
                 Kind::Boolean,
                 0,
                 0,
                 false,
                 "boolean"},
        TypeCase{"Bigint",
                 {"b", "LONG", "YES", "bigint"},
                 "BIGINT",
                 Kind::BigInt,
                 0,
                 0,
                 false,
                 "bigint"},
        TypeCase{"Timestamp",
                 {"t", "TIMESTAMP", "YES", "timestamp"},
                 "TIMESTAMP",
                 Kind::Timestamp,
                 0,
                 0,
                 false,
                 "timestamp"},
        // Without full_data_type: nullability alone, and data_type read with
        // the parameters it shows.
        TypeCase{"NullabilityOnly",
                 {"s", "STRING", "NO"},
                 "VARCHAR(256)",
                 Kind::String,
                 0,
                 0,
                 true,
                 "STRING"},
        TypeCase{
            "TwoCellString", {"s", "STRING"}, "VARCHAR(256)", Kind::String, 0, 0, false, "STRING"},
        TypeCase{"TwoCellLong", {"b", "LONG"}, "BIGINT", Kind::BigInt, 0, 0, false, "LONG"},
        TypeCase{"TwoCellVarchar",
                 {"v", "varchar(300)"},
                 "VARCHAR(256)",
                 Kind::Varchar,
                 300,
                 0,
                 false,
                 "varchar(300)"},
        TypeCase{"TwoCellDecimal",
                 {"d", "decimal(12,4)"},
                 "",
                 Kind::Decimal,
                 12,
                 4,
                 false,
                 "decimal(12,4)"},
        TypeCase{
            "TwoCellBareDecimal", {"d", "DECIMAL"}, "", Kind::Decimal, 10, 0, false, "DECIMAL"},
        // A full type or nullability that is NULL or unreadable falls back to
        // data_type and to a nullable column.
        TypeCase{"NullFullType",
                 {"x", "DOUBLE", "NULL", "NULL"},
                 "DOUBLE",
                 Kind::Double,
                 0,
                 0,
                 false,
                 "DOUBLE"},
        TypeCase{"ErrorFullType",
                 {"x", "INT", "ERROR", "ERROR"},
                 "BIGINT",
                 Kind::Int,
                 0,
                 0,
                 false,
                 "INT"},
        TypeCase{
            "EmptyFullType", {"x", "BOOLEAN", "", ""}, "", Kind::Boolean, 0, 0, false, "BOOLEAN"}),
    [](const ::testing::TestParamInfo<TypeCase>& info) { return info.param.name; });

TEST(SchemaTypes, LearnedColumnsTakeTheFullType) {
    MockedSchemaManager m;
    ASSERT_TRUE(m.manager.createTable("pump", pumpRecord()));
    m.infoRows = {{"asset_code", "STRING", "NO", "varchar(256)"},
                  {"code", "STRING", "YES", "varchar(300)"},
                  {"price", "DECIMAL", "YES", "decimal(12,4)"}};
    EXPECT_TRUE(m.manager.learnColumns("pump"));
    const std::vector<ColumnType> types = typesOf(m.manager, "pump");
    ASSERT_EQ(types.size(), 5u);
    EXPECT_EQ(types[0].kind, Kind::Varchar);
    EXPECT_TRUE(types[0].notNull) << "written by the plugin: parsed from its definition";
    EXPECT_EQ(types[3], ColumnType::parse("VARCHAR(300)"));
    EXPECT_EQ(types[4], ColumnType::parse("DECIMAL(12,4)"));
    EXPECT_EQ(std::get<1>(m.manager.getCachedSchema("pump")[3]), "VARCHAR(256)");
    EXPECT_EQ(m.manager.findCachedTable("pump")->columns[0].typeText, "VARCHAR(256) NOT NULL");
    EXPECT_FALSE(m.manager.findCachedTable("pump")->columns[0].learned);
}

TEST(SchemaTypes, CreatedColumnsTakeTheDialectsTypeForTheirKind) {
    MockedSchemaManager m;
    DatabaseRecord record("pump");
    record.addColumn("asset_code", std::string("pump"), ValueKind::Label, CONSTRAINT_NOT_NULL);
    record.addColumn("ts", std::string("t"), ValueKind::Timestamp, CONSTRAINT_NONE);
    record.addColumn("n", std::string("1"), ValueKind::Integer, CONSTRAINT_NULLABLE);
    record.addColumn("s", std::string("x"), ValueKind::Text, CONSTRAINT_NULLABLE);
    ASSERT_TRUE(m.manager.createTable("pump", record));
    EXPECT_EQ(m.statements.back(),
              "CREATE TABLE `pump` (`asset_code` VARCHAR(256) NOT NULL, `ts` TIMESTAMP, `n` "
              "BIGINT, `s` STRING)");
    record.addColumn("j", std::string("{}"), ValueKind::Structured, CONSTRAINT_NULLABLE);
    EXPECT_TRUE(m.manager.alterTable("pump", record));
    EXPECT_EQ(m.statements.back(), "ALTER TABLE `pump` ADD COLUMN `j` VARIANT");
    EXPECT_EQ(typesOf(m.manager, "pump"),
              (std::vector<ColumnType>{ColumnType::parse("VARCHAR(256) NOT NULL"),
                                       ColumnType::parse("TIMESTAMP"), ColumnType::parse("BIGINT"),
                                       ColumnType::parse("STRING"), ColumnType::parse("VARIANT")}));
}

// ---- an information schema without full_data_type or is_nullable ------------------

namespace {
// A warehouse whose information schema lacks some columns: a query naming one
// is refused as the given product refuses it.
struct LackingCase {
    const char* name;
    std::vector<std::string> lacking;
    std::string sqlState;
    std::string messageHead;   // followed by the column's name
    SchemaQueryDetail detail;  // what the manager asks for afterwards
    size_t refusals;
};

class SchemaLackingColumns : public ::testing::TestWithParam<LackingCase> {};
}  // namespace

TEST_P(SchemaLackingColumns, AsksWithLessFromThenOn) {
    const LackingCase& c = GetParam();
    MockedSchemaManager m;
    size_t refused = 0;
    ON_CALL(m.client, executeQuery(_)).WillByDefault(Invoke([&](const std::string& sql) {
        m.statements.push_back(sql);
        for (const std::string& column : c.lacking) {
            if (sql.find(column) != std::string::npos) {
                ++refused;
                throw StatementError(c.sqlState, 0, c.messageHead + column + "'", false);
            }
        }
        // The warehouse answers the columns asked for.
        const auto answer = [&sql](QueryRow row, const char* full, const char* length) {
            if (sql.find("is_nullable") != std::string::npos)
                row.push_back("NO");
            if (sql.find("character_maximum_length") != std::string::npos)
                row.insert(row.end(), {length, "NULL", "NULL"});
            if (sql.find("full_data_type") != std::string::npos)
                row.push_back(full);
            return row;
        };
        if (sql.find(" IN (") != std::string::npos)
            return okResult({answer({"valve", "v", "STRING"}, "varchar(20)", "20")});
        return okResult({answer({"asset_code", "STRING"}, "varchar(256)", "NULL")});
    }));
    ASSERT_TRUE(m.manager.checkTableExists("pump", pumpRecord()));
    EXPECT_EQ(refused, c.refusals);
    EXPECT_EQ(m.manager.schemaQueryDetail(), c.detail);
    const bool knowsNullability = c.detail >= SchemaQueryDetail::Nullability;
    EXPECT_EQ(typesOf(m.manager, "pump")[0].notNull, knowsNullability);
    // The asset code column is the plugin's own: without its length it is
    // taken to be as the plugin creates it.
    EXPECT_EQ(typesOf(m.manager, "pump")[0].kind, Kind::Varchar);
    EXPECT_EQ(typesOf(m.manager, "pump")[0].length, 256);
    EXPECT_EQ(m.statements.back(),
              m.builder.buildInformationSchemaQuery("Plant", "pump", c.detail));

    // From then on every query asks for that much at once.
    m.statements.clear();
    EXPECT_TRUE(m.manager.learnTables({"valve"}));
    // Another column's length comes from full_data_type or character_maximum_length.
    const bool knowsLength =
        c.detail == SchemaQueryDetail::Full || c.detail == SchemaQueryDetail::Bounds;
    EXPECT_EQ(typesOf(m.manager, "valve")[0].kind, knowsLength ? Kind::Varchar : Kind::String);
    EXPECT_FALSE(m.manager.learnColumns("pump")) << "nothing new";
    ASSERT_EQ(m.statements.size(), 2u);
    EXPECT_EQ(m.statements[0], m.builder.buildInformationSchemaQuery(
                                   "Plant", std::vector<std::string>{"valve"}, c.detail));
    EXPECT_EQ(m.statements[1], m.builder.buildInformationSchemaQuery("Plant", "pump", c.detail));
    EXPECT_EQ(refused, c.refusals);

    // Another connection is asked for everything again.
    m.manager.setClient(&m.client);
    EXPECT_EQ(m.manager.schemaQueryDetail(), SchemaQueryDetail::Full);
}

INSTANTIATE_TEST_SUITE_P(
    Warehouses, SchemaLackingColumns,
    ::testing::Values(LackingCase{"Complete", {}, "", "", SchemaQueryDetail::Full, 0},
                      LackingCase{
                          "NoFullTypeUnresolved",
                          {"full_data_type"},
                          "42703",
                          "[UNRESOLVED_COLUMN.WITHOUT_SUGGESTION] A column, variable, or function "
                          "parameter with name '",
                          SchemaQueryDetail::Bounds,
                          1},
                      LackingCase{"NoFullTypeUnknownColumn",
                                  {"full_data_type"},
                                  "42S22",
                                  "Unknown column '",
                                  SchemaQueryDetail::Bounds,
                                  1},
                      LackingCase{"NoFullTypeByMessageOnly",
                                  {"full_data_type"},
                                  "HY000",
                                  "Error: unknown column '",
                                  SchemaQueryDetail::Bounds,
                                  1},
                      LackingCase{"NoBounds",
                                  {"full_data_type", "numeric_scale"},
                                  "42703",
                                  "cannot resolve '",
                                  SchemaQueryDetail::Nullability,
                                  2},
                      LackingCase{"Neither",
                                  {"full_data_type", "is_nullable"},
                                  "42703",
                                  "cannot resolve '",
                                  SchemaQueryDetail::Plain,
                                  3}),
    [](const ::testing::TestParamInfo<LackingCase>& info) { return info.param.name; });

TEST(SchemaLackingColumns, PlainFormIsTheQueryOfTwoColumnsAndOtherRefusalsStand) {
    DatabricksSQLBuilder builder;
    EXPECT_EQ(builder.buildInformationSchemaQuery("Plant", "Pump", SchemaQueryDetail::Plain),
              "SELECT column_name,data_type FROM information_schema.columns WHERE table_schema "
              "= 'plant' AND table_name = 'pump' ORDER BY ordinal_position");

    // A refusal for another reason is not taken for a missing column.
    MockedSchemaManager m;
    ON_CALL(m.client, executeQuery(_)).WillByDefault(Invoke([&m](const std::string& sql) {
        m.statements.push_back(sql);
        throw StatementError("42000", 0, "refused: full_data_type is fine", false);
        return okResult();
    }));
    EXPECT_THROW(m.manager.checkTableExists("pump", pumpRecord()), StatementError);
    EXPECT_EQ(m.statements.size(), 1u);
    EXPECT_EQ(m.manager.schemaQueryDetail(), SchemaQueryDetail::Full);
    // Nor is a missing column refused again once the plain form is reached.
    ON_CALL(m.client, executeQuery(_)).WillByDefault(Invoke([&m](const std::string& sql) {
        m.statements.push_back(sql);
        throw StatementError("42703", 0, "no such column: data_type", false);
        return okResult();
    }));
    m.statements.clear();
    EXPECT_THROW(m.manager.checkTableExists("pump", pumpRecord()), StatementError);
    EXPECT_EQ(m.statements.size(), 4u);
    EXPECT_EQ(m.manager.schemaQueryDetail(), SchemaQueryDetail::Plain);
}

// ---- forgetting a table --------------------------------------------------------

TEST(SchemaCache, ForgottenTableIsReadAgainAndOthersStay) {
    MockedSchemaManager m;
    m.infoRows = {{"a", "LONG", "YES", "bigint"}};
    ASSERT_TRUE(m.manager.checkTableExists("pump", pumpRecord()));
    ASSERT_TRUE(m.manager.checkTableExists("valve", pumpRecord()));
    m.manager.forgetTable("pump");
    m.manager.forgetTable("never_cached");
    EXPECT_EQ(m.manager.findCachedTable("pump"), nullptr);
    EXPECT_EQ(m.manager.findCachedColumnPositions("pump"), nullptr);
    EXPECT_NE(m.manager.findCachedTable("valve"), nullptr);

    // The table was dropped by hand: the information schema no longer lists it.
    m.infoRows.clear();
    m.statements.clear();
    EXPECT_FALSE(m.manager.checkTableExists("pump", pumpRecord()));
    EXPECT_EQ(m.statements.size(), 1u);
    // Recreated with other columns: those are what the cache holds now.
    m.infoRows = {{"b", "STRING", "YES", "varchar(10)"}};
    EXPECT_TRUE(m.manager.checkTableExists("pump", pumpRecord()));
    EXPECT_EQ(m.manager.getCachedSchema("pump"), (TableSchema{{"b", "VARCHAR(256)"}}));
    EXPECT_TRUE(m.manager.checkTableExists("valve", pumpRecord()));
    EXPECT_EQ(m.statements.size(), 2u) << "valve stayed cached";
}

// ---- the tables of a batch in one query -------------------------------------------

namespace {
const char* const kBatchQueryHead =
    "SELECT table_name,column_name,data_type,is_nullable,full_data_type FROM "
    "information_schema.columns WHERE table_schema = 'plant' AND table_name IN (";
const char* const kBatchQueryTail = ") ORDER BY table_name, ordinal_position";

// The number of names in the IN list of a batch query.
size_t namesAsked(const std::string& sql) {
    const size_t open = sql.find(" IN (");
    const size_t close = sql.find(")", open);
    if (open == std::string::npos || close == std::string::npos)
        return 0;
    const std::string list = sql.substr(open, close - open);
    return static_cast<size_t>(std::count(list.begin(), list.end(), ',')) + 1;
}
}  // namespace

TEST(SchemaBatchDiscovery, OneQueryCachesTheFoundAndRemembersTheMissing) {
    MockedSchemaManager m;
    m.infoRows = {{"pump", "asset_code", "STRING", "NO", "string"},
                  {"pump", "code", "STRING", "YES", "varchar(300)"},
                  {"valve", "ts", "TIMESTAMP", "YES", "timestamp"},
                  {"pump", "count", "LONG", "YES", "bigint"}};
    EXPECT_FALSE(m.manager.learnTables({"pump", "tank", "valve"}));
    ASSERT_EQ(m.statements.size(), 1u);
    EXPECT_EQ(m.statements[0],
              std::string(kBatchQueryHead) + "'pump', 'tank', 'valve'" + kBatchQueryTail);
    EXPECT_EQ(m.manager.getCachedSchema("pump"),
              (TableSchema{
                  {"asset_code", "VARCHAR(256)"}, {"code", "VARCHAR(256)"}, {"count", "BIGINT"}}));
    const std::vector<ColumnType> types = typesOf(m.manager, "pump");
    ASSERT_EQ(types.size(), 3u);
    EXPECT_EQ(types[0].kind, Kind::String);
    EXPECT_TRUE(types[0].notNull);
    EXPECT_EQ(types[1], ColumnType::parse("VARCHAR(300)"));
    EXPECT_EQ(types[2].kind, Kind::BigInt);
    EXPECT_EQ(m.manager.getCachedSchema("valve"), (TableSchema{{"ts", "TIMESTAMP"}}));

    // Known: no query for any of the three; tank is missing, so it is created.
    EXPECT_TRUE(m.manager.checkTableExists("pump", pumpRecord()));
    EXPECT_TRUE(m.manager.checkTableExists("valve", pumpRecord()));
    EXPECT_FALSE(m.manager.checkTableExists("tank", pumpRecord()));
    EXPECT_FALSE(m.manager.checkTableExists("tank", pumpRecord()));
    EXPECT_EQ(m.statements.size(), 1u);
    std::vector<DatabaseRecord> records;
    records.push_back(pumpRecord());
    EXPECT_EQ(m.manager.fitTable("tank", records), SchemaFit::Ready);
    ASSERT_EQ(m.statements.size(), 2u);
    EXPECT_EQ(m.statements[1].rfind("CREATE TABLE `tank`", 0), 0u) << m.statements[1];

    // Every table cached: nothing to ask.
    EXPECT_TRUE(m.manager.learnTables({"valve", "tank", "pump", "pump"}));
    EXPECT_EQ(m.statements.size(), 2u);
}

TEST(SchemaBatchDiscovery, MemoryOfAMissingTableLastsUntilCreatedForgottenOrAskedAgain) {
    MockedSchemaManager m;
    EXPECT_FALSE(m.manager.learnTables({"a", "b", "c"}));
    ASSERT_EQ(m.statements.size(), 1u);
    ASSERT_TRUE(m.manager.createTable("a", pumpRecord()));
    EXPECT_TRUE(m.manager.checkTableExists("a", pumpRecord()));
    m.manager.forgetTable("a");
    m.manager.forgetTable("b");
    m.statements.clear();
    EXPECT_FALSE(m.manager.checkTableExists("a", pumpRecord()));
    EXPECT_FALSE(m.manager.checkTableExists("b", pumpRecord()));
    EXPECT_FALSE(m.manager.checkTableExists("c", pumpRecord()));
    EXPECT_EQ(m.statements.size(), 2u) << "only c is still remembered as missing";

    // The next batch asks again about what it lists; c, not listed, is no
    // longer remembered either.
    m.statements.clear();
    m.infoRows = {{"b", "x", "LONG", "YES", "bigint"}};
    EXPECT_TRUE(m.manager.learnTables({"b"}));
    m.infoRows.clear();
    EXPECT_FALSE(m.manager.checkTableExists("c", pumpRecord()));
    EXPECT_EQ(m.statements.size(), 2u);
    // Another schema: what was missing in the old one is asked about again.
    ASSERT_FALSE(m.manager.learnTables({"d"}));
    m.manager.setDatabaseName("Other");
    m.statements.clear();
    EXPECT_FALSE(m.manager.checkTableExists("d", pumpRecord()));
    EXPECT_EQ(m.statements.size(), 1u);
}

TEST(SchemaBatchDiscovery, NamesAreAskedInChunksAndCachedTablesAreNotAsked) {
    MockedSchemaManager m;
    ASSERT_TRUE(m.manager.createTable("t000", pumpRecord()));
    m.statements.clear();
    std::vector<std::string> tables;
    for (int i = 0; i < 451; ++i) {
        char name[8];
        std::snprintf(name, sizeof name, "t%03d", i);
        tables.push_back(name);
    }
    EXPECT_FALSE(m.manager.learnTables(tables));
    ASSERT_EQ(m.statements.size(), 3u);
    EXPECT_EQ(namesAsked(m.statements[0]), SchemaManager::kTablesPerSchemaQuery);
    EXPECT_EQ(namesAsked(m.statements[1]), 200u);
    EXPECT_EQ(namesAsked(m.statements[2]), 50u);
    for (const std::string& sql : m.statements)
        EXPECT_EQ(sql.find("'t000'"), std::string::npos) << "t000 is cached";
    EXPECT_NE(m.statements[2].find("'t450')"), std::string::npos);
    EXPECT_FALSE(m.manager.checkTableExists("t450", pumpRecord()));
    EXPECT_EQ(m.statements.size(), 3u);
}

TEST(SchemaBatchDiscovery, NamesMatchIgnoringCaseAndKeepTheCallersSpelling) {
    MockedSchemaManager m;
    m.infoRows = {{"pump", "a", "LONG", "YES", "bigint"},
                  {"valve", "b", "DOUBLE", "YES", "double"}};
    // The warehouse may also answer in another case than it was asked in.
    m.infoRows.push_back({"Mixer", "c", "STRING", "YES", "string"});
    EXPECT_TRUE(m.manager.learnTables({"Pump", "pump", "VALVE", "mixer", "Pump"}));
    ASSERT_EQ(m.statements.size(), 1u);
    EXPECT_EQ(m.statements[0],
              std::string(kBatchQueryHead) + "'mixer', 'pump', 'valve'" + kBatchQueryTail);
    EXPECT_EQ(m.manager.getCachedSchema("Pump"), (TableSchema{{"a", "BIGINT"}}));
    EXPECT_EQ(m.manager.getCachedSchema("pump"), (TableSchema{{"a", "BIGINT"}}));
    EXPECT_EQ(m.manager.getCachedSchema("VALVE"), (TableSchema{{"b", "DOUBLE"}}));
    EXPECT_EQ(m.manager.getCachedSchema("mixer"), (TableSchema{{"c", "VARCHAR(256)"}}));
    EXPECT_EQ(m.manager.findCachedTable("valve"), nullptr) << "cached as the caller spelled it";
}

TEST(SchemaBatchDiscovery, FailuresThrowOrLeaveNothingRemembered) {
    MockedSchemaManager m;
    ON_CALL(m.client, executeQuery(_)).WillByDefault(Invoke([&m](const std::string& sql) {
        m.statements.push_back(sql);
        if (m.statements.size() == 2)
            throw StatementError("42000", 1, "refused", false);
        return okResult(m.infoRows);
    }));
    std::vector<std::string> tables;
    for (int i = 0; i < 250; ++i)
        tables.push_back("t" + std::to_string(1000 + i));
    m.infoRows = {{"t1000", "a", "LONG", "YES", "bigint"}};
    EXPECT_THROW(m.manager.learnTables(tables), StatementError);
    ASSERT_EQ(m.statements.size(), 2u);
    EXPECT_NE(m.manager.findCachedTable("t1000"), nullptr) << "the first query's tables stay";
    m.infoRows.clear();
    // t1249 was in the refused query: it is asked about, not taken as missing.
    EXPECT_FALSE(m.manager.checkTableExists("t1249", pumpRecord()));
    EXPECT_EQ(m.statements.size(), 3u);

    // Without a client nothing is learned and nothing is taken as missing.
    DatabricksSQLBuilder builder;
    SchemaManager manager;
    manager.setSQLBuilder(&builder);
    EXPECT_FALSE(manager.learnTables({"pump"}));
    EXPECT_FALSE(manager.checkTableExists("pump", pumpRecord()));
    EXPECT_EQ(manager.findCachedTable("pump"), nullptr);
}

// ---- through the driver manager and the emulator --------------------------------

class SchemaInWarehouse : public ::testing::Test {
  protected:
    void SetUp() override {
        useEmulatorDriver();
        client.Init();
        ASSERT_EQ(client.Connect(warehouse.connectionString()), CORVANE_ODBC_SUCCESS);
    }
    void TearDown() override { client.Destroy(); }

    // A manager as a restarted plugin has it: nothing cached.
    std::unique_ptr<SchemaManager> freshManager() {
        auto manager = std::make_unique<SchemaManager>(&client, "default_schema");
        manager->setSQLBuilder(&builder);
        return manager;
    }

    TempWarehouse warehouse;
    ODBCClient client;
    DatabricksSQLBuilder builder;
};

TEST_F(SchemaInWarehouse, LongColumnNameIsReadWholeAfterARestart) {
    std::string longName;
    for (int i = 0; longName.size() < 5000; ++i)
        longName += (i % 5 == 0) ? "\xc3\xa9" : "n";
    longName.resize(5000);
    DatabaseRecord record = pumpRecord();
    record.addColumn(longName, "1.5", "DOUBLE", CONSTRAINT_NULLABLE);
    ASSERT_TRUE(freshManager()->createTable("pump", record));

    std::unique_ptr<SchemaManager> restarted = freshManager();
    ASSERT_TRUE(restarted->checkTableExists("pump", record));
    const TableSchema schema = restarted->getCachedSchema("pump");
    ASSERT_EQ(schema.size(), 4u);
    EXPECT_EQ(std::get<0>(schema[3]).size(), 5000u);
    EXPECT_EQ(std::get<0>(schema[3]), longName);
    // Nothing to add: the record fits the table as the warehouse reports it.
    EXPECT_FALSE(restarted->checkTableSchema("pump", record));
    std::vector<DatabaseRecord> records;
    records.push_back(std::move(record));
    EXPECT_EQ(restarted->fitTable("pump", records), SchemaFit::Ready);
    EXPECT_EQ(restarted->getCachedSchema("pump").size(), 4u);
}

TEST_F(SchemaInWarehouse, TypesAreReadWithTheirParameters) {
    warehouse.query(
        "CREATE TABLE pump (v VARCHAR(300), d DECIMAL(10,2), s STRING, b BIGINT, n VARCHAR(256) "
        "NOT NULL)");
    std::unique_ptr<SchemaManager> manager = freshManager();
    ASSERT_TRUE(manager->checkTableExists("pump", pumpRecord()));
    EXPECT_EQ(manager->getCachedSchema("pump"), (TableSchema{{"v", "VARCHAR(256)"},
                                                             {"d", ""},
                                                             {"s", "VARCHAR(256)"},
                                                             {"b", "BIGINT"},
                                                             {"n", "VARCHAR(256)"}}));
    // Only the column declared NOT NULL is read as such after a restart.
    const std::vector<ColumnType> read = typesOf(*manager, "pump");
    ASSERT_EQ(read.size(), 5u);
    EXPECT_EQ(read[4], ColumnType::parse("VARCHAR(256) NOT NULL"));
    for (size_t i = 0; i < 4; ++i)
        EXPECT_FALSE(read[i].notNull) << i;
    // Messages show the warehouse's own spelling of each type.
    EXPECT_EQ(manager->findCachedTable("pump")->columns[1].typeText, "decimal(10,2)");
    const std::vector<ColumnType> types = typesOf(*manager, "pump");
    ASSERT_EQ(types.size(), 5u);
    EXPECT_EQ(types[0], ColumnType::parse("VARCHAR(300)"));
    EXPECT_EQ(types[0].length, 300);
    EXPECT_EQ(types[1].kind, Kind::Decimal);
    EXPECT_EQ(types[1].length, 10);
    EXPECT_EQ(types[1].scale, 2);
    EXPECT_EQ(types[2].kind, Kind::String);
    EXPECT_EQ(types[3].kind, Kind::BigInt);
}

TEST_F(SchemaInWarehouse, TablesOfABatchAreLearnedInOneQuery) {
    warehouse.query("CREATE TABLE pump (v VARCHAR(300), b BIGINT)");
    warehouse.query("CREATE TABLE valve (ts TIMESTAMP)");
    warehouse.query("CREATE TABLE other (x STRING)");
    std::unique_ptr<SchemaManager> manager = freshManager();
    EXPECT_FALSE(manager->learnTables({"Pump", "valve", "tank"}));
    EXPECT_EQ(manager->getCachedSchema("Pump"),
              (TableSchema{{"v", "VARCHAR(256)"}, {"b", "BIGINT"}}));
    EXPECT_EQ(typesOf(*manager, "Pump"), (std::vector<ColumnType>{ColumnType::parse("VARCHAR(300)"),
                                                                  ColumnType::parse("BIGINT")}));
    EXPECT_EQ(manager->getCachedSchema("valve"), (TableSchema{{"ts", "TIMESTAMP"}}));
    EXPECT_EQ(manager->findCachedTable("other"), nullptr);
    EXPECT_FALSE(manager->checkTableExists("tank", pumpRecord()));
}

TEST_F(SchemaInWarehouse, InformationSchemaWithoutFullDataType) {
    warehouse.query(
        "CREATE TABLE pump (asset_code VARCHAR(256) NOT NULL, v VARCHAR(300), d DECIMAL(10,2), "
        "b BIGINT)");
    { std::ofstream(warehouse.directory() + "/no_full_data_type") << "\n"; }
    // The switch is read when a connection opens the warehouse.
    CountingClient hidden;
    hidden.Init();
    ASSERT_EQ(hidden.Connect(warehouse.connectionString()), CORVANE_ODBC_SUCCESS);
    SchemaManager manager(&hidden, "default_schema");
    manager.setSQLBuilder(&builder);
    ASSERT_TRUE(manager.checkTableExists("pump", pumpRecord()));
    EXPECT_EQ(manager.schemaQueryDetail(), SchemaQueryDetail::Bounds);
    EXPECT_EQ(hidden.statements, 2) << "the refused query, then the one without the column";
    // The asset code is as the plugin creates it; a DECIMAL's digits come from
    // numeric_precision and numeric_scale; the warehouse gives no length of
    // another text column.
    const std::vector<ColumnType> types = typesOf(manager, "pump");
    ASSERT_EQ(types.size(), 4u);
    EXPECT_EQ(types[0], ColumnType::parse("VARCHAR(256) NOT NULL"));
    EXPECT_EQ(types[1].kind, Kind::String);
    EXPECT_EQ(types[2], ColumnType::parse("DECIMAL(10,2)"));
    EXPECT_EQ(types[3].kind, Kind::BigInt);
    EXPECT_EQ(
        manager.getCachedSchema("pump"),
        (TableSchema{
            {"asset_code", "VARCHAR(256)"}, {"v", "VARCHAR(256)"}, {"d", ""}, {"b", "BIGINT"}}));
    // The tables of a batch are learned the same way, without another refusal.
    warehouse.query("CREATE TABLE valve (ts TIMESTAMP)");
    EXPECT_FALSE(manager.learnTables({"valve", "tank"}));
    EXPECT_EQ(typesOf(manager, "valve"), (std::vector<ColumnType>{ColumnType::parse("TIMESTAMP")}));
    EXPECT_EQ(hidden.statements, 3);
    hidden.Destroy();
}
