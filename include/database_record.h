#pragma once
// Rows on their way to the warehouse.
//
// DatabaseRecord is one row on its way to one table: the table name and an
// ordered set of columns (name, value text, SQL type text, constraint flags)
// with lookup by name in logarithmic time. The values belong to the record;
// the column list (names, types, constraints and a name index ordered by
// byte-wise comparison) may be shared by records of the same shape, so a batch
// of readings with the same datapoints holds its column names once. A record
// that changes its columns while sharing them first takes a copy of its own,
// so sharing is never visible through the record's operations. A record may
// know the position of the reading it was made from in its batch
// (readingIndex), so that whoever writes it can point back at that reading.
// Records are moved, never copied; a record is not thread-safe, but records that share a
// column list may live on different threads (the list is then only read).
//
// ColumnConstraint holds the CONSTRAINT_* flags of a column; TableGroups is
// records grouped by table name.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

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
    // A record for `tableName` with the columns of `columnsFrom` (names, SQL
    // types, constraints, in the same order) and every value empty. The column
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
    // column of that name in place.
    void addColumn(const std::string& name, const std::string& value, const std::string& sqlType,
                   ColumnConstraint constraint);
    // As above, taking the value over instead of copying it.
    void addColumn(const std::string& name, std::string&& value, const std::string& sqlType,
                   ColumnConstraint constraint);
    // As above, but an existing column keeps its constraint and a new one gets
    // CONSTRAINT_NONE.
    void addColumn(const std::string& name, const std::string& value, const std::string& sqlType);

    const std::vector<std::string>& getColumnNames() const { return columnList().names; }
    const std::vector<std::string>& getValues() const { return values; }
    // Empty text / CONSTRAINT_NONE for a name that is not a column.
    std::string getValue(const std::string& name) const;
    std::string getSQLType(const std::string& name) const;
    ColumnConstraint getConstraints(const std::string& name) const;
    bool hasColumn(const std::string& name) const;

    // Position-based access for callers that already hold a position.
    size_t columnCount() const { return values.size(); }
    const std::string& valueAt(size_t position) const { return values[position]; }
    const std::string& sqlTypeAt(size_t position) const { return columnList().sqlTypes[position]; }
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
    // then have the same names, types and constraints in the same order.
    bool sharesColumnsWith(const DatabaseRecord& other) const {
        return columns != nullptr && columns == other.columns;
    }

    // Makes room for that many columns without changing the record.
    void reserve(size_t columns);
    void clear();

  private:
    struct Columns {
        std::vector<std::string> names;
        std::vector<std::string> sqlTypes;
        std::vector<ColumnConstraint> constraints;
        // Every position, ordered by the byte-wise order of its name.
        std::vector<uint32_t> byName;
    };
    static const Columns& noColumns();
    const Columns& columnList() const { return columns ? *columns : noColumns(); }
    // The column list, copied first when another record shares it.
    Columns& ownColumns();
    // Index into byName of the first name not less than `name`.
    size_t lowerBound(const std::string& name) const;

    std::string tableName;
    size_t sourceReading = kNoReading;
    std::vector<std::string> values;   // one per column, in column order
    std::shared_ptr<Columns> columns;  // null while the record has no column
};

// Records grouped by table name, in ascending byte order of the names.
using TableGroups = std::map<std::string, std::vector<DatabaseRecord>>;
