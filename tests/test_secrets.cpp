// Secrets never reach the log. Whole sessions run at debug level with a
// recognisable password and secret-looking additional connection parameters:
// configuration, connection, schema discovery, creation, inserts, a refused
// statement, the warehouse going away and coming back, a rejected login and a
// reconfiguration. Every message of every level is captured in-process, and
// corvane-north's standard error at --log-level debug is read whole; neither
// may contain any of the secrets.

#include <dlfcn.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config_category.h"
#include "databricks_odbc_connector.h"
#include "loaded_plugin.h"
#include "log_capture.h"
#include "north_process.h"
#include "plugin.h"
#include "readings.h"
#include "warehouse.h"

extern char** environ;

using Level = Logger::Level;

namespace {

const uint64_t T0 = 1767225600000000ULL;

const std::string kPassword = "Pw-7Q2x;{Kestrel}-91";
const std::string kWrongPassword = "Pw-Wr0ng-Heron-55";
const std::string kToken = "dapi-Tok3n-Osprey-4f6e";
const std::string kClientSecret = "Sec{ret}-Plover-x9";
const std::string kProxyPassword = "Prx-Curlew-2b8";

const std::vector<std::string>& secrets() {
    static const std::vector<std::string> all = {
        kPassword, kWrongPassword, kToken, kClientSecret, kProxyPassword,
        // Distinctive parts, in case a secret is logged cut, quoted or braced.
        "Kestrel", "Heron", "Osprey", "Plover", "Curlew"};
    return all;
}

// The additionalParams item as a JSON object.
std::string additionalParams(const TempWarehouse& warehouse) {
    return R"({"Warehouse": ")" + jsonEscaped(warehouse.directory()) +
           R"(", "Auth_AccessToken": ")" + jsonEscaped(kToken) + R"(", "Auth_Client_Secret": ")" +
           jsonEscaped(kClientSecret) + R"(", "ProxyPWD": ")" + jsonEscaped(kProxyPassword) +
           R"(", "SSL": "1"})";
}

// A configuration category as the host hands it to plugin_init.
std::string categoryJson(const TempWarehouse& warehouse, const std::string& password) {
    return R"({"user": {"value": "ingest"}, "password": {"value": ")" + jsonEscaped(password) +
           R"("}, "additionalParams": {"value": ")" + jsonEscaped(additionalParams(warehouse)) +
           R"("}})";
}

std::vector<std::string> leaks(const std::string& text) {
    std::vector<std::string> found;
    for (const auto& secret : secrets()) {
        if (text.find(secret) != std::string::npos)
            found.push_back(secret);
    }
    return found;
}

using Outcome = NorthOutcome;

}  // namespace

