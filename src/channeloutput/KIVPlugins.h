#pragma once
// Interfaces that plugin libraries implement. A plugin library exports
//   extern "C" KIVPlugins::Plugin* createPlugin();
// returning a new plugin built with its name; an output plugin class derives from Plugin first and
// ChannelOutputPlugin second, so the registry can cross-cast the one to the other.

#include <string>

class ChannelOutput;

namespace KIVPlugins {

class Plugin {
public:
    explicit Plugin(const std::string& n) : name(n) {}
    virtual ~Plugin() {}
    virtual void multiSyncData(const unsigned char* /*data*/, int /*len*/) {}
    const std::string& getName() const { return name; }

protected:
    std::string name;
};

class ChannelOutputPlugin {
public:
    virtual ~ChannelOutputPlugin() {}
    // A new output owned by the caller, or null.
    virtual ChannelOutput* createChannelOutput(unsigned int /*startChannel*/, unsigned int /*channelCount*/) {
        return nullptr;
    }
};

// An output plugin that creates one class of output, Output(startChannel, channelCount).
template <class Output> class SimpleOutputPlugin : public Plugin, public ChannelOutputPlugin {
public:
    explicit SimpleOutputPlugin(const std::string& n) : Plugin(n) {}
    ChannelOutput* createChannelOutput(unsigned int startChannel, unsigned int channelCount) override {
        return new Output(startChannel, channelCount);
    }
};

} // namespace KIVPlugins

extern "C" {
typedef KIVPlugins::Plugin* (*KIVCreatePluginFunction)();
}
