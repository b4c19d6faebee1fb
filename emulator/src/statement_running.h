#pragma once
// The work behind SQLExecDirect, SQLExecute, SQLFetch and SQLGetData that
// the entry points share: reading the statement text, gathering the bound
// parameters for the `?` markers and running the statement, and writing
// result cells into the application's buffers (SQLGetData's and those bound
// with SQLBindCol). Failures are thrown as WarehouseError and posted by the
// entry point's guard. One statement handle, one thread.

#include <sql.h>
#include <sqlext.h>

#include <string_view>

#include "handles.h"
#include "odbc_values.h"

namespace whemu {

// The statement text of SQLExecDirect or SQLPrepare. Throws HY009 for a null
// pointer and HY090 for a negative length other than SQL_NTS.
std::string_view statementText(const SQLCHAR* text, SQLINTEGER length);

// Runs `sql` on the statement's connection with the values bound to its
// `markers` parameter markers. Throws 08003 without a connection and 07002
// when a marker has no bound value.
SQLRETURN executeStatement(StatementHandle* stmt, std::string_view sql, size_t markers);

// Writes (the next piece of) column `column` of the current row into `target`;
// NULL sets the indicator to SQL_NULL_DATA (22002 without one). Posts 01004
// and returns SQL_SUCCESS_WITH_INFO while a value is cut.
SQLRETURN readCell(StatementHandle* stmt, SQLUSMALLINT column, const CellTarget& target,
                   CellCursor& cursor);

// Writes every SQLBindCol column of the current row; SQL_SUCCESS_WITH_INFO
// when one was cut.
SQLRETURN fillBoundColumns(StatementHandle* stmt);

// The characters a column's values need as text (SQL_DESC_DISPLAY_SIZE): a
// sign, a point and an exponent beyond the digits, and "false" for BOOLEAN.
SQLLEN displaySize(const ResultColumn& column);

// The name SQLColAttribute gives an ODBC SQL type (BIGINT, VARCHAR, ...).
const char* sqlTypeName(int sqlType);

}  // namespace whemu