TEST(Secrets, AWholeSessionAtDebugLevelLogsNoSecret) {
    TempWarehouse warehouse;
    warehouse.setCredentials("ingest:" + kPassword + "\n");
    LoadedPlugin plugin;
    Logger::getLogger()->setMinLevel(Level::ERROR);  // everything is captured all the same
    LogCapture log;
    {
        ConfigCategory category("lakesink", categoryJson(warehouse, kPassword));
        PLUGIN_HANDLE handle = plugin.init(&category);
        Batch batch;
        Reading& r = batch.add("pump", T0);
        r.addDatapoint(floatPoint("temperature", 21.5));
        r.addDatapoint(textPoint("state", "ok"));
        ASSERT_EQ(plugin.sendFn(handle, batch.pointers()), 1u);
        // A new column, a refused INSERT, the warehouse away and back.
        Batch wider;
        Reading& w = wider.add("pump", T0 + 1);
        w.addDatapoint(intPoint("count", 3));
        ASSERT_EQ(plugin.sendFn(handle, wider.pointers()), 1u);
        warehouse.addFault("HYT00", 1, "INSERT INTO");
        EXPECT_EQ(plugin.sendFn(handle, wider.pointers()), 0u);
        warehouse.setOffline(true);
        EXPECT_EQ(plugin.sendFn(handle, batch.pointers()), 0u);
        EXPECT_EQ(plugin.sendFn(handle, batch.pointers()), 0u);
        warehouse.setOffline(false);
        plugin.shutdown(handle);
    }
    {
        // A rejected login.
        ConfigCategory category("lakesink", categoryJson(warehouse, kWrongPassword));
        PLUGIN_HANDLE handle = plugin.init(&category);
        Batch batch;
        batch.add("pump", T0 + 2).addDatapoint(intPoint("count", 4));
        EXPECT_EQ(plugin.sendFn(handle, batch.pointers()), 0u);
        plugin.shutdown(handle);
    }
    {
        // Reconfiguration of a running connector, from the wrong password to
        // the right one.
        DatabricksODBCConnector connector;
        ConfigCategory wrong("lakesink", categoryJson(warehouse, kWrongPassword));
        ASSERT_TRUE(connector.configure(&wrong));
        Batch batch;
        batch.add("pump", T0 + 3).addDatapoint(intPoint("count", 5));
        EXPECT_FALSE(connector.send(batch.pointers()));
        ConfigCategory right("lakesink", categoryJson(warehouse, kPassword));
        ASSERT_TRUE(connector.configure(&right));
        EXPECT_TRUE(connector.send(batch.pointers()));
    }

    // The session did log at every level, the details included.
    const auto entries = log.entries();
    EXPECT_TRUE(log.contains("Executing query: INSERT INTO `pump`"));
    EXPECT_TRUE(log.contains("SQLSTATE=28000"));
    EXPECT_TRUE(log.contains("SQLSTATE=08001"));
    EXPECT_TRUE(log.contains("Database configuration set: Server=localhost"));
    EXPECT_TRUE(log.contains("Auth_AccessToken="));
    for (const auto& [level, text] : entries) {
        EXPECT_THAT(leaks(text), ::testing::IsEmpty())
            << Logger::levelName(level) << ": " << text.substr(0, 300);
    }
}

TEST(Secrets, CorvaneNorthAtDebugLevelPrintsNoSecret) {
    TempWarehouse warehouse;
    warehouse.setCredentials("ingest:" + kPassword + "\n");
    const std::string right = warehouse.directory() + "/right.json";
    const std::string wrong = warehouse.directory() + "/wrong.json";
    std::ofstream(right) << R"({"user": "ingest", "password": ")" << jsonEscaped(kPassword)
                         << R"(", "additionalParams": )" << additionalParams(warehouse) << "}";
    std::ofstream(wrong) << R"({"user": "ingest", "password": ")" << jsonEscaped(kWrongPassword)
                         << R"(", "additionalParams": )" << additionalParams(warehouse) << "}";

    const Outcome good = runNorthProcess(
        {"--config", right, "--generate", "40", "--block-size", "10", "--log-level", "debug"});
    EXPECT_EQ(good.status, 0) << good.err.substr(0, 2000);
    EXPECT_NE(good.err.find("DEBUG Executing query: INSERT INTO"), std::string::npos);
    EXPECT_THAT(leaks(good.err), ::testing::IsEmpty());

    const Outcome refused = runNorthProcess({"--config", wrong, "--generate", "5", "--max-attempts",
                                             "3", "--max-backoff", "0.01", "--log-level", "debug"});
    EXPECT_EQ(refused.status, 2) << refused.err.substr(0, 2000);
    EXPECT_NE(refused.err.find("SQLSTATE=28000"), std::string::npos);
    // One login attempt for all three sends: a failed login is not retried.
    size_t attempts = 0;
    for (size_t at = refused.err.find("Connection failed due to non-retriable error");
         at != std::string::npos;
         at = refused.err.find("Connection failed due to non-retriable error", at + 1)) {
        ++attempts;
    }
    EXPECT_EQ(attempts, 1u);
    EXPECT_THAT(leaks(refused.err), ::testing::IsEmpty());
}
