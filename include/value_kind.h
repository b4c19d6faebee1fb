#pragma once
// ValueKind: what a value is, as the reading gave it.
//
// Every column of a record carries the kind of its values, decided once from
// the datapoint's type tag (or, for the fixed columns, from what they hold).
// The kind says how a value is checked against the column it goes into and
// how it is written (value_format.h); only when a table is created or a
// column added does the SQL dialect turn a kind into a column type
// (SQLBuilder::columnTypeFor). Plain values and free functions; safe from any
// thread.

#include <cstdint>
#include <string>

enum class ValueKind : uint8_t {
    Integer,     // a signed 64-bit integer datapoint
    Double,      // a double datapoint
    Text,        // a text datapoint, or one without a text form ("null")
    Structured,  // a structured datapoint (array, dict, list) as JSON
    Timestamp,   // one of the reading's times
    Label,       // a short text naming the row's source: the asset code, the instance
    Json,        // a strict JSON document the mapper wrote itself (a reading's
                 // datapoints as one object): fits VARIANT unchecked
    Binary,      // an image or data buffer, as the JSON of its content: no column
                 // holds it, it is always kept in the rescued data
};

// The kind of a datapoint value whose host type tag (DatapointValue's
// dataTagType, as an int) is `tag`: integers, doubles, structured values
// (number arrays, dicts, lists), images and data buffers, and everything
// else as text.
ValueKind valueKindOfTag(int tag);

// Returns true iff values of the kind are text (Text and Label).
inline bool isTextKind(ValueKind kind) {
    return kind == ValueKind::Text || kind == ValueKind::Label;
}

// The name of the type a column of this kind usually has in the warehouse:
// BIGINT, DOUBLE, STRING, VARIANT, TIMESTAMP, VARCHAR(256) for a label,
// VARIANT for JSON, STRING for an image or data buffer (always NULL). A
// record reports it for a column that was given a kind and no type text.
const std::string& typeNameOf(ValueKind kind);
