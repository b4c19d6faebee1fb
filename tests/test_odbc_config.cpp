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
    EXPECT_EQ(config.writers, 4);
    EXPECT_EQ(config.table, "");
    EXPECT_EQ(config.datapoints, ODBCConfig::DatapointLayout::Columns);
    EXPECT_EQ(config.maxStatementBytes, 1048576);
    EXPECT_EQ(config.delivery, ODBCConfig::Delivery::ExactlyOnce);
    EXPECT_EQ(config.getConnectionString(),
              std::string(PREFIX) +
                  "Host=localhost;Port=443;UID=default_user;PWD=lisk;SCHEMA=default_schema;");
}

TEST(ODBCConfigDefaults, MissingItemsFallBackToDefaults) {
    ConfigCategory empty = category("");
    ODBCConfig config;
    config.server = "other";
    config.port = 1;
    config.writers = 9;
    config.table = "fleet";
    config.datapoints = ODBCConfig::DatapointLayout::Variant;
    config.maxStatementBytes = 65536;
    config.delivery = ODBCConfig::Delivery::AtLeastOnce;
    config.configure(&empty);
    EXPECT_EQ(config.server, "localhost");
    EXPECT_EQ(config.port, 443);
    EXPECT_EQ(config.writers, 4);
    EXPECT_EQ(config.table, "");
    EXPECT_EQ(config.datapoints, ODBCConfig::DatapointLayout::Columns);
    EXPECT_EQ(config.maxStatementBytes, 1048576);
    EXPECT_EQ(config.delivery, ODBCConfig::Delivery::ExactlyOnce);
    EXPECT_EQ(config.additionalParams, "");
    EXPECT_EQ(config.getConnectionString(),
              std::string(PREFIX) +
                  "Host=localhost;Port=443;UID=default_user;PWD=lisk;SCHEMA=default_schema;");
}

TEST(ODBCConfigRead, ReadsEveryItemAndOrdersParametersByKey) {
    ConfigCategory c = category(
        item("server", "example-workspace") + "," + item("port", "8443") + "," +
        item("schema", "sales") + "," + item("user", "ingest") + "," + item("password", "s3cret") +
        "," + item("corvaneInstance", "edge-7") + "," + item("source", "readings") + "," +
        kvItem("{\"b\": \"2\", \"a\": \"1\"}") + "," + item("writers", "7") + "," +
        item("table", "Site Fleet.1") + "," + item("datapoints", "variant") + "," +
        item("maxStatementBytes", "2097152") + "," + item("delivery", "at-least-once"));
    ODBCConfig config;
    config.configure(&c);
    EXPECT_EQ(config.server, "example-workspace");
    EXPECT_EQ(config.port, 8443);
    EXPECT_EQ(config.writers, 7);
    EXPECT_EQ(config.table, "Site Fleet.1");  // renamed only where it is written
    EXPECT_EQ(config.datapoints, ODBCConfig::DatapointLayout::Variant);
    EXPECT_EQ(config.maxStatementBytes, 2097152);
    EXPECT_EQ(config.delivery, ODBCConfig::Delivery::AtLeastOnce);
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

TEST(ODBCConfigRead, BadPortIsThrownOnAndChangesNothing) {
    ConfigCategory c = category(item("port", "not-a-number"));
    ODBCConfig config;
    EXPECT_THROW(config.configure(&c), std::exception);
    EXPECT_EQ(config.port, 443);
}

// The start of the problem a key of the plugin's own attributes gives.
std::string own(const std::string& key) {
    return R"(configuration item "additionalParams" has the key ")" + key +
           R"(", an attribute the plugin writes itself)";
}

std::string rejects(const std::string& table) {
    return R"(configuration item "table" value ")" + table +
           R"(" is the rejects table "lakesink_rejects")";
}

std::string unsafeKey(const std::string& key) {
    return R"(configuration item "additionalParams" has the key ")" + key +
           R"(", which a connection string cannot carry)";
}

const char kStreamEndpoint[] = "https://1234.zerobus.us-west-2.cloud.databricks.com";
const char kStreamPrincipal[] = R"({"Auth_Client_ID": "sp", "Auth_Client_Secret": "not-a-secret"})";

