#pragma once
// The schema cache's entry of one table: its columns in table order, each
// with its parsed type and the type's text, and where each name sits. Plain
// values; the SchemaManager owns the entries, and a RowWriter borrows one for
// a table's rows.

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include "column_type.h"

// One cached column of a table.
struct CachedColumn {
    std::string name;
    // The parsed type; type.notNull is true iff the column holds no NULL.
    ColumnType type;
    // The type as the warehouse spells it (full_data_type, else data_type)
    // or, for a column the plugin made, the definition it wrote.
    std::string typeText;
    // True iff the column was read from the information schema; dataType is
    // then its data_type, which getCachedSchema normalises.
    bool learned = false;
    std::string dataType;
};

// The cache entry of one table.
struct CachedTable {
    using Positions = std::unordered_map<std::string, size_t>;
    std::vector<CachedColumn> columns;  // in table order
    Positions positions;                // first position of each column name
    Positions foldedPositions;          // the same, keyed by the name in lower case
};
