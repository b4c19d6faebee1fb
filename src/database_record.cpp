#include "database_record.h"

#include <cstddef>
#include <stdexcept>
#include <utility>

#include "column_type.h"
#include "value_format.h"

DatabaseRecord::DatabaseRecord(const std::string& tableName, const DatabaseRecord& columnsFrom)
    : tableName(tableName), values(columnsFrom.values.size()), columns(columnsFrom.columns) {}

DatabaseRecord::DatabaseRecord(DatabaseRecord&& other) noexcept
    : tableName(std::move(other.tableName)),
      sourceReading(other.sourceReading),
      values(std::move(other.values)),
      columns(std::move(other.columns)) {
    other.clear();
}

DatabaseRecord& DatabaseRecord::operator=(DatabaseRecord&& other) noexcept {
    if (this != &other) {
        tableName = std::move(other.tableName);
        sourceReading = other.sourceReading;
        values = std::move(other.values);
        columns = std::move(other.columns);
        other.clear();
    }
    return *this;
}

const DatabaseRecord::Columns& DatabaseRecord::noColumns() {
    static const Columns none;
    return none;
}

DatabaseRecord::Columns& DatabaseRecord::ownColumns() {
    if (!columns) {
        columns = std::make_shared<Columns>();
    } else if (columns.use_count() > 1) {
        columns = std::make_shared<Columns>(*columns);
    }
    return *columns;
}

