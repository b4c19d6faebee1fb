#pragma once
// Readings into rows.
//
// DatabaseRecord is one row on its way to one table: the table name and an
// ordered set of columns (name, value text, SQL type text, constraint flags)
// kept in parallel lists with a name index. Records are moved, never copied.
//
// ReadingMapper turns host readings into records: four fixed columns
// (asset_code, user_ts, ts, corvane) and one column per datapoint, the SQL
// types and the hint datapoint name taken from the SQL builder, and chooses
// each record's table (asset code or a hint datapoint's "tablename"). Table
// and column names go through the builder's tableNameFor / columnNameFor, so
// records carry only names the warehouse accepts; the asset_code value stays
// exactly as sent. Column names that differ only in ASCII letter case are one
// column, as they are in the warehouse: the later datapoint overwrites in place.
// A datapoint without a name goes to the column "_".
// A reading without a table name is dropped with a warning. Without a builder,
// mapping logs an error and gives empty results. The mapper does not own the
// builder and reads the host's readings without keeping them. It keeps no
// state between calls; not thread-safe against a concurrent change of its
// builder or instance name.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class Reading;
class Datapoint;
class DatapointValue;
class SQLBuilder;

typedef uint32_t ColumnConstraint;
constexpr ColumnConstraint CONSTRAINT_NONE = 0;
constexpr ColumnConstraint CONSTRAINT_NOT_NULL = 1;
constexpr ColumnConstraint CONSTRAINT_NULLABLE = 2;
constexpr ColumnConstraint CONSTRAINT_PRIMARY_KEY = 4;
constexpr ColumnConstraint CONSTRAINT_UNIQUE = 8;

class DatabaseRecord {
  public:
    DatabaseRecord() = default;
    explicit DatabaseRecord(const std::string& tableName) : tableName(tableName) {}
    DatabaseRecord(DatabaseRecord&& other) noexcept;
    DatabaseRecord& operator=(DatabaseRecord&& other) noexcept;
    DatabaseRecord(const DatabaseRecord&) = delete;
    DatabaseRecord& operator=(const DatabaseRecord&) = delete;
    ~DatabaseRecord() = default;

    void setTableName(const std::string& name) { tableName = name; }
    const std::string& getTableName() const { return tableName; }

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

    const std::vector<std::string>& getColumnNames() const { return columnNames; }
    const std::vector<std::string>& getValues() const { return values; }
    // Empty text / CONSTRAINT_NONE for a name that is not a column.
    std::string getValue(const std::string& name) const;
    std::string getSQLType(const std::string& name) const;
    ColumnConstraint getConstraints(const std::string& name) const;
    bool hasColumn(const std::string& name) const;

    // Position-based access for callers that already hold a position.
    size_t columnCount() const { return columnNames.size(); }
    const std::string& valueAt(size_t position) const { return values[position]; }
    const std::string& sqlTypeAt(size_t position) const { return sqlTypes[position]; }
    ColumnConstraint constraintAt(size_t position) const { return constraints[position]; }
    // Position of a column, or -1 when there is none.
    int64_t findColumn(const std::string& name) const;
    // Gives the column at `position` another name, keeping its place, value,
    // type and constraint. False (and nothing changed) when the position is
    // out of range or another column already has the new name.
    bool renameColumn(size_t position, const std::string& name);

    // Makes room for that many columns without changing the record.
    void reserve(size_t columns);
    void clear();

  private:
    std::string tableName;
    std::vector<std::string> columnNames;
    std::vector<std::string> values;
    std::vector<std::string> sqlTypes;
    std::vector<ColumnConstraint> constraints;
    std::map<std::string, uint64_t> columnIndex;
};

// Records grouped by table name, in ascending byte order of the names.
using TableGroups = std::map<std::string, std::vector<DatabaseRecord>>;

class ReadingMapper {
  public:
    ReadingMapper() : instanceName("corvaneInstance") {}
    explicit ReadingMapper(const std::string& instanceName) : instanceName(instanceName) {}
    ReadingMapper(const std::string& instanceName, SQLBuilder* builder)
        : instanceName(instanceName), sqlBuilder(builder) {}
    ReadingMapper(const ReadingMapper&) = delete;
    ReadingMapper& operator=(const ReadingMapper&) = delete;
    ~ReadingMapper() = default;

    void setCorvaneInstance(const std::string& name) { instanceName = name; }
    std::string getCorvaneInstance() const { return instanceName; }
    void setSQLBuilder(SQLBuilder* builder) { sqlBuilder = builder; }
    SQLBuilder* getSQLBuilder() const { return sqlBuilder; }

    std::string getHintName() const;
    bool shouldSkipDatapoint(const std::string& name) const;
    std::string datapointValueToString(const DatapointValue& value) const;

    DatabaseRecord mapReadingToRecord(const Reading* reading) const;
    std::vector<DatabaseRecord> mapReadingsToRecords(const std::vector<Reading*>& readings) const;

    // Table routing. extractTableName gives the routed name as the reading
    // spells it; mapReadingToRecord stores the builder's tableNameFor of it.
    std::string extractTableName(const Reading* reading) const;
    // Moves the records with a table name into one list per table, in
    // ascending byte order of the names; the input records are left empty.
    TableGroups groupRecordsByTable(std::vector<DatabaseRecord>& records) const;

  private:
    // Both need a builder; the texts are the builder's, fetched once per batch.
    DatabaseRecord mapWithBuilder(const Reading& reading, const std::string& hintName,
                                  const std::string& stringType,
                                  const std::string& timestampType) const;
    std::string routeReading(const Reading& reading, const std::string& hintName) const;
    std::string routeByHint(const std::string& assetCode, const Datapoint& hint,
                            const std::string& hintName) const;

    std::string instanceName;
    SQLBuilder* sqlBuilder = nullptr;
};
