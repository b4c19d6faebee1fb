// SELECT and WITH queries with their typed result columns, and DELETE.

#include <sqlext.h>

#include <algorithm>
#include <charconv>
#include <map>
#include <optional>
#include <vector>

#include "diagnostics.h"
#include "query_translation.h"
#include "relation_scope.h"
#include "spark_lexer.h"
#include "statement_analysis.h"
#include "statement_kinds.h"
#include "storage.h"
#include "warehouse_types.h"

namespace whemu {

namespace {

void renderCell(sqlite3_stmt* stmt, int column, const char* declared, std::string& out,
                bool& isNull) {
    isNull = false;
    switch (sqlite3_column_type(stmt, column)) {
        case SQLITE_NULL:
            isNull = true;
            out.clear();
            return;
        case SQLITE_INTEGER: {
            const int64_t v = sqlite3_column_int64(stmt, column);
            if (declared && equalsIgnoreCase(declared, "BOOLINT")) {
                out = v ? "true" : "false";
            } else {
                out = std::to_string(v);
            }
            return;
        }
        case SQLITE_FLOAT: {
            const double v = sqlite3_column_double(stmt, column);
            out = (declared && equalsIgnoreCase(declared, "FLOAT"))
                      ? formatFloat(static_cast<float>(v))
                      : formatDouble(v);
            return;
        }
        default: {
            const void* data = sqlite3_column_blob(stmt, column);
            const int size = sqlite3_column_bytes(stmt, column);
            out.assign(static_cast<const char*>(data ? data : ""), static_cast<size_t>(size));
            return;
        }
    }
}

int odbcType(const char* declared);

// The type of a result column read straight from a table column: the
// warehouse type the catalog keeps for it (`tables` caches the catalog).
// Columns of expressions are typed by finishColumn once their values are known.
ResultColumn describeColumn(sqlite3* db, sqlite3_stmt* stmt, int i,
                            std::map<std::string, std::vector<Column>>& tables) {
    ResultColumn column;
    const char* name = sqlite3_column_name(stmt, i);
    column.name = name ? name : "";
    const char* database = sqlite3_column_database_name(stmt, i);
    const char* table = sqlite3_column_table_name(stmt, i);
    const char* origin = sqlite3_column_origin_name(stmt, i);
    if (!database || std::string_view(database) != "main" || !table || !origin)
        return column;
    const auto known = tables.find(table);
    std::vector<Column>& columns =
        known != tables.end() ? known->second : tables[table];  // read once per query
    if (known == tables.end())
        loadTable(db, table, columns);
    for (const Column& c : columns) {
        if (equalsIgnoreCase(c.name, origin)) {
            column.typed = true;
            column.sqlType = sqlTypeOf(c.type, column.columnSize, column.decimalDigits);
        }
    }
    return column;
}

// Types a column the catalog does not know from its declared storage type or
// from the SQLite types of its values, and settles its display size.
void finishColumn(ResultColumn& column, const char* declared, int seen) {
    if (!column.typed) {
        const int numeric = (1 << SQLITE_INTEGER) | (1 << SQLITE_FLOAT) | (1 << SQLITE_NULL);
        if (declared) {
            column.sqlType = odbcType(declared);
        } else if (seen != 0 && (seen & ~numeric) == 0) {
            column.sqlType = (seen & (1 << SQLITE_FLOAT)) ? SQL_DOUBLE : SQL_BIGINT;
        }
    }
    switch (column.sqlType) {
        case SQL_BIGINT:
            column.columnSize = 19;
            break;
        case SQL_DOUBLE:
            column.columnSize = 15;
            break;
        case SQL_REAL:
            column.columnSize = 7;
            break;
        case SQL_BIT:
            column.columnSize = 1;
            break;
        default:
            column.columnSize = std::max(column.columnSize, 1L);
    }
}

int odbcType(const char* declared) {
    if (!declared)
        return SQL_VARCHAR;
    if (equalsIgnoreCase(declared, "INTEGER"))
        return SQL_BIGINT;
    if (equalsIgnoreCase(declared, "BOOLINT"))
        return SQL_BIT;
    if (equalsIgnoreCase(declared, "REAL"))
        return SQL_DOUBLE;
    if (equalsIgnoreCase(declared, "FLOAT"))
        return SQL_REAL;
    return SQL_VARCHAR;
}

}  // namespace

Outcome runQuery(Session& session, Lexer& lexer) {
    const TranslatedQuery translation =
        translateQuery(lexer, session, false, scanRelations(lexer.source()));
    const std::string& translated = translation.sql;
    const bool readsInformationSchema = translation.readsInformationSchema;
    sqlite3* db = session.db();
    if (readsInformationSchema) {
        refreshInformationSchema(db, session.settings().catalog, session.settings().schema,
                                 !session.hidesFullDataType());
    }
    PreparedQuery query;
    if (sqlite3_prepare_v2(db, translated.c_str(), static_cast<int>(translated.size()), &query.stmt,
                           nullptr) != SQLITE_OK) {
        queryError(db);
    }
    if (!query.stmt)
        fail("42601", kNativeAnalysis, "[PARSE_SYNTAX_ERROR] The query is empty.");
    if (!sqlite3_stmt_readonly(query.stmt)) {
        fail("0A000", kNativeAnalysis, "[NOT_EMULATED] The emulator runs only queries that read.");
    }
    bindParameters(query.stmt, translation.parameters);
    Outcome outcome;
    outcome.hasResultSet = true;
    ResultSet& result = outcome.result;
    const int count = sqlite3_column_count(query.stmt);
    std::vector<const char*> declared(static_cast<size_t>(count));
    std::vector<int> seen(static_cast<size_t>(count), 0);  // SQLite value types met, bit mask
    std::map<std::string, std::vector<Column>> tables;     // catalog columns by table
    for (int i = 0; i < count; ++i) {
        declared[static_cast<size_t>(i)] = sqlite3_column_decltype(query.stmt, i);
        result.columns.push_back(describeColumn(db, query.stmt, i, tables));
    }
    for (;;) {
        const int rc = sqlite3_step(query.stmt);
        if (rc == SQLITE_DONE)
            break;
        if (rc != SQLITE_ROW)
            queryError(db);
        for (int i = 0; i < count; ++i) {
            std::string cell;
            bool isNull = false;
            renderCell(query.stmt, i, declared[static_cast<size_t>(i)], cell, isNull);
            const int type = sqlite3_column_type(query.stmt, i);
            const bool nonFinite = type == SQLITE_TEXT && isNonFiniteSpelling(cell);
            seen[static_cast<size_t>(i)] |= 1 << (nonFinite ? SQLITE_FLOAT : type);
            ResultColumn& column = result.columns[static_cast<size_t>(i)];
            if (!column.typed || column.sqlType == SQL_VARCHAR)
                column.columnSize = std::max(column.columnSize, static_cast<long>(cell.size()));
            result.cells.push_back(std::move(cell));
            result.nulls.push_back(isNull ? 1 : 0);
        }
        ++result.rows;
    }
    for (size_t i = 0; i < result.columns.size(); ++i)
        finishColumn(result.columns[i], declared[i], seen[i]);
    return outcome;
}

// DELETE FROM name [WHERE condition]: the condition is read as a query's.
Outcome deleteRows(Session& session, Lexer& lexer, std::string_view sql) {
    lexer.expectKeyword("FROM");
    const TableRef table = readTableName(lexer);
    checkTableRef(session, table);
    std::string_view condition;
    if (lexer.isKeyword("WHERE")) {
        condition = sql.substr(lexer.cur().end);
    } else {
        lexer.expectStatementEnd();
    }
    Lexer conditionLexer(condition);
    conditionLexer.bindParameters(lexer.parameters(), lexer.parametersTaken());
    RelationScope scope = scanRelations(condition);
    scope.relations.push_back(table.name);
    const TranslatedQuery where = translateQuery(conditionLexer, session, false, scope);
    sqlite3* db = session.db();
    std::vector<Column> existing;
    if (!loadTable(db, table.name, existing))
        tableNotFound(table.name);
    session.waitCommit();
    Transaction transaction(db);
    if (!loadTable(db, table.name, existing))
        tableNotFound(table.name);
    const std::string statement =
        "DELETE FROM " + sqliteName(table.name) + (condition.empty() ? "" : " WHERE " + where.sql);
    PreparedQuery query;
    if (sqlite3_prepare_v2(db, statement.c_str(), static_cast<int>(statement.size()), &query.stmt,
                           nullptr) != SQLITE_OK) {
        queryError(db);
    }
    bindParameters(query.stmt, where.parameters);
    if (sqlite3_step(query.stmt) != SQLITE_DONE)
        queryError(db);
    const long long deleted = sqlite3_changes(db);
    transaction.commit();
    return dmlCounts({{"num_affected_rows", deleted}});
}

}  // namespace whemu
