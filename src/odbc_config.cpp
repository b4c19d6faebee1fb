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

using Problems = std::vector<std::string>;

// The integer item `key`, or its default when the category lacks it; a value
// that is not a whole number adds a problem.
int32_t integerSetting(const ConfigCategory& category, const std::string& key, Problems& problems) {
    if (!category.itemExists(key))
        return defaultInteger(key);
    const std::string value = category.getValue(key);
    int32_t number = 0;
    if (!wholeNumberText(value, number)) {
        problems.push_back(itemProblem(key, "value \"" + value +
                                                "\" is not a whole number; write digits, such as " +
                                                configurationItem(key).defaultValue()));
        return defaultInteger(key);
    }
    return number;
}

// Adds a problem for every item of the category that breaks a rule of the
// default configuration. Items the category lacks take their defaults, which
// keep every rule. A NUL byte is refused in every item: the driver reads the
// connection string only up to it, so the settings after it (schema,
// warehouse path) would be silently dropped.
void checkAgainstDefinitions(const ConfigCategory& category, Problems& problems) {
    for (const ConfigItemDefinition& item : CONFIGURATION_ITEMS) {
        if (!category.itemExists(item.key))
            continue;
        const std::string value = category.getValue(item.key);
        if (holdsNul(value)) {
            problems.push_back(itemProblem(item.key, "holds a NUL byte"));
            continue;
        }
        // An empty integer is reported as not a whole number when it is read.
        const bool integer = std::strcmp(item.attribute("type"), "integer") == 0;
        if (item.isMandatory() && value.empty() && !integer) {
            problems.push_back(itemProblem(item.key, "is mandatory and cannot be empty"));
            continue;
        }
        const char* minimum = item.attribute("minimum");
        const char* maximum = item.attribute("maximum");
        int32_t number = 0;
        if (minimum && maximum && wholeNumberText(value, number) &&
            (number < std::strtol(minimum, nullptr, 10) ||
             number > std::strtol(maximum, nullptr, 10))) {
            problems.push_back(itemProblem(
                item.key, "value \"" + value + "\" is outside " + minimum + " to " + maximum));
        }
        const std::vector<std::string> choices = item.choices();
        if (!choices.empty() && std::find(choices.begin(), choices.end(), value) == choices.end()) {
            problems.push_back(itemProblem(
                item.key,
                "value \"" + value + "\" is not one of the choices: " + item.attribute("options")));
        }
    }
}

// A server given as a URL (with a scheme or a path) would be taken as a host
// name that no resolver knows.
void checkServer(const std::string& server, const std::string& key, Problems& problems) {
    if (server.find("://") == std::string::npos && server.find('/') == std::string::npos)
        return;
    problems.push_back(itemProblem(
        key, "value \"" + server +
                 "\" is a URL; write the host name only (such as "
                 "adb-1234567890123456.7.azuredatabricks.net) and give the warehouse's HTTP "
                 "path as the additionalParams key HTTPPath"));
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

void checkNotOwnAttribute(const std::string& name, const std::string& key, Problems& problems) {
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
        problems.push_back(itemProblem(
            key, "has the key \"" + name + "\", an attribute the plugin writes itself" + where));
    }
}

// Adds a problem when a key or value of the additional parameters holds a NUL
// byte (see checkAgainstDefinitions), when a key cannot be written into a
// connection string, or when a key is one of the attributes the plugin writes
// itself. The value is not shown: it may be a secret.
void checkParameters(const std::map<std::string, std::string>& params, const std::string& key,
                     Problems& problems) {
    for (const auto& [name, value] : params) {
        if (holdsNul(name)) {
            problems.push_back(itemProblem(key, "has a key holding a NUL byte"));
            continue;
        }
        if (isUnsafeKey(name)) {
            problems.push_back(itemProblem(
                key, "has the key \"" + name +
                         "\", which a connection string cannot carry: write the driver's "
                         "attribute name, without ';', '=', '{' or '}'"));
            continue;
        }
        checkNotOwnAttribute(name, key, problems);
        if (holdsNul(value)) {
            problems.push_back(
                itemProblem(key, "has a NUL byte in the value of key \"" + name + "\""));
        }
    }
}

// Readings routed to the rejects table would not fit its columns, and the
// rows it refused would then be sent to the very table that refused them.
// A blank name would become a table of underscores.
void checkTable(const std::string& table, const std::string& key, Problems& problems) {
    if (!table.empty() && table.find_first_not_of(" \t\r\n") == std::string::npos) {
        problems.push_back(itemProblem(key, "value \"" + table +
                                                "\" is blank; leave it empty for a table per "
                                                "asset, or name the table for all readings"));
    }
    if (equalsIgnoringAsciiCase(table, REJECTS_TABLE)) {
        problems.push_back(itemProblem(key, "value \"" + table + "\" is the rejects table \"" +
                                                std::string(REJECTS_TABLE) +
                                                "\"; choose another table"));
    }
}

// Throws std::invalid_argument with every problem, "; " between them, when
// there is any.
void throwProblems(const Problems& problems) {
    if (problems.empty())
        return;
    std::string all;
    for (const std::string& problem : problems)
        all += (all.empty() ? "" : "; ") + problem;
    throw std::invalid_argument(all);
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
// throws std::invalid_argument listing every problem, "; " between them.
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
    Problems problems;
    const auto integer = [&](const std::string& key) {
        return integerSetting(category, key, problems);
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
    try {
        read.params = category.getValueKVList(CONFIG_ADDITIONAL_PARAMS);
    } catch (const std::invalid_argument& e) {
        problems.push_back(e.what());
    }
    checkAgainstDefinitions(category, problems);
    checkServer(read.server, CONFIG_HOST, problems);
    checkParameters(read.params, CONFIG_ADDITIONAL_PARAMS, problems);
    checkTable(read.table, CONFIG_TABLE, problems);
    try {
        readStreamSettings(category, read);
    } catch (const std::invalid_argument& e) {
        problems.push_back(e.what());
    }
    throwProblems(problems);
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

// Returns true iff `text`, blanks around it aside, is a JSON number whose
// value is whole and fits 32 bits ("1e6" and "1000000.0" as well as
// "1000000"), and then stores it in `out`.
bool wholeNumberText(const std::string& text, int32_t& out) {
    const size_t first = text.find_first_not_of(" \t");
    const size_t last = text.find_last_not_of(" \t");
    if (first == std::string::npos)
        return false;
    const std::string bare = text.substr(first, last - first + 1);
    // The JSON number grammar: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
    size_t at = bare[0] == '-' ? 1 : 0;
    auto digits = [&]() {
        const size_t from = at;
        while (at < bare.size() && bare[at] >= '0' && bare[at] <= '9')
            ++at;
        return at - from;
    };
    const size_t start = at;
    if (digits() == 0 || (bare[start] == '0' && at - start > 1))
        return false;
    if (at < bare.size() && bare[at] == '.' && (++at, digits() == 0))
        return false;
    if (at < bare.size() && (bare[at] == 'e' || bare[at] == 'E')) {
        ++at;
        if (at < bare.size() && (bare[at] == '+' || bare[at] == '-'))
            ++at;
        if (digits() == 0)
            return false;
    }
    if (at != bare.size())
        return false;
    const double value = std::strtod(bare.c_str(), nullptr);
    if (!(value >= -2147483648.0 && value <= 2147483647.0) || value != static_cast<int32_t>(value))
        return false;
    out = static_cast<int32_t>(value);
    return true;
}

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
