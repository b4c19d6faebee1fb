// Connection settings: reading the category, comparing settings, plausibility
// checks and the connection string (including values that must be braced and
// secrets that must never reach the log).

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "config_category.h"
#include "databricks_odbc_config.h"
#include "log_capture.h"
#include "odbc_config.h"

namespace {

const char* const PREFIX = "Driver={DatabricksODBCDriver};";

// A category with the given items, each written as {"value": ...}.
ConfigCategory category(const std::string& items) {
    return ConfigCategory("lakesink", "{" + items + "}");
}

std::string item(const std::string& name, const std::string& value) {
    return "\"" + name + "\": {\"value\": \"" + value + "\"}";
}

std::string kvItem(const std::string& json) {
    // The kvlist's value is the JSON text of an object, held in a string.
    std::string escaped;
    for (char c : json) {
        if (c == '"' || c == '\\')
            escaped += '\\';
        escaped += c;
    }
    return "\"additionalParams\": {\"value\": \"" + escaped + "\"}";
}

}  // namespace

TEST(ODBCConfigDefaults, ConstructorGivesDefaultsAndTheirConnectionString) {
    ODBCConfig config;
    EXPECT_EQ(config.server, "localhost");
    EXPECT_EQ(config.port, 443);
    EXPECT_EQ(config.schema, "default_schema");
    EXPECT_EQ(config.user, "default_user");
    EXPECT_EQ(config.password, "lisk");
    EXPECT_EQ(config.corvaneInstance, "corvaneInstance");
    EXPECT_EQ(config.source, "readings");
    EXPECT_EQ(config.additionalParams, "");
    EXPECT_EQ(config.getConnectionString(),
              std::string(PREFIX) +
                  "Host=localhost;Port=443;UID=default_user;PWD=lisk;SCHEMA=default_schema;");
}

TEST(ODBCConfigDefaults, MissingItemsFallBackToDefaults) {
    ConfigCategory empty = category("");
    ODBCConfig config;
    config.server = "other";
    config.port = 1;
    config.configure(&empty);
    EXPECT_EQ(config.server, "localhost");
    EXPECT_EQ(config.port, 443);
    EXPECT_EQ(config.additionalParams, "");
    EXPECT_EQ(config.getConnectionString(),
              std::string(PREFIX) +
                  "Host=localhost;Port=443;UID=default_user;PWD=lisk;SCHEMA=default_schema;");
}

TEST(ODBCConfigRead, ReadsEveryItemAndOrdersParametersByKey) {
    ConfigCategory c =
        category(item("server", "example-workspace") + "," + item("port", "8443") + "," +
                 item("schema", "sales") + "," + item("user", "ingest") + "," +
                 item("password", "s3cret") + "," + item("corvaneInstance", "edge-7") + "," +
                 item("source", "readings") + "," + kvItem("{\"b\": \"2\", \"a\": \"1\"}"));
    ODBCConfig config;
    config.configure(&c);
    EXPECT_EQ(config.server, "example-workspace");
    EXPECT_EQ(config.port, 8443);
    EXPECT_EQ(config.corvaneInstance, "edge-7");
    EXPECT_EQ(config.additionalParams, "a=1;b=2;");
    EXPECT_EQ(config.getConnectionString(),
              std::string(PREFIX) +
                  "Host=example-workspace;Port=8443;UID=ingest;PWD=s3cret;SCHEMA=sales;a=1;b=2;");
}

TEST(ODBCConfigRead, DefaultEmptyParameterListGivesNoTail) {
    ConfigCategory c = category(kvItem("{}"));
    ODBCConfig config;
    config.configure(&c);
    EXPECT_EQ(config.additionalParams, "");
    const std::string cs = config.getConnectionString();
    EXPECT_EQ(cs.substr(cs.size() - std::string("SCHEMA=default_schema;").size()),
              "SCHEMA=default_schema;");
}

