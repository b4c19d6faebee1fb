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

class Batch;

// One instance of the loaded plugin, started with a configuration category
// given as JSON and shut down when the object dies.
class PluginInstance {
  public:
    PluginInstance(const LoadedPlugin& plugin, const std::string& categoryJson);
    ~PluginInstance();
    PluginInstance(const PluginInstance&) = delete;
    PluginInstance& operator=(const PluginInstance&) = delete;
    // What the plugin's send returns for the batch's readings.
    uint32_t send(const Batch& batch);

  private:
    const LoadedPlugin& plugin;
    PLUGIN_HANDLE handle;
};

// The text with '"' and '\' escaped, for placing it inside a JSON string.
std::string jsonEscaped(const std::string& text);
