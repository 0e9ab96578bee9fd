#pragma once
// Loads plugin libraries by name and keeps them for the daemon's life.
//
// findPlugin opens DIR/LIBRARY.so, where DIR is the executable's folder unless
// setPluginDirectory changed it, calls its createPlugin and keeps the plugin and the library
// handle; the manager owns both until Cleanup, which deletes the plugins and then closes the
// libraries. A library that failed to load is not tried again within one second, so a bad
// configuration asking for it many times does not reopen it each time. User plugins (scripts and
// web pages of the wider player) are outside this system: loadUserPlugins only logs.
// Serves "/plugins" (GET: the loaded plugins) once registerApis was called.
// All members are guarded by one mutex; plugins' createPlugin must not call back into the manager.

#include "channeloutput/KIVPlugins.h"
#include "common/httpserver/httpserver.h"

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class PluginManager : public httpserver::http_resource {
public:
    static PluginManager INSTANCE;

    void init();
    void loadUserPlugins();
    // No loaded plugin has a control socket; nothing is added.
    void addControlCallbacks(std::map<int, std::function<bool(int)>>& callbacks);
    void registerApis(httpserver::webserver* server);
    void unregisterApis(httpserver::webserver* server);
    void Cleanup();

    // The loaded plugin of that name or library, else the one that library's createPlugin makes (an
    // empty library name means "kiv-co-" + name). Null when the library, its createPlugin or a plugin
    // of that name is missing (logged to the Plugin logger); a name "matrix-" + N is answered by a
    // plugin named N. The manager keeps ownership.
    KIVPlugins::Plugin* findPlugin(const std::string& name, const std::string& libraryName = "");
    bool hasPlugins();
    void setPluginDirectory(const std::string& dir);

    std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request& req) override;

private:
    struct Loaded {
        KIVPlugins::Plugin* plugin;
        std::string library;
        void* handle;
    };
    using Clock = std::chrono::steady_clock;

    KIVPlugins::Plugin* load(const std::string& name, const std::string& library);
    KIVPlugins::Plugin* createFrom(void* handle, const std::string& name, const std::string& path);
    std::string directory();

    std::mutex lock;
    std::string pluginDirectory;                     // empty: the executable's folder
    std::vector<Loaded> loaded;                      // in load order
    std::map<std::string, Clock::time_point> failed; // library -> time of its last failed load
};
