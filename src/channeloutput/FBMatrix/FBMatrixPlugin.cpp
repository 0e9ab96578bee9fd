// kiv-co-FBMatrix: the plugin that creates FBMatrixOutput.

#include "FBMatrix.h"

#include "channeloutput/KIVPlugins.h"

namespace {

class FBMatrixPlugin : public KIVPlugins::Plugin, public KIVPlugins::ChannelOutputPlugin {
public:
    FBMatrixPlugin() : KIVPlugins::Plugin("FBMatrix") {}
    ChannelOutput* createChannelOutput(unsigned int startChannel, unsigned int channelCount) override {
        return new FBMatrixOutput(startChannel, channelCount);
    }
};

} // namespace

extern "C" KIVPlugins::Plugin* createPlugin() {
    return new FBMatrixPlugin();
}
