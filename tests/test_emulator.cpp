// The warehouse emulator driven through the real unixODBC driver manager:
// connecting, credentials, the offline, faults and latency files, diagnostics,
// reading results piecewise, and several connections and processes writing to
// one warehouse.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "test_emulator_session.h"
#include "warehouse.h"

using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

const char* const kPumpTable =
    "CREATE TABLE `pump` (`asset_code` VARCHAR(256) NOT NULL, `user_ts` TIMESTAMP, `ts` "
    "TIMESTAMP, `corvane` VARCHAR(256), `temperature` DOUBLE, `state` STRING, `meta` VARIANT)";

// ---- connecting -------------------------------------------------------------

TEST(EmulatorConnect, ConnectsWithoutCredentialsFileAndAnswersAsSparkSql) {
    TempWarehouse wh;
    OdbcSession session(wh.connectionString("default_schema", "anyone", "anything"));
    ASSERT_TRUE(session.connected()) << session.connectResult().message;
    EXPECT_EQ(session.info(SQL_DBMS_NAME), "Spark SQL");
    EXPECT_FALSE(session.info(SQL_DBMS_VER).empty());
    EXPECT_FALSE(session.dead());
    // The schema is one SQLite file, created on first use.
    EXPECT_TRUE(std::filesystem::exists(wh.directory() + "/default_schema.db"));
}

TEST(EmulatorConnect, CredentialsFileAcceptsOnlyListedPairs) {
    TempWarehouse wh;
    wh.setCredentials("someone:else\ndefault_user:lisk\r\n");
    {
        OdbcSession good(wh.connectionString("default_schema", "default_user", "lisk"));
        EXPECT_TRUE(good.connected()) << good.connectResult().message;
    }
    for (const auto& [user, password] :
         std::vector<std::pair<std::string, std::string>>{{"default_user", "wrong"},
                                                          {"nobody", "lisk"},
                                                          {"default_user", ""},
                                                          {"someone", "lisk"}}) {
        OdbcSession bad(wh.connectionString("default_schema", user, password));
        EXPECT_FALSE(bad.connected()) << user << ":" << password;
        EXPECT_EQ(bad.connectResult().state, "28000") << user << ":" << password;
        EXPECT_THAT(bad.connectResult().message, StartsWith("[lakesink][Warehouse] "));
        EXPECT_NE(bad.connectResult().native, 0);
        // The password never shows in the message.
        if (!password.empty()) {
            EXPECT_THAT(bad.connectResult().message, ::testing::Not(HasSubstr(password)));
        }
    }
}

TEST(EmulatorConnect, BracedValuesFollowTheOdbcRule) {
    TempWarehouse wh;
    wh.setCredentials("user;1:a;b}c\n");
    const std::string connection =
        "Driver={DatabricksODBCDriver};Host=h;Port=443;UID={user;1};PWD={a;b}}c};"
        "SCHEMA={Mixed_Case};Warehouse={" +
        wh.directory() + "};AuthMech=3;";
    OdbcSession session(connection);
    ASSERT_TRUE(session.connected()) << session.connectResult().message;
    // Schema names are case-insensitive: the file is in lower case.
    EXPECT_TRUE(std::filesystem::exists(wh.directory() + "/mixed_case.db"));
}

TEST(EmulatorConnect, UnclosedBraceIsRefused) {
    TempWarehouse wh;
    OdbcSession session("Driver={DatabricksODBCDriver};UID={abc;Warehouse=" + wh.directory() + ";");
    EXPECT_FALSE(session.connected());
    EXPECT_EQ(session.connectResult().state, "HY000");
}

TEST(EmulatorConnect, SchemaThatIsNoFileNameIsRefused) {
    TempWarehouse wh;
    for (const char* schema : {"../escape", "a/b", ".hidden"}) {
        OdbcSession session(wh.connectionString(schema));
        EXPECT_FALSE(session.connected()) << schema;
        EXPECT_EQ(session.connectResult().state, "3F000") << schema;
    }
    EXPECT_FALSE(
        std::filesystem::exists(std::filesystem::path(wh.directory()).parent_path() / "escape.db"));
}

TEST(EmulatorConnect, WarehouseDirectoryComesFromTheEnvironmentWhenNotGiven) {
    TempWarehouse wh;
    const std::string nested = wh.directory() + "/from-env";
    setenv("LAKESINK_WAREHOUSE", nested.c_str(), 1);
    {
        OdbcSession session("Driver={DatabricksODBCDriver};UID=u;PWD=p;SCHEMA=s1;");
        ASSERT_TRUE(session.connected()) << session.connectResult().message;
        EXPECT_TRUE(session.run("CREATE TABLE t (a INT)").ok());
    }
    unsetenv("LAKESINK_WAREHOUSE");
    EXPECT_TRUE(std::filesystem::exists(nested + "/s1.db"));
}

// ---- offline ------------------------------------------------------------------

TEST(EmulatorOffline, NewConnectionFailsWith08001AndRecoversWhenTheFileGoes) {
    TempWarehouse wh;
    wh.setOffline(true);
    {
        OdbcSession session(wh.connectionString());
        EXPECT_FALSE(session.connected());
        EXPECT_EQ(session.connectResult().state, "08001");
        EXPECT_THAT(session.connectResult().message, HasSubstr("offline"));
    }
    wh.setOffline(false);
    OdbcSession session(wh.connectionString());
    EXPECT_TRUE(session.connected()) << session.connectResult().message;
}

TEST(EmulatorOffline, OpenConnectionTurnsDeadAndStaysDeadUntilReconnected) {
    TempWarehouse wh;
    OdbcSession session(wh.connectionString());
    ASSERT_TRUE(session.connected());
    ASSERT_TRUE(session.run(kPumpTable).ok());
    EXPECT_FALSE(session.dead());

    wh.setOffline(true);
    EXPECT_TRUE(session.dead());
    const OdbcResult failed = session.run("SELECT count(*) FROM pump");
    EXPECT_FALSE(failed.ok());
    EXPECT_EQ(failed.state, "08S01");

    // Healing the warehouse does not revive a lost link: a new connection works.
    wh.setOffline(false);
    EXPECT_TRUE(session.dead());
    EXPECT_EQ(session.run("SELECT count(*) FROM pump").state, "08S01");
    OdbcSession fresh(wh.connectionString());
    ASSERT_TRUE(fresh.connected());
    EXPECT_FALSE(fresh.dead());
    EXPECT_EQ(fresh.run("SELECT count(*) FROM pump").rows,
              (std::vector<std::vector<std::string>>{{"0"}}));
}