TEST(ODBCConfigRead, BadPortIsLoggedAndThrownOn) {
    ConfigCategory c = category(item("port", "not-a-number"));
    ODBCConfig config;
    LogCapture log;
    EXPECT_THROW(config.configure(&c), std::exception);
    ASSERT_EQ(log.at(Logger::Level::ERROR).size(), 1u);
    EXPECT_EQ(log.at(Logger::Level::ERROR)[0].rfind("Error during configuration: ", 0), 0u);
}

TEST(ODBCConfigRead, InfoLineShowsSettingsButNeverSecrets) {
    ConfigCategory c = category(
        item("server", "host1") + "," + item("password", "Pa55word-XYZ") + "," +
        kvItem("{\"HTTPPath\": \"/sql/1\", \"Auth_AccessToken\": \"tok-123\", \"clientSecret\": "
               "\"sec-456\", \"PWD2\": \"p-789\"}"));
    ODBCConfig config;
    LogCapture log;
    config.configure(&c);
    EXPECT_TRUE(
        log.has(Logger::Level::INFO,
                "Database configuration set: Server=host1, Port=443, Schema=default_schema, "
                "Additional connection parameter=Auth_AccessToken=****;HTTPPath=/sql/1;"
                "PWD2=****;clientSecret=****;"));
    for (const char* secret : {"Pa55word-XYZ", "tok-123", "sec-456", "p-789"}) {
        EXPECT_FALSE(log.contains(secret)) << secret;
    }
    // The connection string itself carries the secrets to the driver.
    EXPECT_NE(config.getConnectionString().find("Auth_AccessToken=tok-123;"), std::string::npos);
}

struct BraceCase {
    const char* value;
    const char* written;
};

class ConnectionValue : public ::testing::TestWithParam<BraceCase> {};

TEST_P(ConnectionValue, BracesOnlyWhatCouldEndTheAttribute) {
    EXPECT_EQ(ODBCConfig::connectionValue(GetParam().value), GetParam().written);
}

INSTANTIATE_TEST_SUITE_P(Values, ConnectionValue,
                         ::testing::Values(BraceCase{"plain", "plain"}, BraceCase{"", ""},
                                           BraceCase{"with blank inside", "with blank inside"},
                                           BraceCase{"a;b", "{a;b}"}, BraceCase{"x}y", "{x}}y}"},
                                           BraceCase{"{z", "{{z}"}, BraceCase{" lead", "{ lead}"},
                                           BraceCase{"p;PWD=evil", "{p;PWD=evil}"},
                                           BraceCase{"}}", "{}}}}}"}));

TEST(ODBCConfigConnectionString, PasswordWithSemicolonCannotInjectAttributes) {
    ConfigCategory c =
        category(item("password", "pw;Warehouse=/tmp/evil") + "," + item("user", "u}ser"));
    ODBCConfig config;
    config.configure(&c);
    EXPECT_EQ(config.getConnectionString(),
              std::string(PREFIX) +
                  "Host=localhost;Port=443;UID={u}}ser};PWD={pw;Warehouse=/tmp/"
                  "evil};SCHEMA=default_schema;");
}

TEST(ODBCConfigConnectionString, ParameterValuesBracedUnlessAlreadyWellBraced) {
    ConfigCategory c = category(kvItem(
        "{\"A\": \"x;y\", \"B\": \"{kept;as=is}\", \"C\": \"{a};PWD=evil;Z={b}\", \"D\": \"1\"}"));
    ODBCConfig config;
    config.configure(&c);
    EXPECT_EQ(config.additionalParams, "A={x;y};B={kept;as=is};C={{a}};PWD=evil;Z={b}}};D=1;");
}

TEST(ODBCConfigConnectionString, UnsafeParameterKeysAreDroppedWithAnError) {
    ConfigCategory c = category(kvItem("{\"a;PWD\": \"evil\", \"ok\": \"1\"}"));
    ODBCConfig config;
    LogCapture log;
    config.configure(&c);
    EXPECT_EQ(config.additionalParams, "ok=1;");
    EXPECT_EQ(log.at(Logger::Level::ERROR).size(), 1u);
}

