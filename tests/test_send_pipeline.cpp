// The send pipeline's decisions, with a mock ODBC client standing in for the
// warehouse: connection rules at the top of send, table order, the schema step
// per record, NULL for absent columns, failing INSERTs and lost connections.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <stdexcept>

#include "config_category.h"
#include "connector_fixture.h"
#include "databricks_odbc_connector.h"
#include "log_capture.h"
#include "mock_odbc_client.h"
#include "readings.h"
#include "schema_manager.h"

using ::testing::_;
using ::testing::HasSubstr;
using ::testing::Invoke;
using ::testing::NiceMock;
using ::testing::Return;
using Clock = std::chrono::steady_clock;

namespace {

const std::string TS = "'2026-01-01 00:00:00.000000+00:00'";

}  // namespace

TEST(SendConnection, FailedStatusRefusesWithoutTouchingTheDatabase) {
    RecordingConnector p;
    EXPECT_CALL(*p.client, Connect(_)).WillOnce(Return(CORVANE_ODBC_FAILED));
    Batch batch;
    batch.add("pump").addDatapoint(intPoint("count", 1));
    EXPECT_FALSE(p.connector.send(batch.pointers()));
    // The refusal is for good: no second attempt until the settings change.
    EXPECT_FALSE(p.connector.send(batch.pointers()));
    EXPECT_EQ(p.connector.getStatus(), CORVANE_ODBC_FAILED);
    EXPECT_TRUE(p.statements.empty());
}

TEST(SendConnection, WithinFiveSecondsOfATransientFailureTheBatchIsRefused) {
    RecordingConnector p;
    EXPECT_CALL(*p.client, Connect(_))
        .WillOnce(Return(CORVANE_ODBC_EAGAIN))
        .WillOnce(Return(CORVANE_ODBC_SUCCESS));
    Batch batch;
    batch.add("pump").addDatapoint(intPoint("count", 1));
    EXPECT_FALSE(p.connector.send(batch.pointers()));
    LogCapture log;
    p.now += std::chrono::seconds(4);
    EXPECT_FALSE(p.connector.send(batch.pointers()));
    EXPECT_TRUE(
        log.has(Logger::Level::ERROR, "Database connection not available - cannot send readings"));
    p.now += std::chrono::seconds(1);
    EXPECT_TRUE(p.connector.send(batch.pointers()));
    EXPECT_EQ(p.inserts().size(), 1u);
}

TEST(SendConnection, EmptyBatchStillConnectsFirstAndSucceeds) {
    RecordingConnector p;
    EXPECT_CALL(*p.client, Connect(_)).WillOnce(Return(CORVANE_ODBC_SUCCESS));
    EXPECT_TRUE(p.connector.send({}));
    EXPECT_EQ(p.connector.getStatus(), CORVANE_ODBC_SUCCESS);
    EXPECT_TRUE(p.statements.empty());
}

TEST(SendConnection, NoBuilderIsRefused) {
    MockedConnector unconfigured;
    EXPECT_CALL(*unconfigured.client, executeQuery(_)).Times(0);
    Batch batch;
    batch.add("pump").addDatapoint(intPoint("count", 1));
    EXPECT_FALSE(unconfigured.connector.send(batch.pointers()));
}

TEST(SendTables, TablesAreWrittenInAscendingByteOrder) {
    RecordingConnector p;
    Batch batch;
    batch.add("b").addDatapoint(intPoint("x", 1));
    batch.add("a").addDatapoint(intPoint("x", 2));
    batch.add("B").addDatapoint(intPoint("x", 3));
    ASSERT_TRUE(p.connector.send(batch.pointers()));
    const auto inserts = p.inserts();
    // `b` and `B` are one table in the warehouse: one INSERT, under the
    // spelling seen first.
    ASSERT_EQ(inserts.size(), 2u);
    EXPECT_THAT(inserts[0], ::testing::StartsWith("INSERT INTO `a`"));
    EXPECT_THAT(inserts[1], ::testing::StartsWith("INSERT INTO `b`"));
    EXPECT_THAT(inserts[1], ::testing::HasSubstr("), ("));
}

