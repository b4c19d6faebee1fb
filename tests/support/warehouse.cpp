#include "warehouse.h"

#include <sql.h>
#include <sqlext.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

void useEmulatorDriver() {
    setenv("ODBCSYSINI", LAKESINK_ODBCSYSINI, 1);
}

TempWarehouse::TempWarehouse() {
    useEmulatorDriver();
    std::string pattern = (std::filesystem::temp_directory_path() / "lakesink-wh-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a temporary warehouse");
    dir = pattern;
}

TempWarehouse::~TempWarehouse() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

std::string TempWarehouse::connectionString(const std::string& schema, const std::string& user,
                                            const std::string& password) const {
    return "Driver={DatabricksODBCDriver};Host=localhost;Port=443;UID=" + user +
           ";PWD=" + password + ";SCHEMA=" + schema + ";Warehouse=" + dir + ";";
}

std::string TempWarehouse::additionalParams() const {
    return "{\"Warehouse\": \"" + dir + "\"}";
}

void TempWarehouse::setOffline(bool offline) const {
    const std::string path = dir + "/offline";
    if (offline) {
        std::ofstream(path) << "offline\n";
    } else {
        std::filesystem::remove(path);
    }
}

void TempWarehouse::addFault(const std::string& sqlState, int count,
                             const std::string& text) const {
    std::ofstream out(dir + "/faults", std::ios::app);
    out << sqlState << ' ' << count;
    if (!text.empty())
        out << ' ' << text;
    out << '\n';
}

void TempWarehouse::setCredentials(const std::string& lines) const {
    std::ofstream(dir + "/credentials") << lines;
}

namespace {
std::string diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
    SQLCHAR state[6] = {0};
    SQLCHAR message[1024] = {0};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    if (SQL_SUCCEEDED(
            SQLGetDiagRec(type, handle, 1, state, &native, message, sizeof message, &length))) {
        return std::string(reinterpret_cast<char*>(state)) + ": " +
               reinterpret_cast<char*>(message);
    }
    return "no diagnostics";
}

// Frees the three handles on every way out.
struct Session {
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    bool connected = false;
    ~Session() {
        if (stmt)
            SQLFreeHandle(SQL_HANDLE_STMT, stmt);
        if (connected)
            SQLDisconnect(dbc);
        if (dbc)
            SQLFreeHandle(SQL_HANDLE_DBC, dbc);
        if (env)
            SQLFreeHandle(SQL_HANDLE_ENV, env);
    }
};
}  // namespace

std::vector<std::vector<std::string>> TempWarehouse::query(const std::string& sql,
                                                           const std::string& schema) const {
    Session s;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &s.env);
    SQLSetEnvAttr(s.env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, s.env, &s.dbc);
    std::string conn = connectionString(schema);
    if (!SQL_SUCCEEDED(SQLDriverConnect(s.dbc, nullptr, (SQLCHAR*)conn.c_str(), SQL_NTS, nullptr, 0,
                                        nullptr, SQL_DRIVER_NOPROMPT))) {
        throw std::runtime_error("connect: " + diagnostics(SQL_HANDLE_DBC, s.dbc));
    }
    s.connected = true;
    SQLAllocHandle(SQL_HANDLE_STMT, s.dbc, &s.stmt);
    if (!SQL_SUCCEEDED(SQLExecDirect(s.stmt, (SQLCHAR*)sql.c_str(), SQL_NTS))) {
        throw std::runtime_error("execute: " + diagnostics(SQL_HANDLE_STMT, s.stmt));
    }
    SQLSMALLINT columns = 0;
    SQLNumResultCols(s.stmt, &columns);
    std::vector<std::vector<std::string>> rows;
    while (columns > 0 && SQLFetch(s.stmt) == SQL_SUCCESS) {
        std::vector<std::string> row;
        for (SQLUSMALLINT c = 1; c <= columns; ++c) {
            std::string cell;
            char buffer[4096];
            SQLLEN indicator = 0;
            SQLRETURN rc;
            bool isNull = false;
            // Read long values in pieces.
            while ((rc = SQLGetData(s.stmt, c, SQL_C_CHAR, buffer, sizeof buffer, &indicator)) !=
                   SQL_NO_DATA) {
                if (!SQL_SUCCEEDED(rc))
                    throw std::runtime_error("read: " + diagnostics(SQL_HANDLE_STMT, s.stmt));
                if (indicator == SQL_NULL_DATA) {
                    isNull = true;
                    break;
                }
                size_t got = (indicator == SQL_NO_TOTAL || indicator >= (SQLLEN)sizeof buffer)
                                 ? sizeof buffer - 1
                                 : static_cast<size_t>(indicator);
                cell.append(buffer, got);
                if (rc == SQL_SUCCESS)
                    break;
            }
            row.push_back(isNull ? "NULL" : cell);
        }
        rows.push_back(std::move(row));
    }
    return rows;
}
