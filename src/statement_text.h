#pragma once
// The statement texts that do not depend on how a dialect quotes: CREATE
// TABLE, ALTER TABLE, the head of an INSERT and the information-schema column
// queries, each given the dialect's way of writing an identifier
// (appendId(out, name)) or a string literal (literal(text)). Used by Dialect
// and by the generic SQLBuilder, so that the two always agree.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "database_record.h"
#include "dialect.h"
#include "text_util.h"

namespace statement_text {

constexpr const char kListSeparator[] = ", ";

// Appends `text` between `open` and `close`, every `close` inside it written
// twice, so that no text can end the quoted identifier or literal early. An
// empty `close` quotes nothing: the text is written as it is.
inline void appendQuoted(std::string& out, const std::string& text, std::string_view open,
                         std::string_view close) {
    out.append(open);
    size_t start = 0;
    for (size_t pos = close.empty() ? std::string::npos : text.find(close);
         pos != std::string::npos; pos = text.find(close, start)) {
        out.append(text, start, pos - start);
        out.append(close).append(close);
        start = pos + close.size();
    }
    out.append(text, start, std::string::npos);
    out.append(close);
}

template <typename AppendId>
std::string createTable(AppendId appendId, const std::string& table,
                        const std::vector<std::pair<std::string, std::string>>& columns) {
    size_t size = 32 + table.size();
    for (const auto& column : columns)
        size += column.first.size() + column.second.size() + 8;
    std::string sql;
    sql.reserve(size);
    sql.append("CREATE TABLE ");
    appendId(sql, table);
    sql.append(" (");
    for (size_t c = 0; c < columns.size(); ++c) {
        if (c > 0)
            sql.append(kListSeparator);
        appendId(sql, columns[c].first);
        sql.push_back(' ');
        sql.append(columns[c].second);
    }
    sql.push_back(')');
    return sql;
}

template <typename AppendId>
std::string alterTable(AppendId appendId, const std::string& table, const std::string& column,
                       const std::string& definition) {
    std::string sql;
    sql.reserve(40 + table.size() + column.size() + definition.size());
    sql.append("ALTER TABLE ");
    appendId(sql, table);
    sql.append(" ADD COLUMN ");
    appendId(sql, column);
    sql.push_back(' ');
    sql.append(definition);
    return sql;
}

template <typename AppendId>
std::string insertHead(AppendId appendId, const std::string& table,
                       const std::vector<std::string>& columns) {
    size_t size = 32 + table.size();
    for (const auto& column : columns)
        size += column.size() + 6;
    std::string sql;
    sql.reserve(size);
    sql.append("INSERT INTO ");
    appendId(sql, table);
    sql.append(" (");
    for (size_t c = 0; c < columns.size(); ++c) {
        if (c > 0)
            sql.append(kListSeparator);
        appendId(sql, columns[c]);
    }
    sql.append(") VALUES ");
    return sql;
}

// Appends the columns a query of `detail` asks for beyond data_type.
// is_nullable tells a NOT NULL column; full_data_type carries the type's
// parameters ("varchar(300)", "decimal(10,2)") where data_type is the bare
// type name; without it, character_maximum_length, numeric_precision and
// numeric_scale give them where the warehouse knows them.
inline void appendDetailColumns(std::string& sql, SchemaQueryDetail detail) {
    if (detail >= SchemaQueryDetail::Nullability)
        sql.append(",is_nullable");
    if (detail == SchemaQueryDetail::Bounds)
        sql.append(",character_maximum_length,numeric_precision,numeric_scale");
    if (detail == SchemaQueryDetail::Full)
        sql.append(",full_data_type");
}

template <typename Literal>
std::string columnsQuery(Literal literal, const std::string& schema, const std::string& table,
                         SchemaQueryDetail detail) {
    std::string sql("SELECT column_name,data_type");
    appendDetailColumns(sql, detail);
    sql.append(" FROM information_schema.columns WHERE table_schema = ");
    sql.append(literal(foldAsciiCase(schema)));
    sql.append(" AND table_name = ");
    sql.append(literal(foldAsciiCase(table)));
    sql.append(" ORDER BY ordinal_position");
    return sql;
}

template <typename Literal>
std::string columnsQuery(Literal literal, const std::string& schema,
                         const std::vector<std::string>& tables, SchemaQueryDetail detail) {
    std::string sql("SELECT table_name,column_name,data_type");
    appendDetailColumns(sql, detail);
    sql.append(" FROM information_schema.columns WHERE table_schema = ");
    sql.append(literal(foldAsciiCase(schema)));
    sql.append(" AND table_name IN (");
    for (size_t i = 0; i < tables.size(); ++i) {
        if (i > 0)
            sql.append(kListSeparator);
        sql.append(literal(foldAsciiCase(tables[i])));
    }
    sql.append(") ORDER BY table_name, ordinal_position");
    return sql;
}

inline std::string constraintText(ColumnConstraint constraint) {
    std::string suffix;
    if (constraint & CONSTRAINT_NOT_NULL)
        suffix.append(" NOT NULL");
    if (constraint & CONSTRAINT_PRIMARY_KEY)
        suffix.append(" PRIMARY KEY");
    if (constraint & CONSTRAINT_UNIQUE)
        suffix.append(" UNIQUE");
    return suffix;
}

}  // namespace statement_text
