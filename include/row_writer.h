#pragma once
// RowWriter: turns the records of one table into its rows: a cell per table
// column, as a transport writes them.
//
// Each column of the table (in the order the schema cache keeps them) takes
// the record's value of the same name, or NULL when the record lacks the
// column. A value is written only when its column holds it exactly (the
// dialect's fitValue); one that does not fit leaves its column NULL and is
// kept, under its column name, in the row's rescued data: a JSON object in the
// table's RESCUED_DATA_COLUMN (row_layout.h). A text too long for a NOT NULL column (the
// asset code) is cut to the column's length there, and kept whole as well.
// Where a table column's value comes from is worked out once per record
// column list, not per record; a cell points at the record's value text, so
// a row copies no value.
// The kind of each record value comes from the record; a value is checked
// against, and written for, the cached column's parsed type, and a rescued
// value's reason names the column's type as the warehouse spells it.
// Borrows the table's cache entry and the dialect for its life (the entry
// may not change meanwhile). Rows come out as cells (transport.h).
// Not thread-safe.

#include <cstdint>
#include <string>
#include <vector>

#include "cached_table.h"
#include "column_type.h"
#include "database_record.h"
#include "row_layout.h"
#include "transport.h"
#include "value_format.h"

class Dialect;

class RowWriter {
  public:
    RowWriter(const CachedTable& table, const Dialect& dialect);

    // The table's column names, in schema order: the INSERT's column list.
    const std::vector<std::string>& columnNames() const { return names; }
    // Returns true iff the table has the rescued data column.
    bool hasRescueColumn() const { return rescueColumn >= 0; }
    // Returns true iff a value of the record does not fit its column.
    bool needsRescue(const DatabaseRecord& record);
    // Tells the writer that needsRescue answered false for every record it
    // will fill, so fill need not check the values again.
    void trustValues() { valuesChecked = true; }
    // The table's columns as a transport writes them.
    std::vector<TableColumn> columns() const;
    // Makes the record's row, one cell per table column (cells()), and
    // returns the number of its values that were rescued. The cells point
    // into the record and into this writer, valid until the next fill. Throws
    // std::logic_error when a value must be rescued and the table has no
    // rescued data column (check needsRescue).
    size_t fill(const DatabaseRecord& record);
    // The cells of the row the last fill made.
    const Cell* cells() const { return rowCells.data(); }
    // Why the first rescued value of this writer was rescued; empty if none.
    const std::string& firstRescueReason() const { return firstReason; }

  private:
    // How needsRescue first looks at a checked value.
    enum class Check : uint8_t {
        ShortText,  // text into VARCHAR(n): fits when at most n bytes long
        Time,       // a time into TIMESTAMP: fits when within the range
        Value,      // fitValue alone
    };
    struct CheckedColumn {
        size_t column;
        Check check;
    };
    // Sets source[c] (and kindOf[c]) to the record's position of table column
    // c (and the kind of its values), or -1.
    void mapColumns(const DatabaseRecord& record);
    void noteRescue(size_t column, const std::string& value);
    // How a value of `kind` into `column` is checked first.
    static Check checkOf(ValueKind kind, const ColumnType& column);
    // Points the cells at the record's values, each as it fits exactly.
    void fillFitting(const DatabaseRecord& record);

    const Dialect& dialect;
    std::vector<std::string> names;
    // The type a column's values are checked against and formatted for, and
    // its text for messages: those of the first cached column of the same name.
    std::vector<const ColumnType*> typeOf;
    std::vector<const std::string*> typeTextOf;
    const CachedTable::Positions& positions;
    bool uniqueNames;
    int64_t rescueColumn = -1;
    std::vector<Cell> rowCells;         // kinds set by mapColumns, values by fill
    std::vector<std::string> cutTexts;  // per column: a cut text a cell points at
    std::vector<int64_t> source;
    std::vector<ValueKind> kindOf;
    // Table columns whose values must each be checked against the column
    // (the others fit whatever the value), per record column list.
    std::vector<CheckedColumn> checked;
    std::vector<char> isChecked;
    bool valuesChecked = false;
    DatabaseRecord mapped;  // shares the column list `source` describes
    std::string rescued;    // the rescued data of the row being written
    std::string firstReason;
};
