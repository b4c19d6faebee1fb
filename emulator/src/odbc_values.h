#pragma once
// Values crossing the ODBC boundary: a result cell (kept as the warehouse
// prints it) written into an application buffer of a C type, and an
// application's bound parameter read into the Literal a `?` marker stands for.
//
// The caller owns every buffer; nothing here keeps a pointer past the call.
// Conversions the ODBC standard refuses throw WarehouseError with its
// SQLSTATE (22018 a cell that is no number, 22003 out of range, 22007 a bad
// timestamp, HY009 a null buffer, HY090 a bad length, HYC00 a C type the
// driver lacks). Plain functions; no shared state.

#include <sql.h>
#include <sqlext.h>

#include <string>

#include "warehouse_types.h"

namespace whemu {

// An application buffer: SQLGetData's arguments or one SQLBindCol binding.
struct CellTarget {
    SQLSMALLINT type = SQL_C_CHAR;
    SQLPOINTER value = nullptr;
    SQLLEN capacity = 0;
    SQLLEN* indicator = nullptr;
};

// Where SQLGetData stands in one cell read in pieces.
struct CellCursor {
    size_t offset = 0;  // bytes of the converted cell already returned
    bool done = false;  // the cell has been read to its end
};

// Writes the next piece of `text` (a non-NULL cell of a column of SQL type
// `sqlType`) into `target`. Returns SQL_SUCCESS_WITH_INFO while a character or
// binary value is cut (the caller posts 01004), SQL_SUCCESS otherwise.
SQLRETURN writeCell(const std::string& text, int sqlType, const CellTarget& target,
                    CellCursor& cursor);

// One SQLBindParameter binding.
struct BoundParameter {
    SQLSMALLINT valueType = SQL_C_CHAR;
    SQLSMALLINT parameterType = SQL_VARCHAR;
    SQLULEN columnSize = 0;
    SQLSMALLINT decimalDigits = 0;
    SQLPOINTER value = nullptr;
    SQLLEN bufferLength = 0;
    SQLLEN* indicator = nullptr;
};

// The literal the parameter's current value stands for: text as a string
// literal (or DECIMAL, TIMESTAMP, DATE text when the parameter's SQL type says
// so), integers, doubles, booleans, timestamps and dates as literals of their
// type, and SQL_NULL_DATA as NULL.
Literal parameterLiteral(const BoundParameter& parameter);

// Returns true iff the driver converts cells to and parameters from C type `type`.
bool isSupportedCType(SQLSMALLINT type);

// UTF-16 code units (as SQLWCHAR holds them) to UTF-8 and back; a lone
// surrogate becomes U+FFFD.
std::string utf8FromUtf16(const SQLWCHAR* units, size_t count);
std::basic_string<SQLWCHAR> utf16FromUtf8(const std::string& text);

}  // namespace whemu
