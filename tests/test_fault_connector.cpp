// The Databricks connector with its real ODBC client, through the driver
// manager and the emulator, while the warehouse is broken on purpose: offline
// at the first batch, lost in the middle of a run and back, a link that dies
// between batches, wrong credentials, transient statement errors, and tables
// or columns removed by someone else. The connector's clock is moved by hand
// and its retry jitter is zero, so the reconnect back-off is checked exactly
// and without waiting.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "config_category.h"
#include "connector_fixture.h"
#include "counting_client.h"
#include "databricks_odbc_connector.h"
#include "loaded_plugin.h"
#include "log_capture.h"
#include "odbc_client.h"
#include "reading_mapper.h"
#include "readings.h"
#include "warehouse.h"

using Clock = std::chrono::steady_clock;
using Level = Logger::Level;
using Rows = std::vector<std::vector<std::string>>;
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

const uint64_t T0 = 1767225600000000ULL;  // 2026-01-01 00:00:00 UTC

class FaultTest : public ::testing::Test {
  protected:
    FaultTest() { Logger::getLogger()->setMinLevel(Level::ERROR); }

    void configure(const std::string& user = "default_user", const std::string& password = "lisk",
                   DatabricksODBCConnector* other = nullptr, const std::string& items = "",
                   const std::string& schema = "default_schema") {
        ConfigCategory category(
            "lakesink", R"({"schema": {"value": ")" + schema + R"("}, "user": {"value": ")" + user +
                            R"("}, "password": {"value": ")" + password +
                            R"("}, "additionalParams": {"value": "{\"Warehouse\": \")" +
                            jsonEscaped(jsonEscaped(warehouse.directory())) + R"(\"}"})" + items +
                            "}");
        ASSERT_TRUE((other ? *other : connector).configure(&category));
    }

    // A batch of `count` readings of one asset, timestamps from `first` on.
    void fill(Batch& batch, const std::string& asset, int first, int count) {
        for (int i = first; i < first + count; ++i) {
            Reading& r = batch.add(asset, T0 + static_cast<uint64_t>(i));
            r.addDatapoint(intPoint("n", i));
        }
    }

    bool send(const Batch& batch) { return connector.send(batch.pointers()); }
    void advance(Clock::duration step) { now += step; }

    // The link drops for a moment while the connection is idle: the connection
    // sees the warehouse offline (as a keep-alive would) and stays dead after
    // the warehouse is back, as a dropped network link does.
    void dropLink() {
        warehouse.setOffline(true);
        EXPECT_FALSE(connector.getClient()->isConnected());
        warehouse.setOffline(false);
    }

    // Every reading 0..count-1 of the table exactly once.
    void expectExactlyOnce(const std::string& table, int count) {
        EXPECT_EQ(
            warehouse.query("SELECT count(*), count(DISTINCT n), min(n), max(n) FROM " + table),
            (Rows{{std::to_string(count), std::to_string(count), "0", std::to_string(count - 1)}}));
    }

    TempWarehouse warehouse;
    LogCapture log;
    ConnectorOn<CountingClient> link;
    CountingClient* client = link.client;
    DatabricksODBCConnector& connector = link.connector;
    Clock::time_point& now = link.now;
};

// The login the test's own queries use, kept valid beside the plugin's.
const std::string kReader = "default_user:lisk\n";

const char kTransient[] = "Connection failed due to a transient error. Retrying might help.";
const char kNotAvailable[] = "Database connection not available - cannot send readings";
const char kCredentials[] =
    "Connection failed due to non-retriable error: Credentials or configuration issue.";
const char kNothingSent[] = "Nothing is sent: the warehouse refused the connection for good";

// The messages of the README's operator tables, up to their first
// placeholder ("<...>" or "...").
std::vector<std::string> operatorMessages() {
    std::ifstream file(LAKESINK_SOURCE_DIR "/README.md");
    std::string line;
    bool inNotes = false;
    std::vector<std::string> messages;
    while (std::getline(file, line)) {
        if (line.rfind("## ", 0) == 0)
            inNotes = line == "## Operator notes";
        if (!inNotes || line.rfind("| `", 0) != 0)
            continue;
        const std::string message = line.substr(3, line.find('`', 3) - 3);
        messages.push_back(message.substr(0, std::min(message.find('<'), message.find("..."))));
    }
    return messages;
}

// Returns true iff `logged` is a message of the README's operator tables.
bool inOperatorTable(const std::string& logged) {
    for (const std::string& message : operatorMessages()) {
        if (!message.empty() && logged.rfind(message, 0) == 0)
            return true;
    }
    return false;
}

}  // namespace

// --- the warehouse away and back --------------------------------------------------

