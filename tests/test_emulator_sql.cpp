// The SQL the emulator accepts and how it answers, driven through the real
// unixODBC driver manager: Spark string literals, the warehouse's type checks
// and conversions, name rules, DDL and INSERT errors with their SQLSTATEs,
// atomic statements, and information_schema.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "test_emulator_session.h"
#include "warehouse.h"

using ::testing::HasSubstr;

namespace {

using Rows = std::vector<std::vector<std::string>>;

class EmulatorSql : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(session.connected()) << session.connectResult().message; }

    OdbcResult run(const std::string& sql) { return session.run(sql); }
    // Runs a statement that must succeed and returns its rows.
    Rows rows(const std::string& sql) {
        const OdbcResult r = session.run(sql);
        EXPECT_TRUE(r.ok()) << sql << "\n" << r.state << " " << r.message;
        return r.rows;
    }
    std::string state(const std::string& sql) {
        const OdbcResult r = session.run(sql);
        return r.ok() ? "OK" : r.state;
    }

    TempWarehouse wh;
    OdbcSession session{wh.connectionString()};
};

// ---- string literals ------------------------------------------------------------

struct LiteralCase {
    std::string literal;
    std::string stored;
};

TEST_F(EmulatorSql, StringLiteralsFollowSparkRules) {
    const std::vector<LiteralCase> cases = {
        {"'plain'", "plain"},
        {R"('it\'s')", "it's"},
        {"'it''s'", "its"},  // two adjacent literals, not an escaped quote
        {R"('C:\\temp')", R"(C:\temp)"},
        {R"('C:\temp')", "C:\temp"},  // \t is a tab
        {R"('say \"hi\"')", "say \"hi\""},
        {R"("it's")", "it's"},
        {R"('a\nb\rc\0d')", std::string("a\nb\rc\0d", 7)},
        {R"('\z\q\\')", "zq\\"},
        {R"('\u00e9t\u00C9')", "\xC3\xA9t\xC3\x89"},
        {R"('\uD83D\uDE00')", "\xF0\x9F\x98\x80"},
        {R"('\U0001F600')", "\xF0\x9F\x98\x80"},
        {R"('\101\102')", "AB"},
        {R"('\uzz')", "uzz"},
        {R"('100\%')", R"(100\%)"},
        {R"(r'C:\temp\n')", R"(C:\temp\n)"},
        {R"(R"raw'q")", "raw'q"},
        {"'a' 'b' /* c */ 'c' -- d\n 'e'", "abce"},
        {"'x'\n\"y\"", "xy"},
        {"''", ""},
        {"'\xC3\xA9t\xC3\xA9'", "\xC3\xA9t\xC3\xA9"},
    };
    ASSERT_EQ(state("CREATE TABLE t (id INT, s STRING)"), "OK");
    for (size_t i = 0; i < cases.size(); ++i) {
        const std::string id = std::to_string(i);
        ASSERT_EQ(state("INSERT INTO t VALUES (" + id + ", " + cases[i].literal + ")"), "OK")
            << cases[i].literal;
        EXPECT_EQ(rows("SELECT s FROM t WHERE id = " + id), Rows{{cases[i].stored}})
            << cases[i].literal;
    }
}

TEST_F(EmulatorSql, UnterminatedLiteralsAndNamesAreSyntaxErrors) {
    ASSERT_EQ(state("CREATE TABLE t (s STRING)"), "OK");
    EXPECT_EQ(state(R"(INSERT INTO t VALUES ('abc\'))"), "42601");
    EXPECT_EQ(state("INSERT INTO t VALUES ('abc)"), "42601");
    EXPECT_EQ(state("INSERT INTO `t VALUES ('abc')"), "42601");
    EXPECT_EQ(state("INSERT INTO t VALUES ('a') /* open"), "42601");
    EXPECT_EQ(rows("SELECT count(*) FROM t"), Rows{{"0"}});
}

TEST_F(EmulatorSql, BacktickNamesDoubleTheirBackticks) {
    ASSERT_EQ(state("CREATE TABLE `odd``name` (`we``ird` INT)"), "OK");
    ASSERT_EQ(state("INSERT INTO `odd``name` (`we``ird`) VALUES (7)"), "OK");
    EXPECT_EQ(rows("SELECT `we``ird` FROM `odd``name`"), Rows{{"7"}});
    EXPECT_EQ(
        rows("SELECT column_name FROM information_schema.columns WHERE table_name = 'odd`name'"),
        Rows{{"we`ird"}});
}

// ---- values into typed columns -----------------------------------------------------

struct TypeCase {
    std::string type;
    std::string literal;
    std::string expected;  // the stored text, or "!" and the SQLSTATE of the refusal
};

std::vector<TypeCase> typeCases() {
    return {
        {"BIGINT", "3", "3"},
        {"BIGINT", "-42", "-42"},
        {"BIGINT", "'42'", "42"},
        {"BIGINT", "' 7 '", "7"},
        {"BIGINT", "'1.9'", "1"},
        {"BIGINT", "21.9", "21"},
        {"BIGINT", "-21.9", "-21"},
        {"BIGINT", "1e3", "1000"},
        {"BIGINT", "9223372036854775807", "9223372036854775807"},
        {"BIGINT", "9223372036854775808", "!22003"},
        {"BIGINT", "'abc'", "!22018"},
        {"BIGINT", "'1e3'", "!22018"},
        {"BIGINT", "'2026-01-01'", "!22018"},
        {"BIGINT", "true", "!42804"},
        {"BIGINT", "parse_json('1')", "!42804"},
        {"BIGINT", "NULL", "NULL"},
        {"INT", "2147483647", "2147483647"},
        {"INT", "2147483648", "!22003"},
        {"INT", "'2147483648'", "!22018"},
        {"SMALLINT", "32768", "!22003"},
        {"TINYINT", "-128", "-128"},
        {"DOUBLE", "21.500000", "21.5"},
        {"DOUBLE", "3", "3.0"},
        {"DOUBLE", "0.1", "0.1"},
        {"DOUBLE", "1e20", "1.0E20"},
        {"DOUBLE", "'21.5'", "21.5"},
        {"DOUBLE", "' -0.25 '", "-0.25"},
        {"DOUBLE", "'1.5d'", "1.5"},
        {"DOUBLE", "'NaN'", "NaN"},
        {"DOUBLE", "'nan'", "NaN"},
        {"DOUBLE", "'Infinity'", "Infinity"},
        {"DOUBLE", "'-Infinity'", "-Infinity"},
        {"DOUBLE", "'inf'", "Infinity"},
        {"DOUBLE", "'-INF'", "-Infinity"},
        {"DOUBLE", "1e400", "!22003"},
        {"DOUBLE", "'abc'", "!22018"},
        {"DOUBLE", "'1,5'", "!22018"},
        {"DOUBLE", "nan", "!42703"},  // a bare word is a column reference
        {"DOUBLE", "true", "!42804"},
        {"FLOAT", "0.1", "0.1"},
        {"FLOAT", "'3.5e39'", "Infinity"},
        {"BOOLEAN", "true", "true"},
        {"BOOLEAN", "'yes'", "true"},
        {"BOOLEAN", "'0'", "false"},
        {"BOOLEAN", "'maybe'", "!22018"},
        {"BOOLEAN", "1", "!42804"},
        {"DATE", "'2026-03-04'", "2026-03-04"},
        {"DATE", "'2026-3-4 10:00:00'", "2026-03-04"},
        {"DATE", "DATE'2024-02-29'", "2024-02-29"},
        {"DATE", "'2026-02-29'", "!22007"},
        {"DECIMAL(5,2)", "1.005", "1.01"},
        {"DECIMAL(5,2)", "'12.3'", "12.30"},
        {"DECIMAL(5,2)", "-0.004", "0.00"},
        {"DECIMAL(5,2)", "-1.5", "-1.50"},
        {"DECIMAL(5,2)", "1e2", "100.00"},
        {"DECIMAL(5,2)", "999.995", "!22003"},
        {"DECIMAL(5,2)", "'x'", "!22018"},
        {"TIMESTAMP", "'2026-01-01 00:00:00.000001+00:00'", "2026-01-01 00:00:00.000001"},
        {"TIMESTAMP", "'2026-01-01 02:30:00+02:30'", "2026-01-01 00:00:00.000000"},
        {"TIMESTAMP", "'2025-12-31 23:00:00-01:00'", "2026-01-01 00:00:00.000000"},
        {"TIMESTAMP", "'2026-01-01T00:00:00Z'", "2026-01-01 00:00:00.000000"},
        {"TIMESTAMP", "'2026-01-01 00:00:00 UTC'", "2026-01-01 00:00:00.000000"},
        {"TIMESTAMP", "'2026-01-01'", "2026-01-01 00:00:00.000000"},
        {"TIMESTAMP", "'2026-01-01 00:00:00.1234567'", "2026-01-01 00:00:00.123456"},
        {"TIMESTAMP", "'2024-02-29 12:00:00'", "2024-02-29 12:00:00.000000"},
        {"TIMESTAMP", "TIMESTAMP'2026-01-01 00:00:00'", "2026-01-01 00:00:00.000000"},
        {"TIMESTAMP", "'2026-02-29 00:00:00'", "!22007"},
        {"TIMESTAMP", "'2026-01-01 24:00:00'", "!22007"},
        {"TIMESTAMP", "'2026-01-01 00:00:00+19:00'", "!22007"},
        {"TIMESTAMP", "'null'", "!22007"},
        {"TIMESTAMP", "''", "!22007"},
        {"TIMESTAMP", "3", "!42804"},
        {"STRING", "'00123'", "00123"},
        {"STRING", "'042'", "042"},
        {"STRING", "'1.50'", "1.50"},
        {"STRING", "' 7'", " 7"},
        {"STRING", "3", "3"},
        {"STRING", "21.500000", "21.500000"},
        {"STRING", "true", "true"},
        {"STRING", "parse_json('1')", "!42804"},
        {"VARCHAR(5)", "'abcde'", "abcde"},
        {"VARCHAR(5)", "'abcdef'", "!22001"},
        {"VARCHAR(5)", "'abcde   '", "abcde"},
        {"VARCHAR(5)", "'\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9'",
         "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"},
        {"VARCHAR(5)", "'\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9'", "!22001"},
        {"VARCHAR(5)", "123456", "!22001"},
        {"VARIANT", R"(parse_json('{"a": 1, "b": [true, null]}'))", R"({"a":1,"b":[true,null]})"},
        {"VARIANT", R"(parse_json('"a b"'))", R"("a b")"},
        {"VARIANT", "parse_json('1.50')", "1.50"},
        {"VARIANT", "parse_json(' 10 ')", "10"},
        {"VARIANT", R"(parse_json('042'))", "!22023"},
        {"VARIANT", R"(parse_json('{bad'))", "!22023"},
        {"VARIANT", "parse_json('')", "!22023"},
        {"VARIANT", "parse_json('1 2')", "!22023"},
        {"VARIANT", R"('{"a":1}')", "!42804"},
        {"VARIANT", "3", "!42804"},
        {"VARIANT", "NULL", "NULL"},
        {"VARIANT", "parse_json(NULL)", "NULL"},
        {"VARIANT", R"(parse_json('{"a":1,"a":2}'))", "!22023"},
        {"VARIANT", R"(parse_json('{"b":{"a":1,"a":2}}'))", "!22023"},
        {"VARIANT", R"(parse_json('{"a":{"a":1},"b":[{"a":1},{"a":2}]}'))",
         R"({"a":{"a":1},"b":[{"a":1},{"a":2}]})"},
    };
}

// How the warehouse types a literal shows in what a STRING column keeps and in
// which literals it refuses.
std::vector<TypeCase> literalTypingCases() {
    const std::string digits39 = "123456789012345678901234567890123456789";
    return {
        {"STRING", "21.500000", "21.500000"},  // DECIMAL(8,6)
        {"STRING", "0.001", "0.001"},
        {"STRING", "99999999999999999999", "99999999999999999999"},  // beyond 64 bits: DECIMAL
        {"STRING", digits39, "!22003"},
        {"STRING", "1." + digits39.substr(1), "!22003"},
        {"STRING", "0." + std::string(38, '0') + "1", "!22003"},  // scale 39
        {"STRING", digits39.substr(1), digits39.substr(1)},       // 38 digits are fine
        {"STRING", "2.5e3", "2500.0"},                            // exponent: DOUBLE
        {"STRING", "1E-7", "1.0E-7"},
        {"STRING", "21.5D", "21.5"},
        {"STRING", "21D", "21.0"},
        {"STRING", "1.5BD", "1.5"},
        {"STRING", "1.5F", "1.5"},
        {"STRING", "7L", "7"},
        {"SMALLINT", "7S", "7"},
        {"SMALLINT", "32768S", "!22003"},
        {"TINYINT", "128Y", "!22003"},
        {"BIGINT", "9223372036854775808L", "!22003"},
        {"DECIMAL(38,0)", digits39, "!22003"},
        {"DOUBLE", "CAST('NaN' AS DOUBLE)", "NaN"},
        {"DOUBLE", "CAST('nan' AS double)", "NaN"},
        {"DOUBLE", "CAST('Infinity' AS DOUBLE)", "Infinity"},
        {"DOUBLE", "CAST('INFINITY' AS DOUBLE)", "Infinity"},
        {"DOUBLE", "CAST('-Infinity' AS DOUBLE)", "-Infinity"},
        {"DOUBLE", "CAST('-infinity' AS DOUBLE)", "-Infinity"},
        {"DOUBLE", "CAST(' 2.5 ' AS DOUBLE)", "2.5"},
        {"DOUBLE", "CAST(NULL AS DOUBLE)", "NULL"},
        {"DOUBLE", "CAST('abc' AS DOUBLE)", "!22018"},
        {"FLOAT", "CAST('NaN' AS FLOAT)", "NaN"},
        {"STRING", "CAST('NaN' AS DOUBLE)", "NaN"},
        {"BIGINT", "CAST('NaN' AS DOUBLE)", "!22003"},
        {"DECIMAL(5,2)", "CAST('Infinity' AS DOUBLE)", "!22003"},
        {"DOUBLE", "CAST('1' AS BIGINT)", "!0A000"},
        {"DOUBLE", "CAST('NaN' DOUBLE)", "!42601"},
    };
}

TEST_F(EmulatorSql, ValuesAreCheckedAndConvertedLikeTheWarehouse) {
    std::vector<TypeCase> cases = typeCases();
    for (TypeCase& c : literalTypingCases())
        cases.push_back(std::move(c));
    for (size_t i = 0; i < cases.size(); ++i) {
        const TypeCase& c = cases[i];
        const std::string table = "c" + std::to_string(i);
        ASSERT_EQ(state("CREATE TABLE " + table + " (v " + c.type + ")"), "OK") << c.type;
        const OdbcResult r = run("INSERT INTO " + table + " VALUES (" + c.literal + ")");
        if (c.expected[0] == '!') {
            EXPECT_EQ(r.ok() ? "OK" : r.state, c.expected.substr(1))
                << c.type << " <- " << c.literal;
            EXPECT_EQ(rows("SELECT count(*) FROM " + table), Rows{{"0"}})
                << c.type << " <- " << c.literal;
        } else {
            EXPECT_TRUE(r.ok()) << c.type << " <- " << c.literal << ": " << r.message;
            EXPECT_EQ(rows("SELECT v FROM " + table), Rows{{c.expected}})
                << c.type << " <- " << c.literal;
        }
    }
}

TEST_F(EmulatorSql, LiteralRefusalsNameThePrecisionAndTheJsonRule) {
    ASSERT_EQ(state("CREATE TABLE t (s STRING, v VARIANT)"), "OK");
    EXPECT_THAT(run("INSERT INTO t (s) VALUES (" + std::string(40, '9') + ")").message,
                HasSubstr("precision 40"));
    const OdbcResult duplicate = run(R"(INSERT INTO t (v) VALUES (parse_json('{"k":1,"k":2}')))");
    EXPECT_EQ(duplicate.state, "22023");
    EXPECT_THAT(duplicate.message, HasSubstr("VARIANT_DUPLICATE_KEY"));
    EXPECT_THAT(run("INSERT INTO t (v) VALUES (parse_json('{'))").message,
                HasSubstr("MALFORMED_RECORD_IN_PARSING"));
}

TEST_F(EmulatorSql, VariantAboveSixteenMebibytesIsRefused) {
    ASSERT_EQ(state("CREATE TABLE t (v VARIANT)"), "OK");
    const size_t limit = 16u * 1024 * 1024;
    EXPECT_EQ(state("INSERT INTO t VALUES (parse_json('\"" + std::string(limit - 2, 'a') + "\"'))"),
              "OK");
    EXPECT_EQ(state("INSERT INTO t VALUES (parse_json('\"" + std::string(limit - 1, 'a') + "\"'))"),
              "22023");
    EXPECT_EQ(rows("SELECT count(*), max(length(v)) FROM t"), (Rows{{"1", std::to_string(limit)}}));
}

// ---- one VALUES list, one type per column ----------------------------------------------

struct InlineCase {
    std::string type;
    std::string values;               // the rows after VALUES
    std::vector<std::string> stored;  // in row order; empty when refused
    std::string state = "OK";
};

TEST_F(EmulatorSql, RowsOfOneValuesListMustAgreePerColumn) {
    const std::vector<InlineCase> cases = {
        {"DOUBLE", "(1.5), ('NaN')", {}, "42000"},
        {"DOUBLE", "('NaN'), (2)", {}, "42000"},
        {"DOUBLE", "(1.5), (NULL), (CAST('NaN' AS DOUBLE))", {"1.5", "NULL", "NaN"}},
        {"BIGINT", "(1), (true)", {}, "42000"},
        {"STRING", "('a'), (false)", {}, "42000"},
        {"VARIANT", "(parse_json('1')), ('x')", {}, "42000"},
        {"VARIANT", "(parse_json('1')), (3)", {}, "42000"},
        {"VARIANT", "(parse_json('1')), (NULL), (parse_json('[2]'))", {"1", "NULL", "[2]"}},
        {"STRING", "('a'), (NULL), ('b')", {"a", "NULL", "b"}},
        {"TIMESTAMP",
         "(TIMESTAMP'2026-01-01 00:00:00'), (DATE'2026-01-02')",
         {"2026-01-01 00:00:00.000000", "2026-01-02 00:00:00.000000"}},
        // Numbers widen: INT with DECIMAL gives DECIMAL, anything with DOUBLE gives DOUBLE.
        {"STRING", "(3), (21.500000)", {"3.000000", "21.500000"}},
        {"STRING", "(3), (1e0)", {"3.0", "1.0"}},
        {"STRING", "(1.5), (2.25BD)", {"1.50", "2.25"}},
        {"BIGINT", "(9007199254740993), (1e0)", {"9007199254740992", "1"}},
        {"BIGINT", "(9007199254740993), (2)", {"9007199254740993", "2"}},
        // The check comes before any cast: the string would fail as 22018 alone.
        {"BIGINT", "('x'), (1)", {}, "42000"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const InlineCase& c = cases[i];
        const std::string table = "i" + std::to_string(i);
        ASSERT_EQ(state("CREATE TABLE " + table + " (n INT, v " + c.type + ")"), "OK");
        std::string values = c.values;
        // Each row gets its number in front so the stored order can be read back.
        std::string numbered;
        int row = 0;
        for (size_t at = 0; at < values.size(); ++at) {
            numbered += values[at];
            if (values[at] == '(' && (at == 0 || values[at - 1] == ' '))
                numbered += std::to_string(row++) + ", ";
        }
        const OdbcResult r = run("INSERT INTO " + table + " VALUES " + numbered);
        EXPECT_EQ(r.ok() ? "OK" : r.state, c.state) << c.type << " <- " << c.values;
        if (!r.ok()) {
            EXPECT_THAT(r.message,
                        HasSubstr("[INVALID_INLINE_TABLE.INCOMPATIBLE_TYPES_IN_INLINE_TABLE]"));
            EXPECT_EQ(rows("SELECT count(*) FROM " + table), Rows{{"0"}}) << c.values;
            continue;
        }
        Rows expected;
        for (const std::string& v : c.stored)
            expected.push_back({v});
        EXPECT_EQ(rows("SELECT v FROM " + table + " ORDER BY n"), expected)
            << c.type << " <- " << c.values;
    }
    // Only the column that mixes fails the statement; the others may differ by row.
    ASSERT_EQ(state("CREATE TABLE m (a STRING, b DOUBLE)"), "OK");
    const OdbcResult mixed = run("INSERT INTO m VALUES ('x', 1.5), (NULL, 'NaN')");
    EXPECT_EQ(mixed.state, "42000");
    EXPECT_THAT(mixed.message, HasSubstr("col2"));
}

// ---- messages ----------------------------------------------------------------------------

struct MessageCase {
    std::string sql;
    std::string state;
    int native;  // 80 found while analysing, 35 while running
    std::string errorClass;
};

TEST_F(EmulatorSql, MessagesCarryTheErrorClassTheSqlStateAndTheNativeNumberOfThePhase) {
    ASSERT_EQ(state("CREATE TABLE t (n INT, s VARCHAR(3) NOT NULL, ts TIMESTAMP)"), "OK");
    const std::vector<MessageCase> cases = {
        {"SELECT * FROM pump", "42P01", 80, "TABLE_OR_VIEW_NOT_FOUND"},
        {"INSERT INTO t VALUES (1, 'a'", "42601", 80, "PARSE_SYNTAX_ERROR"},
        {"CREATE TABLE t (a INT)", "42P07", 80, "TABLE_OR_VIEW_ALREADY_EXISTS"},
        {"INSERT INTO t (nope) VALUES (1)", "42703", 80, "UNRESOLVED_COLUMN.WITHOUT_SUGGESTION"},
        {"ALTER TABLE t ADD COLUMN N INT", "42711", 80, "COLUMN_ALREADY_EXISTS"},
        {"INSERT INTO t VALUES (1, 'a')", "21S01", 80, "INSERT_COLUMN_ARITY_MISMATCH"},
        {"INSERT INTO t VALUES (1, 'a', NULL), ('2', 'b', NULL)", "42000", 80,
         "INVALID_INLINE_TABLE.INCOMPATIBLE_TYPES_IN_INLINE_TABLE"},
        {"INSERT INTO t VALUES (true, 'a', NULL)", "42804", 80,
         "INCOMPATIBLE_DATA_FOR_TABLE.CANNOT_SAFELY_CAST"},
        {"INSERT INTO t VALUES (" + std::string(39, '1') + ", 'a', NULL)", "22003", 80,
         "DECIMAL_PRECISION_EXCEEDS_MAX_PRECISION"},
        {"INSERT INTO t VALUES ('x', 'a', NULL)", "22018", 35, "CAST_INVALID_INPUT"},
        {"INSERT INTO t VALUES (2147483648, 'a', NULL)", "22003", 35, "CAST_OVERFLOW"},
        {"INSERT INTO t VALUES (1, NULL, NULL)", "23502", 35, "DELTA_NOT_NULL_CONSTRAINT_VIOLATED"},
        {"INSERT INTO t VALUES (1, 'abcd', NULL)", "22001", 35, "EXCEED_LIMIT_LENGTH"},
        {"INSERT INTO t VALUES (1, 'a', '2026-13-01')", "22007", 35, "CAST_INVALID_INPUT"},
    };
    for (const MessageCase& c : cases) {
        const OdbcResult r = run(c.sql);
        EXPECT_EQ(r.state, c.state) << c.sql;
        EXPECT_EQ(r.native, c.native) << c.sql;
        EXPECT_EQ(r.message.rfind("[lakesink][Warehouse] [" + c.errorClass + "] ", 0), 0u)
            << c.sql << "\n"
            << r.message;
        EXPECT_THAT(r.message, ::testing::EndsWith(" SQLSTATE: " + c.state)) << c.sql;
    }
    EXPECT_EQ(rows("SELECT count(*) FROM t"), Rows{{"0"}});
}

TEST_F(EmulatorSql, RefusalMessagesNameTheValueAndTheCannotSafelyCastRule) {
    ASSERT_EQ(state("CREATE TABLE t (n BIGINT, meta VARIANT, code VARCHAR(3))"), "OK");
    const OdbcResult number = run("INSERT INTO t (n) VALUES ('abc')");
    EXPECT_THAT(number.message, HasSubstr("'abc'"));
    EXPECT_THAT(number.message, HasSubstr("`n`"));
    const OdbcResult variant = run(R"(INSERT INTO t (meta) VALUES ('{"a":1}'))");
    EXPECT_EQ(variant.state, "42804");
    EXPECT_THAT(variant.message, HasSubstr("Cannot safely cast"));
    const OdbcResult tooLong = run("INSERT INTO t (code) VALUES ('abcd')");
    EXPECT_EQ(tooLong.state, "22001");
    EXPECT_THAT(tooLong.message, HasSubstr("3"));
}

TEST_F(EmulatorSql, NotNullColumnsRefuseNullAndOmission) {
    ASSERT_EQ(state("CREATE TABLE t (a VARCHAR(256) NOT NULL, b DOUBLE)"), "OK");
    EXPECT_EQ(state("INSERT INTO t VALUES (NULL, 1.0)"), "23502");
    EXPECT_EQ(state("INSERT INTO t (b) VALUES (1.0)"), "23502");
    EXPECT_EQ(state("INSERT INTO t (a) VALUES ('x')"), "OK");
    EXPECT_EQ(rows("SELECT a, b FROM t"), (Rows{{"x", "NULL"}}));
    EXPECT_EQ(rows("SELECT is_nullable FROM information_schema.columns WHERE table_name = 't' "
                   "ORDER BY ordinal_position"),
              (Rows{{"NO"}, {"YES"}}));
}

// ---- INSERT as the plugin sends it --------------------------------------------------

TEST_F(EmulatorSql, PluginShapedStatementsRoundTrip) {
    ASSERT_EQ(state("CREATE TABLE `pump` (`asset_code` VARCHAR(256) NOT NULL, `user_ts` TIMESTAMP, "
                    "`ts` TIMESTAMP, `corvane` VARCHAR(256), `temperature` DOUBLE, `state` STRING, "
                    "`meta` VARIANT)"),
              "OK");
    ASSERT_EQ(state("ALTER TABLE `pump` ADD COLUMN `count` BIGINT"), "OK");
    const OdbcResult insert = run(
        "INSERT INTO `pump` (`asset_code`, `user_ts`, `ts`, `corvane`, `temperature`, `state`, "
        "`meta`, `count`) VALUES "
        "('pump', '2026-01-01 00:00:00.000001+00:00', '2026-01-01 00:00:00.000002+00:00', 'c1', "
        "21.500000, 'it\\'s C:\\\\temp', parse_json('{\"a\":1}'), 3), "
        "('pump', '2026-01-01 00:00:01.000000+00:00', '2026-01-01 00:00:01.000000+00:00', 'c1', "
        "NULL, NULL, NULL, 4)");
    ASSERT_TRUE(insert.ok()) << insert.message;
    EXPECT_EQ(insert.rowCount, 2);
    EXPECT_EQ(rows("SELECT * FROM pump ORDER BY ts"),
              (Rows{{"pump", "2026-01-01 00:00:00.000001", "2026-01-01 00:00:00.000002", "c1",
                     "21.5", "it's C:\\temp", "{\"a\":1}", "3"},
                    {"pump", "2026-01-01 00:00:01.000000", "2026-01-01 00:00:01.000000", "c1",
                     "NULL", "NULL", "NULL", "4"}}));
    EXPECT_EQ(rows("SELECT count(*) FROM `pump`"), Rows{{"2"}});
    EXPECT_EQ(rows("SELECT count(*) FROM `default_schema`.`pump`"), Rows{{"2"}});
    EXPECT_EQ(
        rows("SELECT `temperature` FROM pump WHERE `count` = 3 AND state = 'it\\'s C:\\\\temp'"),
        Rows{{"21.5"}});
}

TEST_F(EmulatorSql, TenThousandRowsInOneStatement) {
    ASSERT_EQ(state("CREATE TABLE `pump` (`asset_code` VARCHAR(256) NOT NULL, `ts` TIMESTAMP, "
                    "`temperature` DOUBLE, `count` BIGINT, `state` STRING)"),
              "OK");
    std::string sql =
        "INSERT INTO `pump` (`asset_code`, `ts`, `temperature`, `count`, `state`) VALUES ";
    for (int i = 0; i < 10000; ++i) {
        if (i)
            sql += ", ";
        sql += "('pump', '2026-01-01 00:00:" + std::string(i % 60 < 10 ? "0" : "") +
               std::to_string(i % 60) + ".000000+00:00', " + std::to_string(i) + ".500000, " +
               std::to_string(i) + ", 'row " + std::to_string(i) + "')";
    }
    const OdbcResult r = run(sql);
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(r.rowCount, 10000);
    EXPECT_EQ(rows("SELECT count(*), sum(`count`), min(state), max(temperature) FROM pump"),
              (Rows{{"10000", "49995000", "row 0", "9999.5"}}));
}

TEST_F(EmulatorSql, FailingRowWritesNothing) {
    ASSERT_EQ(state("CREATE TABLE t (a STRING NOT NULL, n BIGINT)"), "OK");
    EXPECT_EQ(state("INSERT INTO t VALUES ('a', '1'), ('b', '2'), ('c', 'three')"), "22018");
    EXPECT_EQ(state("INSERT INTO t VALUES ('a', 1), (NULL, 2)"), "23502");
    EXPECT_EQ(rows("SELECT count(*) FROM t"), Rows{{"0"}});
}

TEST_F(EmulatorSql, ErrorsArePrioritisedSyntaxThenAnalysisThenData) {
    ASSERT_EQ(state("CREATE TABLE t (n BIGINT, s STRING)"), "OK");
    // A bad value in row 1 does not hide a syntax error at the end ...
    EXPECT_EQ(state("INSERT INTO t VALUES ('x', 'a'), (2, 'b'"), "42601");
    // ... nor a wrong number of values in a later row.
    EXPECT_EQ(state("INSERT INTO t VALUES ('x', 'a'), (2)"), "21S01");
    EXPECT_EQ(state("INSERT INTO t VALUES (1, 'a', 3)"), "21S01");
    EXPECT_EQ(state("INSERT INTO missing VALUES (1, 'a'), (2"), "42601");
    EXPECT_EQ(rows("SELECT count(*) FROM t"), Rows{{"0"}});
}

TEST_F(EmulatorSql, OnlyOneStatementPerCall) {
    ASSERT_EQ(state("CREATE TABLE t (s STRING)"), "OK");
    EXPECT_EQ(state("SELECT 1; SELECT 2"), "42601");
    EXPECT_EQ(state("INSERT INTO t VALUES ('a'); DROP TABLE t"), "42601");
    EXPECT_EQ(state("CREATE TABLE u (a INT); SELECT 1"), "42601");
    EXPECT_EQ(rows("SELECT count(*) FROM t"), Rows{{"0"}});
    EXPECT_EQ(state("SELECT count(*) FROM u"), "42P01");
    // A closing semicolon and semicolons inside literals are fine.
    EXPECT_EQ(state("INSERT INTO t VALUES ('a;b');  "), "OK");
    EXPECT_EQ(rows("SELECT s FROM t WHERE s = 'a;b';"), Rows{{"a;b"}});
}

// ---- DDL -----------------------------------------------------------------------------

TEST_F(EmulatorSql, CatalogErrorsCarryTheWarehouseSqlStates) {
    ASSERT_EQ(state("CREATE TABLE `Pump` (`Temperature` DOUBLE)"), "OK");
    EXPECT_EQ(state("CREATE TABLE `pump` (a INT)"), "42P07");
    EXPECT_EQ(state("CREATE TABLE IF NOT EXISTS `PUMP` (a INT)"), "OK");
    EXPECT_EQ(state("CREATE TABLE t2 (a INT, A BIGINT)"), "42711");
    EXPECT_EQ(state("ALTER TABLE `pump` ADD COLUMN `temperature` DOUBLE"), "42711");
    EXPECT_EQ(state("ALTER TABLE `pump` ADD COLUMNS (`x` INT, `X` INT)"), "42711");
    EXPECT_EQ(state("ALTER TABLE `valve` ADD COLUMN `x` INT"), "42P01");
    EXPECT_EQ(state("INSERT INTO `valve` (`x`) VALUES (1)"), "42P01");
    EXPECT_EQ(state("SELECT * FROM valve"), "42P01");
    EXPECT_EQ(state("INSERT INTO `pump` (`pressure`) VALUES (1)"), "42703");
    EXPECT_EQ(state("SELECT pressure FROM pump"), "42703");
    EXPECT_EQ(state("INSERT INTO `pump` (`temperature`, `TEMPERATURE`) VALUES (1, 2)"), "42701");
    EXPECT_EQ(state("ALTER TABLE `pump` ADD COLUMN `p` DOUBLE NOT NULL"), "0A000");
    EXPECT_EQ(state("CREATE TABLE t3 (a WIDGET)"), "0A000");
    EXPECT_EQ(state("CREATE TABLE t3 (a VARCHAR)"), "42601");
    EXPECT_EQ(state("CREATE TABLE t3 (a INT"), "42601");
    EXPECT_EQ(state("CREATE TABLE t3 ()"), "42601");
    EXPECT_EQ(state("CREATE TABLE t3 (a INT UNIQUE)"), "42601");
    EXPECT_EQ(state("INSERT INTO pump VALUES (1,)"), "42601");
    EXPECT_EQ(state("SELEC 1"), "0A000");
    EXPECT_EQ(state("UPDATE pump SET temperature = 1"), "0A000");
    EXPECT_EQ(state("  -- nothing"), "42601");
    // Column names keep their case; the table name is stored in lower case.
    EXPECT_EQ(state("INSERT INTO `PUMP` (`temperature`) VALUES (1.5)"), "OK");
    EXPECT_EQ(rows("SELECT `TEMPERATURE` FROM pump"), Rows{{"1.5"}});
    EXPECT_EQ(rows("SELECT table_name, column_name FROM information_schema.columns"),
              (Rows{{"pump", "Temperature"}}));
}

TEST_F(EmulatorSql, AddColumnAppendsAndDropTableForgetsTheTable) {
    ASSERT_EQ(state("CREATE TABLE t (a INT)"), "OK");
    ASSERT_EQ(state("ALTER TABLE t ADD COLUMNS (b STRING, c DOUBLE)"), "OK");
    ASSERT_EQ(state("ALTER TABLE t ADD COLUMN d BOOLEAN"), "OK");
    EXPECT_EQ(rows("SELECT column_name FROM information_schema.columns WHERE table_name = 't' "
                   "ORDER BY ordinal_position"),
              (Rows{{"a"}, {"b"}, {"c"}, {"d"}}));
    ASSERT_EQ(state("DROP TABLE t"), "OK");
    EXPECT_EQ(state("DROP TABLE t"), "42P01");
    EXPECT_EQ(state("DROP TABLE IF EXISTS t"), "OK");
    EXPECT_EQ(rows("SELECT count(*) FROM information_schema.columns"), Rows{{"0"}});
    EXPECT_EQ(state("CREATE TABLE t (z STRING)"), "OK");
}

TEST_F(EmulatorSql, VariantPathsCastsAndDeleteWorkInQueries) {
    ASSERT_EQ(state("CREATE TABLE t (k INT, r VARIANT, ts TIMESTAMP)"), "OK");
    ASSERT_EQ(state("INSERT INTO t VALUES (1, parse_json('{\"level\": 21.75, \"a\": {\"b\": "
                    "\"x\"}}'), '2026-01-01 00:00:01'), (2, NULL, '2026-01-01 00:00:02'), "
                    "(3, parse_json('{\"level\": \"high\"}'), '2026-01-01 00:00:03')"),
              "OK");
    EXPECT_EQ(rows("SELECT k, r:level::double, r:a.b, `r`:`level` FROM t WHERE k = 1"),
              (Rows{{"1", "21.75", "x", "21.75"}}));
    EXPECT_EQ(rows("SELECT r:level FROM t WHERE r IS NOT NULL AND k > 1"), Rows{{"high"}});
    EXPECT_EQ(rows("SELECT k::string FROM t WHERE r:level::double > 21 AND k < 3"), Rows{{"1"}});
    EXPECT_EQ(state("SELECT r:level::interval FROM t"), "0A000");
    EXPECT_EQ(state("DELETE FROM t WHERE ts < '2026-01-01 00:00:02.5' AND k <> 1"), "OK");
    EXPECT_EQ(rows("SELECT k FROM t ORDER BY k"), (Rows{{"1"}, {"3"}}));
    EXPECT_EQ(state("DELETE FROM missing"), "42P01");
    EXPECT_EQ(state("DELETE FROM t"), "OK");
    EXPECT_EQ(rows("SELECT count(*) FROM t"), Rows{{"0"}});
}

// `::double` of a VARIANT string spelling a non-finite double gives that
// double, in any letter case, as the warehouse's cast does; numbers cast as usual.
TEST_F(EmulatorSql, NonFiniteStringsCastToDoubleInQueries) {
    ASSERT_EQ(state("CREATE TABLE r (n INT, v VARIANT)"), "OK");
    ASSERT_EQ(state("INSERT INTO r VALUES (1, parse_json('{\"l\":\"NaN\"}')), "
                    "(2, parse_json('{\"l\":\"-Infinity\"}')), "
                    "(3, parse_json('{\"l\":\" infinity\"}')), "
                    "(4, parse_json('{\"l\":21.75}')), (5, parse_json('{\"l\":\"2.5\"}')), "
                    "(6, parse_json('{\"k\":1}'))"),
              "OK");
    EXPECT_EQ(rows("SELECT v:l::double FROM r ORDER BY n"),
              (Rows{{"NaN"}, {"-Infinity"}, {"Infinity"}, {"21.75"}, {"2.5"}, {"NULL"}}));
}

TEST_F(EmulatorSql, QualifiedNamesReachOnlyTheConnectionsSchema) {
    EXPECT_EQ(state("CREATE TABLE default_schema.t (a INT)"), "OK");
    EXPECT_EQ(state("INSERT INTO `default_schema`.`t` VALUES (1)"), "OK");
    EXPECT_EQ(state("CREATE TABLE other.t (a INT)"), "0A000");
    EXPECT_EQ(rows("SELECT a FROM default_schema.t"), Rows{{"1"}});
}

// A qualifier names a relation in scope before it names a schema: aliases of
// a MERGE, of FROM and of DELETE spelled like the connection's schema stay
// aliases; only `schema.table` in table position reaches the schema.
TEST_F(EmulatorSql, AliasesResolveBeforeSchemasOfTheSameName) {
    for (const std::string schema : {"s", "t", "S", "main", "m"}) {
        SCOPED_TRACE(schema);
        OdbcSession named(wh.connectionString(schema));
        ASSERT_TRUE(named.connected()) << named.connectResult().message;
        const auto rowsOf = [&named](const std::string& sql) {
            const OdbcResult r = named.run(sql);
            EXPECT_TRUE(r.ok()) << sql << "\n" << r.state << " " << r.message;
            return r.rows;
        };
        rowsOf("DROP TABLE IF EXISTS m");
        rowsOf("CREATE TABLE " + schema + ".m (a BIGINT, b STRING)");
        rowsOf("INSERT INTO m VALUES (1, 'x')");
        EXPECT_EQ(rowsOf("MERGE INTO `m` AS t USING (VALUES (1, 'x'), (2, 'y')) AS s(`a`, `b`) "
                         "ON t.`a` <=> s.`a` AND t.`b` <=> s.`b` WHEN NOT MATCHED THEN INSERT "
                         "(`a`, `b`) VALUES (s.`a`, s.`b`)"),
                  (Rows{{"1", "0", "0", "1"}}));
        EXPECT_EQ(rowsOf("SELECT s.a, s.b FROM " + schema + ".m AS s ORDER BY s.a"),
                  (Rows{{"1", "x"}, {"2", "y"}}));
        EXPECT_EQ(rowsOf("SELECT t.b FROM `" + schema + "`.`m` t, m WHERE t.a = 2 AND m.a = 1"),
                  (Rows{{"y"}}));
        EXPECT_EQ(rowsOf("SELECT m.a FROM m WHERE m.a IN (SELECT main.a FROM m main)"),
                  (Rows{{"1"}, {"2"}}));
        EXPECT_EQ(rowsOf("DELETE FROM m WHERE m.a = 1"), (Rows{{"1"}}));
        EXPECT_EQ(rowsOf("SELECT count(*) FROM " + schema + ".m"), (Rows{{"1"}}));
    }
}

// ---- names the warehouse refuses ----------------------------------------------------------

TEST_F(EmulatorSql, RefusedTableNamesFailWith42602NamingTheCharacter) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"a.b", "'.'"},
        {"a b", "' '"},
        {"a/b", "'/'"},
        {std::string("a\x01"
                     "b"),
         "U+0001"},
        {"a\nb", "U+000A"},
        {"a\x7f"
         "b",
         "U+007F"},
    };
    ASSERT_EQ(state("CREATE TABLE ok (v INT)"), "OK");
    for (const auto& [name, shown] : cases) {
        for (const std::string& sql :
             {"CREATE TABLE `" + name + "` (v INT)", "ALTER TABLE `" + name + "` ADD COLUMN w INT",
              "INSERT INTO `" + name + "` (v) VALUES (1)"}) {
            const OdbcResult r = run(sql);
            EXPECT_EQ(r.state, "42602") << sql;
            EXPECT_THAT(r.message, HasSubstr(shown)) << sql;
        }
    }
    EXPECT_EQ(state("CREATE TABLE `" + std::string(256, 'a') + "` (v INT)"), "42602");
    EXPECT_EQ(state("CREATE TABLE `" + std::string(255, 'a') + "` (v INT)"), "OK");
    // The limit counts characters, not bytes.
    std::string wide;
    for (int i = 0; i < 255; ++i)
        wide += "\xC3\xA9";
    EXPECT_EQ(state("CREATE TABLE `" + wide + "` (v INT)"), "OK");
    EXPECT_EQ(state("CREATE TABLE `` (v INT)"), "42602");
}

