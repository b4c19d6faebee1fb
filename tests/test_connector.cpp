// The connector's life cycle and status machine, with a mock ODBC client:
// lazy connection, the retry back-off, sticky failure, reconfiguration,
// ownership of the client and the Databricks builder.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <random>
#include <stdexcept>
#include <vector>

#include "config_category.h"
#include "connector_fixture.h"
#include "databricks_odbc_connector.h"
#include "log_capture.h"
#include "mock_odbc_client.h"
#include "odbc_client.h"
#include "reading_mapper.h"
#include "schema_manager.h"

using ::testing::_;
using ::testing::InSequence;
using ::testing::NiceMock;
using ::testing::Return;
using ::testing::Throw;
using Clock = std::chrono::steady_clock;

namespace {

// A mock client that tells the test when it is deleted.
class TrackedClient : public NiceMock<MockODBCClient> {
  public:
    explicit TrackedClient(bool* deleted) : deleted(deleted) {}
    ~TrackedClient() override { *deleted = true; }

  private:
    bool* deleted;
};

ConfigCategory categoryWith(const std::string& server) {
    return ConfigCategory("lakesink", R"({"server": {"value": ")" + server + R"("}})");
}

using std::chrono::nanoseconds;
using std::chrono::seconds;

}  // namespace

TEST(ConnectorOwnership, DeletesTheClientItWasGiven) {
    bool deleted = false;
    {
        auto* client = new TrackedClient(&deleted);
        DatabricksODBCConnector connector(client);
        EXPECT_TRUE(connector.isValid());
        EXPECT_EQ(connector.getClient(), client);
    }
    EXPECT_TRUE(deleted);
}

TEST(ConnectorOwnership, CreatesItsOwnClientWhenGivenNone) {
    DatabricksODBCConnector connector;
    EXPECT_NE(connector.getClient(), nullptr);
    EXPECT_EQ(connector.getStatus(), CORVANE_ODBC_NOTCONNECTED);
    EXPECT_EQ(connector.getSQLBuilder(), nullptr);
}

TEST(ConnectorOwnership, DestructorCompletesWhenDisconnectThrows) {
    bool deleted = false;
    {
        auto* client = new TrackedClient(&deleted);
        EXPECT_CALL(*client, Destroy()).WillOnce(Throw(std::runtime_error("boom")));
        DatabricksODBCConnector connector(client);
    }
    EXPECT_TRUE(deleted);
}

TEST(ConnectorStatus, ConnectInitialisesAndTakesTheConnectResult) {
    MockedConnector f;
    {
        InSequence order;
        EXPECT_CALL(*f.client, Init());
        EXPECT_CALL(*f.client, Connect(f.connector.getConnectionString()))
            .WillOnce(Return(CORVANE_ODBC_SUCCESS));
    }
    f.connector.connect();
    EXPECT_EQ(f.connector.getStatus(), CORVANE_ODBC_SUCCESS);
    // Connected: a further connect does nothing.
    f.connector.connect();
}

TEST(ConnectorStatus, TransientFailureIsRetriedOnlyAfterFiveSeconds) {
    MockedConnector f;
    EXPECT_CALL(*f.client, Init()).Times(2);
    EXPECT_CALL(*f.client, Connect(_))
        .WillOnce(Return(CORVANE_ODBC_EAGAIN))
        .WillOnce(Return(CORVANE_ODBC_SUCCESS));
    f.connector.connect();
    EXPECT_EQ(f.connector.getStatus(), CORVANE_ODBC_EAGAIN);

    f.now += std::chrono::nanoseconds(4999999999);
    f.connector.connect();  // too early: nothing happens
    EXPECT_EQ(f.connector.getStatus(), CORVANE_ODBC_EAGAIN);

    f.now += std::chrono::nanoseconds(1);  // exactly 5 s after the attempt
    f.connector.connect();
    EXPECT_EQ(f.connector.getStatus(), CORVANE_ODBC_SUCCESS);
}

TEST(ConnectorStatus, PermanentFailureIsStickyUntilSettingsChange) {
    MockedConnector f;
    EXPECT_CALL(*f.client, Connect(_))
        .WillOnce(Return(CORVANE_ODBC_FAILED))
        .WillOnce(Return(CORVANE_ODBC_SUCCESS));
    f.connector.connect();
    EXPECT_EQ(f.connector.getStatus(), CORVANE_ODBC_FAILED);
    f.now += std::chrono::hours(1);
    f.connector.connect();
    EXPECT_EQ(f.connector.getStatus(), CORVANE_ODBC_FAILED);

    // The same settings again change nothing.
    ConfigCategory defaults("lakesink", "{}");
    EXPECT_TRUE(f.connector.configure(&defaults));
    EXPECT_EQ(f.connector.getStatus(), CORVANE_ODBC_FAILED);

    ConfigCategory changed = categoryWith("new-host");
    EXPECT_TRUE(f.connector.configure(&changed));
    EXPECT_EQ(f.connector.getStatus(), CORVANE_ODBC_NOTCONNECTED);
    f.connector.connect();
    EXPECT_EQ(f.connector.getStatus(), CORVANE_ODBC_SUCCESS);
}