TEST_F(FaultTest, OfflineAtTheFirstBatchIsRetriedEveryFiveSecondsUntilItIsBack) {
    configure();
    warehouse.setOffline(true);
    Batch batch;
    fill(batch, "pump", 0, 10);

    EXPECT_FALSE(send(batch));
    EXPECT_EQ(connector.getStatus(), CORVANE_ODBC_EAGAIN);
    EXPECT_EQ(client->connects, 1);
    EXPECT_EQ(client->getLastConnectFailure().rfind("SQLSTATE=08001", 0), 0u);

    // Within five seconds no new attempt is made, back or not.
    advance(seconds(2));
    EXPECT_FALSE(send(batch));
    warehouse.setOffline(false);
    advance(seconds(3) - milliseconds(1));
    EXPECT_FALSE(send(batch));
    EXPECT_EQ(client->connects, 1);
    EXPECT_EQ(log.count(Level::ERROR, kNotAvailable), 3u);

    // Five seconds after the attempt, exactly, the next batch connects.
    advance(milliseconds(1));
    EXPECT_TRUE(send(batch));
    EXPECT_EQ(client->connects, 2);
    EXPECT_EQ(connector.getStatus(), CORVANE_ODBC_SUCCESS);
    expectExactlyOnce("pump", 10);
}

TEST_F(FaultTest, LongOutageBacksOffAndIsReportedOncePerOutage) {
    configure();
    Batch first, during, after;
    fill(first, "pump", 0, 3);
    fill(during, "pump", 3, 3);
    fill(after, "pump", 6, 3);
    ASSERT_TRUE(send(first));
    dropLink();
    warehouse.setOffline(true);
    EXPECT_FALSE(send(during));  // the dead link is noticed
    log.clear();
    const int connectsBefore = client->connects;
    // Ten minutes of a batch every second: attempts at 0, 5, 15, 35, 75, 155
    // and 315 s (the wait doubles up to 5 minutes); the next is due at 615 s.
    for (int second = 0; second < 600; ++second) {
        EXPECT_FALSE(send(during));
        advance(seconds(1));
    }
    EXPECT_EQ(client->connects - connectsBefore, 7);
    EXPECT_EQ(connector.getStatus(), CORVANE_ODBC_EAGAIN);
    EXPECT_EQ(connector.getRetryDelay(), seconds(300));
    // The cause is reported once, not at every attempt.
    EXPECT_EQ(log.count(Level::WARNING, kTransient), 1u);
    size_t causeLines = 0;
    for (const auto& text : log.at(Level::ERROR))
        causeLines += text.rfind("SQLSTATE=08001", 0) == 0 ? 1 : 0;
    EXPECT_EQ(causeLines, 1u);

    warehouse.setOffline(false);
    advance(seconds(14));
    EXPECT_FALSE(send(during));  // 614 s: not yet
    advance(seconds(1));
    EXPECT_TRUE(send(during));
    // The next outage starts again from 5 s and is reported again.
    dropLink();
    warehouse.setOffline(true);
    EXPECT_FALSE(send(after));  // the dead link is noticed
    EXPECT_FALSE(send(after));  // the first attempt of the new outage
    EXPECT_EQ(connector.getRetryDelay(), seconds(5));
    EXPECT_EQ(log.count(Level::WARNING, kTransient), 2u);
    warehouse.setOffline(false);
    advance(seconds(5));
    EXPECT_TRUE(send(after));
    expectExactlyOnce("pump", 9);
}

TEST_F(FaultTest, OfflineInTheMiddleOfARunLosesNothingAndWritesNothingTwice) {
    configure();
    Batch first, second, third;
    fill(first, "pump", 0, 100);
    fill(second, "pump", 100, 100);
    fill(third, "pump", 200, 100);
    ASSERT_TRUE(send(first));

    // The link dies under the open connection: the INSERT fails, the dead
    // connection is noticed and dropped, so the next batch connects anew.
    warehouse.setOffline(true);
    EXPECT_FALSE(send(second));
    EXPECT_EQ(connector.getStatus(), CORVANE_ODBC_NOTCONNECTED);
    EXPECT_TRUE(log.has(Level::ERROR, "Failed to execute database query for table 'pump'"));

    // While it is away: one attempt, then one every five seconds.
    for (int i = 0; i < 20; ++i) {
        EXPECT_FALSE(send(second));
        advance(milliseconds(500));
    }
    EXPECT_EQ(client->connects, 1 + 1 + 1);  // first run, first retry, one 5 s later

    warehouse.setOffline(false);
    advance(seconds(5));
    EXPECT_TRUE(send(second));
    EXPECT_TRUE(send(third));
    expectExactlyOnce("pump", 300);
}

TEST_F(FaultTest, LinkThatDiedBetweenBatchesIsNoticedAndReconnectedAtOnce) {
    configure();
    Batch first, second;
    fill(first, "pump", 0, 5);
    fill(second, "pump", 5, 5);
    ASSERT_TRUE(send(first));
    ASSERT_EQ(client->connects, 1);

    // A short blip: the warehouse is back, but this connection stays dead.
    dropLink();
    EXPECT_FALSE(send(second));
    EXPECT_EQ(connector.getStatus(), CORVANE_ODBC_NOTCONNECTED);
    // No five-second wait after a lost link: the next batch reconnects.
    EXPECT_TRUE(send(second));
    EXPECT_EQ(client->connects, 2);
    expectExactlyOnce("pump", 10);
}