TEST_F(EmulatorSql, RefusedColumnNamesFailWith42602NamingTheCharacter) {
    ASSERT_EQ(state("CREATE TABLE t (v INT)"), "OK");
    for (const char c : std::string(" ,;{}()=\t\x01\x7f")) {
        const std::string name = std::string("a") + c + "b";
        for (const std::string& sql :
             {"CREATE TABLE u (`" + name + "` INT)", "ALTER TABLE t ADD COLUMN `" + name + "` INT",
              "INSERT INTO t (`" + name + "`) VALUES (1)"}) {
            const OdbcResult r = run(sql);
            EXPECT_EQ(r.state, "42602") << sql;
            char code[8];
            std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned char>(c));
            EXPECT_THAT(r.message, HasSubstr(code)) << sql;
        }
    }
    // Dots, slashes and other punctuation are fine in column names.
    EXPECT_EQ(state("ALTER TABLE t ADD COLUMN `flow.l/s-%` DOUBLE"), "OK");
    EXPECT_EQ(state("INSERT INTO t (`flow.l/s-%`) VALUES (2.5)"), "OK");
}

// ---- MERGE, <=> and to_json ------------------------------------------------------------

const char* const kMergeTable =
    "CREATE TABLE m (id BIGINT, ts TIMESTAMP, v DOUBLE, s STRING, j VARIANT, d DECIMAL(6,2))";
