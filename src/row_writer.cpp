#include "row_writer.h"

#include <algorithm>
#include <stdexcept>

#include "dialect.h"
#include "statement_buffer.h"
#include "utf8.h"
#include "value_format.h"

namespace {
const std::string kSqlNull = "NULL";
const ColumnType kVariant = ColumnType::parse(RESCUED_DATA_TYPE);
// How much of a rescued value its reason shows.
constexpr size_t kReasonValueBytes = 64;
}  // namespace

RowWriter::Check RowWriter::checkOf(ValueKind kind, const ColumnType& column) {
    if (column.kind == ColumnType::Kind::Varchar && isTextKind(kind))
        return Check::ShortText;
    if (column.kind == ColumnType::Kind::Timestamp && kind == ValueKind::Timestamp)
        return Check::Time;
    return Check::Value;
}

RowWriter::RowWriter(const CachedTable& table, const Dialect& dialect)
    : dialect(dialect),
      positions(table.positions),
      uniqueNames(table.positions.size() == table.columns.size()),
      row(table.columns.size()),
      source(table.columns.size(), -1),
      kindOf(table.columns.size(), ValueKind::Text),
      isChecked(table.columns.size(), 0) {
    names.reserve(table.columns.size());
    typeOf.reserve(table.columns.size());
    typeTextOf.reserve(table.columns.size());
    for (const CachedColumn& column : table.columns) {
        const CachedColumn& first = table.columns[positions.at(column.name)];
        if (rescueColumn < 0 && column.name == RESCUED_DATA_COLUMN)
            rescueColumn = static_cast<int64_t>(names.size());
        names.push_back(column.name);
        typeOf.push_back(&first.type);
        typeTextOf.push_back(&first.typeText);
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
        kindOf[c] = record.kindAt(static_cast<size_t>(source[c]));
        if (!fitsEveryValue(kindOf[c], *typeOf[c])) {
            isChecked[c] = 1;
            checked.push_back(CheckedColumn{c, checkOf(kindOf[c], *typeOf[c])});
        }
    }
    mapped = DatabaseRecord(std::string(), record);
}

bool RowWriter::needsRescue(const DatabaseRecord& record) {
    if (!record.sharesColumnsWith(mapped))
        mapColumns(record);
    for (const CheckedColumn& checking : checked) {
        const size_t c = checking.column;
        const std::string& value = record.valueAt(static_cast<size_t>(source[c]));
        const ColumnType& type = *typeOf[c];
        // A text of at most n bytes has at most n characters: it fits.
        if (checking.check == Check::ShortText && value.size() <= static_cast<size_t>(type.length))
            continue;
        if (checking.check == Check::Time && isTimestampInRange(value))
            continue;
        if (dialect.fitValue(value, kindOf[c], type) == ValueFit::Rescue)
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

void RowWriter::appendFitting(const DatabaseRecord& record, StatementBuffer& out) {
    for (size_t c = 0; c < names.size(); ++c) {
        if (source[c] < 0) {
            row[c] = kSqlNull;
        } else {
            row[c].clear();
            dialect.appendFittedValue(row[c], record.valueAt(static_cast<size_t>(source[c])),
                                      kindOf[c], *typeOf[c], ValueFit::Exact);
        }
    }
    if (rescueColumn >= 0)
        row[static_cast<size_t>(rescueColumn)] = kSqlNull;
    out.appendRow(row);
}

size_t RowWriter::append(const DatabaseRecord& record, StatementBuffer& out) {
    if (!record.sharesColumnsWith(mapped))
        mapColumns(record);
    if (valuesChecked || checked.empty()) {
        appendFitting(record, out);
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
            isChecked[c] ? dialect.fitValue(value, kindOf[c], type) : ValueFit::Exact;
        if (fit != ValueFit::Rescue) {
            dialect.appendFittedValue(row[c], value, kindOf[c], type, fit);
            continue;
        }
        noteRescue(c, value);
        ++rescuedCount;
        if (type.notNull && type.kind == ColumnType::Kind::Varchar && type.length > 0 &&
            isTextKind(kindOf[c])) {
            const std::string cut = value.substr(0, utf8PrefixBytes(value, type.length));
            dialect.appendFittedValue(row[c], cut, ValueKind::Text, type, ValueFit::Exact);
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
            dialect.appendFittedValue(cell, rescued, ValueKind::Structured, kVariant,
                                      ValueFit::Exact);
        }
    }
    out.appendRow(row);
    return rescuedCount;
}
