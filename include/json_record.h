#pragma once
// JsonRecordEncoder: turns the rows a transport is handed into the JSON
// records of the direct ingest stream, one JSON object per row, column name
// to value.
//
// The table writer has decided every cell already (which value, of which
// kind, how it fits its column; rescued values are in the rescued data
// column's cell); a cell without a value (NULL) is left out of the object.
// How values travel:
//   - integer and DECIMAL columns: JSON numbers (a whole double as its integer);
//   - DOUBLE and FLOAT: JSON numbers; NaN and the infinities, which JSON has
//     no number for, as the strings "NaN", "Infinity", "-Infinity";
//   - VARIANT: a JSON string holding the value's JSON text;
//   - TIMESTAMP: integer microseconds since the epoch (UTC). This encoding is
//     a guess taken from a user's client code, not from the vendor's
//     documentation;
//   - everything else: a JSON string, bytes that are not UTF-8 as U+FFFD.
// Borrows the columns for its life. Not thread-safe.

#include <cstdint>
#include <string>
#include <vector>

#include "transport.h"

class JsonRecordEncoder {
  public:
    explicit JsonRecordEncoder(const std::vector<TableColumn>& columns);

    // Appends the row (a cell per column) as one JSON object to `out`.
    void encode(const RowView& row, std::string& out) const;

  private:
    void appendValue(std::string& out, const Cell& cell, const ColumnType& type) const;

    const std::vector<TableColumn>& columns;
    std::vector<std::string> keys;  // each column's name as a JSON string and ':'
};

// Microseconds since the epoch of a time as the reading mapper writes it
// ("YYYY-MM-DD HH:MM:SS[.ffffff][+00:00]", UTC). Returns false for a text of
// another form.
bool timestampMicros(const std::string& text, int64_t* micros);