TEST(ConnectorStatus, ExceptionWhileConnectingIsRetriedAndDestroysTheClient) {
    MockedConnector f;
    LogCapture log;
    EXPECT_CALL(*f.client, Init())
        .WillOnce(Throw(std::runtime_error("Failed to allocate ODBC environment handle.")))
        .WillOnce(Throw(std::runtime_error("Failed to allocate ODBC environment handle.")))
        .WillOnce(Return());
    EXPECT_CALL(*f.client, Connect(_)).WillOnce(Return(CORVANE_ODBC_SUCCESS));
    EXPECT_CALL(*f.client, Destroy()).Times(::testing::AtLeast(2));
    f.connector.connect();
    EXPECT_EQ(f.connector.getStatus(), CORVANE_ODBC_EAGAIN);
    f.now += seconds(5);
    f.connector.connect();
    EXPECT_EQ(f.connector.getStatus(), CORVANE_ODBC_EAGAIN);
    // The same cause twice is reported once.
    EXPECT_EQ(log.count(Logger::Level::ERROR,
                        "Database connection failed: Failed to allocate ODBC environment handle."),
              1u);
    f.now += seconds(10);
    f.connector.connect();
    EXPECT_EQ(f.connector.getStatus(), CORVANE_ODBC_SUCCESS);
}

// The waits between attempts while every connect fails: 5 s, doubled each
// time, capped at 5 minutes, each lengthened by the jitter and never shortened.
TEST(ConnectorBackoff, DoublesUpToFiveMinutesWithJitterOnTop) {
    MockedConnector f;
    std::mt19937 seeded(20260101);
    std::uniform_real_distribution<double> share(0.0, 1.0);
    f.connector.setJitter([&] { return share(seeded); });
    int connects = 0;
    ON_CALL(*f.client, Connect(_)).WillByDefault([&](const std::string&) {
        ++connects;
        return CORVANE_ODBC_EAGAIN;
    });
    f.connector.connect();
    const std::vector<int> bases = {5, 10, 20, 40, 80, 160, 300, 300, 300};
    bool someJitter = false;
    for (size_t i = 0; i < bases.size(); ++i) {
        SCOPED_TRACE(i);
        const nanoseconds base = seconds(bases[i]);
        const nanoseconds delay = f.connector.getRetryDelay();
        EXPECT_GE(delay, base);
        EXPECT_LE(delay, base + base / 5);
        someJitter = someJitter || delay > base;
        // No attempt a nanosecond early; one exactly on time.
        const Clock::time_point attempt = f.now;
        f.at(attempt, delay - nanoseconds(1));
        f.connector.connect();
        EXPECT_EQ(connects, static_cast<int>(i) + 1);
        f.at(attempt, delay);
        f.connector.connect();
        EXPECT_EQ(connects, static_cast<int>(i) + 2);
    }
    EXPECT_TRUE(someJitter) << "the random source is not used";
    EXPECT_EQ(f.connector.getStatus(), CORVANE_ODBC_EAGAIN);
}

TEST(ConnectorBackoff, JitterIsClampedToAtMostAFifth) {
    struct Case {
        double share;
        nanoseconds delay;
    };
    for (const Case& c :
         {Case{0.0, seconds(5)}, Case{0.5, std::chrono::milliseconds(5500)}, Case{1.0, seconds(6)},
          Case{7.0, seconds(6)}, Case{-1.0, seconds(5)}, Case{std::nan(""), seconds(5)}}) {
        SCOPED_TRACE(c.share);
        MockedConnector f;
        f.connector.setJitter([&] { return c.share; });
        ON_CALL(*f.client, Connect(_)).WillByDefault(Return(CORVANE_ODBC_EAGAIN));
        f.connector.connect();
        EXPECT_EQ(f.connector.getRetryDelay(), c.delay);
    }
}

