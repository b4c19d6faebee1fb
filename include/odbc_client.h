#pragma once
// ODBCClient: the plugin's only door to the database.
//
// Owns one ODBC environment handle and one connection handle (released by
// Destroy, also from the destructor), opens the connection from a complete
// connection string, executes statements on a fresh statement handle each
// (freed before the call returns or throws), reads result sets as text,
// classifies execution errors and detects the database product.
// Life cycle: Empty --Init--> Prepared --Connect--> Connected; Destroy or a
// failed Connect return to Empty. Never copied. Not thread-safe: one owner
// (the connector) calls it from one thread at a time.

#include <sql.h>
#include <sqlext.h>

#include <cstdint>
#include <string>
#include <vector>

#include "database_type.h"

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

class ODBCClient {
  public:
    ODBCClient();
    virtual ~ODBCClient();

    ODBCClient(const ODBCClient&) = delete;
    ODBCClient& operator=(const ODBCClient&) = delete;

    // Allocates the environment and connection handles (releasing any still
    // held first); throws std::runtime_error on failure, holding no handle.
    virtual void Init();
    // Opens the connection; never throws for ODBC errors. A failed attempt,
    // or one without Init, leaves the client holding no handle.
    virtual ODBCStatus Connect(const std::string& connectionString);
    virtual bool isConnected();
    virtual std::string getDatabaseProductName();
    virtual std::string getDatabaseType();
    virtual DatabaseType getDatabaseTypeEnum();
    virtual void cacheDatabaseType();
    virtual bool isDatabaseTypeCached() const;
    // Runs one statement and reads its whole result set as text; throws
    // std::runtime_error when the statement cannot be run. The text is handed
    // to the driver without a copy; a text holding a zero byte is refused
    // ("Failed to execute query.", not retriable) rather than sent cut short.
    virtual QueryResult executeQuery(const std::string& query);
    virtual QueryResultEx executeQueryEx(const std::string& query);
    // Disconnects and frees both handles; safe in every state.
    virtual void Destroy();

    // Logs every diagnostic record the driver manager holds for the handle.
    void handleDiagnosticRecord(SQLHANDLE handle, SQLSMALLINT handleType,
                                const std::string& context);
    // Execution-time classification: true when retrying may succeed. Logs
    // the class chosen; a null text counts as an empty one.
    bool isRetriableError(const SQLCHAR* sqlState, SQLINTEGER nativeError, const SQLCHAR* message);

    // Read-only views for callers and tests.
    SQLHENV getEnvironmentHandle() const { return env; }
    SQLHDBC getConnectionHandle() const { return dbc; }
    const std::string& getConnectionString() const { return connectionString; }
    bool isLastErrorRetriable() const { return lastErrorRetriable; }
    // Why the last executeQuery failed, as the driver said it ("SQLSTATE=...,
    // NativeError=..., Message=..."); empty when it did not fail in execution.
    const std::string& getLastErrorText() const { return lastErrorText; }
    const std::vector<std::string>& getResultColumnNames() const { return resultColumnNames; }

  protected:
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    std::string connectionString;
    std::string databaseTypeName;
    DatabaseType databaseType = DatabaseType::UNKNOWN;
    bool databaseTypeCached = false;
    bool lastErrorRetriable = false;
    std::vector<std::string> resultColumnNames;
    std::string lastErrorText;
};