size_t DatabaseRecord::lowerBound(const std::string& name) const {
    if (!columns)
        return 0;
    const Columns& list = *columns;
    size_t low = 0;
    size_t high = list.byName.size();
    while (low < high) {
        const size_t middle = low + (high - low) / 2;
        if (list.names[list.byName[middle]] < name) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low;
}

int64_t DatabaseRecord::findColumn(const std::string& name) const {
    const size_t slot = lowerBound(name);
    if (!columns || slot >= columns->byName.size())
        return -1;
    const uint32_t position = columns->byName[slot];
    if (columns->names[position] != name)
        return -1;
    return static_cast<int64_t>(position);
}

void DatabaseRecord::addColumn(const std::string& name, const std::string& value,
                               const std::string& sqlType, ColumnConstraint constraint) {
    addColumn(name, std::string(value), sqlType, constraint);
}

void DatabaseRecord::addColumn(const std::string& name, std::string&& value,
                               const std::string& sqlType, ColumnConstraint constraint) {
    putColumn(name, std::move(value), valueKindOf(ColumnType::parse(sqlType)), &sqlType,
              constraint);
}

void DatabaseRecord::addColumn(const std::string& name, const std::string& value,
                               const std::string& sqlType) {
    const int64_t position = findColumn(name);
    const ColumnConstraint constraint =
        position >= 0 ? constraintAt(static_cast<size_t>(position)) : CONSTRAINT_NONE;
    addColumn(name, std::string(value), sqlType, constraint);
}

void DatabaseRecord::addColumn(const std::string& name, std::string&& value, ValueKind kind,
                               ColumnConstraint constraint) {
    putColumn(name, std::move(value), kind, nullptr, constraint);
}

void DatabaseRecord::putColumn(const std::string& name, std::string&& value, ValueKind kind,
                               const std::string* typeText, ColumnConstraint constraint) {
    const size_t slot = lowerBound(name);
    if (!columns || slot >= columns->byName.size() ||
        columns->names[columns->byName[slot]] != name) {
        appendColumn(slot, name, std::move(value), kind, typeText, constraint);
        return;
    }
    const uint32_t position = columns->byName[slot];
    const bool declared = typeText != nullptr;
    if (columns->kinds[position] != kind || columns->constraints[position] != constraint ||
        (columns->declared[position] != 0) != declared ||
        (declared && columns->typeTexts[position] != *typeText)) {
        std::string text = declared ? *typeText : std::string();
        Columns& own = ownColumns();
        own.kinds[position] = kind;
        own.constraints[position] = constraint;
        own.typeTexts[position] = std::move(text);
        own.declared[position] = declared ? 1 : 0;
    }
    values[position] = std::move(value);
}

void DatabaseRecord::appendColumn(size_t slot, const std::string& name, std::string&& value,
                                  ValueKind kind, const std::string* typeText,
                                  ColumnConstraint constraint) {
    // Everything that can fail happens before the record changes, so a failed
    // addition leaves the record as it was.
    std::string newName(name);
    std::string newType = typeText ? *typeText : std::string();
    Columns& own = ownColumns();
    const size_t count = own.names.size();
    if (count >= UINT32_MAX)
        throw std::length_error("too many columns in one record");
    own.names.reserve(count + 1);
    own.kinds.reserve(count + 1);
    own.constraints.reserve(count + 1);
    own.typeTexts.reserve(count + 1);
    own.declared.reserve(count + 1);
    own.byName.reserve(count + 1);
    values.reserve(count + 1);
    own.names.push_back(std::move(newName));
    own.kinds.push_back(kind);
    own.constraints.push_back(constraint);
    own.typeTexts.push_back(std::move(newType));
    own.declared.push_back(typeText ? 1 : 0);
    own.byName.insert(own.byName.begin() + static_cast<std::ptrdiff_t>(slot),
                      static_cast<uint32_t>(count));
    values.push_back(std::move(value));
}

bool DatabaseRecord::renameColumn(size_t position, const std::string& name) {
    if (position >= columnCount())
        return false;
    if (columns->names[position] == name)
        return true;
    if (findColumn(name) >= 0)
        return false;
    std::string newName(name);
    Columns& own = ownColumns();
    // The index keeps its length, so no step below allocates.
    const size_t oldSlot = lowerBound(own.names[position]);
    own.byName.erase(own.byName.begin() + static_cast<std::ptrdiff_t>(oldSlot));
    const size_t newSlot = lowerBound(newName);
    own.byName.insert(own.byName.begin() + static_cast<std::ptrdiff_t>(newSlot),
                      static_cast<uint32_t>(position));
    own.names[position] = std::move(newName);
    return true;
}

std::string DatabaseRecord::getValue(const std::string& name) const {
    const int64_t position = findColumn(name);
    if (position < 0 || static_cast<size_t>(position) >= values.size())
        return std::string();
    return values[static_cast<size_t>(position)];
}

std::string DatabaseRecord::getSQLType(const std::string& name) const {
    const int64_t position = findColumn(name);
    if (position < 0 || static_cast<size_t>(position) >= columnList().kinds.size())
        return std::string();
    return sqlTypeAt(static_cast<size_t>(position));
}

std::string DatabaseRecord::sqlTypeAt(size_t position) const {
    const std::string* declared = declaredTypeAt(position);
    return declared ? *declared : typeNameOf(kindAt(position));
}

ColumnConstraint DatabaseRecord::getConstraints(const std::string& name) const {
    const int64_t position = findColumn(name);
    if (position < 0 || static_cast<size_t>(position) >= columnList().constraints.size())
        return CONSTRAINT_NONE;
    return columnList().constraints[static_cast<size_t>(position)];
}

bool DatabaseRecord::hasColumn(const std::string& name) const {
    return findColumn(name) >= 0;
}

void DatabaseRecord::reserve(size_t count) {
    values.reserve(count);
    // A shared list is left alone: reserving must not cost a copy.
    if (columns && columns.use_count() > 1)
        return;
    Columns& own = ownColumns();
    own.names.reserve(count);
    own.kinds.reserve(count);
    own.constraints.reserve(count);
    own.typeTexts.reserve(count);
    own.declared.reserve(count);
    own.byName.reserve(count);
}

void DatabaseRecord::clear() {
    tableName.clear();
    sourceReading = kNoReading;
    values.clear();
    columns.reset();
}