TEST_F(FaultTest, LinkLostWhileLearningANewTableIsNoticedToo) {
    configure();
    Batch first, other;
    fill(first, "pump", 0, 3);
    fill(other, "valve", 0, 3);
    ASSERT_TRUE(send(first));
    dropLink();
    // The information-schema query of the new table fails on the dead link.
    EXPECT_FALSE(send(other));
    EXPECT_TRUE(log.has(Level::ERROR, "Database operation failed: Failed to execute query."));
    EXPECT_EQ(connector.getStatus(), CORVANE_ODBC_NOTCONNECTED);
    EXPECT_TRUE(send(other));
    expectExactlyOnce("valve", 3);
}

// --- credentials -------------------------------------------------------------------

TEST_F(FaultTest, WrongCredentialsFailOnceAndStayFailedUntilTheSettingsChange) {
    warehouse.setCredentials("ingest:right-password\n" + kReader);
    configure("ingest", "wrong-password");
    Batch batch;
    fill(batch, "pump", 0, 4);

    EXPECT_FALSE(send(batch));
    EXPECT_EQ(connector.getStatus(), CORVANE_ODBC_FAILED);
    EXPECT_TRUE(log.has(Level::ERROR, kCredentials));
    EXPECT_EQ(client->getLastConnectFailure().rfind("SQLSTATE=28000", 0), 0u);

    // No retry storm: however often and however late the host sends, the
    // connector does not try again.
    log.clear();
    for (int i = 0; i < 200; ++i) {
        EXPECT_FALSE(send(batch));
        advance(seconds(30));
    }
    EXPECT_EQ(client->connects, 1);

    // The same settings again change nothing.
    configure("ingest", "wrong-password");
    EXPECT_FALSE(send(batch));
    EXPECT_EQ(client->connects, 1);

    // The right password recovers it at the next batch.
    configure("ingest", "right-password");
    EXPECT_EQ(connector.getStatus(), CORVANE_ODBC_NOTCONNECTED);
    EXPECT_TRUE(send(batch));
    EXPECT_EQ(client->connects, 2);
    expectExactlyOnce("pump", 4);
}

// A connection that can never pass with its settings: every refused batch
// costs no attempt and no statement, and says why at most once a minute, in
// a message the operator table explains.
TEST_F(FaultTest, AConnectionRefusedForGoodSaysWhyAtMostOnceAMinute) {
    struct Case {
        const char* user;
        const char* password;
        const char* schema;
        const char* state;
        const char* remedy;  // the setting the message names
    };
    const std::vector<Case> cases = {
        {"ingest", "wrong-password", "default_schema", "SQLSTATE=28000", "password"},
        {"default_user", "lisk", "a/b", "SQLSTATE=3F000", "schema"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.state);
        warehouse.setCredentials("ingest:right-password\n" + kReader);
        configure(c.user, c.password, nullptr, "", c.schema);
        client->connects = 0;
        client->statements = 0;
        log.clear();
        Batch batch;
        fill(batch, "pump", 0, 2);
        // Sends every 20 s for 10 minutes: 31 refused batches.
        for (int i = 0; i <= 30; ++i) {
            EXPECT_FALSE(send(batch));
            advance(seconds(20));
        }
        EXPECT_EQ(connector.getStatus(), CORVANE_ODBC_FAILED);
        EXPECT_EQ(client->connects, 1);
        EXPECT_EQ(client->statements, 0);
        std::vector<std::string> reasons;
        for (const std::string& line : log.at(Level::ERROR)) {
            if (line.rfind(kNothingSent, 0) == 0)
                reasons.push_back(line);
        }
        // At 0 s, 60 s, ..., 600 s.
        ASSERT_EQ(reasons.size(), 11u);
        EXPECT_THAT(reasons[0], ::testing::HasSubstr(c.state));
        EXPECT_THAT(reasons[0], ::testing::HasSubstr(c.remedy));
        EXPECT_TRUE(inOperatorTable(reasons[0]));
        EXPECT_TRUE(inOperatorTable(kCredentials));
    }
    // New settings that pass write the batch.
    configure();
    Batch batch;
    fill(batch, "pump", 0, 2);
    EXPECT_TRUE(send(batch));
}

TEST_F(FaultTest, CredentialsRevokedWhileRunningStopAtTheNextConnection) {
    warehouse.setCredentials("ingest:pw1\n" + kReader);
    configure("ingest", "pw1");
    Batch first, second;
    fill(first, "pump", 0, 2);
    fill(second, "pump", 2, 2);
    ASSERT_TRUE(send(first));
    // The password is changed on the warehouse and the link drops.
    warehouse.setCredentials("ingest:pw2\n" + kReader);
    dropLink();
    EXPECT_FALSE(send(second));  // the dead link is noticed
    EXPECT_FALSE(send(second));  // the new connection is refused
    EXPECT_EQ(connector.getStatus(), CORVANE_ODBC_FAILED);
    advance(seconds(60));
    EXPECT_FALSE(send(second));
    EXPECT_EQ(client->connects, 2);
    configure("ingest", "pw2");
    EXPECT_TRUE(send(second));
    expectExactlyOnce("pump", 4);
}

// --- transient statement errors ------------------------------------------------------