// The items of the stream transport with the given layout, delivery,
// endpoint and additional parameters.
std::string streamItems(const std::string& datapoints, const std::string& delivery,
                        const std::string& endpoint, const std::string& params) {
    return item("transport", "stream") + ", " + item("datapoints", datapoints) + ", " +
           item("delivery", delivery) + ", " + item("streamEndpoint", endpoint) + ", " +
           kvItem(params);
}

struct BadSetting {
    std::string items;
    std::string problem;
};

// Every setting the default configuration does not allow is refused the way a
// port that is not a number is: one error line, an exception, and the previous
// settings (and so the connection string) left as they were.
TEST(ODBCConfigRead, SettingsTheDefaultConfigurationForbidsAreRefused) {
    const std::string range = " is outside 1 to 65535";
    const std::string writersRange = " is outside 1 to 16";
    const std::string statementRange = " is outside 65536 to 67108864";
    const BadSetting cases[] = {
        {item("port", "not-a-number"), R"(configuration item "port" value "not-a-number" is not)"},
        {item("port", ""), R"(configuration item "port" value "" is not a whole number)"},
        {item("port", "0"), R"(configuration item "port" value "0")" + range},
        {item("port", "-1"), R"(configuration item "port" value "-1")" + range},
        {item("port", "70000"), R"(configuration item "port" value "70000")" + range},
        {item("port", "65536"), R"(configuration item "port" value "65536")" + range},
        {item("writers", "0"), R"(configuration item "writers" value "0")" + writersRange},
        {item("writers", "17"), R"(configuration item "writers" value "17")" + writersRange},
        {item("writers", "-1"), R"(configuration item "writers" value "-1")" + writersRange},
        {item("writers", "x"), R"(configuration item "writers" value "x" is not a whole number)"},
        {item("writers", ""), R"(configuration item "writers" value "" is not a whole number)"},
        {item("maxStatementBytes", "65535"),
         R"(configuration item "maxStatementBytes" value "65535")" + statementRange},
        {item("maxStatementBytes", "67108865"),
         R"(configuration item "maxStatementBytes" value "67108865")" + statementRange},
        {item("maxStatementBytes", "1MiB"),
         R"(configuration item "maxStatementBytes" value "1MiB" is not a whole number)"},
        {item("datapoints", "json"),
         R"(configuration item "datapoints" value "json" is not one of the choices: columns,variant)"},
        {item("delivery", "exactly_once"),
         R"(configuration item "delivery" value "exactly_once" )"
         R"(is not one of the choices: exactly-once,at-least-once)"},
        {item("table", "lakesink_rejects"), rejects("lakesink_rejects")},
        {item("table", "LakeSink_REJECTS"), rejects("LakeSink_REJECTS")},
        {item("server", ""), R"(configuration item "server" is mandatory and cannot be empty)"},
        {item("schema", ""), R"(configuration item "schema" is mandatory and cannot be empty)"},
        {item("user", ""), R"(configuration item "user" is mandatory and cannot be empty)"},
        {item("password", ""), R"(configuration item "password" is mandatory and cannot be empty)"},
        {item("corvaneInstance", ""),
         R"(configuration item "corvaneInstance" is mandatory and cannot be empty)"},
        {item("source", "statistics"),
         R"(configuration item "source" value "statistics" is not one of the choices: readings)"},
        {item("source", ""), R"(configuration item "source" value "" is not one of the choices)"},
        {item("server", "host\\u0000;Warehouse=/x"),
         R"(configuration item "server" holds a NUL byte)"},
        {item("schema", "sales\\u0000"), R"(configuration item "schema" holds a NUL byte)"},
        {item("password", "\\u0000"), R"(configuration item "password" holds a NUL byte)"},
        {item("corvaneInstance", "edge\\u00007"),
         R"(configuration item "corvaneInstance" holds a NUL byte)"},
        {kvItem(R"({"Warehouse": "/data\u0000/other"})"),
         R"(configuration item "additionalParams" has a NUL byte in the value of key "Warehouse")"},
        {kvItem(R"({"Ware\u0000house": "/data"})"),
         R"(configuration item "additionalParams" has a key holding a NUL byte)"},
        // Attributes the connection string writes from the items: the driver
        // would take the later one, so a second one would silently win.
        {kvItem(R"({"SCHEMA": "other"})"), own("SCHEMA") + R"(; set the item "schema" instead)"},
        {kvItem(R"({"schema": "other"})"), own("schema") + R"(; set the item "schema" instead)"},
        {kvItem(R"({"a": "1", "Pwd": "x"})"), own("Pwd") + R"(; set the item "password" instead)"},
        {kvItem(R"({"uid": "x"})"), own("uid") + R"(; set the item "user" instead)"},
        {kvItem(R"({"HOST": "elsewhere"})"), own("HOST") + R"(; set the item "server" instead)"},
        {kvItem(R"({"pOrT": "1"})"), own("pOrT") + R"(; set the item "port" instead)"},
        {kvItem(R"({"driver": "{Other}"})"), own("driver") + "; it cannot be changed"},
        {kvItem(R"({" SCHEMA ": "other"})"), own(" SCHEMA ") + R"(; set the item "schema")"},
        // Keys a connection string cannot carry, a blank table and a URL for
        // a host name are errors that say what to write instead.
        {kvItem(R"({"a;b": "1"})"), unsafeKey("a;b")},
        {kvItem(R"({"a=b": "1"})"), unsafeKey("a=b")},
        {kvItem(R"({"{x}": "1"})"), unsafeKey("{x}")},
        {kvItem(R"({"": "1"})"), unsafeKey("")},
        {item("table", " "), R"(configuration item "table" value " " is blank; leave it empty)"},
        {item("server", "https://adb-1.azuredatabricks.net/sql/1.0/warehouses/abc"),
         R"(configuration item "server" value "https://adb-1.azuredatabricks.net/sql/1.0/)"
         R"(warehouses/abc" is a URL; write the host name only)"},
        {item("server", "adb-1.azuredatabricks.net/sql"),
         R"(configuration item "server" value "adb-1.azuredatabricks.net/sql" is a URL)"},
        {item("port", "1.5"), R"(configuration item "port" value "1.5" is not a whole number)"},
        {item("port", "1e10"), R"(configuration item "port" value "1e10" is not a whole number)"},
        // Every problem is listed, not only the first.
        {item("port", "0") + "," + item("table", " ") + "," + kvItem(R"({"a;b": "1"})"),
         R"(configuration item "port" value "0" is outside 1 to 65535; configuration item )"
         R"("additionalParams" has the key "a;b")"},
        // The stream transport: each unusable setting says what to set.
        {item("transport", "grpc"),
         R"(configuration item "transport" value "grpc" is not one of the choices)"},
        {streamItems("columns", "at-least-once", kStreamEndpoint, kStreamPrincipal),
         R"(transport "stream": set "datapoints" to "variant")"},
        {streamItems("variant", "exactly-once", kStreamEndpoint, kStreamPrincipal),
         R"(transport "stream": set "delivery" to "at-least-once")"},
        {streamItems("variant", "at-least-once", kStreamEndpoint, R"({"Auth_Client_ID": "sp"})"),
         R"(transport "stream": set "Auth_Client_ID" and "Auth_Client_Secret")"},
        {streamItems("variant", "at-least-once", "", kStreamPrincipal),
         R"(transport "stream": set "streamEndpoint")"},
        {streamItems("variant", "at-least-once", "1234.zerobus.example.com", kStreamPrincipal),
         R"(transport "stream": configuration item "streamEndpoint" value "1234.zerobus.example.com" is not a usable)"},
        {streamItems("variant", "at-least-once", "http://1234.zerobus.example.com",
                     kStreamPrincipal),
         R"(transport "stream": configuration item "streamEndpoint" must use https://)"},
        {streamItems("variant", "at-least-once", "https://ws.zerobus.example.com",
                     kStreamPrincipal),
         R"(transport "stream": set "workspaceId")"},
        {streamItems("variant", "at-least-once", kStreamEndpoint, kStreamPrincipal) + ", " +
             item("tokenEndpoint", "http://login.example.com/token"),
         R"(transport "stream": configuration item "tokenEndpoint" must use https://)"},
        {streamItems("variant", "at-least-once", kStreamEndpoint, kStreamPrincipal) + ", " +
             item("catalog", "my-catalog"),
         R"(transport "stream": set "catalog")"},
    };
    for (const BadSetting& c : cases) {
        ConfigCategory bad = category(c.items);
        ODBCConfig config;
        config.server = "previous";
        config.buildConnectionString();
        const std::string before = config.getConnectionString();
        try {
            config.configure(&bad);
            ADD_FAILURE() << "accepted: " << c.items;
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()).rfind(c.problem, 0), 0u) << e.what();
        }
        EXPECT_EQ(config.server, "previous");
        EXPECT_EQ(config.writers, 4);
        EXPECT_EQ(config.table, "");
        EXPECT_EQ(config.getConnectionString(), before);
    }
}

