#include "row_writer.h"

#include <algorithm>
#include <stdexcept>

#include "sql_builder.h"
#include "utf8.h"
#include "value_format.h"

namespace {
const std::string kSqlNull = "NULL";
const ColumnType kVariant = ColumnType::parse(RESCUED_DATA_TYPE);
// How much of a rescued value its reason shows.
constexpr size_t kReasonValueBytes = 64;
}  // namespace

RowWriter::RowWriter(const TableSchema& schema, const std::vector<ColumnType>& types,
                     const SchemaManager::ColumnPositions& positions, SQLBuilder& builder)
    : builder(builder),
      positions(positions),
      uniqueNames(positions.size() == schema.size()),
      row(schema.size()),
      source(schema.size(), -1),
      kindOf(schema.size(), ValueKind::Text),
      isChecked(schema.size(), 0) {
    names.reserve(schema.size());
    typeOf.reserve(schema.size());
    typeTextOf.reserve(schema.size());
    for (const ColumnInfo& column : schema) {
        const std::string& name = std::get<0>(column);
        const size_t first = positions.at(name);
        if (rescueColumn < 0 && name == RESCUED_DATA_COLUMN)
            rescueColumn = static_cast<int64_t>(names.size());
        names.push_back(name);
        typeOf.push_back(&types[first]);
        typeTextOf.push_back(&std::get<1>(schema[first]));
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
    // The rescued data column is written from what is rescued, never from a
    // record column of that name.
    if (rescueColumn >= 0)
        source[static_cast<size_t>(rescueColumn)] = -1;
    checked.clear();
    for (size_t c = 0; c < names.size(); ++c) {
        isChecked[c] = 0;
        if (source[c] < 0)
            continue;
        kindOf[c] =
            valueKindOf(ColumnType::parse(record.sqlTypeAt(static_cast<size_t>(source[c]))));
        if (!fitsEveryValue(kindOf[c], *typeOf[c])) {
            isChecked[c] = 1;
            checked.push_back(c);
        }
    }
    mapped = DatabaseRecord(std::string(), record);
}

bool RowWriter::needsRescue(const DatabaseRecord& record) {
    if (!record.sharesColumnsWith(mapped))
        mapColumns(record);
    for (size_t c : checked) {
        const std::string& value = record.valueAt(static_cast<size_t>(source[c]));
        const ColumnType& type = *typeOf[c];
        // A text of at most n bytes has at most n characters: it fits.
        if (type.kind == ColumnType::Kind::Varchar && kindOf[c] == ValueKind::Text &&
            value.size() <= static_cast<size_t>(type.length))
            continue;
        if (type.kind == ColumnType::Kind::Timestamp && kindOf[c] == ValueKind::Timestamp &&
            isTimestampInRange(value))
            continue;
        if (builder.fitValue(value, kindOf[c], type) == ValueFit::Rescue)
            return true;
    }
    return false;
}

void RowWriter::noteRescue(size_t column, const std::string& value) {
    rescued.append(rescued.empty() ? "{" : ",");
    appendRescuedJson(rescued, names[column], ValueKind::Text);
    rescued.push_back(':');
    appendRescuedJson(rescued, value, kindOf[column]);
    if (firstReason.empty()) {
        std::string shown = value.substr(0, utf8PrefixBytes(value, kReasonValueBytes));
        if (shown.size() < value.size())
            shown.append("...");
        firstReason = "column '" + names[column] + "' of type " + *typeTextOf[column] +
                      " cannot hold the value " + shown;
    }
}

void RowWriter::appendFitting(const DatabaseRecord& record) {
    for (size_t c = 0; c < names.size(); ++c) {
        if (source[c] < 0) {
            row[c] = kSqlNull;
        } else {
            row[c].clear();
            builder.appendFittedValue(row[c], record.valueAt(static_cast<size_t>(source[c])),
                                      kindOf[c], *typeOf[c], ValueFit::Exact);
        }
    }
    if (rescueColumn >= 0)
        row[static_cast<size_t>(rescueColumn)] = kSqlNull;
    builder.appendRow(row);
}

size_t RowWriter::append(const DatabaseRecord& record) {
    if (!record.sharesColumnsWith(mapped))
        mapColumns(record);
    if (valuesChecked || checked.empty()) {
        appendFitting(record);
        return 0;
    }
    rescued.clear();
    size_t rescuedCount = 0;
    for (size_t c = 0; c < names.size(); ++c) {
        row[c].clear();
        if (source[c] < 0) {
            row[c] = kSqlNull;
            continue;
        }
        const std::string& value = record.valueAt(static_cast<size_t>(source[c]));
        const ColumnType& type = *typeOf[c];
        const ValueFit fit =
            isChecked[c] ? builder.fitValue(value, kindOf[c], type) : ValueFit::Exact;
        if (fit != ValueFit::Rescue) {
            builder.appendFittedValue(row[c], value, kindOf[c], type, fit);
            continue;
        }
        noteRescue(c, value);
        ++rescuedCount;
        if (type.notNull && type.kind == ColumnType::Kind::Varchar && type.length > 0 &&
            kindOf[c] == ValueKind::Text) {
            const std::string cut = value.substr(0, utf8PrefixBytes(value, type.length));
            builder.appendFittedValue(row[c], cut, ValueKind::Text, type, ValueFit::Exact);
        } else {
            row[c] = kSqlNull;
        }
    }
    if (rescuedCount > 0 && rescueColumn < 0)
        throw std::logic_error("a value must be rescued but the table has no rescued data column");
    if (rescueColumn >= 0) {
        std::string& cell = row[static_cast<size_t>(rescueColumn)];
        if (rescued.empty()) {
            cell = kSqlNull;
        } else {
            rescued.push_back('}');
            cell.clear();
            builder.appendFittedValue(cell, rescued, ValueKind::Structured, kVariant,
                                      ValueFit::Exact);
        }
    }
    builder.appendRow(row);
    return rescuedCount;
}
