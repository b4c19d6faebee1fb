#pragma once
// What executing a statement comes to, as every part above the ODBC client
// sees it: the connection status, result rows as text, and StatementError,
// the type of every refused statement. Plain values, no ODBC types: a header
// that needs these does not need the ODBC client or <sql.h>.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

enum ODBCStatus : int32_t {
    CORVANE_ODBC_SUCCESS = 0,
    CORVANE_ODBC_EAGAIN = 1,
    CORVANE_ODBC_FAILED = 2,
    CORVANE_ODBC_NOTCONNECTED = 3,
    CORVANE_ODBC_UNKNOWN = 4
};

// Name of a status as it is logged; "CORVANE_ODBC_UNKNOWN" outside 0 to 3.
const char* odbcStatusName(int status);

using QueryRow = std::vector<std::string>;
using QueryRows = std::vector<QueryRow>;

// Result of every executeQuery: cells are texts, "NULL" for SQL NULL and
// "ERROR" for a cell that could not be read; no header row.
struct QueryResult {
    bool success = false;
    QueryRows rows;
};

// Result of executeQueryEx: on success the first row holds the column names.
struct QueryResultEx {
    bool retriable = false;
    bool success = false;
    QueryRows rows;
};

// A statement the driver refused. what() is "Failed to execute query."; the
// error carries the first diagnostic record and the client's verdict on
// whether running the statement again may succeed. Every failure to execute
// a statement reaches callers as this type; other client failures (no
// statement handle, no result description) are plain std::runtime_error.
class StatementError : public std::runtime_error {
  public:
    StatementError(std::string sqlState, int nativeError, std::string message, bool retriable);

    const std::string& sqlState() const { return state; }
    int nativeError() const { return native; }
    const std::string& message() const { return text; }
    // Returns true iff the same statement may succeed when run again later.
    bool retriable() const { return canRetry; }
    // "SQLSTATE=<s>, NativeError=<n>, Message=<m>", as operators see it logged.
    std::string describe() const;
    // Returns true iff the warehouse refused the data rather than the
    // statement or the link (error_classifier.h). Sending the same rows
    // fails again.
    bool isDataRefusal() const;
    // Returns true iff the warehouse refused the statement for its length
    // (54000, STATEMENT_TOO_LARGE): the same rows fit in shorter statements.
    bool isTooLarge() const;
    // Returns true iff the link to the warehouse failed under the statement:
    // a connection error (SQLSTATE class 08), a connection timeout (HYT01),
    // or the driver's general error for a dropped HTTP link (HY000).
    bool isLinkFailure() const;
    // Returns true iff the statement names a table or column the warehouse
    // does not have, or gives rows another number of values than the table
    // has columns (error_classifier.h): the table is not as it was known.
    bool isMissingObject() const;

  private:
    std::string state;
    int native;
    std::string text;
    bool canRetry;
};
