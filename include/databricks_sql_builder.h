#pragma once
// DatabricksSQLBuilder: the Databricks SQL (Spark SQL) dialect.
//
// Keeps the statement shapes and constraint texts of SQLBuilder and changes:
// the column type of each value kind (and so of each datapoint type tag), the mapping of type names
// read back from the warehouse, how literals and values are written (value_format.h: backslash
// escapes, parse_json for VARIANT, which values stay unquoted), the hint datapoint name, the names
// the warehouse accepts, and the factory. escapeString, formatValue and both appendFormattedValue
// are final and all write through value_format.h, so that they cannot drift apart. Stateless apart
// from the inherited INSERT state and the table naming rule of the stream transport; not
// thread-safe as SQLBuilder.

#include <string>

#include "sql_builder.h"

class DatabricksSQLBuilder : public SQLBuilder {
  public:
    DatabricksSQLBuilder() = default;
    ~DatabricksSQLBuilder() override = default;

    std::string escapeString(const std::string& value) const final;
    std::string formatValue(const std::string& value, const std::string& columnType) const final;
    void appendFormattedValue(std::string& out, const std::string& value,
                              const std::string& columnType) const final;
    void appendFormattedValue(std::string& out, const std::string& value,
                              const ColumnType& columnType) const final;
    ValueFit fitValue(const std::string& value, ValueKind kind,
                      const ColumnType& column) const final;
    void appendFittedValue(std::string& out, const std::string& value, ValueKind kind,
                           const ColumnType& column, ValueFit fit) const final;
    std::string columnTypeFor(ValueKind kind) const override;
    std::string normalizeColumnType(const std::string& type) const override;
    SQLBuilder* createSQLBuilder() const override;
    std::string getHintName() const override;
    std::string tableNameFor(const std::string& name) const override;
    std::string columnNameFor(const std::string& name) const override;

    // With the stream transport table names hold only ASCII letters, digits
    // and underscores: tableNameFor then turns every other byte into '_'.
    void setPlainTableNames(bool plain) { plainTableNames = plain; }

    std::string formatValueForDatabricks(const std::string& value,
                                         const std::string& columnType) const;

  private:
    bool plainTableNames = false;
};
