// Doubles written as text and as warehouse literals: exact texts for chosen
// values, and for random bit patterns a text that reads back bit-identical,
// has no more digits than needed, and is a valid DOUBLE literal once suffixed.

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <regex>
#include <string>

#include "number_text.h"

namespace {

double fromBits(uint64_t bits) {
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

uint64_t bitsOf(double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

std::string literalOf(double v) {
    std::string out = "prefix ";
    appendSparkDouble(out, v);
    EXPECT_EQ(out.compare(0, 7, "prefix "), 0) << "appending must keep what was there";
    return out.substr(7);
}

// Spark's DOUBLE literal: DIGIT+ EXPONENT? D | DECIMAL_DIGITS EXPONENT? D,
// after an optional minus.
const std::regex& sparkDoubleLiteral() {
    static const std::regex re(R"(-?([0-9]+|[0-9]+\.[0-9]*|\.[0-9]+)(E[+-]?[0-9]+)?D)");
    return re;
}

// The narrower form this code writes: no plus, no leading exponent zeros, a
// digit on both sides of the point.
const std::regex& writtenForm() {
    static const std::regex re(R"(-?[0-9]+\.[0-9]+(E-?[1-9][0-9]*)?)");
    return re;
}

size_t significantDigits(const std::string& text) {
    const std::string mantissa = text.substr(0, text.find('E'));
    std::string digits;
    for (char c : mantissa) {
        if (c >= '0' && c <= '9')
            digits.push_back(c);
    }
    const size_t first = digits.find_first_not_of('0');
    if (first == std::string::npos)
        return 1;
    digits.erase(0, first);
    const size_t last = digits.find_last_not_of('0');
    return last + 1;
}

// The fewest significant digits that read back as `v`, found by trying them all.
size_t fewestDigitsFor(double v) {
    for (int precision = 1; precision <= 17; ++precision) {
        char text[64];
        std::snprintf(text, sizeof text, "%.*e", precision - 1, v);
        if (bitsOf(std::strtod(text, nullptr)) == bitsOf(v))
            return static_cast<size_t>(precision);
    }
    return 17;
}

void checkFinite(double v) {
    const std::string text = shortestDoubleText(v);
    SCOPED_TRACE(text);
    ASSERT_TRUE(std::regex_match(text, writtenForm()));
    EXPECT_EQ(bitsOf(std::strtod(text.c_str(), nullptr)), bitsOf(v));
    const double magnitude = std::fabs(v);
    const bool plain = magnitude == 0 || (magnitude >= 1e-3 && magnitude < 1e7);
    EXPECT_EQ(text.find('E') == std::string::npos, plain);
    if (v != 0) {
        EXPECT_EQ(significantDigits(text), fewestDigitsFor(v));
    }

    const std::string literal = literalOf(v);
    EXPECT_EQ(literal, text + "D");
    EXPECT_TRUE(std::regex_match(literal, sparkDoubleLiteral()));

    double back = 12345;
    ASSERT_TRUE(parseDoubleText(text, &back));
    EXPECT_EQ(bitsOf(back), bitsOf(v));
}

struct TextCase {
    double value;
    const char* text;
};

TEST(NumberText, WritesExactTexts) {
    const double minSubnormal = std::numeric_limits<double>::denorm_min();
    const double maxSubnormal = std::nextafter(DBL_MIN, 0.0);
    const TextCase cases[] = {
        {21.5, "21.5"},
        {-21.5, "-21.5"},
        {22.0, "22.0"},
        {21.75, "21.75"},
        {0.1, "0.1"},
        {1.2e-7, "1.2E-7"},
        {1e300, "1.0E300"},
        {-1e300, "-1.0E300"},
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {1.0, "1.0"},
        {0.001, "0.001"},
        {0.000999, "9.99E-4"},
        {1e7, "1.0E7"},
        {9999999.0, "9999999.0"},
        {123456.789, "123456.789"},
        {1e22, "1.0E22"},
        {9007199254740992.0, "9.007199254740992E15"},
        {DBL_MAX, "1.7976931348623157E308"},
        {DBL_MIN, "2.2250738585072014E-308"},
        {minSubnormal, "5.0E-324"},
        {maxSubnormal, "2.225073858507201E-308"},
        {1.0 / 3, "0.3333333333333333"},
    };
    for (const TextCase& c : cases) {
        EXPECT_EQ(shortestDoubleText(c.value), c.text);
        EXPECT_EQ(literalOf(c.value), std::string(c.text) + "D");
        checkFinite(c.value);
    }
}

TEST(NumberText, WritesNaNAndInfinitiesAsCasts) {
    EXPECT_EQ(literalOf(std::nan("")), "CAST('NaN' AS DOUBLE)");
    EXPECT_EQ(literalOf(-std::nan("")), "CAST('NaN' AS DOUBLE)");
    EXPECT_EQ(literalOf(HUGE_VAL), "CAST('Infinity' AS DOUBLE)");
    EXPECT_EQ(literalOf(-HUGE_VAL), "CAST('-Infinity' AS DOUBLE)");
    EXPECT_EQ(shortestDoubleText(std::nan("")), "NaN");
    EXPECT_EQ(shortestDoubleText(HUGE_VAL), "Infinity");
    EXPECT_EQ(shortestDoubleText(-HUGE_VAL), "-Infinity");
}

TEST(NumberText, RandomBitPatternsReadBackIdentical) {
    std::mt19937_64 random(20240516);
    int finite = 0;
    for (int i = 0; i < 100000; ++i) {
        const double v = fromBits(random());
        if (!std::isfinite(v))
            continue;
        ++finite;
        checkFinite(v);
        if (HasFailure())
            return;
    }
    EXPECT_GT(finite, 99000);
}

TEST(NumberText, RandomSubnormalsAndIntegersReadBackIdentical) {
    std::mt19937_64 random(7);
    for (int i = 0; i < 20000; ++i) {
        // Below 2^52 the exponent bits are zero: subnormals of both signs.
        const uint64_t subnormal = (random() & ((uint64_t{1} << 52) - 1)) | (random() & 1) << 63;
        checkFinite(fromBits(subnormal));
        // Integers near 2^53, where doubles stop holding every integer.
        const double integral = static_cast<double>((int64_t{1} << 53) - 10000 + (i % 20000));
        checkFinite(integral);
        if (HasFailure())
            return;
    }
}

struct ParseCase {
    const char* text;
    bool accepted;
    double value;
};

TEST(NumberText, ParsesNumbersAndWords) {
    const ParseCase cases[] = {
        {"21.5", true, 21.5},
        {"-21.5", true, -21.5},
        {"21", true, 21},
        {"21.500000", true, 21.5},
        {"1.2E-7", true, 1.2e-7},
        {"1.2e-7", true, 1.2e-7},
        {"1.0E300", true, 1e300},
        {"1E+300", true, 1e300},
        {".5", true, 0.5},
        {"5.", true, 5},
        {"4.9E-324", true, std::numeric_limits<double>::denorm_min()},
        {"1.7976931348623157E308", true, DBL_MAX},
        {"1e-400", true, 0.0},
        {"0.00000000000000000000000000000000000000000000000000000000000000000000000000000000"
         "0000000000000000000000000000000000000000000000000000000000000000000000000000000000"
         "0000000000000000000000000000000000000000000000000000000000000000000000000000000000"
         "0000000000000000000000000000000000000000000000000000000000000000000000000000000000"
         "00001",
         true, 0.0},
        {"Infinity", true, HUGE_VAL},
        {"inf", true, HUGE_VAL},
        {"-Infinity", true, -HUGE_VAL},
        {"-inf", true, -HUGE_VAL},
        {"", false, 0},
        {"-", false, 0},
        {".", false, 0},
        {"1e", false, 0},
        {"1e+", false, 0},
        {"+1", false, 0},
        {" 1", false, 0},
        {"1 ", false, 0},
        {"21.5D", false, 0},
        {"0x1p3", false, 0},
        {"1,5", false, 0},
        {"1e400", false, 0},
        {"-1e99999999999999999999", false, 0},
        {"1000000000000000000000000000000000000000000000000000000000000000000000000000000000"
         "0000000000000000000000000000000000000000000000000000000000000000000000000000000000"
         "0000000000000000000000000000000000000000000000000000000000000000000000000000000000"
         "000000000000000000000000000000000000000000000000000000000000000000000000000000000",
         false, 0},
        {"Inf", false, 0},
        {"NAN", false, 0},
        {"infinity", false, 0},
        {"+Infinity", false, 0},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.text);
        double value = 777;
        EXPECT_EQ(parseDoubleText(c.text, &value), c.accepted);
        if (c.accepted) {
            EXPECT_EQ(bitsOf(value), bitsOf(c.value));
        } else {
            EXPECT_EQ(value, 777) << "a refused text leaves the output alone";
        }
    }
}

TEST(NumberText, ParsesSignedZeroesAndNaN) {
    double value = 1;
    ASSERT_TRUE(parseDoubleText("-0.0", &value));
    EXPECT_TRUE(value == 0 && std::signbit(value));
    ASSERT_TRUE(parseDoubleText("-1e-400", &value));
    EXPECT_TRUE(value == 0 && std::signbit(value));
    ASSERT_TRUE(parseDoubleText("0.0", &value));
    EXPECT_TRUE(value == 0 && !std::signbit(value));
    ASSERT_TRUE(parseDoubleText("NaN", &value));
    EXPECT_TRUE(std::isnan(value));
    value = 1;
    ASSERT_TRUE(parseDoubleText("nan", &value));
    EXPECT_TRUE(std::isnan(value));
}

}  // namespace

TEST(NumberText, IntegersAndPlainNumbers) {
    int64_t value = 7;
    EXPECT_TRUE(parseIntegerText("-9223372036854775808", &value));
    EXPECT_EQ(value, INT64_MIN);
    EXPECT_EQ(integerText(value), "-9223372036854775808");
    EXPECT_EQ(integerText(9007199254740993), "9007199254740993");
    for (const char* refused : {"", "1.0", "+1", "9223372036854775808", "1e3", " 1"}) {
        value = 7;
        EXPECT_FALSE(parseIntegerText(refused, &value)) << refused;
        EXPECT_EQ(value, 7) << refused;
    }
    for (const char* plain : {"0", "-3", "+3", "21.5", "1.2E-7", "1e+300"})
        EXPECT_TRUE(isPlainNumber(plain)) << plain;
    for (const char* other : {"", "-", ".5", "5.", "1e", "NaN", "1 ", "0x10", "1;DROP"})
        EXPECT_FALSE(isPlainNumber(other)) << other;
    EXPECT_TRUE(isNonFiniteText("-Infinity"));
    EXPECT_FALSE(isNonFiniteText("1e400"));
}

TEST(NumberText, DecimalDigitsFitPrecisionAndScale) {
    EXPECT_TRUE(fitsDecimalDigits("12345678.12", 10, 2));
    EXPECT_TRUE(fitsDecimalDigits("-0.50000", 3, 2));  // trailing zeros do not count
    EXPECT_TRUE(fitsDecimalDigits("0.99", 2, 2));      // a lone zero before the point
    EXPECT_FALSE(fitsDecimalDigits("123456789.1", 10, 2));
    EXPECT_FALSE(fitsDecimalDigits("1.125", 10, 2));
    EXPECT_FALSE(fitsDecimalDigits("1E2", 10, 2));
}