const char* const kMergeSeed =
    "INSERT INTO m VALUES (1, '2026-01-01 00:00:00', 1.5D, 'a', parse_json('{\"k\":[1,2]}'), "
    "1.25), (2, '2026-01-01 00:00:01', CAST('NaN' AS DOUBLE), NULL, NULL, NULL)";
const char* const kMergeOn =
    " AS s(id, ts, v, s, j, d) ON m.id <=> s.id AND m.ts <=> s.ts AND m.v <=> s.v AND "
    "m.s <=> s.s AND to_json(m.j) <=> to_json(s.j) AND m.d <=> s.d "
    "WHEN NOT MATCHED THEN INSERT (id, ts, v, s, j, d) VALUES (s.id, s.ts, s.v, s.s, s.j, s.d)";

struct MergeCase {
    std::string name;
    std::string rows;  // the VALUES list of the source
    std::string inserted;
};

// Each source row is cast to the target's types before it is compared, so a
// row already there in another spelling is found; any one value that differs
// makes a new row. Rows repeated within one source are all inserted, as the
// warehouse does.
TEST_F(EmulatorSql, InsertOnlyMergeWritesOnlyRowsNotAlreadyThere) {
    const std::vector<MergeCase> cases = {
        {"both there",
         "(1, '2026-01-01T00:00:00Z', 1.5D, 'a', parse_json('{\"k\":[1,2]}'), 1.25), "
         "(2, '2026-01-01 00:00:01', CAST('NaN' AS DOUBLE), NULL, NULL, NULL)",
         "0"},
        {"decimal and timestamp spelled otherwise",
         "(1, '2026-01-01 01:00:00+01:00', 1.5D, 'a', parse_json('{\"k\": [1, 2]}'), 1.250)", "0"},
        {"one value differs", "(1, '2026-01-01 00:00:00', 1.5D, 'b', NULL, 1.25)", "1"},
        {"NULL against a value", "(1, '2026-01-01 00:00:00', 1.5D, NULL, NULL, 1.25)", "1"},
        {"variant differs",
         "(1, '2026-01-01 00:00:00', 1.5D, 'a', parse_json('{\"k\":[1,3]}'), 1.25)", "1"},
        {"new rows, one twice",
         "(3, NULL, NULL, NULL, NULL, NULL), (3, NULL, NULL, NULL, NULL, NULL)", "2"},
    };
    for (const MergeCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(state("DROP TABLE IF EXISTS m"), "OK");
        ASSERT_EQ(state(kMergeTable), "OK");
        ASSERT_EQ(state(kMergeSeed), "OK");
        const Rows counts = rows("MERGE INTO m USING (VALUES " + c.rows + ")" + kMergeOn);
        EXPECT_EQ(counts, (Rows{{c.inserted, "0", "0", c.inserted}}));
        EXPECT_EQ(rows("SELECT count(*) FROM m"),
                  Rows{{std::to_string(2 + std::stoi(c.inserted))}});
    }
}