TEST_F(FaultTest, TransientInsertErrorsRefuseTheBatchAndTheNextAttemptWritesIt) {
    configure();
    Batch first;
    fill(first, "pump", 0, 10);
    ASSERT_TRUE(send(first));
    int next = 10;
    for (const char* state : {"08S01", "HYT00", "40001"}) {
        SCOPED_TRACE(state);
        warehouse.addFault(state, 1, "INSERT INTO");
        Batch batch;
        fill(batch, "pump", next, 10);
        log.clear();
        EXPECT_FALSE(send(batch));
        EXPECT_TRUE(client->isLastErrorRetriable());
        EXPECT_TRUE(log.has(Level::ERROR, "Failed to execute database query for table 'pump'"));
        // The warehouse's reason is there without debug logging.
        bool reason = false;
        for (const auto& text : log.at(Level::ERROR))
            reason = reason || text.find(std::string("SQLSTATE=") + state) != std::string::npos;
        EXPECT_TRUE(reason);
        // An injected error does not kill the link: the same connection goes on.
        EXPECT_EQ(connector.getStatus(), CORVANE_ODBC_SUCCESS);
        EXPECT_TRUE(send(batch));
        next += 10;
    }
    EXPECT_EQ(client->connects, 1);
    expectExactlyOnce("pump", next);
}

TEST_F(FaultTest, TransientErrorsInTheSchemaStepRefuseTheBatchAndHeal) {
    configure();
    Batch batch;
    fill(batch, "pump", 0, 3);
    // The table's discovery, its creation, then a new column's ALTER fail once each.
    warehouse.addFault("HYT00", 1, "information_schema");
    EXPECT_FALSE(send(batch));
    warehouse.addFault("40001", 1, "CREATE TABLE");
    EXPECT_FALSE(send(batch));
    EXPECT_TRUE(send(batch));

    Batch wider;
    for (int i = 3; i < 6; ++i) {
        Reading& r = wider.add("pump", T0 + static_cast<uint64_t>(i));
        r.addDatapoint(intPoint("n", i));
        r.addDatapoint(floatPoint("pressure", i * 0.5));
    }
    warehouse.addFault("08S01", 1, "ALTER TABLE");
    EXPECT_FALSE(send(wider));
    EXPECT_TRUE(send(wider));
    EXPECT_EQ(client->connects, 1);
    expectExactlyOnce("pump", 6);
    EXPECT_EQ(warehouse.query("SELECT count(pressure) FROM pump"), (Rows{{"3"}}));
}

TEST_F(FaultTest, FailingSecondTableNeverRepeatsTheFirstTablesRowsOnResend) {
    // The resend of a batch whose second table failed skips the table that
    // was already written; a different batch afterwards is written whole.
    configure();
    Batch batch;
    fill(batch, "a_table", 0, 2);
    fill(batch, "b_table", 0, 2);
    ASSERT_TRUE(send(batch));
    Batch next;
    fill(next, "a_table", 2, 2);
    fill(next, "b_table", 2, 2);
    warehouse.addFault("08S01", 1, "INSERT INTO `b_table`");
    EXPECT_FALSE(send(next));
    EXPECT_TRUE(send(next));
    expectExactlyOnce("a_table", 4);
    expectExactlyOnce("b_table", 4);
    Batch last;
    fill(last, "a_table", 4, 2);
    fill(last, "b_table", 4, 2);
    EXPECT_TRUE(send(last));
    expectExactlyOnce("a_table", 6);
    expectExactlyOnce("b_table", 6);
}

TEST_F(FaultTest, ResendAfterALostAnswerFindsTheRowsAtTheEdgesOfItsTimeRange) {
    // The MERGE of a resend compares only the table's rows between the
    // batch's lowest and highest ts, both included: a single reading, and
    // readings that all share one ts.
    configure();
    Batch before;
    fill(before, "pump", 100, 1);
    ASSERT_TRUE(send(before));
    Batch single;
    fill(single, "pump", 0, 1);
    Batch same;
    for (int n = 1; n <= 3; ++n)
        same.add("pump", T0 + 50).addDatapoint(intPoint("n", n));
    for (const Batch* batch : {&single, &same}) {
        warehouse.addFault("after 08S01", 1, "INTO `pump`");
        EXPECT_FALSE(send(*batch));
        EXPECT_TRUE(send(*batch));
    }
    EXPECT_EQ(warehouse.query("SELECT n FROM pump ORDER BY n"),
              (Rows{{"0"}, {"1"}, {"2"}, {"3"}, {"100"}}));
}

TEST_F(FaultTest, StatementsTooLargeForTheWarehouseAreCutAndARowTooLargeAloneIsRejected) {
    // The warehouse takes statements of at most 65536 bytes; the plugin's
    // limit is 1 MiB. One reading's row alone is longer than that.
    std::ofstream(warehouse.directory() + "/limits") << "statement_bytes 65536\n";
    configure("default_user", "lisk", nullptr, R"(, "writers": {"value": "1"})");
    Batch batch;
    fill(batch, "pump", 0, 500);
    batch.add("pump", T0 + 500).addDatapoint(textPoint("note", std::string(100000, 'x')));
    fill(batch, "pump", 501, 499);
    ASSERT_TRUE(send(batch));
    EXPECT_EQ(warehouse.query("SELECT count(*), count(DISTINCT n) FROM pump"),
              (Rows{{"999", "999"}}));
    const Rows rejected = warehouse.query(
        "SELECT table_name, sqlstate, reason, length(reading) FROM lakesink_rejects");
    ASSERT_EQ(rejected.size(), 1u);
    EXPECT_EQ(rejected[0][0], "pump");
    EXPECT_EQ(rejected[0][1], "54000");
    EXPECT_NE(rejected[0][2].find("STATEMENT_TOO_LARGE"), std::string::npos) << rejected[0][2];
    EXPECT_NE(rejected[0][2].find("cut to its first"), std::string::npos) << rejected[0][2];
    EXPECT_LE(std::stoul(rejected[0][3]), 65536u / 4);
    // Later statements are cut at what the warehouse takes: none is refused.
    const int refusedBefore = client->tooLarge;
    Batch next;
    fill(next, "pump", 1000, 1000);
    ASSERT_TRUE(send(next));
    EXPECT_EQ(client->tooLarge, refusedBefore);
    EXPECT_EQ(warehouse.query("SELECT count(*) FROM pump"), (Rows{{"1999"}}));
}

