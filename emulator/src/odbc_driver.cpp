// The ODBC entry points of the warehouse emulator. The driver manager calls
// these with the driver's own handles; each entry point checks its handle,
// clears the handle's diagnostics, runs its work and turns every exception
// into a diagnostic record and SQL_ERROR, so nothing escapes into the
// application.

#include <sql.h>
#include <sqlext.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "diagnostics.h"
#include "driver_support.h"
#include "executor.h"
#include "handles.h"
#include "session.h"
#include "spark_lexer.h"
#include "statement_running.h"

using whemu::anyHandle;
using whemu::Connection;
using whemu::copyText;
using whemu::Diag;
using whemu::Environment;
using whemu::guarded;
using whemu::Handle;
using whemu::handleOf;
using whemu::resultOf;
using whemu::StatementHandle;
using whemu::statementOf;
using whemu::textResult;
using whemu::usage;

namespace {

constexpr const char* kDriverName = "libwarehouse-emulator.so";
constexpr const char* kDbmsName = "Spark SQL";
constexpr const char* kDbmsVersion = "3.5.0";
constexpr const char* kDriverVersion = "03.01.0000";

std::string withPrefix(const Diag& diag) {
    return std::string(whemu::kMessagePrefix) + diag.message;
}

}  // namespace

namespace {

template <typename T>
SQLRETURN putNumber(SQLPOINTER info, T value) {
    if (info)
        *static_cast<T*>(info) = value;
    return SQL_SUCCESS;
}

// A header field of SQLGetDiagField; returns true iff `identifier` names one,
// with the call's result in `rc`. `text` copies a text answer.
template <typename Text>
bool diagHeaderField(SQLSMALLINT handleType, const Handle* h, SQLSMALLINT identifier,
                     SQLPOINTER info, Text&& text, SQLRETURN& rc) {
    switch (identifier) {
        case SQL_DIAG_NUMBER:
            rc = putNumber(info, static_cast<SQLINTEGER>(h->diagnostics.size()));
            return true;
        case SQL_DIAG_RETURNCODE:
            rc = putNumber(info, h->lastReturn);
            return true;
        case SQL_DIAG_ROW_COUNT:
        case SQL_DIAG_CURSOR_ROW_COUNT: {
            if (handleType != SQL_HANDLE_STMT) {
                rc = SQL_ERROR;
                return true;
            }
            const StatementHandle* stmt = static_cast<const StatementHandle*>(h);
            rc = putNumber(info, identifier == SQL_DIAG_ROW_COUNT
                                     ? static_cast<SQLLEN>(stmt->outcome.rowCount)
                                     : static_cast<SQLLEN>(stmt->outcome.result.rows));
            return true;
        }
        case SQL_DIAG_DYNAMIC_FUNCTION:
            rc = text("");
            return true;
        case SQL_DIAG_DYNAMIC_FUNCTION_CODE:
            rc = putNumber(info, static_cast<SQLINTEGER>(SQL_DIAG_UNKNOWN_STATEMENT));
            return true;
        default:
            return false;
    }
}

// A record field of SQLGetDiagField for `diag`.
template <typename Text>
SQLRETURN diagRecordField(const Diag& diag, SQLSMALLINT identifier, SQLPOINTER info, Text&& text) {
    switch (identifier) {
        case SQL_DIAG_SQLSTATE:
            return text(diag.state);
        case SQL_DIAG_NATIVE:
            return putNumber(info, static_cast<SQLINTEGER>(diag.native));
        case SQL_DIAG_MESSAGE_TEXT:
            return text(withPrefix(diag));
        case SQL_DIAG_CLASS_ORIGIN:
        case SQL_DIAG_SUBCLASS_ORIGIN:
            return text(diag.state.compare(0, 2, "IM") == 0 ? "ODBC 3.0" : "ISO 9075");
        case SQL_DIAG_CONNECTION_NAME:
        case SQL_DIAG_SERVER_NAME:
            return text("");
        case SQL_DIAG_ROW_NUMBER:
            return putNumber(info, static_cast<SQLLEN>(SQL_ROW_NUMBER_UNKNOWN));
        case SQL_DIAG_COLUMN_NUMBER:
            return putNumber(info, static_cast<SQLINTEGER>(SQL_COLUMN_NUMBER_UNKNOWN));
        default:
            return SQL_ERROR;
    }
}

}  // namespace

