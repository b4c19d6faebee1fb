#pragma once
// DatabricksSQLBuilder: the Databricks SQL (Spark SQL) dialect.
//
// Keeps the statement shapes and constraint texts of SQLBuilder and changes:
// the column type of each datapoint kind, the mapping of type names read back
// from the warehouse, string literals with backslash escapes (Spark reads a
// backslash as an escape and does not read a doubled apostrophe as one; a NUL
// byte is written as \u0000 so that it cannot end the statement text),
// which values are written unquoted, VARIANT values through parse_json (a
// value that is not JSON goes in as a JSON string, so it cannot fail; bytes
// that are not UTF-8 become U+FFFD, as the warehouse reads JSON only so), the
// hint datapoint name, the names the warehouse accepts, and the factory.
// Literals and values are written by one routine, straight into the caller's
// text for appendFormattedValue; escapeString, formatValue and
// appendFormattedValue are final so that they cannot drift apart.
// Stateless apart from the inherited INSERT state; not thread-safe as SQLBuilder.

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
    std::string toSQLTypeString(int typeTag) const override;
    std::string normalizeColumnType(const std::string& type) const override;
    SQLBuilder* createSQLBuilder() const override;
    std::string getHintName() const override;
    std::string tableNameFor(const std::string& name) const override;
    std::string columnNameFor(const std::string& name) const override;

    std::string formatValueForDatabricks(const std::string& value,
                                         const std::string& columnType) const;
};
