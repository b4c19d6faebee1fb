#pragma once
// Rows on their way to the warehouse.
//
// DatabaseRecord is one row on its way to one table: the table name and an
// ordered set of columns with lookup by name in logarithmic time. Each column
// has a name, a value text, the kind of its value (ValueKind: an integer, a
// double, text, a structured value, a time, a label) and constraint flags.
// The reading mapper gives each column a kind only; a column may instead be
// added with an SQL type text, which the record then keeps and reports, its
// kind read from the text once. A column added by kind reports the usual
// type name of its kind (typeNameOf) as its SQL type; the table itself is
// created with the SQL dialect's type for the kind. The values belong to the
// record; the column list (names, kinds, type texts, constraints and a name
// index ordered by byte-wise comparison) may be shared by records of the same
// shape, so a batch of readings with the same datapoints holds its column
// names once. A record that changes its columns while sharing them first
// takes a copy of its own, so sharing is never visible through the record's
// operations. A record may know the position of the reading it was made from
// in its batch (readingIndex), so that whoever writes it can point back at
// that reading. Records are moved, never copied; a record is not thread-safe,
// but records that share a column list may live on different threads (the
// list is then only read).
//
// ColumnConstraint holds the CONSTRAINT_* flags of a column; TableGroups is
// records grouped by table name.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "value_kind.h"

typedef uint32_t ColumnConstraint;
constexpr ColumnConstraint CONSTRAINT_NONE = 0;
constexpr ColumnConstraint CONSTRAINT_NOT_NULL = 1;
constexpr ColumnConstraint CONSTRAINT_NULLABLE = 2;
constexpr ColumnConstraint CONSTRAINT_PRIMARY_KEY = 4;
constexpr ColumnConstraint CONSTRAINT_UNIQUE = 8;

class DatabaseRecord {
  public:
    // readingIndex() of a record not made from a reading of a batch.
    static constexpr size_t kNoReading = SIZE_MAX;

    DatabaseRecord() = default;
    explicit DatabaseRecord(const std::string& tableName) : tableName(tableName) {}
    // A record for `tableName` with the columns of `columnsFrom` (names, kinds,
    // type texts, constraints, in the same order) and every value empty. The column
    // list is shared with `columnsFrom`, not copied. The new record has no
    // reading index.
    DatabaseRecord(const std::string& tableName, const DatabaseRecord& columnsFrom);
    DatabaseRecord(DatabaseRecord&& other) noexcept;
    DatabaseRecord& operator=(DatabaseRecord&& other) noexcept;
    DatabaseRecord(const DatabaseRecord&) = delete;
    DatabaseRecord& operator=(const DatabaseRecord&) = delete;
    ~DatabaseRecord() = default;

    void setTableName(const std::string& name) { tableName = name; }
    void setTableName(std::string&& name) { tableName = std::move(name); }
    const std::string& getTableName() const { return tableName; }

    // Position of the source reading in the batch it came in (index i is the
    // batch's reading i), or kNoReading. Moves carry it along; clear() and a
    // move out of the record reset it.
    size_t readingIndex() const { return sourceReading; }
    void setReadingIndex(size_t index) { sourceReading = index; }

    // Appends a column, or replaces value, type and constraint of an existing
    // column of that name in place. The column keeps `sqlType` as its type
    // text; its kind is read from the text (valueKindOf).
    void addColumn(const std::string& name, const std::string& value, const std::string& sqlType,
                   ColumnConstraint constraint);
    // As above, taking the value over instead of copying it.
    void addColumn(const std::string& name, std::string&& value, const std::string& sqlType,
                   ColumnConstraint constraint);
    // As above, but an existing column keeps its constraint and a new one gets
    // CONSTRAINT_NONE.
    void addColumn(const std::string& name, const std::string& value, const std::string& sqlType);
    // As the first, for a column given the kind of its value and no type text.
    void addColumn(const std::string& name, std::string&& value, ValueKind kind,
                   ColumnConstraint constraint);

    const std::vector<std::string>& getColumnNames() const { return columnList().names; }
    const std::vector<std::string>& getValues() const { return values; }
    // Empty text / CONSTRAINT_NONE for a name that is not a column.
    std::string getValue(const std::string& name) const;
    // The type text the column was added with, or the usual type name of its
    // kind (typeNameOf) when it was added by kind.
    std::string getSQLType(const std::string& name) const;
    ColumnConstraint getConstraints(const std::string& name) const;
    bool hasColumn(const std::string& name) const;

    // Position-based access for callers that already hold a position.
    size_t columnCount() const { return values.size(); }
    const std::string& valueAt(size_t position) const { return values[position]; }
    // getSQLType of the column at `position`.
    std::string sqlTypeAt(size_t position) const;
    ValueKind kindAt(size_t position) const { return columnList().kinds[position]; }
    // The type text the column at `position` was added with; null when it
    // was added by kind.
    const std::string* declaredTypeAt(size_t position) const {
        const Columns& list = columnList();
        return list.declared[position] ? &list.typeTexts[position] : nullptr;
    }
    ColumnConstraint constraintAt(size_t position) const {
        return columnList().constraints[position];
    }
    // Replaces the value of the column at `position` (below columnCount()).
    void setValueAt(size_t position, std::string&& value) { values[position] = std::move(value); }
    // Position of a column, or -1 when there is none.
    int64_t findColumn(const std::string& name) const;
    // Gives the column at `position` another name, keeping its place, value,
    // type and constraint. False (and nothing changed) when the position is
    // out of range or another column already has the new name.
    bool renameColumn(size_t position, const std::string& name);
    // True when both records hold the very same column list (one made from the
    // other, or both from a third, and neither changed its columns since): they
    // then have the same names, kinds, types and constraints in the same order.
    bool sharesColumnsWith(const DatabaseRecord& other) const {
        return columns != nullptr && columns == other.columns;
    }

    // Makes room for that many columns without changing the record.
    void reserve(size_t columns);
    void clear();

  private:
    struct Columns {
        std::vector<std::string> names;
        std::vector<ValueKind> kinds;
        std::vector<ColumnConstraint> constraints;
        // The type text of each column added with one (declared[i] != 0);
        // empty for the others.
        std::vector<std::string> typeTexts;
        std::vector<uint8_t> declared;
        // Every position, ordered by the byte-wise order of its name.
        std::vector<uint32_t> byName;
    };
    static const Columns& noColumns();
    const Columns& columnList() const { return columns ? *columns : noColumns(); }
    // The column list, copied first when another record shares it.
    Columns& ownColumns();
    // Index into byName of the first name not less than `name`.
    size_t lowerBound(const std::string& name) const;
    // addColumn: `typeText` is the declared type text, or null for a column
    // added by kind.
    void putColumn(const std::string& name, std::string&& value, ValueKind kind,
                   const std::string* typeText, ColumnConstraint constraint);
    // Appends a column not in the record yet, whose index slot is `slot`.
    void appendColumn(size_t slot, const std::string& name, std::string&& value, ValueKind kind,
                      const std::string* typeText, ColumnConstraint constraint);

    std::string tableName;
    size_t sourceReading = kNoReading;
    std::vector<std::string> values;   // one per column, in column order
    std::shared_ptr<Columns> columns;  // null while the record has no column
};

// Records grouped by table name, in ascending byte order of the names.
using TableGroups = std::map<std::string, std::vector<DatabaseRecord>>;