TEST(SendTables, NewTableIsCreatedThenWrittenWithOneInsert) {
    RecordingConnector p;
    Batch batch;
    Reading& r1 = batch.add("pump");
    r1.addDatapoint(floatPoint("temperature", 21.5));
    r1.addDatapoint(intPoint("count", 3));
    Reading& r2 = batch.add("pump");
    r2.addDatapoint(intPoint("count", 4));
    r2.addDatapoint(textPoint("state", "it's"));
    ASSERT_TRUE(p.connector.send(batch.pointers()));
    ASSERT_EQ(p.statements.size(), 4u);
    EXPECT_THAT(p.statements[0], HasSubstr("table_name IN ('pump')"));
    EXPECT_EQ(p.statements[1],
              "CREATE TABLE `pump` (`asset_code` VARCHAR(256) NOT NULL, `user_ts` TIMESTAMP, `ts` "
              "TIMESTAMP, `corvane` VARCHAR(256), `temperature` DOUBLE, `count` BIGINT)");
    EXPECT_EQ(p.statements[2], "ALTER TABLE `pump` ADD COLUMN `state` STRING");
    EXPECT_EQ(p.statements[3],
              "INSERT INTO `pump` (`asset_code`, `user_ts`, `ts`, `corvane`, `temperature`, "
              "`count`, `state`) VALUES ('pump', " +
                  TS + ", " + TS +
                  ", 'edge', 21.5D, 3, NULL), "
                  "('pump', " +
                  TS + ", " + TS + ", 'edge', NULL, 4, 'it\\'s')");
}

TEST(SendTables, ASendThatCutsItsStatementsLeavesTheBuilderWhole) {
    RecordingConnector p;
    ConfigCategory small("lakesink", R"({"corvaneInstance": {"value": "edge"},
        "writers": {"value": "1"}, "maxStatementBytes": {"value": "65536"}})");
    p.connector.configure(&small);
    Batch batch;
    for (int i = 0; i < 6; ++i)
        batch.add("pump").addDatapoint(textPoint("blob", std::string(20000, 'a' + i)));
    ASSERT_TRUE(p.connector.send(batch.pointers()));
    ASSERT_GT(p.inserts().size(), 1u) << "the rows must have been cut";

    // The builder the connector hands out writes every row it is given.
    SQLBuilder* builder = p.connector.getSQLBuilder();
    builder->setTableName("t");
    builder->setColumns({"a"});
    builder->setValues(SQLBuilder::Rows{{"1"}, {"2"}, {"3"}, {"4"}, {"5"}, {"6"}});
    EXPECT_EQ(builder->buildBulkInsert(),
              "INSERT INTO `t` (`a`) VALUES (1), (2), (3), (4), (5), (6)");
    EXPECT_EQ(builder->buildInsert(), "INSERT INTO `t` (`a`) VALUES (1)");
}

