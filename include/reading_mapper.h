#pragma once
// Readings into rows.
//
// ReadingMapper turns host readings into records: four fixed columns
// (asset_code and corvane labels, user_ts and ts times) and one column per
// datapoint with the kind of its value (valueKindOfTag of its type tag), the
// hint datapoint name taken from the SQL builder, and chooses each record's
// table: a hint datapoint's "tablename", else the one table for all readings
// when one is set (setTable), else the asset code. Table
// and column names go through the builder's tableNameFor / columnNameFor, so
// records carry only names the warehouse accepts; the asset_code value stays
// exactly as sent. No reading is ever routed to the rejects table: a table
// name that is, once renamed, the rejects table's (in any letter case) gets
// the suffix _asset (lakesink_rejects_asset). A datapoint named like a fixed column or the
// rescued-data column (asset_code, user_ts, ts, corvane, _rescued_data, in any letter case) is
// written to that name prefixed with dp_, so a row's fixed columns always hold the reading's own
// values. Column names that differ only in ASCII letter case are one column, as they are in the
// warehouse: when two datapoints of a reading share a column (dp_ts and ts included) the later
// one's value is written, with a warning. Doubles are written as the shortest text that reads back
// as the same double; structured values as JSON whose objects repeat no key. A hint is read as JSON
// (a text hint) or directly (a dict hint); a hint naming no table, or a table whose name is empty
// once renamed, leaves the reading to its asset code. A reading without a table name gets no record
// (the table writer keeps it in the rejects table), with a warning.
//
// With the Variant layout (setDatapointLayout) a record has the four fixed
// columns and the column datapoints (a structured value) holding one strict
// JSON object of the reading's datapoints: keys exactly as sent, a key
// repeated (at any depth) keeping its last value at its first position, NaN
// and the infinities as the strings "NaN", "Infinity", "-Infinity". The hint
// datapoint steers routing only and is not in the object. Each record of a batch knows its
// reading's index in the batch. Without a builder, mapping logs an error and gives empty results.
// The mapper does not own the builder and reads the host's readings without keeping them. Within
// one batch it reuses the column list of an earlier reading whose datapoints have the same names
// and kinds; nothing is kept between calls. Not thread-safe against a concurrent change of its
// builder or instance name.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "database_record.h"
#include "odbc_config.h"

class Reading;
class Datapoint;
class DatapointValue;
class SQLBuilder;

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
    // The table for every reading without a hint, as the user wrote it
    // (renamed when mapping); empty for a table per asset code.
    void setTable(const std::string& name) { allReadingsTable = name; }
    const std::string& getTable() const { return allReadingsTable; }
    void setDatapointLayout(ODBCConfig::DatapointLayout value) { layout = value; }
    ODBCConfig::DatapointLayout getDatapointLayout() const { return layout; }

    std::string getHintName() const;
    bool shouldSkipDatapoint(const std::string& name) const;
    std::string datapointValueToString(const DatapointValue& value) const;

    DatabaseRecord mapReadingToRecord(const Reading* reading) const;
    std::vector<DatabaseRecord> mapReadingsToRecords(const std::vector<Reading*>& readings) const;

    // Table routing. extractTableName gives the routed name as the reading
    // (or the table setting) spells it; mapReadingToRecord stores the builder's tableNameFor of it.
    std::string extractTableName(const Reading* reading) const;
    // Moves the records with a table name into one list per table, in
    // ascending byte order of the names; the input records are left empty.
    // Names equal but for ASCII letter case are one table, as in the
    // warehouse: its group, and each of its records, carry the first spelling
    // of the list.
    TableGroups groupRecordsByTable(std::vector<DatabaseRecord>& records) const;
    // As above, taking the list: it is left empty.
    TableGroups groupRecordsByTable(std::vector<DatabaseRecord>&& records) const;

  private:
    // What mapping one batch needs besides the reading: the builder's fixed
    // texts, fetched once, and the column lists built so far (see the .cpp).
    struct BatchContext;
    // Both need a builder.
    DatabaseRecord mapWithBuilder(const Reading& reading, BatchContext& batch) const;
    // One datapoint's entry in a shape (see the .cpp).
    struct ShapeEntry;
    // Spellings of a record's columns ignoring ASCII case (see the .cpp).
    class CaseFolding;
    // Maps a reading to the fixed columns and one JSON object (Variant layout).
    DatabaseRecord mapVariant(const Reading& reading, BatchContext& batch) const;
    // Sets the values of the four fixed columns of a record that has them.
    void setFixedValues(DatabaseRecord& record, const Reading& reading) const;
    // The builder's tableNameFor of `name`, moved off the rejects table.
    std::string warehouseTableName(const std::string& name) const;
    // The renamed table for all readings; empty when none is set.
    std::string sharedTableName() const;
    // Maps a reading column by column; notes its shape in the context.
    DatabaseRecord mapNewShape(const Reading& reading, BatchContext& batch) const;
    // Adds asset_code, user_ts, ts and corvane.
    void addFixedColumns(DatabaseRecord& record, const Reading& reading) const;
    // The column a datapoint of this name is written to in `record`.
    std::string columnNameOf(const std::string& datapoint, const DatabaseRecord& record,
                             CaseFolding& folding) const;
    // Adds the datapoint's column (or overwrites the one it shares) and
    // returns its shape entry.
    ShapeEntry addDatapointColumn(DatabaseRecord& record, const Datapoint& datapoint,
                                  const Reading& reading, CaseFolding& folding) const;
    // Sets the record's table: the hint's, else the asset code's, renamed
    // for the warehouse.
    void routeRecord(DatabaseRecord& record, const std::string& assetCode, const Datapoint* hint,
                     BatchContext& batch) const;
    std::string routeReading(const Reading& reading, const std::string& hintName) const;
    // Returns true iff the hint names a table whose name stays non-empty once
    // renamed for the warehouse; then stores the name as the hint spells it in
    // *spelled and as renamed in *table (either may be null).
    bool tableFromHint(const Datapoint& hint, const std::string& hintName, std::string* spelled,
                       std::string* table) const;

    std::string instanceName;
    SQLBuilder* sqlBuilder = nullptr;
    std::string allReadingsTable;
    ODBCConfig::DatapointLayout layout = ODBCConfig::DatapointLayout::Columns;
};
