#pragma once
// Numbers as text, read and written without loss: the one place that knows
// the plugin's number texts.
//
// Doubles are written with the fewest significant digits that read back as
// exactly the same double, laid out as the warehouse prints doubles (Java's
// Double.toString): plain decimal with at least one digit after the point for
// magnitudes from 1E-3 up to below 1E7 (21.5, 22.0, 0.001), otherwise one
// digit, a point, the remaining digits (at least one) and an exponent written
// as E with an optional minus, no plus and no leading zeros (1.2E-7, 1.0E300,
// 5.0E-324). The sign of zero is kept (-0.0). The same texts followed by D are
// Spark SQL DOUBLE literals; NaN and the infinities, which have no literal, are
// written as casts of the warehouse's words for them. Integers are plain
// decimal digits with an optional minus. Reading is locale-independent. All
// functions are pure and thread-safe.

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

// Returns true iff `c` is one of the digits 0 to 9.
inline bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Inline parts of the texts below: the per-reading path writes one per
// datapoint.
namespace numbertext_detail {
// The text of shortestDoubleText for the doubles sensors send most, which
// have at most six decimals and a magnitude from 0.001 up to below 10^7:
// those are written as plain decimals, and for them the fewest decimals that
// read back as the double give the shortest text. Below 10^7 two doubles
// are less than 10^-6 apart, so at most one decimal of six places reads back
// as the double, and the one with fewer places is that one without its
// trailing zeros: the text found here is the one otherDoubleText would give.
// Writes it into `buffer` (room for 32 bytes) and returns its end; returns
// null for any other double.
inline char* plainDecimalText(double number, char* buffer) {
    const double magnitude = std::fabs(number);
    if (!(magnitude >= 1e-3 && magnitude < 1e7))  // NaN included
        return nullptr;
    // Rounded to the nearest integer (below 2^44, so the sum is exact enough);
    // a conversion rather than nearbyint, which is a library call saving the
    // floating-point environment. Which neighbour a tie picks does not
    // matter: the check below accepts only a decimal that reads back.
    uint64_t digits = static_cast<uint64_t>(magnitude * 1e6 + 0.5);
    // Both are exact doubles, so the quotient is the double nearest to the
    // decimal: the decimal reads back as this double iff they match.
    if (static_cast<double>(digits) / 1e6 != magnitude)
        return nullptr;
    int places = 6;
    while (places > 0 && digits % 10 == 0) {
        digits /= 10;
        --places;
    }
    // The digits are written once and the point put in place, which needs no
    // division by a power of ten chosen at run time.
    char text[24];
    const int length = static_cast<int>(std::to_chars(text, text + sizeof text, digits).ptr - text);
    char* out = buffer;
    if (number < 0)
        *out++ = '-';
    if (length <= places) {  // below 1: 0.0...digits
        *out++ = '0';
        *out++ = '.';
        for (int i = length; i < places; ++i)
            *out++ = '0';
        std::memcpy(out, text, static_cast<size_t>(length));
        return out + length;
    }
    const int whole = length - places;
    std::memcpy(out, text, static_cast<size_t>(whole));
    out += whole;
    *out++ = '.';
    if (places == 0) {
        *out++ = '0';
        return out;
    }
    std::memcpy(out, text + whole, static_cast<size_t>(places));
    return out + places;
}

// shortestDoubleText of a double that plainDecimalText does not take.
std::string otherDoubleText(double v);
}  // namespace numbertext_detail

// The shortest text of `v` that reads back as exactly `v` (see above); NaN
// and the infinities give "NaN", "Infinity" and "-Infinity".
inline std::string shortestDoubleText(double v) {
    char buffer[32];  // sign, 7 digits, point, 6 digits
    if (const char* end = numbertext_detail::plainDecimalText(v, buffer))
        return std::string(buffer, static_cast<size_t>(end - buffer));
    return numbertext_detail::otherDoubleText(v);
}

// Appends the Spark SQL DOUBLE literal of `v`: shortestDoubleText(v) followed
// by D for finite values (21.5D, 1.2E-7D, -0.0D), and CAST('NaN' AS DOUBLE),
// CAST('Infinity' AS DOUBLE) or CAST('-Infinity' AS DOUBLE) otherwise.
void appendSparkDouble(std::string& out, double v);

// Returns the decimal digits of `v`, with a minus when negative.
inline std::string integerText(int64_t v) {
    char digits[24];
    return std::string(digits, std::to_chars(digits, digits + sizeof digits, v).ptr);
}
// Appends integerText(v).
void appendIntegerText(std::string& out, int64_t v);

// Returns true iff `text` is a decimal number or one of the words NaN,
// Infinity, -Infinity, nan, inf, -inf, and then stores its value in *out
// (correctly rounded; a magnitude too small for a double gives a zero of the
// same sign). A decimal number is an optional minus, digits with an optional
// point (digits on at least one side of it), and an optional exponent: e or E,
// an optional sign, digits. Returns false, leaving *out untouched, for
// anything else, including empty text, blanks, a leading plus, hexadecimal
// and numbers too large for a double.
bool parseDoubleText(const std::string& text, double* out);

// Returns true iff `text` is one of the words parseDoubleText reads as NaN or
// an infinity.
bool isNonFiniteText(const std::string& text);

namespace numbertext_detail {
inline const char* skipDigits(const char* p, const char* end) {
    while (p < end && isDigit(*p))
        ++p;
    return p;
}
}  // namespace numbertext_detail

// Returns true iff `text` is an optional minus and one or more digits (of
// any number: the range is not checked).
inline bool isIntegerText(const std::string& text) {
    const char* p = text.data();
    const char* const end = p + text.size();
    if (p < end && *p == '-')
        ++p;
    return p < end && numbertext_detail::skipDigits(p, end) == end;
}

// Returns true iff `text` is the whole decimal text of a 64-bit integer
// (optional minus, digits), and then stores it in *out.
bool parseIntegerText(const std::string& text, int64_t* out);

// Returns true iff `text` is a plain number: an optional sign, digits, an
// optional fraction (a point and digits) and an optional exponent (e or E, an
// optional sign, digits); nothing else. Such a text is a valid SQL number.
inline bool isPlainNumber(const std::string& text) {
    using numbertext_detail::skipDigits;
    const char* p = text.data();
    const char* const end = p + text.size();
    if (p < end && (*p == '+' || *p == '-'))
        ++p;
    const char* const integerStart = p;
    p = skipDigits(p, end);
    if (p == integerStart)
        return false;
    if (p < end && *p == '.') {
        const char* const fractionStart = ++p;
        p = skipDigits(p, end);
        if (p == fractionStart)
            return false;
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p < end && (*p == '+' || *p == '-'))
            ++p;
        const char* const exponentStart = p;
        p = skipDigits(p, end);
        if (p == exponentStart)
            return false;
    }
    return p == end;
}

// Returns true iff the plain number `text` (without exponent) fits
// DECIMAL(precision, scale): at most precision - scale digits before the
// point, at most scale after it (trailing zeros after the point do not count).
bool fitsDecimalDigits(const std::string& text, int precision, int scale);
