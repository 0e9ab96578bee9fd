// Ports, enable pins, current sensing, status and the "/kivd/ports" resource.
#include "OutputMonitorFixture.h"

#include "common/Log.h"

namespace {

using OutputMonitorPorts = OutputMonitorFixture;

TEST_F(OutputMonitorPorts, EnablePinsStartOffAndFollowTheOutputsInEitherPolarity) {
    addPort(0, R"({"enablePin": "P1-7"})");
    addPort(1, R"({"enablePin": "!P1-11"})");
    EXPECT_EQ(0, level(4));
    EXPECT_EQ(1, level(17));
    EXPECT_FALSE(status()[1]["enabled"].asBool());

    OutputMonitor::INSTANCE.EnableOutputs();
    EXPECT_EQ(1, level(4));
    EXPECT_EQ(0, level(17));
    EXPECT_TRUE(status()[0]["enabled"].asBool());
    EXPECT_TRUE(status()[1]["enabled"].asBool());

    OutputMonitor::INSTANCE.SetOutput("Port 2", false);
    EXPECT_EQ(1, level(17));
    OutputMonitor::INSTANCE.DisableOutputs();
    EXPECT_EQ(0, level(4));
    EXPECT_EQ((std::vector<std::string>{"OUTPUTS_ENABLED", "OUTPUTS_DISABLED"}), records());
}

TEST_F(OutputMonitorPorts, AutomaticSwitchingFollowsTheAutoEnableSetting) {
    addPort(0, R"({"enablePin": "P1-7"})");
    SetSetting("AutoEnableOutputs", "0");
    OutputMonitor::INSTANCE.AutoEnableOutputs();
    EXPECT_EQ(0, level(4));
    SetSetting("AutoEnableOutputs", "1");
    OutputMonitor::INSTANCE.AutoEnableOutputs();
    EXPECT_EQ(1, level(4));
    SetSetting("AutoEnableOutputs", "0");
    OutputMonitor::INSTANCE.AutoDisableOutputs();
    EXPECT_EQ(1, level(4));
}

TEST_F(OutputMonitorPorts, EnablingWithoutEnablePinsLogsNothingButStillTriggersThePreset) {
    std::string logFile = media.file("logs/monitor.log");
    int oldLevel = LG_CHANNELOUT.level;
    LG_CHANNELOUT.level = KIVLOG_DEBUG;
    ASSERT_TRUE(SetLogFile(logFile, false));
    addPort(0, R"({"group": 1})");
    OutputMonitor::INSTANCE.EnableOutputs();
    std::string withoutPins = GetFileContents(logFile);
    addPort(1, R"({"enablePin": "P1-7"})");
    OutputMonitor::INSTANCE.EnableOutputs();
    std::string withPins = GetFileContents(logFile);
    SetLogFile("", true);
    LG_CHANNELOUT.level = oldLevel;

    EXPECT_EQ(std::string::npos, withoutPins.find("Enabling outputs"));
    EXPECT_NE(std::string::npos, withPins.find("Enabling outputs"));
    EXPECT_EQ((std::vector<std::string>{"OUTPUTS_ENABLED", "OUTPUTS_ENABLED"}), records());
}

TEST_F(OutputMonitorPorts, FileCurrentIsOffsetThenScaledAndUnreadableFilesReadZero) {
    struct Case {
        const char* contents; // null: no file
        const char* sensor;
        int ma;
    } cases[] = {
        {"512", R"("scale": 2, "offset": 12)", 1000},
        {"512", R"("scale": 2, "offset": 600)", 0},
        {"  40\n", R"("scale": 1)", 40},
        {"volts", R"("scale": 2)", 0},
        {nullptr, R"("scale": 2)", 0},
    };
    for (int i = 0; i < 5; i++) {
        std::string path = media.file("current" + std::to_string(i));
        if (cases[i].contents) {
            media.write("current" + std::to_string(i), cases[i].contents);
        }
        addPort(i, std::string(R"({"currentSensor": {"path": ")") + path + "\", " + cases[i].sensor + "}}");
    }
    Json::Value ports = status();
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(cases[i].ma, ports[i]["ma"].asInt()) << "case " << i;
    }

    media.remove("current0");
    EXPECT_EQ(0, status()[0]["ma"].asInt()); // a deleted file no longer reads its old value
    media.write("current4", "100");
    EXPECT_EQ(200, status()[4]["ma"].asInt()); // a file that appears later is picked up
}

