// Texts written on every row, against simple reference forms: doubles as the
// shortest text that reads back (signs, tiny and large magnitudes, checked
// with strtod and printf's precisions), literals of the
// Databricks dialect (escapes at every position of a word), timestamps around
// day, month, year and leap boundaries, and INSERT rows added one by one
// against rows set at once.

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "databricks_sql_builder.h"
#include "datapoint.h"
#include "reading.h"
#include "reading_mapper.h"

namespace {

// The fewest significant digits with which printf writes a text that strtod
// reads back as `number`.
int fewestDigits(double number) {
    for (int digits = 1; digits <= 17; ++digits) {
        char text[64];
        std::snprintf(text, sizeof text, "%.*e", digits - 1, number);
        if (std::strtod(text, nullptr) == number)
            return digits;
    }
    return 17;
}

// The significant digits of a text such as -0.00125, 21.5, 22.0 or 1.2E-7.
int significantDigits(const std::string& text) {
    std::string digits;
    for (char c : text) {
        if (c == 'E')
            break;
        if (c >= '0' && c <= '9' && !(digits.empty() && c == '0'))
            digits += c;
    }
    while (digits.size() > 1 && digits.back() == '0')
        digits.pop_back();
    return digits.empty() ? 1 : static_cast<int>(digits.size());
}

// The dialect's literal rules written the plain way.
std::string referenceLiteral(const std::string& value) {
    std::string out = "'";
    for (char c : value) {
        if (c == '\\' || c == '\'') {
            out += '\\';
            out += c;
        } else if (c == '\0') {
            out += "\\u0000";
        } else {
            out += c;
        }
    }
    return out + "'";
}

std::string referenceTime(uint64_t micros, Reading::readingsDateTimeFormat format, bool addMS) {
    time_t t = static_cast<time_t>(micros / 1000000);
    struct tm tm {};
    gmtime_r(&t, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d%c%02d:%02d:%02d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, format == Reading::FMT_ISO8601 ? 'T' : ' ', tm.tm_hour,
                  tm.tm_min, tm.tm_sec);
    std::string out = text;
    if (addMS) {
        std::snprintf(text, sizeof text, ".%06u", static_cast<unsigned>(micros % 1000000));
        out += text;
    }
    if (format == Reading::FMT_ISO8601)
        out += 'Z';
    return out;
}

}  // namespace

TEST(ValueTexts, DoublesAreWrittenAsTheShortestTextThatReadsBack) {
    ReadingMapper mapper;
    std::vector<double> numbers = {0.0,
                                   -0.0,
                                   0.0078125,  // exactly half a millionth above 0.007812
                                   0.0234375,
                                   -0.0078125,
                                   1.0 / 1024,
                                   2.5e-7,
                                   -2.5e-7,
                                   5e-7,
                                   1.5e-6,
                                   4.9e-324,
                                   -4.9e-324,
                                   0.1,
                                   21.5,
                                   -42.125,
                                   999999.9999995,
                                   1099511627775.9999,
                                   1099511627776.0,
                                   1e15 + 0.5,
                                   -1e300,
                                   std::numeric_limits<double>::max(),
                                   std::numeric_limits<double>::infinity(),
                                   -std::numeric_limits<double>::infinity()};
    std::mt19937_64 random(3);
    for (int i = 0; i < 20000; ++i) {
        uint64_t bits = random();
        double number;
        std::memcpy(&number, &bits, sizeof number);
        if (!std::isnan(number))
            numbers.push_back(number);
        numbers.push_back(static_cast<double>(static_cast<int64_t>(random() % 2000000) - 1000000) /
                          static_cast<double>(1u << (random() % 24)));
    }
    for (double number : numbers) {
        const std::string text = mapper.datapointValueToString(DatapointValue(number));
        const double back = std::strtod(text.c_str(), nullptr);
        ASSERT_EQ(std::memcmp(&back, &number, sizeof back), 0) << text;
        if (std::isfinite(number)) {
            ASSERT_EQ(significantDigits(text), fewestDigits(number))
                << text << " " << std::hexfloat << number;
        }
    }
}

TEST(ValueTexts, LiteralsEscapeAtEveryPositionOfAWord) {
    DatabricksSQLBuilder builder;
    for (size_t length = 0; length < 20; ++length) {
        for (size_t position = 0; position < length; ++position) {
            for (char special : {'\'', '\\', '\0', '"', '\n'}) {
                std::string value(length, 'x');
                value[position] = special;
                EXPECT_EQ(builder.escapeString(value), referenceLiteral(value))
                    << length << " " << position << " " << static_cast<int>(special);
                value[length - 1 - position] = special;
                EXPECT_EQ(builder.escapeString(value), referenceLiteral(value));
            }
        }
    }
    std::mt19937 random(9);
    const char alphabet[] = {'a', '\'', '\\', '\0', 'z', ' ', '\x80', '\xff'};
    for (int i = 0; i < 2000; ++i) {
        std::string value(random() % 40, ' ');
        for (char& c : value)
            c = alphabet[random() % sizeof alphabet];
        EXPECT_EQ(builder.escapeString(value), referenceLiteral(value));
    }
}

