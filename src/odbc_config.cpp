#include "odbc_config.h"

#include <exception>
#include <map>

#include "config_category.h"
#include "logger.h"
#include "text_util.h"

namespace {

const char* const DEFAULT_SERVER = "localhost";
const int32_t DEFAULT_PORT = 443;
const char* const DEFAULT_SCHEMA = "default_schema";
const char* const DEFAULT_USER = "default_user";
const char* const DEFAULT_PASSWORD = "lisk";
const char* const DEFAULT_INSTANCE = "corvaneInstance";
const char* const DEFAULT_SOURCE = "readings";

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

}  // namespace

ODBCConfig::ODBCConfig()
    : server(DEFAULT_SERVER),
      port(DEFAULT_PORT),
      schema(DEFAULT_SCHEMA),
      user(DEFAULT_USER),
      password(DEFAULT_PASSWORD),
      corvaneInstance(DEFAULT_INSTANCE),
      source(DEFAULT_SOURCE) {
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

bool ODBCConfig::isSecretKey(const std::string& key) {
    const std::string lower = foldAsciiCase(key);
    for (const char* word : {"pwd", "password", "secret", "token"}) {
        if (lower.find(word) != std::string::npos)
            return true;
    }
    return false;
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
    static const std::string CONFIG_HOST = "server";
    static const std::string CONFIG_PORT = "port";
    static const std::string CONFIG_SCHEMA = "schema";
    static const std::string CONFIG_USER = "user";
    static const std::string CONFIG_PASSWORD = "password";
    static const std::string CONFIG_DATA_SRC = "source";
    static const std::string CONFIG_CORVANE_INSTANCE = "corvaneInstance";
    static const std::string CONFIG_ADDITIONAL_PARAMS = "additionalParams";

    Logger* logger = Logger::getLogger();
    try {
        std::string newServer = category->getValue(CONFIG_HOST, DEFAULT_SERVER);
        int32_t newPort = category->getIntegerValue(CONFIG_PORT, DEFAULT_PORT);
        std::string newSchema = category->getValue(CONFIG_SCHEMA, DEFAULT_SCHEMA);
        std::string newUser = category->getValue(CONFIG_USER, DEFAULT_USER);
        std::string newPassword = category->getValue(CONFIG_PASSWORD, DEFAULT_PASSWORD);
        std::string newInstance = category->getValue(CONFIG_CORVANE_INSTANCE, DEFAULT_INSTANCE);
        std::string newSource = category->getValue(CONFIG_DATA_SRC, DEFAULT_SOURCE);
        std::map<std::string, std::string> params =
            category->getValueKVList(CONFIG_ADDITIONAL_PARAMS);

        server = newServer;
        port = newPort;
        schema = newSchema;
        user = newUser;
        password = newPassword;
        corvaneInstance = newInstance;
        source = newSource;

        // key=value; pairs in key order. Values that could end the attribute are
        // braced; a value the user braced already is kept as written.
        additionalParams.clear();
        std::string shownParams;
        for (const auto& [key, value] : params) {
            if (isUnsafeKey(key)) {
                logger->error(
                    "Additional connection parameter '%s' ignored: a key cannot be empty "
                    "or contain ';', '=', '{' or '}'",
                    key.c_str());
                continue;
            }
            const std::string written = isBraced(value) ? value : connectionValue(value);
            additionalParams += key + "=" + written + ";";
            shownParams += key + "=" + (isSecretKey(key) ? std::string("****") : written) + ";";
        }

        buildConnectionString();

        logger->info(
            "Database configuration set: Server=%s, Port=%d, Schema=%s, Additional connection "
            "parameter=%s",
            server.c_str(), port, schema.c_str(), shownParams.c_str());
    } catch (const std::exception& e) {
        logger->error("Error during configuration: %s", e.what());
        throw;
    }
}

bool ODBCConfig::hasChanged(const ODBCConfig& other) const {
    return server != other.server || port != other.port || schema != other.schema ||
           user != other.user || password != other.password ||
           corvaneInstance != other.corvaneInstance || source != other.source ||
           additionalParams != other.additionalParams;
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
    return true;
}
