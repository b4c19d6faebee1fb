#pragma once
// DatabricksSQLBuilder: the SQL builder of the Databricks dialect.
//
// A façade over Dialect::databricks(): every text rule it overrides (column
// types, type names read back, literals and values, names the warehouse
// accepts, the hint datapoint name) and every statement text comes from the
// dialect, so that the builder and the send path (which uses the dialect
// directly) cannot drift apart. The overrides are final. Holds only the
// inherited INSERT state; not thread-safe, as SQLBuilder.

#include <memory>
#include <string>

#include "dialect.h"
#include "sql_builder.h"

class DatabricksSQLBuilder : public SQLBuilder {
  public:
    DatabricksSQLBuilder() = default;
    ~DatabricksSQLBuilder() override = default;

    std::string buildCreateTable(const std::string& table,
                                 const ColumnDefinitions& columns) const final;
    std::string buildAlterTable(const std::string& table, const std::string& column,
                                const std::string& definition) const final;
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
    std::string columnTypeFor(ValueKind kind) const final;
    std::string normalizeColumnType(const std::string& type) const final;
    SQLBuilder* createSQLBuilder() const override;
    std::string getHintName() const final;
    std::string getIdentifierQuote() const final;
    std::string getIdentifierCloseQuote() const final;
    std::string tableNameFor(const std::string& name) const final;
    std::string columnNameFor(const std::string& name) const final;

    std::string formatValueForDatabricks(const std::string& value,
                                         const std::string& columnType) const;
    // The dialect behind this builder.
    const Dialect& dialect() const { return Dialect::databricks(); }
};
