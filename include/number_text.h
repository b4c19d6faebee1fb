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

#include <cstdint>
#include <string>

// Returns true iff `c` is one of the digits 0 to 9.
inline bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The shortest text of finite `v` that reads back as exactly `v` (see above).
// Not for NaN or infinities: those give "NaN", "Infinity" and "-Infinity".
std::string shortestDoubleText(double v);

// Appends the Spark SQL DOUBLE literal of `v`: shortestDoubleText(v) followed
// by D for finite values (21.5D, 1.2E-7D, -0.0D), and CAST('NaN' AS DOUBLE),
// CAST('Infinity' AS DOUBLE) or CAST('-Infinity' AS DOUBLE) otherwise.
void appendSparkDouble(std::string& out, double v);

// Returns the decimal digits of `v`, with a minus when negative.
std::string integerText(int64_t v);
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

// Returns true iff `text` is the whole decimal text of a 64-bit integer
// (optional minus, digits), and then stores it in *out.
bool parseIntegerText(const std::string& text, int64_t* out);

// Returns true iff `text` is a plain number: an optional sign, digits, an
// optional fraction (a point and digits) and an optional exponent (e or E, an
// optional sign, digits); nothing else. Such a text is a valid SQL number.
bool isPlainNumber(const std::string& text);

// Returns true iff the plain number `text` (without exponent) fits
// DECIMAL(precision, scale): at most precision - scale digits before the
// point, at most scale after it (trailing zeros after the point do not count).
bool fitsDecimalDigits(const std::string& text, int precision, int scale);
