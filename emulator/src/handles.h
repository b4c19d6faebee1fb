#pragma once
// The driver's three ODBC handle kinds and their diagnostic records.
//
// The driver manager owns the lifetime of every handle: it allocates them
// with SQLAllocHandle and frees them with SQLFreeHandle, which delete the
// objects here. A connection handle owns its Session; a statement handle owns
// the outcome of its last statement (the whole result set, read at execution)
// and the position of SQLFetch and SQLGetData in it, its prepared text and the
// application's parameter and column bindings (pointers into buffers the
// application owns and keeps valid while they are bound). Statements still open at
// SQLDisconnect are freed with the connection, as ODBC requires. Diagnostic records stay
// readable any number of times until the next call on the same handle. The
// application must not use one handle from two threads at once.

#include <sql.h>
#include <sqlext.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "diagnostics.h"
#include "executor.h"
#include "odbc_values.h"
#include "session.h"

namespace whemu {

inline constexpr uint32_t kHandleMagic = 0x57484D55;  // "WHMU"

struct Handle {
    explicit Handle(SQLSMALLINT handleType) : type(handleType) {}
    virtual ~Handle() { magic = 0; }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    void clearDiagnostics() { diagnostics.clear(); }
    void post(const Diag& diag) { diagnostics.push_back(diag); }
    void post(const char* state, int native, const std::string& message) {
        diagnostics.push_back(Diag{state, native, message});
    }

    uint32_t magic = kHandleMagic;
    SQLSMALLINT type;
    std::vector<Diag> diagnostics;
    SQLRETURN lastReturn = SQL_SUCCESS;
};

struct Environment : Handle {
    Environment() : Handle(SQL_HANDLE_ENV) {}
    SQLINTEGER odbcVersion = SQL_OV_ODBC3;
};

struct StatementHandle;

struct Connection : Handle {
    explicit Connection(Environment* owner) : Handle(SQL_HANDLE_DBC), environment(owner) {}
    ~Connection() override;
    Environment* environment;
    std::unique_ptr<Session> session;
    std::string connectionString;
    // Statements still allocated on this connection; SQLDisconnect frees them.
    std::vector<StatementHandle*> statements;

    void freeStatement(StatementHandle* stmt);
    void freeAllStatements();
};

struct StatementHandle : Handle {
    explicit StatementHandle(Connection* owner) : Handle(SQL_HANDLE_STMT), connection(owner) {}
    void closeCursor() {
        executed = false;
        outcome = Outcome{};
        nextRow = 0;
        currentRow = -1;
        dataColumn = 0;
    }

    Connection* connection;
    // SQLPrepare: the statement SQLExecute runs and its `?` markers.
    bool prepared = false;
    std::string preparedText;
    size_t markers = 0;
    std::map<SQLUSMALLINT, BoundParameter> parameters;  // SQLBindParameter, by marker number
    std::map<SQLUSMALLINT, CellTarget> boundColumns;    // SQLBindCol, by column number
    bool executed = false;
    Outcome outcome;
    size_t nextRow = 0;           // row the next SQLFetch moves to
    long currentRow = -1;         // row SQLGetData reads, -1 before the first fetch
    SQLUSMALLINT dataColumn = 0;  // column of the last SQLGetData on this row
    size_t dataOffset = 0;        // bytes of that column already returned
    bool dataDone = false;        // that column has been read to its end
};

inline Connection::~Connection() {
    freeAllStatements();
}

inline void Connection::freeStatement(StatementHandle* stmt) {
    for (size_t i = 0; i < statements.size(); ++i) {
        if (statements[i] == stmt) {
            statements.erase(statements.begin() + static_cast<long>(i));
            break;
        }
    }
    delete stmt;
}

inline void Connection::freeAllStatements() {
    for (StatementHandle* stmt : statements)
        delete stmt;
    statements.clear();
}

}  // namespace whemu
