// Fuse trips, power-cycle retries on the real timers, warnings, presets and the port commands.
#include "OutputMonitorFixture.h"

#include <atomic>

namespace {

class OutputMonitorFuses : public OutputMonitorFixture {
protected:
    // Port 1: enable P1-7 (GPIO 4), fuse P1-11 (GPIO 17) OK when high, pulled up.
    void addFusedPort() { addPort(0, R"({"enablePin": "P1-7", "eFusePin": "!+P1-11"})"); }
    int count(const std::string& record) {
        auto all = records();
        return (int)std::count(all.begin(), all.end(), record);
    }
    int warningCount(const std::string& text) {
        auto all = warnings();
        return (int)std::count(all.begin(), all.end(), text);
    }
    // Times (GetTimeMS) at which GPIO 4 went off and straight back on.
    std::vector<long long> powerCycles() {
        std::lock_guard<std::mutex> l(writeLock);
        std::vector<long long> cycles;
        for (size_t i = 1; i < writes.size(); i++) {
            if (writes[i - 1].second == 0 && writes[i].second == 1) {
                cycles.push_back(writes[i].first);
            }
        }
        return cycles;
    }
    void recordEnableWrites() {
        SimulatedGPIO::INSTANCE.setWriteObserver([this](int gpio, int value) {
            if (gpio != 4) {
                return;
            }
            std::lock_guard<std::mutex> l(writeLock);
            writes.emplace_back(GetTimeMS(), value);
        });
    }

    std::mutex writeLock;
    std::vector<std::pair<long long, int>> writes;
};

TEST_F(OutputMonitorFuses, ATripWithoutRetriesCutsPowerAndWarnsOnceUntilThePortIsSwitchedOn) {
    addFusedPort();
    initialize();
    OutputMonitor::INSTANCE.EnableOutputs();
    ASSERT_EQ(1, level(4));

    drive(17, 0);
    ASSERT_TRUE(waitFor([&]() { return hasWarning("eFUSE Triggered for Port 1"); }));
    EXPECT_EQ(0, level(4));
    EXPECT_FALSE(Timers::INSTANCE.hasTimers());
    EXPECT_TRUE(waitFor([&]() { return count("EFUSE_TRIGGERED|Port 1") == 1; })); // runs after the lock
    EXPECT_FALSE(status()[0]["enabled"].asBool());
    EXPECT_FALSE(status()[0]["status"].asBool());

    drive(17, 1);
    drive(17, 0); // a second trip while the warning shows
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(1, count("EFUSE_TRIGGERED|Port 1"));
    EXPECT_EQ(1, warningCount("eFUSE Triggered for Port 1"));

    drive(17, 1);
    EXPECT_EQ("OK", run("Set Port Status", {"Port 1", "true"}));
    EXPECT_FALSE(hasWarning("eFUSE Triggered for Port 1"));
    EXPECT_EQ(1, level(4));
    EXPECT_TRUE(status()[0]["status"].asBool());
}

// Timers fire when the loop gets round to them: every millisecond here, or every 45 ms as an idle
// main loop does. Either way the cycles stay on the 100 ms grid.
TEST_F(OutputMonitorFuses, APermanentShortIsPowerCycledFourTimesAHundredMsApartThenWarnedOnce) {
    SetSetting("eFuseRetryCount", "3");
    SetSetting("eFuseRetryInterval", "100");
    addFusedPort();
    initialize();
    recordEnableWrites();
    for (int loopMS : {1, 45}) {
        {
            std::lock_guard<std::mutex> l(writeLock);
            writes.clear();
        }
        OutputMonitor::INSTANCE.EnableOutputs();
        long long trip = GetTimeMS();
        drive(17, 0);
        ASSERT_TRUE(waitFor([&]() { return hasWarning("eFUSE Triggered for Port 1"); }, 1500, loopMS));
        long long warned = GetTimeMS();
        std::vector<long long> cycles = powerCycles();
        ASSERT_EQ(4u, cycles.size()) << "loop " << loopMS;
        EXPECT_LE(cycles[0] - trip, 140 + loopMS);
        for (size_t i = 1; i < cycles.size(); i++) {
            EXPECT_NEAR(100, cycles[i] - cycles[i - 1], 35 + loopMS / 3)
                << "loop " << loopMS << ", cycle " << i;
        }
        EXPECT_NEAR(100, warned - cycles.back(), 40 + loopMS);
        EXPECT_EQ(0, level(4));

        EXPECT_TRUE(waitFor([&]() { return !Timers::INSTANCE.hasTimers(); }, 300));
        EXPECT_EQ(4u, powerCycles().size());
        drive(17, 1);
        EXPECT_EQ("OK", run("Set Port Status", {"Port 1", "true"}));
    }
    EXPECT_EQ(2, count("EFUSE_TRIGGERED|Port 1"));
}

// The preset's command switches outputs and so takes the monitor's lock itself.
TEST_F(OutputMonitorFuses, APresetThatSwitchesPortsRunsAfterATripWithoutDeadlocking) {
    media.write("config/commandPresets.json", R"({"commands": [
        {"name": "EFUSE_TRIGGERED", "command": "Set Port Status", "args": ["%PORT%", "false"]},
        {"name": "EFUSE_TRIGGERED", "command": "Outputs Off", "args": []},
        {"name": "OUTPUTS_DISABLED", "command": "Record", "args": ["OUTPUTS_DISABLED"]}]})");
    addFusedPort();
    initialize();
    OutputMonitor::INSTANCE.EnableOutputs();
    drive(17, 0);
    EXPECT_TRUE(waitFor([&]() { return count("OUTPUTS_DISABLED") == 1; }));
    EXPECT_FALSE(hasWarning("eFUSE Triggered for Port 1")); // switching the port cleared it
}

