#pragma once
// Reading number texts with the warehouse's rules, shared by the casts of
// store assignment (value_casts.cpp) and the calendar: integers, Java-syntax
// doubles, decimals split into digits and a power of ten and rounded half up.
// Plain functions; no shared state. Printing numbers is in warehouse_types.h
// (formatDouble, formatFloat).

#include <cstdint>
#include <string>
#include <string_view>

#include "warehouse_types.h"

namespace whemu {

// Text without the blanks and control characters around it.
std::string_view trimSpaces(std::string_view s);
// An optional '+' or '-' and decimal digits that fit 64 bits.
bool parseInt64(std::string_view text, int64_t& value);
// A decimal or scientific number; out-of-range magnitudes become infinity or
// zero, as Java's parser gives them.
bool parseDoubleText(std::string_view text, double& value);
// The value of a Double or Float literal, CAST results (NaN, Infinity) included.
bool literalDouble(const Literal& l, double& value);
// Returns true iff `l` is a Double or Float literal NaN, Infinity or -Infinity.
bool isSpecialDouble(const Literal& l);
// A string cast to DOUBLE: Java's number syntax (with an optional d/f suffix)
// plus the special words NaN, Infinity and inf in any case.
bool stringToDouble(std::string_view text, double& value);
// A string cast to an integer: sign, digits, and an optional fraction that is
// cut off.
bool stringToInt64(std::string_view text, int64_t& value);
// Digits and a power of ten: value = digits * 10^exponent.
bool splitDecimal(std::string_view text, bool& negative, std::string& digits, long& exponent);
// Rounds digits*10^exponent half up to `scale` places; false when the result
// needs more than `precision` digits.
bool roundDecimal(bool negative, const std::string& digits, long exponent, int precision, int scale,
                  std::string& out);

}  // namespace whemu
