#pragma once
// Readings as JSON Lines, one reading per line:
//   {"asset": "pump", "timestamp": "2026-01-01T00:00:00.000001Z",
//    "user_timestamp": "...", "datapoints": {"temperature": 21.5, "count": 3,
//    "state": "ok", "meta": {"a": 1}, "samples": [1.0, 2.5]}}
//
// Datapoint values: a JSON string gives a string, except the strings "NaN",
// "Infinity" and "-Infinity", which give those floats (strict JSON has no
// other way to write them; lakesink's rejects table writes them so); a whole
// number an integer (64-bit signed; a whole number outside that range is
// refused, never rounded to a float); any other number a float (bare NaN,
// Infinity and -Infinity are accepted too); true/false the integers 1/0; an
// object a dict; an array of numbers (or those three strings) only a float
// array; any other array a list whose members are named by their index. A
// null datapoint is left out; a null member of an object or array keeps its
// place (the array is then a list, since a float array cannot hold a null)
// as a value the plugin writes as JSON null.
// Timestamps are "YYYY-MM-DD[T ]HH:MM:SS[.fraction][Z|+hh:mm|-hh:mm]" (no
// zone means UTC; digits beyond microseconds are dropped), not before 1970;
// both are optional and default to now. "asset" is required and not empty;
// any other member is refused so that a misspelt "timestamp" is not silently
// replaced by the current time. A line nesting objects and arrays deeper than
// MAX_JSON_DEPTH (json_depth.h) levels is refused before it is parsed.
//
// Free functions without state; safe to call from any thread.

#include <cstdint>
#include <memory>
#include <string>

#include "reading.h"

// Parses one line. Returns null and sets `error` to a short description when
// the line is not a valid reading.
std::unique_ptr<Reading> parseReadingLine(const std::string& line, std::string& error);

// The reading as one JSON line (without the newline) that parseReadingLine
// reads back into an equal reading.
std::string readingToJsonLine(const Reading& reading);

// "YYYY-MM-DD[T ]HH:MM:SS[.f][zone]" to microseconds since the epoch. Returns
// false with `error` set when the text is not such a time or before 1970.
bool parseTimestamp(const std::string& text, uint64_t& micros, std::string& error);