// A shifted clock stands in for the two seconds the port has to hold.
TEST_F(OutputMonitorFuses, AShortThatClearsAfterTheSecondCycleLeavesTheRetryListWithoutAWarning) {
    std::atomic<long long> shift{0};
    OutputMonitor::INSTANCE.setClock([&]() { return GetTimeMS() + shift; });
    SetSetting("eFuseRetryCount", "3");
    addFusedPort();
    initialize();
    OutputMonitor::INSTANCE.EnableOutputs();
    recordEnableWrites();

    drive(17, 0);
    ASSERT_TRUE(waitFor([&]() { return powerCycles().size() == 2; }, 1000));
    drive(17, 1);
    waitFor([]() { return false; }, 400); // still retrying: not yet 2 s past the last retry
    EXPECT_TRUE(Timers::INSTANCE.hasTimers());
    shift = 2100;
    Timers::INSTANCE.fireTimersInternal(GetTimeMS() + shift);
    EXPECT_FALSE(Timers::INSTANCE.hasTimers());
    EXPECT_EQ(2u, powerCycles().size());
    EXPECT_TRUE(warnings().empty());
    EXPECT_EQ(1, level(4));
    EXPECT_TRUE(status()[0]["status"].asBool());

    drive(17, 0); // the count was reset: a new trip is retried again rather than warned
    ASSERT_TRUE(waitFor([&]() { return Timers::INSTANCE.hasTimers(); }));
    EXPECT_TRUE(warnings().empty());
}

