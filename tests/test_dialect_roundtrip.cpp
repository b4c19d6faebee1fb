// Statements of the Databricks dialect run against the warehouse emulator
// through the real driver manager: hostile texts, names and structured values
// written with the dialect read back exactly as they went in, and no value or
// name can change the statement around it.

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <string>
#include <vector>

#include "databricks_sql_builder.h"
#include "warehouse.h"

namespace {

using Rows = std::vector<std::vector<std::string>>;

const std::vector<std::string>& hostileTexts() {
    static const std::vector<std::string> texts = [] {
        std::vector<std::string> t = {
            "plain",
            "",
            "it's",
            "'",
            "''",
            "'''",
            "\\",
            "\\\\",
            "ends in a backslash\\",
            "\\'",
            "'\\",
            "\\''\\",
            "C:\\temp\\new",
            "\\n is not a line break",
            "\\u0041 is not A",
            "\\0 is not NUL",
            "\\% and \\_ stay",
            "% and _",
            "real\nline\r\nbreak\ttab",
            "`back`ticks``",
            "\"double\" quotes",
            "'); DROP TABLE hostile; --",
            "x', 'y'), ('z",
            "/* not a comment */ -- nor this",
            "unicode \xC3\xA4\xC3\xB6\xC3\xBC \xE2\x82\xAC \xF0\x9F\x98\x80",
            "null",
            "NULL",
            "all at once: ` ' \\ \" \n ; -- \\",
        };
        t.push_back(
            std::string("nul\0"
                        "12 inside",
                        13));
        t.push_back(std::string("\0", 1));
        std::string longText;
        for (int i = 0; i < 1000; ++i)
            longText += "ab'c\\d`e\"f\n";
        t.push_back(longText);
        return t;
    }();
    return texts;
}

class DialectRoundTrip : public ::testing::Test {
  protected:
    TempWarehouse warehouse;
    DatabricksSQLBuilder builder;

    Rows run(const std::string& sql) { return warehouse.query(sql); }
};

TEST_F(DialectRoundTrip, HostileTextsComeBackExactly) {
    const std::string table = "hostile";
    run(builder.buildCreateTable(table, {{"id", "BIGINT NOT NULL"}, {"txt", "STRING"}}));

    const auto& texts = hostileTexts();
    SQLBuilder::Rows rows;
    for (size_t i = 0; i < texts.size(); ++i) {
        rows.push_back({builder.formatValue(std::to_string(i), "BIGINT"),
                        builder.formatValue(texts[i], "STRING")});
    }
    builder.setTableName(table);
    builder.setColumns({"id", "txt"});
    builder.setValues(std::move(rows));
    run(builder.buildBulkInsert());

    Rows back = run("SELECT id, txt FROM " + builder.quoteIdentifier(table) + " ORDER BY id");
    ASSERT_EQ(back.size(), texts.size());
    for (size_t i = 0; i < texts.size(); ++i) {
        ASSERT_EQ(back[i].size(), 2u);
        EXPECT_EQ(back[i][0], std::to_string(i));
        EXPECT_EQ(back[i][1], texts[i]) << "text " << i;
    }
}

TEST_F(DialectRoundTrip, TextsInColumnsOfUnknownTypeAreLiteralsToo) {
    // A column whose cached type is empty: everything but plain numbers and
    // the three keywords is written as a literal, so the texts still arrive.
    run(builder.buildCreateTable("unknown", {{"id", "BIGINT"}, {"txt", "STRING"}}));
    const auto& texts = hostileTexts();
    SQLBuilder::Rows rows;
    std::vector<std::string> expected;
    for (const std::string& text : texts) {
        if (text == "null" || text == "NULL")
            continue;
        rows.push_back({std::to_string(rows.size()), builder.formatValue(text, "")});
        expected.push_back(text);
    }
    builder.setTableName("unknown");
    builder.setColumns({"id", "txt"});
    builder.setValues(std::move(rows));
    run(builder.buildBulkInsert());

    Rows back = run("SELECT txt FROM `unknown` ORDER BY id");
    ASSERT_EQ(back.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(back[i][0], expected[i]) << i;
}

TEST_F(DialectRoundTrip, HostileNamesAreWrittenAndFoundAgain) {
    const std::string table = builder.tableNameFor("it's `odd` \\ name.x");
    ASSERT_EQ(table, "it's_`odd`_\\_name_x");
    const std::string first = builder.columnNameFor("we`ird 'col'");
    const std::string second = builder.columnNameFor("back\\slash");
    ASSERT_EQ(first, "we`ird_'col'");

    run(builder.buildCreateTable(table, {{first, "STRING"}}));
    run(builder.buildAlterTable(table, second, "BIGINT"));

    Rows columns = run(builder.buildInformationSchemaQuery("default_schema", table));
    ASSERT_EQ(columns.size(), 2u);
    EXPECT_EQ(columns[0][0], first);
    EXPECT_EQ(builder.normalizeColumnType(columns[0][1]), "VARCHAR(256)");
    EXPECT_EQ(columns[1][0], second);
    EXPECT_EQ(builder.normalizeColumnType(columns[1][1]), "BIGINT");

    builder.setTableName(table);
    builder.setColumns({first, second});
    builder.setValues(SQLBuilder::Rows{{builder.formatValue("v'1\\", "STRING"), "7"}});
    run(builder.buildBulkInsert());
    Rows back = run("SELECT " + builder.quoteIdentifier(first) + ", " +
                    builder.quoteIdentifier(second) + " FROM " + builder.quoteIdentifier(table));
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0][0], "v'1\\");
    EXPECT_EQ(back[0][1], "7");
}

