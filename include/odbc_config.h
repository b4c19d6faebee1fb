#pragma once
// ODBCConfig: the connection settings of one connector.
//
// Reads server, port, schema, credentials, instance name, data source and the
// additional driver parameters from the host's configuration category,
// compares two sets of settings, checks them for plausibility and builds the
// ODBC connection string. Values holding ';', '{' or '}', or starting with a
// blank, are written in braces with '}' doubled, so no setting can add
// attributes to the connection string. The password is never logged.
// Copyable (the connector keeps the previous settings); not thread-safe.

#include <cstdint>
#include <map>
#include <string>

class ConfigCategory;

class ODBCConfig {
  public:
    ODBCConfig();
    ODBCConfig(const ODBCConfig&) = default;
    ODBCConfig& operator=(const ODBCConfig&) = default;
    virtual ~ODBCConfig() = default;

    virtual std::string getConnectionString() const { return connectionString; }
    virtual void buildConnectionString();

    // Reads every setting from the category and rebuilds the connection string;
    // a failure is logged and thrown on.
    void configure(const ConfigCategory* category);
    bool hasChanged(const ODBCConfig& other) const;
    bool isValid() const;

    // A connection-string attribute value: unchanged when it is safe, else in
    // braces with every '}' doubled.
    static std::string connectionValue(const std::string& value);
    // True when a key names a secret (contains pwd, password, secret or token,
    // ignoring case); its value is never logged.
    static bool isSecretKey(const std::string& key);

    std::string server;
    int32_t port;
    std::string schema;
    std::string user;
    std::string password;
    std::string corvaneInstance;
    std::string source;
    std::string additionalParams;
    std::string connectionString;

  protected:
    // The connection string of the plugin's rule; every subclass rule gives the
    // same text.
    std::string composeConnectionString() const;
};