TEST_F(OutputMonitorPorts, CurrentValuesSkipMissingPortsAndKeepExcludedGroupsAtTheirLastValue) {
    media.write("a", "100");
    media.write("b", "300");
    addPort(0, R"({"group": 1, "currentSensor": {"path": ")" + media.file("a") + "\"}}");
    addPort(3, R"({"group": 2, "currentSensor": {"path": ")" + media.file("b") + "\"}}");
    EXPECT_EQ((std::vector<float>{100, 300}), OutputMonitor::INSTANCE.GetPortCurrentValues());

    OutputMonitor::INSTANCE.lockToGroup(1);
    media.write("a", "150");
    media.write("b", "350");
    EXPECT_EQ((std::vector<float>{150, 300}), OutputMonitor::INSTANCE.GetPortCurrentValues());
    EXPECT_EQ(1, Sensors::INSTANCE.getLockedGroup());
    EXPECT_TRUE(OutputMonitor::INSTANCE.isPortInGroup(2, 3));
    EXPECT_FALSE(OutputMonitor::INSTANCE.isPortInGroup(1, 3));
    EXPECT_FALSE(OutputMonitor::INSTANCE.isPortInGroup(0, 2));
}

TEST_F(OutputMonitorPorts, SensorCurrentReadsItsChannelAndAMissingSourceReadsZero) {
    Json::Value sources;
    LoadJsonFromString(R"([{"name": "adc"}])", sources);
    Sensors::INSTANCE.addSensorSources(sources);
    SensorSource* adc = Sensors::INSTANCE.getSensorSource("adc");
    ASSERT_NE(nullptr, adc);
    adc->setValue(3, 250);
    adc->setValue(4, 999);
    addPort(0, R"({"currentSensor": {"sensor": "adc", "channel": 3, "scale": 4}})");
    addPort(1, R"({"currentSensor": {"sensor": "missing", "channel": 3, "scale": 4}})");
    EXPECT_TRUE(adc->isEnabled(3));
    int updatesBefore = adc->updateCount();
    Json::Value ports = status();
    EXPECT_EQ(1000, ports[0]["ma"].asInt());
    EXPECT_EQ(0, ports[1]["ma"].asInt());
    EXPECT_GT(adc->updateCount(), updatesBefore);
}

TEST_F(OutputMonitorPorts, MissingPinsAreWarnedAndThePortStillExists) {
    addPort(0, R"({"enablePin": "!P1-99", "eFusePin": "!-P9-3", "eFuseInterruptPin": "+P9-4"})");
    EXPECT_TRUE(hasWarning("Could not find pin P1-99 to enable output Port 1"));
    EXPECT_TRUE(hasWarning("Could not find pin P9-3 to handle fuse for output Port 1"));
    EXPECT_TRUE(hasWarning("Could not find pin P9-4 to handle fuse interrupts for output Port 1"));
    EXPECT_EQ(nullptr, OutputMonitor::INSTANCE.AddOutputPin("Port 9", "P8-1"));
    EXPECT_TRUE(hasWarning("Could not find pin P8-1 to enable output Port 9"));

    OutputMonitor::INSTANCE.EnableOutputs();
    Json::Value port = status()[0];
    EXPECT_EQ("Port 1", port["name"].asString());
    EXPECT_FALSE(port.isMember("enabled"));
    EXPECT_TRUE(port["status"].asBool());
    EXPECT_FALSE(port.isMember("ma"));
}

TEST_F(OutputMonitorPorts, StatusReportsPositionBankAndDetectedPixelCount) {
    addPort(0, R"({"row": 2, "col": 0, "bank": "B", "group": 1})");
    addPort(1, R"({"group": 2})");
    EXPECT_FALSE(status()[0].isMember("pixelCount"));
    OutputMonitor::INSTANCE.SetPixelCount(0, 48, 50);
    OutputMonitor::INSTANCE.lockToGroup(1);
    OutputMonitor::INSTANCE.SetPixelCount(1, 10, 10); // outside the locked group: ignored
    Json::Value ports = status();
    EXPECT_EQ(2, ports[0]["row"].asInt());
    EXPECT_EQ(0, ports[0]["col"].asInt());
    EXPECT_EQ("B", ports[0]["bank"].asString());
    EXPECT_EQ(48, ports[0]["pixelCount"].asInt());
    EXPECT_FALSE(ports[1].isMember("row"));
    EXPECT_FALSE(ports[1].isMember("bank"));
    EXPECT_FALSE(ports[1].isMember("pixelCount"));
    EXPECT_EQ(48, OutputMonitor::INSTANCE.GetPixelCount(0));
    EXPECT_EQ(0, OutputMonitor::INSTANCE.GetPixelCount(7));

    addPort(0, R"({"row": 5})"); // the same port again: only the configuration changes
    EXPECT_EQ(5, status()[0]["row"].asInt());
    EXPECT_EQ(48, status()[0]["pixelCount"].asInt());
}

TEST_F(OutputMonitorPorts, ARemovedPortLeavesPinsSharedWithOtherPortsInPlace) {
    addPort(0, R"({"enablePin": "P1-7", "eFusePin": "!+P1-11"})");
    addPort(1, R"({"enablePin": "P1-7"})");
    initialize();
    OutputMonitor::INSTANCE.EnableOutputs();
    drive(17, 0);
    ASSERT_TRUE(waitFor([&]() { return hasWarning("eFUSE Triggered for Port 1"); }));
    OutputMonitor::INSTANCE.RemovePortConfiguration(0, Json::Value());
    EXPECT_FALSE(hasWarning("eFUSE Triggered for Port 1"));
    OutputMonitor::INSTANCE.EnableOutputs();
    EXPECT_EQ(1, level(4));
    EXPECT_EQ((std::vector<std::string>{"--ALL--", "Port 2"}), OutputMonitor::INSTANCE.GetPortNames());
    EXPECT_EQ(1u, status().size());
}

