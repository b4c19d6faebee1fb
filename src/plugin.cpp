// The plugin's entry points: a thin shell around one DatabricksODBCConnector
// per plugin instance.

#include "plugin.h"

#include <memory>

#include "databricks_odbc_connector.h"

#define PLUGIN_EXPORT __attribute__((visibility("default")))

namespace {

const char* const DEFAULT_CONFIG = R"json({
    "plugin": {
        "description": "lakesink North Plugin",
        "type": "string",
        "default": "lakesink",
        "readonly": "true"
    },
    "server": {
        "description": "The full Databricks server URL (account identifier)",
        "type": "string",
        "default": "localhost",
        "order": "1",
        "displayName": "Databricks Server URL",
        "mandatory": "true"
    },
    "port": {
        "description": "Databricks server port (default is 443 for HTTPS)",
        "type": "integer",
        "default": "443",
        "minimum": "1",
        "maximum": "65535",
        "order": "2",
        "displayName": "Databricks Server Port",
        "mandatory": "true"
    },
    "schema": {
        "description": "The name of the Databricks schema to connect to",
        "type": "string",
        "default": "default_schema",
        "order": "3",
        "displayName": "Schema Name",
        "mandatory": "true"
    },
    "user": {
        "description": "Databricks username for authentication",
        "type": "string",
        "default": "default_user",
        "order": "4",
        "displayName": "Username",
        "mandatory": "true"
    },
    "password": {
        "description": "Password for the Databricks account",
        "type": "password",
        "default": "lisk",
        "order": "5",
        "displayName": "Password",
        "mandatory": "true"
    },
    "corvaneInstance": {
        "description": "The name of the Corvane instance",
        "type": "string",
        "default": "corvaneInstance",
        "order": "6",
        "displayName": "Corvane Instance Name",
        "mandatory": "true"
    },
    "source": {
        "description": "Source of the data to send to Databricks",
        "type": "enumeration",
        "default": "readings",
        "options": ["readings"],
        "order": "7",
        "displayName": "Data Source"
    },
    "additionalParams": {
        "description": "Additional optional parameters for customizing the Databricks connection (e.g., extra ODBC options or advanced settings)",
        "type": "kvlist",
        "items": "string",
        "order": "8",
        "default": "{}",
        "displayName": "Additional Connection Parameters"
    }
})json";

PluginInfo info = {
    "lakesink",           // name
    "3.1.0-28-gd2f8486",  // version
    0,                    // options
    "north",              // type
    "1.0.0",              // interface
    DEFAULT_CONFIG        // config
};

}  // namespace

extern "C" {

PLUGIN_EXPORT PluginInfo* plugin_info() {
    return &info;
}

PLUGIN_EXPORT PLUGIN_HANDLE plugin_init(ConfigCategory* config) {
    std::unique_ptr<DatabricksODBCConnector> connector(new DatabricksODBCConnector());
    connector->configure(config);
    return connector.release();
}

PLUGIN_EXPORT uint32_t plugin_send(PLUGIN_HANDLE handle, const std::vector<Reading*>& readings) {
    if (!handle)
        return 0;
    auto* connector = static_cast<DatabricksODBCConnector*>(handle);
    return connector->send(readings) ? static_cast<uint32_t>(readings.size()) : 0;
}

PLUGIN_EXPORT void plugin_shutdown(PLUGIN_HANDLE handle) {
    delete static_cast<DatabricksODBCConnector*>(handle);
}
}