TEST(ConnectorBackoff, SuccessAndNewSettingsStartAgainFromFiveSeconds) {
    MockedConnector f;
    EXPECT_CALL(*f.client, Connect(_))
        .WillOnce(Return(CORVANE_ODBC_EAGAIN))
        .WillOnce(Return(CORVANE_ODBC_EAGAIN))
        .WillOnce(Return(CORVANE_ODBC_EAGAIN))
        .WillOnce(Return(CORVANE_ODBC_SUCCESS))
        .WillOnce(Return(CORVANE_ODBC_EAGAIN))
        .WillOnce(Return(CORVANE_ODBC_EAGAIN))
        .WillOnce(Return(CORVANE_ODBC_EAGAIN));
    for (int i = 0; i < 3; ++i) {
        f.now += f.connector.getRetryDelay();
        f.connector.connect();
    }
    EXPECT_EQ(f.connector.getRetryDelay(), seconds(20));
    f.now += seconds(20);
    f.connector.connect();
    ASSERT_EQ(f.connector.getStatus(), CORVANE_ODBC_SUCCESS);
    // The link is lost later: the next outage waits 5 s first again.
    f.connector.disconnect();
    f.connector.connect();
    EXPECT_EQ(f.connector.getRetryDelay(), seconds(5));
    f.now += seconds(5);
    f.connector.connect();
    EXPECT_EQ(f.connector.getRetryDelay(), seconds(10));
    // New settings: connect at once, and 5 s after that failure.
    ConfigCategory changed = categoryWith("new-host");
    ASSERT_TRUE(f.connector.configure(&changed));
    EXPECT_EQ(f.connector.getRetryDelay(), seconds(5));
    f.connector.connect();
    EXPECT_EQ(f.connector.getRetryDelay(), seconds(5));
    ::testing::Mock::VerifyAndClearExpectations(f.client);
}

TEST(ConnectorBackoff, StatusLineIsLoggedOncePerChangeOfStatus) {
    MockedConnector f;
    EXPECT_CALL(*f.client, Connect(_))
        .WillOnce(Return(CORVANE_ODBC_EAGAIN))
        .WillOnce(Return(CORVANE_ODBC_EAGAIN))
        .WillOnce(Return(CORVANE_ODBC_SUCCESS));
    LogCapture log;
    f.connector.connect();
    f.now += seconds(5);
    f.connector.connect();
    f.now += seconds(10);
    f.connector.connect();
    EXPECT_EQ(log.count(Logger::Level::INFO, "Database connection status: CORVANE_ODBC_EAGAIN"),
              1u);
    EXPECT_EQ(log.count(Logger::Level::DEBUG, "Database connection status: CORVANE_ODBC_EAGAIN"),
              1u);
    EXPECT_EQ(log.count(Logger::Level::INFO, "Database connection status: CORVANE_ODBC_SUCCESS"),
              1u);
}

TEST(ConnectorStatus, DisconnectDestroysTheClientAndReturnsToNotConnected) {
    MockedConnector f;
    ON_CALL(*f.client, Connect(_)).WillByDefault(Return(CORVANE_ODBC_SUCCESS));
    f.connector.connect();
    LogCapture log;
    EXPECT_CALL(*f.client, Destroy());
    f.connector.disconnect();
    EXPECT_EQ(f.connector.getStatus(), CORVANE_ODBC_NOTCONNECTED);
    EXPECT_EQ(log.count(Logger::Level::INFO, "Database disconnected"), 1u);
    ::testing::Mock::VerifyAndClearExpectations(f.client);
}

TEST(ConnectorStatus, NothingOpenIsNothingDisconnected) {
    LogCapture log;
    {
        MockedConnector f;
        ConfigCategory settings("lakesink", R"({"server": {"value": "elsewhere"}})");
        ASSERT_TRUE(f.connector.configure(&settings));
        f.connector.disconnect();
        EXPECT_EQ(f.connector.getStatus(), CORVANE_ODBC_NOTCONNECTED);
    }
    // Start-up, new settings and shutdown without a connection.
    EXPECT_FALSE(log.contains("Database disconnected"));
}

TEST(ConnectorConfigure, UnchangedSettingsKeepConnectionAndStatus) {
    MockedConnector f;
    ON_CALL(*f.client, Connect(_)).WillByDefault(Return(CORVANE_ODBC_SUCCESS));
    ConfigCategory defaults("lakesink", "{}");
    ASSERT_TRUE(f.connector.configure(&defaults));
    f.connector.connect();
    EXPECT_CALL(*f.client, Destroy()).Times(0);
    EXPECT_TRUE(f.connector.configure(&defaults));
    EXPECT_EQ(f.connector.getStatus(), CORVANE_ODBC_SUCCESS);
    // Defaults everywhere still reach the mapper and the schema manager.
    EXPECT_EQ(f.connector.getReadingMapper()->getCorvaneInstance(), "corvaneInstance");
    EXPECT_EQ(f.connector.getSchemaManager()->getDatabaseName(), "default_schema");
    ::testing::Mock::VerifyAndClearExpectations(f.client);
}