TEST_F(FaultTest, LostAnswerOfTheRejectsTableKeepsEachRejectedReadingOnce) {
    // The rejects table's INSERT commits but its answer is lost: the resend
    // skips the row already kept, for a refused reading and for a reading
    // with no table alike.
    configure("default_user", "lisk", nullptr, R"(, "writers": {"value": "1"})");
    warehouse.query(
        "CREATE TABLE strict (asset_code STRING NOT NULL, user_ts TIMESTAMP, ts TIMESTAMP, "
        "corvane STRING, n BIGINT, req BIGINT NOT NULL)");
    Batch refused;
    for (int i = 0; i < 3; ++i) {
        Reading& r = refused.add("strict", T0 + static_cast<uint64_t>(i));
        r.addDatapoint(intPoint("n", i));
        if (i != 1)
            r.addDatapoint(intPoint("req", 1));
    }
    Batch unrouted;
    unrouted.add("", T0 + 9).addDatapoint(intPoint("n", 9));
    for (const Batch* batch : {&refused, &unrouted}) {
        warehouse.addFault("after 08S01", 1, "INTO `lakesink_rejects`");
        EXPECT_FALSE(send(*batch));
        EXPECT_TRUE(send(*batch));
    }
    EXPECT_EQ(warehouse.query("SELECT asset_code, sqlstate FROM lakesink_rejects ORDER BY "
                              "asset_code"),
              (Rows{{"", ""}, {"strict", "23502"}}));
    EXPECT_EQ(warehouse.query("SELECT n FROM strict ORDER BY n"), (Rows{{"0"}, {"2"}}));
}

TEST_F(FaultTest, IdenticalReadingsAreKeptOnceOnlyWhenWrittenWhileTheirTableIsInDoubt) {
    // The same two readings in two batches: two rows each normally; one row
    // each when the second batch follows a failed statement of the table.
    // Identical readings within one batch are always all written.
    configure("default_user", "lisk", nullptr, R"(, "writers": {"value": "1"})");
    const auto twice = [](Batch& batch, const std::string& table) {
        for (int copy = 0; copy < 2; ++copy)
            batch.add(table, T0).addDatapoint(intPoint("n", 7));
    };
    for (const char* table : {"plain", "faulted"}) {
        Batch first, second;
        twice(first, table);
        twice(second, table);
        ASSERT_TRUE(send(first));
        if (std::string(table) == "faulted") {
            warehouse.addFault("08S01", 1, "INTO `faulted`");
            EXPECT_FALSE(send(second));
        }
        ASSERT_TRUE(send(second));
    }
    EXPECT_EQ(warehouse.query("SELECT count(*) FROM plain"), (Rows{{"4"}}));
    EXPECT_EQ(warehouse.query("SELECT count(*) FROM faulted"), (Rows{{"2"}}));
}

TEST_F(FaultTest, CountersMatchWhatTheWarehouseHoldsAcrossCutRefusedIsolatedAndResentBatches) {
    configure("default_user", "lisk", nullptr,
              R"(, "maxStatementBytes": {"value": "65536"}, "writers": {"value": "1"})");
    warehouse.query(
        "CREATE TABLE strict (asset_code STRING NOT NULL, user_ts TIMESTAMP, ts TIMESTAMP, "
        "corvane STRING, n BIGINT, v BIGINT, req BIGINT NOT NULL)");
    size_t written = 0, rescued = 0, rejected = 0, skipped = 0;
    const auto book = [&] {
        for (const TableOutcome& table : connector.getLastOutcome().tables) {
            written += table.written;
            rescued += table.rescued;
            rejected += table.rejected;
            skipped += table.skipped;
        }
    };
    // pump: 2,000 readings cut into several INSERTs, 10 values rescued, the
    // answer of its last INSERT (the one holding 1999) lost. strict: refused
    // before it ran, then its refused rows isolated, one value rescued.
    Batch batch;
    for (int i = 0; i < 2000; ++i) {
        Reading& r = batch.add("pump", T0 + static_cast<uint64_t>(i));
        r.addDatapoint(intPoint("n", i));
        if (i % 100 == 50 && i < 1000)
            r.addDatapoint(textPoint("v", "text"));
        else
            r.addDatapoint(intPoint("v", i));
    }
    for (int i = 0; i < 10; ++i) {
        Reading& r = batch.add("strict", T0 + static_cast<uint64_t>(i));
        r.addDatapoint(intPoint("n", i));
        r.addDatapoint(i == 5 ? textPoint("v", "text") : intPoint("v", i));
        if (i != 3 && i != 7)
            r.addDatapoint(intPoint("req", 1));
    }
    warehouse.addFault("after 08S01", 1, "1999");
    warehouse.addFault("08S01", 1, "INTO `strict`");
    // pump fails first, so strict meets its fault on the second attempt.
    for (int attempt = 1; attempt <= 3; ++attempt) {
        EXPECT_EQ(send(batch), attempt == 3) << attempt;
        book();
    }
    const Rows held = warehouse.query(
        "SELECT (SELECT count(*) FROM pump), (SELECT count(*) FROM strict), (SELECT count(*) "
        "FROM lakesink_rejects), (SELECT count(_rescued_data) FROM pump) + (SELECT "
        "count(_rescued_data) FROM strict)");
    EXPECT_EQ(held, (Rows{{"2000", "8", "2", "11"}}));
    // A row is counted once: written by the statement that stored it, or
    // skipped by the MERGE that found it after its answer was lost.
    EXPECT_EQ(written + skipped, 2008u);
    EXPECT_GT(skipped, 0u) << "the lost answer's rows are found on resend";
    EXPECT_EQ(rescued, 11u);
    EXPECT_EQ(rejected, 2u);
}