extern "C" {

// ---- handles -----------------------------------------------------------------------

SQLRETURN SQL_API SQLAllocHandle(SQLSMALLINT HandleType, SQLHANDLE InputHandle,
                                 SQLHANDLE* OutputHandle) {
    if (!OutputHandle)
        return SQL_ERROR;
    *OutputHandle = SQL_NULL_HANDLE;
    try {
        switch (HandleType) {
            case SQL_HANDLE_ENV:
                *OutputHandle = new Environment();
                return SQL_SUCCESS;
            case SQL_HANDLE_DBC: {
                Environment* env = handleOf<Environment>(InputHandle, SQL_HANDLE_ENV);
                if (!env)
                    return SQL_INVALID_HANDLE;
                env->clearDiagnostics();
                *OutputHandle = new Connection(env);
                return SQL_SUCCESS;
            }
            case SQL_HANDLE_STMT: {
                Connection* dbc = handleOf<Connection>(InputHandle, SQL_HANDLE_DBC);
                if (!dbc)
                    return SQL_INVALID_HANDLE;
                dbc->clearDiagnostics();
                if (!dbc->session) {
                    dbc->post("08003", whemu::kNativeDriver, "Connection not open.");
                    return SQL_ERROR;
                }
                dbc->statements.reserve(dbc->statements.size() + 1);
                auto* stmt = new StatementHandle(dbc);
                dbc->statements.push_back(stmt);
                *OutputHandle = stmt;
                return SQL_SUCCESS;
            }
            default:
                return SQL_ERROR;
        }
    } catch (...) {
        Handle* parent =
            anyHandle(HandleType == SQL_HANDLE_DBC ? SQL_HANDLE_ENV : SQL_HANDLE_DBC, InputHandle);
        if (parent)
            parent->post("HY001", whemu::kNativeDriver, "Memory allocation error.");
        return SQL_ERROR;
    }
}

SQLRETURN SQL_API SQLFreeHandle(SQLSMALLINT HandleType, SQLHANDLE Handle) {
    whemu::Handle* h = anyHandle(HandleType, Handle);
    if (!h)
        return SQL_INVALID_HANDLE;
    if (HandleType == SQL_HANDLE_STMT) {
        auto* stmt = static_cast<whemu::StatementHandle*>(h);
        stmt->connection->freeStatement(stmt);
    } else {
        delete h;
    }
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLFreeStmt(SQLHSTMT StatementHandle, SQLUSMALLINT Option) {
    whemu::StatementHandle* stmt = statementOf(StatementHandle);
    if (!stmt)
        return SQL_INVALID_HANDLE;
    if (Option == SQL_DROP) {
        stmt->connection->freeStatement(stmt);
        return SQL_SUCCESS;
    }
    return guarded(stmt, [&] {
        if (Option == SQL_CLOSE)
            stmt->closeCursor();
        else if (Option == SQL_UNBIND)
            stmt->boundColumns.clear();
        else if (Option == SQL_RESET_PARAMS)
            stmt->parameters.clear();
        else
            usage("HY092", "Invalid attribute/option identifier " + std::to_string(Option) + ".");
        return SQL_SUCCESS;
    });
}

SQLRETURN SQL_API SQLCloseCursor(SQLHSTMT StatementHandle) {
    whemu::StatementHandle* stmt = statementOf(StatementHandle);
    return guarded(stmt, [&] {
        stmt->closeCursor();
        return SQL_SUCCESS;
    });
}

// ---- environment and connection -------------------------------------------------------

SQLRETURN SQL_API SQLSetEnvAttr(SQLHENV EnvironmentHandle, SQLINTEGER Attribute, SQLPOINTER Value,
                                SQLINTEGER) {
    Environment* env = handleOf<Environment>(EnvironmentHandle, SQL_HANDLE_ENV);
    return guarded(env, [&] {
        if (Attribute == SQL_ATTR_ODBC_VERSION) {
            env->odbcVersion = static_cast<SQLINTEGER>(reinterpret_cast<intptr_t>(Value));
        }
        return SQL_SUCCESS;
    });
}

SQLRETURN SQL_API SQLGetEnvAttr(SQLHENV EnvironmentHandle, SQLINTEGER Attribute, SQLPOINTER Value,
                                SQLINTEGER, SQLINTEGER* StringLength) {
    Environment* env = handleOf<Environment>(EnvironmentHandle, SQL_HANDLE_ENV);
    return guarded(env, [&] {
        SQLINTEGER result = 0;
        switch (Attribute) {
            case SQL_ATTR_ODBC_VERSION:
                result = env->odbcVersion;
                break;
            case SQL_ATTR_CONNECTION_POOLING:
                result = SQL_CP_OFF;
                break;
            case SQL_ATTR_OUTPUT_NTS:
                result = SQL_TRUE;
                break;
            default:
                usage("HY092", "Invalid attribute identifier.");
        }
        if (Value)
            *static_cast<SQLINTEGER*>(Value) = result;
        if (StringLength)
            *StringLength = sizeof(SQLINTEGER);
        return SQL_SUCCESS;
    });
}

SQLRETURN SQL_API SQLDriverConnect(SQLHDBC hdbc, SQLHWND, SQLCHAR* szConnStrIn,
                                   SQLSMALLINT cbConnStrIn, SQLCHAR* szConnStrOut,
                                   SQLSMALLINT cbConnStrOutMax, SQLSMALLINT* pcbConnStrOut,
                                   SQLUSMALLINT) {
    Connection* dbc = handleOf<Connection>(hdbc, SQL_HANDLE_DBC);
    return guarded(dbc, [&] {
        if (dbc->session)
            usage("08002", "Connection name in use: the handle is already connected.");
        if (!szConnStrIn)
            usage("HY009", "Invalid use of null pointer: no connection string.");
        if (cbConnStrIn < 0 && cbConnStrIn != SQL_NTS)
            usage("HY090", "Invalid string or buffer length.");
        const char* text = reinterpret_cast<const char*>(szConnStrIn);
        const std::string connection = cbConnStrIn == SQL_NTS
                                           ? std::string(text)
                                           : std::string(text, static_cast<size_t>(cbConnStrIn));
        const whemu::ConnectionSettings settings = whemu::parseConnectionString(connection);
        dbc->session = std::make_unique<whemu::Session>(settings);
        dbc->connectionString = connection;
        return textResult(dbc, connection, szConnStrOut, cbConnStrOutMax, pcbConnStrOut);
    });
}

SQLRETURN SQL_API SQLDisconnect(SQLHDBC ConnectionHandle) {
    Connection* dbc = handleOf<Connection>(ConnectionHandle, SQL_HANDLE_DBC);
    return guarded(dbc, [&] {
        if (!dbc->session)
            usage("08003", "Connection not open.");
        dbc->freeAllStatements();
        dbc->session.reset();
        return SQL_SUCCESS;
    });
}

SQLRETURN SQL_API SQLGetConnectAttr(SQLHDBC ConnectionHandle, SQLINTEGER Attribute,
                                    SQLPOINTER Value, SQLINTEGER, SQLINTEGER* StringLength) {
    Connection* dbc = handleOf<Connection>(ConnectionHandle, SQL_HANDLE_DBC);
    return guarded(dbc, [&] {
        SQLUINTEGER result = 0;
        switch (Attribute) {
            case SQL_ATTR_CONNECTION_DEAD:
                result = (!dbc->session || dbc->session->isDead()) ? SQL_CD_TRUE : SQL_CD_FALSE;
                break;
            case SQL_ATTR_AUTOCOMMIT:
                result = SQL_AUTOCOMMIT_ON;
                break;
            case SQL_ATTR_ACCESS_MODE:
                result = SQL_MODE_READ_WRITE;
                break;
            case SQL_ATTR_LOGIN_TIMEOUT:
            case SQL_ATTR_CONNECTION_TIMEOUT:
                result = 0;
                break;
            case SQL_ATTR_TXN_ISOLATION:
                result = SQL_TXN_SERIALIZABLE;
                break;
            default:
                usage("HYC00", "Optional feature not implemented: connection attribute " +
                                   std::to_string(Attribute) + ".");
        }
        if (Value)
            *static_cast<SQLUINTEGER*>(Value) = result;
        if (StringLength)
            *StringLength = sizeof(SQLUINTEGER);
        return SQL_SUCCESS;
    });
}

SQLRETURN SQL_API SQLSetConnectAttr(SQLHDBC ConnectionHandle, SQLINTEGER Attribute,
                                    SQLPOINTER Value, SQLINTEGER) {
    Connection* dbc = handleOf<Connection>(ConnectionHandle, SQL_HANDLE_DBC);
    return guarded(dbc, [&] {
        // Every statement commits on its own; asking for manual commit is refused.
        if (Attribute == SQL_ATTR_AUTOCOMMIT &&
            reinterpret_cast<uintptr_t>(Value) != SQL_AUTOCOMMIT_ON) {
            usage("HYC00", "Optional feature not implemented: transactions.");
        }
        return SQL_SUCCESS;
    });
}

SQLRETURN SQL_API SQLEndTran(SQLSMALLINT HandleType, SQLHANDLE Handle, SQLSMALLINT) {
    whemu::Handle* h = anyHandle(HandleType, Handle);
    return guarded(h, [&] { return SQL_SUCCESS; });
}

SQLRETURN SQL_API SQLGetInfo(SQLHDBC ConnectionHandle, SQLUSMALLINT InfoType, SQLPOINTER InfoValue,
                             SQLSMALLINT BufferLength, SQLSMALLINT* StringLength) {
    Connection* dbc = handleOf<Connection>(ConnectionHandle, SQL_HANDLE_DBC);
    return guarded(dbc, [&]() -> SQLRETURN {
        const whemu::ConnectionSettings* settings =
            dbc->session ? &dbc->session->settings() : nullptr;
        auto text = [&](const std::string& value) {
            return textResult(dbc, value, InfoValue, BufferLength, StringLength);
        };
        auto u16 = [&](SQLUSMALLINT value) {
            if (InfoValue)
                *static_cast<SQLUSMALLINT*>(InfoValue) = value;
            if (StringLength)
                *StringLength = sizeof value;
            return SQL_SUCCESS;
        };
        auto u32 = [&](SQLUINTEGER value) {
            if (InfoValue)
                *static_cast<SQLUINTEGER*>(InfoValue) = value;
            if (StringLength)
                *StringLength = sizeof value;
            return SQL_SUCCESS;
        };
        switch (InfoType) {
            case SQL_DBMS_NAME:
                return text(kDbmsName);
            case SQL_DBMS_VER:
                return text(kDbmsVersion);
            case SQL_DRIVER_NAME:
                return text(kDriverName);
            case SQL_DRIVER_VER:
                return text(kDriverVersion);
            case SQL_DRIVER_ODBC_VER:
                return text("03.80");
            case SQL_DATA_SOURCE_NAME:
                return text("");
            case SQL_SERVER_NAME:
                return text(settings ? settings->host : "");
            case SQL_DATABASE_NAME:
                return text(settings ? settings->schema : "");
            case SQL_USER_NAME:
                return text(settings ? settings->user : "");
            case SQL_IDENTIFIER_QUOTE_CHAR:
                return text("`");
            case SQL_CATALOG_NAME_SEPARATOR:
                return text(".");
            case SQL_CATALOG_TERM:
                return text("catalog");
            case SQL_SCHEMA_TERM:
                return text("schema");
            case SQL_TABLE_TERM:
                return text("table");
            case SQL_PROCEDURE_TERM:
                return text("");
            case SQL_SEARCH_PATTERN_ESCAPE:
                return text("\\");
            case SQL_DATA_SOURCE_READ_ONLY:
                return text("N");
            case SQL_ACCESSIBLE_TABLES:
                return text("Y");
            case SQL_ACCESSIBLE_PROCEDURES:
                return text("N");
            case SQL_COLUMN_ALIAS:
                return text("Y");
            case SQL_KEYWORDS:
                return text("");
            case SQL_SPECIAL_CHARACTERS:
                return text("");
            case SQL_MULT_RESULT_SETS:
                return text("N");
            case SQL_MULTIPLE_ACTIVE_TXN:
                return text("N");
            case SQL_NEED_LONG_DATA_LEN:
                return text("N");
            case SQL_PROCEDURES:
                return text("N");
            case SQL_ORDER_BY_COLUMNS_IN_SELECT:
                return text("N");
            case SQL_LIKE_ESCAPE_CLAUSE:
                return text("Y");
            case SQL_CATALOG_NAME:
                return text("Y");
            case SQL_DESCRIBE_PARAMETER:
                return text("N");
            case SQL_MAX_ROW_SIZE_INCLUDES_LONG:
                return text("Y");
            case SQL_OUTER_JOINS:
                return text("Y");
            case SQL_INTEGRITY:
                return text("N");
            case SQL_EXPRESSIONS_IN_ORDERBY:
                return text("Y");
            case SQL_ROW_UPDATES:
                return text("N");
            case SQL_COLLATION_SEQ:
                return text("UTF-8");
            case SQL_MAX_CONCURRENT_ACTIVITIES:
            case SQL_MAX_DRIVER_CONNECTIONS:
            case SQL_ACTIVE_ENVIRONMENTS:
                return u16(0);
            case SQL_CURSOR_COMMIT_BEHAVIOR:
            case SQL_CURSOR_ROLLBACK_BEHAVIOR:
                return u16(SQL_CB_PRESERVE);
            case SQL_TXN_CAPABLE:
                return u16(SQL_TC_NONE);
            case SQL_IDENTIFIER_CASE:
                return u16(SQL_IC_LOWER);
            case SQL_QUOTED_IDENTIFIER_CASE:
                return u16(SQL_IC_MIXED);
            case SQL_NULL_COLLATION:
                return u16(SQL_NC_LOW);
            case SQL_CONCAT_NULL_BEHAVIOR:
                return u16(SQL_CB_NULL);
            case SQL_CORRELATION_NAME:
                return u16(SQL_CN_ANY);
            case SQL_NON_NULLABLE_COLUMNS:
                return u16(SQL_NNC_NON_NULL);
            case SQL_FILE_USAGE:
                return u16(SQL_FILE_NOT_SUPPORTED);
            case SQL_GROUP_BY:
                return u16(SQL_GB_GROUP_BY_CONTAINS_SELECT);
            case SQL_CATALOG_LOCATION:
                return u16(SQL_CL_START);
            case SQL_MAX_COLUMN_NAME_LEN:
            case SQL_MAX_TABLE_NAME_LEN:
            case SQL_MAX_SCHEMA_NAME_LEN:
            case SQL_MAX_CATALOG_NAME_LEN:
            case SQL_MAX_IDENTIFIER_LEN:
                return u16(255);
            case SQL_GETDATA_EXTENSIONS:
                return u32(SQL_GD_ANY_COLUMN | SQL_GD_ANY_ORDER);
            case SQL_SCROLL_OPTIONS:
                return u32(SQL_SO_FORWARD_ONLY);
            case SQL_FORWARD_ONLY_CURSOR_ATTRIBUTES1:
                return u32(SQL_CA1_NEXT);
            case SQL_FORWARD_ONLY_CURSOR_ATTRIBUTES2:
            case SQL_STATIC_CURSOR_ATTRIBUTES1:
            case SQL_STATIC_CURSOR_ATTRIBUTES2:
            case SQL_KEYSET_CURSOR_ATTRIBUTES1:
            case SQL_KEYSET_CURSOR_ATTRIBUTES2:
            case SQL_DYNAMIC_CURSOR_ATTRIBUTES1:
            case SQL_DYNAMIC_CURSOR_ATTRIBUTES2:
            case SQL_TXN_ISOLATION_OPTION:
            case SQL_DEFAULT_TXN_ISOLATION:
            case SQL_BATCH_SUPPORT:
            case SQL_POS_OPERATIONS:
            case SQL_LOCK_TYPES:
            case SQL_BOOKMARK_PERSISTENCE:
            case SQL_STATIC_SENSITIVITY:
            case SQL_MAX_ASYNC_CONCURRENT_STATEMENTS:
                return u32(0);
            case SQL_CURSOR_SENSITIVITY:
                return u32(SQL_UNSPECIFIED);
            case SQL_ASYNC_MODE:
                return u32(SQL_AM_NONE);
            case SQL_ODBC_INTERFACE_CONFORMANCE:
                return u32(SQL_OIC_CORE);
            case SQL_SQL_CONFORMANCE:
                return u32(SQL_SC_SQL92_ENTRY);
            case SQL_PARAM_ARRAY_ROW_COUNTS:
                return u32(SQL_PARC_NO_BATCH);
            case SQL_PARAM_ARRAY_SELECTS:
                return u32(SQL_PAS_NO_SELECT);
            default:
                usage("HY096", "Information type out of range: " + std::to_string(InfoType) + ".");
        }
    });
}

// ---- statements ------------------------------------------------------------------------

SQLRETURN SQL_API SQLExecDirect(SQLHSTMT StatementHandle, SQLCHAR* StatementText,
                                SQLINTEGER TextLength) {
    whemu::StatementHandle* stmt = statementOf(StatementHandle);
    return guarded(stmt, [&] {
        stmt->closeCursor();
        stmt->prepared = false;
        const std::string_view sql = whemu::statementText(StatementText, TextLength);
        // Parameters bound before SQLExecDirect serve its markers too.
        const size_t markers = stmt->parameters.empty() ? 0 : whemu::countParameterMarkers(sql);
        return whemu::executeStatement(stmt, sql, markers);
    });
}

SQLRETURN SQL_API SQLNumResultCols(SQLHSTMT StatementHandle, SQLSMALLINT* ColumnCount) {
    whemu::StatementHandle* stmt = statementOf(StatementHandle);
    return guarded(stmt, [&] {
        if (!stmt->executed)
            usage("HY010", "Function sequence error: no statement was executed.");
        if (ColumnCount) {
            *ColumnCount = stmt->outcome.hasResultSet
                               ? static_cast<SQLSMALLINT>(stmt->outcome.result.columns.size())
                               : 0;
        }
        return SQL_SUCCESS;
    });
}

SQLRETURN SQL_API SQLRowCount(SQLHSTMT StatementHandle, SQLLEN* RowCount) {
    whemu::StatementHandle* stmt = statementOf(StatementHandle);
    return guarded(stmt, [&] {
        if (!stmt->executed)
            usage("HY010", "Function sequence error: no statement was executed.");
        if (RowCount)
            *RowCount = static_cast<SQLLEN>(stmt->outcome.rowCount);
        return SQL_SUCCESS;
    });
}

SQLRETURN SQL_API SQLMoreResults(SQLHSTMT StatementHandle) {
    whemu::StatementHandle* stmt = statementOf(StatementHandle);
    return guarded(stmt, [&] { return SQL_NO_DATA; });
}

SQLRETURN SQL_API SQLDescribeCol(SQLHSTMT StatementHandle, SQLUSMALLINT ColumnNumber,
                                 SQLCHAR* ColumnName, SQLSMALLINT BufferLength,
                                 SQLSMALLINT* NameLength, SQLSMALLINT* DataType,
                                 SQLULEN* ColumnSize, SQLSMALLINT* DecimalDigits,
                                 SQLSMALLINT* Nullable) {
    whemu::StatementHandle* stmt = statementOf(StatementHandle);
    return guarded(stmt, [&] {
        const whemu::ResultSet& result = resultOf(stmt);
        if (ColumnNumber < 1 || ColumnNumber > result.columns.size()) {
            usage("07009", "Invalid descriptor index " + std::to_string(ColumnNumber) + ".");
        }
        const whemu::ResultColumn& column = result.columns[ColumnNumber - 1];
        if (DataType)
            *DataType = static_cast<SQLSMALLINT>(column.sqlType);
        if (ColumnSize)
            *ColumnSize = static_cast<SQLULEN>(column.columnSize);
        if (DecimalDigits)
            *DecimalDigits = static_cast<SQLSMALLINT>(column.decimalDigits);
        if (Nullable)
            *Nullable = SQL_NULLABLE_UNKNOWN;
        return textResult(stmt, column.name, ColumnName, BufferLength, NameLength);
    });
}

SQLRETURN SQL_API SQLColAttribute(SQLHSTMT StatementHandle, SQLUSMALLINT ColumnNumber,
                                  SQLUSMALLINT FieldIdentifier, SQLPOINTER CharacterAttribute,
                                  SQLSMALLINT BufferLength, SQLSMALLINT* StringLength,
                                  SQLLEN* NumericAttribute) {
    whemu::StatementHandle* stmt = statementOf(StatementHandle);
    return guarded(stmt, [&]() -> SQLRETURN {
        const whemu::ResultSet& result = resultOf(stmt);
        if (FieldIdentifier == SQL_DESC_COUNT) {
            if (NumericAttribute)
                *NumericAttribute = static_cast<SQLLEN>(result.columns.size());
            return SQL_SUCCESS;
        }
        if (ColumnNumber < 1 || ColumnNumber > result.columns.size()) {
            usage("07009", "Invalid descriptor index " + std::to_string(ColumnNumber) + ".");
        }
        const whemu::ResultColumn& column = result.columns[ColumnNumber - 1];
        auto number = [&](SQLLEN value) {
            if (NumericAttribute)
                *NumericAttribute = value;
            return SQL_SUCCESS;
        };
        switch (FieldIdentifier) {
            case SQL_DESC_NAME:
            case SQL_DESC_LABEL:
            case SQL_DESC_BASE_COLUMN_NAME:
                return textResult(stmt, column.name, CharacterAttribute, BufferLength,
                                  StringLength);
            case SQL_DESC_TYPE:  // the verbose type: SQL_DATETIME for dates and timestamps
                return number(column.sqlType == SQL_TYPE_DATE ||
                                      column.sqlType == SQL_TYPE_TIMESTAMP
                                  ? SQL_DATETIME
                                  : column.sqlType);
            case SQL_DESC_CONCISE_TYPE:
                return number(column.sqlType);
            case SQL_DESC_DISPLAY_SIZE:
                return number(whemu::displaySize(column));
            case SQL_DESC_LENGTH:
            case SQL_DESC_OCTET_LENGTH:
            case SQL_DESC_PRECISION:
                return number(column.columnSize);
            case SQL_DESC_SCALE:
                return number(column.decimalDigits);
            case SQL_DESC_TYPE_NAME:
            case SQL_DESC_LOCAL_TYPE_NAME:
                return textResult(stmt, whemu::sqlTypeName(column.sqlType), CharacterAttribute,
                                  BufferLength, StringLength);
            case SQL_DESC_NULLABLE:
                return number(SQL_NULLABLE_UNKNOWN);
            case SQL_DESC_UNSIGNED:
                return number(column.sqlType == SQL_VARCHAR ? SQL_TRUE : SQL_FALSE);
            case SQL_DESC_SEARCHABLE:
                return number(SQL_PRED_SEARCHABLE);
            case SQL_DESC_UPDATABLE:
                return number(SQL_ATTR_READONLY);
            case SQL_DESC_AUTO_UNIQUE_VALUE:
            case SQL_DESC_CASE_SENSITIVE:
            case SQL_DESC_FIXED_PREC_SCALE:
                return number(SQL_FALSE);
            default:
                usage("HY091", "Invalid descriptor field identifier " +
                                   std::to_string(FieldIdentifier) + ".");
        }
    });
}

SQLRETURN SQL_API SQLFetch(SQLHSTMT StatementHandle) {
    whemu::StatementHandle* stmt = statementOf(StatementHandle);
    return guarded(stmt, [&]() -> SQLRETURN {
        const whemu::ResultSet& result = resultOf(stmt);
        stmt->dataColumn = 0;
        if (stmt->nextRow >= result.rows) {
            stmt->currentRow = static_cast<long>(result.rows);
            return SQL_NO_DATA;
        }
        stmt->currentRow = static_cast<long>(stmt->nextRow++);
        return whemu::fillBoundColumns(stmt);
    });
}

SQLRETURN SQL_API SQLGetData(SQLHSTMT StatementHandle, SQLUSMALLINT ColumnNumber,
                             SQLSMALLINT TargetType, SQLPOINTER TargetValue, SQLLEN BufferLength,
                             SQLLEN* StrLen_or_Ind) {
    whemu::StatementHandle* stmt = statementOf(StatementHandle);
    return guarded(stmt, [&]() -> SQLRETURN {
        const whemu::ResultSet& result = resultOf(stmt);
        if (stmt->currentRow < 0 || static_cast<size_t>(stmt->currentRow) >= result.rows) {
            usage("24000", "Invalid cursor state: no current row.");
        }
        if (ColumnNumber < 1 || ColumnNumber > result.columns.size()) {
            usage("07009", "Invalid descriptor index " + std::to_string(ColumnNumber) + ".");
        }
        if (ColumnNumber != stmt->dataColumn) {
            stmt->dataColumn = ColumnNumber;
            stmt->dataOffset = 0;
            stmt->dataDone = false;
        }
        if (stmt->dataDone)
            return SQL_NO_DATA;
        whemu::CellCursor cursor{stmt->dataOffset, false};
        const SQLRETURN rc = whemu::readCell(
            stmt, ColumnNumber,
            whemu::CellTarget{TargetType, TargetValue, BufferLength, StrLen_or_Ind}, cursor);
        stmt->dataOffset = cursor.offset;
        stmt->dataDone = cursor.done;
        return rc;
    });
}

// ---- diagnostics ------------------------------------------------------------------------

SQLRETURN SQL_API SQLGetDiagRec(SQLSMALLINT HandleType, SQLHANDLE Handle, SQLSMALLINT RecNumber,
                                SQLCHAR* Sqlstate, SQLINTEGER* NativeError, SQLCHAR* MessageText,
                                SQLSMALLINT BufferLength, SQLSMALLINT* TextLength) {
    whemu::Handle* h = anyHandle(HandleType, Handle);
    if (!h)
        return SQL_INVALID_HANDLE;
    if (RecNumber < 1 || BufferLength < 0)
        return SQL_ERROR;
    if (static_cast<size_t>(RecNumber) > h->diagnostics.size())
        return SQL_NO_DATA;
    const Diag& diag = h->diagnostics[static_cast<size_t>(RecNumber) - 1];
    if (Sqlstate) {
        std::memset(Sqlstate, 0, 6);
        std::memcpy(Sqlstate, diag.state.data(), diag.state.size() < 5 ? diag.state.size() : 5);
    }
    if (NativeError)
        *NativeError = diag.native;
    return copyText(withPrefix(diag), MessageText, BufferLength, TextLength) ? SQL_SUCCESS_WITH_INFO
                                                                             : SQL_SUCCESS;
}

SQLRETURN SQL_API SQLGetDiagField(SQLSMALLINT HandleType, SQLHANDLE Handle, SQLSMALLINT RecNumber,
                                  SQLSMALLINT DiagIdentifier, SQLPOINTER DiagInfo,
                                  SQLSMALLINT BufferLength, SQLSMALLINT* StringLength) {
    whemu::Handle* h = anyHandle(HandleType, Handle);
    if (!h)
        return SQL_INVALID_HANDLE;
    auto text = [&](const std::string& value) -> SQLRETURN {
        if (BufferLength < 0)
            return SQL_ERROR;
        return copyText(value, DiagInfo, BufferLength, StringLength) ? SQL_SUCCESS_WITH_INFO
                                                                     : SQL_SUCCESS;
    };
    SQLRETURN rc = SQL_SUCCESS;
    if (diagHeaderField(HandleType, h, DiagIdentifier, DiagInfo, text, rc))
        return rc;
    if (RecNumber < 1)
        return SQL_ERROR;
    if (static_cast<size_t>(RecNumber) > h->diagnostics.size())
        return SQL_NO_DATA;
    return diagRecordField(h->diagnostics[static_cast<size_t>(RecNumber) - 1], DiagIdentifier,
                           DiagInfo, text);
}

}  // extern "C"
