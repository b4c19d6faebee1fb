#include "odbc_config.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <stdexcept>

#include "config_category.h"
#include "connection_secrets.h"
#include "logger.h"
#include "rejects.h"
#include "text_util.h"

// Constant-initialised, so the plugin can write its default configuration from
// it while the shared object is loaded.
constexpr std::array<ConfigItemDefinition, 19> CONFIGURATION_ITEMS = {{
    {"plugin",
     {{{"description", "lakesink North Plugin"},
       {"type", "string"},
       {"default", "lakesink"},
       {"readonly", "true"}}}},
    {"server",
     {{{"description", "The full Databricks server URL (account identifier)"},
       {"type", "string"},
       {"default", "localhost"},
       {"order", "1"},
       {"displayName", "Databricks Server URL"},
       {"mandatory", "true"}}}},
    {"port",
     {{{"description", "Databricks server port (default is 443 for HTTPS)"},
       {"type", "integer"},
       {"default", "443"},
       {"minimum", "1"},
       {"maximum", "65535"},
       {"order", "2"},
       {"displayName", "Databricks Server Port"},
       {"mandatory", "true"}}}},
    {"schema",
     {{{"description", "The name of the Databricks schema to connect to"},
       {"type", "string"},
       {"default", "default_schema"},
       {"order", "3"},
       {"displayName", "Schema Name"},
       {"mandatory", "true"}}}},
    {"user",
     {{{"description", "Databricks username for authentication"},
       {"type", "string"},
       {"default", "default_user"},
       {"order", "4"},
       {"displayName", "Username"},
       {"mandatory", "true"}}}},
    {"password",
     {{{"description", "Password for the Databricks account"},
       {"type", "password"},
       {"default", "lisk"},
       {"order", "5"},
       {"displayName", "Password"},
       {"mandatory", "true"}}}},
    {"corvaneInstance",
     {{{"description", "The name of the Corvane instance"},
       {"type", "string"},
       {"default", "corvaneInstance"},
       {"order", "6"},
       {"displayName", "Corvane Instance Name"},
       {"mandatory", "true"}}}},
    {"source",
     {{{"description", "Source of the data to send to Databricks"},
       {"type", "enumeration"},
       {"default", "readings"},
       {"options", "readings"},
       {"order", "7"},
       {"displayName", "Data Source"}}}},
    {"additionalParams",
     {{{"description",
        "Additional optional parameters for customizing the Databricks connection (e.g., extra "
        "ODBC options or advanced settings)"},
       {"type", "kvlist"},
       {"items", "string"},
       {"order", "8"},
       {"default", "{}"},
       {"displayName", "Additional Connection Parameters"}}}},
    {"writers",
     {{{"description", "Parallel writers"},
       {"type", "integer"},
       {"default", "4"},
       {"minimum", "1"},
       {"maximum", "16"},
       {"order", "9"},
       {"displayName", "Parallel writers"},
       {"mandatory", "true"}}}},
    {"table",
     {{{"description", "Table for all readings"},
       {"type", "string"},
       {"default", ""},
       {"order", "10"},
       {"displayName", "Table for all readings"}}}},
    {"datapoints",
     {{{"description", "Datapoint columns"},
       {"type", "enumeration"},
       {"default", "columns"},
       {"options", "columns,variant"},
       {"order", "11"},
       {"displayName", "Datapoint columns"}}}},
    {"maxStatementBytes",
     {{{"description", "Largest statement (bytes)"},
       {"type", "integer"},
       {"default", "1048576"},
       {"minimum", "65536"},
       {"maximum", "67108864"},
       {"order", "12"},
       {"displayName", "Largest statement (bytes)"},
       {"mandatory", "true"}}}},
    {"delivery",
     {{{"description", "Delivery guarantee"},
       {"type", "enumeration"},
       {"default", "exactly-once"},
       {"options", "exactly-once,at-least-once"},
       {"order", "13"},
       {"displayName", "Delivery guarantee"}}}},
    {"transport",
     {{{"description", "How rows are written"},
       {"type", "enumeration"},
       {"default", "statements"},
       {"options", "statements,stream"},
       {"order", "14"},
       {"displayName", "Transport"}}}},
    {"streamEndpoint",
     {{{"description", "Direct ingest endpoint (https://<workspace id>.zerobus.<region>...)"},
       {"type", "string"},
       {"default", ""},
       {"order", "15"},
       {"displayName", "Stream endpoint"}}}},
    {"tokenEndpoint",
     {{{"description",
        "OAuth token endpoint of the stream (empty: https://<server>/oidc/v1/token)"},
       {"type", "string"},
       {"default", ""},
       {"order", "16"},
       {"displayName", "Token endpoint"}}}},
    {"workspaceId",
     {{{"description", "Workspace id (empty: the first label of the stream endpoint's host)"},
       {"type", "string"},
       {"default", ""},
       {"order", "17"},
       {"displayName", "Workspace id"}}}},
    {"catalog",
     {{{"description", "Catalog of the tables the stream writes"},
       {"type", "string"},
       {"default", "main"},
       {"order", "18"},
       {"displayName", "Catalog"}}}},
}};

