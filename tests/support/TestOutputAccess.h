#pragma once
// Reaches the probe of the test output plugin once the plugin manager has loaded it.

#include "plugins/TestOutputProbe.h"

#include <dlfcn.h>

#include <string>

inline TestOutputProbe* ProbeOfLoadedTestOutput() {
    std::string path = std::string(KIV_RUNTIME_DIR) + "/kiv-co-TestOutput.so";
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!handle) {
        return nullptr;
    }
    auto probe = reinterpret_cast<TestOutputProbe* (*)()>(dlsym(handle, "kivTestOutputProbe"));
    dlclose(handle); // drops only the reference RTLD_NOLOAD added
    return probe ? probe() : nullptr;
}

#include "player/PluginManager.h"

#include <gtest/gtest.h>

// Unloads the plugins at the end of the test program, so leak checking sees every plugin freed.
class UnloadPluginsAtExit : public ::testing::Environment {
public:
    void TearDown() override { PluginManager::INSTANCE.Cleanup(); }
};
