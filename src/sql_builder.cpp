#include "sql_builder.h"

#include <algorithm>
#include <cstring>

#include "text_util.h"

namespace {

const std::string kStringType = "VARCHAR(256)";
const std::string kTimestampType = "TIMESTAMP";
const std::string kBacktick = "`";
const std::string kApostrophe = "'";
const std::string kEmpty;

constexpr const char kListSeparator[] = ", ";
constexpr size_t kListSeparatorLength = sizeof(kListSeparator) - 1;
// Row text is kept in pieces of this size: small enough to be carved from
// memory that freed records leave behind, large enough to be few.
constexpr size_t kRowPieceBytes = 64 * 1024;
constexpr size_t kFirstRowPieceBytes = 4 * 1024;

// Appends the columns a query of `detail` asks for beyond data_type.
// is_nullable tells a NOT NULL column; full_data_type carries the type's
// parameters ("varchar(300)", "decimal(10,2)") where data_type is the bare
// type name.
void appendDetailColumns(std::string& sql, SchemaQueryDetail detail) {
    if (detail >= SchemaQueryDetail::Nullability)
        sql.append(",is_nullable");
    if (detail == SchemaQueryDetail::Bounds)
        sql.append(",character_maximum_length,numeric_precision,numeric_scale");
    if (detail == SchemaQueryDetail::Full)
        sql.append(",full_data_type");
}

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

}  // namespace

std::string SQLBuilder::buildCreateTable(const std::string& table,
                                         const ColumnDefinitions& columns) const {
    size_t size = 32 + table.size();
    for (const auto& column : columns)
        size += column.first.size() + column.second.size() + 8;
    std::string sql;
    sql.reserve(size);
    sql.append("CREATE TABLE ");
    appendIdentifier(sql, table);
    sql.append(" (");
    bool first = true;
    for (const auto& column : columns) {
        if (!first)
            sql.append(kListSeparator, kListSeparatorLength);
        first = false;
        appendColumnDefinition(sql, column.first, column.second);
    }
    sql.push_back(')');
    return sql;
}

std::string SQLBuilder::buildAlterTable(const std::string& table, const std::string& column,
                                        const std::string& definition) const {
    std::string sql;
    sql.reserve(40 + table.size() + column.size() + definition.size());
    sql.append("ALTER TABLE ");
    appendIdentifier(sql, table);
    sql.append(" ADD COLUMN ");
    appendColumnDefinition(sql, column, definition);
    return sql;
}

std::string SQLBuilder::buildInsert() const {
    return buildInsertStatement(false);
}

std::string SQLBuilder::buildBulkInsert() const {
    return buildInsertStatement(true);
}

void SQLBuilder::setValues(const Rows& newRows) {
    clearValues();
    for (const auto& row : newRows)
        appendRow(row);
}

void SQLBuilder::appendRow(const std::vector<std::string>& row) {
    size_t length = 2;
    for (const auto& value : row)
        length += value.size() + kListSeparatorLength;
    if (!row.empty())
        length -= kListSeparatorLength;
    if (statementLimit > 0) {
        if (rows == 0)
            headerLength = isMerge() ? buildMergeStatement(true).size()
                                     : buildInsertStatement(false, true).size();
        else if (headerLength + rowsTextLength + kListSeparatorLength + length > statementLimit)
            finishStatement();
    }
    if (rows > 0)
        length += kListSeparatorLength;
    if (rowPieces.empty() || rowPieces.back().size() + length > rowPieces.back().capacity()) {
        // Pieces double from 4 KiB up to 64 KiB, so a small batch does not
        // hold a large piece it hardly uses.
        const size_t previous = rowPieces.empty() ? 0 : rowPieces.back().capacity();
        const size_t target = std::min(kRowPieceBytes, std::max(kFirstRowPieceBytes, 2 * previous));
        std::string piece;
        piece.reserve(std::max(target, length));
        rowPieces.push_back(std::move(piece));
    }
    std::string& piece = rowPieces.back();
    const size_t start = piece.size();
    piece.resize(start + length);
    char* out = &piece[start];
    if (rows > 0) {
        std::memcpy(out, kListSeparator, kListSeparatorLength);
        out += kListSeparatorLength;
    }
    *out++ = '(';
    for (size_t v = 0; v < row.size(); ++v) {
        if (v > 0) {
            std::memcpy(out, kListSeparator, kListSeparatorLength);
            out += kListSeparatorLength;
        }
        std::memcpy(out, row[v].data(), row[v].size());
        out += row[v].size();
    }
    *out = ')';
    rowsTextLength += length;
    if (rows == 0)
        firstRowLength = rowsTextLength;
    ++rows;
}

