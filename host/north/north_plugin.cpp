#include "north_plugin.h"

#include <dlfcn.h>

#include <cstring>
#include <exception>
#include <stdexcept>

#include "logger.h"

namespace {

template <typename Function>
Function resolve(void* library, const std::string& path, const char* name) {
    dlerror();
    void* symbol = dlsym(library, name);
    if (!symbol) {
        throw std::runtime_error("plugin " + path + " does not export the entry point " + name);
    }
    Function function;
    static_assert(sizeof function == sizeof symbol, "function and object pointers differ");
    std::memcpy(&function, &symbol, sizeof function);
    return function;
}

}  // namespace

NorthPlugin::NorthPlugin(const std::string& path) : objectPath(path) {
    // RTLD_NODELETE keeps the plugin and what it pulled in (the ODBC driver
    // manager and its loader) mapped until the process ends: those libraries
    // keep one-time global state that would be lost, and reported as leaked,
    // if they were unmapped at dlclose.
    library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!library) {
        const char* why = dlerror();
        throw std::runtime_error("cannot load plugin " + path + ": " +
                                 (why ? why : "unknown error"));
    }
    try {
        infoEntry = resolve<decltype(infoEntry)>(library, path, "plugin_info");
        initEntry = resolve<decltype(initEntry)>(library, path, "plugin_init");
        sendEntry = resolve<decltype(sendEntry)>(library, path, "plugin_send");
        shutdownEntry = resolve<decltype(shutdownEntry)>(library, path, "plugin_shutdown");
        try {
            information = infoEntry();
        } catch (const std::exception& e) {
            throw std::runtime_error("plugin_info of " + path + " failed: " + e.what());
        }
        if (!information)
            throw std::runtime_error("plugin_info of " + path + " returned null");
        const char* type = information->type;
        if (!type || std::strcmp(type, "north") != 0) {
            throw std::runtime_error("plugin " + path + " is of type \"" +
                                     (type ? type : "(none)") + "\", not a north plugin");
        }
        if (!information->config) {
            throw std::runtime_error("plugin " + path + " has no default configuration");
        }
    } catch (...) {
        dlclose(library);
        library = nullptr;
        throw;
    }
}

NorthPlugin::~NorthPlugin() {
    shutdown();
    if (library)
        dlclose(library);
}

void NorthPlugin::init(ConfigCategory& category) {
    PLUGIN_HANDLE created = nullptr;
    try {
        created = initEntry(&category);
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("plugin_init failed: ") + e.what());
    } catch (...) {
        throw std::runtime_error("plugin_init failed with an unknown exception");
    }
    if (!created)
        throw std::runtime_error("plugin_init returned no handle");
    handle = created;
}

uint32_t NorthPlugin::send(const std::vector<Reading*>& readings) {
    if (!handle)
        return 0;
    try {
        return sendEntry(handle, readings);
    } catch (const std::exception& e) {
        Logger::getLogger()->error("plugin_send threw an exception: %s", e.what());
    } catch (...) {
        Logger::getLogger()->error("plugin_send threw an unknown exception");
    }
    return 0;
}

void NorthPlugin::shutdown() {
    if (!handle)
        return;
    PLUGIN_HANDLE closing = handle;
    handle = nullptr;
    try {
        shutdownEntry(closing);
    } catch (const std::exception& e) {
        Logger::getLogger()->error("plugin_shutdown threw an exception: %s", e.what());
    } catch (...) {
        Logger::getLogger()->error("plugin_shutdown threw an unknown exception");
    }
}
