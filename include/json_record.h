#pragma once
// JsonRecordEncoder: turns the records of one table into the JSON records of
// the direct ingest stream, one JSON object per row, column name to value.
//
// Each column of the table (in the schema cache's order) takes the record's
// value of the same name; a column the record lacks is left out (NULL). As
// with the statements, a value is sent only when its column holds it exactly
// (fitValue); one that does not fit is left out and kept, under its column
// name, in the row's "_rescued_data" object, when the table has that column;
// a text too long for a NOT NULL VARCHAR column (the asset code) is also
// written cut to the column's length.
// How values travel:
//   - integer and DECIMAL columns: JSON numbers (a whole double as its integer);
//   - DOUBLE and FLOAT: JSON numbers; NaN and the infinities, which JSON has
//     no number for, as the strings "NaN", "Infinity", "-Infinity";
//   - VARIANT: a JSON string holding the value's JSON text;
//   - TIMESTAMP: integer microseconds since the epoch (UTC). This encoding is
//     a guess taken from a user's client code, not from the vendor's
//     documentation;
//   - everything else: a JSON string, bytes that are not UTF-8 as U+FFFD.
// Borrows the table's cache entry for its life. Not thread-safe.

#include <cstdint>
#include <string>
#include <vector>

#include "database_record.h"
#include "schema_manager.h"
#include "value_format.h"

class JsonRecordEncoder {
  public:
    explicit JsonRecordEncoder(const CachedTable& table);

    // Returns true iff a value of the record must be rescued and the table
    // has no rescued data column to keep it.
    bool needsRescueColumn(const DatabaseRecord& record);
    // Appends the record as one JSON object to `out`; returns the number of
    // its values that were rescued. Throws std::logic_error when a value must
    // be rescued and the table has no rescued data column.
    size_t encode(const DatabaseRecord& record, std::string& out);
    // Why the first rescued value was rescued; empty if none.
    const std::string& firstRescueReason() const { return firstReason; }

  private:
    void mapColumns(const DatabaseRecord& record);
    void appendValue(std::string& out, const std::string& value, ValueKind kind,
                     const ColumnType& type, ValueFit fit) const;

    const CachedTable& table;
    int64_t rescueColumn = -1;
    std::vector<int64_t> source;  // record position of each table column, or -1
    std::vector<ValueKind> kindOf;
    std::vector<std::string> keys;  // each column's name as a JSON string and ':'
    DatabaseRecord mapped;          // shares the column list `source` describes
    std::string rescued;
    std::string firstReason;
};

// Microseconds since the epoch of a time as the reading mapper writes it
// ("YYYY-MM-DD HH:MM:SS[.ffffff][+00:00]", UTC). Returns false for a text of
// another form.
bool timestampMicros(const std::string& text, int64_t* micros);