TEST(EmulatorOffline, Hy000FirstLineReportsTheTransportErrorOfTheRealDriver) {
    TempWarehouse wh;
    OdbcSession open(wh.connectionString());
    ASSERT_TRUE(open.connected());
    std::ofstream(wh.directory() + "/offline") << "HY000\n";
    {
        OdbcSession session(wh.connectionString());
        EXPECT_FALSE(session.connected());
        EXPECT_EQ(session.connectResult().state, "HY000");
        EXPECT_THAT(session.connectResult().message,
                    HasSubstr("Unexpected response from server during a HTTP connection: "));
    }
    // An open connection loses its link the same way, and stays dead.
    const OdbcResult failed = open.run("SELECT 1");
    EXPECT_EQ(failed.state, "HY000");
    EXPECT_THAT(failed.message,
                HasSubstr("Unexpected response from server during a HTTP connection: "));
    EXPECT_TRUE(open.dead());
    wh.setOffline(false);
    EXPECT_EQ(open.run("SELECT 1").state, "HY000");
    // Any other content keeps the 08001 form.
    std::ofstream(wh.directory() + "/offline") << "HY0001\n";
    OdbcSession again(wh.connectionString());
    EXPECT_EQ(again.connectResult().state, "08001");
}

// ---- faults file ------------------------------------------------------------------

TEST(EmulatorFaults, FaultFailsTheNextStatementsAndIsConsumed) {
    TempWarehouse wh;
    OdbcSession session(wh.connectionString());
    ASSERT_TRUE(session.connected());
    wh.addFault("HYT00", 2);
    for (int i = 0; i < 2; ++i) {
        const OdbcResult r = session.run("SELECT 1");
        EXPECT_EQ(r.state, "HYT00") << i;
        EXPECT_THAT(r.message, StartsWith("[lakesink][Warehouse] "));
        EXPECT_NE(r.native, 0);
    }
    EXPECT_TRUE(session.run("SELECT 1").ok());
    EXPECT_EQ(readFile(wh.directory() + "/faults"), "HYT00 0\n");
}

TEST(EmulatorFaults, TextFiltersWhichStatementsFail) {
    TempWarehouse wh;
    OdbcSession session(wh.connectionString());
    ASSERT_TRUE(session.connected());
    ASSERT_TRUE(session.run(kPumpTable).ok());
    wh.addFault("40001", 1, "INSERT INTO `pump`");
    // Statements without the text pass and leave the fault in place.
    EXPECT_TRUE(session.run("SELECT count(*) FROM pump").ok());
    EXPECT_EQ(readFile(wh.directory() + "/faults"), "40001 1 INSERT INTO `pump`\n");
    const OdbcResult r = session.run("INSERT INTO `pump` (`asset_code`) VALUES ('a')");
    EXPECT_EQ(r.state, "40001");
    EXPECT_TRUE(session.run("INSERT INTO `pump` (`asset_code`) VALUES ('b')").ok());
    // The failed statement wrote nothing.
    EXPECT_EQ(wh.query("SELECT asset_code FROM pump"),
              (std::vector<std::vector<std::string>>{{"b"}}));
}

TEST(EmulatorFaults, FirstMatchingLineIsUsedAndOthersAreKept) {
    TempWarehouse wh;
    OdbcSession session(wh.connectionString());
    ASSERT_TRUE(session.connected());
    wh.addFault("42000", 1, "information_schema");
    wh.addFault("08S01", 1);
    std::ofstream(wh.directory() + "/faults", std::ios::app) << "garbage line\n";
    EXPECT_EQ(session.run("SELECT 2").state, "08S01");
    EXPECT_EQ(session.run("SELECT * FROM information_schema.columns").state, "42000");
    EXPECT_TRUE(session.run("SELECT * FROM information_schema.columns").ok());
    EXPECT_EQ(readFile(wh.directory() + "/faults"),
              "42000 0 information_schema\n08S01 0\ngarbage line\n");
}

// An "after" line lets the statement run and commit, then loses its answer:
// the rows are there although the caller saw 08S01.
TEST(EmulatorFaults, AfterLineCommitsTheStatementAndThenLosesTheAnswer) {
    TempWarehouse wh;
    OdbcSession session(wh.connectionString());
    ASSERT_TRUE(session.connected());
    ASSERT_TRUE(session.run("CREATE TABLE a (x INT)").ok());
    ASSERT_TRUE(session.run("CREATE TABLE b (x INT)").ok());
    std::ofstream(wh.directory() + "/faults") << "after 08S01 2 INTO `a`\n";
    EXPECT_TRUE(session.run("INSERT INTO `b` VALUES (1)").ok());
    const OdbcResult lost = session.run("INSERT INTO `a` VALUES (1), (2)");
    EXPECT_EQ(lost.state, "08S01");
    EXPECT_THAT(lost.message, StartsWith("[lakesink][Warehouse] "));
    // A statement that fails on its own loses its answer all the same.
    EXPECT_EQ(session.run("INSERT INTO `a` VALUES ('x')").state, "08S01");
    EXPECT_TRUE(session.run("INSERT INTO `a` VALUES (3)").ok());
    EXPECT_EQ(wh.query("SELECT x FROM a ORDER BY x"),
              (std::vector<std::vector<std::string>>{{"1"}, {"2"}, {"3"}}));
    EXPECT_EQ(wh.query("SELECT x FROM b"), (std::vector<std::vector<std::string>>{{"1"}}));
    EXPECT_EQ(readFile(wh.directory() + "/faults"), "after 08S01 0 INTO `a`\n");
}

TEST(EmulatorFaults, FaultsAreSharedAcrossProcesses) {
    TempWarehouse wh;
    wh.addFault("HYT00", 20);
    // Two processes run statements at once; together they meet exactly the
    // twenty faults of the file, none twice and none lost.
    constexpr int kStatements = 30;
    std::vector<pid_t> children;
    for (int child = 0; child < 2; ++child) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int failures = 0;
            {
                OdbcSession session(wh.connectionString());
                if (!session.connected())
                    _exit(255);
                for (int i = 0; i < kStatements; ++i) {
                    const OdbcResult r = session.run("SELECT 1");
                    if (!r.ok())
                        failures += r.state == "HYT00" ? 1 : 100;
                }
            }
            _exit(failures);
        }
        children.push_back(pid);
    }
    int failures = 0;
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        failures += WEXITSTATUS(status);
    }
    EXPECT_EQ(failures, 20);
    EXPECT_EQ(readFile(wh.directory() + "/faults"), "HYT00 0\n");
}

