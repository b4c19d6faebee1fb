// A batch's tables written side by side on several connections, through the
// real driver manager and the emulator: nothing lost, nothing repeated, with
// faults in one table, an outage, reconfiguration and shutdown.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config_category.h"
#include "databricks_odbc_connector.h"
#include "loaded_plugin.h"
#include "log_capture.h"
#include "odbc_client.h"
#include "readings.h"
#include "table_writer.h"
#include "traced_connector.h"
#include "warehouse.h"
#include "writer_pool.h"

using Rows = std::vector<std::vector<std::string>>;

namespace {

const uint64_t T0 = 1767225600000000ULL;

ConfigCategory settings(const TempWarehouse& warehouse, int writers,
                        const std::string& moreItems = "") {
    return ConfigCategory("lakesink", R"({"writers": {"value": ")" + std::to_string(writers) +
                                          R"("}, "additionalParams": {"value": ")" +
                                          jsonEscaped(warehouse.additionalParams()) + R"("})" +
                                          moreItems + "}");
}

// `tables` tables of `perTable` readings each; the times start at `start`.
void fill(Batch& batch, int tables, int perTable, uint64_t start) {
    for (int r = 0; r < perTable; ++r) {
        for (int t = 0; t < tables; ++t) {
            Reading& reading = batch.add("asset" + std::to_string(t),
                                         start + static_cast<uint64_t>(r * tables + t));
            reading.addDatapoint(intPoint("n", r));
        }
    }
}

class ParallelWriters : public ::testing::Test {
  protected:
    void SetUp() override { useEmulatorDriver(); }
    // Rows per table, and whether any (asset, ts) repeats.
    long count(const std::string& table) const {
        return std::stol(warehouse.query("SELECT COUNT(*) FROM " + table)[0][0]);
    }
    long repeated(const std::string& table) const {
        return std::stol(
            warehouse.query("SELECT COUNT(*) - COUNT(DISTINCT ts) FROM " + table)[0][0]);
    }
    TempWarehouse warehouse;
};

}  // namespace

TEST_F(ParallelWriters, EveryTableOfABatchIsWrittenOnce) {
    DatabricksODBCConnector connector;
    ConfigCategory category = settings(warehouse, 4);
    ASSERT_TRUE(connector.configure(&category));
    Batch batch;
    fill(batch, 12, 5, T0);
    ASSERT_TRUE(connector.send(batch.pointers()));
    for (int t = 0; t < 12; ++t) {
        EXPECT_EQ(count("asset" + std::to_string(t)), 5) << t;
        EXPECT_EQ(repeated("asset" + std::to_string(t)), 0) << t;
    }
}

TEST_F(ParallelWriters, AFailedTableIsWrittenOnResendAndTheOthersAreNotRepeated) {
    DatabricksODBCConnector connector;
    ConfigCategory category = settings(warehouse, 4);
    ASSERT_TRUE(connector.configure(&category));
    // A retriable failure of one table's INSERT: the batch is refused.
    warehouse.addFault("HYT00", 1, "INSERT INTO `asset3`");
    Batch batch;
    fill(batch, 6, 4, T0);
    EXPECT_FALSE(connector.send(batch.pointers()));
    EXPECT_EQ(count("asset0"), 4);
    // The host sends the same batch again: only asset3 is written.
    ASSERT_TRUE(connector.send(batch.pointers()));
    for (int t = 0; t < 6; ++t) {
        EXPECT_EQ(count("asset" + std::to_string(t)), 4) << t;
        EXPECT_EQ(repeated("asset" + std::to_string(t)), 0) << t;
    }
}