TEST(ODBCConfigConnectionString, NegativePortAndEmptyValuesAreWrittenAsTheyAre) {
    ODBCConfig config;
    config.port = -1;
    config.user = "";
    config.buildConnectionString();
    EXPECT_EQ(config.getConnectionString(),
              std::string(PREFIX) + "Host=localhost;Port=-1;UID=;PWD=lisk;SCHEMA=default_schema;");
}

TEST(DatabricksODBCConfig, SameTextAsTheBaseRuleAndLogsLifeCycle) {
    LogCapture log;
    {
        DatabricksODBCConfig databricks;
        ODBCConfig base;
        for (ODBCConfig* config : {static_cast<ODBCConfig*>(&databricks), &base}) {
            config->server = "example-workspace";
            config->user = "ingest";
            config->schema = "sales";
            config->additionalParams = "a=1;b=2;";
            config->buildConnectionString();
        }
        EXPECT_EQ(databricks.getConnectionString(), base.getConnectionString());
        EXPECT_EQ(databricks.getConnectionString(),
                  std::string(PREFIX) +
                      "Host=example-workspace;Port=443;UID=ingest;PWD=lisk;SCHEMA=sales;a=1;b=2;");
    }
    EXPECT_EQ(log.count(Logger::Level::DEBUG, "DatabricksODBCConfig: Created default instance"),
              1u);
    EXPECT_EQ(log.count(Logger::Level::DEBUG, "DatabricksODBCConfig: Destroyed"), 1u);
}

TEST(ODBCConfigCompare, EveryComparedFieldCountsButNotTheConnectionString) {
    ODBCConfig a;
    ODBCConfig b;
    b.connectionString = "something else";
    EXPECT_FALSE(a.hasChanged(b));
    const auto changed = [&](auto mutate) {
        ODBCConfig c;
        mutate(c);
        return c.hasChanged(a);
    };
    EXPECT_TRUE(changed([](ODBCConfig& c) { c.server = "x"; }));
    EXPECT_TRUE(changed([](ODBCConfig& c) { c.port = 444; }));
    EXPECT_TRUE(changed([](ODBCConfig& c) { c.schema = "x"; }));
    EXPECT_TRUE(changed([](ODBCConfig& c) { c.user = "x"; }));
    EXPECT_TRUE(changed([](ODBCConfig& c) { c.password = "x"; }));
    EXPECT_TRUE(changed([](ODBCConfig& c) { c.corvaneInstance = "x"; }));
    EXPECT_TRUE(changed([](ODBCConfig& c) { c.source = "x"; }));
    EXPECT_TRUE(changed([](ODBCConfig& c) { c.additionalParams = "a=1;"; }));
}

TEST(ODBCConfigValidity, ChecksInOrderAndReportsTheFirstProblem) {
    LogCapture log;
    ODBCConfig config;
    EXPECT_TRUE(config.isValid());
    for (int port : {1, 65535}) {
        config.port = port;
        EXPECT_TRUE(config.isValid());
    }
    for (int port : {0, 65536}) {
        config.port = port;
        log.clear();
        EXPECT_FALSE(config.isValid());
        EXPECT_EQ(log.at(Logger::Level::ERROR),
                  std::vector<std::string>{"Invalid port number: " + std::to_string(port)});
    }
    config.port = 443;
    config.server = "";
    config.schema = "";
    log.clear();
    EXPECT_FALSE(config.isValid());
    EXPECT_EQ(log.at(Logger::Level::ERROR), std::vector<std::string>{"Server hostname is empty"});

    const std::pair<void (*)(ODBCConfig&), const char*> cases[] = {
        {[](ODBCConfig& c) { c.schema = ""; }, "Schema name is empty"},
        {[](ODBCConfig& c) { c.user = ""; }, "Username is empty"},
        {[](ODBCConfig& c) { c.password = ""; }, "Password is empty"},
        {[](ODBCConfig& c) { c.corvaneInstance = ""; }, "Corvane instance name is empty"},
    };
    for (const auto& [mutate, message] : cases) {
        ODBCConfig c;
        mutate(c);
        log.clear();
        EXPECT_FALSE(c.isValid());
        EXPECT_EQ(log.at(Logger::Level::ERROR), std::vector<std::string>{message});
    }
}
