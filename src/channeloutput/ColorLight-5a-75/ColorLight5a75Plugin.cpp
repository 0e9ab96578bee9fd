// kiv-co-matrix-ColorLight5a75: the plugin that creates ColorLight5a75Output.

#include "ColorLight-5a-75.h"

#include "channeloutput/KIVPlugins.h"

namespace {

class ColorLight5a75Plugin : public KIVPlugins::Plugin, public KIVPlugins::ChannelOutputPlugin {
public:
    ColorLight5a75Plugin() : KIVPlugins::Plugin("ColorLight5a75") {}
    ChannelOutput* createChannelOutput(unsigned int startChannel, unsigned int channelCount) override {
        return new ColorLight5a75Output(startChannel, channelCount);
    }
};

} // namespace

extern "C" KIVPlugins::Plugin* createPlugin() {
    return new ColorLight5a75Plugin();
}