void SQLBuilder::clearValues() {
    std::vector<std::string>().swap(rowPieces);
    rowsTextLength = 0;
    firstRowLength = 0;
    rows = 0;
    std::vector<BulkInsert>().swap(finished);
}

void SQLBuilder::finishStatement() {
    finished.push_back(
        BulkInsert{isMerge() ? buildMergeStatement(false) : buildBulkInsert(), rows});
    std::vector<std::string>().swap(rowPieces);
    rowsTextLength = 0;
    firstRowLength = 0;
    rows = 0;
}

std::vector<SQLBuilder::BulkInsert> SQLBuilder::takeBulkInserts() {
    if (rows > 0)
        finishStatement();
    std::vector<BulkInsert> inserts = std::move(finished);
    clearValues();
    return inserts;
}

std::string SQLBuilder::buildInsertStatement(bool allRows, bool headerOnly) const {
    if (tableName.empty() || columns.empty() || (rows == 0 && !headerOnly))
        return std::string();
    const size_t rowBytes = headerOnly ? 0 : allRows ? rowsTextLength : firstRowLength;

    // Size the statement first so that it is written into one allocation.
    // Identifiers are counted with room for their quotes; a doubled closing
    // quote inside a name may grow the text a little beyond this, which is rare.
    size_t size = 32 + tableName.size() + 8 + rowBytes;
    for (const auto& column : columns)
        size += column.size() + 4 + kListSeparatorLength;

    std::string sql;
    sql.reserve(size);
    sql.append("INSERT INTO ");
    appendIdentifier(sql, tableName);
    sql.append(" (");
    for (size_t c = 0; c < columns.size(); ++c) {
        if (c > 0)
            sql.append(kListSeparator, kListSeparatorLength);
        appendIdentifier(sql, columns[c]);
    }
    sql.append(") VALUES ");
    if (headerOnly)
        return sql;
    if (allRows) {
        for (const std::string& piece : rowPieces)
            sql.append(piece);
    } else {
        sql.append(rowPieces.front(), 0, firstRowLength);
    }
    return sql;
}

std::string SQLBuilder::buildMergeStatement(bool headerOnly) const {
    // MERGE INTO `t` AS t USING (VALUES <rows>) AS s(`a`, `b`)
    // ON t.`a` <=> s.`a` AND to_json(t.`b`) <=> to_json(s.`b`)
    // WHEN NOT MATCHED THEN INSERT (`a`, `b`) VALUES (s.`a`, s.`b`)
    std::string names;
    std::string sourceValues;
    std::string match;
    for (size_t c = 0; c < columns.size(); ++c) {
        const std::string name = quoteIdentifier(columns[c]);
        names.append(c > 0 ? ", " : "").append(name);
        sourceValues.append(c > 0 ? ", s." : "s.").append(name);
        const ColumnMatch how = c < mergeMatch.size() ? mergeMatch[c] : ColumnMatch::Equal;
        if (how == ColumnMatch::Ignore)
            continue;
        match.append(match.empty() ? "" : " AND ");
        if (how == ColumnMatch::AsJson)
            match.append("to_json(t.").append(name).append(") <=> to_json(s.").append(name + ")");
        else
            match.append("t.").append(name).append(" <=> s.").append(name);
    }
    std::string sql;
    sql.reserve(128 + 3 * names.size() + match.size() + (headerOnly ? 0 : rowsTextLength));
    sql.append("MERGE INTO ");
    appendIdentifier(sql, tableName);
    sql.append(" AS t USING (VALUES ");
    if (!headerOnly) {
        for (const std::string& piece : rowPieces)
            sql.append(piece);
    }
    sql.append(") AS s(").append(names).append(") ON ").append(match.empty() ? "FALSE" : match);
    sql.append(" WHEN NOT MATCHED THEN INSERT (").append(names).append(") VALUES (");
    sql.append(sourceValues).append(")");
    return sql;
}