struct WideCase {
    int columns;
    size_t mostStatements;  // to catch up 40 readings after the restart
};

TEST_F(FaultTest, WideTableCatchesUpAfterARestartWithFewStatementsWithinTheLimit) {
    // Columns of 44-character names, a statement limit of 64 KiB in the
    // plugin and in the warehouse: after a restart the table is in doubt. A
    // MERGE would name each column three times (with 1,000 columns, more
    // than the limit without any row): the rows missing are written by
    // statements that name none, many rows each, and none twice.
    std::ofstream(warehouse.directory() + "/limits") << "statement_bytes 65536\n";
    const std::string limit =
        R"(, "maxStatementBytes": {"value": "65536"}, "writers": {"value": "1"})";
    for (const WideCase& c : {WideCase{300, 3}, WideCase{1000, 8}}) {
        SCOPED_TRACE(c.columns);
        const std::string table = "wide_" + std::to_string(c.columns);
        const auto wide = [&](Batch& batch, int first, int count) {
            for (int i = first; i < first + count; ++i) {
                Reading& r = batch.add(table, T0 + static_cast<uint64_t>(i));
                r.addDatapoint(intPoint("n", i));
                for (int k = 0; k < c.columns - 1; ++k) {
                    char name[64];
                    std::snprintf(name, sizeof name, "measurement_channel_with_a_long_name_%07d",
                                  k);
                    r.addDatapoint(intPoint(name, i * k));
                }
            }
        };
        configure("default_user", "lisk", nullptr, limit);
        Batch first;
        wide(first, 0, 20);
        ASSERT_TRUE(send(first));
        auto* restartedClient = new CountingClient();
        DatabricksODBCConnector restarted(restartedClient);
        configure("default_user", "lisk", &restarted, limit);
        Batch second;
        wide(second, 10, 40);  // half of it written before the restart
        ASSERT_TRUE(restarted.send(second.pointers()));
        EXPECT_EQ(restartedClient->merges, 0);
        EXPECT_GE(restartedClient->inserts, 1);
        EXPECT_LE(static_cast<size_t>(restartedClient->inserts), c.mostStatements)
            << "not a statement per row";
        EXPECT_EQ(restarted.getLastOutcome().tables.at(0).skipped, 10u);
        EXPECT_EQ(restarted.getLastOutcome().tables.at(0).rejected, 0u);
        expectExactlyOnce(table, 50);
        // Still in doubt (the last batch skipped rows), the table gains a
        // column from another writer: rows given by position no longer fit
        // it, so its columns are read again and the rows sent once more.
        warehouse.query("ALTER TABLE " + table + " ADD COLUMN added_elsewhere STRING");
        Batch third;
        wide(third, 45, 10);
        ASSERT_TRUE(restarted.send(third.pointers()));
        EXPECT_EQ(restarted.getLastOutcome().tables.at(0).skipped, 5u);
        EXPECT_EQ(restarted.getLastOutcome().tables.at(0).rejected, 0u);
        expectExactlyOnce(table, 55);
    }
}

TEST_F(FaultTest, BatchOfTheSameAssetsAndTimesWithOtherValuesIsNotTakenForAResend) {
    // A failed batch, then another batch with the same asset codes and
    // timestamps but other values: it is no resend, and is written whole.
    configure();
    Batch batch;
    fill(batch, "a_table", 0, 2);
    fill(batch, "b_table", 0, 2);
    warehouse.addFault("08S01", 1, "INSERT INTO `b_table`");
    EXPECT_FALSE(send(batch));
    Batch other;
    for (const char* table : {"a_table", "b_table"}) {
        for (int i = 0; i < 2; ++i)
            other.add(table, T0 + static_cast<uint64_t>(i)).addDatapoint(intPoint("n", 10 + i));
    }
    EXPECT_TRUE(send(other));
    EXPECT_EQ(warehouse.query("SELECT n FROM a_table ORDER BY n"),
              (Rows{{"0"}, {"1"}, {"10"}, {"11"}}));
    EXPECT_EQ(warehouse.query("SELECT n FROM b_table ORDER BY n"), (Rows{{"10"}, {"11"}}));
}

