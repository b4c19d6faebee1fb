#pragma once
// A raw ODBC session for the emulator tests: one environment and connection
// through the real unixODBC driver manager, statements run one at a time with
// the first diagnostic record and every row kept as text. Frees its handles
// on destruction. Not thread-safe; one per test.

#include <sql.h>
#include <sqlext.h>

#include <string>
#include <vector>

#include "warehouse.h"

struct OdbcResult {
    SQLRETURN rc = SQL_ERROR;
    std::string state;  // of the first diagnostic record, empty when none
    SQLINTEGER native = 0;
    std::string message;
    SQLLEN rowCount = -1;
    std::vector<std::vector<std::string>> rows;  // SQL NULL as "NULL"
    bool ok() const { return SQL_SUCCEEDED(rc); }
};

inline OdbcResult diagnosticsOf(SQLSMALLINT type, SQLHANDLE handle, SQLRETURN rc) {
    OdbcResult r;
    r.rc = rc;
    SQLCHAR state[6] = {0};
    SQLCHAR message[2048] = {0};
    SQLSMALLINT length = 0;
    if (SQL_SUCCEEDED(
            SQLGetDiagRec(type, handle, 1, state, &r.native, message, sizeof message, &length))) {
        r.state = reinterpret_cast<char*>(state);
        r.message = reinterpret_cast<char*>(message);
    }
    return r;
}

class OdbcSession {
  public:
    explicit OdbcSession(const std::string& connectionString) {
        useEmulatorDriver();
        SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_);
        SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_);
        const SQLRETURN rc = SQLDriverConnect(dbc_, nullptr, (SQLCHAR*)connectionString.c_str(),
                                              SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
        connect_ = diagnosticsOf(SQL_HANDLE_DBC, dbc_, rc);
        connected_ = SQL_SUCCEEDED(rc);
    }
    ~OdbcSession() {
        if (connected_)
            SQLDisconnect(dbc_);
        SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
        SQLFreeHandle(SQL_HANDLE_ENV, env_);
    }
    OdbcSession(const OdbcSession&) = delete;
    OdbcSession& operator=(const OdbcSession&) = delete;

    bool connected() const { return connected_; }
    const OdbcResult& connectResult() const { return connect_; }
    SQLHDBC dbc() const { return dbc_; }

    OdbcResult run(const std::string& sql) {
        SQLHSTMT stmt = SQL_NULL_HSTMT;
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt))) {
            return diagnosticsOf(SQL_HANDLE_DBC, dbc_, SQL_ERROR);
        }
        const SQLRETURN rc =
            SQLExecDirect(stmt, (SQLCHAR*)sql.data(), static_cast<SQLINTEGER>(sql.size()));
        OdbcResult r = diagnosticsOf(SQL_HANDLE_STMT, stmt, rc);
        if (r.ok()) {
            SQLRowCount(stmt, &r.rowCount);
            SQLSMALLINT columns = 0;
            SQLNumResultCols(stmt, &columns);
            while (columns > 0 && SQLFetch(stmt) == SQL_SUCCESS) {
                std::vector<std::string> row;
                for (SQLUSMALLINT c = 1; c <= columns; ++c) {
                    std::string cell;
                    char buffer[256];
                    SQLLEN indicator = 0;
                    SQLRETURN got;
                    bool isNull = false;
                    while ((got = SQLGetData(stmt, c, SQL_C_CHAR, buffer, sizeof buffer,
                                             &indicator)) != SQL_NO_DATA) {
                        if (!SQL_SUCCEEDED(got))
                            break;
                        if (indicator == SQL_NULL_DATA) {
                            isNull = true;
                            break;
                        }
                        const size_t piece = indicator >= static_cast<SQLLEN>(sizeof buffer)
                                                 ? sizeof buffer - 1
                                                 : static_cast<size_t>(indicator);
                        cell.append(buffer, piece);
                    }
                    row.push_back(isNull ? "NULL" : cell);
                }
                r.rows.push_back(std::move(row));
            }
        }
        SQLFreeHandle(SQL_HANDLE_STMT, stmt);
        return r;
    }

    // SQL_ATTR_CONNECTION_DEAD as the driver reports it.
    bool dead() const {
        SQLUINTEGER value = SQL_CD_FALSE;
        SQLGetConnectAttr(dbc_, SQL_ATTR_CONNECTION_DEAD, &value, 0, nullptr);
        return value == SQL_CD_TRUE;
    }

    std::string info(SQLUSMALLINT type) const {
        char value[256] = {0};
        SQLSMALLINT length = 0;
        SQLGetInfo(dbc_, type, value, sizeof value, &length);
        return value;
    }

  private:
    SQLHENV env_ = SQL_NULL_HENV;
    SQLHDBC dbc_ = SQL_NULL_HDBC;
    bool connected_ = false;
    OdbcResult connect_;
};
