#include "sql_builder.h"

#include "statement_text.h"

namespace {

const std::string kStringType = "VARCHAR(256)";
const std::string kTimestampType = "TIMESTAMP";
const std::string kBacktick = "`";
const std::string kApostrophe = "'";
const std::string kEmpty;

// Number of times `needle` occurs in `text`, scanning without overlap.
size_t countOccurrences(const std::string& text, const std::string& needle) {
    if (needle.empty())
        return 0;
    size_t count = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos;
         pos = text.find(needle, pos + needle.size())) {
        ++count;
    }
    return count;
}

// The builder's identifier and literal rules, for the shared statement texts.
struct Identifiers {
    const SQLBuilder& builder;
    void operator()(std::string& out, const std::string& name) const {
        builder.appendIdentifier(out, name);
    }
};
struct Literals {
    const SQLBuilder& builder;
    std::string operator()(const std::string& text) const { return builder.escapeString(text); }
};

}  // namespace

std::string SQLBuilder::buildCreateTable(const std::string& table,
                                         const ColumnDefinitions& columns) const {
    return statement_text::createTable(Identifiers{*this}, table, columns);
}

std::string SQLBuilder::buildAlterTable(const std::string& table, const std::string& column,
                                        const std::string& definition) const {
    return statement_text::alterTable(Identifiers{*this}, table, column, definition);
}

std::string SQLBuilder::buildInsert() const {
    return buildInsertStatement(false);
}

std::string SQLBuilder::buildBulkInsert() const {
    return buildInsertStatement(true);
}

void SQLBuilder::setValues(const Rows& newRows) {
    values.clear();
    for (const auto& row : newRows)
        values.appendRow(row);
}

std::string SQLBuilder::buildInsertStatement(bool allRows) const {
    if (tableName.empty() || columns.empty() || values.rowCount() == 0)
        return std::string();
    std::string sql = statement_text::insertHead(Identifiers{*this}, tableName, columns);
    sql.reserve(sql.size() + values.rowsTextLength());
    if (allRows)
        values.appendRowsTo(sql);
    else
        values.appendFirstRowTo(sql);
    return sql;
}

std::string SQLBuilder::escapeString(const std::string& value) const {
    const std::string quote = getStringQuote();
    const size_t quotes = countOccurrences(value, quote);
    std::string literal;
    literal.reserve(value.size() + quote.size() * (quotes + 2));
    statement_text::appendQuoted(literal, value, quote, quote);
    return literal;
}

std::string SQLBuilder::formatValue(const std::string& value, const std::string&) const {
    return value;
}

void SQLBuilder::appendFormattedValue(std::string& out, const std::string& value,
                                      const std::string& columnType) const {
    out.append(formatValue(value, columnType));
}

void SQLBuilder::appendFormattedValue(std::string& out, const std::string& value,
                                      const ColumnType&) const {
    out.append(formatValue(value, std::string()));
}

ValueFit SQLBuilder::fitValue(const std::string&, ValueKind, const ColumnType&) const {
    return ValueFit::Exact;
}

void SQLBuilder::appendFittedValue(std::string& out, const std::string& value, ValueKind,
                                   const ColumnType& column, ValueFit) const {
    appendFormattedValue(out, value, column);
}

std::string SQLBuilder::toSQLTypeString(int typeTag) const {
    return columnTypeFor(valueKindOfTag(typeTag));
}

std::string SQLBuilder::columnTypeFor(ValueKind kind) const {
    switch (kind) {
        case ValueKind::Label:
            return getStringType();
        case ValueKind::Timestamp:
            return getTimestampType();
        default:
            return kStringType;
    }
}

std::string SQLBuilder::columnDefinition(ValueKind kind, ColumnConstraint constraint) const {
    return columnTypeFor(kind) + decodeConstraints(constraint);
}

std::string SQLBuilder::normalizeColumnType(const std::string&) const {
    return kEmpty;
}

std::string SQLBuilder::getTimestampType() const {
    return kTimestampType;
}

std::string SQLBuilder::getStringType() const {
    return kStringType;
}

std::string SQLBuilder::decodeConstraints(ColumnConstraint constraint) const {
    return statement_text::constraintText(constraint);
}

std::string SQLBuilder::buildInformationSchemaQuery(const std::string& schema,
                                                    const std::string& table) const {
    return buildInformationSchemaQuery(schema, table, SchemaQueryDetail::Full);
}

std::string SQLBuilder::buildInformationSchemaQuery(const std::string& schema,
                                                    const std::string& table,
                                                    SchemaQueryDetail detail) const {
    return statement_text::columnsQuery(Literals{*this}, schema, table, detail);
}

std::string SQLBuilder::buildInformationSchemaQuery(const std::string& schema,
                                                    const std::vector<std::string>& tables,
                                                    SchemaQueryDetail detail) const {
    return statement_text::columnsQuery(Literals{*this}, schema, tables, detail);
}

std::string SQLBuilder::getIdentifierQuote() const {
    return kBacktick;
}

std::string SQLBuilder::getIdentifierCloseQuote() const {
    return kBacktick;
}

std::string SQLBuilder::getStringQuote() const {
    return kApostrophe;
}

std::string SQLBuilder::tableNameFor(const std::string& name) const {
    return name;
}

std::string SQLBuilder::columnNameFor(const std::string& name) const {
    return name;
}

void SQLBuilder::appendIdentifier(std::string& out, const std::string& name) const {
    statement_text::appendQuoted(out, name, getIdentifierQuote(), getIdentifierCloseQuote());
}

std::string SQLBuilder::quoteIdentifier(const std::string& name) const {
    std::string quoted;
    quoted.reserve(name.size() + 4);
    appendIdentifier(quoted, name);
    return quoted;
}

void SQLBuilder::appendColumnDefinition(std::string& out, const std::string& column,
                                        const std::string& definition) const {
    appendIdentifier(out, column);
    out.push_back(' ');
    out.append(definition);
}
