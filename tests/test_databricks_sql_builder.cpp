// The Databricks dialect: type names, type normalisation, value formatting,
// string literals with backslash escapes, identifier escaping, the names the
// warehouse accepts, the hint name and the factory.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "databricks_sql_builder.h"

namespace {

struct TextCase {
    std::string input;
    std::string expected;
};

TEST(DatabricksTypes, DatapointTagToColumnType) {
    DatabricksSQLBuilder builder;
    struct Case {
        int tag;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {1, "BIGINT"},  {2, "DOUBLE"},  {3, "VARIANT"}, {4, "VARIANT"},
        {5, "VARIANT"}, {0, "STRING"},  {6, "STRING"},  {7, "STRING"},
        {8, "STRING"},  {-1, "STRING"}, {99, "STRING"}, {-2147483647 - 1, "STRING"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(builder.toSQLTypeString(c.tag), c.expected) << c.tag;
}

TEST(DatabricksTypes, FixedColumnTypesStayBounded) {
    DatabricksSQLBuilder builder;
    EXPECT_EQ(builder.getStringType(), "VARCHAR(256)");
    EXPECT_EQ(builder.getTimestampType(), "TIMESTAMP");
}

TEST(DatabricksTypes, KindToColumnDefinition) {
    DatabricksSQLBuilder builder;
    struct Case {
        ValueKind kind;
        ColumnConstraint constraint;
        std::string definition;
    };
    const std::vector<Case> cases = {
        {ValueKind::Integer, CONSTRAINT_NULLABLE, "BIGINT"},
        {ValueKind::Double, CONSTRAINT_NULLABLE, "DOUBLE"},
        {ValueKind::Text, CONSTRAINT_NULLABLE, "STRING"},
        {ValueKind::Structured, CONSTRAINT_NULLABLE, "VARIANT"},
        {ValueKind::Timestamp, CONSTRAINT_NONE, "TIMESTAMP"},
        {ValueKind::Label, CONSTRAINT_NOT_NULL, "VARCHAR(256) NOT NULL"},
        {ValueKind::Label, CONSTRAINT_NONE, "VARCHAR(256)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(builder.columnDefinition(c.kind, c.constraint), c.definition)
            << static_cast<int>(c.kind);
        // Without a dialect, a record names each kind's type the same way.
        EXPECT_EQ(builder.columnTypeFor(c.kind), typeNameOf(c.kind)) << static_cast<int>(c.kind);
    }
}

TEST(DatabricksTypes, NormalisationOfTypesReadBack) {
    DatabricksSQLBuilder builder;
    const std::vector<TextCase> cases = {
        {"DOUBLE", "DOUBLE"},
        {"Double precision", "DOUBLE"},
        {"double", "DOUBLE"},
        {"long", "BIGINT"},
        {"LONG", "BIGINT"},
        {"timestamp", "TIMESTAMP"},
        {"timestamp_ntz", "TIMESTAMP"},
        {"TIMESTAMP", "TIMESTAMP"},
        {"varchar(10)", "VARCHAR(256)"},
        {"VARCHAR(256)", "VARCHAR(256)"},
        {"string", "VARCHAR(256)"},
        // A column the plugin created as STRING reads back as text, so its
        // values keep being quoted.
        {"STRING", "VARCHAR(256)"},
        {"MAP<STRING,INT>", "VARCHAR(256)"},
        {"int", "BIGINT"},
        {"smallint", "BIGINT"},
        {"tinyint", "BIGINT"},
        {"bigint", "BIGINT"},
        {"ARRAY<INT>", "BIGINT"},
        {"variant", "VARIANT"},
        {"VARIANT", "VARIANT"},
        {"ARRAY<DOUBLE>", "DOUBLE"},
        {"FLOAT", ""},
        {"BOOLEAN", ""},
        {"DATE", ""},
        {"DECIMAL(10,2)", ""},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(builder.normalizeColumnType(c.input), c.expected) << c.input;
}

TEST(DatabricksTypes, NormalisedTypesFormatLikeCreatedTypes) {
    // Whatever the warehouse reports for a column the plugin created, the value
    // is formatted the same way as with the type the plugin wrote.
    DatabricksSQLBuilder builder;
    for (int tag : {0, 1, 2, 3, 4, 5, 6, 7}) {
        const std::string created = builder.toSQLTypeString(tag);
        const std::string readBack = builder.normalizeColumnType(created);
        for (const std::string value : {"pump", "3", "null", "{\"a\":1}"}) {
            EXPECT_EQ(builder.formatValue(value, readBack), builder.formatValue(value, created))
                << created << " " << value;
        }
    }
}

struct ValueCase {
    std::string type;
    std::string value;
    std::string expected;
};

TEST(DatabricksValues, FormattingTable) {
    DatabricksSQLBuilder builder;
    const std::vector<ValueCase> cases = {
        {"VARCHAR(256) NOT NULL", "pump", "'pump'"},
        {"VARCHAR(256)", "it's", "'it\\'s'"},
        {"STRING", "text", "'text'"},
        {"string", "text", "'text'"},
        {"TEXT", "t", "'t'"},
        {"TIMESTAMP", "2023-11-14 22:13:20.123456+00:00", "'2023-11-14 22:13:20.123456+00:00'"},
        {"timestamp", "2023-11-14 22:13:20.123456+00:00", "'2023-11-14 22:13:20.123456+00:00'"},
        {"VARIANT", "{\"a\":[1,2]}", "parse_json('{\"a\":[1,2]}')"},
        {"variant", "[1.5,2]", "parse_json('[1.5,2]')"},
        {"VARIANT", "null", "parse_json('null')"},
        {"VARIANT", "{\"q\":\"say \\\"hi\\\"\"}", "parse_json('{\"q\":\"say \\\\\"hi\\\\\"\"}')"},
        {"DOUBLE", "21.500000", "21.500000"},
        {"BIGINT", "3", "3"},
        {"BIGINT", "-42", "-42"},
        {"DOUBLE", "+1.5e-3", "+1.5e-3"},
        {"DOUBLE", "1E10", "1E10"},
        {"", "true", "true"},
        {"", "FALSE", "FALSE"},
        {"BOOLEAN", "True", "True"},
        {"VARCHAR(256)", "null", "'null'"},
        {"DOUBLE", "null", "null"},
        {"DOUBLE", "NULL", "NULL"},
        // Only plain numbers and the three words stay unquoted.
        {"BIGINT", "", "''"},
        {"VARCHAR(256)", "", "''"},
        {"DOUBLE", "nan", "'nan'"},
        {"DOUBLE", "-inf", "'-inf'"},
        {"BIGINT", "1; DROP TABLE pump", "'1; DROP TABLE pump'"},
        {"", "0) , (1", "'0) , (1'"},
        {"BIGINT", "--5", "'--5'"},
        {"BIGINT", "1.", "'1.'"},
        {"BIGINT", ".5", "'.5'"},
        {"BIGINT", "1e", "'1e'"},
        {"BIGINT", "1e+", "'1e+'"},
        {"BIGINT", " 1", "' 1'"},
        {"BIGINT", "0x1F", "'0x1F'"},
        {"BIGINT", "nullx", "'nullx'"},
        {"", "it's", "'it\\'s'"},
        {"DOUBLE", "1\\", "'1\\\\'"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(builder.formatValue(c.value, c.type), c.expected) << c.type << " | " << c.value;
        EXPECT_EQ(builder.formatValueForDatabricks(c.value, c.type), c.expected);
    }
}

TEST(DatabricksValues, VariantValuesThatAreNotJsonGoInAsJsonStrings) {
    DatabricksSQLBuilder builder;
    const std::vector<TextCase> cases = {
        // JSON documents of any kind are kept as they are.
        {"{\"a\":1}", R"(parse_json('{"a":1}'))"},
        {" [1, 2] ", R"(parse_json(' [1, 2] '))"},
        {"42", "parse_json('42')"},
        {"\"s\"", R"(parse_json('"s"'))"},
        {"null", "parse_json('null')"},
        // Anything else would fail the batch in parse_json.
        {"pump", R"(parse_json('"pump"'))"},
        {"", R"(parse_json('""'))"},
        {"nan", R"(parse_json('"nan"'))"},
        {"-nan", R"(parse_json('"-nan"'))"},
        {"{\"a\":1} trailing", R"(parse_json('"{\\"a\\":1} trailing"'))"},
        {R"(say "hi"\ it's)" + std::string("\n"), R"(parse_json('"say \\"hi\\"\\\\ it\'s\\n"'))"},
        {std::string("{}\0x", 4), R"(parse_json('"{}\\u0000x"'))"},
        {"tab\there\x01", R"(parse_json('"tab\\there\\u0001"'))"},
        {"\xC3\xA4", "parse_json('\"\xC3\xA4\"')"},
        // The warehouse refuses an object that repeats a key: the last value wins.
        {R"({"a": 0,"a": 0})", R"(parse_json('{"a":0}'))"},
        {R"({"a":1,"b":{"c":1,"c":[2]},"a":3})", R"(parse_json('{"a":3,"b":{"c":[2]}}'))"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(builder.formatValue(c.input, "VARIANT"), c.expected) << c.input;
}

// The values the writer checks against existing columns: each literal has the
// column's type, so one VALUES list never mixes types in a column.
TEST(DatabricksValues, FittedLiteralsHaveTheColumnsType) {
    struct Case {
        std::string value;
        ValueKind kind;
        std::string column;
        std::string literal;  // empty: the value is rescued
    };
    const std::vector<Case> cases = {
        {"22.0", ValueKind::Double, "BIGINT", "22"},
        {"-3.0E10", ValueKind::Double, "INT", ""},  // beyond INT
        {"-3.0E5", ValueKind::Double, "INT", "-300000"},
        {"9007199254740993", ValueKind::Integer, "BIGINT", "9007199254740993"},
        {"5", ValueKind::Integer, "SMALLINT", "5"},
        {"3", ValueKind::Integer, "DOUBLE", "3D"},
        {"21.5", ValueKind::Double, "DOUBLE", "21.5D"},
        {"NaN", ValueKind::Double, "DOUBLE", "CAST('NaN' AS DOUBLE)"},
        {"1.5", ValueKind::Double, "FLOAT", "1.5F"},
        {"7", ValueKind::Integer, "FLOAT", "7F"},
        {"-Infinity", ValueKind::Double, "FLOAT", "CAST('-Infinity' AS FLOAT)"},
        {"1.5", ValueKind::Double, "DECIMAL(10,2)", "1.5"},
        {"12", ValueKind::Integer, "DECIMAL(10,2)", "12"},
        {"22", ValueKind::Integer, "STRING", "'22'"},
        {"123", ValueKind::Integer, "VARIANT", "parse_json('123')"},
        {"1.0E-7", ValueKind::Double, "VARIANT", "parse_json('1.0E-7')"},
        {"NaN", ValueKind::Double, "VARIANT", ""},
        {"123", ValueKind::Text, "VARIANT", R"(parse_json('"123"'))"},
        {"[1.5,2.0]", ValueKind::Structured, "VARIANT", "parse_json('[1.5,2.0]')"},
        {"[1.5,NaN,Infinity]", ValueKind::Structured, "VARIANT", ""},
        {"[1.5,NaN,Infinity]", ValueKind::Structured, "STRING", "'[1.5,NaN,Infinity]'"},
    };
    DatabricksSQLBuilder builder;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value + " into " + c.column);
        const ColumnType column = ColumnType::parse(c.column);
        const ValueFit fit = builder.fitValue(c.value, c.kind, column);
        if (c.literal.empty()) {
            EXPECT_EQ(fit, ValueFit::Rescue);
            continue;
        }
        ASSERT_NE(fit, ValueFit::Rescue);
        std::string out = "x";
        builder.appendFittedValue(out, c.value, c.kind, column, fit);
        EXPECT_EQ(out, "x" + c.literal);
    }
}

TEST(DatabricksValues, FormattingThroughTheBaseClass) {
    std::unique_ptr<SQLBuilder> builder(new DatabricksSQLBuilder());
    EXPECT_EQ(builder->formatValue("it's", "VARCHAR(256)"), "'it\\'s'");
    EXPECT_EQ(builder->escapeString("C:\\temp"), "'C:\\\\temp'");
}

TEST(DatabricksEscaping, StringLiterals) {
    DatabricksSQLBuilder builder;
    const std::vector<TextCase> cases = {
        {"abc", "'abc'"},
        {"", "''"},
        {"it's", "'it\\'s'"},
        {"C:\\temp", "'C:\\\\temp'"},
        {"ends in backslash\\", "'ends in backslash\\\\'"},
        {"\\'", "'\\\\\\''"},
        {"''", "'\\'\\''"},
        {"\\\\", "'\\\\\\\\'"},
        {"a`b\"c", "'a`b\"c'"},
        {"line\nbreak\ttab", "'line\nbreak\ttab'"},
        {"all ` ' \\ at once\\", "'all ` \\' \\\\ at once\\\\'"},
        {"\xC3\xA4\xE2\x82\xAC", "'\xC3\xA4\xE2\x82\xAC'"},
        // A NUL byte cannot travel in the statement text; digits after it must
        // not turn its escape into an octal one.
        {std::string("a\0b", 3), "'a\\u0000b'"},
        {std::string("\0"
                     "12",
                     3),
         "'\\u000012'"},
        {std::string("\0\0'", 3), "'\\u0000\\u0000\\''"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(builder.escapeString(c.input), c.expected) << c.input;
}

TEST(DatabricksEscaping, IdentifiersAndInformationSchema) {
    DatabricksSQLBuilder builder;
    EXPECT_EQ(builder.buildCreateTable("t`x", {{"c`'\\", "STRING"}}),
              "CREATE TABLE `t``x` (`c``'\\` STRING)");
    EXPECT_EQ(builder.buildAlterTable("pump", "pressure", "DOUBLE"),
              "ALTER TABLE `pump` ADD COLUMN `pressure` DOUBLE");
    EXPECT_EQ(builder.buildInformationSchemaQuery("Default_Schema", "Pump"),
              "SELECT column_name,data_type,is_nullable,full_data_type FROM "
              "information_schema.columns WHERE "
              "table_schema = 'default_schema' AND table_name = 'pump' ORDER BY ordinal_position");
    EXPECT_EQ(builder.buildInformationSchemaQuery("S'1", "It's\\"),
              "SELECT column_name,data_type,is_nullable,full_data_type FROM "
              "information_schema.columns WHERE "
              "table_schema = 's\\'1' AND table_name = 'it\\'s\\\\' ORDER BY ordinal_position");
    // Several tables: each name is escaped as in the one-table query.
    EXPECT_EQ(builder.buildInformationSchemaQuery(
                  "S'1", std::vector<std::string>{"It's\\", "Pump", "x' OR 'a'='a"}),
              "SELECT table_name,column_name,data_type,is_nullable,full_data_type FROM "
              "information_schema.columns WHERE table_schema = 's\\'1' AND table_name IN "
              "('it\\'s\\\\', 'pump', 'x\\' or \\'a\\'=\\'a') ORDER BY table_name, "
              "ordinal_position");
}

TEST(DatabricksEscaping, InsertWithFormattedValues) {
    DatabricksSQLBuilder builder;
    builder.setTableName("pump");
    builder.setColumns({"asset_code", "count", "temperature", "note"});
    builder.setValues(SQLBuilder::Rows{
        {builder.formatValue("pump", "VARCHAR(256) NOT NULL"), builder.formatValue("3", "BIGINT"),
         builder.formatValue("21.500000", "DOUBLE"), builder.formatValue("it's \\o/", "STRING")},
        {builder.formatValue("pump", "VARCHAR(256)"), builder.formatValue("4", "BIGINT"), "NULL",
         builder.formatValue("x", "STRING")}});
    EXPECT_EQ(builder.buildBulkInsert(),
              "INSERT INTO `pump` (`asset_code`, `count`, `temperature`, `note`) VALUES ('pump', "
              "3, 21.500000, 'it\\'s \\\\o/'), ('pump', 4, NULL, 'x')");
}

TEST(DatabricksEscaping, ConstraintSuffixes) {
    DatabricksSQLBuilder builder;
    const std::vector<std::pair<ColumnConstraint, std::string>> cases = {
        {CONSTRAINT_NONE, ""},
        {CONSTRAINT_NOT_NULL, " NOT NULL"},
        {CONSTRAINT_NULLABLE, ""},
        {CONSTRAINT_PRIMARY_KEY, " PRIMARY KEY"},
        {CONSTRAINT_UNIQUE, " UNIQUE"},
        {CONSTRAINT_NOT_NULL | CONSTRAINT_PRIMARY_KEY, " NOT NULL PRIMARY KEY"},
        {CONSTRAINT_NOT_NULL | CONSTRAINT_NULLABLE, " NOT NULL"},
        {CONSTRAINT_NOT_NULL | CONSTRAINT_PRIMARY_KEY | CONSTRAINT_UNIQUE,
         " NOT NULL PRIMARY KEY UNIQUE"},
        {16, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(builder.decodeConstraints(c.first), c.second) << c.first;
}

// --- names the warehouse accepts -------------------------------------------

TEST(DatabricksNames, EachRefusedTableCharacterBecomesUnderscore) {
    DatabricksSQLBuilder builder;
    std::vector<char> refused = {'.', ' ', '/', '\x7F'};
    for (int c = 0x00; c <= 0x1F; ++c)
        refused.push_back(static_cast<char>(c));
    for (char c : refused) {
        const std::string name = std::string("a") + c + "b";
        EXPECT_EQ(builder.tableNameFor(name), "a_b") << static_cast<int>(c);
    }
    EXPECT_EQ(builder.tableNameFor("Boiler 1"), "Boiler_1");
    EXPECT_EQ(builder.tableNameFor("line.3"), "line_3");
    EXPECT_EQ(builder.tableNameFor("site/pump"), "site_pump");
    EXPECT_EQ(builder.tableNameFor("a.b"), "a_b");
    EXPECT_EQ(builder.tableNameFor(". /"), "___");
}

TEST(DatabricksNames, EachRefusedColumnCharacterBecomesUnderscore) {
    DatabricksSQLBuilder builder;
    std::vector<char> refused = {' ', ',', ';', '{', '}', '(', ')', '=', '\x7F'};
    for (int c = 0x00; c <= 0x1F; ++c)
        refused.push_back(static_cast<char>(c));
    for (char c : refused) {
        const std::string name = std::string("a") + c + "b";
        EXPECT_EQ(builder.columnNameFor(name), "a_b") << static_cast<int>(c);
    }
    EXPECT_EQ(builder.columnNameFor("Outside Temperature"), "Outside_Temperature");
    EXPECT_EQ(builder.columnNameFor("flow (l/s)"), "flow__l/s_");
}

TEST(DatabricksNames, OrdinaryNamesAreUnchanged) {
    DatabricksSQLBuilder builder;
    for (const std::string name :
         {"pump", "Pump_1", "asset_code", "temp-2", "x`y", "it's", "\xC3\xA4pfel", "a:b", ""}) {
        EXPECT_EQ(builder.tableNameFor(name), name);
        EXPECT_EQ(builder.columnNameFor(name), name);
    }
    // Characters refused only in table names stay in column names.
    EXPECT_EQ(builder.columnNameFor("line.3/a"), "line.3/a");
    // Characters refused only in column names stay in table names.
    EXPECT_EQ(builder.tableNameFor("a,b;c{d}e(f)g=h"), "a,b;c{d}e(f)g=h");
    EXPECT_EQ(builder.tableNameFor(std::string(255, 't')), std::string(255, 't'));
}

TEST(DatabricksNames, LongTableAndColumnNamesAreCutWithoutSplittingACharacter) {
    DatabricksSQLBuilder builder;
    struct Case {
        const char* what;
        std::string name;
        std::string cut;
    };
    const std::vector<Case> cases = {
        {"two-byte character across byte 255",
         std::string(254, 'a') + "\xC3\xA4" + std::string(44, 'b'), std::string(254, 'a')},
        {"three-byte character from byte 254",
         std::string(253, 'a') + "\xE2\x82\xAC" + std::string(44, 'b'), std::string(253, 'a')},
        {"four-byte character from byte 252",
         std::string(252, 'a') + "\xF0\x9F\x98\x80" + std::string(44, 'b'), std::string(252, 'a')},
        {"character ending at byte 255", std::string(253, 'a') + "\xC3\xA4" + std::string(45, 'b'),
         std::string(253, 'a') + "\xC3\xA4"},
        {"multibyte text of 300 bytes",
         [] {
             std::string text;
             while (text.size() < 300)
                 text += "\xE2\x82\xAC";
             return text;
         }(),
         [] {
             std::string text;
             for (int i = 0; i < 85; ++i)
                 text += "\xE2\x82\xAC";
             return text;
         }()},
        // Refused characters are replaced before the cut.
        {"replaced, then cut", std::string(150, 'x') + " " + std::string(149, 'y'),
         std::string(150, 'x') + "_" + std::string(104, 'y')},
        // Continuation bytes without a lead byte are not UTF-8: cut at 255.
        {"not UTF-8", std::string(300, '\x80'), std::string(255, '\x80')},
        {"exactly 255 bytes", std::string(255, 't'), std::string(255, 't')},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(builder.tableNameFor(c.name), c.cut) << "table: " << c.what;
        EXPECT_EQ(builder.columnNameFor(c.name), c.cut) << "column: " << c.what;
    }
}

TEST(DatabricksBuilder, HintNameAndFactory) {
    DatabricksSQLBuilder builder;
    EXPECT_EQ(builder.getHintName(), "databricksHint");
    EXPECT_EQ(builder.getHintName().size(), 14u);
    EXPECT_EQ(builder.getIdentifierQuote(), "`");
    EXPECT_EQ(builder.getIdentifierCloseQuote(), "`");
    EXPECT_EQ(builder.getStringQuote(), "'");

    builder.setTableName("t");
    builder.setColumns({"a"});
    builder.setValues(SQLBuilder::Rows{{"1"}});
    ASSERT_NE(builder.buildBulkInsert(), "");
    std::unique_ptr<SQLBuilder> fresh(builder.createSQLBuilder());
    ASSERT_NE(dynamic_cast<DatabricksSQLBuilder*>(fresh.get()), nullptr);
    EXPECT_EQ(fresh->buildBulkInsert(), "");
    EXPECT_EQ(fresh->toSQLTypeString(1), "BIGINT");
    EXPECT_EQ(builder.buildBulkInsert(), "INSERT INTO `t` (`a`) VALUES (1)");
}

}  // namespace