const char* ConfigItemDefinition::attribute(const char* name) const {
    for (const ConfigAttribute& a : attributes) {
        if (a.name && std::strcmp(a.name, name) == 0)
            return a.value;
    }
    return nullptr;
}

const char* ConfigItemDefinition::defaultValue() const {
    const char* value = attribute("default");
    return value ? value : "";
}

bool ConfigItemDefinition::isMandatory() const {
    const char* value = attribute("mandatory");
    return value && std::strcmp(value, "true") == 0;
}

std::vector<std::string> ConfigItemDefinition::choices() const {
    std::vector<std::string> all;
    const char* options = attribute("options");
    if (!options)
        return all;
    const std::string text = options;
    size_t start = 0;
    for (;;) {
        const size_t end = std::min(text.find(',', start), text.size());
        all.push_back(text.substr(start, end - start));
        if (end == text.size())
            return all;
        start = end + 1;
    }
}

const ConfigItemDefinition& configurationItem(const std::string& key) {
    for (const ConfigItemDefinition& item : CONFIGURATION_ITEMS) {
        if (key == item.key)
            return item;
    }
    throw std::out_of_range("no configuration item \"" + key + "\"");
}

namespace {

// A value already written in braces by the user, well formed: every '}'
// inside the braces is doubled, so the value cannot end early.
bool isBraced(const std::string& value) {
    if (value.size() < 2 || value.front() != '{' || value.back() != '}')
        return false;
    for (size_t i = 1; i + 1 < value.size(); ++i) {
        if (value[i] != '}')
            continue;
        if (i + 2 >= value.size() || value[i + 1] != '}')
            return false;
        ++i;
    }
    return true;
}

// A key cannot be braced in a connection string, so a key holding one of these
// characters would end its attribute early and start another one.
bool isUnsafeKey(const std::string& key) {
    return key.empty() || key.find_first_of(";={}") != std::string::npos;
}

std::string defaultText(const std::string& key) {
    return configurationItem(key).defaultValue();
}

int32_t defaultInteger(const std::string& key) {
    return static_cast<int32_t>(std::strtol(configurationItem(key).defaultValue(), nullptr, 10));
}

bool holdsNul(const std::string& text) {
    return text.find('\0') != std::string::npos;
}

std::string itemProblem(const std::string& key, const std::string& problem) {
    return "configuration item \"" + key + "\" " + problem;
}

// Throws std::invalid_argument naming the first item of the category that
// breaks a rule of the default configuration. Items the category lacks take
// their defaults, which keep every rule. A NUL byte is refused in every item:
// the driver reads the connection string only up to it, so the settings after
// it (schema, warehouse path) would be silently dropped.
void checkAgainstDefinitions(const ConfigCategory& category) {
    for (const ConfigItemDefinition& item : CONFIGURATION_ITEMS) {
        if (!category.itemExists(item.key))
            continue;
        const std::string value = category.getValue(item.key);
        if (holdsNul(value))
            throw std::invalid_argument(itemProblem(item.key, "holds a NUL byte"));
        if (item.isMandatory() && value.empty())
            throw std::invalid_argument(itemProblem(item.key, "is mandatory and cannot be empty"));
        const char* minimum = item.attribute("minimum");
        const char* maximum = item.attribute("maximum");
        if (minimum && maximum) {
            const long number = category.getIntegerValue(item.key, 0);
            if (number < std::strtol(minimum, nullptr, 10) ||
                number > std::strtol(maximum, nullptr, 10)) {
                throw std::invalid_argument(itemProblem(
                    item.key, "value \"" + value + "\" is outside " + minimum + " to " + maximum));
            }
        }
        const std::vector<std::string> choices = item.choices();
        if (!choices.empty() && std::find(choices.begin(), choices.end(), value) == choices.end()) {
            throw std::invalid_argument(itemProblem(
                item.key,
                "value \"" + value + "\" is not one of the choices: " + item.attribute("options")));
        }
    }
}

// The attributes the connection string writes from the plugin's own items. The
// driver takes the last of two attributes of one name, so the same key in the
// additional parameters would silently override the item (a second SCHEMA
// would write tables where the schema queries do not look).
struct OwnAttribute {
    const char* key;
    const char* item;  // the configuration item it comes from, null for none
};
constexpr OwnAttribute kOwnAttributes[] = {
    {"Driver", nullptr}, {"Host", "server"},  {"Port", "port"},
    {"UID", "user"},     {"PWD", "password"}, {"SCHEMA", "schema"},
};

void checkNotOwnAttribute(const std::string& name, const std::string& key) {
    // Blanks around a key do not make it another attribute to every driver.
    const size_t first = name.find_first_not_of(" \t");
    const size_t last = name.find_last_not_of(" \t");
    const std::string bare = first == std::string::npos ? "" : name.substr(first, last - first + 1);
    for (const OwnAttribute& own : kOwnAttributes) {
        if (!equalsIgnoringAsciiCase(bare, own.key))
            continue;
        const std::string where = own.item
                                      ? std::string("; set the item \"") + own.item + "\" instead"
                                      : std::string("; it cannot be changed");
        throw std::invalid_argument(itemProblem(
            key, "has the key \"" + name + "\", an attribute the plugin writes itself" + where));
    }
}

// Throws std::invalid_argument when a key or value of the additional
// parameters holds a NUL byte (see checkAgainstDefinitions), or when a key is
// one of the attributes the plugin writes itself. The value is not shown: it
// may be a secret.
void checkParameters(const std::map<std::string, std::string>& params, const std::string& key) {
    for (const auto& [name, value] : params) {
        if (holdsNul(name))
            throw std::invalid_argument(itemProblem(key, "has a key holding a NUL byte"));
        checkNotOwnAttribute(name, key);
        if (holdsNul(value)) {
            throw std::invalid_argument(
                itemProblem(key, "has a NUL byte in the value of key \"" + name + "\""));
        }
    }
}

// Readings routed to the rejects table would not fit its columns, and the
// rows it refused would then be sent to the very table that refused them.
void checkTable(const std::string& table, const std::string& key) {
    if (!equalsIgnoringAsciiCase(table, REJECTS_TABLE))
        return;
    throw std::invalid_argument(itemProblem(key, "value \"" + table + "\" is the rejects table \"" +
                                                     std::string(REJECTS_TABLE) +
                                                     "\"; choose another table"));
}

// The enumerations' texts; only the item's choices reach these.
ODBCConfig::DatapointLayout datapointLayoutFrom(const std::string& text) {
    return text == "variant" ? ODBCConfig::DatapointLayout::Variant
                             : ODBCConfig::DatapointLayout::Columns;
}

ODBCConfig::Delivery deliveryFrom(const std::string& text) {
    return text == "at-least-once" ? ODBCConfig::Delivery::AtLeastOnce
                                   : ODBCConfig::Delivery::ExactlyOnce;
}

// Every setting of a category, read before any of them is adopted.
struct CategorySettings {
    std::string server;
    int32_t port = 0;
    std::string schema;
    std::string user;
    std::string password;
    std::string instance;
    std::string source;
    int32_t writers = 0;
    std::string table;
    std::string datapoints;
    int32_t maxStatementBytes = 0;
    std::string delivery;
    std::string transport;
    StreamSettings stream;
    std::map<std::string, std::string> params;
};

ODBCConfig::Transport transportFrom(const std::string& text) {
    return text == "stream" ? ODBCConfig::Transport::Stream : ODBCConfig::Transport::Statements;
}

// The value of the additional parameter `key`, in any letter case; empty
// when there is none.
std::string parameterValue(const std::map<std::string, std::string>& params, const char* key) {
    for (const auto& [name, value] : params) {
        if (equalsIgnoringAsciiCase(name, key))
            return value;
    }
    return "";
}

// The stream's settings of a category, checked when the stream is chosen.
void readStreamSettings(const ConfigCategory& category, CategorySettings& read) {
    const auto text = [&](const std::string& key) {
        return category.getValue(key, defaultText(key));
    };
    read.transport = text("transport");
    // The statements transport keeps the stream's settings at their
    // defaults, so that they never count as a change.
    if (transportFrom(read.transport) != ODBCConfig::Transport::Stream)
        return;
    StreamSettings& stream = read.stream;
    stream.endpoint = text("streamEndpoint");
    stream.tokenEndpoint = text("tokenEndpoint");
    stream.workspaceId = text("workspaceId");
    stream.catalog = text("catalog");
    stream.schema = read.schema;
    stream.server = read.server;
    stream.clientId = parameterValue(read.params, "Auth_Client_ID");
    stream.clientSecret = parameterValue(read.params, "Auth_Client_Secret");
    stream.variantLayout = read.datapoints == "variant";
    stream.atLeastOnce = read.delivery == "at-least-once";
    stream.resolve();
}

// Reads every setting, each item's default where the category lacks it, and
// throws std::invalid_argument for one the default configuration forbids.
CategorySettings readSettings(const ConfigCategory& category) {
    static const std::string CONFIG_HOST = "server";
    static const std::string CONFIG_PORT = "port";
    static const std::string CONFIG_SCHEMA = "schema";
    static const std::string CONFIG_USER = "user";
    static const std::string CONFIG_PASSWORD = "password";
    static const std::string CONFIG_DATA_SRC = "source";
    static const std::string CONFIG_CORVANE_INSTANCE = "corvaneInstance";
    static const std::string CONFIG_ADDITIONAL_PARAMS = "additionalParams";
    static const std::string CONFIG_WRITERS = "writers";
    static const std::string CONFIG_TABLE = "table";
    static const std::string CONFIG_DATAPOINTS = "datapoints";
    static const std::string CONFIG_MAX_STATEMENT_BYTES = "maxStatementBytes";
    static const std::string CONFIG_DELIVERY = "delivery";

    const auto text = [&](const std::string& key) {
        return category.getValue(key, defaultText(key));
    };
    const auto integer = [&](const std::string& key) {
        return static_cast<int32_t>(category.getIntegerValue(key, defaultInteger(key)));
    };
    CategorySettings read;
    read.server = text(CONFIG_HOST);
    read.port = integer(CONFIG_PORT);
    read.schema = text(CONFIG_SCHEMA);
    read.user = text(CONFIG_USER);
    read.password = text(CONFIG_PASSWORD);
    read.instance = text(CONFIG_CORVANE_INSTANCE);
    read.source = text(CONFIG_DATA_SRC);
    read.writers = integer(CONFIG_WRITERS);
    read.table = text(CONFIG_TABLE);
    read.datapoints = text(CONFIG_DATAPOINTS);
    read.maxStatementBytes = integer(CONFIG_MAX_STATEMENT_BYTES);
    read.delivery = text(CONFIG_DELIVERY);
    read.params = category.getValueKVList(CONFIG_ADDITIONAL_PARAMS);
    checkAgainstDefinitions(category);
    checkParameters(read.params, CONFIG_ADDITIONAL_PARAMS);
    checkTable(read.table, CONFIG_TABLE);
    readStreamSettings(category, read);
    return read;
}

// The additional parameters as key=value; pairs in key order. Values that could
// end the attribute are braced; a value the user braced already is kept as
// written. A key that cannot be written safely is left out with an error.
std::string flattenParameters(const std::map<std::string, std::string>& params) {
    std::string flat;
    for (const auto& [key, value] : params) {
        if (isUnsafeKey(key)) {
            Logger::getLogger()->error(
                "Additional connection parameter '%s' ignored: a key cannot be empty "
                "or contain ';', '=', '{' or '}'",
                key.c_str());
            continue;
        }
        const std::string written = isBraced(value) ? value : ODBCConfig::connectionValue(value);
        flat += key + "=" + written + ";";
    }
    return flat;
}

}  // namespace

