// The ODBC entry points of prepared statements, parameters, bound columns
// and the catalog functions: SQLPrepare, SQLExecute, SQLNumParams,
// SQLBindParameter, SQLBindCol, SQLTables, SQLColumns and SQLGetTypeInfo.
// Parameter values travel to the statement as values, never as SQL text.

#include <sql.h>
#include <sqlext.h>

#include <optional>
#include <string>

#include "catalog_results.h"
#include "driver_support.h"
#include "handles.h"
#include "statement_running.h"

using whemu::guarded;
using whemu::statementOf;
using whemu::usage;

namespace {

// A search pattern argument of a catalog function; nullopt for a null pointer.
std::optional<std::string> patternOf(const SQLCHAR* text, SQLSMALLINT length) {
    if (!text)
        return std::nullopt;
    if (length < 0 && length != SQL_NTS)
        usage("HY090", "Invalid string or buffer length.");
    const char* chars = reinterpret_cast<const char*>(text);
    return length == SQL_NTS ? std::string(chars) : std::string(chars, static_cast<size_t>(length));
}

// Runs a catalog function's result into the statement as its result set.
template <typename F>
SQLRETURN catalogResult(whemu::StatementHandle* stmt, F&& build) {
    return guarded(stmt, [&] {
        stmt->closeCursor();
        stmt->prepared = false;
        whemu::Connection* dbc = stmt->connection;
        if (!dbc->session)
            usage("08003", "Connection not open.");
        if (dbc->session->isDead())
            usage("08S01", "Communication link failure: the connection is dead.");
        stmt->outcome = build(*dbc->session);
        stmt->executed = true;
        return SQL_SUCCESS;
    });
}

}  // namespace