TEST(SendTables, DiscoveredTableUsesItsColumnsAndNullsWhatRecordsLack) {
    RecordingConnector p;
    p.tables["pump"] = {{"asset_code", "STRING"}, {"user_ts", "TIMESTAMP"}, {"ts", "TIMESTAMP"},
                        {"corvane", "STRING"},    {"extra", "LONG"},        {"count", "LONG"}};
    Batch batch;
    batch.add("pump").addDatapoint(intPoint("count", 7));
    ASSERT_TRUE(p.connector.send(batch.pointers()));
    ASSERT_EQ(p.statements.size(), 2u);
    // The table was there before this process: its first rows skip any
    // that an earlier process wrote.
    EXPECT_EQ(p.statements[1],
              "MERGE INTO `pump` AS t USING (VALUES ('pump', " + TS + ", " + TS +
                  ", 'edge', NULL, 7)) AS s(`asset_code`, `user_ts`, `ts`, `corvane`, `extra`, "
                  "`count`) ON t.`ts` BETWEEN TIMESTAMP " +
                  TS + " AND TIMESTAMP " + TS +
                  " AND t.`asset_code` <=> s.`asset_code` AND t.`user_ts` <=> s.`user_ts` "
                  "AND t.`ts` <=> s.`ts` AND t.`corvane` <=> s.`corvane` AND t.`extra` <=> "
                  "s.`extra` AND t.`count` <=> s.`count` WHEN NOT MATCHED THEN INSERT *");
    // Cached now, and caught up (the MERGE skipped nothing): the next batch
    // asks the information schema nothing and inserts.
    p.statements.clear();
    ASSERT_TRUE(p.connector.send(batch.pointers()));
    ASSERT_EQ(p.statements.size(), 1u);
    EXPECT_EQ(p.statements[0],
              "INSERT INTO `pump` (`asset_code`, `user_ts`, `ts`, `corvane`, "
              "`extra`, `count`) VALUES ('pump', " +
                  TS + ", " + TS + ", 'edge', NULL, 7)");
}

// A MERGE answer without a count that can be read tells nothing of the rows
// already there: the table stays in doubt and its next rows are merged too.
class MergeWithoutCount : public ::testing::TestWithParam<QueryRows> {};

TEST_P(MergeWithoutCount, LeavesTheTableInDoubt) {
    RecordingConnector p;
    p.tables["pump"] = {{"asset_code", "STRING"},
                        {"user_ts", "TIMESTAMP"},
                        {"ts", "TIMESTAMP"},
                        {"corvane", "STRING"},
                        {"count", "LONG"}};
    p.mergeAnswer = GetParam();
    Batch batch;
    batch.add("pump").addDatapoint(intPoint("count", 7));
    ASSERT_TRUE(p.connector.send(batch.pointers()));
    ASSERT_EQ(p.connector.getLastOutcome().tables.size(), 1u);
    EXPECT_EQ(p.connector.getLastOutcome().tables[0].uncounted, 1u);
    p.statements.clear();
    ASSERT_TRUE(p.connector.send(batch.pointers()));
    ASSERT_EQ(p.statements.size(), 1u);
    EXPECT_EQ(p.statements[0].rfind("MERGE INTO `pump`", 0), 0u) << p.statements[0];
}

INSTANTIATE_TEST_SUITE_P(Answers, MergeWithoutCount,
                         ::testing::Values(QueryRows{}, QueryRows{{}}, QueryRows{{"ERROR"}},
                                           QueryRows{{"1", "NULL"}}, QueryRows{{"1", "7"}},
                                           QueryRows{{"-1"}}));

TEST(SendFailures, FirstFailingInsertEndsTheBatch) {
    RecordingConnector p;
    p.failOn = "INSERT INTO `a`";
    Batch batch;
    batch.add("a").addDatapoint(intPoint("x", 1));
    batch.add("b").addDatapoint(intPoint("x", 1));
    LogCapture log;
    EXPECT_FALSE(p.connector.send(batch.pointers()));
    for (const auto& s : p.statements)
        EXPECT_THAT(s, ::testing::Not(HasSubstr("`b`")));
    EXPECT_TRUE(log.has(Logger::Level::ERROR, "Failed to execute database query for table 'a'"));
    EXPECT_EQ(p.connector.getStatus(), CORVANE_ODBC_SUCCESS);
}

