// kiv-co-DPIPixels: the plugin that creates DPIPixelsOutput.

#include "DPIPixels.h"

#include "channeloutput/KIVPlugins.h"

namespace {

class DPIPixelsOutputPlugin : public KIVPlugins::Plugin, public KIVPlugins::ChannelOutputPlugin {
public:
    DPIPixelsOutputPlugin() : KIVPlugins::Plugin("DPIPixels") {}
    ChannelOutput* createChannelOutput(unsigned int startChannel, unsigned int channelCount) override {
        return new DPIPixelsOutput(startChannel, channelCount);
    }
};

} // namespace

extern "C" KIVPlugins::Plugin* createPlugin() {
    return new DPIPixelsOutputPlugin();
}
