#include "odbc_client.h"

#include "error_classifier.h"

#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

#include "connection_secrets.h"
#include "logger.h"
#include "utf8.h"

namespace {

// Buffer sizes, in bytes, including the terminating zero.
constexpr SQLSMALLINT kStateSize = 6;
constexpr SQLSMALLINT kMessageSize = 512;
constexpr SQLSMALLINT kColumnNameSize = 256;
constexpr SQLLEN kValueSize = 1024;
constexpr SQLSMALLINT kProductNameSize = 256;

inline bool succeeded(SQLRETURN rc) {
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

inline const char* text(const SQLCHAR* s) {
    return reinterpret_cast<const char*>(s);
}

// One diagnostic record. The buffers are cleared before every read, so a read
// that finds no record (or fails) leaves empty texts and a zero native error
// instead of whatever the stack held.
struct DiagRecord {
    SQLCHAR state[kStateSize];
    SQLINTEGER native;
    SQLCHAR message[kMessageSize];

    void clear() {
        std::memset(state, 0, sizeof state);
        native = 0;
        std::memset(message, 0, sizeof message);
    }

    SQLRETURN read(SQLSMALLINT handleType, SQLHANDLE handle, SQLSMALLINT number) {
        clear();
        SQLSMALLINT textLength = 0;
        const SQLRETURN rc = SQLGetDiagRec(handleType, handle, number, state, &native, message,
                                           kMessageSize, &textLength);
        if (!succeeded(rc)) {
            clear();
            return rc;
        }
        // A driver that fills the buffers to the brim still leaves texts.
        state[kStateSize - 1] = 0;
        message[kMessageSize - 1] = 0;
        const size_t length = strnlen(text(message), kMessageSize - 1);
        if (length == static_cast<size_t>(kMessageSize - 1) &&
            (textLength >= kMessageSize || rc == SQL_SUCCESS_WITH_INFO)) {
            // A truncated message never ends in half a character.
            message[utf8CompleteLength(text(message), length)] = 0;
        }
        return rc;
    }

    const char* stateText() const { return text(state); }
    const char* messageText() const { return text(message); }
    int nativeError() const { return static_cast<int>(native); }
};

// Returns true iff the SQLSTATE of one of the statement's diagnostic records
// satisfies `rule`.
bool hasDiagState(SQLHSTMT stmt, bool (*rule)(const std::string&)) {
    DiagRecord record;
    for (SQLSMALLINT number = 1; succeeded(record.read(SQL_HANDLE_STMT, stmt, number)); ++number) {
        if (rule(record.stateText()))
            return true;
    }
    return false;
}

enum class CellRead { Value, Null, Failed };

// Reads the current row's value of `column` whole into `cell`, through
// `buffer` (kValueSize bytes). A value longer than the buffer comes in pieces:
// the driver answers SQL_SUCCESS_WITH_INFO with SQLSTATE 01004 and hands out
// the rest on the next calls, each piece ending in a zero byte of its own. A
// value that fits costs one call. The text ends at the value's first zero
// byte. Failed means the driver refused a call; the caller reads its
// diagnostics.
CellRead readCell(SQLHSTMT stmt, SQLUSMALLINT column, SQLCHAR* buffer, std::string& cell) {
    constexpr size_t room = static_cast<size_t>(kValueSize) - 1;  // one byte for the zero
    // Never reserve more than this on a driver's word for a value's length.
    constexpr SQLLEN kMaxReserve = SQLLEN{1} << 24;
    SQLLEN total = SQL_NO_TOTAL;
    bool first = true;
    for (;;) {
        buffer[0] = 0;
        SQLLEN indicator = 0;
        const SQLRETURN rc = SQLGetData(stmt, column, SQL_C_CHAR, buffer, kValueSize, &indicator);
        if (!first && rc == SQL_NO_DATA)
            return CellRead::Value;  // the previous piece was the last one after all
        if (!succeeded(rc))
            return CellRead::Failed;
        if (first && indicator == SQL_NULL_DATA)
            return CellRead::Null;
        buffer[room] = 0;
        const size_t length = strnlen(text(buffer), room);
        if (first) {
            cell.assign(text(buffer), length);
        } else {
            cell.append(text(buffer), length);
        }
        // A piece shorter than the buffer holds the value's end or a zero byte
        // inside it; either way the text ends here.
        if (rc == SQL_SUCCESS || length < room)
            return CellRead::Value;
        const bool truncated = indicator == SQL_NO_TOTAL || indicator > static_cast<SQLLEN>(room) ||
                               hasDiagState(stmt, isDataTruncated);
        if (!truncated)
            return CellRead::Value;
        if (first && indicator != SQL_NO_TOTAL) {
            // The driver told the value's length: reserve it, and never read
            // past it (a driver that hands out the same piece again must not
            // make the text grow without end).
            total = indicator;
            cell.reserve(static_cast<size_t>(indicator < kMaxReserve ? indicator : kMaxReserve));
        }
        if (total != SQL_NO_TOTAL && cell.size() >= static_cast<size_t>(total)) {
            cell.resize(static_cast<size_t>(total));
            return CellRead::Value;
        }
        first = false;
    }
}

// The status of a failed Connect with SQLSTATE `state`; logs its class when
// `report`. Only a connect that can never pass with these settings (a
// refused login, schema, catalog or configuration) stays failed until the
// settings change. Every other failure, known to be transient or not, may
// clear by itself (the warehouse's driver reports an unreachable host as
// HY000), so it is retried.
ODBCStatus connectFailureStatus(const std::string& state, bool report) {
    Logger* logger = Logger::getLogger();
    switch (classifyConnectError(state)) {
        case ConnectFailure::Transient:
            if (report)
                logger->warn("Connection failed due to a transient error. Retrying might help.");
            return CORVANE_ODBC_EAGAIN;
        case ConnectFailure::RefusedForGood:
            if (report) {
                logger->error(
                    "Connection failed due to non-retriable error: Credentials or configuration "
                    "issue.");
            }
            return CORVANE_ODBC_FAILED;
        case ConnectFailure::Unknown:
            break;
    }
    if (report)
        logger->error("Connection failed due to an unknown or permanent error.");
    return CORVANE_ODBC_EAGAIN;
}

}  // namespace

bool EnvironmentHandle::allocate() {
    reset();
    SQLHANDLE fresh = SQL_NULL_HANDLE;
    if (!succeeded(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &fresh)))
        return false;
    handle = fresh;
    SQLSetEnvAttr(handle, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    return true;
}

void EnvironmentHandle::reset() noexcept {
    if (handle != SQL_NULL_HENV) {
        SQLFreeHandle(SQL_HANDLE_ENV, handle);
        handle = SQL_NULL_HENV;
    }
}

bool ConnectionHandle::allocate(SQLHENV env) {
    reset();
    SQLHANDLE fresh = SQL_NULL_HANDLE;
    if (!succeeded(SQLAllocHandle(SQL_HANDLE_DBC, env, &fresh)))
        return false;
    handle = fresh;
    return true;
}

void ConnectionHandle::reset() noexcept {
    if (handle != SQL_NULL_HDBC) {
        SQLDisconnect(handle);
        SQLFreeHandle(SQL_HANDLE_DBC, handle);
        handle = SQL_NULL_HDBC;
    }
}

bool StatementHandle::allocate(SQLHDBC dbc) {
    reset();
    SQLHANDLE fresh = SQL_NULL_HANDLE;
    if (!succeeded(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &fresh)))
        return false;
    handle = fresh;
    return true;
}