TEST_F(EmulatorSql, MergeInsertsTheNamedColumnsOrEveryColumnByName) {
    ASSERT_EQ(state("CREATE TABLE t (a BIGINT, b STRING, c DOUBLE)"), "OK");
    ASSERT_EQ(state("INSERT INTO t VALUES (1, 'x', 0.5D)"), "OK");
    EXPECT_EQ(rows("MERGE INTO t AS target USING (VALUES (1, 'x'), (2, 'y')) s(a, b) "
                   "ON target.a <=> s.a WHEN NOT MATCHED BY TARGET THEN INSERT *"),
              (Rows{{"1", "0", "0", "1"}}));
    EXPECT_EQ(rows("MERGE INTO `t` USING (VALUES (3, 'z')) AS s(p, q) ON t.a = s.p "
                   "WHEN NOT MATCHED THEN INSERT (`b`, a) VALUES (s.q, p);"),
              (Rows{{"1", "0", "0", "1"}}));
    EXPECT_EQ(rows("SELECT a, b, c FROM t ORDER BY a"),
              (Rows{{"1", "x", "0.5"}, {"2", "y", "NULL"}, {"3", "z", "NULL"}}));
}

struct MergeErrorCase {
    std::string sql;
    std::string state;
};

TEST_F(EmulatorSql, RefusedMergesWriteNothing) {
    ASSERT_EQ(state("CREATE TABLE t (a BIGINT NOT NULL, b STRING)"), "OK");
    const std::string using_ = "MERGE INTO t USING (VALUES (1, 'x')) AS s(a, b) ON ";
    const std::string insert = " WHEN NOT MATCHED THEN INSERT (a, b) VALUES (s.a, s.b)";
    const std::vector<MergeErrorCase> cases = {
        {"MERGE INTO nope USING (VALUES (1)) AS s(a) ON nope.a <=> s.a WHEN NOT MATCHED THEN "
         "INSERT *",
         "42P01"},
        {using_ + "t.zz <=> s.a" + insert, "42703"},
        {using_ + "t.a <=> s.a WHEN NOT MATCHED THEN INSERT (a, zz) VALUES (s.a, s.b)", "42703"},
        {using_ + "t.a <=> s.a WHEN NOT MATCHED THEN INSERT (a, b) VALUES (s.a, s.zz)", "42703"},
        {using_ + "t.a <=> s.a WHEN NOT MATCHED THEN INSERT (b) VALUES (s.b)", "23502"},
        {using_ + "t.a <=> s.a WHEN MATCHED THEN DELETE", "0A000"},
        {using_ + "t.a <=> s.a" + insert + " WHEN NOT MATCHED BY SOURCE THEN DELETE", "0A000"},
        {"MERGE INTO t USING (VALUES ('one', 'x')) AS s(a, b) ON t.a <=> s.a" + insert, "22018"},
        {"MERGE INTO t USING (VALUES (1, 'x'), ('2', 'y')) AS s(a, b) ON t.a <=> s.a" + insert,
         "42000"},
        {"MERGE INTO t USING (VALUES (1, 'x'), (2)) AS s(a, b) ON t.a <=> s.a" + insert, "21S01"},
        {"MERGE INTO t USING t AS s ON t.a <=> s.a" + insert, "0A000"},
        {using_ + "t.a <=> s.a" + insert + "; SELECT 1", "42601"},
        {using_ + insert, "42601"},
    };
    for (const MergeErrorCase& c : cases)
        EXPECT_EQ(state(c.sql), c.state) << c.sql;
    EXPECT_EQ(rows("SELECT count(*) FROM t"), Rows{{"0"}});
}

