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
#include "connection_secrets.h"
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
// Secrets under names that say nothing of a secret: only an allowlist of
// harmless keys may be shown.
const std::string kPassphrase = "Pass-Dunlin-70";
const std::string kJwt = "eyJhbGciOiJub25lIn0.Godwit-JWT";
const std::string kApiKey = "key Sandpiper 31";
const std::string kOpaque = "Whimbrel";

const std::vector<std::string>& secrets() {
    static const std::vector<std::string> all = {
        kPassword, kWrongPassword, kToken, kClientSecret, kProxyPassword, kPassphrase, kJwt,
        kApiKey,
        // Distinctive parts, in case a secret is logged cut, quoted or braced.
        "Kestrel", "Heron", "Osprey", "Plover", "Curlew", "Dunlin", "Godwit", "Sandpiper", kOpaque};
    return all;
}

// The additionalParams item as a JSON object: the warehouse, OAuth settings of
// a service principal, and secrets under names of every sort.
std::string additionalParams(const TempWarehouse& warehouse) {
    return R"({"Warehouse": ")" + jsonEscaped(warehouse.directory()) +
           R"(", "Auth_AccessToken": ")" + jsonEscaped(kToken) + R"(", "Auth_Client_Secret": ")" +
           jsonEscaped(kClientSecret) + R"(", "ProxyPWD": ")" + jsonEscaped(kProxyPassword) +
           R"(", "SSLKeyPassphrase": ")" + kPassphrase + R"(", "Auth_JWT": ")" + kJwt +
           R"(", "ApiKey": ")" + kApiKey + R"(", "x-opaque": ")" + kOpaque +
           R"(", "AuthMech": "11", "auth_flow": "1", "Auth_Client_ID": "sp-client-id-1",)"
           R"( "Auth_Scope": "all-apis", "SSL": "1"})";
}

// Values of keys known to hold no secret, which the configuration line shows.
const std::vector<std::string>& shownSettings() {
    static const std::vector<std::string> all = {
        "AuthMech=11;",         "auth_flow=1;", "Auth_Client_ID=sp-client-id-1;",
        "Auth_Scope=all-apis;", "SSL=1;",       "SSLKeyPassphrase=****;",
        "Auth_JWT=****;",       "ApiKey=****;", "x-opaque=****;"};
    return all;
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
        PluginInstance instance(plugin, categoryJson(warehouse, kPassword));
        Batch batch;
        Reading& r = batch.add("pump", T0);
        r.addDatapoint(floatPoint("temperature", 21.5));
        r.addDatapoint(textPoint("state", "ok"));
        ASSERT_EQ(instance.send(batch), 1u);
        // A new column, a refused INSERT, the warehouse away and back.
        Batch wider;
        Reading& w = wider.add("pump", T0 + 1);
        w.addDatapoint(intPoint("count", 3));
        ASSERT_EQ(instance.send(wider), 1u);
        warehouse.addFault("HYT00", 1, "INSERT INTO");
        EXPECT_EQ(instance.send(wider), 0u);
        warehouse.setOffline(true);
        EXPECT_EQ(instance.send(batch), 0u);
        EXPECT_EQ(instance.send(batch), 0u);
        warehouse.setOffline(false);
    }
    {
        // A rejected login.
        PluginInstance instance(plugin, categoryJson(warehouse, kWrongPassword));
        Batch batch;
        batch.add("pump", T0 + 2).addDatapoint(intPoint("count", 4));
        EXPECT_EQ(instance.send(batch), 0u);
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
    // Harmless settings are shown, every other value is masked.
    for (const std::string& shown : shownSettings())
        EXPECT_TRUE(log.contains(shown)) << shown;
    for (const auto& [level, text] : entries) {
        EXPECT_THAT(leaks(text), ::testing::IsEmpty())
            << Logger::levelName(level) << ": " << text.substr(0, 300);
    }
}

struct NorthRun {
    const char* name;
    bool rightPassword;
    bool offline;
    int status;  // corvane-north's exit status
};

