#pragma once
// The plugin loaded the way the north service loads it: dlopen of the built
// shared object and its entry points. Unloaded when the object dies.

#include <cstdint>
#include <string>
#include <vector>

#include "plugin.h"

class LoadedPlugin {
  public:
    // Throws std::runtime_error with dlerror's text when the plugin cannot load.
    LoadedPlugin();
    ~LoadedPlugin();
    LoadedPlugin(const LoadedPlugin&) = delete;
    LoadedPlugin& operator=(const LoadedPlugin&) = delete;

    PluginInfo* (*info)() = nullptr;
    PLUGIN_HANDLE (*init)(ConfigCategory*) = nullptr;
    uint32_t (*sendFn)(PLUGIN_HANDLE, const std::vector<Reading*>&) = nullptr;
    void (*shutdown)(PLUGIN_HANDLE) = nullptr;

  private:
    void* handle;
};

// The text with '"' and '\' escaped, for placing it inside a JSON string.
std::string jsonEscaped(const std::string& text);
