// The Databricks dialect's statement texts, whole, and the statement buffer
// that cuts a table's rows into statements.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dialect.h"
#include "statement_buffer.h"

namespace {

const Dialect& dialect = Dialect::databricks();

// The statement of `shape` holding `rows`, with no limit.
std::string statementOf(const StatementShape& shape,
                        const std::vector<std::vector<std::string>>& rows) {
    StatementBuffer buffer(shape, 0);
    for (const auto& row : rows)
        buffer.appendRow(row);
    std::vector<StatementBuffer::Statement> statements = buffer.take();
    EXPECT_EQ(statements.size(), 1u);
    return statements.empty() ? std::string() : statements.front().sql;
}

struct TextCase {
    const char* what;
    std::string sql;
    std::string expected;
};

TEST(DialectTexts, WholeStatements) {
    const std::vector<TextCase> cases = {
        {"create",
         dialect.createTable("pump",
                             {{"asset_code", "VARCHAR(256) NOT NULL"}, {"temperature", "DOUBLE"}}),
         "CREATE TABLE `pump` (`asset_code` VARCHAR(256) NOT NULL, `temperature` DOUBLE)"},
        {"create without columns", dialect.createTable("pump", {}), "CREATE TABLE `pump` ()"},
        {"create with a backtick", dialect.createTable("t`1", {{"c`1", "BIGINT"}}),
         "CREATE TABLE `t``1` (`c``1` BIGINT)"},
        {"alter", dialect.alterTable("pump", "pressure", "DOUBLE"),
         "ALTER TABLE `pump` ADD COLUMN `pressure` DOUBLE"},
        {"insert",
         statementOf(dialect.insertShape("pump", {"asset_code", "count"}),
                     {{"'pump'", "3"}, {"'pump'", "NULL"}}),
         "INSERT INTO `pump` (`asset_code`, `count`) VALUES ('pump', 3), ('pump', NULL)"},
        {"merge",
         statementOf(
             dialect.mergeShape("m", {"a", "v", "at"},
                                {ColumnMatch::Equal, ColumnMatch::AsJson, ColumnMatch::Ignore}),
             {{"1", "parse_json('{}')", "'x'"}}),
         "MERGE INTO `m` AS t USING (VALUES (1, parse_json('{}'), 'x')) AS s(`a`, `v`, `at`) ON "
         "t.`a` <=> s.`a` AND to_json(t.`v`) <=> to_json(s.`v`) WHEN NOT MATCHED THEN INSERT *"},
        {"merge comparing nothing",
         statementOf(dialect.mergeShape("m", {"a"}, {ColumnMatch::Ignore},
                                        TimeRange{"ts", "2026-01-01", "2026-01-02", true}),
                     {{"1"}}),
         "MERGE INTO `m` AS t USING (VALUES (1)) AS s(`a`) ON FALSE WHEN NOT MATCHED THEN "
         "INSERT *"},
        {"merge within a time range",
         statementOf(dialect.mergeShape("m", {"ts", "a"}, {},
                                        TimeRange{"ts", "2026-01-01 00:00:00.000000+00:00",
                                                  "2026-01-01 00:00:01.000000+00:00", false}),
                     {{"TIMESTAMP '2026-01-01 00:00:00.000000+00:00'", "1"}}),
         "MERGE INTO `m` AS t USING (VALUES (TIMESTAMP '2026-01-01 00:00:00.000000+00:00', 1)) "
         "AS s(`ts`, `a`) ON t.`ts` BETWEEN TIMESTAMP '2026-01-01 00:00:00.000000+00:00' AND "
         "TIMESTAMP '2026-01-01 00:00:01.000000+00:00' AND t.`ts` <=> s.`ts` AND t.`a` <=> s.`a` "
         "WHEN NOT MATCHED THEN INSERT *"},
        {"merge within a time range or without a time",
         statementOf(dialect.mergeShape("m", {"a"}, {}, TimeRange{"ts", "x", "y", true}), {{"1"}}),
         "MERGE INTO `m` AS t USING (VALUES (1)) AS s(`a`) ON (t.`ts` BETWEEN TIMESTAMP 'x' AND "
         "TIMESTAMP 'y' OR t.`ts` IS NULL) AND t.`a` <=> s.`a` WHEN NOT MATCHED THEN INSERT *"},
        {"merge of rows without a time",
         statementOf(dialect.mergeShape("m", {"a"}, {}, TimeRange{"ts", "", "", true}), {{"1"}}),
         "MERGE INTO `m` AS t USING (VALUES (1)) AS s(`a`) ON t.`ts` IS NULL AND t.`a` <=> "
         "s.`a` WHEN NOT MATCHED THEN INSERT *"},
        {"catch-up within a time range or without a time",
         statementOf(dialect.catchUpShape("m", TimeRange{"ts", "x", "y", true}), {{"1", "NULL"}}),
         "INSERT INTO `m` SELECT * FROM (VALUES (1, NULL)) AS s EXCEPT ALL SELECT * FROM `m` AS t "
         "WHERE (t.`ts` BETWEEN TIMESTAMP 'x' AND TIMESTAMP 'y' OR t.`ts` IS NULL)"},
        {"catch-up of any time",
         statementOf(dialect.catchUpShape("m`x", TimeRange()), {{"1"}, {"2"}}),
         "INSERT INTO `m``x` SELECT * FROM (VALUES (1), (2)) AS s EXCEPT ALL SELECT * FROM "
         "`m``x` AS t"},
        {"columns of a table", dialect.columnsQuery("Main", "Pump", SchemaQueryDetail::Full),
         "SELECT column_name,data_type,is_nullable,full_data_type FROM information_schema.columns "
         "WHERE table_schema = 'main' AND table_name = 'pump' ORDER BY ordinal_position"},
        {"columns, plain", dialect.columnsQuery("s", "it's", SchemaQueryDetail::Plain),
         "SELECT column_name,data_type FROM information_schema.columns WHERE table_schema = 's' "
         "AND table_name = 'it\\'s' ORDER BY ordinal_position"},
        {"columns of tables",
         dialect.columnsQuery("s", std::vector<std::string>{"a", "B"},
                              SchemaQueryDetail::Nullability),
         "SELECT table_name,column_name,data_type,is_nullable FROM information_schema.columns "
         "WHERE table_schema = 's' AND table_name IN ('a', 'b') ORDER BY table_name, "
         "ordinal_position"},
        {"literal", dialect.literal("it's C:\\x"), "'it\\'s C:\\\\x'"},
        {"identifier", dialect.quoteIdentifier("x` ; DROP"), "`x`` ; DROP`"},
        {"constraints", dialect.constraintText(CONSTRAINT_NOT_NULL | CONSTRAINT_UNIQUE),
         " NOT NULL UNIQUE"},
        {"table name", dialect.tableNameFor("a.b c/d"), "a_b_c_d"},
        {"column name", dialect.columnNameFor("a,b(c)=d"), "a_b_c__d"},
    };
    for (const TextCase& c : cases)
        EXPECT_EQ(c.sql, c.expected) << c.what;
}

TEST(DialectTexts, TypeNames) {
    const std::vector<std::pair<ValueKind, std::string>> kinds = {
        {ValueKind::Integer, "BIGINT"},     {ValueKind::Double, "DOUBLE"},
        {ValueKind::Structured, "VARIANT"}, {ValueKind::Json, "VARIANT"},
        {ValueKind::Text, "STRING"},        {ValueKind::Timestamp, "TIMESTAMP"},
        {ValueKind::Label, "VARCHAR(256)"},
    };
    for (const auto& [kind, type] : kinds)
        EXPECT_EQ(dialect.columnTypeFor(kind), type) << type;
    const std::vector<std::pair<std::string, std::string>> readBack = {
        {"Double precision", "DOUBLE"},
        {"long", "BIGINT"},
        {"timestamp_ntz", "TIMESTAMP"},
        {"string", "VARCHAR(256)"},
        {"map<string,int>", "VARCHAR(256)"},
        {"smallint", "BIGINT"},
        {"variant", "VARIANT"},
        {"DECIMAL(10,2)", ""},
    };
    for (const auto& [type, normal] : readBack)
        EXPECT_EQ(dialect.normalizeColumnType(type), normal) << type;
    EXPECT_EQ(dialect.hintName(), "databricksHint");
}

TEST(DialectValues, AreWrittenForTheirColumnType) {
    struct Case {
        std::string type, value, expected;
    };
    const std::vector<Case> cases = {
        {"VARCHAR(256) NOT NULL", "pump", "'pump'"},
        {"VARCHAR(256)", "it's", "'it\\'s'"},
        {"BIGINT", "3", "3"},
        {"DOUBLE", "21.5", "21.5"},
    };
    for (const Case& c : cases) {
        std::string out;
        dialect.appendValue(out, c.value, ColumnType::parse(c.type));
        EXPECT_EQ(out, c.expected) << c.type;
    }
}

TEST(StatementBuffer, RowsAreCutIntoStatementsAtTheLimit) {
    // Rows of 7 to 13 bytes ("('xxxxx')"), a head of 28 bytes: every
    // statement stays within the limit unless its only row is longer, the
    // rows keep their order, and none is lost or repeated.
    const std::vector<size_t> widths = {5, 1, 9, 3, 60, 2, 2, 2, 8, 4};
    const StatementShape shape = dialect.insertShape("t", {"c"});
    for (size_t limit : {0u, 40u, 50u, 64u, 1000u}) {
        StatementBuffer buffer(shape, limit);
        std::string all;
        for (size_t width : widths) {
            const std::string value = "'" + std::string(width, 'x') + "'";
            buffer.appendRow({value});
            all += all.empty() ? "(" + value + ")" : ", (" + value + ")";
        }
        EXPECT_EQ(buffer.rowCount(), widths.size());
        std::string rows;
        size_t count = 0;
        for (const StatementBuffer::Statement& insert : buffer.take()) {
            ASSERT_EQ(insert.sql.rfind(shape.head, 0), 0u) << insert.sql;
            if (limit > 0 && insert.rows > 1) {
                EXPECT_LE(insert.sql.size(), limit) << insert.sql;
            }
            rows += (rows.empty() ? "" : ", ") + insert.sql.substr(shape.head.size());
            count += insert.rows;
        }
        EXPECT_EQ(rows, all) << limit;
        EXPECT_EQ(count, widths.size());
        EXPECT_EQ(buffer.rowCount(), 0u);
        EXPECT_TRUE(buffer.take().empty());
    }
}

// Rows compared by a set operation carry their times as TIMESTAMP literals;
// every other value is written as it is into its column.
TEST(Dialect, TypedValuesMarkOnlyTimesWrittenIntoTimestampColumns) {
    struct TypedCase {
        std::string value;
        ValueKind kind;
        const char* column;
        ValueFit fit;
        std::string expected;
    };
    const std::vector<TypedCase> cases = {
        {"2026-01-01 00:00:00.000000+00:00", ValueKind::Timestamp, "TIMESTAMP", ValueFit::Exact,
         "TIMESTAMP '2026-01-01 00:00:00.000000+00:00'"},
        {"2026-01-01 00:00:00", ValueKind::Timestamp, "STRING", ValueFit::Exact,
         "'2026-01-01 00:00:00'"},
        {"1.5", ValueKind::Double, "DOUBLE", ValueFit::Exact, "1.5D"},
        {"it's", ValueKind::Text, "STRING", ValueFit::Exact, "'it\\'s'"},
    };
    for (const TypedCase& c : cases) {
        std::string typed;
        dialect.appendTypedValue(typed, c.value, c.kind, ColumnType::parse(c.column), c.fit);
        EXPECT_EQ(typed, c.expected) << c.value << " into " << c.column;
    }
}

TEST(StatementBuffer, AMergeCountsItsTailAgainstTheLimit) {
    const StatementShape shape = dialect.mergeShape("t", {"c"}, {});
    const size_t fixed = shape.head.size() + shape.tail.size();
    // Room for exactly two rows of "(1)" and their separator.
    StatementBuffer buffer(shape, fixed + 3 + 2 + 3);
    for (int i = 0; i < 5; ++i)
        buffer.appendRow({"1"});
    std::vector<StatementBuffer::Statement> statements = buffer.take();
    ASSERT_EQ(statements.size(), 3u);
    EXPECT_EQ(statements[0].sql, shape.head + "(1), (1)" + shape.tail);
    EXPECT_EQ(statements[2].rows, 1u);
}

}  // namespace
