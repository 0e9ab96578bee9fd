// A channel output plugin built only for the tests: it records what the registry does with it.

#include "TestOutputProbe.h"
#include "channeloutput/ChannelOutput.h"
#include "channeloutput/KIVPlugins.h"
#include "common/JsonValues.h"

#include <fstream>
#include <stdexcept>

namespace {
TestOutputProbe probe;
constexpr unsigned ALIVE = 0x600D0u;

class TestOutput : public ChannelOutput {
public:
    TestOutput(unsigned start, unsigned count) : ChannelOutput(start, count) { probe.live++; }
    ~TestOutput() override {
        probe.record("delete " + std::to_string(id));
        magic = 0;
        probe.live--;
    }

    std::string GetOutputType() const override { return "TestOutput"; }

    int Init(Json::Value config) override {
        id = JsonInt(config["id"]);
        noop = JsonInt(config["noop"]) != 0;
        testing = JsonInt(config["testing"]) != 0;
        recordFile = JsonString(config["recordFile"]);
        for (const auto& r : config["ranges"]) {
            ranges.emplace_back(JsonInt(r[0]), JsonInt(r[1]));
        }
        probe.record("init " + std::to_string(id));
        if (config.isMember("throwInit")) {
            throw std::runtime_error(JsonString(config["throwInit"]));
        }
        return JsonInt(config["failInit"]) ? 0 : ChannelOutput::Init(config);
    }
    int Close() override {
        probe.record("close " + std::to_string(id));
        return ChannelOutput::Close();
    }
    void PrepData(unsigned char*) override {
        if (!noop) {
            checkAlive();
            probe.prepCalls++;
        }
    }
    int SendData(unsigned char* data) override {
        if (noop) {
            return 0;
        }
        checkAlive();
        probe.frames++;
        {
            std::lock_guard<std::mutex> lk(probe.lock);
            probe.lastFrame[id].assign(data, data + m_channelCount);
        }
        if (!recordFile.empty()) {
            std::ofstream(recordFile, std::ios::binary | std::ios::trunc)
                .write(reinterpret_cast<const char*>(data), m_channelCount);
        }
        return m_channelCount;
    }
    void GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) override {
        if (ranges.empty()) {
            ChannelOutput::GetRequiredChannelRanges(addRange);
        }
        for (const auto& [first, last] : ranges) {
            addRange(first, last);
        }
    }
    void StartingOutput() override { probe.record("starting " + std::to_string(id)); }
    void StoppingOutput() override { probe.record("stopping " + std::to_string(id)); }
    bool SupportsTesting() const override { return testing; }
    void OverlayTestData(unsigned char*, int, float, int, const Json::Value&) override { probe.testCalls++; }

private:
    void checkAlive() {
        if (magic != ALIVE) {
            probe.useAfterDelete++;
        }
    }
    unsigned magic = ALIVE;
    int id = 0;
    bool noop = false;
    bool testing = false;
    std::string recordFile;
    std::vector<std::pair<int, int>> ranges;
};

class TestOutputPlugin : public KIVPlugins::Plugin, public KIVPlugins::ChannelOutputPlugin {
public:
    TestOutputPlugin() : KIVPlugins::Plugin("TestOutput") {}
    ChannelOutput* createChannelOutput(unsigned start, unsigned count) override {
        return new TestOutput(start, count);
    }
};
} // namespace

extern "C" TestOutputProbe* kivTestOutputProbe() {
    return &probe;
}

extern "C" KIVPlugins::Plugin* createPlugin() {
    return new TestOutputPlugin();
}