// ---- ODBC behaviour ------------------------------------------------------------------

// Raw statement handle on a session, freed on every way out.
struct Stmt {
    explicit Stmt(const OdbcSession& session) {
        SQLAllocHandle(SQL_HANDLE_STMT, session.dbc(), &handle);
    }
    ~Stmt() { SQLFreeHandle(SQL_HANDLE_STMT, handle); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;
    SQLRETURN exec(const std::string& sql) {
        return SQLExecDirect(handle, (SQLCHAR*)sql.c_str(), SQL_NTS);
    }
    SQLHSTMT handle = SQL_NULL_HSTMT;
};

TEST(EmulatorOdbc, LongValueIsReadPiecewiseWithTruncationWarnings) {
    TempWarehouse wh;
    OdbcSession session(wh.connectionString());
    ASSERT_TRUE(session.run("CREATE TABLE t (s STRING)").ok());
    std::string value;
    for (int i = 0; i < 3000; ++i)
        value += static_cast<char>('a' + i % 26);
    ASSERT_TRUE(session.run("INSERT INTO t VALUES ('" + value + "')").ok());

    Stmt stmt(session);
    ASSERT_EQ(stmt.exec("SELECT s FROM t"), SQL_SUCCESS);
    ASSERT_EQ(SQLFetch(stmt.handle), SQL_SUCCESS);
    char buffer[1024];
    SQLLEN indicator = 0;
    std::string read;
    // 1023 bytes per piece: three pieces with 01004, then the rest, then no data.
    for (int piece = 0; piece < 2; ++piece) {
        ASSERT_EQ(SQLGetData(stmt.handle, 1, SQL_C_CHAR, buffer, sizeof buffer, &indicator),
                  SQL_SUCCESS_WITH_INFO);
        EXPECT_EQ(indicator, static_cast<SQLLEN>(value.size() - read.size()));
        EXPECT_EQ(diagnosticsOf(SQL_HANDLE_STMT, stmt.handle, SQL_SUCCESS_WITH_INFO).state,
                  "01004");
        read += buffer;
    }
    ASSERT_EQ(SQLGetData(stmt.handle, 1, SQL_C_CHAR, buffer, sizeof buffer, &indicator),
              SQL_SUCCESS);
    EXPECT_EQ(indicator, 3000 - 2046);
    read += buffer;
    EXPECT_EQ(read, value);
    EXPECT_EQ(SQLGetData(stmt.handle, 1, SQL_C_CHAR, buffer, sizeof buffer, &indicator),
              SQL_NO_DATA);
    EXPECT_EQ(SQLFetch(stmt.handle), SQL_NO_DATA);
}

TEST(EmulatorOdbc, NullComesAsNullDataAndDescribeNamesColumns) {
    TempWarehouse wh;
    OdbcSession session(wh.connectionString());
    ASSERT_TRUE(session.run("CREATE TABLE t (Mixed BIGINT, s STRING)").ok());
    ASSERT_TRUE(session.run("INSERT INTO t VALUES (1, NULL)").ok());
    Stmt stmt(session);
    ASSERT_EQ(stmt.exec("SELECT * FROM t"), SQL_SUCCESS);
    SQLSMALLINT columns = 0;
    ASSERT_EQ(SQLNumResultCols(stmt.handle, &columns), SQL_SUCCESS);
    EXPECT_EQ(columns, 2);
    SQLCHAR name[256];
    SQLSMALLINT length = 0, type = 0;
    ASSERT_EQ(SQLDescribeCol(stmt.handle, 1, name, sizeof name, &length, &type, nullptr, nullptr,
                             nullptr),
              SQL_SUCCESS);
    EXPECT_STREQ(reinterpret_cast<char*>(name), "Mixed");
    EXPECT_EQ(type, SQL_BIGINT);
    ASSERT_EQ(SQLFetch(stmt.handle), SQL_SUCCESS);
    char buffer[16];
    SQLLEN indicator = 0;
    ASSERT_EQ(SQLGetData(stmt.handle, 2, SQL_C_CHAR, buffer, sizeof buffer, &indicator),
              SQL_SUCCESS);
    EXPECT_EQ(indicator, SQL_NULL_DATA);
    ASSERT_EQ(SQLGetData(stmt.handle, 1, SQL_C_CHAR, buffer, sizeof buffer, &indicator),
              SQL_SUCCESS);
    EXPECT_STREQ(buffer, "1");
}

TEST(EmulatorOdbc, DdlHasNoResultSetAndInsertAnswersWithItsCounts) {
    TempWarehouse wh;
    OdbcSession session(wh.connectionString());
    {
        Stmt stmt(session);
        ASSERT_EQ(stmt.exec("CREATE TABLE t (a INT)"), SQL_SUCCESS);
        SQLSMALLINT columns = -1;
        ASSERT_EQ(SQLNumResultCols(stmt.handle, &columns), SQL_SUCCESS);
        EXPECT_EQ(columns, 0);
        EXPECT_FALSE(SQL_SUCCEEDED(SQLFetch(stmt.handle)));
    }
    Stmt stmt(session);
    ASSERT_EQ(stmt.exec("INSERT INTO t VALUES (1), (2), (3)"), SQL_SUCCESS);
    SQLLEN rows = 0;
    ASSERT_EQ(SQLRowCount(stmt.handle, &rows), SQL_SUCCESS);
    EXPECT_EQ(rows, 3);
    SQLSMALLINT columns = -1;
    ASSERT_EQ(SQLNumResultCols(stmt.handle, &columns), SQL_SUCCESS);
    ASSERT_EQ(columns, 2);
    const char* const names[] = {"num_affected_rows", "num_inserted_rows"};
    for (SQLUSMALLINT c = 1; c <= 2; ++c) {
        SQLCHAR name[64] = {0};
        SQLSMALLINT length = 0, type = 0;
        ASSERT_EQ(SQLDescribeCol(stmt.handle, c, name, sizeof name, &length, &type, nullptr,
                                 nullptr, nullptr),
                  SQL_SUCCESS);
        EXPECT_STREQ(reinterpret_cast<char*>(name), names[c - 1]);
        EXPECT_EQ(type, SQL_BIGINT);
    }
    ASSERT_EQ(SQLFetch(stmt.handle), SQL_SUCCESS);
    char buffer[32] = {0};
    SQLLEN indicator = 0;
    ASSERT_EQ(SQLGetData(stmt.handle, 2, SQL_C_CHAR, buffer, sizeof buffer, &indicator),
              SQL_SUCCESS);
    EXPECT_STREQ(buffer, "3");
    EXPECT_EQ(SQLFetch(stmt.handle), SQL_NO_DATA);
}

TEST(EmulatorOdbc, DiagnosticsCanBeReadRepeatedlyAndThroughDiagField) {
    TempWarehouse wh;
    OdbcSession session(wh.connectionString());
    Stmt stmt(session);
    ASSERT_EQ(stmt.exec("SELECT * FROM missing_table"), SQL_ERROR);
    for (int i = 0; i < 3; ++i) {
        const OdbcResult r = diagnosticsOf(SQL_HANDLE_STMT, stmt.handle, SQL_ERROR);
        EXPECT_EQ(r.state, "42P01");
        EXPECT_THAT(r.message, HasSubstr("`missing_table`"));
    }
    SQLINTEGER count = 0;
    ASSERT_EQ(SQLGetDiagField(SQL_HANDLE_STMT, stmt.handle, 0, SQL_DIAG_NUMBER, &count, 0, nullptr),
              SQL_SUCCESS);
    EXPECT_EQ(count, 1);
    SQLCHAR state[6];
    SQLINTEGER native = 0;
    SQLCHAR small[16];
    SQLSMALLINT length = 0;
    EXPECT_EQ(SQLGetDiagRec(SQL_HANDLE_STMT, stmt.handle, 1, state, &native, small, sizeof small,
                            &length),
              SQL_SUCCESS_WITH_INFO);
    EXPECT_GT(length, static_cast<SQLSMALLINT>(sizeof small));
    EXPECT_EQ(SQLGetDiagRec(SQL_HANDLE_STMT, stmt.handle, 2, state, &native, small, sizeof small,
                            &length),
              SQL_NO_DATA);
    // The next call on the handle starts with no records.
    ASSERT_EQ(stmt.exec("SELECT 1"), SQL_SUCCESS);
    EXPECT_EQ(SQLGetDiagRec(SQL_HANDLE_STMT, stmt.handle, 1, state, &native, small, sizeof small,
                            &length),
              SQL_NO_DATA);
}

TEST(EmulatorOdbc, NumericTargetsAttributesAndConnectionRules) {
    TempWarehouse wh;
    OdbcSession session(wh.connectionString("Sales"));
    ASSERT_TRUE(session.connected());
    EXPECT_EQ(session.info(SQL_IDENTIFIER_QUOTE_CHAR), "`");
    EXPECT_EQ(session.info(SQL_DATABASE_NAME), "sales");
    ASSERT_TRUE(session.run("CREATE TABLE t (n BIGINT, d DOUBLE, s STRING)").ok());
    ASSERT_TRUE(session.run("INSERT INTO t VALUES (-7, 2.25, 'x')").ok());
    Stmt stmt(session);
    ASSERT_EQ(stmt.exec("SELECT n, d, s FROM t"), SQL_SUCCESS);
    SQLCHAR name[8];
    SQLSMALLINT length = 0;
    EXPECT_EQ(SQLColAttribute(stmt.handle, 2, SQL_DESC_NAME, name, sizeof name, &length, nullptr),
              SQL_SUCCESS);
    EXPECT_STREQ(reinterpret_cast<char*>(name), "d");
    ASSERT_EQ(SQLFetch(stmt.handle), SQL_SUCCESS);
    SQLBIGINT n = 0;
    SQLDOUBLE d = 0;
    SQLLEN indicator = 0;
    EXPECT_EQ(SQLGetData(stmt.handle, 1, SQL_C_SBIGINT, &n, 0, &indicator), SQL_SUCCESS);
    EXPECT_EQ(n, -7);
    EXPECT_EQ(SQLGetData(stmt.handle, 2, SQL_C_DOUBLE, &d, 0, &indicator), SQL_SUCCESS);
    EXPECT_EQ(d, 2.25);
    EXPECT_EQ(SQLGetData(stmt.handle, 3, SQL_C_SBIGINT, &n, 0, &indicator), SQL_ERROR);
    EXPECT_EQ(diagnosticsOf(SQL_HANDLE_STMT, stmt.handle, SQL_ERROR).state, "22018");
    EXPECT_EQ(SQLGetData(stmt.handle, 4, SQL_C_CHAR, name, sizeof name, &indicator), SQL_ERROR);
    EXPECT_EQ(diagnosticsOf(SQL_HANDLE_STMT, stmt.handle, SQL_ERROR).state, "07009");

    // Every statement commits on its own: manual commit is refused.
    EXPECT_EQ(SQLSetConnectAttr(session.dbc(), SQL_ATTR_AUTOCOMMIT,
                                reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0),
              SQL_ERROR);
    // A connected handle cannot connect again.
    const std::string again = wh.connectionString();
    EXPECT_EQ(SQLDriverConnect(session.dbc(), nullptr, (SQLCHAR*)again.c_str(), SQL_NTS, nullptr, 0,
                               nullptr, SQL_DRIVER_NOPROMPT),
              SQL_ERROR);
}

// A prepared INSERT runs again with new values in the same buffers; the
// values (quotes, a semicolon, UTF-16 text, NULL) are bound, never pasted into
// the statement. Bound columns and SQLGetData read them back as C types.
TEST(EmulatorOdbc, PreparedStatementsBindParametersAndColumns) {
    TempWarehouse wh;
    OdbcSession session(wh.connectionString());
    ASSERT_TRUE(session
                    .run("CREATE TABLE p (n BIGINT, d DOUBLE, s STRING, w STRING, "
                         "ts TIMESTAMP, price DECIMAL(6,2))")
                    .ok());
    Stmt insert(session);
    const std::string sql = "INSERT INTO p VALUES (?, ?, ?, ?, ?, ?) -- '?' is no marker";
    ASSERT_EQ(SQLPrepare(insert.handle, (SQLCHAR*)sql.c_str(), SQL_NTS), SQL_SUCCESS);
    SQLSMALLINT markers = 0;
    ASSERT_EQ(SQLNumParams(insert.handle, &markers), SQL_SUCCESS);
    EXPECT_EQ(markers, 6);
    SQLBIGINT n = 0;
    SQLDOUBLE d = 0;
    char s[64] = "x'); DROP TABLE p; --";
    SQLWCHAR w[8] = {0x00FC, 0xD83D, 0xDE00, 0};  // "ü😀"
    SQL_TIMESTAMP_STRUCT ts{2026, 1, 2, 3, 4, 5, 6000};
    char price[16] = "12.5";
    SQLLEN sLength = SQL_NTS, wLength = SQL_NTS, nullLength = 0, priceLength = SQL_NTS;
    SQLBindParameter(insert.handle, 1, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &n, 0,
                     nullptr);
    SQLBindParameter(insert.handle, 2, SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_DOUBLE, 0, 0, &d, 0,
                     &nullLength);
    SQLBindParameter(insert.handle, 3, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 64, 0, s, sizeof s,
                     &sLength);
    SQLBindParameter(insert.handle, 4, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, 8, 0, w,
                     sizeof w, &wLength);
    SQLBindParameter(insert.handle, 5, SQL_PARAM_INPUT, SQL_C_TYPE_TIMESTAMP, SQL_TYPE_TIMESTAMP,
                     26, 6, &ts, 0, nullptr);
    SQLBindParameter(insert.handle, 6, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_DECIMAL, 6, 2, price,
                     sizeof price, &priceLength);
    n = 1;
    d = -0.5;
    ASSERT_EQ(SQLExecute(insert.handle), SQL_SUCCESS)
        << diagnosticsOf(SQL_HANDLE_STMT, insert.handle, SQL_ERROR).message;
    n = 2;
    nullLength = SQL_NULL_DATA;
    wLength = 2;  // the first UTF-16 unit only
    ASSERT_EQ(SQLExecute(insert.handle), SQL_SUCCESS)
        << diagnosticsOf(SQL_HANDLE_STMT, insert.handle, SQL_ERROR).message;
    EXPECT_EQ(
        session.run("SELECT n, d, s, w, ts, price FROM p ORDER BY n").rows,
        (std::vector<std::vector<std::string>>{
            {"1", "-0.5", s, "\xC3\xBC\xF0\x9F\x98\x80", "2026-01-02 03:04:05.000006", "12.50"},
            {"2", "NULL", s, "\xC3\xBC", "2026-01-02 03:04:05.000006", "12.50"}}));

    Stmt select(session);
    const std::string query = "SELECT w, n, ts, price FROM p WHERE n = ? AND s = ?";
    ASSERT_EQ(SQLPrepare(select.handle, (SQLCHAR*)query.c_str(), SQL_NTS), SQL_SUCCESS);
    SQLBindParameter(select.handle, 1, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &n, 0,
                     nullptr);
    SQLBindParameter(select.handle, 2, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 64, 0, s, sizeof s,
                     &sLength);
    n = 1;
    ASSERT_EQ(SQLExecute(select.handle), SQL_SUCCESS);
    SQLSMALLINT types[4] = {0}, digits = 0;
    for (SQLUSMALLINT c = 1; c <= 4; ++c) {
        SQLDescribeCol(select.handle, c, nullptr, 0, nullptr, &types[c - 1], nullptr, &digits,
                       nullptr);
    }
    EXPECT_EQ(std::vector<SQLSMALLINT>(types, types + 4),
              (std::vector<SQLSMALLINT>{SQL_VARCHAR, SQL_BIGINT, SQL_TYPE_TIMESTAMP, SQL_DECIMAL}));
    EXPECT_EQ(digits, 2);
    SQLLEN verbose = 0, concise = 0;
    SQLColAttribute(select.handle, 3, SQL_DESC_TYPE, nullptr, 0, nullptr, &verbose);
    SQLColAttribute(select.handle, 3, SQL_DESC_CONCISE_TYPE, nullptr, 0, nullptr, &concise);
    EXPECT_EQ(verbose, SQL_DATETIME);
    EXPECT_EQ(concise, SQL_TYPE_TIMESTAMP);
    SQLWCHAR wide[3] = {0};
    SQLBIGINT number = 0;
    SQL_TIMESTAMP_STRUCT read{};
    SQLLEN wideLength = 0, numberLength = 0;
    SQLBindCol(select.handle, 1, SQL_C_WCHAR, wide, sizeof wide, &wideLength);
    SQLBindCol(select.handle, 2, SQL_C_SBIGINT, &number, 0, &numberLength);
    SQLBindCol(select.handle, 3, SQL_C_TYPE_TIMESTAMP, &read, sizeof read, nullptr);
    // Two of the three UTF-16 units fit with the terminating zero: cut, 01004.
    ASSERT_EQ(SQLFetch(select.handle), SQL_SUCCESS_WITH_INFO);
    EXPECT_EQ(diagnosticsOf(SQL_HANDLE_STMT, select.handle, SQL_ERROR).state, "01004");
    EXPECT_EQ(wideLength, 6);
    EXPECT_EQ(wide[0], 0x00FC);
    EXPECT_EQ(number, 1);
    EXPECT_EQ(read.year, 2026);
    EXPECT_EQ(read.second, 5);
    EXPECT_EQ(read.fraction, 6000u);
    SQLDOUBLE price2 = 0;
    ASSERT_EQ(SQLGetData(select.handle, 4, SQL_C_DOUBLE, &price2, 0, nullptr), SQL_SUCCESS);
    EXPECT_EQ(price2, 12.5);
    EXPECT_EQ(SQLFetch(select.handle), SQL_NO_DATA);
}

// Misuse of the prepared-statement, binding and catalog functions gets the
// SQLSTATE the ODBC standard names, never a crash.
TEST(EmulatorOdbc, MisusedNewFunctionsGetTheirSqlStates) {
    TempWarehouse wh;
    OdbcSession session(wh.connectionString());
    ASSERT_TRUE(session.run("CREATE TABLE t (a BIGINT, s STRING)").ok());
    ASSERT_TRUE(session.run("INSERT INTO t VALUES (1, 'x')").ok());
    SQLBIGINT value = 0;
    SQLLEN atExec = SQL_DATA_AT_EXEC;
    struct Case {
        const char* name;
        const char* prepared;  // nullptr: no SQLPrepare
        std::function<SQLRETURN(SQLHSTMT)> call;
        const char* state;
    };
    const std::vector<Case> cases = {
        {"execute before prepare", nullptr, [](SQLHSTMT h) { return SQLExecute(h); }, "HY010"},
        {"count before prepare", nullptr,
         [](SQLHSTMT h) {
             SQLSMALLINT n = 0;
             return SQLNumParams(h, &n);
         },
         "HY010"},
        {"marker without a value", "SELECT a FROM t WHERE a = ? AND s = ?",
         [&](SQLHSTMT h) {
             SQLBindParameter(h, 1, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &value, 0,
                              nullptr);
             return SQLExecute(h);
         },
         "07002"},
        {"direct statement with a marker and nothing bound", nullptr,
         [](SQLHSTMT h) { return SQLExecDirect(h, (SQLCHAR*)"SELECT ? FROM t", SQL_NTS); },
         "07002"},
        {"parameter number 0", "SELECT ?",
         [&](SQLHSTMT h) {
             return SQLBindParameter(h, 0, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &value,
                                     0, nullptr);
         },
         "07009"},
        {"no value and no indicator", "SELECT ?",
         [](SQLHSTMT h) {
             return SQLBindParameter(h, 1, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0,
                                     nullptr, 0, nullptr);
         },
         "HY009"},
        {"unknown C type", "SELECT ?",
         [&](SQLHSTMT h) {
             return SQLBindParameter(h, 1, SQL_PARAM_INPUT, SQL_C_GUID, SQL_VARCHAR, 0, 0, &value,
                                     0, nullptr);
         },
         "HY003"},
        {"data at execution", "SELECT ?",
         [&](SQLHSTMT h) {
             SQLBindParameter(h, 1, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 10, 0, &value, 0,
                              &atExec);
             return SQLExecute(h);
         },
         "HYC00"},
        {"bound column 0", "SELECT a FROM t",
         [&](SQLHSTMT h) { return SQLBindCol(h, 0, SQL_C_SBIGINT, &value, 0, nullptr); }, "07009"},
        {"text read as a number", "SELECT s FROM t",
         [&](SQLHSTMT h) {
             SQLExecute(h);
             SQLFetch(h);
             return SQLGetData(h, 1, SQL_C_SBIGINT, &value, 0, nullptr);
         },
         "22018"},
        {"column beyond the result", "SELECT a FROM t",
         [&](SQLHSTMT h) {
             SQLExecute(h);
             SQLFetch(h);
             return SQLGetData(h, 2, SQL_C_WCHAR, &value, sizeof value, nullptr);
         },
         "07009"},
        {"NULL without an indicator", "SELECT NULL",
         [&](SQLHSTMT h) {
             SQLExecute(h);
             SQLFetch(h);
             return SQLGetData(h, 1, SQL_C_WCHAR, &value, sizeof value, nullptr);
         },
         "22002"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Stmt stmt(session);
        if (c.prepared) {
            ASSERT_EQ(SQLPrepare(stmt.handle, (SQLCHAR*)c.prepared, SQL_NTS), SQL_SUCCESS);
        }
        const SQLRETURN rc = c.call(stmt.handle);
        EXPECT_EQ(rc, SQL_ERROR);
        EXPECT_EQ(diagnosticsOf(SQL_HANDLE_STMT, stmt.handle, rc).state, c.state);
    }
}

// SQLTables, SQLColumns and SQLGetTypeInfo list the schema's tables, their
// columns with ODBC types, and the warehouse's types.
TEST(EmulatorOdbc, CatalogFunctionsListTablesColumnsAndTypes) {
    TempWarehouse wh;
    OdbcSession session(wh.connectionString("Sales"));
    ASSERT_TRUE(session.run("CREATE TABLE pump (a BIGINT NOT NULL, ts TIMESTAMP)").ok());
    ASSERT_TRUE(session.run("CREATE TABLE tank (level DECIMAL(5,1))").ok());
    const auto rowsOf = [](SQLHSTMT h, std::vector<SQLUSMALLINT> columns) {
        std::vector<std::vector<std::string>> rows;
        while (SQLFetch(h) == SQL_SUCCESS) {
            std::vector<std::string> row;
            for (SQLUSMALLINT c : columns) {
                char cell[64] = {0};
                SQLLEN length = 0;
                SQLGetData(h, c, SQL_C_CHAR, cell, sizeof cell, &length);
                row.push_back(length == SQL_NULL_DATA ? "NULL" : cell);
            }
            rows.push_back(row);
        }
        return rows;
    };
    Stmt tables(session);
    ASSERT_EQ(SQLTables(tables.handle, nullptr, 0, nullptr, 0, (SQLCHAR*)"%a%", SQL_NTS,
                        (SQLCHAR*)"'TABLE'", SQL_NTS),
              SQL_SUCCESS);
    EXPECT_EQ(rowsOf(tables.handle, {2, 3, 4}),
              (std::vector<std::vector<std::string>>{{"sales", "tank", "TABLE"}}));
    Stmt columns(session);
    ASSERT_EQ(
        SQLColumns(columns.handle, nullptr, 0, (SQLCHAR*)"sales", SQL_NTS, nullptr, 0, nullptr, 0),
        SQL_SUCCESS);
    // TABLE_NAME, COLUMN_NAME, DATA_TYPE, TYPE_NAME, COLUMN_SIZE, DECIMAL_DIGITS, NULLABLE
    EXPECT_EQ(
        rowsOf(columns.handle, {3, 4, 5, 6, 7, 9, 11}),
        (std::vector<std::vector<std::string>>{{"pump", "a", "-5", "BIGINT", "19", "0", "0"},
                                               {"pump", "ts", "93", "TIMESTAMP", "26", "6", "1"},
                                               {"tank", "level", "3", "DECIMAL", "5", "1", "1"}}));
    Stmt types(session);
    ASSERT_EQ(SQLGetTypeInfo(types.handle, SQL_TYPE_TIMESTAMP), SQL_SUCCESS);
    EXPECT_EQ(rowsOf(types.handle, {1, 2}),
              (std::vector<std::vector<std::string>>{{"TIMESTAMP", "93"}}));
    EXPECT_EQ(session.run("SHOW TABLES LIKE 'p*|x'").rows,
              (std::vector<std::vector<std::string>>{{"sales", "pump", "false"}}));
    EXPECT_EQ(session.run("DESCRIBE TABLE sales.tank").rows,
              (std::vector<std::vector<std::string>>{{"level", "decimal(5,1)", "NULL"}}));
    EXPECT_EQ(session.run("SHOW SCHEMAS LIKE 'sal*'").rows,
              (std::vector<std::vector<std::string>>{{"sales"}}));
    EXPECT_EQ(session.run("DESCRIBE TABLE gone").state, "42P01");
    EXPECT_EQ(session.run("SHOW TABLES IN elsewhere").state, "0A000");
}

TEST(EmulatorOdbc, DisconnectFreesStatementsLeftOpen) {
    TempWarehouse wh;
    useEmulatorDriver();
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    const std::string connection = wh.connectionString();
    ASSERT_TRUE(SQL_SUCCEEDED(SQLDriverConnect(dbc, nullptr, (SQLCHAR*)connection.c_str(), SQL_NTS,
                                               nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT)));
    for (int i = 0; i < 3; ++i) {
        SQLHSTMT stmt = SQL_NULL_HSTMT;
        ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt), SQL_SUCCESS);
        ASSERT_EQ(SQLExecDirect(stmt, (SQLCHAR*)"SELECT 1", SQL_NTS), SQL_SUCCESS);
    }
    // The application never frees these statements and the driver manager does
    // not free them at disconnect: the driver releases them itself, and must not
    // touch them again (the sanitizer build catches a double free).
    EXPECT_EQ(SQLDisconnect(dbc), SQL_SUCCESS);
    // The connection can be used again afterwards.
    ASSERT_TRUE(SQL_SUCCEEDED(SQLDriverConnect(dbc, nullptr, (SQLCHAR*)connection.c_str(), SQL_NTS,
                                               nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT)));
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt), SQL_SUCCESS);
    EXPECT_EQ(SQLExecDirect(stmt, (SQLCHAR*)"SELECT 1", SQL_NTS), SQL_SUCCESS);
    EXPECT_EQ(SQLFreeHandle(SQL_HANDLE_STMT, stmt), SQL_SUCCESS);
    EXPECT_EQ(SQLDisconnect(dbc), SQL_SUCCESS);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
}

