#include "loaded_plugin.h"

#include <dlfcn.h>

#include <stdexcept>

#include "config_category.h"
#include "readings.h"

LoadedPlugin::LoadedPlugin() {
    handle = dlopen(LAKESINK_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        throw std::runtime_error(dlerror());
    info = reinterpret_cast<decltype(info)>(dlsym(handle, "plugin_info"));
    init = reinterpret_cast<decltype(init)>(dlsym(handle, "plugin_init"));
    sendFn = reinterpret_cast<decltype(sendFn)>(dlsym(handle, "plugin_send"));
    shutdown = reinterpret_cast<decltype(shutdown)>(dlsym(handle, "plugin_shutdown"));
}

LoadedPlugin::~LoadedPlugin() {
    dlclose(handle);
}

std::string jsonEscaped(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out;
}

PluginInstance::PluginInstance(const LoadedPlugin& plugin, const std::string& categoryJson)
    : plugin(plugin) {
    ConfigCategory category("lakesink", categoryJson);
    handle = plugin.init(&category);
}

PluginInstance::~PluginInstance() {
    plugin.shutdown(handle);
}

uint32_t PluginInstance::send(const Batch& batch) {
    return plugin.sendFn(handle, batch.pointers());
}
