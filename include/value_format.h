#pragma once
// How values are written into the warehouse's SQL (Spark SQL): the one place
// that turns a value text into the text of a literal for a column type.
//
// - String literals carry backslash escapes: the warehouse reads a backslash
//   as an escape and a doubled apostrophe as two adjacent literals, so both
//   get a backslash; a NUL byte would end the statement text early and is
//   written as \u0000.
// - VARIANT values go through parse_json. A text that is not one JSON
//   document goes in as a JSON string, so it cannot fail; bytes that are not
//   UTF-8 become U+FFFD, as the warehouse reads JSON only so.
// - Text, timestamp and date columns take a string literal.
// - Any other column (numbers, BOOLEAN, unknown): only plain numbers and the
//   words null, true and false are written as they are; everything else is a
//   string literal, so that no value text can become SQL.
// Values on their way to the warehouse are also checked against the column
// they go into (fitValue): a value is written only when the column holds it
// exactly; otherwise the caller keeps it elsewhere (the row's rescued data).
// Stateless free functions; safe from any thread.

#include <cstdint>
#include <string>

#include "column_type.h"
#include "value_kind.h"

// The kind of the values of a record column declared with type `recordType`
// (integer and floating-point types, VARIANT, TIMESTAMP; anything else is
// text).
ValueKind valueKindOf(const ColumnType& recordType);

// Whether, and how, a value goes into a column.
enum class ValueFit : uint8_t {
    Exact,     // written as it is (a literal of the column's kind)
    Integral,  // a whole double written as the integer it is (22.0 -> 22)
    Rescue,    // the column cannot hold the value exactly: it is kept elsewhere
};

// Decides whether the value, of kind `kind`, fits a column of type `column`:
// integers fit integer columns of their range, DOUBLE while exact (|v| <= 2^53)
// and DECIMAL while their digits fit; doubles fit DOUBLE (NaN and the
// infinities included), integer columns when whole and in range, DECIMAL when
// their digits fit; text fits only text columns (within a VARCHAR's length, in
// characters) and VARIANT; structured values fit text columns, and VARIANT
// when they are JSON (not when they hold NaN or an infinity), the mapper's
// own JSON (ValueKind::Json) without being read; times fit
// TIMESTAMP within 0001-01-01 to 9999-12-31 and text columns. Integers and
// finite doubles fit VARIANT too. Images and data buffers fit no column.
// Anything else (an unknown column
// type, text into numbers, BOOLEAN, TIMESTAMP or DATE) is rescued.
ValueFit fitValue(const std::string& value, ValueKind kind, const ColumnType& column);

// Returns true iff a time as the reading formats it ("YYYY-MM-DD ...") lies
// within the warehouse's TIMESTAMP range, years 0001 to 9999.
bool isTimestampInRange(const std::string& text);

// Returns true iff every value of kind `kind` fits a column of type `column`,
// whatever the value (an integer into BIGINT, a double into DOUBLE, text into
// STRING, ...): the writer then need not look at the values at all.
bool fitsEveryValue(ValueKind kind, const ColumnType& column);

// Appends the literal of a value that fitValue found to fit (`fit` is what it
// returned), always a literal of the column's type, so that the warehouse
// never widens a column of a VALUES list: integer columns take integer
// literals (a whole double too: 22.0 -> 22), DOUBLE and FLOAT columns number
// literals with the suffix D or F (21.5D, 3D, CAST('NaN' AS DOUBLE)), DECIMAL
// columns plain numbers, text and timestamp columns string literals, VARIANT
// columns parse_json of a JSON number (integers exactly, doubles as the
// shortest text that reads back the same), of a JSON string (text) or of the
// structured value's JSON (which fitValue has checked).
void appendFittedValue(std::string& out, const std::string& value, ValueKind kind,
                       const ColumnType& column, ValueFit fit);

// Appends `value` as one JSON value for a row's rescued data: numbers as JSON
// numbers (non-finite doubles as the strings "NaN", "Infinity", "-Infinity"),
// structured values, images and data buffers as their JSON, text and times
// as JSON strings.
void appendRescuedJson(std::string& out, const std::string& value, ValueKind kind);

// Appends the string literal of `value`, quotes included.
void appendSparkLiteral(std::string& out, const std::string& value);
// Appends `value` written for a column of type `type`.
void appendSparkValue(std::string& out, const std::string& value, const ColumnType& type);