// ---- limits and switch files ---------------------------------------------------------

TEST(EmulatorLimits, StatementLongerThanTheLimitIsRefusedWith54000) {
    TempWarehouse wh;
    OdbcSession session(wh.connectionString());
    ASSERT_TRUE(session.run("CREATE TABLE t (s STRING)").ok());
    std::ofstream(wh.directory() + "/limits") << "statement_bytes 40\n";
    const std::string fits = "INSERT INTO t VALUES ('" + std::string(15, 'a') + "')";
    ASSERT_EQ(fits.size(), 40u);
    EXPECT_TRUE(session.run(fits).ok());
    const OdbcResult refused = session.run("INSERT INTO t VALUES ('" + std::string(16, 'b') + "')");
    EXPECT_EQ(refused.state, "54000");
    EXPECT_EQ(refused.native, 80);
    std::filesystem::remove(wh.directory() + "/limits");
    EXPECT_TRUE(session.run("INSERT INTO t VALUES ('" + std::string(16, 'c') + "')").ok());
    EXPECT_EQ(wh.query("SELECT count(*) FROM t WHERE s LIKE 'b%'"),
              (std::vector<std::vector<std::string>>{{"0"}}));
}

TEST(EmulatorLimits, TableBeyondTheColumnLimitIsRefusedWith54011) {
    TempWarehouse wh;
    OdbcSession session(wh.connectionString());
    std::ofstream(wh.directory() + "/limits") << "columns 3\n";
    EXPECT_EQ(session.run("CREATE TABLE wide (a INT, b INT, c INT, d INT)").state, "54011");
    ASSERT_TRUE(session.run("CREATE TABLE t (a INT, b INT)").ok());
    EXPECT_TRUE(session.run("ALTER TABLE t ADD COLUMN c INT").ok());
    const OdbcResult refused = session.run("ALTER TABLE t ADD COLUMNS (d INT)");
    EXPECT_EQ(refused.state, "54011");
    EXPECT_THAT(refused.message, HasSubstr("[TOO_MANY_COLUMNS]"));
    EXPECT_EQ(wh.query("SELECT count(*) FROM information_schema.columns"),
              (std::vector<std::vector<std::string>>{{"3"}}));
    // Without the file the limit is SQLite's 2000 columns, still as 54011.
    std::filesystem::remove(wh.directory() + "/limits");
    std::string columns;
    for (int i = 0; i < 2001; ++i)
        columns += (i ? ", c" : "c") + std::to_string(i) + " INT";
    EXPECT_EQ(session.run("CREATE TABLE huge (" + columns + ")").state, "54011");
}