TEST_F(DialectRoundTrip, ApostropheInATableNameCannotWidenTheSchemaQuery) {
    run(builder.buildCreateTable("a", {{"only_in_a", "STRING"}}));
    run(builder.buildCreateTable("b", {{"only_in_b", "STRING"}}));
    // Unescaped, this name would select the columns of every table.
    Rows columns =
        run(builder.buildInformationSchemaQuery("default_schema", "x' OR table_name = 'b"));
    EXPECT_TRUE(columns.empty());
}

TEST_F(DialectRoundTrip, StructuredValuesArriveAsVariants) {
    run(builder.buildCreateTable("structured", {{"id", "BIGINT"}, {"v", "VARIANT"}}));
    const std::vector<std::string> values = {
        "{\"a\":1,\"b\":[1.5,2.0]}",
        "[1.5,2.0,3.0]",
        "{\"q\":\"say \\\"hi\\\" it's\",\"p\":\"C:\\\\temp\"}",
    };
    SQLBuilder::Rows rows;
    for (size_t i = 0; i < values.size(); ++i) {
        rows.push_back({std::to_string(i), builder.formatValue(values[i], "VARIANT")});
    }
    builder.setTableName("structured");
    builder.setColumns({"id", "v"});
    builder.setValues(std::move(rows));
    run(builder.buildBulkInsert());

    Rows back = run("SELECT v FROM `structured` ORDER BY id");
    ASSERT_EQ(back.size(), values.size());
    // The object with the escaped quote and backslash keeps its member texts.
    EXPECT_NE(back[2][0].find("say \\\"hi\\\" it's"), std::string::npos) << back[2][0];
    EXPECT_NE(back[2][0].find("C:\\\\temp"), std::string::npos) << back[2][0];
    EXPECT_NE(back[0][0].find("\"a\""), std::string::npos) << back[0][0];
}

TEST_F(DialectRoundTrip, TextsInAVariantColumnArriveAsJsonStrings) {
    // A text datapoint whose name already has a column for structured values:
    // every text goes in, as a JSON string holding exactly that text.
    run(builder.buildCreateTable("mixed", {{"id", "BIGINT"}, {"v", "VARIANT"}}));
    std::vector<std::string> expected;
    SQLBuilder::Rows rows;
    for (const std::string& text : hostileTexts()) {
        rapidjson::Document alone;
        alone.Parse(text.c_str(), text.size());
        if (!alone.HasParseError())
            continue;  // JSON on its own: kept as JSON
        rows.push_back({std::to_string(rows.size()), builder.formatValue(text, "VARIANT")});
        expected.push_back(text);
    }
    ASSERT_GT(expected.size(), 20u);
    builder.setTableName("mixed");
    builder.setColumns({"id", "v"});
    builder.setValues(std::move(rows));
    run(builder.buildBulkInsert());

    Rows back = run("SELECT v FROM `mixed` ORDER BY id");
    ASSERT_EQ(back.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        rapidjson::Document json;
        json.Parse(back[i][0].c_str(), back[i][0].size());
        ASSERT_FALSE(json.HasParseError()) << back[i][0];
        ASSERT_TRUE(json.IsString()) << back[i][0];
        EXPECT_EQ(std::string(json.GetString(), json.GetStringLength()), expected[i]) << i;
    }
}

TEST_F(DialectRoundTrip, NonNumericTextInANumberColumnFailsAloneAndChangesNothing) {
    run(builder.buildCreateTable("numbers", {{"n", "BIGINT"}}));
    builder.setTableName("numbers");
    builder.setColumns({"n"});
    builder.setValues(SQLBuilder::Rows{{builder.formatValue("1", "BIGINT")}});
    run(builder.buildBulkInsert());

    for (const std::string hostile :
         {"1); DROP TABLE `numbers`; --", "1), (2", "0 OR 1=1", "--5"}) {
        builder.setValues(SQLBuilder::Rows{{builder.formatValue(hostile, "BIGINT")}});
        EXPECT_THROW(run(builder.buildBulkInsert()), std::runtime_error) << hostile;
    }
    Rows back = run("SELECT n FROM `numbers`");
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0][0], "1");
}

}  // namespace
