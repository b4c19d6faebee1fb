// The plugin's entry points: a thin shell around one DatabricksODBCConnector
// per plugin instance.

#include "plugin.h"

#include <cstring>
#include <memory>
#include <string>

#include "databricks_odbc_connector.h"
#include "json_text.h"
#include "odbc_config.h"

#define PLUGIN_EXPORT __attribute__((visibility("default")))

#ifndef LAKESINK_VERSION
#error "LAKESINK_VERSION must be defined by the build (see CMakeLists.txt)"
#endif

namespace {

// An attribute's JSON value: a string, or for "options" an array of strings.
std::string attributeJson(const ConfigItemDefinition& item, const ConfigAttribute& attribute) {
    if (std::strcmp(attribute.name, "options") != 0)
        return jsonString(attribute.value);
    std::string list;
    for (const std::string& choice : item.choices())
        list += (list.empty() ? "" : ", ") + jsonString(choice.c_str());
    return "[" + list + "]";
}

// The default configuration the host reads: one JSON object of the items of
// CONFIGURATION_ITEMS, in their order, each attribute on its own line.
std::string writeDefaultConfiguration() {
    std::string text = "{";
    const char* itemSeparator = "\n";
    for (const ConfigItemDefinition& item : CONFIGURATION_ITEMS) {
        text += itemSeparator + std::string("    ") + jsonString(item.key) + ": {";
        const char* attributeSeparator = "\n";
        for (const ConfigAttribute& attribute : item.attributes) {
            if (!attribute.name)
                continue;
            text += attributeSeparator + std::string("        ") + jsonString(attribute.name) +
                    ": " + attributeJson(item, attribute);
            attributeSeparator = ",\n";
        }
        text += "\n    }";
        itemSeparator = ",\n";
    }
    return text + "\n}";
}

const std::string& defaultConfiguration() {
    static const std::string text = writeDefaultConfiguration();
    return text;
}

// The config text is written from the item table while the shared object is
// loaded; nothing changes the record afterwards.
PluginInfo info = {
    "lakesink",                     // name
    LAKESINK_VERSION,               // version
    0,                              // options
    "north",                        // type
    "1.0.0",                        // interface
    defaultConfiguration().c_str()  // config
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