ODBCConfig::ODBCConfig()
    : server(defaultText("server")),
      port(defaultInteger("port")),
      schema(defaultText("schema")),
      user(defaultText("user")),
      password(defaultText("password")),
      corvaneInstance(defaultText("corvaneInstance")),
      source(defaultText("source")),
      writers(defaultInteger("writers")),
      table(defaultText("table")),
      datapoints(datapointLayoutFrom(defaultText("datapoints"))),
      maxStatementBytes(defaultInteger("maxStatementBytes")),
      delivery(deliveryFrom(defaultText("delivery"))),
      transport(transportFrom(defaultText("transport"))) {
    // The subclass rule is not in effect during construction; every rule gives
    // this same text.
    connectionString = composeConnectionString();
}

std::string ODBCConfig::connectionValue(const std::string& value) {
    const bool needsBraces =
        value.find_first_of(";{}") != std::string::npos || (!value.empty() && value.front() == ' ');
    if (!needsBraces)
        return value;
    std::string braced;
    braced.reserve(value.size() + 4);
    braced += '{';
    for (char c : value) {
        braced += c;
        if (c == '}')
            braced += '}';
    }
    braced += '}';
    return braced;
}

std::string ODBCConfig::composeConnectionString() const {
    std::string text;
    text.reserve(96 + server.size() + user.size() + password.size() + schema.size() +
                 additionalParams.size());
    text += "Driver={DatabricksODBCDriver};";
    text += "Host=" + connectionValue(server) + ";";
    text += "Port=" + std::to_string(port) + ";";
    text += "UID=" + connectionValue(user) + ";";
    text += "PWD=" + connectionValue(password) + ";";
    text += "SCHEMA=" + connectionValue(schema) + ";";
    text += additionalParams;
    return text;
}