// corvane-north's standard error at every log level, in a successful run, a
// run whose login is refused and a run while the warehouse is offline.
TEST(Secrets, CorvaneNorthPrintsNoSecretAtAnyLevelInAnyRun) {
    const NorthRun runs[] = {
        {"successful", true, false, 0},
        {"failed login", false, false, 2},
        {"offline", true, true, 2},
    };
    for (const char* level : {"debug", "info", "warning", "error"}) {
        for (const NorthRun& run : runs) {
            SCOPED_TRACE(std::string(run.name) + " run at " + level);
            TempWarehouse warehouse;
            warehouse.setCredentials("ingest:" + kPassword + "\n");
            warehouse.setOffline(run.offline);
            const std::string config = warehouse.directory() + "/config.json";
            std::ofstream(config) << R"({"user": "ingest", "password": ")"
                                  << jsonEscaped(run.rightPassword ? kPassword : kWrongPassword)
                                  << R"(", "additionalParams": )" << additionalParams(warehouse)
                                  << "}";
            const Outcome outcome = runNorthProcess(
                {"--config", config, "--generate", "20", "--block-size", "10", "--max-attempts",
                 "3", "--max-backoff", "0.01", "--log-level", level});
            EXPECT_EQ(outcome.status, run.status) << outcome.err.substr(0, 2000);
            EXPECT_THAT(leaks(outcome.err), ::testing::IsEmpty());
            const bool detailed = std::string(level) == "debug" || std::string(level) == "info";
            if (detailed) {
                for (const std::string& shown : shownSettings())
                    EXPECT_NE(outcome.err.find(shown), std::string::npos) << shown;
            }
            if (!run.rightPassword) {
                EXPECT_NE(outcome.err.find("SQLSTATE=28000"), std::string::npos);
                // One login attempt for all sends: a failed login is not retried.
                size_t attempts = 0;
                for (size_t at = outcome.err.find("Connection failed due to non-retriable error");
                     at != std::string::npos;
                     at =
                         outcome.err.find("Connection failed due to non-retriable error", at + 1)) {
                    ++attempts;
                }
                EXPECT_EQ(attempts, 1u);
            }
            if (run.offline) {
                EXPECT_NE(outcome.err.find("SQLSTATE=08001"), std::string::npos);
            }
        }
    }
}

struct MaskCase {
    const char* text;
    const char* shown;
};

// Only values of keys on the allowlist survive; keys of any other name, in any
// case, braced or not, are masked.
TEST(SecretsMask, OnlyAllowlistedValuesAreShown) {
    const MaskCase cases[] = {
        {"", ""},
        {"HTTPPath=/sql/1.0/warehouses/abc;SSL=1;", "HTTPPath=/sql/1.0/warehouses/abc;SSL=1;"},
        {"httppath=/x;ssl=1;authmech=11;AUTH_FLOW=1;",
         "httppath=/x;ssl=1;authmech=11;AUTH_FLOW=1;"},
        {"Auth_Client_ID=abc;Auth_Client_Secret=s3;",
         "Auth_Client_ID=abc;Auth_Client_Secret=****;"},
        {"SSLKeyPassphrase=p;Auth_JWT=j;ApiKey=k;Z=1;",
         "SSLKeyPassphrase=****;Auth_JWT=****;ApiKey=****;Z=****;"},
        {"Catalog={a;b}}c};Token={x;y=z};", "Catalog={a;b}}c};Token=****;"},
        {"Driver={DatabricksODBCDriver};Host=h;Port=443;UID=u;PWD={p;w};SCHEMA=s;",
         "Driver={DatabricksODBCDriver};Host=h;Port=443;UID=u;PWD=****;SCHEMA=s;"},
        {"Warehouse=/tmp/w;Secret=", "Warehouse=/tmp/w;Secret=****;"},
    };
    for (const MaskCase& c : cases)
        EXPECT_EQ(maskConnectionText(c.text), c.shown) << c.text;
}

TEST(SecretsMask, DriverMessagesLoseTheSecretsOfTheirConnection) {
    const std::string connection =
        "Driver={DatabricksODBCDriver};Host=h1;UID=ingest;PWD={pw;1};SCHEMA=s;"
        "SSLKeyPassphrase=Dunlin;Auth_Client_ID=sp-1;";
    EXPECT_EQ(hideConnectionSecrets("login ingest/pw;1 to h1 with Dunlin (client sp-1), Dunlin",
                                    connection),
              "login ingest/**** to h1 with **** (client sp-1), ****");
    EXPECT_EQ(hideConnectionSecrets("attribute PWD={pw;1} refused", connection),
              "attribute PWD=**** refused");
    EXPECT_EQ(hideConnectionSecrets("nothing to hide", connection), "nothing to hide");
    // Values too short to be secrets leave the message readable.
    EXPECT_EQ(hideConnectionSecrets("Unexpected x 1", "DSN=x;Token=x;Flag=1;"), "Unexpected x 1");
}
