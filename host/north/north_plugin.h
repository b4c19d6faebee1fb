#pragma once
// A north plugin loaded from a shared object: resolves the four entry points,
// checks that the plugin is a north plugin, and forwards calls to it.
//
// NorthPlugin owns the dlopen handle and the plugin instance handle: the
// destructor calls plugin_shutdown (when init succeeded and shutdown was not
// yet called) and then unloads the object. Exceptions thrown by the plugin are
// caught here and turned into errors. Not copyable; not thread-safe (the
// plugin is called from one thread at a time).

#include <cstdint>
#include <string>
#include <vector>

#include "plugin.h"

class NorthPlugin {
  public:
    // Loads the object and resolves the entry points. Throws std::runtime_error
    // naming the path and the problem (dlopen error, a missing entry point, an
    // information record that is missing or not of type "north").
    explicit NorthPlugin(const std::string& path);
    ~NorthPlugin();
    NorthPlugin(const NorthPlugin&) = delete;
    NorthPlugin& operator=(const NorthPlugin&) = delete;

    const PluginInfo& info() const { return *information; }
    const std::string& path() const { return objectPath; }

    // Calls plugin_init with the category. Throws std::runtime_error when the
    // plugin throws or returns a null handle.
    void init(ConfigCategory& category);
    // Calls plugin_send; an exception from the plugin counts as 0 (logged).
    uint32_t send(const std::vector<Reading*>& readings);
    // Calls plugin_shutdown once; later calls do nothing.
    void shutdown();

  private:
    std::string objectPath;
    void* library = nullptr;
    const PluginInfo* information = nullptr;
    PluginInfo* (*infoEntry)() = nullptr;
    PLUGIN_HANDLE (*initEntry)(ConfigCategory*) = nullptr;
    uint32_t (*sendEntry)(PLUGIN_HANDLE, const std::vector<Reading*>&) = nullptr;
    void (*shutdownEntry)(PLUGIN_HANDLE) = nullptr;
    PLUGIN_HANDLE handle = nullptr;
};
