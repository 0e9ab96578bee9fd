// kiv-co-matrix-RGBMatrix: the plugin that creates RGBMatrixOutput.

#include "RGBMatrix.h"

#include "channeloutput/KIVPlugins.h"

namespace {

class RGBMatrixPlugin : public KIVPlugins::Plugin, public KIVPlugins::ChannelOutputPlugin {
public:
    RGBMatrixPlugin() : KIVPlugins::Plugin("RGBMatrix") {}
    ChannelOutput* createChannelOutput(unsigned int startChannel, unsigned int channelCount) override {
        return new RGBMatrixOutput(startChannel, channelCount);
    }
};

} // namespace

extern "C" KIVPlugins::Plugin* createPlugin() {
    return new RGBMatrixPlugin();
}