const char* const kExceptTable = "CREATE TABLE e (id BIGINT, ts TIMESTAMP, v DOUBLE, s STRING)";
const char* const kExceptSeed =
    "INSERT INTO e VALUES (1, '2026-01-01 00:00:00', 1.5D, 'a'), (1, '2026-01-01 00:00:00', "
    "1.5D, 'a'), (2, '2026-01-01 00:00:01', CAST('NaN' AS DOUBLE), NULL)";
const std::string kExceptHead = "INSERT INTO e SELECT * FROM (VALUES ";
const std::string kExceptTail = ") AS s EXCEPT ALL SELECT * FROM e AS t";

// INSERT ... EXCEPT ALL writes each source row less the copies the table
// holds already (within its WHERE), values compared as stored.
TEST_F(EmulatorSql, InsertExceptAllWritesOnlyTheCopiesNotAlreadyThere) {
    const std::vector<MergeCase> cases = {
        {"both copies there",
         "(1, TIMESTAMP '2026-01-01 00:00:00', 1.5D, 'a'), "
         "(1, TIMESTAMP '2026-01-01 01:00:00+01:00', 1.5D, 'a')" +
             kExceptTail,
         "0"},
        {"a third copy",
         "(1, '2026-01-01 00:00:00', 1.5D, 'a'), (1, '2026-01-01 00:00:00', 1.5D, "
         "'a'), (1, '2026-01-01 00:00:00', 1.5D, 'a')" +
             kExceptTail,
         "1"},
        {"NaN and NULL match",
         "(2, '2026-01-01 00:00:01', CAST('NaN' AS DOUBLE), NULL)" + kExceptTail, "0"},
        {"one value differs",
         "(2, '2026-01-01 00:00:01', CAST('NaN' AS DOUBLE), 'b')" + kExceptTail, "1"},
        {"outside the WHERE",
         "(1, '2026-01-01 00:00:00', 1.5D, 'a')" + kExceptTail +
             " WHERE t.ts BETWEEN TIMESTAMP '2026-01-01 00:00:01' AND "
             "TIMESTAMP '2026-01-01 00:00:02'",
         "1"},
        {"within the WHERE",
         "(2, '2026-01-01 00:00:01', CAST('NaN' AS DOUBLE), NULL)" + kExceptTail +
             " WHERE (t.ts BETWEEN TIMESTAMP '2026-01-01 "
             "00:00:01' AND TIMESTAMP '2026-01-01 00:00:02' OR t.ts IS NULL)",
         "0"},
    };
    for (const MergeCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(state("DROP TABLE IF EXISTS e"), "OK");
        ASSERT_EQ(state(kExceptTable), "OK");
        ASSERT_EQ(state(kExceptSeed), "OK");
        EXPECT_EQ(rows(kExceptHead + c.rows), (Rows{{c.inserted, c.inserted}}));
        EXPECT_EQ(rows("SELECT count(*) FROM e"),
                  Rows{{std::to_string(3 + std::stoi(c.inserted))}});
    }
    // Refusals write nothing: a VARIANT cannot be compared, a row must have
    // a value per column, and only the table written can be read.
    ASSERT_EQ(state("CREATE TABLE w (id BIGINT, j VARIANT)"), "OK");
    const std::vector<MergeErrorCase> refused = {
        {"INSERT INTO w SELECT * FROM (VALUES (1, NULL)) AS s EXCEPT ALL SELECT * FROM w", "42K09"},
        {kExceptHead + "(1, '2026-01-01 00:00:00', 1.5D)" + kExceptTail, "42826"},
        {kExceptHead + "(1, NULL, NULL, NULL)) AS s EXCEPT ALL SELECT * FROM w", "0A000"},
        {kExceptHead + "(1, NULL, NULL, NULL)) AS s EXCEPT SELECT * FROM e", "0A000"},
        {"INSERT INTO e SELECT id FROM e", "0A000"},
    };
    for (const MergeErrorCase& c : refused)
        EXPECT_EQ(state(c.sql), c.state) << c.sql;
    EXPECT_EQ(rows("SELECT (SELECT count(*) FROM e), (SELECT count(*) FROM w)"),
              (Rows{{"3", "0"}}));
}

