#include "TestRecorderOutput.h"

#include "channeloutput/KIVPlugins.h"

TestRecorderOutput::TestRecorderOutput(unsigned int startChannel, unsigned int channelCount)
    : ChannelOutput(startChannel, channelCount) {}

TestRecorderOutput::~TestRecorderOutput() {}

std::string TestRecorderOutput::GetOutputType() const {
    return "TestRecorder";
}

int TestRecorderOutput::SendData(unsigned char* channelData) {
    std::lock_guard<std::mutex> l(lock);
    lastFrame.assign(channelData, channelData + m_channelCount);
    framesSent++;
    return m_channelCount;
}

std::vector<unsigned char> TestRecorderOutput::LastFrame() const {
    std::lock_guard<std::mutex> l(lock);
    return lastFrame;
}

int TestRecorderOutput::FramesSent() const {
    std::lock_guard<std::mutex> l(lock);
    return framesSent;
}

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
