#pragma once
// The output monitor on simulated pins with a private level file, a fresh media directory whose
// presets run the "Record" command, and the channel tester's stand-in commands. Header pins used:
// P1-7 GPIO 4, P1-11 GPIO 17, P1-13 GPIO 27, P1-15 GPIO 22, P1-16 GPIO 23, P1-18 GPIO 24.

#include "OutputMonitor.h"
#include "common/CommandManager.h"
#include "common/Common.h"
#include "common/Settings.h"
#include "common/Timers.h"
#include "common/WarningHolder.h"
#include "platform/GPIOManager.h"
#include "platform/PinCapabilities.h"
#include "platform/SimulatedGPIO.h"
#include "player/ChannelTester.h"
#include "player/Sensors.h"
#include "support/SimulatedGpioFile.h"
#include "support/TestMediaDir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class OutputMonitorFixture : public ::testing::Test {
protected:
    // Remembers every run as "arg|arg|..."; presets call it.
    class RecordCommand : public Command {
    public:
        explicit RecordCommand(OutputMonitorFixture* f) : Command("Record"), fixture(f) {}
        std::unique_ptr<Result> run(const std::vector<std::string>& args) override {
            std::string joined;
            for (size_t i = 0; i < args.size(); i++) {
                joined += (i ? "|" : "") + args[i];
            }
            std::lock_guard<std::mutex> l(fixture->recordLock);
            fixture->recorded.push_back(joined);
            return std::make_unique<Result>("OK");
        }

    private:
        OutputMonitorFixture* fixture;
    };

    void SetUp() override {
        ResetSettingsForTesting();
        WarningHolder::RemoveAllWarnings();
        PinCapabilities::InitGPIO("test", &provider);
        media.write("config/commandPresets.json", R"({"commands": [
            {"name": "EFUSE_TRIGGERED", "command": "Record", "args": ["EFUSE_TRIGGERED", "%PORT%"]},
            {"name": "OUTPUTS_ENABLED", "command": "Record", "args": ["OUTPUTS_ENABLED"]},
            {"name": "OUTPUTS_DISABLED", "command": "Record", "args": ["OUTPUTS_DISABLED"]}]})");
        CommandManager::INSTANCE.addCommand(new RecordCommand(this));
        ChannelTester::INSTANCE.RegisterCommands();
        ChannelTester::INSTANCE.ClearCommandRuns();
    }
    void TearDown() override {
        OutputMonitor::INSTANCE.Cleanup();
        OutputMonitor::INSTANCE.setClock(nullptr);
        GPIOManager::INSTANCE.Cleanup();
        CommandManager::INSTANCE.Cleanup();
        Timers::INSTANCE.clear();
        SimulatedGPIO::INSTANCE.setWriteObserver(nullptr);
        SimulatedGPIO::INSTANCE.close();
        Sensors::INSTANCE.Close();
        WarningHolder::RemoveAllWarnings();
        ResetSettingsForTesting();
    }

    void addPort(int port, const std::string& json, bool enabled = true) {
        Json::Value config;
        ASSERT_TRUE(LoadJsonFromString(json, config)) << json;
        OutputMonitor::INSTANCE.AddPortConfiguration(port, config, enabled);
    }
    void initialize() {
        std::map<int, std::function<bool(int)>> unused;
        OutputMonitor::INSTANCE.Initialize(unused);
    }
    static int level(int gpio) { return SimulatedGPIO::INSTANCE.getLevel(gpio); }
    static void drive(int gpio, int value) { SimulatedGPIO::INSTANCE.setLevel(gpio, value); }

    std::vector<std::string> warnings() {
        std::vector<std::string> texts;
        for (const auto& w : WarningHolder::GetWarnings()) {
            texts.push_back(w.message);
        }
        return texts;
    }
    bool hasWarning(const std::string& text) {
        auto all = warnings();
        return std::find(all.begin(), all.end(), text) != all.end();
    }
    std::vector<std::string> records() {
        std::lock_guard<std::mutex> l(recordLock);
        return recorded;
    }
    Json::Value status() {
        Json::Value result(Json::arrayValue);
        OutputMonitor::INSTANCE.GetCurrentPortStatusJson(result);
        return result;
    }
    std::string run(const std::string& command, const std::vector<std::string>& args) {
        auto result = CommandManager::INSTANCE.run(command, args);
        return (result->isError() ? "error: " : "") + result->get();
    }
    // A GET of the monitor's resource: the body, and the status code and type when asked for.
    static std::string get(const std::string& path, int* code = nullptr, std::string* type = nullptr) {
        httpserver::http_request req;
        req.path = path;
        req.method = "GET";
        auto response = OutputMonitor::INSTANCE.render_GET(req);
        if (code) {
            *code = response->get_response_code();
        }
        if (type) {
            *type = response->get_content_type();
        }
        return response->get_content();
    }
    // Polls every pollMS (firing due timers on the way, as the main loop does) until done or the
    // time-out.
    static bool waitFor(const std::function<bool()>& done, int timeoutMS = 1000, int pollMS = 1) {
        return WaitFor(
            [&]() {
                Timers::INSTANCE.fireTimersInternal(GetTimeMS());
                return done();
            },
            timeoutMS, pollMS);
    }

    SimulatedGpioFile gpioFile{"monitortest"};
    TestMediaDir media;
    PiGPIOPinProvider provider{PiGPIOPinProvider::Backend::Simulated};
    std::mutex recordLock;
    std::vector<std::string> recorded;
};