TEST_F(OutputMonitorPorts, ResourceAnswersListStatusAndTestPatternRequests) {
    int code = 0;
    std::string type;
    EXPECT_EQ(R"(["--ALL--"])", get("/kivd/ports/list", &code, &type));
    EXPECT_EQ(200, code);
    EXPECT_EQ("application/json", type);
    EXPECT_EQ("[]", get("/kivd/ports"));
    EXPECT_EQ("Not Found", get("/kivd/portz/list", &code, &type));
    EXPECT_EQ(404, code);
    EXPECT_EQ("text/plain", type);

    addPort(0, R"({"enablePin": "P1-7"})");
    addPort(2, R"({"enablePin": "P1-11"})");
    EXPECT_EQ(R"(["--ALL--","Port 1","Port 3"])", get("/kivd/ports/list"));
    Json::Value ports;
    ASSERT_TRUE(LoadJsonFromString(get("/kivd/ports/anything"), ports));
    EXPECT_EQ(2u, ports.size());
    EXPECT_EQ("Port 3", ports[1]["name"].asString());
    EXPECT_TRUE(ChannelTester::INSTANCE.GetCommandRuns().empty());

    get("/kivd/ports/pixelCount");
    get("/kivd/ports/stop");
    auto runs = ChannelTester::INSTANCE.GetCommandRuns();
    ASSERT_EQ(2u, runs.size());
    EXPECT_EQ("Test Start", runs[0].command);
    EXPECT_EQ((std::vector<std::string>{"50", "Output Specific", "--ALL--", "999"}), runs[0].args);
    EXPECT_EQ("Test Stop", runs[1].command);
}

TEST_F(OutputMonitorPorts, SmartReceiverPortsListAndReportTheReceiversTheListenerFound) {
    addPort(0, R"({"quarnV5Listener": 1, "row": 1})");
    EXPECT_EQ((std::vector<std::string>{"--ALL--"}), OutputMonitor::INSTANCE.GetPortNames());
    EXPECT_EQ(4u, status().size());
    EXPECT_FALSE(OutputMonitor::INSTANCE.isPortInGroup(0, 3)); // group -1

    std::vector<std::string> requests;
    OutputMonitor::INSTANCE.setSmartReceiverControl([&](int port, int receiver, const std::string& request) {
        requests.push_back(std::to_string(port) + "/" + std::to_string(receiver) + " " + request);
    });
    OutputMonitor::INSTANCE.setSmartReceiverInfo(0, 0, true, false, 120.5f, 50);
    OutputMonitor::INSTANCE.setSmartReceiverInfo(0, 1, true, true, 0, 65535);
    OutputMonitor::INSTANCE.setSmartReceiverInfo(2, 9, true, true, 0, 1); // no receiver 9: ignored
    EXPECT_EQ((std::vector<std::string>{"--ALL--", "Port 1A", "Port 1B"}),
              OutputMonitor::INSTANCE.GetPortNames());
    EXPECT_TRUE(hasWarning("eFUSE Triggered for Port 1B"));
    EXPECT_EQ((std::vector<std::string>{"EFUSE_TRIGGERED|Port 1B"}), records());

    Json::Value port = status()[0];
    EXPECT_TRUE(port["smartReceivers"].asBool());
    EXPECT_EQ(1, port["row"].asInt());
    EXPECT_FLOAT_EQ(120.5f, port["A"]["ma"].asFloat());
    EXPECT_TRUE(port["A"]["enabled"].asBool());
    EXPECT_TRUE(port["A"]["status"].asBool());
    EXPECT_EQ(50, port["A"]["pixelCount"].asInt());
    EXPECT_FALSE(port["B"]["enabled"].asBool());
    EXPECT_FALSE(port["B"]["status"].asBool());
    EXPECT_FALSE(port["B"].isMember("pixelCount"));
    EXPECT_FALSE(port.isMember("C"));

    EXPECT_TRUE(OutputMonitor::INSTANCE.SetOutput("Port 1B", true));
    EXPECT_TRUE(OutputMonitor::INSTANCE.SetOutput("Port 1A", true));
    EXPECT_TRUE(OutputMonitor::INSTANCE.SetOutput("Port 1A", false));
    EXPECT_FALSE(OutputMonitor::INSTANCE.SetOutput("Port 1", true));
    EXPECT_EQ((std::vector<std::string>{"0/1 ResetOutput", "0/1 ToggleOutput", "0/0 ToggleOutput"}),
              requests);
    EXPECT_FALSE(hasWarning("eFUSE Triggered for Port 1B"));
}

} // namespace