// The stream's settings resolved: the gRPC target, the token endpoint from
// the server, the workspace id from the endpoint's host; plain http to the
// loopback address of an emulator; the secret kept but never logged.
TEST(ODBCConfigRead, StreamSettingsAreResolvedAndTheSecretIsNeverLogged) {
    ConfigCategory cloud =
        category(streamItems("variant", "at-least-once", kStreamEndpoint, kStreamPrincipal) + ", " +
                 item("server", "adb-1.azuredatabricks.net") + ", " + item("schema", "plant"));
    ODBCConfig config;
    LogCapture log;
    config.configure(&cloud);
    EXPECT_EQ(config.transport, ODBCConfig::Transport::Stream);
    EXPECT_EQ(config.stream.target, "1234.zerobus.us-west-2.cloud.databricks.com:443");
    EXPECT_TRUE(config.stream.tls);
    EXPECT_EQ(config.stream.workspace, "1234");
    EXPECT_EQ(config.stream.tokenUrl, "https://adb-1.azuredatabricks.net/oidc/v1/token");
    EXPECT_EQ(config.stream.fullTableName("pump_1"), "main.plant.pump_1");
    EXPECT_EQ(config.stream.clientSecret, "not-a-secret");
    EXPECT_FALSE(log.contains("not-a-secret"));

    ConfigCategory local = category(
        streamItems("variant", "at-least-once", "http://127.0.0.1:7000", kStreamPrincipal) + ", " +
        item("workspaceId", "42") + ", " + item("catalog", "edge") + ", " +
        item("tokenEndpoint", "http://localhost:7001/oidc/v1/token"));
    ODBCConfig emulator;
    emulator.configure(&local);
    EXPECT_EQ(emulator.stream.target, "127.0.0.1:7000");
    EXPECT_FALSE(emulator.stream.tls);
    EXPECT_EQ(emulator.stream.workspace, "42");
    EXPECT_EQ(emulator.stream.tokenUrl, "http://localhost:7001/oidc/v1/token");
    EXPECT_TRUE(emulator.hasChanged(config));

    // The statements transport needs none of the stream's settings.
    ConfigCategory statements = category(item("transport", "statements"));
    ODBCConfig plain;
    plain.configure(&statements);
    EXPECT_EQ(plain.transport, ODBCConfig::Transport::Statements);
}