TEST_F(OutputMonitorFuses, RetrySettingsApplyAtOnceAndNonsenseMeansNoRetries) {
    addFusedPort();
    initialize();
    OutputMonitor::INSTANCE.EnableOutputs();
    SetSetting("eFuseRetryCount", "2");
    drive(17, 0);
    ASSERT_TRUE(waitFor([&]() { return Timers::INSTANCE.hasTimers(); }));
    EXPECT_TRUE(warnings().empty());
    OutputMonitor::INSTANCE.Cleanup();
    Timers::INSTANCE.clear();
    drive(17, 1);

    for (const char* value : {"-4", "lots", ""}) {
        addFusedPort();
        initialize();
        SetSetting("eFuseRetryCount", "1");
        SetSetting("eFuseRetryCount", value);
        OutputMonitor::INSTANCE.EnableOutputs();
        drive(17, 0);
        EXPECT_TRUE(waitFor([&]() { return hasWarning("eFUSE Triggered for Port 1"); })) << value;
        EXPECT_FALSE(Timers::INSTANCE.hasTimers()) << value;
        OutputMonitor::INSTANCE.Cleanup();
        drive(17, 1);
    }
}

TEST_F(OutputMonitorFuses, ASharedInterruptCutsOnlyThePortsWhoseFuseReadsTripped) {
    addPort(0, R"({"enablePin": "P1-7", "eFusePin": "!+P1-15", "eFuseInterruptPin": "P1-18"})");
    addPort(1, R"({"enablePin": "P1-13", "eFusePin": "!+P1-16", "eFuseInterruptPin": "P1-18"})");
    initialize();
    OutputMonitor::INSTANCE.EnableOutputs();
    drive(23, 0); // port 2's fuse; only the interrupt line raises an event
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(1, level(27));
    drive(24, 1);
    ASSERT_TRUE(waitFor([&]() { return hasWarning("eFUSE Triggered for Port 2"); }));
    EXPECT_EQ(0, level(27));
    EXPECT_EQ(1, level(4));
    EXPECT_TRUE(waitFor([&]() { return records().size() == 2; }));
    EXPECT_EQ((std::vector<std::string>{"OUTPUTS_ENABLED", "EFUSE_TRIGGERED|Port 2"}), records());
}

