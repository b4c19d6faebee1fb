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
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "database_type.h"
#include "query_result.h"

// Owners of the two long-lived ODBC handles: each frees its handle when it
// is reset or destroyed (a connection is disconnected first). Move-only.
class EnvironmentHandle {
  public:
    EnvironmentHandle() = default;
    ~EnvironmentHandle() { reset(); }
    EnvironmentHandle(const EnvironmentHandle&) = delete;
    EnvironmentHandle& operator=(const EnvironmentHandle&) = delete;
    // A moved-from owner holds no handle.
    EnvironmentHandle(EnvironmentHandle&& other) noexcept
        : handle(std::exchange(other.handle, SQLHENV{SQL_NULL_HENV})) {}
    EnvironmentHandle& operator=(EnvironmentHandle&& other) noexcept {
        if (this != &other) {
            reset();
            handle = std::exchange(other.handle, SQLHENV{SQL_NULL_HENV});
        }
        return *this;
    }

    SQLHENV get() const { return handle; }
    explicit operator bool() const { return handle != SQL_NULL_HENV; }
    // Allocates a fresh ODBC 3 environment; returns true iff it was allocated.
    bool allocate();
    void reset() noexcept;

  private:
    SQLHENV handle = SQL_NULL_HENV;
};

class ConnectionHandle {
  public:
    ConnectionHandle() = default;
    ~ConnectionHandle() { reset(); }
    ConnectionHandle(const ConnectionHandle&) = delete;
    ConnectionHandle& operator=(const ConnectionHandle&) = delete;
    // A moved-from owner holds no handle.
    ConnectionHandle(ConnectionHandle&& other) noexcept
        : handle(std::exchange(other.handle, SQLHDBC{SQL_NULL_HDBC})) {}
    ConnectionHandle& operator=(ConnectionHandle&& other) noexcept {
        if (this != &other) {
            reset();
            handle = std::exchange(other.handle, SQLHDBC{SQL_NULL_HDBC});
        }
        return *this;
    }

    SQLHDBC get() const { return handle; }
    explicit operator bool() const { return handle != SQL_NULL_HDBC; }
    // Allocates a connection handle in `env`; returns true iff it was allocated.
    bool allocate(SQLHENV env);
    // Disconnects (harmless when not connected) and frees the handle.
    void reset() noexcept;

  private:
    SQLHDBC handle = SQL_NULL_HDBC;
};

// Owner of one statement handle: frees it when reset or destroyed, on every
// way out of a call, exceptions included. Move-only.
class StatementHandle {
  public:
    StatementHandle() = default;
    ~StatementHandle() { reset(); }
    StatementHandle(const StatementHandle&) = delete;
    StatementHandle& operator=(const StatementHandle&) = delete;
    // A moved-from owner holds no handle.
    StatementHandle(StatementHandle&& other) noexcept
        : handle(std::exchange(other.handle, SQLHSTMT{SQL_NULL_HSTMT})) {}
    StatementHandle& operator=(StatementHandle&& other) noexcept {
        if (this != &other) {
            reset();
            handle = std::exchange(other.handle, SQLHSTMT{SQL_NULL_HSTMT});
        }
        return *this;
    }

    SQLHSTMT get() const { return handle; }
    explicit operator bool() const { return handle != SQL_NULL_HSTMT; }
    // Allocates a statement handle on `dbc`; returns true iff it was allocated.
    bool allocate(SQLHDBC dbc);
    void reset() noexcept;

  private:
    SQLHSTMT handle = SQL_NULL_HSTMT;
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
    // or one without Init, leaves the client holding no handle. Returns
    // CORVANE_ODBC_FAILED only for a refused login or configuration
    // (SQLSTATE 28000, 42000) and for a call without Init; every other
    // failure returns CORVANE_ODBC_EAGAIN: a later attempt may succeed.
    virtual ODBCStatus Connect(const std::string& connectionString);
    // Returns false when the driver calls the connection dead, and after
    // kLinkFailuresForDead statements in a row failed for the link (a driver
    // may go on calling a lost link alive); Destroy starts the count again.
    virtual bool isConnected();
    static constexpr unsigned kLinkFailuresForDead = 2;
    virtual std::string getDatabaseProductName();
    virtual std::string getDatabaseType();
    virtual DatabaseType getDatabaseTypeEnum();
    virtual void cacheDatabaseType();
    virtual bool isDatabaseTypeCached() const;
    // Runs one statement and reads its whole result set as text; throws
    // StatementError when the driver refuses the statement (success is then
    // never false), std::runtime_error for other failures. The text is handed
    // to the driver without a copy; a text holding a zero byte is refused
    // (a StatementError, not retriable) rather than sent cut short.
    virtual QueryResult executeQuery(const std::string& query);
    // As executeQuery, with the column names as the first row; a refused
    // statement is returned (success false) instead of thrown. A refusal is a
    // StatementError, or (from an executeQuery of a subclass) any
    // std::runtime_error whose what() is "Failed to execute query.": without
    // diagnostics that one is classified as an unknown error, retriable.
    // Every other exception reaches the caller.
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
    SQLHENV getEnvironmentHandle() const { return env.get(); }
    SQLHDBC getConnectionHandle() const { return dbc.get(); }
    const std::string& getConnectionString() const { return connectionString; }
    // The verdict on the most recent refused statement (kept after later
    // successes); the StatementError thrown carries the same verdict.
    bool isLastErrorRetriable() const { return lastErrorRetriable; }
    const std::vector<std::string>& getResultColumnNames() const { return resultColumnNames; }
    // The cause of the most recent failed Connect ("SQLSTATE=<s>, Message=<m>"),
    // empty after a successful one. Connect reports a cause at the error level
    // only when it differs from this one, so a warehouse that stays away is
    // reported once, not at every attempt.
    const std::string& getLastConnectFailure() const { return lastConnectFailure; }
    // Forgets that cause: the next failed Connect is reported in full, as
    // after a change of settings.
    void forgetConnectFailure() { lastConnectFailure.clear(); }
    // Whether a successful Connect is announced at the info level (the
    // default) or only at debug: a writer connection opened for the same
    // warehouse as the primary one is not news to the operator.
    void announceConnects(bool announce) { connectAnnounced = announce; }

  protected:
    EnvironmentHandle env;
    ConnectionHandle dbc;
    std::string connectionString;
    std::string databaseTypeName;
    DatabaseType databaseType = DatabaseType::UNKNOWN;
    bool databaseTypeCached = false;
    bool lastErrorRetriable = false;
    std::vector<std::string> resultColumnNames;
    std::string lastConnectFailure;
    bool connectAnnounced = true;
    unsigned linkFailuresInARow = 0;  // statements refused for the link, one after another

  private:
    // executeQuery without the count of link failures.
    QueryResult runQuery(const std::string& query);
    // The steps of executeQuery: run the statement on a fresh handle (throws
    // as executeQuery does), read the result's column names into
    // resultColumnNames and return their number, fetch every row as text.
    void runStatement(const std::string& query, StatementHandle& stmt);
    SQLSMALLINT describeColumns(SQLHSTMT stmt);
    // A failed fetch throws the StatementError of its diagnostics.
    QueryRows fetchRows(SQLHSTMT stmt, SQLSMALLINT columns, const std::string& query);
    // The error of a statement the driver refused (or whose result it could
    // not hand out) at the call `context`: logs the handle's diagnostics,
    // classifies its first record (setting lastErrorRetriable) and returns
    // the StatementError that carries it.
    StatementError statementError(SQLHSTMT stmt, const std::string& query, const char* context);
};
