// kiv-co-VirtualDisplay: the plugin that creates VirtualDisplayOutput.

#include "VirtualDisplay.h"

#include "channeloutput/KIVPlugins.h"

namespace {

class VirtualDisplayPlugin : public KIVPlugins::Plugin, public KIVPlugins::ChannelOutputPlugin {
public:
    VirtualDisplayPlugin() : KIVPlugins::Plugin("VirtualDisplay") {}
    ChannelOutput* createChannelOutput(unsigned int startChannel, unsigned int channelCount) override {
        return new VirtualDisplayOutput(startChannel, channelCount);
    }
};

} // namespace

extern "C" KIVPlugins::Plugin* createPlugin() {
    return new VirtualDisplayPlugin();
}