TEST_F(ParallelWriters, RefusedRowsOfOneTableAreIsolatedWhileTheOthersAreWritten) {
    // A constraint the plugin cannot know of: asset2 needs `req`.
    warehouse.query(
        "CREATE TABLE asset2 (asset_code STRING NOT NULL, user_ts TIMESTAMP, ts TIMESTAMP, "
        "corvane STRING, n BIGINT, req BIGINT NOT NULL)");
    DatabricksODBCConnector connector;
    ConfigCategory category = settings(warehouse, 4);
    ASSERT_TRUE(connector.configure(&category));
    Batch batch;
    for (int r = 0; r < 3; ++r) {
        for (int t = 0; t < 4; ++t) {
            Reading& reading =
                batch.add("asset" + std::to_string(t), T0 + static_cast<uint64_t>(r * 4 + t));
            reading.addDatapoint(intPoint("n", r));
            if (t == 2 && r != 1)
                reading.addDatapoint(intPoint("req", 1));
        }
    }
    ASSERT_TRUE(connector.send(batch.pointers()));
    EXPECT_EQ(count("asset0"), 3);
    EXPECT_EQ(count("asset1"), 3);
    EXPECT_EQ(count("asset3"), 3);
    EXPECT_EQ(warehouse.query("SELECT n FROM asset2 ORDER BY n"), (Rows{{"0"}, {"2"}}));
    EXPECT_EQ(warehouse.query("SELECT table_name, sqlstate FROM lakesink_rejects"),
              (Rows{{"asset2", "23502"}}));
}

TEST_F(ParallelWriters, AnOutageMidBatchLosesNothingAndRepeatsNothing) {
    DatabricksODBCConnector connector;
    connector.setJitter([] { return 0.0; });
    ConfigCategory category = settings(warehouse, 3);
    ASSERT_TRUE(connector.configure(&category));
    // The link drops on two of the tables' INSERTs.
    warehouse.addFault("08S01", 2, "INSERT INTO `asset1`");
    warehouse.addFault("08S01", 1, "INSERT INTO `asset4`");
    Batch batch;
    fill(batch, 5, 3, T0);
    int attempts = 0;
    while (!connector.send(batch.pointers()) && attempts < 5) {
        ++attempts;
        // The next attempt may wait for the retry interval of the primary
        // connection: let it pass.
        connector.setClock([] { return std::chrono::steady_clock::now() + std::chrono::hours(1); });
    }
    ASSERT_LT(attempts, 5);
    for (int t = 0; t < 5; ++t) {
        EXPECT_EQ(count("asset" + std::to_string(t)), 3) << t;
        EXPECT_EQ(repeated("asset" + std::to_string(t)), 0) << t;
    }
}

TEST_F(ParallelWriters, ReconfiguringTheWritersBetweenBatchesKeepsWriting) {
    DatabricksODBCConnector connector;
    for (int writers : {4, 2, 1, 8}) {
        ConfigCategory category = settings(warehouse, writers);
        ASSERT_TRUE(connector.configure(&category));
        Batch batch;
        fill(batch, 3, 2, T0 + static_cast<uint64_t>(writers) * 1000);
        ASSERT_TRUE(connector.send(batch.pointers())) << writers;
    }
    for (int t = 0; t < 3; ++t)
        EXPECT_EQ(count("asset" + std::to_string(t)), 8) << t;
}

namespace {
// The primary connection, keeping the schema statements it runs.
class SchemaCountingClient : public ODBCClient {
  public:
    QueryResult executeQuery(const std::string& sql) override {
        if (sql.rfind("CREATE", 0) == 0 || sql.rfind("ALTER", 0) == 0)
            schemaSteps.push_back(sql);
        return ODBCClient::executeQuery(sql);
    }
    std::vector<std::string> schemaSteps;
};
}  // namespace

