#pragma once
// Doubles as text that loses nothing. A double is written with the fewest
// significant digits that read back as exactly the same double, laid out as
// the warehouse prints doubles (Java's Double.toString): plain decimal with at
// least one digit after the point for magnitudes from 1E-3 up to below 1E7
// (21.5, 22.0, 0.001), otherwise one digit, a point, the remaining digits (at
// least one) and an exponent written as E with an optional minus, no plus and
// no leading zeros (1.2E-7, 1.0E300, 5.0E-324). The sign of zero is kept
// (-0.0). The same texts followed by D are Spark SQL DOUBLE literals; NaN and
// the infinities, which have no literal, are written as casts of the
// warehouse's words for them. Reading back is locale-independent and takes
// the texts written here, other plain decimal numbers and the words for NaN
// and the infinities. Stateless free functions; safe from any thread.

#include <string>

// The shortest text of finite `v` that reads back as exactly `v` (see above).
// Not for NaN or infinities: those give "NaN", "Infinity" and "-Infinity".
std::string shortestDoubleText(double v);

// Appends the Spark SQL DOUBLE literal of `v`: shortestDoubleText(v) followed
// by D for finite values (21.5D, 1.2E-7D, -0.0D), and CAST('NaN' AS DOUBLE),
// CAST('Infinity' AS DOUBLE) or CAST('-Infinity' AS DOUBLE) otherwise.
void appendSparkDouble(std::string& out, double v);

// Returns true iff `text` is a decimal number or one of the words NaN,
// Infinity, -Infinity, nan, inf, -inf, and then stores its value in *out
// (correctly rounded; a magnitude too small for a double gives a zero of the
// same sign). A decimal number is an optional minus, digits with an optional
// point (digits on at least one side of it), and an optional exponent: e or E,
// an optional sign, digits. Returns false, leaving *out untouched, for
// anything else, including empty text, blanks, a leading plus, hexadecimal
// and numbers too large for a double.
bool parseDoubleText(const std::string& text, double* out);