std::string SQLBuilder::escapeString(const std::string& value) const {
    const std::string quote = getStringQuote();
    const size_t quotes = countOccurrences(value, quote);
    std::string literal;
    literal.reserve(value.size() + quote.size() * (quotes + 2));
    literal.append(quote);
    if (quotes == 0) {
        literal.append(value);
    } else {
        size_t start = 0;
        for (size_t pos = value.find(quote); pos != std::string::npos;
             pos = value.find(quote, start)) {
            literal.append(value, start, pos - start);
            literal.append(quote).append(quote);
            start = pos + quote.size();
        }
        literal.append(value, start, std::string::npos);
    }
    literal.append(quote);
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
    std::string suffix;
    if (constraint == CONSTRAINT_NONE)
        return suffix;
    if (constraint & CONSTRAINT_NOT_NULL)
        suffix.append(" NOT NULL");
    if (constraint & CONSTRAINT_PRIMARY_KEY)
        suffix.append(" PRIMARY KEY");
    if (constraint & CONSTRAINT_UNIQUE)
        suffix.append(" UNIQUE");
    return suffix;
}

std::string SQLBuilder::buildInformationSchemaQuery(const std::string& schema,
                                                    const std::string& table) const {
    return buildInformationSchemaQuery(schema, table, SchemaQueryDetail::Full);
}

std::string SQLBuilder::buildInformationSchemaQuery(const std::string& schema,
                                                    const std::string& table,
                                                    SchemaQueryDetail detail) const {
    const std::string schemaLiteral = escapeString(foldAsciiCase(schema));
    const std::string tableLiteral = escapeString(foldAsciiCase(table));
    std::string sql;
    sql.reserve(160 + schemaLiteral.size() + tableLiteral.size());
    sql.append("SELECT column_name,data_type");
    appendDetailColumns(sql, detail);
    sql.append(" FROM information_schema.columns WHERE table_schema = ");
    sql.append(schemaLiteral);
    sql.append(" AND table_name = ");
    sql.append(tableLiteral);
    sql.append(" ORDER BY ordinal_position");
    return sql;
}

std::string SQLBuilder::buildInformationSchemaQuery(const std::string& schema,
                                                    const std::vector<std::string>& tables,
                                                    SchemaQueryDetail detail) const {
    std::string sql("SELECT table_name,column_name,data_type");
    appendDetailColumns(sql, detail);
    sql.append(" FROM information_schema.columns WHERE table_schema = ");
    sql.append(escapeString(foldAsciiCase(schema)));
    sql.append(" AND table_name IN (");
    for (size_t i = 0; i < tables.size(); ++i) {
        if (i > 0)
            sql.append(", ");
        sql.append(escapeString(foldAsciiCase(tables[i])));
    }
    sql.append(") ORDER BY table_name, ordinal_position");
    return sql;
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
    const std::string open = getIdentifierQuote();
    const std::string close = getIdentifierCloseQuote();
    out.append(open);
    if (close.empty()) {
        out.append(name);
    } else {
        // A closing quote inside the name is written twice, so the name can
        // never end the quoted identifier early.
        size_t start = 0;
        for (size_t pos = name.find(close); pos != std::string::npos;
             pos = name.find(close, start)) {
            out.append(name, start, pos - start);
            out.append(close).append(close);
            start = pos + close.size();
        }
        out.append(name, start, std::string::npos);
    }
    out.append(close);
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
