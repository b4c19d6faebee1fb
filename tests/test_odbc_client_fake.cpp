// ODBCClient against a scripted ODBC layer.
//
// Why a fake: these cases need answers that no real driver can be made to
// give on demand: SQL_SUCCESS_WITH_INFO from SQLFetch or SQLGetConnectAttr,
// a failing SQLDescribeCol or SQLGetData, SQLGetDiagRec returning
// SQL_INVALID_HANDLE or SQL_ERROR (or a message longer than its buffer,
// without a terminating zero), failed handle allocations, and exceptions
// thrown while a statement handle is held. Everything the emulator driver can
// do is tested through the real driver manager in test_odbc_client.
//
// How: this file defines the ODBC functions the client calls. The client is
// linked into this executable from the lakesink_core static library, so the
// linker binds its calls to these definitions before libodbc is considered.
// The LinkedAgainstTheFake test proves that the binding really happened.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <new>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "counting_client.h"
#include "log_capture.h"
#include "odbc_client.h"

using ::testing::ElementsAre;
using Level = Logger::Level;

namespace fake {

struct Handle {
    SQLSMALLINT type;
    Handle* parent;
};

struct DiagRec {
    std::string state;
    SQLINTEGER native;
    std::string message;
};

using Cell = std::optional<std::string>;  // nullopt is SQL NULL

// What the fake driver answers. Reset before every test.
struct Script {
    SQLRETURN allocEnv = SQL_SUCCESS;
    SQLRETURN allocDbc = SQL_SUCCESS;
    SQLRETURN allocStmt = SQL_SUCCESS;
    SQLRETURN connect = SQL_SUCCESS;
    SQLRETURN connectAttr = SQL_SUCCESS;
    SQLUINTEGER dead = SQL_CD_FALSE;
    SQLRETURN getInfo = SQL_SUCCESS;
    std::string dbmsName = "FakeDB";
    bool dbmsNameUnterminated = false;
    SQLRETURN exec = SQL_SUCCESS;
    SQLRETURN numCols = SQL_SUCCESS;
    std::optional<SQLSMALLINT> columnCount;  // default: columns.size()
    std::vector<std::string> columns;
    std::set<int> describeFails;
    std::vector<std::vector<Cell>> rows;
    std::map<std::pair<size_t, int>, SQLRETURN> getDataFails;  // (row, column)
    std::optional<size_t> fetchInfoAtRow;                      // SQL_SUCCESS_WITH_INFO there
    SQLRETURN fetchAtEnd = SQL_NO_DATA;
    bool throwInGetData = false;
    // Long values come in pieces. These make the driver report SQL_NO_TOTAL
    // instead of the remaining length, hand out the first piece again and
    // again, or fail the n-th call for one value (0: never).
    bool getDataNoTotal = false;
    bool getDataRepeats = false;
    int getDataFailsAtPiece = 0;
    // Diagnostic records, the same for every handle.
    std::vector<DiagRec> diag;
    // When not SQL_SUCCESS, SQLGetDiagRec scribbles over the buffers and
    // returns this from the given record number on.
    SQLRETURN diagFailure = SQL_SUCCESS;
    SQLSMALLINT diagFailureFrom = 1;
    bool diagEndless = false;
    bool diagUnterminated = false;  // fill the message buffer without a zero
};

struct State {
    Script script;
    std::set<Handle*> live;
    std::map<SQLSMALLINT, int> allocated;
    std::map<SQLSMALLINT, int> freed;
    std::vector<std::string> calls;
    std::string connectText;
    SQLSMALLINT connectLength = 0;
    SQLUSMALLINT completion = 99;
    bool connectOutputNull = false;
    SQLINTEGER odbcVersion = 0;
    const SQLCHAR* execPointer = nullptr;
    std::string execText;
    SQLINTEGER execLength = 0;
    size_t fetched = 0;  // rows handed out so far
    std::vector<std::pair<size_t, int>> getDataCalls;
    std::pair<size_t, int> pieceCell{~size_t{0}, 0};  // the value being read in pieces
    size_t pieceOffset = 0;                           // bytes of it handed out
    int pieces = 0;                                   // calls for it so far
    SQLINTEGER connectAttrBufferLength = -1;
};

State& state() {
    static State* s = new State();
    return *s;
}

bool isLive(SQLHANDLE h, SQLSMALLINT type) {
    Handle* handle = static_cast<Handle*>(h);
    return handle && state().live.count(handle) && handle->type == type;
}

void copyText(const std::string& text, SQLCHAR* buffer, size_t size) {
    if (!buffer || size == 0)
        return;
    const size_t n = std::min(text.size(), size - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = 0;
}

}  // namespace fake

// ---- the fake ODBC layer --------------------------------------------------

SQLRETURN SQL_API SQLAllocHandle(SQLSMALLINT type, SQLHANDLE input, SQLHANDLE* output) {
    fake::State& s = fake::state();
    s.calls.push_back("SQLAllocHandle");
    SQLRETURN rc = SQL_ERROR;
    if (type == SQL_HANDLE_ENV) {
        rc = s.script.allocEnv;
    } else if (type == SQL_HANDLE_DBC) {
        if (!fake::isLive(input, SQL_HANDLE_ENV))
            return SQL_INVALID_HANDLE;
        rc = s.script.allocDbc;
    } else if (type == SQL_HANDLE_STMT) {
        if (!fake::isLive(input, SQL_HANDLE_DBC))
            return SQL_INVALID_HANDLE;
        rc = s.script.allocStmt;
    }
    if (!SQL_SUCCEEDED(rc)) {
        *output = SQL_NULL_HANDLE;
        return rc;
    }
    auto* handle = new fake::Handle{type, static_cast<fake::Handle*>(input)};
    s.live.insert(handle);
    s.allocated[type]++;
    *output = handle;
    if (type == SQL_HANDLE_STMT) {
        s.fetched = 0;
    }
    return rc;
}

SQLRETURN SQL_API SQLFreeHandle(SQLSMALLINT type, SQLHANDLE h) {
    fake::State& s = fake::state();
    s.calls.push_back("SQLFreeHandle");
    if (!fake::isLive(h, type))
        return SQL_INVALID_HANDLE;
    s.live.erase(static_cast<fake::Handle*>(h));
    delete static_cast<fake::Handle*>(h);
    s.freed[type]++;
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLSetEnvAttr(SQLHENV env, SQLINTEGER attribute, SQLPOINTER value, SQLINTEGER) {
    fake::State& s = fake::state();
    s.calls.push_back("SQLSetEnvAttr");
    if (!fake::isLive(env, SQL_HANDLE_ENV))
        return SQL_INVALID_HANDLE;
    if (attribute == SQL_ATTR_ODBC_VERSION) {
        s.odbcVersion = static_cast<SQLINTEGER>(reinterpret_cast<intptr_t>(value));
    }
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLDriverConnect(SQLHDBC dbc, SQLHWND, SQLCHAR* in, SQLSMALLINT inLength,
                                   SQLCHAR* out, SQLSMALLINT, SQLSMALLINT* outLength,
                                   SQLUSMALLINT completion) {
    fake::State& s = fake::state();
    s.calls.push_back("SQLDriverConnect");
    if (!fake::isLive(dbc, SQL_HANDLE_DBC))
        return SQL_INVALID_HANDLE;
    s.connectText = reinterpret_cast<const char*>(in);
    s.connectLength = inLength;
    s.completion = completion;
    s.connectOutputNull = out == nullptr && outLength == nullptr;
    return s.script.connect;
}

SQLRETURN SQL_API SQLDisconnect(SQLHDBC dbc) {
    fake::State& s = fake::state();
    s.calls.push_back("SQLDisconnect");
    if (!fake::isLive(dbc, SQL_HANDLE_DBC))
        return SQL_INVALID_HANDLE;
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLGetConnectAttr(SQLHDBC dbc, SQLINTEGER attribute, SQLPOINTER value,
                                    SQLINTEGER bufferLength, SQLINTEGER*) {
    fake::State& s = fake::state();
    s.calls.push_back("SQLGetConnectAttr");
    if (!fake::isLive(dbc, SQL_HANDLE_DBC))
        return SQL_INVALID_HANDLE;
    s.connectAttrBufferLength = bufferLength;
    if (attribute != SQL_ATTR_CONNECTION_DEAD)
        return SQL_ERROR;
    if (SQL_SUCCEEDED(s.script.connectAttr)) {
        *static_cast<SQLUINTEGER*>(value) = s.script.dead;
    }
    return s.script.connectAttr;
}

SQLRETURN SQL_API SQLGetInfo(SQLHDBC dbc, SQLUSMALLINT type, SQLPOINTER value,
                             SQLSMALLINT bufferLength, SQLSMALLINT* length) {
    fake::State& s = fake::state();
    s.calls.push_back("SQLGetInfo");
    if (!fake::isLive(dbc, SQL_HANDLE_DBC))
        return SQL_INVALID_HANDLE;
    if (type != SQL_DBMS_NAME)
        return SQL_ERROR;
    if (SQL_SUCCEEDED(s.script.getInfo)) {
        auto* buffer = static_cast<SQLCHAR*>(value);
        if (s.script.dbmsNameUnterminated) {
            std::memset(buffer, 'n', static_cast<size_t>(bufferLength));
        } else {
            fake::copyText(s.script.dbmsName, buffer, static_cast<size_t>(bufferLength));
        }
        if (length)
            *length = static_cast<SQLSMALLINT>(s.script.dbmsName.size());
    }
    return s.script.getInfo;
}

SQLRETURN SQL_API SQLExecDirect(SQLHSTMT stmt, SQLCHAR* text, SQLINTEGER length) {
    fake::State& s = fake::state();
    s.calls.push_back("SQLExecDirect");
    if (!fake::isLive(stmt, SQL_HANDLE_STMT))
        return SQL_INVALID_HANDLE;
    s.execPointer = text;
    s.execText = reinterpret_cast<const char*>(text);
    s.execLength = length;
    return s.script.exec;
}

SQLRETURN SQL_API SQLNumResultCols(SQLHSTMT stmt, SQLSMALLINT* count) {
    fake::State& s = fake::state();
    s.calls.push_back("SQLNumResultCols");
    if (!fake::isLive(stmt, SQL_HANDLE_STMT))
        return SQL_INVALID_HANDLE;
    if (SQL_SUCCEEDED(s.script.numCols)) {
        *count = s.script.columnCount ? *s.script.columnCount
                                      : static_cast<SQLSMALLINT>(s.script.columns.size());
    }
    return s.script.numCols;
}

SQLRETURN SQL_API SQLDescribeCol(SQLHSTMT stmt, SQLUSMALLINT column, SQLCHAR* name,
                                 SQLSMALLINT bufferLength, SQLSMALLINT* nameLength, SQLSMALLINT*,
                                 SQLULEN*, SQLSMALLINT*, SQLSMALLINT*) {
    fake::State& s = fake::state();
    s.calls.push_back("SQLDescribeCol");
    if (!fake::isLive(stmt, SQL_HANDLE_STMT))
        return SQL_INVALID_HANDLE;
    if (s.script.describeFails.count(column) || column < 1 || column > s.script.columns.size()) {
        return SQL_ERROR;
    }
    const std::string& text = s.script.columns[column - 1];
    fake::copyText(text, name, static_cast<size_t>(bufferLength));
    if (nameLength)
        *nameLength = static_cast<SQLSMALLINT>(text.size());
    return text.size() >= static_cast<size_t>(bufferLength) ? SQL_SUCCESS_WITH_INFO : SQL_SUCCESS;
}

SQLRETURN SQL_API SQLFetch(SQLHSTMT stmt) {
    fake::State& s = fake::state();
    s.calls.push_back("SQLFetch");
    if (!fake::isLive(stmt, SQL_HANDLE_STMT))
        return SQL_INVALID_HANDLE;
    if (s.script.fetchInfoAtRow && *s.script.fetchInfoAtRow == s.fetched) {
        ++s.fetched;
        return SQL_SUCCESS_WITH_INFO;
    }
    if (s.fetched < s.script.rows.size()) {
        ++s.fetched;
        return SQL_SUCCESS;
    }
    return s.script.fetchAtEnd;
}

SQLRETURN SQL_API SQLGetData(SQLHSTMT stmt, SQLUSMALLINT column, SQLSMALLINT targetType,
                             SQLPOINTER target, SQLLEN bufferLength, SQLLEN* indicator) {
    fake::State& s = fake::state();
    s.calls.push_back("SQLGetData");
    if (!fake::isLive(stmt, SQL_HANDLE_STMT))
        return SQL_INVALID_HANDLE;
    if (targetType != SQL_C_CHAR || s.fetched == 0)
        return SQL_ERROR;
    const size_t row = s.fetched - 1;
    s.getDataCalls.emplace_back(row, column);
    if (s.script.throwInGetData)
        throw std::bad_alloc();
    auto failure = s.script.getDataFails.find({row, column});
    if (failure != s.script.getDataFails.end())
        return failure->second;
    const fake::Cell& cell = s.script.rows.at(row).at(column - 1);
    if (!cell) {
        *indicator = SQL_NULL_DATA;
        return SQL_SUCCESS;
    }
    if (s.pieceCell != std::make_pair(row, static_cast<int>(column))) {
        s.pieceCell = {row, column};
        s.pieceOffset = 0;
        s.pieces = 0;
    }
    if (++s.pieces == s.script.getDataFailsAtPiece)
        return SQL_ERROR;
    if (s.pieces > 1 && s.pieceOffset >= cell->size())
        return SQL_NO_DATA;
    const std::string rest = cell->substr(s.pieceOffset);
    fake::copyText(rest, static_cast<SQLCHAR*>(target), static_cast<size_t>(bufferLength));
    const bool truncated = rest.size() >= static_cast<size_t>(bufferLength);
    *indicator =
        truncated && s.script.getDataNoTotal ? SQL_NO_TOTAL : static_cast<SQLLEN>(rest.size());
    if (!s.script.getDataRepeats)
        s.pieceOffset += truncated ? static_cast<size_t>(bufferLength) - 1 : rest.size();
    return truncated ? SQL_SUCCESS_WITH_INFO : SQL_SUCCESS;
}

SQLRETURN SQL_API SQLGetDiagRec(SQLSMALLINT, SQLHANDLE, SQLSMALLINT number, SQLCHAR* stateOut,
                                SQLINTEGER* native, SQLCHAR* message, SQLSMALLINT bufferLength,
                                SQLSMALLINT* textLength) {
    fake::State& s = fake::state();
    s.calls.push_back("SQLGetDiagRec");
    if (s.script.diagFailure != SQL_SUCCESS && number >= s.script.diagFailureFrom) {
        // A failing call promises nothing about the buffers.
        std::memcpy(stateOut, "ZZZZZ", 6);
        *native = 4711;
        fake::copyText("garbage", message, static_cast<size_t>(bufferLength));
        return s.script.diagFailure;
    }
    if (number < 1)
        return SQL_ERROR;
    fake::DiagRec record;
    if (s.script.diagEndless) {
        record = {"01000", number, "again"};
    } else if (static_cast<size_t>(number) <= s.script.diag.size()) {
        record = s.script.diag[static_cast<size_t>(number) - 1];
    } else {
        return SQL_NO_DATA;
    }
    fake::copyText(record.state, stateOut, 6);
    *native = record.native;
    if (s.script.diagUnterminated) {
        std::memset(message, 'm', static_cast<size_t>(bufferLength));
    } else {
        fake::copyText(record.message, message, static_cast<size_t>(bufferLength));
    }
    if (textLength)
        *textLength = static_cast<SQLSMALLINT>(record.message.size());
    return record.message.size() >= static_cast<size_t>(bufferLength) ? SQL_SUCCESS_WITH_INFO
                                                                      : SQL_SUCCESS;
}

// ---- tests ----------------------------------------------------------------

namespace {

fake::Script& script() {
    return fake::state().script;
}

class FakeOdbc : public ::testing::Test {
  protected:
    void SetUp() override {
        for (fake::Handle* h : fake::state().live)
            delete h;
        fake::state() = fake::State();
    }
    void TearDown() override {
        // Every path must give back every handle.
        EXPECT_TRUE(fake::state().live.empty())
            << fake::state().live.size() << " handle(s) never freed";
    }

    // A client in the Connected state.
    void connect(ODBCClient& client) {
        client.Init();
        ASSERT_EQ(client.Connect("DSN=fake"), CORVANE_ODBC_SUCCESS);
    }
};

TEST_F(FakeOdbc, LinkedAgainstTheFake) {
    ODBCClient client;
    client.Init();
    EXPECT_EQ(fake::state().allocated[SQL_HANDLE_ENV], 1);
    EXPECT_EQ(fake::state().allocated[SQL_HANDLE_DBC], 1);
    EXPECT_EQ(fake::state().odbcVersion, SQL_OV_ODBC3);
}

// ---- Init -----------------------------------------------------------------

TEST_F(FakeOdbc, InitFailsToAllocateEnvironment) {
    script().allocEnv = SQL_ERROR;
    ODBCClient client;
    try {
        client.Init();
        FAIL() << "Init must throw";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Failed to allocate ODBC environment handle.");
    }
    EXPECT_EQ(client.getEnvironmentHandle(), nullptr);
    EXPECT_EQ(client.getConnectionHandle(), nullptr);
}

TEST_F(FakeOdbc, HandleOwnersMoveTheirHandleAndFreeItOnce) {
    {
        EnvironmentHandle env;
        ASSERT_TRUE(env.allocate());
        ConnectionHandle dbc;
        ASSERT_TRUE(dbc.allocate(env.get()));
        StatementHandle stmt;
        ASSERT_TRUE(stmt.allocate(dbc.get()));

        StatementHandle movedStmt(std::move(stmt));
        ConnectionHandle movedDbc;
        movedDbc = std::move(dbc);
        EnvironmentHandle movedEnv(std::move(env));
        EXPECT_FALSE(stmt);
        EXPECT_FALSE(dbc);
        EXPECT_FALSE(env);
        EXPECT_TRUE(movedStmt && movedDbc && movedEnv);
        // Nothing is freed by a move.
        EXPECT_TRUE(fake::state().freed.empty());
    }
    EXPECT_EQ(fake::state().freed[SQL_HANDLE_STMT], 1);
    EXPECT_EQ(fake::state().freed[SQL_HANDLE_DBC], 1);
    EXPECT_EQ(fake::state().freed[SQL_HANDLE_ENV], 1);
}

TEST_F(FakeOdbc, InitFailsToAllocateConnectionAndReleasesEnvironment) {
    script().allocDbc = SQL_ERROR;
    ODBCClient client;
    try {
        client.Init();
        FAIL() << "Init must throw";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Failed to allocate ODBC connection handle.");
    }
    EXPECT_EQ(fake::state().freed[SQL_HANDLE_ENV], 1);
    EXPECT_EQ(client.getEnvironmentHandle(), nullptr);
    EXPECT_EQ(client.getConnectionHandle(), nullptr);
    EXPECT_EQ(fake::state().allocated[SQL_HANDLE_ENV], 1);
}

TEST_F(FakeOdbc, InitWithInfoCountsAsSuccess) {
    script().allocEnv = SQL_SUCCESS_WITH_INFO;
    script().allocDbc = SQL_SUCCESS_WITH_INFO;
    ODBCClient client;
    client.Init();
    EXPECT_NE(client.getEnvironmentHandle(), nullptr);
    EXPECT_NE(client.getConnectionHandle(), nullptr);
    EXPECT_TRUE(fake::state().freed.empty());
}

TEST_F(FakeOdbc, SecondInitDoesNotLeakTheFirstHandles) {
    ODBCClient client;
    client.Init();
    client.Init();
    EXPECT_EQ(fake::state().allocated[SQL_HANDLE_DBC], 2);
    EXPECT_EQ(fake::state().freed[SQL_HANDLE_DBC], 1);
    EXPECT_EQ(fake::state().live.size(), 2u);
}

// ---- Connect --------------------------------------------------------------

TEST_F(FakeOdbc, ConnectPassesTheStringWithoutPrompt) {
    ODBCClient client;
    client.Init();
    LogCapture log;
    EXPECT_EQ(client.Connect("Driver={X};PWD=secret;"), CORVANE_ODBC_SUCCESS);
    EXPECT_EQ(fake::state().connectText, "Driver={X};PWD=secret;");
    EXPECT_EQ(fake::state().connectLength, SQL_NTS);
    EXPECT_EQ(fake::state().completion, SQL_DRIVER_NOPROMPT);
    EXPECT_TRUE(fake::state().connectOutputNull);
    EXPECT_EQ(client.getConnectionString(), "Driver={X};PWD=secret;");
    EXPECT_FALSE(log.contains("secret")) << "the password must not reach the log";
}

TEST_F(FakeOdbc, ConnectWithInfoIsSuccess) {
    script().connect = SQL_SUCCESS_WITH_INFO;
    ODBCClient client;
    client.Init();
    EXPECT_EQ(client.Connect("DSN=info"), CORVANE_ODBC_SUCCESS);
    EXPECT_EQ(client.getConnectionString(), "DSN=info");
    EXPECT_NE(client.getConnectionHandle(), nullptr);
}

struct ConnectCase {
    std::string state;
    ODBCStatus status;
    Level level;
    std::string message;
};

class FakeConnectFailure : public FakeOdbc, public ::testing::WithParamInterface<ConnectCase> {};

TEST_P(FakeConnectFailure, ClassifiesAndLeavesClientEmpty) {
    const ConnectCase& c = GetParam();
    script().connect = SQL_ERROR;
    script().diag = {{c.state, 77, "first record"}, {"01000", 1, "second record"}};
    ODBCClient client;
    client.Init();
    LogCapture log;
    EXPECT_EQ(client.Connect("DSN=x"), c.status);
    EXPECT_EQ(log.count(c.level, c.message), 1u);
    // Only the first record is the cause; both handles are given back.
    EXPECT_EQ(client.getLastConnectFailure(), "SQLSTATE=" + c.state + ", Message=first record");
    EXPECT_EQ(fake::state().freed[SQL_HANDLE_DBC], 1);
    EXPECT_EQ(fake::state().freed[SQL_HANDLE_ENV], 1);
    EXPECT_EQ(client.getEnvironmentHandle(), nullptr);
    EXPECT_EQ(client.getConnectionHandle(), nullptr);
    EXPECT_EQ(client.getConnectionString(), "") << "only a successful connect stores it";
}

const std::string kTransient = "Connection failed due to a transient error. Retrying might help.";
const std::string kCredentials =
    "Connection failed due to non-retriable error: Credentials or configuration issue.";
const std::string kPermanent = "Connection failed due to an unknown or permanent error.";

INSTANTIATE_TEST_SUITE_P(
    ConnectionTable, FakeConnectFailure,
    ::testing::Values(ConnectCase{"08S01", CORVANE_ODBC_EAGAIN, Level::WARNING, kTransient},
                      ConnectCase{"08001", CORVANE_ODBC_EAGAIN, Level::WARNING, kTransient},
                      ConnectCase{"08004", CORVANE_ODBC_EAGAIN, Level::WARNING, kTransient},
                      ConnectCase{"28000", CORVANE_ODBC_FAILED, Level::ERROR, kCredentials},
                      ConnectCase{"42000", CORVANE_ODBC_FAILED, Level::ERROR, kCredentials},
                      ConnectCase{"3F000", CORVANE_ODBC_FAILED, Level::ERROR, kCredentials},
                      ConnectCase{"IM012", CORVANE_ODBC_FAILED, Level::ERROR, kCredentials},
                      // Any other cause is reported as unknown and retried: the
                      // warehouse's driver reports an unreachable host as HY000.
                      ConnectCase{"HY000", CORVANE_ODBC_EAGAIN, Level::ERROR, kPermanent},
                      ConnectCase{"HYT00", CORVANE_ODBC_EAGAIN, Level::ERROR, kPermanent},
                      ConnectCase{"08S02", CORVANE_ODBC_EAGAIN, Level::ERROR, kPermanent},
                      ConnectCase{"IM002", CORVANE_ODBC_EAGAIN, Level::ERROR, kPermanent},
                      ConnectCase{"01000", CORVANE_ODBC_EAGAIN, Level::ERROR, kPermanent},
                      ConnectCase{"", CORVANE_ODBC_EAGAIN, Level::ERROR, kPermanent}));

// A warehouse that stays away fails every attempt alike: its cause is logged
// at the error level once, and again only when it changes.
TEST_F(FakeOdbc, ConnectLogsTheCauseOncePerChangeOfCause) {
    script().connect = SQL_ERROR;
    ODBCClient client;
    const auto attempt = [&](const std::string& state, const std::string& message) {
        script().diag = {{state, 14, message}};
        client.Init();
        return client.Connect("DSN=x");
    };
    const std::string unreachable = "Unexpected response from server during a HTTP connection";
    LogCapture log;
    EXPECT_EQ(attempt("HY000", unreachable), CORVANE_ODBC_EAGAIN);
    EXPECT_EQ(attempt("HY000", unreachable), CORVANE_ODBC_EAGAIN);
    EXPECT_EQ(attempt("08001", "offline"), CORVANE_ODBC_EAGAIN);
    EXPECT_EQ(attempt("08001", "offline"), CORVANE_ODBC_EAGAIN);
    EXPECT_EQ(attempt("HY000", unreachable), CORVANE_ODBC_EAGAIN);
    EXPECT_EQ(attempt("HY000", "another message"), CORVANE_ODBC_EAGAIN);
    EXPECT_EQ(log.at(Level::ERROR),
              (std::vector<std::string>{
                  "SQLSTATE=HY000, NativeError=14, Message=" + unreachable, kPermanent,
                  "SQLSTATE=08001, NativeError=14, Message=offline",
                  "SQLSTATE=HY000, NativeError=14, Message=" + unreachable, kPermanent,
                  "SQLSTATE=HY000, NativeError=14, Message=another message", kPermanent}));
    EXPECT_EQ(log.count(Level::WARNING, kTransient), 1u);
    EXPECT_EQ(client.getLastConnectFailure(), "SQLSTATE=HY000, Message=another message");

    // A success in between, or being told to forget, reports the cause again.
    script().connect = SQL_SUCCESS;
    client.Init();
    ASSERT_EQ(client.Connect("DSN=x"), CORVANE_ODBC_SUCCESS);
    EXPECT_EQ(client.getLastConnectFailure(), "");
    script().connect = SQL_ERROR;
    log.clear();
    attempt("HY000", "another message");
    client.forgetConnectFailure();
    attempt("HY000", "another message");
    attempt("HY000", "another message");
    EXPECT_EQ(log.count(Level::ERROR, kPermanent), 2u);
}

TEST_F(FakeOdbc, RefusedLoginStaysFailedHoweverOftenItIsTried) {
    script().connect = SQL_ERROR;
    script().diag = {{"28000", 1, "invalid user name or password"}};
    ODBCClient client;
    LogCapture log;
    for (int i = 0; i < 3; ++i) {
        client.Init();
        EXPECT_EQ(client.Connect("DSN=x"), CORVANE_ODBC_FAILED);
    }
    EXPECT_EQ(log.count(Level::ERROR, kCredentials), 1u);
}

TEST_F(FakeOdbc, ConnectWithoutInitReportsFailureWithoutCallingTheDriverManager) {
    ODBCClient client;
    EXPECT_EQ(client.Connect("DSN=x"), CORVANE_ODBC_FAILED);
    EXPECT_TRUE(fake::state().calls.empty());
    EXPECT_EQ(client.getConnectionString(), "");
}

TEST_F(FakeOdbc, ConnectAfterDestroyReportsFailure) {
    ODBCClient client;
    connect(client);
    client.Destroy();
    fake::state().calls.clear();
    EXPECT_EQ(client.Connect("DSN=x"), CORVANE_ODBC_FAILED);
    EXPECT_TRUE(fake::state().calls.empty());
}

TEST_F(FakeOdbc, ConnectFailureWithoutReadableDiagnosticsUsesEmptyTexts) {
    script().connect = SQL_ERROR;
    script().diagFailure = SQL_INVALID_HANDLE;
    ODBCClient client;
    client.Init();
    EXPECT_EQ(client.Connect("DSN=x"), CORVANE_ODBC_EAGAIN);
    // Whatever the driver scribbled into the buffers is not taken as a cause.
    EXPECT_EQ(client.getLastConnectFailure(), "SQLSTATE=, Message=");
}

// ---- diagnostic texts -----------------------------------------------------

TEST_F(FakeOdbc, LongDiagnosticMessageIsCutToTheBuffer) {
    script().connect = SQL_ERROR;
    script().diag = {{"08001", 1, std::string(700, 'x')}};
    ODBCClient client;
    client.Init();
    client.Connect("DSN=x");
    EXPECT_EQ(client.getLastConnectFailure(), "SQLSTATE=08001, Message=" + std::string(511, 'x'));
}

TEST_F(FakeOdbc, UnterminatedDiagnosticMessageIsTerminated) {
    script().connect = SQL_ERROR;
    script().diag = {{"08001", 1, std::string(600, 'm')}};
    script().diagUnterminated = true;
    ODBCClient client;
    client.Init();
    client.Connect("DSN=x");
    EXPECT_EQ(client.getLastConnectFailure(), "SQLSTATE=08001, Message=" + std::string(511, 'm'));
}

TEST_F(FakeOdbc, CutMessageDoesNotEndInHalfACharacter) {
    // 510 ASCII bytes, then a two-byte and a three-byte character: the cut at
    // 511 bytes falls inside the first of them.
    script().connect = SQL_ERROR;
    script().diag = {{"08001", 1, std::string(510, 'a') + "\xC3\xA9\xE2\x82\xAC tail"}};
    ODBCClient client;
    client.Init();
    client.Connect("DSN=x");
    EXPECT_EQ(client.getLastConnectFailure(), "SQLSTATE=08001, Message=" + std::string(510, 'a'));
}

TEST_F(FakeOdbc, CutMessageKeepsACompleteLastCharacter) {
    script().connect = SQL_ERROR;
    script().diag = {{"08001", 1, std::string(509, 'a') + "\xC3\xA9" + std::string(50, 'z')}};
    ODBCClient client;
    client.Init();
    client.Connect("DSN=x");
    EXPECT_EQ(client.getLastConnectFailure(),
              "SQLSTATE=08001, Message=" + std::string(509, 'a') + "\xC3\xA9");
}

TEST_F(FakeOdbc, MessageOfExactlyTheBufferIsKeptWhole) {
    // 511 bytes fit; a Latin-1 byte at the end is not mistaken for a cut.
    script().connect = SQL_ERROR;
    script().diag = {{"08001", 1, std::string(510, 'a') + "\xE9"}};
    ODBCClient client;
    client.Init();
    client.Connect("DSN=x");
    EXPECT_EQ(client.getLastConnectFailure(),
              "SQLSTATE=08001, Message=" + std::string(510, 'a') + "\xE9");
}

// ---- handleDiagnosticRecord -----------------------------------------------

TEST_F(FakeOdbc, DiagnosticRecordsAreLoggedInOrderUntilNoData) {
    script().diag = {{"42000", 1, "one"}, {"01000", -2, "two"}, {"HY000", 3, "three"}};
    ODBCClient client;
    LogCapture log;
    int dummy = 0;
    client.handleDiagnosticRecord(&dummy, SQL_HANDLE_STMT, "SQLExecDirect");
    EXPECT_THAT(log.at(Level::DEBUG),
                ElementsAre("SQLExecDirect: SQLSTATE=42000, NativeError=1, Message=one",
                            "SQLExecDirect: SQLSTATE=01000, NativeError=-2, Message=two",
                            "SQLExecDirect: SQLSTATE=HY000, NativeError=3, Message=three"));
    EXPECT_EQ(std::count(fake::state().calls.begin(), fake::state().calls.end(), "SQLGetDiagRec"),
              4);
}

TEST_F(FakeOdbc, DiagnosticLoopEndsOnInvalidHandle) {
    script().diagFailure = SQL_INVALID_HANDLE;
    ODBCClient client;
    LogCapture log;
    client.handleDiagnosticRecord(nullptr, SQL_HANDLE_DBC, "SQLGetInfo");
    EXPECT_EQ(fake::state().calls.size(), 1u);
    EXPECT_FALSE(log.contains("SQLSTATE="));
    EXPECT_FALSE(log.contains("garbage"));
}

TEST_F(FakeOdbc, DiagnosticLoopEndsOnErrorAfterRecords) {
    script().diag = {{"42000", 1, "one"}, {"01000", 2, "two"}, {"HY000", 3, "three"}};
    script().diagFailure = SQL_ERROR;
    script().diagFailureFrom = 2;
    ODBCClient client;
    LogCapture log;
    int dummy = 0;
    client.handleDiagnosticRecord(&dummy, SQL_HANDLE_STMT, "SQLGetData");
    EXPECT_EQ(log.count(Level::DEBUG, "SQLGetData: SQLSTATE=42000, NativeError=1, Message=one"),
              1u);
    EXPECT_FALSE(log.contains("two"));
    EXPECT_FALSE(log.contains("garbage"));
    EXPECT_EQ(fake::state().calls.size(), 2u);
}

TEST_F(FakeOdbc, DiagnosticLoopEndsForADriverThatNeverSaysNoData) {
    script().diagEndless = true;
    ODBCClient client;
    int dummy = 0;
    client.handleDiagnosticRecord(&dummy, SQL_HANDLE_STMT, "SQLFetch");
    EXPECT_EQ(fake::state().calls.size(), 32767u);
}

// ---- isConnected ----------------------------------------------------------

TEST_F(FakeOdbc, NewClientIsNotConnectedWithoutOdbcCall) {
    ODBCClient client;
    EXPECT_FALSE(client.isConnected());
    EXPECT_TRUE(fake::state().calls.empty());
}

TEST_F(FakeOdbc, LiveConnectionIsActive) {
    ODBCClient client;
    connect(client);
    LogCapture log;
    EXPECT_TRUE(client.isConnected());
    EXPECT_EQ(fake::state().connectAttrBufferLength, 0);
    EXPECT_TRUE(log.has(Level::INFO, "Connection is active."));
}

TEST_F(FakeOdbc, DeadConnectionKeepsItsHandles) {
    ODBCClient client;
    connect(client);
    script().dead = SQL_CD_TRUE;
    LogCapture log;
    EXPECT_FALSE(client.isConnected());
    EXPECT_TRUE(log.has(Level::INFO, "Connection is not active (dead)."));
    EXPECT_NE(client.getConnectionHandle(), nullptr);
    EXPECT_NE(client.getEnvironmentHandle(), nullptr);
}

TEST_F(FakeOdbc, ConnectionStatusWithInfoCountsAsUnknown) {
    ODBCClient client;
    connect(client);
    script().connectAttr = SQL_SUCCESS_WITH_INFO;
    script().diag = {{"01000", 5, "attribute warning"}};
    fake::state().calls.clear();
    EXPECT_FALSE(client.isConnected());
    // The warning's record is read; the handles stay for a later check.
    EXPECT_THAT(fake::state().calls,
                ElementsAre("SQLGetConnectAttr", "SQLGetDiagRec", "SQLGetDiagRec"));
    EXPECT_NE(client.getConnectionHandle(), nullptr);
}

TEST_F(FakeOdbc, ConnectionStatusErrorIsNotConnected) {
    ODBCClient client;
    connect(client);
    script().connectAttr = SQL_ERROR;
    EXPECT_FALSE(client.isConnected());
    EXPECT_NE(client.getConnectionHandle(), nullptr);
}

// ---- Destroy and destructor -----------------------------------------------

TEST_F(FakeOdbc, DestroyOnEmptyClientDoesNothing) {
    ODBCClient client;
    client.Destroy();
    client.Destroy();
    EXPECT_TRUE(fake::state().calls.empty());
}

TEST_F(FakeOdbc, DestroyDisconnectsAndFreesBothHandles) {
    ODBCClient client;
    connect(client);
    fake::state().calls.clear();
    client.Destroy();
    EXPECT_THAT(fake::state().calls,
                ElementsAre("SQLDisconnect", "SQLFreeHandle", "SQLFreeHandle"));
    EXPECT_EQ(fake::state().freed[SQL_HANDLE_DBC], 1);
    EXPECT_EQ(fake::state().freed[SQL_HANDLE_ENV], 1);
    EXPECT_EQ(client.getConnectionHandle(), nullptr);
    EXPECT_EQ(client.getEnvironmentHandle(), nullptr);
    EXPECT_EQ(client.getConnectionString(), "DSN=fake") << "kept after Destroy";
    client.Destroy();
    EXPECT_EQ(fake::state().calls.size(), 3u) << "a second Destroy calls nothing";
}

TEST_F(FakeOdbc, DestructorReleasesEverything) {
    {
        ODBCClient client;
        connect(client);
        fake::state().calls.clear();
    }
    // The connection is closed, then both handles are freed: nothing is left.
    EXPECT_THAT(fake::state().calls,
                ElementsAre("SQLDisconnect", "SQLFreeHandle", "SQLFreeHandle"));
    EXPECT_EQ(fake::state().freed[SQL_HANDLE_DBC], 1);
    EXPECT_EQ(fake::state().freed[SQL_HANDLE_ENV], 1);
    EXPECT_TRUE(fake::state().live.empty());
}

TEST_F(FakeOdbc, ConstructionCallsNothing) {
    ODBCClient client;
    EXPECT_TRUE(fake::state().calls.empty());
    EXPECT_FALSE(client.isLastErrorRetriable());
    EXPECT_TRUE(client.getResultColumnNames().empty());
    EXPECT_FALSE(client.isDatabaseTypeCached());
}

// ---- executeQuery ---------------------------------------------------------

class FakeQuery : public FakeOdbc {
  protected:
    void SetUp() override {
        FakeOdbc::SetUp();
        connect(client);
        fake::state().calls.clear();
    }
    void TearDown() override {
        client.Destroy();
        FakeOdbc::TearDown();
    }
    // The number of statement handles given back equals those taken.
    void expectStatementsFreed() {
        EXPECT_EQ(fake::state().allocated[SQL_HANDLE_STMT], fake::state().freed[SQL_HANDLE_STMT]);
    }
    ODBCClient client;
};

TEST_F(FakeQuery, QueryTextReachesTheDriverWithoutACopy) {
    const std::string query = "INSERT INTO t VALUES (" + std::string(100000, '1') + ")";
    client.executeQuery(query);
    EXPECT_EQ(fake::state().execPointer, reinterpret_cast<const SQLCHAR*>(query.c_str()));
    EXPECT_EQ(fake::state().execLength, SQL_NTS);
    expectStatementsFreed();
}

TEST_F(FakeQuery, RowsColumnsAndCellTexts) {
    script().columns = {"id", "empty", "name"};
    script().rows = {{std::string("1"), std::nullopt, std::string("abc")},
                     {std::string("2"), std::string(""), std::string("NULL")}};
    const QueryResult result = client.executeQuery("SELECT");
    EXPECT_TRUE(result.success);
    using Row = std::vector<std::string>;
    EXPECT_THAT(result.rows, ElementsAre(Row{"1", "NULL", "abc"}, Row{"2", "", "NULL"}));
    EXPECT_THAT(client.getResultColumnNames(), ElementsAre("id", "empty", "name"));
    expectStatementsFreed();
}

TEST_F(FakeQuery, LongValueIsReadWholeAndLongColumnNameIsCut) {
    std::string value;
    for (int i = 0; value.size() < 5000; ++i)
        value += std::to_string(i) + ",";
    script().columns = {std::string(300, 'c'), "short"};
    script().rows = {{value, std::string("s")}};
    const QueryResult result = client.executeQuery("SELECT");
    ASSERT_EQ(result.rows.size(), 1u);
    EXPECT_EQ(result.rows[0][0], value);
    EXPECT_EQ(result.rows[0][1], "s");
    EXPECT_THAT(client.getResultColumnNames(), ElementsAre(std::string(255, 'c'), "short"));
    // Pieces of 1023 bytes for the long value, one read for the short one.
    EXPECT_EQ(fake::state().getDataCalls.size(), (value.size() + 1022) / 1023 + 1);
}

// How a driver hands out a long value: which pieces, and what the cell becomes.
struct PiecesCase {
    const char* name;
    std::string value;
    bool noTotal;
    bool repeats;
    int failsAtPiece;
    std::string expected;
};

class FakeLongValue : public FakeQuery, public ::testing::WithParamInterface<PiecesCase> {};

TEST_P(FakeLongValue, CellText) {
    const PiecesCase& c = GetParam();
    script().columns = {"v", "w"};
    script().rows = {{c.value, std::string("next")}};
    script().getDataNoTotal = c.noTotal;
    script().getDataRepeats = c.repeats;
    script().getDataFailsAtPiece = c.failsAtPiece;
    const QueryResult result = client.executeQuery("SELECT");
    ASSERT_EQ(result.rows.size(), 1u);
    EXPECT_EQ(result.rows[0], (std::vector<std::string>{c.expected, "next"}));
    expectStatementsFreed();
}

std::string digits(size_t n) {
    std::string s;
    for (size_t i = 0; s.size() < n; ++i)
        s += static_cast<char>('0' + i % 10);
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Pieces, FakeLongValue,
    ::testing::Values(PiecesCase{"FitsTheBuffer", digits(1023), false, false, 0, digits(1023)},
                      PiecesCase{"OneByteMore", digits(1024), false, false, 0, digits(1024)},
                      PiecesCase{"ExactlyTwoPieces", digits(2046), false, false, 0, digits(2046)},
                      PiecesCase{"LengthNotReported", digits(3000), true, false, 0, digits(3000)},
                      // A driver that repeats its first piece is read no further than the
                      // length it reported.
                      PiecesCase{"DriverRepeatsItsPiece", std::string(1500, 'r'), false, true, 0,
                                 std::string(1500, 'r')},
                      PiecesCase{"LaterPieceFails", digits(3000), false, false, 2, "ERROR"},
                      PiecesCase{"ZeroByteInTheSecondPiece",
                                 digits(1100) + std::string(1, '\0') + "tail", false, false, 0,
                                 digits(1100)}),
    [](const ::testing::TestParamInfo<PiecesCase>& info) { return info.param.name; });

TEST_F(FakeQuery, ValueWithZeroByteEndsAtIt) {
    script().columns = {"v"};
    script().rows = {{std::string("ab\0cd", 5)}};
    const QueryResult result = client.executeQuery("SELECT");
    EXPECT_EQ(result.rows.at(0).at(0), "ab");
}

TEST_F(FakeQuery, FailingDescribeNamesColumnUnknownAndGoesOn) {
    script().columns = {"a", "b", "c"};
    script().describeFails = {2};
    script().rows = {{std::string("1"), std::string("2"), std::string("3")}};
    script().diag = {{"HY000", 9, "describe failed"}};
    const QueryResult result = client.executeQuery("SELECT");
    EXPECT_THAT(client.getResultColumnNames(), ElementsAre("a", "UNKNOWN", "c"));
    EXPECT_THAT(result.rows, ElementsAre(std::vector<std::string>{"1", "2", "3"}));
    // The failed description's record is read: one record, then the end.
    EXPECT_EQ(std::count(fake::state().calls.begin(), fake::state().calls.end(), "SQLGetDiagRec"),
              2);
}

TEST_F(FakeQuery, FailingGetDataGivesErrorCellAndGoesOn) {
    script().columns = {"a", "b", "c"};
    script().rows = {{std::string("1"), std::string("2"), std::string("3")},
                     {std::string("4"), std::string("5"), std::string("6")}};
    script().getDataFails = {{{0, 2}, SQL_ERROR}, {{1, 1}, SQL_NO_DATA}};
    script().diag = {{"22003", 3, "out of range"}};
    const QueryResult result = client.executeQuery("SELECT");
    using Row = std::vector<std::string>;
    EXPECT_THAT(result.rows, ElementsAre(Row{"1", "ERROR", "3"}, Row{"ERROR", "5", "6"}));
    // Each failed read has its record read: one record, then the end.
    EXPECT_EQ(std::count(fake::state().calls.begin(), fake::state().calls.end(), "SQLGetDiagRec"),
              4);
    EXPECT_TRUE(result.success);
}

TEST_F(FakeQuery, RowFetchedWithInfoIsARow) {
    script().columns = {"a"};
    script().rows = {{std::string("r0")}, {std::string("r1")}, {std::string("r2")}};
    script().fetchInfoAtRow = 1;
    const QueryResult result = client.executeQuery("SELECT");
    EXPECT_TRUE(result.success);
    EXPECT_THAT(result.rows,
                ElementsAre(std::vector<std::string>{"r0"}, std::vector<std::string>{"r1"},
                            std::vector<std::string>{"r2"}));
    expectStatementsFreed();
}

// A fetch that fails leaves the result incomplete: the statement fails, and
// its error is classified like one from the execution.
TEST_F(FakeQuery, FetchErrorFailsTheStatementWithItsClassifiedError) {
    script().columns = {"a"};
    script().rows = {{std::string("r0")}, {std::string("r1")}};
    script().fetchAtEnd = SQL_ERROR;
    const struct {
        const char* state;
        bool retriable;
    } cases[] = {{"08S01", true}, {"HY000", true}, {"22003", false}};
    for (const auto& c : cases) {
        script().diag = {{c.state, 7, "lost while fetching"}};
        try {
            client.executeQuery("SELECT");
            ADD_FAILURE() << c.state << ": must throw";
        } catch (const StatementError& error) {
            EXPECT_EQ(error.sqlState(), c.state);
            EXPECT_EQ(error.retriable(), c.retriable) << c.state;
            EXPECT_EQ(client.isLastErrorRetriable(), c.retriable) << c.state;
        }
        const QueryResultEx ex = client.executeQueryEx("SELECT");
        EXPECT_FALSE(ex.success);
        EXPECT_TRUE(ex.rows.empty());
    }
    expectStatementsFreed();
}

TEST_F(FakeQuery, StatementWithoutResultSet) {
    script().fetchAtEnd = SQL_ERROR;  // fetching without a cursor fails
    const QueryResult result = client.executeQuery("CREATE TABLE t (a INT)");
    EXPECT_TRUE(result.success);
    EXPECT_TRUE(result.rows.empty());
    EXPECT_TRUE(client.getResultColumnNames().empty());
    EXPECT_TRUE(fake::state().getDataCalls.empty());
    // There is no cursor: nothing is fetched.
    EXPECT_EQ(std::count(fake::state().calls.begin(), fake::state().calls.end(), "SQLFetch"), 0);
    expectStatementsFreed();
}

TEST_F(FakeQuery, NegativeColumnCountGivesEmptyRows) {
    script().columnCount = -1;
    script().rows = {{}};
    const QueryResult result = client.executeQuery("SELECT");
    EXPECT_THAT(result.rows, ElementsAre(std::vector<std::string>{}));
    EXPECT_TRUE(fake::state().getDataCalls.empty());
}

TEST_F(FakeQuery, NoDataFromExecutionIsAnExecutedStatement) {
    // A searched statement that touched no row answers SQL_NO_DATA.
    script().exec = SQL_NO_DATA;
    const QueryResult result = client.executeQuery("DELETE FROM t WHERE 1 = 0");
    EXPECT_TRUE(result.success);
    EXPECT_TRUE(result.rows.empty());
    expectStatementsFreed();
}

TEST_F(FakeQuery, AllocationFailureThrowsAndLeavesColumnNames) {
    script().columns = {"keep"};
    client.executeQuery("SELECT");
    script().allocStmt = SQL_ERROR;
    script().diag = {{"HY001", 8, "memory allocation error"}};
    fake::state().calls.clear();
    try {
        client.executeQuery("SELECT 2");
        FAIL() << "must throw";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Failed to allocate statement handle.");
    }
    // The allocation's record is read; nothing is executed.
    EXPECT_THAT(fake::state().calls,
                ElementsAre("SQLAllocHandle", "SQLGetDiagRec", "SQLGetDiagRec"));
    EXPECT_THAT(client.getResultColumnNames(), ElementsAre("keep"));
    expectStatementsFreed();
}

TEST_F(FakeQuery, ExecutionFailureLogsClassifiesFreesAndThrows) {
    script().columns = {"keep"};
    client.executeQuery("SELECT");
    script().exec = SQL_ERROR;
    script().diag = {{"42000", 1064, "syntax error near FROM"}, {"01000", 0, "more"}};
    try {
        client.executeQuery("SELEC 1");
        FAIL() << "must throw";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Failed to execute query.");
    }
    EXPECT_FALSE(client.isLastErrorRetriable());
    EXPECT_THAT(client.getResultColumnNames(), ElementsAre("keep"));
    EXPECT_EQ(
        std::count(fake::state().calls.begin(), fake::state().calls.end(), "SQLNumResultCols"), 1)
        << "nothing runs after a failed execution";
    expectStatementsFreed();
}

TEST_F(FakeQuery, ExecutionFailureWithoutDiagnosticsIsRetriableUnknown) {
    script().exec = SQL_ERROR;
    script().diagFailure = SQL_ERROR;
    EXPECT_THROW(client.executeQuery("SELECT"), std::runtime_error);
    EXPECT_TRUE(client.isLastErrorRetriable());
    expectStatementsFreed();
}

TEST_F(FakeQuery, ColumnCountFailureThrowsAndFrees) {
    script().exec = SQL_SUCCESS_WITH_INFO;
    script().numCols = SQL_ERROR;
    script().diag = {{"HY010", 0, "sequence error"}};
    try {
        client.executeQuery("SELECT");
        FAIL() << "must throw";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Failed to get number of result columns.");
    }
    EXPECT_TRUE(fake::state().getDataCalls.empty());
    expectStatementsFreed();
}

TEST_F(FakeQuery, ExceptionWhileReadingFreesTheStatement) {
    script().columns = {"a"};
    script().rows = {{std::string("x")}};
    script().throwInGetData = true;
    EXPECT_THROW(client.executeQuery("SELECT"), std::bad_alloc);
    expectStatementsFreed();
    EXPECT_EQ(fake::state().allocated[SQL_HANDLE_STMT], 1);
}

TEST_F(FakeQuery, TextWithZeroByteIsRefusedUnsent) {
    const char raw[] = "INSERT INTO t VALUES ('a\0'); DROP TABLE t; --')";
    const std::string query(raw, sizeof raw - 1);
    try {
        client.executeQuery(query);
        FAIL() << "must throw";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Failed to execute query.");
    }
    EXPECT_TRUE(fake::state().calls.empty()) << "nothing reaches the driver";
    EXPECT_FALSE(client.isLastErrorRetriable());

    const QueryResultEx ex = client.executeQueryEx(query);
    EXPECT_FALSE(ex.success);
    EXPECT_FALSE(ex.retriable);
    EXPECT_TRUE(ex.rows.empty());
}

TEST_F(FakeQuery, WithoutConnectionHandleThrowsAllocationFailure) {
    client.Destroy();
    EXPECT_THROW(
        {
            try {
                client.executeQuery("SELECT 1");
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), "Failed to allocate statement handle.");
                throw;
            }
        },
        std::runtime_error);
}

// ---- executeQueryEx -------------------------------------------------------

TEST_F(FakeQuery, ExPutsColumnNamesFirst) {
    script().columns = {"a", "b"};
    script().rows = {{std::string("1"), std::string("2")}, {std::string("3"), std::nullopt}};
    const QueryResultEx ex = client.executeQueryEx("SELECT");
    using Row = std::vector<std::string>;
    EXPECT_TRUE(ex.success);
    EXPECT_FALSE(ex.retriable);
    EXPECT_THAT(ex.rows, ElementsAre(Row{"a", "b"}, Row{"1", "2"}, Row{"3", "NULL"}));
}

TEST_F(FakeQuery, ExReportsFailureAndKeepsTheVerdictAfterwards) {
    script().exec = SQL_ERROR;
    script().diag = {{"HYT00", 0, "timeout expired"}};
    QueryResultEx ex = client.executeQueryEx("SELECT");
    EXPECT_FALSE(ex.success);
    EXPECT_TRUE(ex.retriable);
    EXPECT_TRUE(ex.rows.empty());

    // A later success does not clear the verdict of the last failure.
    script().exec = SQL_SUCCESS;
    ex = client.executeQueryEx("INSERT");
    EXPECT_TRUE(ex.success);
    EXPECT_TRUE(ex.retriable);
    EXPECT_THAT(ex.rows, ElementsAre(std::vector<std::string>{}));
    expectStatementsFreed();
}

TEST_F(FakeQuery, ExLetsOtherFailuresThrough) {
    script().allocStmt = SQL_ERROR;
    EXPECT_THROW(client.executeQueryEx("SELECT"), std::runtime_error);
    script().allocStmt = SQL_SUCCESS;
    script().numCols = SQL_ERROR;
    EXPECT_THROW(client.executeQueryEx("SELECT"), std::runtime_error);
    script().numCols = SQL_SUCCESS;
    script().columns = {"a"};
    script().rows = {{std::string("x")}};
    script().throwInGetData = true;
    EXPECT_THROW(client.executeQueryEx("SELECT"), std::bad_alloc);
    expectStatementsFreed();
}

// A subclass reports a refused statement by its type, a StatementError, with
// or without diagnostics; any other exception is a failure of another kind,
// whatever its text.
class PlainThrowingClient : public ODBCClient {
  public:
    std::string message = "Failed to execute query.";
    bool refusal = true;
    QueryResult executeQuery(const std::string&) override {
        if (refusal)
            throw StatementError("", 0, message, true);
        throw std::runtime_error(message);
    }
};

TEST(PlainRefusal, ExReportsARefusalWithoutDiagnosticsAsRetriable) {
    PlainThrowingClient client;
    QueryResultEx ex;
    ASSERT_NO_THROW(ex = client.executeQueryEx("INSERT INTO t VALUES (1)"));
    EXPECT_FALSE(ex.success);
    EXPECT_TRUE(ex.retriable);
    EXPECT_TRUE(ex.rows.empty());
    EXPECT_TRUE(client.isLastErrorRetriable());
}

TEST(PlainRefusal, ExLetsOtherErrorsThroughWhateverTheirText) {
    PlainThrowingClient client;
    client.refusal = false;
    for (const char* text :
         {"Failed to get number of result columns.", "Failed to execute query."}) {
        client.message = text;
        EXPECT_THROW(client.executeQueryEx("SELECT 1"), std::runtime_error) << text;
        EXPECT_FALSE(client.isLastErrorRetriable()) << text;
    }
}

// ---- database product -----------------------------------------------------

TEST_F(FakeQuery, ProductNameIsRead) {
    script().dbmsName = "Spark SQL";
    EXPECT_EQ(client.getDatabaseProductName(), "Spark SQL");
    // The link is checked before the name is asked for.
    EXPECT_THAT(fake::state().calls, ElementsAre("SQLGetConnectAttr", "SQLGetInfo"));
    script().getInfo = SQL_SUCCESS_WITH_INFO;
    EXPECT_EQ(client.getDatabaseProductName(), "Spark SQL");
}

TEST_F(FakeQuery, UnterminatedProductNameIsCut) {
    script().dbmsNameUnterminated = true;
    EXPECT_EQ(client.getDatabaseProductName(), std::string(255, 'n'));
}

TEST_F(FakeQuery, ProductNameFailureIsUnknown) {
    script().getInfo = SQL_ERROR;
    script().diag = {{"HY096", 0, "information type out of range"}};
    EXPECT_EQ(client.getDatabaseProductName(), "Unknown");
    EXPECT_EQ(std::count(fake::state().calls.begin(), fake::state().calls.end(), "SQLGetDiagRec"),
              2);
}

TEST_F(FakeQuery, ProductNameOnDeadConnectionIsUnknown) {
    script().dead = SQL_CD_TRUE;
    EXPECT_EQ(client.getDatabaseProductName(), "Unknown");
    EXPECT_EQ(std::count(fake::state().calls.begin(), fake::state().calls.end(), "SQLGetInfo"), 0);
}

TEST_F(FakeQuery, CachedTypeSurvivesDestroyAndIsOverwritten) {
    script().dbmsName = "mariadb";
    client.cacheDatabaseType();
    EXPECT_TRUE(client.isDatabaseTypeCached());
    EXPECT_EQ(client.getDatabaseType(), "MariaDB");
    EXPECT_EQ(client.getDatabaseTypeEnum(), DatabaseType::MARIADB);
    EXPECT_EQ(static_cast<int>(client.getDatabaseTypeEnum()), 7);
    EXPECT_EQ(std::count(fake::state().calls.begin(), fake::state().calls.end(), "SQLGetInfo"), 1)
        << "the cached type is not asked for again";

    client.Destroy();
    EXPECT_EQ(client.getDatabaseType(), "MariaDB");
    client.cacheDatabaseType();  // not connected: unchanged
    EXPECT_EQ(client.getDatabaseType(), "MariaDB");

    connect(client);
    EXPECT_EQ(client.getDatabaseType(), "MariaDB");
    script().dbmsName = "Microsoft SQL Server";
    client.cacheDatabaseType();
    EXPECT_EQ(client.getDatabaseTypeEnum(), DatabaseType::SQLSERVER);
    EXPECT_EQ(client.getDatabaseType(), "SQLServer");
}

TEST_F(FakeQuery, UnreadableProductNameCachesUnknown) {
    script().getInfo = SQL_ERROR;
    client.cacheDatabaseType();
    EXPECT_TRUE(client.isDatabaseTypeCached());
    EXPECT_EQ(client.getDatabaseType(), "Unknown");
    EXPECT_EQ(client.getDatabaseTypeEnum(), DatabaseType::UNKNOWN);
}

// The client's operations call one another through the virtual table, so a
// subclass sees them.

TEST_F(FakeOdbc, InternalCallsGoThroughTheVirtualTable) {
    CountingClient client;
    connect(client);
    client.cacheDatabaseType();
    EXPECT_EQ(client.isConnectedCalls, 2);
    EXPECT_EQ(client.productNameCalls, 1);
    client.executeQueryEx("SELECT");
    EXPECT_EQ(client.statements, 1);
}

}  // namespace