TEST_F(EmulatorSql, NullSafeEqualityAndToJsonWorkInQueries) {
    EXPECT_EQ(rows("SELECT 1 <=> 1, NULL <=> NULL, 1 <=> NULL, 'a'<=>'b'"),
              (Rows{{"1", "1", "0", "0"}}));
    ASSERT_EQ(state("CREATE TABLE t (j VARIANT)"), "OK");
    ASSERT_EQ(state("INSERT INTO t VALUES (parse_json('{ \"a\" : [1, 2.5] }')), (NULL)"), "OK");
    EXPECT_EQ(rows("SELECT to_json(j) FROM t ORDER BY 1"), (Rows{{"NULL"}, {"{\"a\":[1,2.5]}"}}));
}

// ---- information_schema -------------------------------------------------------------------

TEST_F(EmulatorSql, InformationSchemaReportsWarehouseTypesInColumnOrder) {
    ASSERT_EQ(
        state("CREATE TABLE `Pump` (a BIGINT NOT NULL, b INT, c SMALLINT, d TINYINT, e DOUBLE, "
              "f FLOAT, g BOOLEAN, h DATE, i DECIMAL(10,2), j TIMESTAMP, k STRING, l "
              "VARCHAR(256), m VARIANT, `MixedCase` LONG)"),
        "OK");
    const std::string query =
        "SELECT column_name,data_type FROM information_schema.columns WHERE table_schema = "
        "'default_schema' AND table_name = 'pump' ORDER BY ordinal_position";
    EXPECT_EQ(rows(query), (Rows{{"a", "LONG"},
                                 {"b", "INT"},
                                 {"c", "SHORT"},
                                 {"d", "BYTE"},
                                 {"e", "DOUBLE"},
                                 {"f", "FLOAT"},
                                 {"g", "BOOLEAN"},
                                 {"h", "DATE"},
                                 {"i", "DECIMAL"},
                                 {"j", "TIMESTAMP"},
                                 {"k", "STRING"},
                                 {"l", "STRING"},
                                 {"m", "VARIANT"},
                                 {"MixedCase", "LONG"}}));
    EXPECT_EQ(
        rows("SELECT full_data_type, ordinal_position, is_nullable FROM information_schema.columns "
             "WHERE table_name = 'pump' AND column_name IN ('a', 'i', 'l') ORDER BY "
             "ordinal_position"),
        (Rows{
            {"bigint", "0", "NO"}, {"decimal(10,2)", "8", "YES"}, {"varchar(256)", "11", "YES"}}));
    // Names are stored in lower case, so the upper-case text matches nothing.
    EXPECT_TRUE(rows("SELECT column_name FROM information_schema.columns WHERE table_name = 'Pump'")
                    .empty());
    EXPECT_TRUE(
        rows("SELECT column_name FROM information_schema.columns WHERE table_schema = 'other'")
            .empty());
    EXPECT_TRUE(
        rows("SELECT column_name FROM information_schema.columns WHERE table_name = 'valve'")
            .empty());
    EXPECT_EQ(rows("SELECT table_name, table_schema FROM information_schema.tables"),
              (Rows{{"pump", "default_schema"}}));
}