// The CREATEs and ALTERs of a batch's tables run on the writers, side by
// side; a step refused there is settled as the table's own step's refusal.
TEST_F(ParallelWriters, SchemaStepsOfDifferentTablesRunOnTheWriters) {
    auto* primary = new SchemaCountingClient();
    DatabricksODBCConnector connector(primary);
    ConfigCategory category = settings(warehouse, 4);
    ASSERT_TRUE(connector.configure(&category));
    LogCapture log;
    Batch created;
    fill(created, 12, 2, T0);
    ASSERT_TRUE(connector.send(created.pointers()));
    EXPECT_TRUE(primary->schemaSteps.empty());
    // Five connections opened, one connect announced.
    EXPECT_EQ(log.count(Logger::Level::INFO, "Connected to the database successfully."), 1u);

    // A new datapoint in every table: one ALTER each, on the writers too.
    Batch altered;
    for (int t = 0; t < 12; ++t) {
        Reading& reading = altered.add("asset" + std::to_string(t), T0 + 100 + t);
        reading.addDatapoint(intPoint("n", 9));
        reading.addDatapoint(intPoint("m", t));
    }
    ASSERT_TRUE(connector.send(altered.pointers()));
    EXPECT_TRUE(primary->schemaSteps.empty());

    // A CREATE refused on a writer as one that may pass later fails the
    // batch, as a refused schema step does; the resend creates it.
    warehouse.addFault("HYT00", 1, "CREATE TABLE `asset13`");
    Batch more;
    fill(more, 16, 1, T0 + 1000);
    EXPECT_FALSE(connector.send(more.pointers()));
    EXPECT_TRUE(primary->schemaSteps.empty());
    ASSERT_TRUE(connector.send(more.pointers()));
    ASSERT_EQ(primary->schemaSteps.size(), 1u);
    EXPECT_THAT(primary->schemaSteps[0], ::testing::HasSubstr("`asset13`"));
    for (int t = 0; t < 16; ++t) {
        const std::string table = "asset" + std::to_string(t);
        EXPECT_EQ(count(table), t < 12 ? 4 : 1) << t;
        EXPECT_EQ(repeated(table), 0) << t;
    }
    EXPECT_EQ(warehouse.query("SELECT COUNT(m) FROM asset5"), (Rows{{"1"}}));
}

TEST_F(ParallelWriters, ShutdownWithIdleWritersIsClean) {
    LoadedPlugin plugin;
    ConfigCategory category = settings(warehouse, 4);
    PLUGIN_HANDLE handle = plugin.init(&category);
    Batch batch;
    fill(batch, 5, 2, T0);
    EXPECT_EQ(plugin.sendFn(handle, batch.pointers()), batch.size());
    plugin.shutdown(handle);
    EXPECT_EQ(count("asset4"), 2);
}

TEST_F(ParallelWriters, FailedRecoveriesNeverRepeatTheTablesTheWritersWrote) {
    // Table b is dropped behind the plugin's back, and its self-heal CREATE
    // fails once for a transient reason; table c holds a row the warehouse
    // refuses, and the rejects table is refused twice. The writers meanwhile
    // write a, d and e. However the resends go, every table ends with each
    // reading exactly once.
    DatabricksODBCConnector connector;
    ConfigCategory category = settings(warehouse, 4);
    ASSERT_TRUE(connector.configure(&category));
    Batch first;
    fill(first, 5, 1, T0);
    ASSERT_TRUE(connector.send(first.pointers()));
    warehouse.query("DROP TABLE asset1");
    warehouse.query(
        "CREATE TABLE asset2b (asset_code STRING NOT NULL, user_ts TIMESTAMP, ts TIMESTAMP, "
        "corvane STRING, n BIGINT, req BIGINT NOT NULL)");
    warehouse.addFault("HYT00", 1, "CREATE TABLE `asset1`");
    warehouse.addFault("HYT00", 2, "INSERT INTO `lakesink_rejects`");

    Batch batch;
    fill(batch, 5, 4, T0 + 1000);
    for (int r = 0; r < 3; ++r) {
        Reading& reading = batch.add("asset2b", T0 + 2000 + static_cast<uint64_t>(r));
        reading.addDatapoint(intPoint("n", r));
        if (r != 1)
            reading.addDatapoint(intPoint("req", 1));
    }
    int attempts = 0;
    while (!connector.send(batch.pointers()) && attempts < 10)
        ++attempts;
    ASSERT_LT(attempts, 10);
    EXPECT_GT(attempts, 0);
    EXPECT_EQ(count("asset0"), 5);
    EXPECT_EQ(count("asset1"), 4);  // dropped: only this batch's rows
    for (const char* table : {"asset0", "asset1", "asset2", "asset3", "asset4", "asset2b"})
        EXPECT_EQ(repeated(table), 0) << table;
    for (int t : {2, 3, 4})
        EXPECT_EQ(count("asset" + std::to_string(t)), 5) << t;
    EXPECT_EQ(warehouse.query("SELECT n FROM asset2b ORDER BY n"), (Rows{{"0"}, {"2"}}));
    EXPECT_EQ(warehouse.query("SELECT table_name, sqlstate FROM lakesink_rejects"),
              (Rows{{"asset2b", "23502"}}));
}

