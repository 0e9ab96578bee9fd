// The plugin of kiv-co-TestRecorder: it makes TestRecorderOutput objects.
#include "TestRecorderOutput.h"

#include "channeloutput/KIVPlugins.h"

namespace {

class TestRecorderPlugin : public KIVPlugins::Plugin, public KIVPlugins::ChannelOutputPlugin {
public:
    TestRecorderPlugin() : KIVPlugins::Plugin("TestRecorder") {}
    ChannelOutput* createChannelOutput(unsigned int startChannel, unsigned int channelCount) override {
        return new TestRecorderOutput(startChannel, channelCount);
    }
};

} // namespace

extern "C" KIVPlugins::Plugin* createPlugin() {
    return new TestRecorderPlugin();
}