TEST(SendFailures, InsertOnADeadConnectionDisconnectsSoTheNextBatchReconnects) {
    RecordingConnector p;
    EXPECT_CALL(*p.client, Connect(_)).Times(2).WillRepeatedly(Return(CORVANE_ODBC_SUCCESS));
    p.failOn = "INSERT";
    Batch batch;
    batch.add("a").addDatapoint(intPoint("x", 1));
    EXPECT_FALSE(p.connector.send(batch.pointers()));
    EXPECT_EQ(p.connector.getStatus(), CORVANE_ODBC_SUCCESS);  // link still alive
    p.connected = false;
    EXPECT_FALSE(p.connector.send(batch.pointers()));
    EXPECT_EQ(p.connector.getStatus(), CORVANE_ODBC_NOTCONNECTED);
    p.connected = true;
    p.failOn.clear();
    EXPECT_TRUE(p.connector.send(batch.pointers()));
}

TEST(SendFailures, SchemaExceptionIsLoggedAndALostConnectionDisconnects) {
    RecordingConnector p;
    p.failOn = "information_schema";
    p.connected = false;
    Batch batch;
    batch.add("a").addDatapoint(intPoint("x", 1));
    LogCapture log;
    EXPECT_FALSE(p.connector.send(batch.pointers()));
    EXPECT_TRUE(
        log.has(Logger::Level::ERROR, "Database operation failed: Failed to execute query."));
    EXPECT_EQ(p.connector.getStatus(), CORVANE_ODBC_NOTCONNECTED);
}

TEST(SendFailures, TableWithoutSchemaIsSkippedButTheBatchIsNotReportedSent) {
    RecordingConnector p;
    Batch batch;
    batch.add("a").addDatapoint(intPoint("x", 1));
    batch.add("b").addDatapoint(intPoint("x", 1));
    // The schema manager loses its client: table a cannot be discovered or created.
    SchemaManager* schema = p.connector.getSchemaManager();
    p.connector.getSchemaManager()->setClient(nullptr);
    LogCapture log;
    EXPECT_FALSE(p.connector.send(batch.pointers()));
    EXPECT_TRUE(log.has(Logger::Level::ERROR, "Failed to get cached schema for table 'a'"));
    EXPECT_TRUE(log.has(Logger::Level::ERROR, "Failed to get cached schema for table 'b'"));
    schema->setClient(p.client);
    EXPECT_TRUE(p.connector.send(batch.pointers()));
    EXPECT_EQ(p.inserts().size(), 2u);
}

namespace {
// A connector whose writer connections are refused the way a wrong login is.
class RefusedWritersConnector : public DatabricksODBCConnector {
  public:
    using DatabricksODBCConnector::DatabricksODBCConnector;
    mutable int writerClients = 0;

  protected:
    std::unique_ptr<ODBCClient> createWriterClient() const override {
        ++writerClients;
        auto writer = std::make_unique<NiceMock<MockODBCClient>>();
        ON_CALL(*writer, Connect(_)).WillByDefault(Return(CORVANE_ODBC_FAILED));
        return writer;
    }
};
}  // namespace

TEST(SendFailures, AWriterConnectionRefusedForGoodFailsTheConnectorUntilNewSettings) {
    auto* client = new NiceMock<MockODBCClient>();
    ON_CALL(*client, Connect(_)).WillByDefault(Return(CORVANE_ODBC_SUCCESS));
    ON_CALL(*client, isConnected()).WillByDefault(Return(true));
    std::vector<std::string> statements;
    ON_CALL(*client, executeQuery(_)).WillByDefault(Invoke([&](const std::string& sql) {
        statements.push_back(sql);
        return okResult();
    }));
    RefusedWritersConnector connector(client);
    ConfigCategory settings("lakesink", R"({"writers": {"value": "2"}})");
    connector.configure(&settings);
    Batch batch;
    batch.add("a").addDatapoint(intPoint("x", 1));
    batch.add("b").addDatapoint(intPoint("x", 2));
    EXPECT_FALSE(connector.send(batch.pointers()));
    EXPECT_GT(connector.writerClients, 0);
    EXPECT_EQ(connector.getStatus(), CORVANE_ODBC_FAILED);
    // The next batch is refused without a statement.
    statements.clear();
    EXPECT_FALSE(connector.send(batch.pointers()));
    EXPECT_TRUE(statements.empty());
}
