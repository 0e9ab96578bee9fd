// kiv-co-TestPorts: a channel output for daemon tests that registers pixel ports with the output
// monitor the way a pixel string output does, without driving any pixels. Each element of its
// "ports" member is one port's pin configuration with the port's "portNumber"; the ports are
// registered in Init and removed when the output is deleted.
#include "OutputMonitor.h"
#include "channeloutput/ChannelOutput.h"
#include "channeloutput/KIVPlugins.h"
#include "common/JsonValues.h"

#include <vector>

namespace {

class TestPortsOutput : public ChannelOutput {
public:
    TestPortsOutput(unsigned int startChannel, unsigned int channelCount)
        : ChannelOutput(startChannel, channelCount) {}
    ~TestPortsOutput() override {
        for (const auto& [number, config] : ports) {
            OutputMonitor::INSTANCE.RemovePortConfiguration(number, config);
        }
    }
    std::string GetOutputType() const override { return "TestPorts"; }
    int Init(Json::Value config) override {
        for (const Json::Value& port : config["ports"]) {
            int number = JsonInt(port["portNumber"]);
            ports.emplace_back(number, port);
            OutputMonitor::INSTANCE.AddPortConfiguration(number, port, true);
        }
        return ChannelOutput::Init(config);
    }
    int SendData(unsigned char*) override { return m_channelCount; }

private:
    std::vector<std::pair<int, Json::Value>> ports;
};

class TestPortsPlugin : public KIVPlugins::Plugin, public KIVPlugins::ChannelOutputPlugin {
public:
    TestPortsPlugin() : KIVPlugins::Plugin("TestPorts") {}
    ChannelOutput* createChannelOutput(unsigned int startChannel, unsigned int channelCount) override {
        return new TestPortsOutput(startChannel, channelCount);
    }
};

} // namespace

extern "C" KIVPlugins::Plugin* createPlugin() {
    return new TestPortsPlugin();
}
