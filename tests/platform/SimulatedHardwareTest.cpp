// The "SimulatedHardware" setting and the board check, seen from what a user gets: a simulated
// framebuffer and simulated pins, a warning naming the device and its file on a board, or no
// device at all when simulation is off. Each test runs in a private mount namespace with its own
// /dev/shm, and fakes the board's device-tree model file there.
#include "platform/FrameBuffer.h"
#include "platform/PiGPIOPinProvider.h"
#include "platform/SimulatedFrameBuffer.h"
#include "platform/SimulatedGPIO.h"

#include "common/Common.h"
#include "common/Settings.h"
#include "common/WarningHolder.h"
#include "support/MountNamespace.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

namespace {

struct Case {
    const char* setting; // "SimulatedHardware", or null for the default
    bool board;
    bool simulated; // both devices are simulated; else neither exists
    bool warned;
};

const Case CASES[] = {
    {nullptr, false, true, false}, {nullptr, true, true, true}, {"auto", true, true, true},
    {"on", true, true, false},     {"off", true, false, false}, {"OFF", false, false, false},
};

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    return std::string(info.param.setting ? info.param.setting : "default") +
           (info.param.board ? "OnABoard" : "Elsewhere");
}

bool HasWarningWith(const std::string& text) {
    for (const auto& w : WarningHolder::GetWarnings()) {
        if (w.message.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

class SimulatedHardware : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        ASSERT_TRUE(UsePrivateDevShm());
        if (GetParam().board) {
            ASSERT_TRUE(PretendToBeABoard("Raspberry Pi 4 Model B Rev 1.4"));
        }
        unsetenv("KIV_GPIO_SIM_FILE"); // the daemon's own choice, not a test's
        ResetSettingsForTesting();
        WarningHolder::RemoveAllWarnings();
        if (GetParam().setting) {
            SetSetting("SimulatedHardware", GetParam().setting);
        }
    }
    void TearDown() override {
        SimulatedGPIO::INSTANCE.close();
        WarningHolder::RemoveAllWarnings();
    }
};

TEST_P(SimulatedHardware, DevicesAreSimulatedAsTheSettingSaysAndABoardIsWarned) {
    const Case& c = GetParam();
    Json::Value config;
    config["Device"] = "fb7";
    config["Width"] = 8;
    config["Height"] = 4;
    std::unique_ptr<FrameBuffer> fb(FrameBuffer::createFrameBuffer(config));
    EXPECT_EQ(c.simulated, fb != nullptr);
    EXPECT_EQ(c.simulated, FileExists("/dev/shm/kiv-fb-fb7"));

    PiGPIOPinProvider pins;
    pins.Init();
    EXPECT_EQ(c.simulated ? PiGPIOPinProvider::Backend::Simulated : PiGPIOPinProvider::Backend::None,
              pins.backend());
    EXPECT_EQ(c.simulated, FileExists("/dev/shm/kiv-gpio"));

    EXPECT_EQ(c.warned, HasWarningWith("Framebuffer fb7 was not found on this board; it is simulated in "
                                       "/dev/shm/kiv-fb-fb7"));
    EXPECT_EQ(c.warned, HasWarningWith("GPIO chip was not found on this board; it is simulated in "
                                       "/dev/shm/kiv-gpio"));
}

INSTANTIATE_TEST_SUITE_P(Settings, SimulatedHardware, ::testing::ValuesIn(CASES), CaseName);

} // namespace