struct DenyCase {
    std::string fileContent;
    bool deniedHere;
};

TEST(EmulatorSwitches, DenyCreateRefusesNewTablesWith42501) {
    const std::vector<DenyCase> cases = {
        {"", true}, {"Default_Schema\n", true}, {"other\n\n", false}};
    for (const DenyCase& c : cases) {
        SCOPED_TRACE("deny_create holding '" + c.fileContent + "'");
        TempWarehouse wh;
        OdbcSession session(wh.connectionString());
        ASSERT_TRUE(session.run("CREATE TABLE old (x INT)").ok());
        std::ofstream(wh.directory() + "/deny_create") << c.fileContent;
        const OdbcResult created = session.run("CREATE TABLE IF NOT EXISTS fresh (x INT)");
        EXPECT_EQ(created.ok() ? "OK" : created.state, c.deniedHere ? "42501" : "OK");
        // Existing tables are still written; IF NOT EXISTS of one is no creation.
        EXPECT_TRUE(session.run("CREATE TABLE IF NOT EXISTS old (x INT)").ok());
        EXPECT_TRUE(session.run("INSERT INTO old VALUES (1)").ok());
        EXPECT_EQ(wh.query("SELECT count(*) FROM information_schema.tables"),
                  (std::vector<std::vector<std::string>>{{c.deniedHere ? "1" : "2"}}));
    }
}