TEST_F(EmulatorSql, InformationSchemaFollowsUnityCatalog) {
    ASSERT_EQ(state("CREATE TABLE `Pump` (`Code` VARCHAR(256), n BIGINT)"), "OK");
    // The length lives only in full_data_type.
    EXPECT_EQ(rows("SELECT table_catalog, table_schema, table_name, full_data_type, "
                   "character_maximum_length FROM information_schema.columns ORDER BY "
                   "ordinal_position"),
              (Rows{{"main", "default_schema", "pump", "varchar(256)", "NULL"},
                    {"main", "default_schema", "pump", "bigint", "NULL"}}));
    EXPECT_EQ(rows("SELECT table_catalog FROM information_schema.tables"), Rows{{"main"}});
    // The connection string names the catalog; it reads back in lower case.
    OdbcSession other(wh.connectionString("Default_Schema") + "Catalog=Plant_1;");
    ASSERT_TRUE(other.connected()) << other.connectResult().message;
    EXPECT_EQ(other
                  .run("SELECT DISTINCT table_catalog, table_schema FROM "
                       "information_schema.columns")
                  .rows,
              (Rows{{"plant_1", "default_schema"}}));
}

TEST_F(EmulatorSql, InformationSchemaSeesOtherConnectionsAndSparkLiterals) {
    OdbcSession other(wh.connectionString());
    ASSERT_TRUE(other.connected());
    const std::string query =
        "SELECT column_name,data_type FROM information_schema.columns WHERE table_schema = "
        "'default_schema' AND table_name = 'it\\'s' ORDER BY ordinal_position";
    EXPECT_TRUE(rows(query).empty());
    ASSERT_TRUE(other.run("CREATE TABLE `it's` (`v` DOUBLE)").ok());
    EXPECT_EQ(rows(query), (Rows{{"v", "DOUBLE"}}));
    ASSERT_TRUE(other.run("ALTER TABLE `it's` ADD COLUMN `w` STRING").ok());
    EXPECT_EQ(rows(query), (Rows{{"v", "DOUBLE"}, {"w", "STRING"}}));
}