void ODBCConfig::buildConnectionString() {
    connectionString = composeConnectionString();
}

void ODBCConfig::configure(const ConfigCategory* category) {
    Logger* logger = Logger::getLogger();
    try {
        CategorySettings read = readSettings(*category);
        server = std::move(read.server);
        port = read.port;
        schema = std::move(read.schema);
        user = std::move(read.user);
        password = std::move(read.password);
        corvaneInstance = std::move(read.instance);
        source = std::move(read.source);
        writers = read.writers;
        table = std::move(read.table);
        datapoints = datapointLayoutFrom(read.datapoints);
        maxStatementBytes = read.maxStatementBytes;
        delivery = deliveryFrom(read.delivery);
        transport = transportFrom(read.transport);
        stream = std::move(read.stream);
        additionalParams = flattenParameters(read.params);

        buildConnectionString();

        logger->info(
            "Database configuration set: Server=%s, Port=%d, Schema=%s, Additional connection "
            "parameter=%s",
            server.c_str(), port, schema.c_str(), maskConnectionText(additionalParams).c_str());
    } catch (const std::exception& e) {
        logger->error("Error during configuration: %s", e.what());
        throw;
    }
}

bool ODBCConfig::hasChanged(const ODBCConfig& other) const {
    return server != other.server || port != other.port || schema != other.schema ||
           user != other.user || password != other.password ||
           corvaneInstance != other.corvaneInstance || source != other.source ||
           additionalParams != other.additionalParams || writers != other.writers ||
           table != other.table || datapoints != other.datapoints ||
           maxStatementBytes != other.maxStatementBytes || delivery != other.delivery ||
           transport != other.transport || stream != other.stream;
}

bool ODBCConfig::isValid() const {
    Logger* logger = Logger::getLogger();
    if (server.empty()) {
        logger->error("Server hostname is empty");
        return false;
    }
    if (port < 1 || port > 65535) {
        logger->error("Invalid port number: %d", port);
        return false;
    }
    if (schema.empty()) {
        logger->error("Schema name is empty");
        return false;
    }
    if (user.empty()) {
        logger->error("Username is empty");
        return false;
    }
    if (password.empty()) {
        logger->error("Password is empty");
        return false;
    }
    if (corvaneInstance.empty()) {
        logger->error("Corvane instance name is empty");
        return false;
    }
    if (writers < 1 || writers > 16) {
        logger->error("Invalid number of parallel writers: %d", writers);
        return false;
    }
    if (maxStatementBytes < 65536 || maxStatementBytes > 67108864) {
        logger->error("Invalid largest statement size: %d bytes", maxStatementBytes);
        return false;
    }
    if (equalsIgnoringAsciiCase(table, REJECTS_TABLE)) {
        logger->error("The table for all readings is the rejects table: %s", table.c_str());
        return false;
    }
    return true;
}