TEST_F(ParallelWriters, EveryRowRefusedCostsABoundedNumberOfStatementsAndLosesNothing) {
    // Every row lacks a column the table requires: halving would cost 999
    // statements for 500 rows.
    warehouse.query(
        "CREATE TABLE strict (asset_code STRING NOT NULL, user_ts TIMESTAMP, ts TIMESTAMP, "
        "corvane STRING, n BIGINT, req BIGINT NOT NULL)");
    for (int writers : {1, 4}) {
        TracedConnector connector;
        ConfigCategory category = settings(warehouse, writers);
        ASSERT_TRUE(connector.configure(&category));
        Batch batch;
        for (int r = 0; r < 500; ++r)
            batch.add("strict", T0 + static_cast<uint64_t>(writers * 1000 + r))
                .addDatapoint(intPoint("n", r));
        batch.add("healthy", T0 + static_cast<uint64_t>(writers)).addDatapoint(intPoint("n", 1));
        ASSERT_TRUE(connector.send(batch.pointers())) << writers;
        EXPECT_LE(connector.statements().startingWith("INSERT INTO `strict`"),
                  1 + TableWriter::kIsolationBudget)
            << writers;
        EXPECT_EQ(count("strict"), 0);
        EXPECT_EQ(count("healthy"), writers == 1 ? 1 : 2);
    }
    // Every refused reading is kept, each once, with the warehouse's reason;
    // those the budget left undecided say they were refused together.
    EXPECT_EQ(warehouse.query("SELECT COUNT(*), COUNT(DISTINCT ts) FROM lakesink_rejects WHERE "
                              "table_name = 'strict' AND sqlstate = '23502'"),
              (Rows{{"1000", "1000"}}));
    EXPECT_NE(warehouse.query("SELECT COUNT(*) FROM lakesink_rejects WHERE reason LIKE "
                              "'refused together with other rows%'")[0][0],
              "0");
}

TEST_F(ParallelWriters, ATableTheWarehouseWillNeverCreateSendsItsReadingsToTheRejects) {
    DatabricksODBCConnector connector;
    ConfigCategory category = settings(warehouse, 4);
    ASSERT_TRUE(connector.configure(&category));
    // An access rule refuses the table for good; a retriable refusal of
    // another table still fails the batch, and nothing goes to the rejects
    // for it.
    // (One refusal is enough: an access rule is not retried. A larger count
    // would refuse the rejects row too, whose reason quotes the fault.)
    warehouse.addFault("42000", 1, "CREATE TABLE `locked`");
    warehouse.addFault("HYT00", 1, "CREATE TABLE `later`");
    Batch batch;
    fill(batch, 3, 2, T0);
    for (const char* asset : {"locked", "later"})
        batch.add(asset, T0 + 100).addDatapoint(intPoint("n", 7));
    EXPECT_FALSE(connector.send(batch.pointers()));
    ASSERT_TRUE(connector.send(batch.pointers()));
    for (int t = 0; t < 3; ++t)
        EXPECT_EQ(count("asset" + std::to_string(t)), 2) << t;
    EXPECT_EQ(count("later"), 1);
    EXPECT_EQ(warehouse.query("SELECT table_name, asset_code, sqlstate FROM lakesink_rejects"),
              (Rows{{"locked", "locked", "42000"}}));
}

TEST_F(ParallelWriters, ATableCutIntoSeveralStatementsLosesAndRepeatsNothingOnResend) {
    // The warehouse refuses any statement over 64 KiB; the rows of one table
    // make about four of them, and the second fails once.
    { std::ofstream(warehouse.directory() + "/limits") << "statement_bytes 65536\n"; }
    TracedConnector connector;
    ConfigCategory category =
        settings(warehouse, 4, R"(, "maxStatementBytes": {"value": "65536"})");
    ASSERT_TRUE(connector.configure(&category));
    Batch batch;
    for (int r = 0; r < 24; ++r) {
        Reading& reading = batch.add("big", T0 + static_cast<uint64_t>(r));
        reading.addDatapoint(intPoint("n", r));
        reading.addDatapoint(textPoint("text", std::string(10000, static_cast<char>('a' + r))));
    }
    fill(batch, 2, 1, T0 + 100);
    warehouse.addFault("HYT00", 1, "INSERT INTO `big`");
    EXPECT_FALSE(connector.send(batch.pointers()));
    EXPECT_GE(connector.statements().startingWith("INSERT INTO `big`"), 4u);
    ASSERT_TRUE(connector.send(batch.pointers()));
    EXPECT_EQ(warehouse.query("SELECT COUNT(*), COUNT(DISTINCT n), MIN(n), MAX(n) FROM big"),
              (Rows{{"24", "24", "0", "23"}}));
    EXPECT_EQ(count("asset0"), 1);
    EXPECT_EQ(count("asset1"), 1);
}