TEST_F(FaultTest, LinkFailingTwiceInARowIsReplacedWhileTheDriverCallsItAlive) {
    // The driver reports the link lost for each statement but never marks
    // the connection dead: after two such failures in a row it is replaced.
    configure();
    Batch batch;
    fill(batch, "pump", 0, 2);
    ASSERT_TRUE(send(batch));
    int next = 2;
    for (const char* state : {"08S01", "HYT01"}) {
        SCOPED_TRACE(state);
        const int connects = client->connects;
        warehouse.addFault(state, 2, "INTO `pump`");
        Batch later;
        fill(later, "pump", next, 2);
        next += 2;
        EXPECT_FALSE(send(later));
        EXPECT_EQ(connector.getStatus(), CORVANE_ODBC_SUCCESS);  // one failure: kept
        EXPECT_FALSE(send(later));
        EXPECT_EQ(connector.getStatus(), CORVANE_ODBC_NOTCONNECTED);
        EXPECT_TRUE(send(later));
        EXPECT_EQ(client->connects, connects + 1);
    }
    // A failure of another kind in between starts the count again.
    warehouse.addFault("08S01", 1, "INTO `pump`");
    warehouse.addFault("42000", 1, "INTO `pump`");
    warehouse.addFault("08S01", 1, "INTO `pump`");
    Batch last;
    fill(last, "pump", next, 2);
    for (int attempt = 0; attempt < 3; ++attempt) {
        EXPECT_FALSE(send(last));
        EXPECT_EQ(connector.getStatus(), CORVANE_ODBC_SUCCESS);
    }
    EXPECT_TRUE(send(last));
    EXPECT_EQ(client->connects, 3);
    expectExactlyOnce("pump", 8);
}

// --- the schema changed by someone else -----------------------------------------------

TEST_F(FaultTest, ColumnAddedBySomeoneElseIsLearnedInsteadOfFailingForever) {
    configure();
    Batch first;
    fill(first, "pump", 0, 2);
    ASSERT_TRUE(send(first));
    // Another writer adds the column this connector is about to add.
    warehouse.query("ALTER TABLE pump ADD COLUMN pressure DOUBLE");
    Batch wider;
    Reading& r = wider.add("pump", T0 + 2);
    r.addDatapoint(intPoint("n", 2));
    r.addDatapoint(floatPoint("pressure", 1.5));
    EXPECT_TRUE(send(wider));
    EXPECT_TRUE(log.has(
        Level::INFO,
        "Table 'pump' has columns this connector had not seen; its columns were read again"));
    EXPECT_EQ(warehouse.query("SELECT n, pressure FROM pump ORDER BY ts"),
              (Rows{{"0", "NULL"}, {"1", "NULL"}, {"2", "1.5"}}));
}

TEST_F(FaultTest, TableCreatedBySomeoneElseAtTheSameMomentIsFoundOnResend) {
    // Two writers find no table and both create it: the slower CREATE fails
    // (42P07). The batch is refused; sent again, it finds the table and adds
    // what it lacks.
    configure();
    warehouse.addFault("42P07", 1, "CREATE TABLE");
    Batch batch;
    fill(batch, "pump", 0, 3);
    EXPECT_FALSE(send(batch));
    warehouse.query(
        "CREATE TABLE pump (asset_code VARCHAR(256) NOT NULL, user_ts TIMESTAMP, ts TIMESTAMP, "
        "corvane VARCHAR(256))");
    // A second CREATE would be refused: the table is found and extended.
    EXPECT_TRUE(send(batch));
    expectExactlyOnce("pump", 3);
}

TEST_F(FaultTest, AllDefaultSettingsFindTheirTablesAgainAfterARestart) {
    // With every setting at its default no additionalParams name the
    // warehouse: the emulator takes it from LAKESINK_WAREHOUSE instead.
    struct WarehouseFromEnvironment {
        explicit WarehouseFromEnvironment(const std::string& dir) {
            setenv("LAKESINK_WAREHOUSE", dir.c_str(), 1);
        }
        ~WarehouseFromEnvironment() { unsetenv("LAKESINK_WAREHOUSE"); }
    } environment(warehouse.directory());
    ConfigCategory defaults("lakesink", "{}");
    Batch first, second;
    fill(first, "pump", 0, 3);
    fill(second, "pump", 3, 3);
    {
        DatabricksODBCConnector before;
        ASSERT_TRUE(before.configure(&defaults));
        ASSERT_TRUE(before.send(first.pointers()));
    }
    // After the restart the table is found in the default schema, not
    // created again (which the warehouse would refuse for ever).
    DatabricksODBCConnector restarted;
    ASSERT_TRUE(restarted.configure(&defaults));
    EXPECT_TRUE(restarted.send(second.pointers()));
    expectExactlyOnce("pump", 6);
}

