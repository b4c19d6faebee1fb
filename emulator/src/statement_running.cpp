#include "statement_running.h"

#include <cstring>
#include <vector>

#include "diagnostics.h"
#include "driver_support.h"
#include "spark_lexer.h"

namespace whemu {

std::string_view statementText(const SQLCHAR* text, SQLINTEGER length) {
    if (!text)
        usage("HY009", "Invalid use of null pointer: no statement text.");
    if (length < 0 && length != SQL_NTS)
        usage("HY090", "Invalid string or buffer length.");
    const char* chars = reinterpret_cast<const char*>(text);
    return length == SQL_NTS ? std::string_view(chars)
                             : std::string_view(chars, static_cast<size_t>(length));
}

SQLRETURN executeStatement(StatementHandle* stmt, std::string_view sql, size_t markers) {
    Connection* dbc = stmt->connection;
    if (!dbc->session)
        usage("08003", "Connection not open.");
    std::vector<Literal> values;
    values.reserve(markers);
    for (size_t i = 1; i <= markers; ++i) {
        const auto bound = stmt->parameters.find(static_cast<SQLUSMALLINT>(i));
        if (bound == stmt->parameters.end()) {
            usage("07002", "COUNT field incorrect: no value is bound to parameter marker " +
                               std::to_string(i) + ".");
        }
        values.push_back(parameterLiteral(bound->second));
    }
    stmt->closeCursor();
    stmt->outcome = execute(*dbc->session, sql, values);
    stmt->executed = true;
    return SQL_SUCCESS;
}

SQLRETURN readCell(StatementHandle* stmt, SQLUSMALLINT column, const CellTarget& target,
                   CellCursor& cursor) {
    const ResultSet& result = stmt->outcome.result;
    const size_t cell =
        static_cast<size_t>(stmt->currentRow) * result.columns.size() + (column - 1);
    if (result.nulls[cell]) {
        if (!target.indicator)
            usage("22002", "Indicator variable required but not supplied.");
        *target.indicator = SQL_NULL_DATA;
        cursor.done = true;
        return SQL_SUCCESS;
    }
    const SQLRETURN rc =
        writeCell(result.cells[cell], result.columns[column - 1].sqlType, target, cursor);
    if (rc == SQL_SUCCESS_WITH_INFO)
        stmt->post("01004", kNativeDriver, "String data, right truncated.");
    return rc;
}

SQLRETURN fillBoundColumns(StatementHandle* stmt) {
    SQLRETURN rc = SQL_SUCCESS;
    const size_t width = stmt->outcome.result.columns.size();
    for (const auto& [column, target] : stmt->boundColumns) {
        if (column < 1 || column > width)
            continue;
        CellCursor cursor;
        if (readCell(stmt, column, target, cursor) == SQL_SUCCESS_WITH_INFO)
            rc = SQL_SUCCESS_WITH_INFO;
    }
    return rc;
}

SQLLEN displaySize(const ResultColumn& column) {
    switch (column.sqlType) {
        case SQL_BIGINT:
            return 20;
        case SQL_INTEGER:
            return 11;
        case SQL_SMALLINT:
            return 6;
        case SQL_TINYINT:
            return 4;
        case SQL_DOUBLE:
            return 24;
        case SQL_REAL:
            return 14;
        case SQL_BIT:
            return 5;
        case SQL_DECIMAL:
            return column.columnSize + 2;
        default:
            return column.columnSize;
    }
}

const char* sqlTypeName(int sqlType) {
    switch (sqlType) {
        case SQL_BIGINT:
            return "BIGINT";
        case SQL_INTEGER:
            return "INT";
        case SQL_SMALLINT:
            return "SMALLINT";
        case SQL_TINYINT:
            return "TINYINT";
        case SQL_DOUBLE:
            return "DOUBLE";
        case SQL_REAL:
            return "FLOAT";
        case SQL_BIT:
            return "BOOLEAN";
        case SQL_DECIMAL:
            return "DECIMAL";
        case SQL_TYPE_DATE:
            return "DATE";
        case SQL_TYPE_TIMESTAMP:
            return "TIMESTAMP";
        default:
            return "STRING";
    }
}

}  // namespace whemu
