#pragma once
// The plugin's entry points and information record, as the north service sees
// them. The shared object exports exactly these four functions.

#include <cstdint>
#include <vector>

class ConfigCategory;
class Reading;

extern "C" {

typedef struct {
    const char* name;
    const char* version;
    unsigned int options;
    const char* type;
    const char* interface;
    const char* config;
} PluginInfo;

typedef void* PLUGIN_HANDLE;

PluginInfo* plugin_info();
PLUGIN_HANDLE plugin_init(ConfigCategory* config);
uint32_t plugin_send(PLUGIN_HANDLE handle, const std::vector<Reading*>& readings);
void plugin_shutdown(PLUGIN_HANDLE handle);
}
