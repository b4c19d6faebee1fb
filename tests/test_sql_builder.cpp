// The generic SQL builder: statement texts, identifier quoting, string
// literals, constraint suffixes and the generic type rules, through a minimal
// concrete builder that adds nothing but the two operations a dialect must give.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sql_builder.h"

namespace {

class PlainBuilder : public SQLBuilder {
  public:
    SQLBuilder* createSQLBuilder() const override { return new PlainBuilder(); }
    std::string getHintName() const override { return "plainHint"; }
};

// A dialect with other quote characters, to show that every quote is fetched
// through the builder's own operations.
class BracketBuilder : public PlainBuilder {
  public:
    std::string getIdentifierQuote() const override { return "["; }
    std::string getIdentifierCloseQuote() const override { return "]"; }
    std::string getStringQuote() const override { return "\""; }
};

// --- CREATE TABLE / ALTER TABLE ---------------------------------------------

TEST(SQLBuilderStatements, CreateTable) {
    PlainBuilder builder;
    EXPECT_EQ(builder.buildCreateTable(
                  "pump", {{"asset_code", "VARCHAR(256) NOT NULL"}, {"temperature", "DOUBLE"}}),
              "CREATE TABLE `pump` (`asset_code` VARCHAR(256) NOT NULL, `temperature` DOUBLE)");
    EXPECT_EQ(builder.buildCreateTable("t", {}), "CREATE TABLE `t` ()");
    EXPECT_EQ(builder.buildCreateTable("t", {{"a", ""}}), "CREATE TABLE `t` (`a` )");
    EXPECT_EQ(builder.buildCreateTable("", {{"", "X"}}), "CREATE TABLE `` (`` X)");
}

TEST(SQLBuilderStatements, AlterTable) {
    PlainBuilder builder;
    EXPECT_EQ(builder.buildAlterTable("pump", "pressure", "DOUBLE"),
              "ALTER TABLE `pump` ADD COLUMN `pressure` DOUBLE");
    EXPECT_EQ(builder.buildAlterTable("pump", "code", "VARCHAR(256) NOT NULL UNIQUE"),
              "ALTER TABLE `pump` ADD COLUMN `code` VARCHAR(256) NOT NULL UNIQUE");
    EXPECT_EQ(builder.buildAlterTable("", "", ""), "ALTER TABLE `` ADD COLUMN `` ");
}

TEST(SQLBuilderStatements, CreateAndAlterWriteTheSameColumnDefinition) {
    PlainBuilder builder;
    std::string definition;
    builder.appendColumnDefinition(definition, "we`ird", "BIGINT NOT NULL");
    EXPECT_EQ(definition, "`we``ird` BIGINT NOT NULL");
    EXPECT_EQ(builder.buildCreateTable("t", {{"we`ird", "BIGINT NOT NULL"}}),
              "CREATE TABLE `t` (" + definition + ")");
    EXPECT_EQ(builder.buildAlterTable("t", "we`ird", "BIGINT NOT NULL"),
              "ALTER TABLE `t` ADD COLUMN " + definition);
}

// --- INSERT -------------------------------------------------------------------

TEST(SQLBuilderInsert, EmptyWhenAnyPartIsMissing) {
    PlainBuilder builder;
    EXPECT_EQ(builder.buildInsert(), "");
    EXPECT_EQ(builder.buildBulkInsert(), "");

    struct Case {
        std::string table;
        std::vector<std::string> columns;
        SQLBuilder::Rows rows;
    };
    const std::vector<Case> cases = {
        {"", {"a"}, {{"1"}}},
        {"t", {}, {{"1"}}},
        {"t", {"a"}, {}},
        {"", {}, {}},
    };
    for (const auto& c : cases) {
        builder.setTableName(c.table);
        builder.setColumns(c.columns);
        builder.setValues(c.rows);
        EXPECT_EQ(builder.buildInsert(), "") << c.table << " " << c.columns.size();
        EXPECT_EQ(builder.buildBulkInsert(), "") << c.table << " " << c.columns.size();
    }
}

TEST(SQLBuilderInsert, BulkInsertOfThePumpExample) {
    PlainBuilder builder;
    builder.setTableName("pump");
    builder.setColumns({"asset_code", "count", "temperature"});
    builder.setValues(SQLBuilder::Rows{{"'pump'", "3", "21.500000"}, {"'pump'", "4", "NULL"}});
    EXPECT_EQ(builder.buildBulkInsert(),
              "INSERT INTO `pump` (`asset_code`, `count`, `temperature`) VALUES ('pump', 3, "
              "21.500000), ('pump', 4, NULL)");
    EXPECT_EQ(builder.buildInsert(),
              "INSERT INTO `pump` (`asset_code`, `count`, `temperature`) VALUES ('pump', 3, "
              "21.500000)");
    // Building does not change the builder.
    EXPECT_EQ(builder.buildBulkInsert(), builder.buildBulkInsert());
    EXPECT_EQ(builder.buildInsert(),
              "INSERT INTO `pump` (`asset_code`, `count`, `temperature`) VALUES ('pump', 3, "
              "21.500000)");
}

TEST(SQLBuilderInsert, OneRowGivesTheSameTextBothWays) {
    PlainBuilder builder;
    builder.setTableName("t");
    builder.setColumns({"a"});
    builder.setValues(SQLBuilder::Rows{{"1"}});
    EXPECT_EQ(builder.buildInsert(), "INSERT INTO `t` (`a`) VALUES (1)");
    EXPECT_EQ(builder.buildBulkInsert(), builder.buildInsert());
}

TEST(SQLBuilderInsert, RowsAreWrittenAsStored) {
    PlainBuilder builder;
    builder.setTableName("t");
    builder.setColumns({"a", "b"});
    builder.setValues(SQLBuilder::Rows{{"1", "2"}, {"3"}});
    EXPECT_EQ(builder.buildBulkInsert(), "INSERT INTO `t` (`a`, `b`) VALUES (1, 2), (3)");

    builder.setValues(SQLBuilder::Rows{{}, {"x"}});
    EXPECT_EQ(builder.buildInsert(), "INSERT INTO `t` (`a`, `b`) VALUES ()");
    EXPECT_EQ(builder.buildBulkInsert(), "INSERT INTO `t` (`a`, `b`) VALUES (), (x)");

    builder.setValues(SQLBuilder::Rows{{"'it''s'", "NULL"}});
    EXPECT_EQ(builder.buildBulkInsert(), "INSERT INTO `t` (`a`, `b`) VALUES ('it''s', NULL)");
}

TEST(SQLBuilderInsert, StateIsReplacedBySetters) {
    PlainBuilder builder;
    builder.setTableName("first");
    builder.setColumns({"a"});
    builder.setValues(SQLBuilder::Rows{{"1"}, {"2"}});
    builder.setTableName("second");
    builder.setColumns({"b", "c"});
    SQLBuilder::Rows rows{{"5", "6"}};
    builder.setValues(std::move(rows));
    EXPECT_EQ(builder.buildBulkInsert(), "INSERT INTO `second` (`b`, `c`) VALUES (5, 6)");
}

TEST(SQLBuilderInsert, ManyRowsGoIntoOneStatement) {
    PlainBuilder builder;
    builder.setTableName("t");
    builder.setColumns({"a", "b"});
    SQLBuilder::Rows rows;
    std::string expected = "INSERT INTO `t` (`a`, `b`) VALUES ";
    for (int i = 0; i < 10000; ++i) {
        rows.push_back({std::to_string(i), "'v" + std::to_string(i) + "'"});
        if (i > 0)
            expected += ", ";
        expected += "(" + std::to_string(i) + ", 'v" + std::to_string(i) + "')";
    }
    builder.setValues(std::move(rows));
    EXPECT_EQ(builder.buildBulkInsert(), expected);
}

// --- identifiers --------------------------------------------------------------

TEST(SQLBuilderIdentifiers, ClosingQuoteIsDoubledInEveryStatement) {
    PlainBuilder builder;
    EXPECT_EQ(builder.quoteIdentifier("plain"), "`plain`");
    EXPECT_EQ(builder.quoteIdentifier(""), "``");
    EXPECT_EQ(builder.quoteIdentifier("a`b"), "`a``b`");
    EXPECT_EQ(builder.quoteIdentifier("`"), "````");
    EXPECT_EQ(builder.quoteIdentifier("x` ; DROP TABLE y; --"), "`x`` ; DROP TABLE y; --`");

    EXPECT_EQ(builder.buildCreateTable("t`1", {{"c`1", "BIGINT"}}),
              "CREATE TABLE `t``1` (`c``1` BIGINT)");
    EXPECT_EQ(builder.buildAlterTable("t`1", "c`2", "DOUBLE"),
              "ALTER TABLE `t``1` ADD COLUMN `c``2` DOUBLE");
    builder.setTableName("t`1");
    builder.setColumns({"c`1", "``"});
    builder.setValues(SQLBuilder::Rows{{"1", "2"}});
    EXPECT_EQ(builder.buildInsert(), "INSERT INTO `t``1` (`c``1`, ``````) VALUES (1, 2)");
    EXPECT_EQ(builder.buildBulkInsert(), "INSERT INTO `t``1` (`c``1`, ``````) VALUES (1, 2)");
}

TEST(SQLBuilderIdentifiers, QuotesComeFromTheDialect) {
    BracketBuilder builder;
    EXPECT_EQ(builder.quoteIdentifier("a]b[c"), "[a]]b[c]");
    EXPECT_EQ(builder.buildAlterTable("t", "c", "INT"), "ALTER TABLE [t] ADD COLUMN [c] INT");
    std::string out = "x";
    builder.appendIdentifier(out, "`");
    EXPECT_EQ(out, "x[`]");
}

// --- information schema ------------------------------------------------------

TEST(SQLBuilderInformationSchema, LowerCasedNamesAsLiterals) {
    PlainBuilder builder;
    EXPECT_EQ(builder.buildInformationSchemaQuery("Default_Schema", "Pump"),
              "SELECT column_name,data_type,is_nullable,full_data_type FROM "
              "information_schema.columns WHERE "
              "table_schema = 'default_schema' AND table_name = 'pump' ORDER BY ordinal_position");
    EXPECT_EQ(builder.buildInformationSchemaQuery("MySchema", "MyTable"),
              "SELECT column_name,data_type,is_nullable,full_data_type FROM "
              "information_schema.columns WHERE "
              "table_schema = 'myschema' AND table_name = 'mytable' ORDER BY ordinal_position");
    EXPECT_EQ(builder.buildInformationSchemaQuery("", ""),
              "SELECT column_name,data_type,is_nullable,full_data_type FROM "
              "information_schema.columns WHERE "
              "table_schema = '' AND table_name = '' ORDER BY ordinal_position");
    // Only A to Z change case; other bytes are kept.
    EXPECT_EQ(
        builder.buildInformationSchemaQuery("S\xC3\x84", "T_1-\xC3\xA4"),
        "SELECT column_name,data_type,is_nullable,full_data_type FROM information_schema.columns "
        "WHERE "
        "table_schema = 's\xC3\x84' AND table_name = 't_1-\xC3\xA4' ORDER BY ordinal_position");
}

TEST(SQLBuilderInformationSchema, ApostropheInNameCannotEndTheLiteral) {
    PlainBuilder builder;
    EXPECT_EQ(
        builder.buildInformationSchemaQuery("s", "O'Brien' OR '1'='1"),
        "SELECT column_name,data_type,is_nullable,full_data_type FROM information_schema.columns "
        "WHERE "
        "table_schema = 's' AND table_name = 'o''brien'' or ''1''=''1' ORDER BY ordinal_position");
}

TEST(SQLBuilderInformationSchema, SeveralTablesInOneQuery) {
    PlainBuilder builder;
    const std::string head =
        "SELECT table_name,column_name,data_type,is_nullable,full_data_type FROM "
        "information_schema.columns "
        "WHERE table_schema = ";
    const std::string tail = ") ORDER BY table_name, ordinal_position";
    struct Case {
        std::string schema;
        std::vector<std::string> tables;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"Default_Schema", {"Pump"}, "'default_schema' AND table_name IN ('pump'"},
        {"Plant",
         {"Pump", "valve", "MIXER_2"},
         "'plant' AND table_name IN ('pump', 'valve', 'mixer_2'"},
        // Only A to Z change case; other bytes are kept.
        {"S\xC3\x84", {"T_1-\xC3\xA4", ""}, "'s\xC3\x84' AND table_name IN ('t_1-\xC3\xA4', ''"},
        // A quote inside a name is doubled: it cannot end the literal.
        {"s'1",
         {"O'Brien' OR '1'='1", "a\\b"},
         "'s''1' AND table_name IN ('o''brien'' or ''1''=''1', 'a\\b'"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(builder.buildInformationSchemaQuery(c.schema, c.tables), head + c.expected + tail)
            << c.schema;
}

TEST(SQLBuilderInformationSchema, EachDetailAsksForItsColumns) {
    PlainBuilder builder;
    struct Case {
        SchemaQueryDetail detail;
        std::string columns;
    };
    const std::vector<Case> cases = {
        {SchemaQueryDetail::Full, "data_type,is_nullable,full_data_type"},
        {SchemaQueryDetail::Nullability, "data_type,is_nullable"},
        // The plain form: what an information schema without either has.
        {SchemaQueryDetail::Plain, "data_type"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(builder.buildInformationSchemaQuery("Plant", "Pump", c.detail),
                  "SELECT column_name," + c.columns +
                      " FROM information_schema.columns WHERE table_schema = 'plant' AND "
                      "table_name = 'pump' ORDER BY ordinal_position")
            << c.columns;
        EXPECT_EQ(builder.buildInformationSchemaQuery(
                      "Plant", std::vector<std::string>{"Pump", "b"}, c.detail),
                  "SELECT table_name,column_name," + c.columns +
                      " FROM information_schema.columns WHERE table_schema = 'plant' AND "
                      "table_name IN ('pump', 'b') ORDER BY table_name, ordinal_position")
            << c.columns;
    }
    EXPECT_EQ(builder.buildInformationSchemaQuery("Plant", "Pump"),
              builder.buildInformationSchemaQuery("Plant", "Pump", SchemaQueryDetail::Full));
}

// --- string literals -----------------------------------------------------------

TEST(SQLBuilderEscapeString, DoublesTheQuoteAndEnclosesTheText) {
    PlainBuilder builder;
    struct Case {
        std::string input;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"abc", "'abc'"},
        {"it's", "'it''s'"},
        {"''", "''''''"},
        {"", "''"},
        {"C:\\temp", "'C:\\temp'"},
        {"a''b", "'a''''b'"},
        {"'", "''''"},
        {"line\nbreak \"dq\" \xC3\xA4", "'line\nbreak \"dq\" \xC3\xA4'"},
        {std::string("nul\0byte", 8), std::string("'nul\0byte'", 10)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(builder.escapeString(c.input), c.expected) << c.input;
}

TEST(SQLBuilderEscapeString, NApostrophesGiveTwoNPlusTwo) {
    PlainBuilder builder;
    for (size_t n = 0; n < 20; ++n) {
        EXPECT_EQ(builder.escapeString(std::string(n, '\'')), std::string(2 * n + 2, '\''));
    }
}

TEST(SQLBuilderEscapeString, QuoteComesFromTheDialect) {
    BracketBuilder builder;
    EXPECT_EQ(builder.escapeString("say \"hi\" it's"), "\"say \"\"hi\"\" it's\"");
}

// --- constraints, values, types ----------------------------------------------

TEST(SQLBuilderConstraints, SuffixTable) {
    PlainBuilder builder;
    struct Case {
        ColumnConstraint flags;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {0, ""},
        {1, " NOT NULL"},
        {2, ""},
        {3, " NOT NULL"},
        {4, " PRIMARY KEY"},
        {5, " NOT NULL PRIMARY KEY"},
        {6, " PRIMARY KEY"},
        {8, " UNIQUE"},
        {13, " NOT NULL PRIMARY KEY UNIQUE"},
        {15, " NOT NULL PRIMARY KEY UNIQUE"},
        {16, ""},
        {0xFFFFFFF0u, ""},
        {0xFFFFFFF9u, " NOT NULL UNIQUE"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(builder.decodeConstraints(c.flags), c.expected) << c.flags;
    EXPECT_EQ("BIGINT" + builder.decodeConstraints(CONSTRAINT_NOT_NULL), "BIGINT NOT NULL");
}

TEST(SQLBuilderTypes, GenericRules) {
    PlainBuilder builder;
    EXPECT_EQ(builder.formatValue("it's", "VARCHAR(256)"), "it's");
    EXPECT_EQ(builder.formatValue("x y", "BIGINT"), "x y");
    for (int tag : {0, 1, 2, 3, 4, 5, 6, 7, -1, 99}) {
        EXPECT_EQ(builder.toSQLTypeString(tag), "VARCHAR(256)") << tag;
    }
    // A kind becomes a column type only in CREATE and ALTER: the generic
    // builder writes text columns but for the times.
    struct KindCase {
        ValueKind kind;
        ColumnConstraint constraint;
        std::string definition;
    };
    const std::vector<KindCase> kinds = {
        {ValueKind::Integer, CONSTRAINT_NULLABLE, "VARCHAR(256)"},
        {ValueKind::Double, CONSTRAINT_NONE, "VARCHAR(256)"},
        {ValueKind::Text, CONSTRAINT_NULLABLE, "VARCHAR(256)"},
        {ValueKind::Structured, CONSTRAINT_NULLABLE, "VARCHAR(256)"},
        {ValueKind::Timestamp, CONSTRAINT_NONE, "TIMESTAMP"},
        {ValueKind::Label, CONSTRAINT_NOT_NULL, "VARCHAR(256) NOT NULL"},
    };
    for (const KindCase& c : kinds) {
        EXPECT_EQ(builder.columnDefinition(c.kind, c.constraint), c.definition)
            << static_cast<int>(c.kind);
    }
    EXPECT_EQ(builder.normalizeColumnType("BIGINT"), "");
    EXPECT_EQ(builder.normalizeColumnType("string"), "");
    EXPECT_EQ(builder.getTimestampType(), "TIMESTAMP");
    EXPECT_EQ(builder.getStringType(), "VARCHAR(256)");
    EXPECT_EQ(builder.getStringType().size(), 12u);
    EXPECT_EQ(builder.getIdentifierQuote(), "`");
    EXPECT_EQ(builder.getIdentifierCloseQuote(), "`");
    EXPECT_EQ(builder.getStringQuote(), "'");
}

TEST(SQLBuilderTypes, GenericBuilderKeepsEveryName) {
    PlainBuilder builder;
    const std::string hostile = "a.b c/d,e;f{g}h(i)j=k\x01\x7F";
    EXPECT_EQ(builder.tableNameFor(hostile), hostile);
    EXPECT_EQ(builder.columnNameFor(hostile), hostile);
    EXPECT_EQ(builder.tableNameFor(std::string(300, 'x')), std::string(300, 'x'));
}

TEST(SQLBuilderTypes, FactoryResultIsOwnedByCaller) {
    PlainBuilder builder;
    builder.setTableName("t");
    builder.setColumns({"a"});
    builder.setValues(SQLBuilder::Rows{{"1"}});
    std::unique_ptr<SQLBuilder> fresh(builder.createSQLBuilder());
    EXPECT_EQ(fresh->buildBulkInsert(), "");
    EXPECT_EQ(fresh->getHintName(), "plainHint");
}

}  // namespace