void StatementHandle::reset() noexcept {
    if (handle != SQL_NULL_HSTMT) {
        SQLFreeHandle(SQL_HANDLE_STMT, handle);
        handle = SQL_NULL_HSTMT;
    }
}

ODBCClient::ODBCClient() {
    Logger::getLogger()->debug("ODBCClient instance is being created.");
}

ODBCClient::~ODBCClient() {
    Logger::getLogger()->debug("ODBCClient instance is being destroyed.");
    ODBCClient::Destroy();
}

void ODBCClient::Init() {
    Logger* logger = Logger::getLogger();
    logger->debug("Initializing ODBC environment...");

    // Handles still held from an earlier Init would be lost otherwise.
    if (env || dbc)
        Destroy();

    if (!env.allocate()) {
        logger->debug("Failed to allocate ODBC environment handle.");
        throw std::runtime_error("Failed to allocate ODBC environment handle.");
    }
    if (!dbc.allocate(env.get())) {
        logger->debug("Failed to allocate ODBC connection handle.");
        Destroy();
        throw std::runtime_error("Failed to allocate ODBC connection handle.");
    }
    logger->debug("ODBC environment initialized successfully.");
}

ODBCStatus ODBCClient::Connect(const std::string& connString) {
    Logger* logger = Logger::getLogger();
    if (!dbc) {
        // Without a connection handle the driver manager has nothing to
        // connect and no diagnostics to give.
        logger->error(
            "Cannot connect: the ODBC client is not initialised (no connection handle); "
            "Init must run before Connect.");
        Destroy();
        return CORVANE_ODBC_FAILED;
    }

    SQLCHAR* in = const_cast<SQLCHAR*>(reinterpret_cast<const SQLCHAR*>(connString.c_str()));
    const SQLRETURN rc =
        SQLDriverConnect(dbc.get(), nullptr, in, SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
    if (succeeded(rc)) {
        if (connectAnnounced)
            logger->info("Connected to the database successfully.");
        else
            logger->debug("Connected to the database successfully.");
        connectionString = connString;
        lastConnectFailure.clear();
        return CORVANE_ODBC_SUCCESS;
    }

    DiagRecord record;
    record.read(SQL_HANDLE_DBC, dbc.get(), 1);
    const std::string state(record.stateText());
    // A warehouse that stays away fails every attempt the same way: its cause
    // is reported once, and again only when it changes.
    // A driver may quote the settings it was given; no secret of them is shown.
    const std::string message = hideConnectionSecrets(record.messageText(), connString);
    std::string cause = "SQLSTATE=" + state + ", Message=" + message;
    const bool newCause = cause != lastConnectFailure;
    lastConnectFailure = std::move(cause);
    if (newCause) {
        logger->error("SQLSTATE=%s, NativeError=%d, Message=%s", record.stateText(),
                      record.nativeError(), message.c_str());
    } else {
        logger->debug("Connection failed again for the same cause: SQLSTATE=%s, NativeError=%d",
                      record.stateText(), record.nativeError());
    }

    const ODBCStatus status = connectFailureStatus(state, newCause);
    Destroy();
    return status;
}

bool ODBCClient::isConnected() {
    Logger* logger = Logger::getLogger();
    if (!dbc) {
        logger->warn("Connection status check failed: connection handle is not initialized.");
        return false;
    }
    // Some drivers go on calling a link alive after it was lost: statements
    // failing for the link, one after the other, tell otherwise.
    if (linkFailuresInARow >= kLinkFailuresForDead) {
        logger->warn(
            "Connection is not active: %u statements in a row failed with a connection error.",
            linkFailuresInARow);
        return false;
    }

    // The attribute is a 32-bit value; the spare word keeps a driver that
    // writes a wider integer from scribbling over the stack.
    struct {
        SQLUINTEGER value;
        SQLUINTEGER spare;
    } dead = {SQL_CD_FALSE, 0};
    const SQLRETURN rc =
        SQLGetConnectAttr(dbc.get(), SQL_ATTR_CONNECTION_DEAD, &dead.value, 0, nullptr);
    if (rc != SQL_SUCCESS) {
        logger->error("Failed to determine connection status using SQLGetConnectAttr.");
        handleDiagnosticRecord(dbc.get(), SQL_HANDLE_DBC, "SQLGetConnectAttr");
        return false;
    }
    if (dead.value == SQL_CD_TRUE) {
        logger->info("Connection is not active (dead).");
        return false;
    }
    logger->info("Connection is active.");
    return true;
}

std::string ODBCClient::getDatabaseProductName() {
    Logger* logger = Logger::getLogger();
    if (!isConnected()) {
        logger->warn("Cannot get database product name: not connected");
        return "Unknown";
    }

    SQLCHAR name[kProductNameSize] = {};
    SQLSMALLINT length = 0;
    const SQLRETURN rc = SQLGetInfo(dbc.get(), SQL_DBMS_NAME, name, kProductNameSize, &length);
    if (succeeded(rc)) {
        name[kProductNameSize - 1] = 0;
        std::string product(text(name));
        logger->debug("Database product name: %s", product.c_str());
        return product;
    }
    handleDiagnosticRecord(dbc.get(), SQL_HANDLE_DBC, "SQLGetInfo");
    logger->warn("Failed to get database product name");
    return "Unknown";
}

std::string ODBCClient::getDatabaseType() {
    Logger* logger = Logger::getLogger();
    if (databaseTypeCached) {
        logger->debug("Using cached database type: %s", databaseTypeName.c_str());
        return databaseTypeName;
    }
    logger->warn("Database type not cached - call cacheDatabaseType() after successful connection");
    return "Unknown";
}

DatabaseType ODBCClient::getDatabaseTypeEnum() {
    Logger* logger = Logger::getLogger();
    if (databaseTypeCached) {
        logger->debug("Using cached database type enum: %s",
                      databaseTypeToString(databaseType).c_str());
        return databaseType;
    }
    logger->warn("Database type not cached - call cacheDatabaseType() after successful connection");
    return DatabaseType::UNKNOWN;
}

void ODBCClient::cacheDatabaseType() {
    Logger* logger = Logger::getLogger();
    if (!isConnected()) {
        logger->warn("Cannot cache database type: not connected");
        return;
    }
    const std::string product = getDatabaseProductName();
    databaseType = stringToDatabaseType(product);
    databaseTypeName = databaseTypeToString(databaseType);
    databaseTypeCached = true;
    logger->info("Database type cached: %s", databaseTypeName.c_str());
}

bool ODBCClient::isDatabaseTypeCached() const {
    return databaseTypeCached;
}

QueryResult ODBCClient::executeQuery(const std::string& query) {
    try {
        QueryResult result = runQuery(query);
        linkFailuresInARow = 0;
        return result;
    } catch (const StatementError& error) {
        linkFailuresInARow = error.isLinkFailure() ? linkFailuresInARow + 1 : 0;
        throw;
    }
}

QueryResult ODBCClient::runQuery(const std::string& query) {
    StatementHandle stmt;
    runStatement(query, stmt);
    const SQLSMALLINT columns = describeColumns(stmt.get());
    QueryResult result;
    result.rows = fetchRows(stmt.get(), columns, query);
    Logger::getLogger()->debug("Query executed successfully. Rows fetched: %d",
                               static_cast<int>(result.rows.size()));
    stmt.reset();
    result.success = true;
    return result;
}

void ODBCClient::runStatement(const std::string& query, StatementHandle& stmt) {
    Logger* logger = Logger::getLogger();
    // The text goes to the driver as it is, without a copy: INSERT batches
    // run to megabytes.
    logger->debug("Executing query: %s", query.c_str());

    // The driver reads the text up to its first zero byte. A zero byte inside
    // would silently cut the statement short, so such a text is refused.
    if (const void* zero = std::memchr(query.data(), 0, query.size())) {
        logger->error(
            "Refusing to execute a statement text that contains a zero byte (offset %zu).",
            static_cast<size_t>(static_cast<const char*>(zero) - query.data()));
        lastErrorRetriable = false;
        throw StatementError(std::string(), 0, "the statement text contains a zero byte", false);
    }

    if (!stmt.allocate(dbc.get())) {
        handleDiagnosticRecord(dbc.get(), SQL_HANDLE_DBC, "SQLAllocHandle");
        logger->debug("Failed to allocate statement handle.");
        throw std::runtime_error("Failed to allocate statement handle.");
    }

    SQLCHAR* sql = const_cast<SQLCHAR*>(reinterpret_cast<const SQLCHAR*>(query.c_str()));
    const SQLRETURN executed = SQLExecDirect(stmt.get(), sql, SQL_NTS);
    // SQL_NO_DATA is how a driver reports a statement that ran but touched no
    // row; the statement was executed all the same.
    if (!succeeded(executed) && executed != SQL_NO_DATA) {
        StatementError error = statementError(stmt.get(), query, "SQLExecDirect");
        stmt.reset();
        throw error;
    }
}

StatementError ODBCClient::statementError(SQLHSTMT stmt, const std::string& query,
                                          const char* context) {
    Logger* logger = Logger::getLogger();
    handleDiagnosticRecord(stmt, SQL_HANDLE_STMT, context);
    DiagRecord record;
    record.read(SQL_HANDLE_STMT, stmt, 1);
    logger->debug("Failed to execute query: %s", query.c_str());
    logger->debug("SQLSTATE=%s, NativeError=%d, Message=%s", record.stateText(),
                  record.nativeError(), record.messageText());
    lastErrorRetriable = isRetriableError(record.state, record.native, record.message);
    return StatementError(record.stateText(), record.nativeError(), record.messageText(),
                          lastErrorRetriable);
}

SQLSMALLINT ODBCClient::describeColumns(SQLHSTMT stmt) {
    Logger* logger = Logger::getLogger();
    SQLSMALLINT columns = 0;
    if (!succeeded(SQLNumResultCols(stmt, &columns))) {
        handleDiagnosticRecord(stmt, SQL_HANDLE_STMT, "SQLNumResultCols");
        logger->debug("Failed to get number of result columns.");
        throw std::runtime_error("Failed to get number of result columns.");
    }
    logger->debug("Number of columns in result set: %d", static_cast<int>(columns));

    resultColumnNames.clear();
    if (columns > 0)
        resultColumnNames.reserve(static_cast<size_t>(columns));
    for (int column = 1; column <= columns; ++column) {
        SQLCHAR name[kColumnNameSize];
        name[0] = 0;
        SQLSMALLINT nameLength = 0;
        const SQLRETURN rc =
            SQLDescribeCol(stmt, static_cast<SQLUSMALLINT>(column), name, kColumnNameSize,
                           &nameLength, nullptr, nullptr, nullptr, nullptr);
        if (succeeded(rc)) {
            name[kColumnNameSize - 1] = 0;
            resultColumnNames.emplace_back(text(name), strnlen(text(name), kColumnNameSize - 1));
        } else {
            handleDiagnosticRecord(stmt, SQL_HANDLE_STMT, "SQLDescribeCol");
            logger->debug("Failed to describe column %d", column);
            resultColumnNames.emplace_back("UNKNOWN");
        }
    }
    return columns;
}

QueryRows ODBCClient::fetchRows(SQLHSTMT stmt, SQLSMALLINT columns, const std::string& query) {
    QueryRows rows;
    // A statement without a result set (INSERT, CREATE) has no cursor to fetch from.
    if (columns == 0)
        return rows;
    SQLCHAR value[kValueSize] = {};
    for (;;) {
        // A row that comes with a warning is a row. A failed fetch leaves the
        // result incomplete: callers trust a result's rows to be all of them
        // (a MERGE's counts), so it is a failed statement, classified as one.
        const SQLRETURN fetched = SQLFetch(stmt);
        if (fetched == SQL_NO_DATA)
            break;
        if (!succeeded(fetched))
            throw statementError(stmt, query, "SQLFetch");
        QueryRow row;
        if (columns > 0)
            row.reserve(static_cast<size_t>(columns));
        for (int column = 1; column <= columns; ++column) {
            std::string cell;
            const CellRead read = readCell(stmt, static_cast<SQLUSMALLINT>(column), value, cell);
            if (read == CellRead::Value) {
                row.push_back(std::move(cell));
            } else if (read == CellRead::Null) {
                row.emplace_back("NULL");
            } else {
                handleDiagnosticRecord(stmt, SQL_HANDLE_STMT, "SQLGetData");
                Logger::getLogger()->debug("Failed to fetch data for column %d.", column);
                row.emplace_back("ERROR");
            }
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

QueryResultEx ODBCClient::executeQueryEx(const std::string& query) {
    QueryResultEx ex;
    QueryResult result;
    try {
        result = executeQuery(query);
    } catch (const StatementError& error) {
        // A failed execution is returned; every other failure goes on.
        lastErrorRetriable = error.retriable();
        ex.retriable = lastErrorRetriable;
        return ex;
    }
    ex.rows.reserve(result.rows.size() + 1);
    ex.rows.push_back(resultColumnNames);
    for (QueryRow& row : result.rows)
        ex.rows.push_back(std::move(row));
    ex.retriable = lastErrorRetriable;
    ex.success = result.success;
    return ex;
}

void ODBCClient::Destroy() {
    Logger* logger = Logger::getLogger();
    linkFailuresInARow = 0;
    if (dbc) {
        dbc.reset();
        logger->debug("Disconnected from the database.");
    }
    if (env) {
        env.reset();
        logger->debug("ODBC environment released.");
    }
}

void ODBCClient::handleDiagnosticRecord(SQLHANDLE handle, SQLSMALLINT handleType,
                                        const std::string& context) {
    Logger* logger = Logger::getLogger();
    DiagRecord record;
    for (SQLSMALLINT number = 1;; ++number) {
        const SQLRETURN rc = record.read(handleType, handle, number);
        if (rc == SQL_NO_DATA)
            return;
        if (!succeeded(rc)) {
            // An invalid handle or a refused record number: nothing more to read.
            logger->debug("%s: no diagnostic record available (SQLGetDiagRec returned %d).",
                          context.c_str(), static_cast<int>(rc));
            return;
        }
        logger->debug("%s: SQLSTATE=%s, NativeError=%d, Message=%s", context.c_str(),
                      record.stateText(), record.nativeError(),
                      hideConnectionSecrets(record.messageText(), connectionString).c_str());
        if (number == std::numeric_limits<SQLSMALLINT>::max())
            return;
    }
}

bool ODBCClient::isRetriableError(const SQLCHAR* sqlState, SQLINTEGER nativeError,
                                  const SQLCHAR* message) {
    (void)nativeError;  // the driver's own code never changes the verdict
    const std::string state(sqlState ? text(sqlState) : "");
    const std::string msg(message ? text(message) : "");
    const RetryVerdict verdict = classifyExecutionError(state, msg);
    Logger::getLogger()->debug(retryClassFormat(verdict.why),
                               retryClassNamesMessage(verdict.why) ? msg.c_str() : state.c_str());
    return verdict.retriable;
}
