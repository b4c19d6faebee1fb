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
// Stateless free functions; safe from any thread.

#include <string>

#include "column_type.h"

// Appends the string literal of `value`, quotes included.
void appendSparkLiteral(std::string& out, const std::string& value);
// Appends `value` written for a column of type `type`.
void appendSparkValue(std::string& out, const std::string& value, const ColumnType& type);
