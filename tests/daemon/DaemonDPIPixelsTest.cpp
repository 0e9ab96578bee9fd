// A running kivd with a DPI output on the simulated framebuffer: channel data that arrives over
// DDP is on the data lines of the page the daemon shows.
#include "e131bridge/WirePackets.h"
#include "non-gpl/SimulatedDPIDecoder.h"
#include "support/DaemonProcess.h"
#include "support/NetNamespace.h"
#include "support/TestMediaDir.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

// Two 10-pixel RGB ports on the shipped 24-line board: P1-7 (bit position 7) and P1-29 (6).
std::string Outputs(const std::string& device) {
    auto port = [](int number, int start) {
        return R"({"portNumber": )" + std::to_string(number) + R"(, "virtualStrings": [{"startChannel": )" +
               std::to_string(start) +
               R"(, "pixelCount": 10, "colorOrder": "RGB", "brightness": 100, "gamma": 1.0}]})";
    };
    return R"({"channelOutputs": [{"type": "DPIPixels", "enabled": 1, "startChannel": 1, "channelCount": 60,
        "subType": "DPIPixels", "device": ")" +
           device + R"(", "outputs": [)" + port(0, 0) + ", " + port(1, 30) + "]}]}";
}

TEST(DaemonDPIPixels, ChannelDataFromTheNetworkIsOnTheShownPage) {
    ASSERT_TRUE(EnterPrivateNetworkNamespace());
    TestMediaDir media;
    std::string device = "dpidaemon-" + std::to_string(getpid());
    media.write("settings", "kivMode = \"bridge\"\nalwaysTransmit = \"1\"\n");
    media.write("config/co-pixelStrings.json", Outputs(device));
    // An input universe keeps the bridge's data alive for the timeout (a minute).
    media.write("config/ci-universes.json", R"({"channelInputs": [{"type": "universes", "enabled": 1,
        "timeout": 60000, "universes": [{"active": 1, "id": 1, "startChannel": 1, "channelCount": 60,
        "type": 0}]}]})");
    DaemonProcess daemon(media.path());
    ASSERT_TRUE(daemon.start({"-f", "--log-level", "debug:ChannelOut"}));
    ASSERT_TRUE(daemon.waitForOutput("Starting main processing loop"));
    ASSERT_NE(daemon.output().find("The framebuffer device " + device + " was opened successfully."),
              std::string::npos)
        << daemon.output();

    wire::Bytes data(60);
    for (int i = 0; i < 60; i++) {
        data[i] = uint8_t(7 * i + 1);
    }
    wire::UdpSender ddp("127.0.0.1", 4048);
    bool seen = false;
    DecodedFrame frame;
    for (int attempt = 0; attempt < 100 && !seen; attempt++) {
        ddp.send(wire::DDPData(0, data, wire::DDP_V1 | wire::DDP_PUSH));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        frame = DecodeShownPage(device, 0);
        seen = frame.rows.size() == 30 && frame.rows[0].bytes[7] == data[0];
    }
    ASSERT_TRUE(seen) << "rows decoded: " << frame.rows.size() << " first " << int(frame.rows[0].bytes[7])
                      << "\n"
                      << daemon.output();
    EXPECT_GT(frame.shownCount, 0u);
    for (int r = 0; r < 30; r++) {
        EXPECT_EQ(frame.rows[r].bytes[7], data[r]) << r;
        EXPECT_EQ(frame.rows[r].bytes[6], data[30 + r]) << r;
        EXPECT_EQ(frame.rows[r].bytes[5], 0) << r; // P1-31 has no pixels
    }
    daemon.signal(SIGTERM);
    EXPECT_EQ(0, daemon.waitForExit(5000));
    unlink(SimulatedFrameBuffer::FilePath(device).c_str());
}

} // namespace
