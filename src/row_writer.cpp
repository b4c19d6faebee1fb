#include "row_writer.h"

#include <algorithm>

#include "sql_builder.h"

namespace {
const std::string kSqlNull = "NULL";
}  // namespace

RowWriter::RowWriter(const TableSchema& schema, const std::vector<ColumnType>& types,
                     const SchemaManager::ColumnPositions& positions, SQLBuilder& builder)
    : builder(builder),
      positions(positions),
      uniqueNames(positions.size() == schema.size()),
      row(schema.size()),
      source(schema.size(), -1) {
    names.reserve(schema.size());
    typeOf.reserve(schema.size());
    for (const ColumnInfo& column : schema) {
        const std::string& name = std::get<0>(column);
        names.push_back(name);
        typeOf.push_back(&types[positions.at(name)]);
    }
}

void RowWriter::mapColumns(const DatabaseRecord& record) {
    if (uniqueNames) {
        std::fill(source.begin(), source.end(), -1);
        const std::vector<std::string>& recordNames = record.getColumnNames();
        for (size_t i = 0; i < recordNames.size(); ++i) {
            auto found = positions.find(recordNames[i]);
            if (found != positions.end())
                source[found->second] = static_cast<int64_t>(i);
        }
    } else {
        for (size_t c = 0; c < names.size(); ++c)
            source[c] = record.findColumn(names[c]);
    }
    mapped = DatabaseRecord(std::string(), record);
}

void RowWriter::append(const DatabaseRecord& record) {
    if (!record.sharesColumnsWith(mapped))
        mapColumns(record);
    for (size_t c = 0; c < names.size(); ++c) {
        if (source[c] < 0) {
            row[c] = kSqlNull;
        } else {
            row[c].clear();
            builder.appendFormattedValue(row[c], record.valueAt(static_cast<size_t>(source[c])),
                                         *typeOf[c]);
        }
    }
    builder.appendRow(row);
}