TEST(ValueTexts, TimestampsAcrossDaysMonthsYearsAndLeapDays) {
    std::vector<uint64_t> seconds = {0,          59,          60,          86399,       86400,
                                     951782399,  951782400,   951868800,   4107542399,  4107542400,
                                     4102444800, 32503680000, 32503679999, 253402300799};
    std::mt19937_64 random(4);
    for (int i = 0; i < 20000; ++i)
        seconds.push_back(random() % 253402300800ULL);
    for (uint64_t second : seconds) {
        for (uint64_t micros : {second * 1000000, second * 1000000 + 999999}) {
            for (auto format :
                 {Reading::FMT_DEFAULT, Reading::FMT_STANDARD, Reading::FMT_ISO8601}) {
                EXPECT_EQ(Reading::formatTime(micros, format, true),
                          referenceTime(micros, format, true));
                EXPECT_EQ(Reading::formatTime(micros, format, false),
                          referenceTime(micros, format, false));
            }
        }
    }
}

TEST(ValueTexts, RowsAddedOneByOneGiveTheSameStatements) {
    DatabricksSQLBuilder byRow;
    DatabricksSQLBuilder atOnce;
    for (DatabricksSQLBuilder* builder : {&byRow, &atOnce}) {
        builder->setTableName("t");
        builder->setColumns({"a", "b"});
    }
    std::mt19937 random(8);
    SQLBuilder::Rows rows;
    byRow.clearValues();
    for (int i = 0; i < 5000; ++i) {
        std::vector<std::string> row;
        const size_t width = random() % 4;  // rows of any length, empty ones too
        for (size_t k = 0; k < width; ++k) {
            // Now and then a value larger than a piece of row text.
            const size_t length = i % 997 == 0 ? 70000 + random() % 1000 : random() % 30;
            row.push_back(std::string(length, static_cast<char>('a' + k)));
        }
        byRow.appendRow(row);
        rows.push_back(row);
    }
    atOnce.setValues(rows);
    EXPECT_EQ(byRow.rowCount(), rows.size());
    const std::string bulk = atOnce.buildBulkInsert();
    EXPECT_EQ(byRow.buildBulkInsert(), bulk);
    EXPECT_EQ(byRow.buildInsert(), atOnce.buildInsert());

    // The plain way of writing the same statement.
    std::string expected = "INSERT INTO `t` (`a`, `b`) VALUES ";
    for (size_t r = 0; r < rows.size(); ++r) {
        expected += r ? ", (" : "(";
        for (size_t v = 0; v < rows[r].size(); ++v)
            expected += (v ? ", " : "") + rows[r][v];
        expected += ")";
    }
    EXPECT_EQ(bulk, expected);

    byRow.clearValues();
    EXPECT_EQ(byRow.rowCount(), 0u);
    EXPECT_EQ(byRow.buildBulkInsert(), "");
    byRow.appendRow({"1", "2"});
    EXPECT_EQ(byRow.buildBulkInsert(), "INSERT INTO `t` (`a`, `b`) VALUES (1, 2)");
}

namespace {
// A dialect that changes only formatValue: the pipeline's appending form
// must still give its texts.
class UpperCaseBuilder : public SQLBuilder {
  public:
    SQLBuilder* createSQLBuilder() const override { return new UpperCaseBuilder(); }
    std::string getHintName() const override { return "hint"; }
    std::string formatValue(const std::string& value, const std::string&) const override {
        std::string text = value;
        for (char& c : text)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return text;
    }
};
}  // namespace

TEST(ValueTexts, AppendedValuesAreTheFormattedValues) {
    DatabricksSQLBuilder databricks;
    UpperCaseBuilder upper;
    const std::vector<std::string> types = {"DOUBLE",  "BIGINT",        "STRING",
                                            "VARIANT", "VARCHAR(256)",  "VARCHAR(256) NOT NULL",
                                            "",        "decimal(10,2)", "array<string>"};
    const std::vector<std::string> values = {"1",         "-2.5e3", "abc",  "it's",
                                             "a\\b",      "null",   "TRUE", "",
                                             "{\"a\":1}", "[1, 2",  "nan",  std::string("x\0y", 3),
                                             "\xff\xfe"};
    for (const std::string& type : types) {
        for (const std::string& value : values) {
            std::string out = "prefix";
            databricks.appendFormattedValue(out, value, type);
            EXPECT_EQ(out, "prefix" + databricks.formatValue(value, type)) << type << " " << value;
            std::string plain = "p";
            upper.appendFormattedValue(plain, value, type);
            EXPECT_EQ(plain, "p" + upper.formatValue(value, type));
        }
    }
}