TEST(ConnectorConfigure, ChangedSettingsReachMapperSchemaManagerAndConnectionString) {
    MockedConnector f;
    ON_CALL(*f.client, Connect(_)).WillByDefault(Return(CORVANE_ODBC_SUCCESS));
    f.connector.connect();
    ConfigCategory changed("lakesink", R"({"server": {"value": "ws.example"},
        "schema": {"value": "Plant"}, "corvaneInstance": {"value": "edge-1"}})");
    EXPECT_CALL(*f.client, Destroy());
    EXPECT_TRUE(f.connector.configure(&changed));
    EXPECT_EQ(f.connector.getStatus(), CORVANE_ODBC_NOTCONNECTED);
    EXPECT_EQ(f.connector.getReadingMapper()->getCorvaneInstance(), "edge-1");
    EXPECT_EQ(f.connector.getSchemaManager()->getDatabaseName(), "Plant");
    EXPECT_EQ(f.connector.getConnectionString(),
              "Driver={DatabricksODBCDriver};Host=ws.example;Port=443;UID=default_user;PWD=lisk;"
              "SCHEMA=Plant;");
    ::testing::Mock::VerifyAndClearExpectations(f.client);
}

// The write settings are adopted and, like every other setting, a change of
// them reconfigures; none of them reaches the connection string.
TEST(ConnectorConfigure, WriteSettingsAreAdoptedAndAChangeReconfigures) {
    MockedConnector f;
    ON_CALL(*f.client, Connect(_)).WillByDefault(Return(CORVANE_ODBC_SUCCESS));
    ConfigCategory defaults("lakesink", "{}");
    ASSERT_TRUE(f.connector.configure(&defaults));
    f.connector.connect();
    const std::string before = f.connector.getConnectionString();
    ConfigCategory changed("lakesink", R"({"table": {"value": "fleet"},
        "datapoints": {"value": "variant"}, "maxStatementBytes": {"value": "65536"},
        "delivery": {"value": "at-least-once"}})");
    EXPECT_TRUE(f.connector.configure(&changed));
    EXPECT_EQ(f.connector.getStatus(), CORVANE_ODBC_NOTCONNECTED) << "reconfigured";
    const ODBCConfig& config = f.connector.getConfig();
    EXPECT_EQ(config.table, "fleet");
    EXPECT_EQ(config.datapoints, ODBCConfig::DatapointLayout::Variant);
    EXPECT_EQ(config.maxStatementBytes, 65536);
    EXPECT_EQ(config.delivery, ODBCConfig::Delivery::AtLeastOnce);
    EXPECT_EQ(f.connector.getConnectionString(), before);
}

TEST(ConnectorConfigure, EverySuccessfulConfigureReplacesTheBuilder) {
    MockedConnector f;
    ConfigCategory defaults("lakesink", "{}");
    ASSERT_TRUE(f.connector.configure(&defaults));
    DatabricksSQLBuilder* first = f.connector.getSQLBuilder();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(f.connector.getBaseSQLBuilder(), first);
    EXPECT_EQ(f.connector.getSchemaManager()->getSQLBuilder(), first);
    EXPECT_EQ(f.connector.getReadingMapper()->getSQLBuilder(), first);
    ASSERT_TRUE(f.connector.configure(&defaults));
    EXPECT_NE(f.connector.getSQLBuilder(), nullptr);
    EXPECT_EQ(f.connector.getReadingMapper()->getSQLBuilder(), f.connector.getSQLBuilder());
}

TEST(ConnectorConfigure, NullCategoryFailsAndKeepsTheBuilder) {
    MockedConnector f;
    ConfigCategory defaults("lakesink", "{}");
    ASSERT_TRUE(f.connector.configure(&defaults));
    DatabricksSQLBuilder* builder = f.connector.getSQLBuilder();
    EXPECT_FALSE(f.connector.configure(nullptr));
    EXPECT_EQ(f.connector.getSQLBuilder(), builder);
}

TEST(ConnectorConfigure, BadCategoryThrowsThroughConfigure) {
    MockedConnector f;
    ConfigCategory bad("lakesink", R"({"port": {"value": "eighty"}})");
    EXPECT_THROW(f.connector.configure(&bad), std::exception);
    EXPECT_EQ(f.connector.getSQLBuilder(), nullptr);
}

TEST(ConnectorQuery, ClientExceptionsBecomeFailedResults) {
    MockedConnector f;
    EXPECT_CALL(*f.client, executeQuery("SELECT 1"))
        .WillOnce(Throw(std::runtime_error("Failed to execute query.")))
        .WillOnce(Throw(42))
        .WillOnce(Return(okResult({{"1"}})));
    QueryResult failed = f.connector.executeQuery("SELECT 1");
    EXPECT_FALSE(failed.success);
    EXPECT_TRUE(failed.rows.empty());
    EXPECT_FALSE(f.connector.executeQuery("SELECT 1").success);
    QueryResult ok = f.connector.executeQuery("SELECT 1");
    EXPECT_TRUE(ok.success);
    EXPECT_EQ(ok.rows, (QueryRows{{"1"}}));
}