TEST(ODBCConfigRead, BoundsAndChoicesOfTheDefaultConfigurationAreAccepted) {
    for (const char* port : {"1", "65535", " 8443 "}) {
        ConfigCategory c = category(item("port", port) + "," + item("source", "readings"));
        ODBCConfig config;
        EXPECT_NO_THROW(config.configure(&c)) << port;
        EXPECT_EQ(config.port, std::stoi(port));
    }
    // A whole number in any JSON notation, as a JSON reader writes it back.
    ConfigCategory notations = category(item("port", "8.443e3") + "," + item("writers", "1E1") +
                                        "," + item("maxStatementBytes", "1000000.0"));
    ODBCConfig written;
    ASSERT_NO_THROW(written.configure(&notations));
    EXPECT_EQ(written.port, 8443);
    EXPECT_EQ(written.writers, 10);
    EXPECT_EQ(written.maxStatementBytes, 1000000);
    for (const char* writers : {"1", "16"}) {
        ConfigCategory c = category(item("writers", writers));
        ODBCConfig config;
        EXPECT_NO_THROW(config.configure(&c)) << writers;
        EXPECT_EQ(config.writers, std::stoi(writers));
        // The connection string does not carry it: every writer uses the same one.
        EXPECT_EQ(config.getConnectionString(), ODBCConfig().getConnectionString());
    }
    for (const char* bytes : {"65536", "67108864"}) {
        ConfigCategory c = category(item("maxStatementBytes", bytes));
        ODBCConfig config;
        EXPECT_NO_THROW(config.configure(&c)) << bytes;
        EXPECT_EQ(config.maxStatementBytes, std::stoi(bytes));
    }
    // Names that only resemble the rejects table are ordinary tables; the
    // write settings stay out of the connection string.
    ConfigCategory write =
        category(item("table", "lakesink_rejects_2") + "," + item("datapoints", "columns") + "," +
                 item("delivery", "exactly-once"));
    ODBCConfig withWrite;
    EXPECT_NO_THROW(withWrite.configure(&write));
    EXPECT_EQ(withWrite.table, "lakesink_rejects_2");
    EXPECT_EQ(withWrite.getConnectionString(), ODBCConfig().getConnectionString());
    // Keys that only resemble the plugin's own attributes are the user's.
    ConfigCategory similar =
        category(kvItem(R"({"SCHEMA2": "a", "ProxyPWD": "b", "HostName": "c", "UIDX": "d"})"));
    ODBCConfig withSimilar;
    EXPECT_NO_THROW(withSimilar.configure(&similar));
    EXPECT_EQ(withSimilar.additionalParams, "HostName=c;ProxyPWD=b;SCHEMA2=a;UIDX=d;");
    // Items that are not mandatory may be empty; absent items take their defaults.
    ConfigCategory empty = category(kvItem(""));
    ODBCConfig config;
    EXPECT_NO_THROW(config.configure(&empty));
    EXPECT_EQ(config.additionalParams, "");
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

TEST(ODBCConfigConnectionString, UnsafeParameterKeysAreRefusedAndNeverWritten) {
    ConfigCategory c = category(kvItem("{\"a;PWD\": \"evil\", \"ok\": \"1\"}"));
    ODBCConfig config;
    EXPECT_THROW(config.configure(&c), std::invalid_argument);
    EXPECT_EQ(config.additionalParams, "");
    EXPECT_EQ(config.getConnectionString().find("evil"), std::string::npos);
}

TEST(ODBCConfigConnectionString, NegativePortAndEmptyValuesAreWrittenAsTheyAre) {
    ODBCConfig config;
    config.port = -1;
    config.user = "";
    config.buildConnectionString();
    EXPECT_EQ(config.getConnectionString(),
              std::string(PREFIX) + "Host=localhost;Port=-1;UID=;PWD=lisk;SCHEMA=default_schema;");
}

TEST(DatabricksODBCConfig, SameTextAsTheBaseRule) {
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
    EXPECT_TRUE(changed([](ODBCConfig& c) { c.writers = 1; }));
    EXPECT_TRUE(changed([](ODBCConfig& c) { c.table = "fleet"; }));
    EXPECT_TRUE(
        changed([](ODBCConfig& c) { c.datapoints = ODBCConfig::DatapointLayout::Variant; }));
    EXPECT_TRUE(changed([](ODBCConfig& c) { c.maxStatementBytes = 65536; }));
    EXPECT_TRUE(changed([](ODBCConfig& c) { c.delivery = ODBCConfig::Delivery::AtLeastOnce; }));
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

    // The later settings' checks are only refusals here (no message of
    // their own is promised to operators); the rest name the problem.
    const std::pair<void (*)(ODBCConfig&), const char*> cases[] = {
        {[](ODBCConfig& c) { c.schema = ""; }, "Schema name is empty"},
        {[](ODBCConfig& c) { c.user = ""; }, "Username is empty"},
        {[](ODBCConfig& c) { c.password = ""; }, "Password is empty"},
        {[](ODBCConfig& c) { c.corvaneInstance = ""; }, "Corvane instance name is empty"},
        {[](ODBCConfig& c) { c.writers = 0; }, nullptr},
        {[](ODBCConfig& c) { c.writers = 17; }, nullptr},
        {[](ODBCConfig& c) { c.maxStatementBytes = 65535; }, nullptr},
        {[](ODBCConfig& c) { c.table = "Lakesink_Rejects"; }, nullptr},
    };
    for (const auto& [mutate, message] : cases) {
        ODBCConfig c;
        mutate(c);
        log.clear();
        EXPECT_FALSE(c.isValid());
        if (message) {
            EXPECT_EQ(log.at(Logger::Level::ERROR), std::vector<std::string>{message});
        }
    }
    // Each refusal alone: a setting within its bounds is accepted.
    ODBCConfig bounds;
    bounds.writers = 16;
    bounds.maxStatementBytes = 65536;
    bounds.table = "fleet";
    EXPECT_TRUE(bounds.isValid());
}