TEST_F(FaultTest, TableDroppedBySomeoneElseHealsWithinTheSameSend) {
    // The INSERT names a table that is gone: the connector forgets what it
    // knew of it, creates it again and writes the batch in the same send.
    configure();
    Batch first, second;
    fill(first, "pump", 0, 3);
    fill(second, "pump", 3, 3);
    ASSERT_TRUE(send(first));
    warehouse.query("DROP TABLE pump");
    EXPECT_TRUE(send(second));
    EXPECT_EQ(connector.getStatus(), CORVANE_ODBC_SUCCESS);
    EXPECT_EQ(client->connects, 1);
    EXPECT_EQ(warehouse.query("SELECT count(*), count(DISTINCT n), min(n), max(n) FROM pump"),
              (Rows{{"3", "3", "3", "5"}}));
}

TEST_F(FaultTest, ColumnRemovedBySomeoneElseHealsWithinTheSameSend) {
    // The INSERT names a cached column that is gone: the table's columns are
    // read again and the column is added back when the batch carries it.
    configure();
    Batch first;
    for (int i = 0; i < 2; ++i) {
        Reading& r = first.add("pump", T0 + static_cast<uint64_t>(i));
        r.addDatapoint(intPoint("n", i));
        r.addDatapoint(floatPoint("pressure", 1.0));
    }
    ASSERT_TRUE(send(first));
    // The emulator has no DROP COLUMN: the table is made again without it.
    const std::string withoutPressure =
        "CREATE TABLE pump (asset_code VARCHAR(256) NOT NULL, user_ts TIMESTAMP, ts TIMESTAMP, "
        "corvane VARCHAR(256), n BIGINT)";
    warehouse.query("DROP TABLE pump");
    warehouse.query(withoutPressure);
    Batch second;
    fill(second, "pump", 2, 2);  // these readings do not carry the column
    EXPECT_TRUE(send(second));
    EXPECT_EQ(warehouse.query("SELECT n FROM pump ORDER BY n"), (Rows{{"2"}, {"3"}}));

    // Removed again, and this time the batch carries it: it is added back.
    warehouse.query("DROP TABLE pump");
    warehouse.query(withoutPressure);
    Batch third;
    for (int i = 4; i < 6; ++i) {
        Reading& r = third.add("pump", T0 + static_cast<uint64_t>(i));
        r.addDatapoint(intPoint("n", i));
        r.addDatapoint(floatPoint("pressure", 2.5));
    }
    EXPECT_TRUE(send(third));
    EXPECT_EQ(connector.getStatus(), CORVANE_ODBC_SUCCESS);
    EXPECT_EQ(warehouse.query("SELECT n, pressure FROM pump ORDER BY n"),
              (Rows{{"4", "2.5"}, {"5", "2.5"}}));
}

// --- the status line ---------------------------------------------------------------

TEST_F(FaultTest, TheStatusLineCountsWhatTheSiteDidEveryFiveMinutesAndAtShutdown) {
    Logger::getLogger()->setMinLevel(Level::INFO);
    configure();
    const auto statusLines = [this] { return log.at(Level::INFO); };
    const auto lastStatus = [&] {
        std::string last;
        for (const std::string& line : statusLines()) {
            if (line.rfind("Status: ", 0) == 0)
                last = line;
        }
        return last;
    };
    Batch first;
    fill(first, "pump", 0, 3);
    ASSERT_TRUE(send(first));
    // A text into the number column is rescued; a reading without an asset
    // code is rejected; a refused INSERT fails a batch once.
    Batch second;
    second.add("pump", T0 + 10).addDatapoint(textPoint("n", "high"));
    second.add("", T0 + 11).addDatapoint(intPoint("n", 1));
    warehouse.addFault("HYT00", 1, "INSERT INTO `pump`");
    EXPECT_FALSE(send(second));
    advance(std::chrono::minutes(4));
    ASSERT_TRUE(send(second));
    EXPECT_EQ(lastStatus(), "");
    advance(std::chrono::minutes(1));
    Batch third;
    fill(third, "pump", 20, 2);
    ASSERT_TRUE(send(third));
    const std::string line = lastStatus();
    EXPECT_THAT(line, ::testing::StartsWith(
                          "Status: 6 readings written, 1 value rescued, 1 reading rejected, "
                          "0 rows skipped as already written, "));
    EXPECT_THAT(line, ::testing::HasSubstr(
                          " 1 failed batch, 0 reconnects; since the start: 6 readings written, 1 "
                          "value rescued, 1 reading rejected, 0 rows skipped as already written; "
                          "last successful batch at 20"));
    // The counts start again after each line; shutdown logs what is left.
    Batch fourth;
    fill(fourth, "pump", 30, 1);
    ASSERT_TRUE(send(fourth));
    EXPECT_EQ(lastStatus(), line);
    connector.~DatabricksODBCConnector();
    new (&connector) DatabricksODBCConnector(new CountingClient());
    // Each line gives the interval and the totals since the start.
    EXPECT_THAT(lastStatus(), ::testing::StartsWith("Status: 1 reading written, 0 values"));
    EXPECT_THAT(lastStatus(), ::testing::HasSubstr("; since the start: 7 readings written, 1 value "
                                                   "rescued, 1 reading rejected, 0 rows skipped"));
}