TEST(EmulatorSwitches, NoFullDataTypeHidesTheColumnFromInformationSchema) {
    TempWarehouse wh;
    OdbcSession session(wh.connectionString());
    ASSERT_TRUE(session.run("CREATE TABLE t (s VARCHAR(9))").ok());
    const std::string withFull =
        "SELECT column_name, data_type, full_data_type FROM information_schema.columns";
    EXPECT_EQ(session.run(withFull).rows,
              (std::vector<std::vector<std::string>>{{"s", "STRING", "varchar(9)"}}));
    std::ofstream(wh.directory() + "/no_full_data_type");
    const OdbcResult refused = session.run(withFull);
    EXPECT_EQ(refused.state, "42703");
    EXPECT_THAT(refused.message, HasSubstr("[UNRESOLVED_COLUMN"));
    EXPECT_EQ(session.run("SELECT column_name, data_type FROM information_schema.columns").rows,
              (std::vector<std::vector<std::string>>{{"s", "STRING"}}));
    std::filesystem::remove(wh.directory() + "/no_full_data_type");
    EXPECT_TRUE(session.run(withFull).ok());
}

// ---- latency file ------------------------------------------------------------------------

using Clock = std::chrono::steady_clock;

long elapsedMs(Clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

void setLatency(const TempWarehouse& wh, const std::string& lines) {
    std::ofstream(wh.directory() + "/latency") << lines;
}

void clearLatency(const TempWarehouse& wh) {
    std::filesystem::remove(wh.directory() + "/latency");
}

TEST(EmulatorLatency, ConnectStatementAndCommitWaitAtLeastTheirDelays) {
    TempWarehouse wh;
    setLatency(wh, "connect 300\nstatement 100\r\ncommit 200\nbogus line\ncommit x\n");
    auto start = Clock::now();
    OdbcSession session(wh.connectionString());
    ASSERT_TRUE(session.connected());
    EXPECT_GE(elapsedMs(start), 300);
    start = Clock::now();
    ASSERT_TRUE(session.run("SELECT 1").ok());
    EXPECT_GE(elapsedMs(start), 100);
    for (const char* write : {"CREATE TABLE t (a INT)", "INSERT INTO t VALUES (1)",
                              "ALTER TABLE t ADD COLUMN b INT", "DROP TABLE t"}) {
        start = Clock::now();
        ASSERT_TRUE(session.run(write).ok()) << write;
        EXPECT_GE(elapsedMs(start), 300) << write;
    }
}

// Runs one statement on a connection of its own in a thread and notes when it
// has returned.
struct Background {
    Background(const TempWarehouse& wh, const std::string& sql)
        : thread([this, &wh, sql] {
              OdbcSession session(wh.connectionString());
              result = session.run(sql);
              done = true;
          }) {}
    ~Background() {
        if (thread.joinable())
            thread.join();
    }
    OdbcResult finish() {
        thread.join();
        return result;
    }
    std::atomic<bool> done{false};
    OdbcResult result;
    std::thread thread;
};

// A writer that is waiting out its commit latency holds no lock: another
// connection writes to another table and to the same one, and is answered,
// while the first is still waiting. (The latency file is read when each
// statement starts, so removing it lets the second connection run at once.)
TEST(EmulatorConcurrency, WritersOverlapWhileOneWaitsForItsCommit) {
    TempWarehouse wh;
    {
        OdbcSession session(wh.connectionString());
        ASSERT_TRUE(session.run("CREATE TABLE a (n INT)").ok());
        ASSERT_TRUE(session.run("CREATE TABLE b (n INT)").ok());
    }
    setLatency(wh, "commit 3000\n");
    Background slow(wh, "INSERT INTO a VALUES (1)");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    clearLatency(wh);
    OdbcSession other(wh.connectionString());
    EXPECT_TRUE(other.run("INSERT INTO b VALUES (2)").ok());
    EXPECT_TRUE(other.run("INSERT INTO a VALUES (3)").ok());  // appends never conflict
    EXPECT_TRUE(other.run("SELECT count(*) FROM a").ok());
    EXPECT_FALSE(slow.done);
    const OdbcResult r = slow.finish();
    EXPECT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(wh.query("SELECT n FROM a ORDER BY n"),
              (std::vector<std::vector<std::string>>{{"1"}, {"3"}}));
}

TEST(EmulatorConcurrency, AlterCommittedWhileAnInsertWaitsFailsTheInsertWith2D521) {
    TempWarehouse wh;
    OdbcSession session(wh.connectionString());
    ASSERT_TRUE(session.run("CREATE TABLE t (n INT)").ok());
    setLatency(wh, "commit 3000\n");
    Background insert(wh, "INSERT INTO t VALUES (1)");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    clearLatency(wh);
    ASSERT_TRUE(session.run("ALTER TABLE t ADD COLUMN m INT").ok());
    const OdbcResult r = insert.finish();
    EXPECT_EQ(r.state, "2D521");
    EXPECT_EQ(r.native, 35);
    EXPECT_THAT(r.message, HasSubstr("[DELTA_METADATA_CHANGED]"));
    EXPECT_EQ(wh.query("SELECT count(*) FROM t"), (std::vector<std::vector<std::string>>{{"0"}}));
    // Tried again against the new columns, the insert goes through.
    EXPECT_TRUE(session.run("INSERT INTO t VALUES (1, 2)").ok());
}

TEST(EmulatorConcurrency, TwoAltersRacingFailTheLaterCommit) {
    TempWarehouse wh;
    OdbcSession session(wh.connectionString());
    ASSERT_TRUE(session.run("CREATE TABLE t (n INT)").ok());
    setLatency(wh, "commit 3000\n");
    Background slow(wh, "ALTER TABLE t ADD COLUMN a INT");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    clearLatency(wh);
    ASSERT_TRUE(session.run("ALTER TABLE t ADD COLUMN b INT").ok());
    EXPECT_EQ(slow.finish().state, "2D521");
    EXPECT_EQ(wh.query("SELECT column_name FROM information_schema.columns ORDER BY "
                       "ordinal_position"),
              (std::vector<std::vector<std::string>>{{"n"}, {"b"}}));
}

// ---- several writers ------------------------------------------------------------------

TEST(EmulatorProcesses, TwoProcessesWriteAtOnceWithoutLosingRows) {
    TempWarehouse wh;
    {
        OdbcSession session(wh.connectionString());
        ASSERT_TRUE(session.run("CREATE TABLE t (writer INT, n INT)").ok());
    }
    constexpr int kBatches = 40, kRows = 50;
    std::vector<pid_t> children;
    for (int writer = 0; writer < 2; ++writer) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int failures = 0;
            {
                OdbcSession session(wh.connectionString());
                for (int b = 0; b < kBatches; ++b) {
                    std::string sql = "INSERT INTO t VALUES ";
                    for (int r = 0; r < kRows; ++r) {
                        sql += (r ? ", (" : "(") + std::to_string(writer) + ", " +
                               std::to_string(b * kRows + r) + ")";
                    }
                    if (!session.run(sql).ok())
                        ++failures;
                }
            }
            _exit(failures == 0 ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(
        wh.query(
            "SELECT writer, count(*), count(DISTINCT n) FROM t GROUP BY writer ORDER BY writer"),
        (std::vector<std::vector<std::string>>{{"0", "2000", "2000"}, {"1", "2000", "2000"}}));
}

TEST(EmulatorProcesses, SeveralProcessesOpenANewSchemaAtOnce) {
    // The first connections to a new schema file race to set it up; none may
    // fail for the lock the others hold.
    constexpr int kRounds = 15, kProcesses = 4;
    for (int round = 0; round < kRounds; ++round) {
        TempWarehouse wh;
        std::vector<pid_t> children;
        for (int p = 0; p < kProcesses; ++p) {
            const pid_t pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                bool ok = false;
                {
                    OdbcSession session(wh.connectionString());
                    ok = session.connected() && session.run("SELECT 1").ok();
                }
                _exit(ok ? 0 : 1);
            }
            children.push_back(pid);
        }
        for (pid_t pid : children) {
            int status = 0;
            waitpid(pid, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round;
        }
    }
}

}  // namespace