TEST_F(ParallelWriters, ARowLongerThanTheLimitGoesAlone) {
    TracedConnector connector;
    ConfigCategory category =
        settings(warehouse, 1, R"(, "maxStatementBytes": {"value": "65536"})");
    ASSERT_TRUE(connector.configure(&category));
    Batch batch;
    for (int r = 0; r < 3; ++r) {
        Reading& reading = batch.add("wide", T0 + static_cast<uint64_t>(r));
        reading.addDatapoint(intPoint("n", r));
        reading.addDatapoint(textPoint("text", std::string(r == 1 ? 100000 : 10, 'x')));
    }
    ASSERT_TRUE(connector.send(batch.pointers()));
    EXPECT_EQ(connector.statements().startingWith("INSERT INTO `wide`"), 3u);
    EXPECT_EQ(warehouse.query("SELECT n, length(text) FROM wide ORDER BY n"),
              (Rows{{"0", "10"}, {"1", "100000"}, {"2", "10"}}));
}

TEST_F(ParallelWriters, ALostAnswerIsResentAsAMergeThatSkipsTheRowsItCommitted) {
    TracedConnector connector;
    connector.setJitter([] { return 0.0; });
    ConfigCategory category = settings(warehouse, 4);
    ASSERT_TRUE(connector.configure(&category));
    // The warehouse commits asset2's INSERT, then the link drops before its
    // answer arrives.
    { std::ofstream(warehouse.directory() + "/faults") << "after 08S01 1 INTO `asset2`\n"; }
    Batch batch;
    fill(batch, 6, 4, T0);
    EXPECT_FALSE(connector.send(batch.pointers()));
    EXPECT_EQ(count("asset2"), 4);
    // The resend (after the reconnect pause) writes only asset2, checking
    // each row against the table: all four are there, none is added.
    connector.setClock([] { return std::chrono::steady_clock::now() + std::chrono::hours(1); });
    ASSERT_TRUE(connector.send(batch.pointers()));
    EXPECT_EQ(connector.statements().into("MERGE INTO", "asset2"), 1u);
    EXPECT_EQ(connector.statements().into("MERGE INTO"), 1u);
    EXPECT_EQ(connector.statements().into("INSERT INTO", "asset2"), 1u);
    for (int t = 0; t < 6; ++t) {
        EXPECT_EQ(count("asset" + std::to_string(t)), 4) << t;
        EXPECT_EQ(repeated("asset" + std::to_string(t)), 0) << t;
    }
    // Its rows are known to be in the table now: the next batch inserts.
    Batch next;
    fill(next, 6, 1, T0 + 1000);
    ASSERT_TRUE(connector.send(next.pointers()));
    EXPECT_EQ(connector.statements().into("MERGE INTO"), 1u);
    EXPECT_EQ(connector.statements().into("INSERT INTO", "asset2"), 2u);
    EXPECT_EQ(count("asset2"), 5);
}

struct RestartCase {
    const char* delivery;
    size_t mergesOfTheResend;  // statements MERGE INTO of the resent batch
    long repeatedPerTable;     // rows of asset0 written by both processes
};