extern "C" {

SQLRETURN SQL_API SQLPrepare(SQLHSTMT StatementHandle, SQLCHAR* StatementText,
                             SQLINTEGER TextLength) {
    whemu::StatementHandle* stmt = statementOf(StatementHandle);
    return guarded(stmt, [&] {
        stmt->closeCursor();
        stmt->prepared = false;
        const std::string_view sql = whemu::statementText(StatementText, TextLength);
        if (!stmt->connection->session)
            usage("08003", "Connection not open.");
        stmt->preparedText.assign(sql);
        stmt->markers = whemu::countParameterMarkers(sql);
        stmt->prepared = true;
        return SQL_SUCCESS;
    });
}

SQLRETURN SQL_API SQLExecute(SQLHSTMT StatementHandle) {
    whemu::StatementHandle* stmt = statementOf(StatementHandle);
    return guarded(stmt, [&] {
        if (!stmt->prepared)
            usage("HY010", "Function sequence error: no statement was prepared.");
        return whemu::executeStatement(stmt, stmt->preparedText, stmt->markers);
    });
}

SQLRETURN SQL_API SQLNumParams(SQLHSTMT StatementHandle, SQLSMALLINT* ParameterCount) {
    whemu::StatementHandle* stmt = statementOf(StatementHandle);
    return guarded(stmt, [&] {
        if (!stmt->prepared)
            usage("HY010", "Function sequence error: no statement was prepared.");
        if (ParameterCount)
            *ParameterCount = static_cast<SQLSMALLINT>(stmt->markers);
        return SQL_SUCCESS;
    });
}

SQLRETURN SQL_API SQLBindParameter(SQLHSTMT StatementHandle, SQLUSMALLINT ParameterNumber,
                                   SQLSMALLINT InputOutputType, SQLSMALLINT ValueType,
                                   SQLSMALLINT ParameterType, SQLULEN ColumnSize,
                                   SQLSMALLINT DecimalDigits, SQLPOINTER ParameterValue,
                                   SQLLEN BufferLength, SQLLEN* StrLen_or_Ind) {
    whemu::StatementHandle* stmt = statementOf(StatementHandle);
    return guarded(stmt, [&] {
        if (ParameterNumber < 1)
            usage("07009", "Invalid descriptor index 0.");
        if (InputOutputType != SQL_PARAM_INPUT)
            usage("HY105", "Invalid parameter type: only input parameters are supported.");
        if (!whemu::isSupportedCType(ValueType))
            usage("HY003", "Invalid application buffer type " + std::to_string(ValueType) + ".");
        if (!ParameterValue && !StrLen_or_Ind)
            usage("HY009", "Invalid use of null pointer: no value and no indicator.");
        if (BufferLength < 0)
            usage("HY090", "Invalid string or buffer length.");
        stmt->parameters[ParameterNumber] =
            whemu::BoundParameter{ValueType,      ParameterType, ColumnSize,   DecimalDigits,
                                  ParameterValue, BufferLength,  StrLen_or_Ind};
        return SQL_SUCCESS;
    });
}

SQLRETURN SQL_API SQLBindCol(SQLHSTMT StatementHandle, SQLUSMALLINT ColumnNumber,
                             SQLSMALLINT TargetType, SQLPOINTER TargetValue, SQLLEN BufferLength,
                             SQLLEN* StrLen_or_Ind) {
    whemu::StatementHandle* stmt = statementOf(StatementHandle);
    return guarded(stmt, [&] {
        if (ColumnNumber < 1)
            usage("07009", "Invalid descriptor index 0: bookmarks are not supported.");
        if (!TargetValue && !StrLen_or_Ind) {
            stmt->boundColumns.erase(ColumnNumber);
            return SQL_SUCCESS;
        }
        if (!whemu::isSupportedCType(TargetType))
            usage("HY003", "Invalid application buffer type " + std::to_string(TargetType) + ".");
        if (BufferLength < 0)
            usage("HY090", "Invalid string or buffer length.");
        stmt->boundColumns[ColumnNumber] =
            whemu::CellTarget{TargetType, TargetValue, BufferLength, StrLen_or_Ind};
        return SQL_SUCCESS;
    });
}

SQLRETURN SQL_API SQLTables(SQLHSTMT StatementHandle, SQLCHAR* CatalogName, SQLSMALLINT NameLength1,
                            SQLCHAR* SchemaName, SQLSMALLINT NameLength2, SQLCHAR* TableName,
                            SQLSMALLINT NameLength3, SQLCHAR* TableType, SQLSMALLINT NameLength4) {
    whemu::StatementHandle* stmt = statementOf(StatementHandle);
    return catalogResult(stmt, [&](whemu::Session& session) {
        patternOf(CatalogName, NameLength1);
        const whemu::CatalogPatterns patterns{patternOf(SchemaName, NameLength2),
                                              patternOf(TableName, NameLength3), std::nullopt,
                                              patternOf(TableType, NameLength4)};
        return whemu::odbcTables(session, patterns);
    });
}

SQLRETURN SQL_API SQLColumns(SQLHSTMT StatementHandle, SQLCHAR* CatalogName,
                             SQLSMALLINT NameLength1, SQLCHAR* SchemaName, SQLSMALLINT NameLength2,
                             SQLCHAR* TableName, SQLSMALLINT NameLength3, SQLCHAR* ColumnName,
                             SQLSMALLINT NameLength4) {
    whemu::StatementHandle* stmt = statementOf(StatementHandle);
    return catalogResult(stmt, [&](whemu::Session& session) {
        patternOf(CatalogName, NameLength1);
        const whemu::CatalogPatterns patterns{patternOf(SchemaName, NameLength2),
                                              patternOf(TableName, NameLength3),
                                              patternOf(ColumnName, NameLength4), std::nullopt};
        return whemu::odbcColumns(session, patterns);
    });
}

SQLRETURN SQL_API SQLGetTypeInfo(SQLHSTMT StatementHandle, SQLSMALLINT DataType) {
    whemu::StatementHandle* stmt = statementOf(StatementHandle);
    return catalogResult(stmt, [&](whemu::Session&) { return whemu::odbcTypeInfo(DataType); });
}

}  // extern "C"