TEST_F(EmulatorSql, SchemasAreSeparateFiles) {
    OdbcSession other(wh.connectionString("second"));
    ASSERT_TRUE(other.connected());
    ASSERT_TRUE(other.run("CREATE TABLE t (a INT)").ok());
    EXPECT_EQ(state("SELECT * FROM t"), "42P01");
    EXPECT_EQ(state("CREATE TABLE t (a INT)"), "OK");
    EXPECT_EQ(other.run("SELECT table_schema FROM information_schema.tables").rows,
              Rows{{"second"}});
}

TEST_F(EmulatorSql, DeepNestingDoesNotExhaustTheStack) {
    ASSERT_EQ(state("CREATE TABLE t (v VARIANT)"), "OK");
    const int depth = 200000;
    const std::string json = std::string(depth, '[') + std::string(depth, ']');
    EXPECT_EQ(state("INSERT INTO t VALUES (parse_json('" + json + "'))"), "OK");
    EXPECT_EQ(state("INSERT INTO t VALUES (parse_json('" + std::string(depth, '[') + "'))"),
              "22023");
    std::string calls;
    for (int i = 0; i < depth; ++i)
        calls += "parse_json(";
    calls += "'1'" + std::string(depth, ')');
    EXPECT_EQ(state("INSERT INTO t VALUES (" + calls + ")"), "0A000");
    EXPECT_EQ(state("INSERT INTO t VALUES (" + std::string(depth, '(') + "1" +
                    std::string(depth, ')') + ")"),
              "42601");
    EXPECT_EQ(state("SELECT " + std::string(depth, '(') + "1" + std::string(depth, ')')), "54001");
    EXPECT_EQ(rows("SELECT count(*) FROM t"), Rows{{"1"}});
}

// ---- malformed input -------------------------------------------------------------------

TEST_F(EmulatorSql, MangledStatementsFailCleanly) {
    ASSERT_EQ(state("CREATE TABLE `pump` (`asset_code` VARCHAR(256) NOT NULL, `ts` TIMESTAMP, "
                    "`temperature` DOUBLE, `meta` VARIANT, `n` DECIMAL(5,2))"),
              "OK");
    const std::vector<std::string> seeds = {
        "INSERT INTO `pump` (`asset_code`, `ts`, `temperature`, `meta`, `n`) VALUES ('p\\'q', "
        "'2026-01-01 00:00:00.000001+00:00', 21.5e0, parse_json('{\"a\":[1,2]}'), -1.25BD), "
        "(r'x\\u0031', '2026-01-01' ' 00:00:00', 1L, NULL, 1.5BD)",
        "CREATE TABLE IF NOT EXISTS `a``b` (`c` VARCHAR(10) NOT NULL COMMENT 'x', d DECIMAL(3,1))",
        "ALTER TABLE `pump` ADD COLUMNS (`x` STRING, `y` TIMESTAMP)",
        "SELECT column_name,data_type FROM information_schema.columns WHERE table_schema = "
        "'default_schema' AND table_name = 'pump' ORDER BY ordinal_position /* c */ -- d",
    };
    const std::string alphabet = "'\"`\\;(),.-+/*0123456789eEuUrR {}\n\t\x01\xc3\xa9";
    for (const std::string& seed : seeds)
        ASSERT_EQ(state(seed), "OK") << seed;
    std::mt19937 random(20260101);
    for (int i = 0; i < 1500; ++i) {
        std::string sql = seeds[static_cast<size_t>(i) % seeds.size()];
        const int edits = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < edits && !sql.empty(); ++e) {
            const size_t at = random() % sql.size();
            const char c = alphabet[random() % alphabet.size()];
            switch (random() % 3) {
                case 0:
                    sql[at] = c;
                    break;
                case 1:
                    sql.insert(at, 1, c);
                    break;
                default:
                    sql.erase(at, 1 + random() % 8);
                    break;
            }
        }
        const OdbcResult r = run(sql);
        if (!r.ok()) {
            EXPECT_EQ(r.state.size(), 5u) << sql;
            EXPECT_EQ(r.message.rfind("[lakesink][Warehouse] [", 0), 0u) << sql;
            EXPECT_THAT(r.message, ::testing::EndsWith(" SQLSTATE: " + r.state)) << sql;
            EXPECT_TRUE(r.native == 80 || r.native == 35) << sql;
        }
    }
    // The warehouse still answers afterwards.
    EXPECT_EQ(state("SELECT count(*) FROM pump"), "OK");
}

}  // namespace