TEST_F(ParallelWriters, ABatchResentAfterARestartHoldsEachReadingOnceUnlessAtLeastOnce) {
    const RestartCase cases[] = {{"exactly-once", 4, 0}, {"at-least-once", 0, 5}};
    uint64_t start = T0;
    for (const RestartCase& c : cases) {
        SCOPED_TRACE(c.delivery);
        TempWarehouse site;
        auto rows = [&](const std::string& table, const std::string& what) {
            return std::stol(site.query("SELECT " + what + " FROM " + table)[0][0]);
        };
        const std::string delivery =
            std::string(R"(, "delivery": {"value": ")") + c.delivery + R"("})";
        Batch block;
        fill(block, 4, 5, start);
        {
            // The first process writes every table of the block but asset3,
            // whose INSERT is refused, and then stops. (The last table: after
            // a failed table no further one is started, which on several
            // writers depends on timing.)
            DatabricksODBCConnector first;
            ConfigCategory category = settings(site, 4, delivery);
            ASSERT_TRUE(first.configure(&category));
            site.addFault("HYT00", 1, "INSERT INTO `asset3`");
            EXPECT_FALSE(first.send(block.pointers()));
            ASSERT_EQ(rows("asset0", "COUNT(*)"), 5);
        }
        // After the restart the host sends the block again, with readings
        // the first process never saw, one of them for a new table.
        Batch resend;
        fill(resend, 4, 5, start);
        fill(resend, 5, 2, start + 1000);
        TracedConnector second;
        ConfigCategory category = settings(site, 4, delivery);
        ASSERT_TRUE(second.configure(&category));
        ASSERT_TRUE(second.send(resend.pointers()));
        EXPECT_EQ(second.statements().into("MERGE INTO"), c.mergesOfTheResend);
        EXPECT_EQ(second.statements().into("INSERT INTO", "asset4"), 1u);  // created just now
        for (int t = 0; t < 4; ++t) {
            const std::string table = "asset" + std::to_string(t);
            EXPECT_EQ(rows(table, "COUNT(DISTINCT ts)"), 7) << table;
            EXPECT_EQ(rows(table, "COUNT(*) - COUNT(DISTINCT ts)"), t == 3 ? 0 : c.repeatedPerTable)
                << table;
        }
        EXPECT_EQ(rows("asset4", "COUNT(*)"), 2);
        // That batch found rows already there, so the next one is still
        // checked; it finds none, and the one after it is inserted plainly.
        for (size_t round = 1; round <= 2; ++round) {
            second.statements().clear();
            Batch later;
            fill(later, 5, 1, start + 1000 * (round + 1));
            ASSERT_TRUE(second.send(later.pointers()));
            EXPECT_EQ(second.statements().into("MERGE INTO"), round == 1 ? c.mergesOfTheResend : 0)
                << round;
            EXPECT_EQ(second.statements().into("INSERT INTO"),
                      5 - (round == 1 ? c.mergesOfTheResend : 0))
                << round;
        }
        EXPECT_EQ(rows("asset0", "COUNT(*)"), 9 + c.repeatedPerTable);
        start += 100000;
    }
}

TEST_F(ParallelWriters, IsolatingOneTableHoldsNoOtherTableBack) {
    warehouse.query(
        "CREATE TABLE alpha (asset_code STRING NOT NULL, user_ts TIMESTAMP, ts TIMESTAMP, "
        "corvane STRING, n BIGINT, req BIGINT NOT NULL)");
    for (int writers : {1, 4}) {
        TracedConnector connector;
        ConfigCategory category = settings(warehouse, writers);
        ASSERT_TRUE(connector.configure(&category));
        Batch batch;
        for (int r = 0; r < 8; ++r) {
            Reading& reading = batch.add("alpha", T0 + static_cast<uint64_t>(writers * 100 + r));
            reading.addDatapoint(intPoint("n", r));
            if (r != 3)
                reading.addDatapoint(intPoint("req", 1));
        }
        for (const char* asset : {"beta", "gamma"})
            batch.add(asset, T0 + static_cast<uint64_t>(writers)).addDatapoint(intPoint("n", 1));
        ASSERT_TRUE(connector.send(batch.pointers()));
        // Statements into each table (INSERT, or MERGE for a table that was
        // there before the connector), in the order they ran.
        std::vector<std::string> order;
        for (const std::string& sql : connector.statements().all()) {
            for (const char* table : {"alpha", "beta", "gamma"}) {
                const std::string into = " INTO `" + std::string(table) + "`";
                if (sql.rfind("INSERT" + into, 0) == 0 || sql.rfind("MERGE" + into, 0) == 0)
                    order.push_back(table);
            }
        }
        // alpha's first statement runs with the others (in any order on
        // several writers); its isolation starts only after beta and gamma.
        const auto alphaAgain =
            std::find(std::find(order.begin(), order.end(), "alpha") + 1, order.end(), "alpha");
        ASSERT_NE(alphaAgain, order.end()) << writers;
        EXPECT_NE(std::find(order.begin(), alphaAgain, "beta"), alphaAgain) << writers;
        EXPECT_NE(std::find(order.begin(), alphaAgain, "gamma"), alphaAgain) << writers;
    }
    EXPECT_EQ(count("alpha"), 14);
    EXPECT_EQ(warehouse.query("SELECT COUNT(*) FROM lakesink_rejects"), (Rows{{"2"}}));
}

TEST_F(ParallelWriters,
       ASchemaThatRefusesNewTablesAndAColumnLimitSendOnlyTheirReadingsToTheRejects) {
    DatabricksODBCConnector connector;
    ConfigCategory category = settings(warehouse, 4);
    ASSERT_TRUE(connector.configure(&category));
    // The rejects table and `narrow` exist; then new tables are refused, and
    // no table may have more than 6 columns.
    Batch first;
    first.add("narrow", T0).addDatapoint(intPoint("a", 1));
    first.add("", T0 + 1).addDatapoint(intPoint("a", 1));
    ASSERT_TRUE(connector.send(first.pointers()));
    { std::ofstream(warehouse.directory() + "/deny_create") << ""; }
    { std::ofstream(warehouse.directory() + "/limits") << "columns 6\n"; }

    Batch batch;
    batch.add("narrow", T0 + 10).addDatapoint(intPoint("a", 2));
    Reading& wide = batch.add("narrow", T0 + 11);
    wide.addDatapoint(intPoint("a", 3));
    wide.addDatapoint(intPoint("b", 3));
    wide.addDatapoint(intPoint("c", 3));
    batch.add("brandnew", T0 + 12).addDatapoint(intPoint("a", 4));
    ASSERT_TRUE(connector.send(batch.pointers()));
    // The readings that fit are written; the others are kept with the
    // warehouse's reason, and nothing stalls.
    EXPECT_EQ(warehouse.query("SELECT a FROM narrow ORDER BY a"), (Rows{{"1"}, {"2"}}));
    EXPECT_EQ(warehouse.query("SELECT table_name, sqlstate FROM lakesink_rejects WHERE "
                              "table_name <> '' ORDER BY table_name"),
              (Rows{{"brandnew", "42501"}, {"narrow", "54011"}}));
}

namespace {
// A client that connects at once and takes a moment for every statement.
class SlowClient : public ODBCClient {
  public:
    void Init() override {}
    ODBCStatus Connect(const std::string&) override { return CORVANE_ODBC_SUCCESS; }
    bool isConnected() override { return true; }
    void Destroy() override {}
    QueryResult executeQuery(const std::string& sql) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        QueryResult result;
        result.success = true;
        result.rows.push_back({sql});
        return result;
    }
};
}  // namespace

TEST(ParallelWriterPool, ClosingHalfwayKeepsTheOutcomesNotYetTaken) {
    // A dead primary link closes the pool while a batch still waits for its
    // statements: every ticket must still get its outcome.
    SlowClient primary;
    WriterPool pool(primary, [] { return std::make_unique<SlowClient>(); });
    pool.configure(3, "conn");
    pool.setParallel(true);
    std::vector<WriterPool::Ticket> tickets;
    for (int i = 0; i < 7; ++i)
        tickets.push_back(pool.submit("statement " + std::to_string(i)));
    pool.close();
    for (int i = 0; i < 7; ++i) {
        const WriterPool::Outcome done = pool.take(tickets[static_cast<size_t>(i)]);
        EXPECT_EQ(done.kind, WriterPool::Outcome::Kind::Written) << i;
        EXPECT_EQ(done.rows, (QueryRows{{"statement " + std::to_string(i)}})) << i;
    }
    // Inline, on the primary client, the outcome is there at once.
    pool.setParallel(false);
    const WriterPool::Ticket inline_ = pool.submit("inline");
    EXPECT_TRUE(pool.isDone(inline_));
    EXPECT_EQ(pool.take(inline_).rows, (QueryRows{{"inline"}}));
}
