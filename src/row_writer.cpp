#include "row_writer.h"

#include <algorithm>
#include <stdexcept>

#include "dialect.h"
#include "text_util.h"
#include "utf8.h"
#include "value_format.h"

namespace {
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
      rowCells(table.columns.size()),
      cutTexts(table.columns.size()),
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
        rowCells[c] = Cell{nullptr, kindOf[c], ValueFit::Exact};
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
        // Type names are spelt in upper case, however the warehouse reports them.
        firstReason = "column '" + names[column] + "' of type " +
                      upperAsciiCase(*typeTextOf[column]) + " cannot hold the value " + shown;
    }
}

void RowWriter::fillFitting(const DatabaseRecord& record) {
    for (size_t c = 0; c < names.size(); ++c) {
        rowCells[c].value =
            source[c] < 0 ? nullptr : &record.valueAt(static_cast<size_t>(source[c]));
    }
    // A cell that the last row rescued or cut fits again.
    if (valuesChecked)
        return;
    for (const CheckedColumn& checking : checked) {
        rowCells[checking.column].kind = kindOf[checking.column];
        rowCells[checking.column].fit = ValueFit::Exact;
    }
    if (rescueColumn >= 0)
        rowCells[static_cast<size_t>(rescueColumn)].value = nullptr;
}

size_t RowWriter::fill(const DatabaseRecord& record) {
    if (!record.sharesColumnsWith(mapped))
        mapColumns(record);
    fillFitting(record);
    if (valuesChecked || checked.empty())
        return 0;
    rescued.clear();
    size_t rescuedCount = 0;
    for (const CheckedColumn& checking : checked) {
        const size_t c = checking.column;
        Cell& cell = rowCells[c];
        const ColumnType& type = *typeOf[c];
        cell.fit = dialect.fitValue(*cell.value, kindOf[c], type);
        if (cell.fit != ValueFit::Rescue)
            continue;
        noteRescue(c, *cell.value);
        ++rescuedCount;
        if (type.notNull && type.kind == ColumnType::Kind::Varchar && type.length > 0 &&
            isTextKind(kindOf[c])) {
            // The column must have a value: the text cut to its length.
            cutTexts[c] = cell.value->substr(0, utf8PrefixBytes(*cell.value, type.length));
            cell = Cell{&cutTexts[c], ValueKind::Text, ValueFit::Exact};
        } else {
            cell.value = nullptr;
        }
    }
    if (rescuedCount > 0 && rescueColumn < 0)
        throw std::logic_error("a value must be rescued but the table has no rescued data column");
    if (rescueColumn >= 0 && !rescued.empty()) {
        rescued.push_back('}');
        rowCells[static_cast<size_t>(rescueColumn)] =
            Cell{&rescued, ValueKind::Structured, ValueFit::Exact};
    }
    return rescuedCount;
}

std::vector<TableColumn> RowWriter::columns() const {
    std::vector<TableColumn> result;
    result.reserve(names.size());
    for (size_t c = 0; c < names.size(); ++c) {
        // Rescued data is always written as the JSON it is.
        const bool rescue = static_cast<int64_t>(c) == rescueColumn;
        result.push_back(TableColumn{names[c], rescue ? kVariant : *typeOf[c]});
    }
    return result;
}
