#pragma once
// ODBCConfig: the connection settings of one connector.
//
// Reads server, port, schema, credentials, instance name, data source, the
// additional driver parameters, the number of parallel writers and the write
// settings (one table for all readings, datapoint layout, largest statement,
// delivery guarantee) from the host's configuration category, compares two sets of settings, checks
// them for plausibility and builds the ODBC connection string. Values holding ';',
// '{' or '}', or starting with a blank, are written in braces with '}'
// doubled, so no setting can add attributes to the connection string. The
// password is never logged, and of the additional parameters only the values
// of keys known to hold no secret are (connection_secrets.h).
// Copyable (the connector keeps the previous settings); not thread-safe.
//
// CONFIGURATION_ITEMS is the one table of the plugin's configuration items:
// the default configuration the host shows is written from it, and the
// settings take their defaults, mandatory items, bounds and options from it.
// Constant data, safe to read from any thread and during static initialisation.

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "stream_settings.h"

class ConfigCategory;

// One attribute of a configuration item, as the host shows it. The value of
// "options" (the choices of an enumeration) is a list of choices separated by
// ','; every other value is a single text.
struct ConfigAttribute {
    const char* name;
    const char* value;
};

// One configuration item: its key and its attributes in the order the host
// shows them; unused attribute slots have a null name.
struct ConfigItemDefinition {
    const char* key;
    std::array<ConfigAttribute, 8> attributes;

    // The value of the named attribute, or null when the item lacks it.
    const char* attribute(const char* name) const;
    // The item's "default" attribute; the empty text when it has none.
    const char* defaultValue() const;
    // Returns true iff the item's "mandatory" attribute is "true".
    bool isMandatory() const;
    // The choices of the item's "options" attribute; none when it has none.
    std::vector<std::string> choices() const;
};

extern const std::array<ConfigItemDefinition, 19> CONFIGURATION_ITEMS;

// The item of the table with this key. Throws std::out_of_range for a key the
// table does not hold.
const ConfigItemDefinition& configurationItem(const std::string& key);

// Returns true iff `text`, blanks around it aside, is a JSON number whose
// value is whole and fits 32 bits ("1e6" and "1000000.0" as well as
// "1000000"), and then stores it in `out`: how integer items are read.
bool wholeNumberText(const std::string& text, int32_t& out);

class ODBCConfig {
  public:
    // How a reading's datapoints are written: a column each ("columns"), or
    // all together as one JSON object in a VARIANT column ("variant").
    enum class DatapointLayout { Columns, Variant };
    // Whether a batch that may already be in the warehouse is written so that
    // no row repeats ("exactly-once"), or simply again ("at-least-once").
    enum class Delivery { ExactlyOnce, AtLeastOnce };
    // How rows reach their tables: as INSERT statements through the
    // warehouse ("statements"), or as records over the direct ingest stream
    // ("stream"), tables still being created through the warehouse.
    enum class Transport { Statements, Stream };

    ODBCConfig();
    ODBCConfig(const ODBCConfig&) = default;
    ODBCConfig& operator=(const ODBCConfig&) = default;
    virtual ~ODBCConfig() = default;

    virtual std::string getConnectionString() const { return connectionString; }
    virtual void buildConnectionString();

    // Reads every setting from the category and rebuilds the connection string.
    // A setting that does not read, or that the default configuration does not
    // allow (an empty mandatory item, an integer outside its bounds, a value
    // that is not one of its options, a NUL byte anywhere, a key of
    // additionalParams that names an attribute the plugin writes itself:
    // Driver, Host, Port, UID, PWD or SCHEMA in any case, a table that is the
    // rejects table in any case), is a configuration
    // error: it is logged and thrown on as std::invalid_argument, and no
    // setting changes.
    void configure(const ConfigCategory* category);
    // Returns true iff a setting other than the connection string differs.
    bool hasChanged(const ODBCConfig& other) const;
    // Returns true iff every setting is plausible; logs the first problem.
    bool isValid() const;

    // A connection-string attribute value: unchanged when it is safe, else in
    // braces with every '}' doubled.
    static std::string connectionValue(const std::string& value);

    std::string server;
    int32_t port;
    std::string schema;
    std::string user;
    std::string password;
    std::string corvaneInstance;
    std::string source;
    std::string additionalParams;
    // How many connections may write a batch's tables at once (1 to 16). Not
    // part of the connection string: every connection uses the same one.
    int32_t writers;
    // The table every reading goes to; empty for a table per asset code. Kept
    // as the user wrote it (never the rejects table, in any letter case): the
    // write path renames it like an asset code.
    std::string table;
    DatapointLayout datapoints;
    // The longest INSERT the write path may send, in bytes (65536 to 67108864).
    int32_t maxStatementBytes;
    Delivery delivery;
    Transport transport;
    // The stream transport's settings, resolved and checked when the
    // transport is "stream"; the client secret is never logged.
    StreamSettings stream;
    // Neither the table nor the three settings after it are part of the
    // connection string.
    std::string connectionString;

  protected:
    // The connection string of the plugin's rule; every subclass rule gives the
    // same text.
    std::string composeConnectionString() const;
};