TEST_F(OutputMonitorFuses, APortWithoutPixelsIsCutButNotReported) {
    addPort(0, R"({"enablePin": "P1-7", "eFusePin": "!+P1-11"})", false);
    initialize();
    OutputMonitor::INSTANCE.EnableOutputs();
    drive(17, 0);
    ASSERT_TRUE(waitFor([&]() { return level(4) == 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(warnings().empty());
}

TEST_F(OutputMonitorFuses, PortCommandsSwitchPortsAndRejectMissingArguments) {
    initialize();
    EXPECT_TRUE(CommandManager::INSTANCE.hasCommand("Outputs On"));
    EXPECT_FALSE(CommandManager::INSTANCE.hasCommand("Set Port Status")); // no ports yet
    addPort(0, R"({"enablePin": "P1-7"})"); // outputs configured after start-up bring the port commands
    addPort(1, R"({"enablePin": "!P1-11"})");
    EXPECT_TRUE(CommandManager::INSTANCE.hasCommand("Check Pixel Count"));
    struct Step {
        const char* command;
        std::vector<std::string> args;
        std::string result;
        int gpio4, gpio17;
    } steps[] = {
        {"Set Port Status", {"--ALL--", "1"}, "OK", 1, 0},
        {"Set Port Status", {"Port 1", "false"}, "OK", 0, 0},
        {"Set Port Status", {"Port 1"}, "error: Required arguments not provided", 0, 0},
        {"Set Port Status", {"Port 7", "true"}, "OK", 0, 0},
        {"Set Port Status", {"--ALL--", "false"}, "OK", 0, 1},
        {"Outputs On", {}, "OK", 1, 0},
        {"Outputs Off", {}, "OK", 0, 1},
    };
    for (const auto& step : steps) {
        EXPECT_EQ(step.result, run(step.command, step.args)) << step.command;
        EXPECT_EQ(step.gpio4, level(4)) << step.command;
        EXPECT_EQ(step.gpio17, level(17)) << step.command;
    }
    OutputMonitor::INSTANCE.Cleanup();
    EXPECT_FALSE(CommandManager::INSTANCE.hasCommand("Outputs On"));
    EXPECT_FALSE(CommandManager::INSTANCE.hasCommand("Set Port Status"));
}

TEST_F(OutputMonitorFuses, CheckPixelCountWarnsOnlyBeyondTheSensitivityAndStopsThePattern) {
    addPort(0, "{}");
    addPort(1, "{}");
    addPort(2, "{}");
    initialize();
    OutputMonitor::INSTANCE.SetPixelCount(0, 98, 100);
    OutputMonitor::INSTANCE.SetPixelCount(1, 97, 100);
    EXPECT_EQ("OK", run("Check Pixel Count", {"--ALL--", "2", "Warn"}));
    ASSERT_EQ(1u, ChannelTester::INSTANCE.GetCommandRuns().size());
    EXPECT_EQ("Test Start", ChannelTester::INSTANCE.GetCommandRuns()[0].command);
    EXPECT_TRUE(warnings().empty()); // counts are compared a second later

    Timers::INSTANCE.fireTimersInternal(GetTimeMS() + 1000);
    const std::string message = "Port 2 configured for 100 pixels but 97 pixels detected.";
    EXPECT_EQ(std::vector<std::string>{message}, warnings());
    EXPECT_EQ("Test Stop", ChannelTester::INSTANCE.GetCommandRuns().back().command);
    EXPECT_FALSE(Timers::INSTANCE.hasTimers());

    OutputMonitor::INSTANCE.checkPixelCounts("Port 2", "Log", 5); // logs only
    EXPECT_EQ(std::vector<std::string>{message}, warnings());
    OutputMonitor::INSTANCE.SetPixelCount(1, 99, 100);
    OutputMonitor::INSTANCE.checkPixelCounts("Port 1, Port 2", "Warn", 2);
    EXPECT_TRUE(warnings().empty());
}

// Fuses trip on the GPIO thread while HTTP-style readers list ports and commands switch them; the
// thread sanitizer build checks the locking, and the end state must match what status shows.
TEST_F(OutputMonitorFuses, TripsListingAndSwitchingRunTogetherAndStatusMatchesThePins) {
    SetSetting("eFuseRetryCount", "2");
    addPort(0, R"({"enablePin": "P1-7", "eFusePin": "!+P1-11"})");
    addPort(1, R"({"enablePin": "!P1-13", "eFusePin": "!+P1-15"})");
    initialize();
    OutputMonitor::INSTANCE.EnableOutputs();
    std::atomic<bool> done{false};
    std::thread tripper([&]() {
        for (int i = 0; i < 200; i++) {
            drive(i % 2 ? 17 : 22, i % 4 < 2 ? 0 : 1);
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    std::thread reader([&]() {
        while (!done) {
            get("/kivd/ports/list");
            get("/kivd/ports");
            OutputMonitor::INSTANCE.GetPortCurrentValues();
        }
    });
    std::thread switcher([&]() {
        for (int i = 0; !done; i++) {
            run("Set Port Status", {i % 3 ? "Port 1" : "Port 2", i % 2 ? "true" : "false"});
            run(i % 5 ? "Outputs On" : "Outputs Off", {});
        }
    });
    long long end = GetTimeMS() + 300;
    while (GetTimeMS() < end) {
        Timers::INSTANCE.fireTimersInternal(GetTimeMS());
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    tripper.join();
    done = true;
    reader.join();
    switcher.join();

    drive(17, 1);
    drive(22, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ("OK", run("Outputs On", {}));
    Json::Value ports = status();
    EXPECT_EQ(level(4) == 1, ports[0]["enabled"].asBool());
    EXPECT_EQ(level(27) == 0, ports[1]["enabled"].asBool());
    EXPECT_TRUE(ports[0]["enabled"].asBool());
    EXPECT_TRUE(ports[0]["status"].asBool());
    EXPECT_TRUE(ports[1]["status"].asBool());
}

} // namespace
