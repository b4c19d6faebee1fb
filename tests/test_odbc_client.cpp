// ODBCClient through the real unixODBC driver manager and the warehouse
// emulator driver (registered as DatabricksODBCDriver): connecting, the
// connection-time classification, statements and result sets, execution
// failures and their verdicts, liveness, and the database product.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "log_capture.h"
#include "odbc_client.h"
#include "warehouse.h"

using ::testing::ElementsAre;
using ::testing::StartsWith;
using Level = Logger::Level;
using Row = std::vector<std::string>;

namespace {

// The text of the exception a call throws, or "" when it returns.
template <typename Call>
std::string thrownText(Call call) {
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

class OdbcClientTest : public ::testing::Test {
  protected:
    void SetUp() override { useEmulatorDriver(); }

    // Init and Connect with the plugin's form of connection string.
    ODBCStatus open(ODBCClient& client, const std::string& user = "default_user",
                    const std::string& password = "lisk") {
        client.Init();
        return client.Connect(warehouse.connectionString("default_schema", user, password));
    }

    TempWarehouse warehouse;
};

class ConnectedClient : public OdbcClientTest {
  protected:
    void SetUp() override {
        OdbcClientTest::SetUp();
        ASSERT_EQ(open(client), CORVANE_ODBC_SUCCESS);
    }
    ODBCClient client;
};

// ---- connecting -------------------------------------------------------------

TEST_F(OdbcClientTest, ConnectSucceedsAndKeepsTheConnectionString) {
    ODBCClient client;
    EXPECT_EQ(open(client), CORVANE_ODBC_SUCCESS);
    EXPECT_EQ(client.getConnectionString(), warehouse.connectionString());
    EXPECT_NE(client.getEnvironmentHandle(), nullptr);
    EXPECT_NE(client.getConnectionHandle(), nullptr);
    EXPECT_TRUE(client.isConnected());
}

TEST_F(OdbcClientTest, OfflineWarehouseIsATransientFailure) {
    warehouse.setOffline(true);
    ODBCClient client;
    client.Init();
    EXPECT_EQ(client.Connect(warehouse.connectionString()), CORVANE_ODBC_EAGAIN);
    EXPECT_THAT(client.getLastConnectFailure(), StartsWith("SQLSTATE=08001, Message="));
    EXPECT_EQ(client.getEnvironmentHandle(), nullptr);
    EXPECT_EQ(client.getConnectionHandle(), nullptr);
    EXPECT_EQ(client.getConnectionString(), "");

    // Once the warehouse is back, Init and Connect succeed again.
    warehouse.setOffline(false);
    EXPECT_EQ(open(client), CORVANE_ODBC_SUCCESS);
}

TEST_F(OdbcClientTest, RejectedCredentialsArePermanent) {
    warehouse.setCredentials("user:pass\n");
    ODBCClient client;
    LogCapture log;
    EXPECT_EQ(open(client, "user", "wrong"), CORVANE_ODBC_FAILED);
    EXPECT_THAT(client.getLastConnectFailure(), StartsWith("SQLSTATE=28000, Message="));
    EXPECT_FALSE(log.contains("wrong")) << "the password must not reach the log";
    EXPECT_EQ(client.getConnectionHandle(), nullptr);

    EXPECT_EQ(open(client, "user", "pass"), CORVANE_ODBC_SUCCESS);
}

TEST_F(OdbcClientTest, ConnectWithoutInitFailsCleanly) {
    ODBCClient client;
    EXPECT_EQ(client.Connect(warehouse.connectionString()), CORVANE_ODBC_FAILED);
    EXPECT_EQ(open(client), CORVANE_ODBC_SUCCESS);
    client.Destroy();
    EXPECT_EQ(client.Connect(warehouse.connectionString()), CORVANE_ODBC_FAILED);
}

TEST_F(OdbcClientTest, DestroyAndReconnect) {
    ODBCClient client;
    ASSERT_EQ(open(client), CORVANE_ODBC_SUCCESS);
    client.executeQuery("CREATE TABLE t (a BIGINT)");
    client.Destroy();
    EXPECT_EQ(client.getConnectionHandle(), nullptr);
    EXPECT_EQ(client.getEnvironmentHandle(), nullptr);
    EXPECT_FALSE(client.isConnected());
    ASSERT_EQ(open(client), CORVANE_ODBC_SUCCESS);
    client.executeQuery("INSERT INTO t VALUES (7)");
    EXPECT_THAT(warehouse.query("SELECT a FROM t"), ElementsAre(Row{"7"}));
}

// ---- liveness ---------------------------------------------------------------

TEST_F(ConnectedClient, LiveAndDeadConnection) {
    EXPECT_TRUE(client.isConnected());
    warehouse.setOffline(true);
    EXPECT_FALSE(client.isConnected());
    // A dead link keeps its handles until the owner destroys them.
    EXPECT_NE(client.getConnectionHandle(), nullptr);
    EXPECT_NE(client.getEnvironmentHandle(), nullptr);

    // Statements on the dead link fail with a network error: worth retrying.
    EXPECT_EQ(thrownText([&] { client.executeQuery("CREATE TABLE t (a BIGINT)"); }),
              "Failed to execute query.");
    EXPECT_TRUE(client.isLastErrorRetriable());
}

// ---- statements and result sets ---------------------------------------------

TEST_F(ConnectedClient, SelectOfNumberNullAndText) {
    client.executeQuery("CREATE TABLE t (n BIGINT, x STRING, s STRING)");
    client.executeQuery("INSERT INTO t VALUES (1, NULL, 'abc')");
    const QueryResult result = client.executeQuery("SELECT n, x, s FROM t");
    EXPECT_TRUE(result.success);
    EXPECT_THAT(result.rows, ElementsAre(Row{"1", "NULL", "abc"}));
    EXPECT_THAT(client.getResultColumnNames(), ElementsAre("n", "x", "s"));
}

TEST_F(ConnectedClient, LongValuesAreReadWhole) {
    // Around the 1023 bytes one read holds, and far beyond; multi-byte
    // characters straddle the piece boundaries.
    client.executeQuery("CREATE TABLE t (id BIGINT, s STRING, n STRING)");
    std::vector<std::string> values;
    for (size_t length : {1022u, 1023u, 1024u, 2046u, 2047u, 70000u}) {
        std::string value;
        for (int i = 0; value.size() < length; ++i) {
            if (value.size() + 2 > length)
                value += "x";
            else
                value += (i % 7 == 0) ? "\xc3\xa9" : std::to_string(10 + i % 90);
        }
        values.push_back(value);
        const std::string id = std::to_string(values.size());
        client.executeQuery("INSERT INTO t VALUES (" + id + ", '" + value + "', NULL)");
    }
    const QueryResult result = client.executeQuery("SELECT s, n, id FROM t ORDER BY id");
    ASSERT_EQ(result.rows.size(), values.size());
    for (size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(result.rows[i][0].size(), values[i].size()) << i;
        EXPECT_EQ(result.rows[i][0], values[i]) << i;
        EXPECT_EQ(result.rows[i][1], "NULL") << i;
        EXPECT_EQ(result.rows[i][2], std::to_string(i + 1)) << i;
    }
}

TEST_F(ConnectedClient, StatementsWithoutResultSet) {
    client.executeQuery("CREATE TABLE t (a BIGINT, b STRING)");
    client.executeQuery("SELECT a, b FROM t");
    ASSERT_EQ(client.getResultColumnNames().size(), 2u);

    for (const std::string sql :
         {"CREATE TABLE u (c DOUBLE)", "ALTER TABLE t ADD COLUMN c DOUBLE"}) {
        const QueryResult result = client.executeQuery(sql);
        EXPECT_TRUE(result.success) << sql;
        EXPECT_TRUE(result.rows.empty()) << sql;
        EXPECT_TRUE(client.getResultColumnNames().empty()) << sql;
    }
    // An INSERT answers, as the warehouse does, with one row of counts.
    const QueryResult inserted = client.executeQuery("INSERT INTO t VALUES (1, 'x', NULL)");
    EXPECT_TRUE(inserted.success);
    EXPECT_THAT(inserted.rows, ElementsAre(Row{"1", "1"}));
    EXPECT_THAT(client.getResultColumnNames(),
                ElementsAre("num_affected_rows", "num_inserted_rows"));
    EXPECT_THAT(warehouse.query("SELECT a, b, c FROM t"), ElementsAre(Row{"1", "x", "NULL"}));
}

TEST_F(ConnectedClient, LargeMultiRowInsert) {
    client.executeQuery("CREATE TABLE t (id BIGINT, s STRING)");
    std::string sql = "INSERT INTO t VALUES ";
    for (int i = 0; i < 10000; ++i) {
        if (i)
            sql += ", ";
        sql += "(" + std::to_string(i) + ", '" + std::string(100, 'v') + "')";
    }
    EXPECT_TRUE(client.executeQuery(sql).success);
    EXPECT_THAT(client.executeQuery("SELECT count(*) FROM t").rows, ElementsAre(Row{"10000"}));
}

TEST_F(ConnectedClient, TextWithZeroByteWritesNothing) {
    client.executeQuery("CREATE TABLE t (s STRING)");
    const char raw[] = "INSERT INTO t VALUES ('a\0'), ('b')";
    EXPECT_EQ(thrownText([&] { client.executeQuery(std::string(raw, sizeof raw - 1)); }),
              "Failed to execute query.");
    EXPECT_FALSE(client.isLastErrorRetriable());
    EXPECT_TRUE(warehouse.query("SELECT s FROM t").empty());
}

// ---- execution failures -----------------------------------------------------

TEST_F(ConnectedClient, SyntaxErrorThrowsAndKeepsTheColumnNames) {
    client.executeQuery("CREATE TABLE t (a BIGINT)");
    client.executeQuery("SELECT a FROM t");
    EXPECT_EQ(thrownText([&] { client.executeQuery("SELEC a FROM t"); }),
              "Failed to execute query.");
    EXPECT_FALSE(client.isLastErrorRetriable());
    // A failure before the columns are counted keeps the previous names.
    EXPECT_THAT(client.getResultColumnNames(), ElementsAre("a"));
}

TEST_F(ConnectedClient, SyntaxErrorStateIsNotRetriable) {
    client.executeQuery("CREATE TABLE t (a BIGINT)");
    warehouse.addFault("42000", 1);
    EXPECT_EQ(thrownText([&] { client.executeQuery("INSERT INTO t VALUES (1)"); }),
              "Failed to execute query.");
    EXPECT_FALSE(client.isLastErrorRetriable());
    EXPECT_TRUE(warehouse.query("SELECT a FROM t").empty()) << "a failed INSERT writes nothing";
}

TEST_F(ConnectedClient, MissingColumnIsNotRetriable) {
    client.executeQuery("CREATE TABLE t (a BIGINT)");
    EXPECT_THROW(client.executeQuery("SELECT nosuch FROM t"), std::runtime_error);
    EXPECT_FALSE(client.isLastErrorRetriable());
}

TEST_F(ConnectedClient, TimeoutIsRetriableAndTheFaultIsConsumed) {
    client.executeQuery("CREATE TABLE t (a BIGINT)");
    warehouse.addFault("HYT00", 1);
    EXPECT_EQ(thrownText([&] { client.executeQuery("INSERT INTO t VALUES (1)"); }),
              "Failed to execute query.");
    EXPECT_TRUE(client.isLastErrorRetriable());

    // The retry goes through; the verdict of the last failure stays.
    EXPECT_TRUE(client.executeQuery("INSERT INTO t VALUES (2)").success);
    EXPECT_TRUE(client.isLastErrorRetriable());
    EXPECT_THAT(warehouse.query("SELECT a FROM t"), ElementsAre(Row{"2"}));
}

TEST_F(ConnectedClient, ManyFailuresDoNotExhaustTheConnection) {
    client.executeQuery("CREATE TABLE t (a BIGINT)");
    for (int i = 0; i < 300; ++i) {
        EXPECT_THROW(client.executeQuery("SELEC 1"), std::runtime_error);
        EXPECT_TRUE(client.executeQuery("SELECT a FROM t").success);
    }
    EXPECT_TRUE(client.isConnected());
}

TEST_F(ConnectedClient, TwoLinkFailuresInARowMakeALiveConnectionDead) {
    // The driver never marks the connection dead for an injected 08S01.
    client.executeQuery("CREATE TABLE t (a BIGINT)");
    warehouse.addFault("08S01", 1);
    EXPECT_THROW(client.executeQuery("INSERT INTO t VALUES (1)"), StatementError);
    EXPECT_TRUE(client.executeQuery("INSERT INTO t VALUES (2)").success);
    warehouse.addFault("HYT01", 1);
    EXPECT_THROW(client.executeQuery("INSERT INTO t VALUES (3)"), StatementError);
    EXPECT_TRUE(client.isConnected()) << "a success in between starts the count again";
    warehouse.addFault("08S01", 1);
    EXPECT_THROW(client.executeQuery("INSERT INTO t VALUES (4)"), StatementError);
    EXPECT_FALSE(client.isConnected());
    // A new connection starts with a clean count.
    client.Destroy();
    ASSERT_EQ(open(client), CORVANE_ODBC_SUCCESS);
    EXPECT_TRUE(client.isConnected());
    EXPECT_THAT(warehouse.query("SELECT a FROM t"), ElementsAre(Row{"2"}));
}

// ---- executeQueryEx ---------------------------------------------------------

TEST_F(ConnectedClient, ExAddsTheHeaderRow) {
    client.executeQuery("CREATE TABLE t (a BIGINT, b STRING)");
    client.executeQuery("INSERT INTO t VALUES (1, 'x'), (2, NULL), (3, 'z')");
    const QueryResultEx ex = client.executeQueryEx("SELECT a, b FROM t ORDER BY a");
    EXPECT_TRUE(ex.success);
    EXPECT_FALSE(ex.retriable);
    EXPECT_THAT(ex.rows,
                ElementsAre(Row{"a", "b"}, Row{"1", "x"}, Row{"2", "NULL"}, Row{"3", "z"}));
}

TEST_F(ConnectedClient, ExOnInsertReturnsTheCountsWithTheirHeader) {
    client.executeQuery("CREATE TABLE t (a BIGINT)");
    const QueryResultEx ex = client.executeQueryEx("INSERT INTO t VALUES (1), (2)");
    EXPECT_TRUE(ex.success);
    EXPECT_THAT(ex.rows, ElementsAre(Row{"num_affected_rows", "num_inserted_rows"}, Row{"2", "2"}));
    const QueryResultEx ddl = client.executeQueryEx("CREATE TABLE u (a BIGINT)");
    EXPECT_TRUE(ddl.success);
    EXPECT_THAT(ddl.rows, ElementsAre(Row{}));
}

TEST_F(ConnectedClient, ExReportsFailureWithoutThrowing) {
    client.executeQuery("CREATE TABLE t (a BIGINT)");
    warehouse.addFault("42000", 1);
    QueryResultEx ex;
    ASSERT_NO_THROW(ex = client.executeQueryEx("SELECT a FROM t"));
    EXPECT_FALSE(ex.success);
    EXPECT_FALSE(ex.retriable);
    EXPECT_TRUE(ex.rows.empty());

    warehouse.addFault("08S01", 1);
    ex = client.executeQueryEx("SELECT a FROM t");
    EXPECT_FALSE(ex.success);
    EXPECT_TRUE(ex.retriable);
}

// ---- database product -------------------------------------------------------

TEST_F(ConnectedClient, ProductNameAndCachedType) {
    EXPECT_EQ(client.getDatabaseProductName(), "Spark SQL");
    client.cacheDatabaseType();
    // Spark SQL is none of the known products.
    EXPECT_TRUE(client.isDatabaseTypeCached());
    EXPECT_EQ(client.getDatabaseType(), "Unknown");
    EXPECT_EQ(client.getDatabaseTypeEnum(), DatabaseType::UNKNOWN);
}

TEST_F(ConnectedClient, ProductNameOnDeadConnectionIsUnknown) {
    warehouse.setOffline(true);
    EXPECT_EQ(client.getDatabaseProductName(), "Unknown");
    client.cacheDatabaseType();
    EXPECT_FALSE(client.isDatabaseTypeCached());
}

}  // namespace
