#pragma once
// RowWriter: turns the records of one table into the rows of its INSERT.
//
// Each column of the table (in the order the schema cache keeps them) takes
// the record's value of the same name, formatted by the builder for the
// column's type, or NULL when the record lacks the column. Where a table
// column's value comes from is worked out once per record column list, not
// per record, and the row's texts keep their buffers from record to record.
// Borrows the schema, the types, the positions and the builder for its life
// (none may change meanwhile); the builder's INSERT state receives the rows.
// Not thread-safe.

#include <cstdint>
#include <string>
#include <vector>

#include "column_type.h"
#include "database_record.h"
#include "schema_manager.h"

class SQLBuilder;

class RowWriter {
  public:
    RowWriter(const TableSchema& schema, const std::vector<ColumnType>& types,
              const SchemaManager::ColumnPositions& positions, SQLBuilder& builder);

    // The table's column names, in schema order: the INSERT's column list.
    const std::vector<std::string>& columnNames() const { return names; }
    // Appends the record as one row to the builder.
    void append(const DatabaseRecord& record);

  private:
    // Sets source[c] to the record's position of table column c, or -1.
    void mapColumns(const DatabaseRecord& record);

    SQLBuilder& builder;
    std::vector<std::string> names;
    // The type used to format a column's values: that of the first cached
    // column of the same name.
    std::vector<const ColumnType*> typeOf;
    const SchemaManager::ColumnPositions& positions;
    bool uniqueNames;
    std::vector<std::string> row;
    std::vector<int64_t> source;
    DatabaseRecord mapped;  // shares the column list `source` describes
};
