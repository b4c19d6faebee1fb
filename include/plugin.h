#pragma once
// The plugin's entry points and information record, as the north service sees
// them. The shared object exports exactly these four functions.
//
// What the plugin assumes of the host: the host calls the entry points for one
// handle from one thread at a time. The host's logger (Logger::getLogger()) is
// the only host object the plugin uses from more than one thread: with
// parallel writers a batch's tables are written on writer threads that log
// while the sending thread logs too, so every Logger member must be safe to
// call from several threads at once, each call writing one whole line. The
// plugin never logs from inside a logger callback.

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
