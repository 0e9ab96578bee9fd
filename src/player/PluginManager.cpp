#include "PluginManager.h"

#include "common/Common.h"
#include "common/Log.h"

#include <dlfcn.h>
#include <libgen.h>
#include <unistd.h>

#include <climits>

PluginManager PluginManager::INSTANCE;

namespace {

constexpr auto RETRY_AFTER = std::chrono::seconds(1);

std::string executableFolder() {
    char path[PATH_MAX] = {};
    ssize_t len = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (len <= 0) {
        return ".";
    }
    path[len] = 0;
    return dirname(path);
}

std::string dlErrorText() {
    const char* err = dlerror();
    return err ? err : "unknown error";
}

} // namespace

void PluginManager::init() {
    std::lock_guard<std::mutex> l(lock);
    LogDebug(LG_PLUGIN, "Plugins are loaded from %s\n", directory().c_str());
}

void PluginManager::loadUserPlugins() {
    LogDebug(LG_PLUGIN, "User plugins are not supported by this daemon; none loaded\n");
}

void PluginManager::addControlCallbacks(std::map<int, std::function<bool(int)>>&) {}

void PluginManager::registerApis(httpserver::webserver* server) {
    if (server) {
        server->register_resource("/plugins", this, true);
    }
}

void PluginManager::unregisterApis(httpserver::webserver* server) {
    if (server) {
        server->unregister_resource("/plugins");
    }
}

void PluginManager::setPluginDirectory(const std::string& dir) {
    std::lock_guard<std::mutex> l(lock);
    pluginDirectory = dir;
    failed.clear();
}

// Called with the lock held.
std::string PluginManager::directory() {
    if (pluginDirectory.empty()) {
        pluginDirectory = executableFolder();
    }
    return pluginDirectory;
}

KIVPlugins::Plugin* PluginManager::findPlugin(const std::string& name, const std::string& libraryName) {
    std::lock_guard<std::mutex> l(lock);
    std::string library = libraryName.empty() ? "kiv-co-" + name : libraryName;
    for (auto& entry : loaded) {
        if (entry.plugin->getName() == name || entry.library == library) {
            return entry.plugin;
        }
    }
    auto previous = failed.find(library);
    if (previous != failed.end() && Clock::now() - previous->second < RETRY_AFTER) {
        return nullptr;
    }
    KIVPlugins::Plugin* plugin = load(name, library);
    if (plugin) {
        failed.erase(library);
    } else {
        failed[library] = Clock::now();
    }
    return plugin;
}

KIVPlugins::Plugin* PluginManager::load(const std::string& name, const std::string& library) {
    std::string path = directory() + "/" + library + ".so";
    void* handle = dlopen(path.c_str(), RTLD_NOW);
    if (!handle) {
        LogErr(LG_PLUGIN, "Could not load plugin library %s: %s\n", path.c_str(), dlErrorText().c_str());
        return nullptr;
    }
    KIVPlugins::Plugin* plugin = createFrom(handle, name, path);
    if (!plugin) {
        dlclose(handle);
        return nullptr;
    }
    loaded.push_back({plugin, library, handle});
    LogDebug(LG_PLUGIN, "Loaded plugin %s from %s\n", name.c_str(), path.c_str());
    return plugin;
}

KIVPlugins::Plugin* PluginManager::createFrom(void* handle, const std::string& name,
                                              const std::string& path) {
    dlerror();
    auto create = reinterpret_cast<KIVCreatePluginFunction>(dlsym(handle, "createPlugin"));
    if (!create) {
        LogErr(LG_PLUGIN, "Plugin library %s has no createPlugin: %s\n", path.c_str(), dlErrorText().c_str());
        return nullptr;
    }
    KIVPlugins::Plugin* plugin = create();
    if (!plugin) {
        LogErr(LG_PLUGIN, "createPlugin of %s returned no plugin\n", path.c_str());
        return nullptr;
    }
    // Panel matrix libraries carry the "matrix-" prefix of their type; their plugins do not.
    if (plugin->getName() != name && "matrix-" + plugin->getName() != name) {
        LogErr(LG_PLUGIN, "Plugin library %s makes plugin '%s', not '%s'\n", path.c_str(),
               plugin->getName().c_str(), name.c_str());
        delete plugin;
        return nullptr;
    }
    return plugin;
}

bool PluginManager::hasPlugins() {
    std::lock_guard<std::mutex> l(lock);
    return !loaded.empty();
}

// Plugins first: their destructors run code of the libraries closed after them.
void PluginManager::Cleanup() {
    std::lock_guard<std::mutex> l(lock);
    for (auto& entry : loaded) {
        delete entry.plugin;
    }
    for (auto& entry : loaded) {
        dlclose(entry.handle);
    }
    loaded.clear();
    failed.clear();
}

std::shared_ptr<httpserver::http_response> PluginManager::render_GET(const httpserver::http_request&) {
    Json::Value result;
    result["plugins"] = Json::Value(Json::arrayValue);
    {
        std::lock_guard<std::mutex> l(lock);
        for (auto& entry : loaded) {
            Json::Value p;
            p["name"] = entry.plugin->getName();
            p["library"] = entry.library;
            result["plugins"].append(p);
        }
    }
    return std::make_shared<httpserver::string_response>(SaveJsonToString(result, ""), 200,
                                                         "application/json");
}
