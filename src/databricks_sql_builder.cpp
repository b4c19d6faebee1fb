#include "databricks_sql_builder.h"

std::string DatabricksSQLBuilder::buildCreateTable(const std::string& table,
                                                   const ColumnDefinitions& columns) const {
    return dialect().createTable(table, columns);
}

std::string DatabricksSQLBuilder::buildAlterTable(const std::string& table,
                                                  const std::string& column,
                                                  const std::string& definition) const {
    return dialect().alterTable(table, column, definition);
}

std::string DatabricksSQLBuilder::escapeString(const std::string& value) const {
    return dialect().literal(value);
}

std::string DatabricksSQLBuilder::formatValue(const std::string& value,
                                              const std::string& columnType) const {
    std::string sql;
    dialect().appendValue(sql, value, ColumnType::parse(columnType));
    return sql;
}

std::string DatabricksSQLBuilder::formatValueForDatabricks(const std::string& value,
                                                           const std::string& columnType) const {
    return formatValue(value, columnType);
}

void DatabricksSQLBuilder::appendFormattedValue(std::string& out, const std::string& value,
                                                const std::string& columnType) const {
    dialect().appendValue(out, value, ColumnType::parse(columnType));
}

void DatabricksSQLBuilder::appendFormattedValue(std::string& out, const std::string& value,
                                                const ColumnType& columnType) const {
    dialect().appendValue(out, value, columnType);
}

ValueFit DatabricksSQLBuilder::fitValue(const std::string& value, ValueKind kind,
                                        const ColumnType& column) const {
    return dialect().fitValue(value, kind, column);
}

void DatabricksSQLBuilder::appendFittedValue(std::string& out, const std::string& value,
                                             ValueKind kind, const ColumnType& column,
                                             ValueFit fit) const {
    dialect().appendFittedValue(out, value, kind, column, fit);
}

std::string DatabricksSQLBuilder::columnTypeFor(ValueKind kind) const {
    return dialect().columnTypeFor(kind);
}

std::string DatabricksSQLBuilder::normalizeColumnType(const std::string& type) const {
    return dialect().normalizeColumnType(type);
}

SQLBuilder* DatabricksSQLBuilder::createSQLBuilder() const {
    return new DatabricksSQLBuilder();
}

std::string DatabricksSQLBuilder::getHintName() const {
    return dialect().hintName();
}

std::string DatabricksSQLBuilder::getIdentifierQuote() const {
    return "`";
}

std::string DatabricksSQLBuilder::getIdentifierCloseQuote() const {
    return "`";
}

std::string DatabricksSQLBuilder::tableNameFor(const std::string& name) const {
    return dialect().tableNameFor(name);
}

std::string DatabricksSQLBuilder::columnNameFor(const std::string& name) const {
    return dialect().columnNameFor(name);
}
