// A running kivd with both library pixel outputs: channel data that arrives over E1.31 is on the
// simulated PWM output, SPI port and multi-SPI bus; an output with an unknown protocol is
// reported and the rest keep running.
#include "e131bridge/WirePackets.h"
#include "support/DaemonProcess.h"
#include "support/NetNamespace.h"
#include "support/ScopedSimFile.h"
#include "support/SimulatedGpioFile.h"
#include "support/SimulatedPixelFiles.h"
#include "support/TestMediaDir.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <thread>

namespace {

std::string Port(int number, int start, int pixels, const char* protocol = "") {
    return R"({"portNumber": )" + std::to_string(number) + R"(, "protocol": ")" + protocol +
           R"(", "virtualStrings": [{"startChannel": )" + std::to_string(start) + R"(, "pixelCount": )" +
           std::to_string(pixels) + R"(, "colorOrder": "RGB", "brightness": 100, "gamma": 1.0}]})";
}

// RPIWS281x: 10 pixels on P1-12 (GPIO 18) from channel 1, 5 on spidev0.0 from 31. Spixels:
// 4 WS2801 pixels on port 0 from 61, 4 LPD8806 pixels on port 3 from 73; before it a Spixels
// output that fails on its protocol.
std::string Outputs() {
    return R"({"channelOutputs": [
        {"type": "Spixels", "enabled": 1, "startChannel": 200, "channelCount": 3, "outputs": [)" +
           Port(1, 199, 1, "ws2812") + R"(]},
        {"type": "RPIWS281x", "enabled": 1, "startChannel": 1, "channelCount": 45, "subType": "DaemonBoard",
         "outputs": [)" +
           Port(0, 0, 10) + ", " + Port(1, 30, 5) + R"(]},
        {"type": "Spixels", "enabled": 1, "startChannel": 61, "channelCount": 24, "outputs": [)" +
           Port(0, 60, 4, "WS2801") + ", " + Port(3, 72, 4, "lpd8806") + "]}]}";
}

wire::Bytes Slice(const wire::Bytes& data, int from, int count) {
    return wire::Bytes(data.begin() + from, data.begin() + from + count);
}

TEST(DaemonLibraryPixels, ChannelDataFromTheNetworkReachesEveryLibraryDevice) {
    ASSERT_TRUE(EnterPrivateNetworkNamespace());
    TestMediaDir media;
    SimulatedGpioFile gpio{"libpixels"};
    ScopedSimFile pwm{"KIV_WS281X_SIM_FILE", "ws281x-daemon"};
    ScopedSimFile spi{"KIV_SPI_SIM_DIR", "spi-daemon", true};
    ScopedSimFile bus{"KIV_SPIXELS_SIM_FILE", "spixels-daemon"};
    media.write("settings", "kivMode = \"bridge\"\nalwaysTransmit = \"1\"\n");
    media.write("tmp/strings/DaemonBoard.json", R"({"outputs": [{"pin": "P1-12"}, {"pin": "spidev0.0"}]})");
    media.write("config/co-pixelStrings.json", Outputs());
    media.write("config/ci-universes.json", R"({"channelInputs": [{"type": "universes", "enabled": 1,
        "timeout": 60000, "universes": [{"active": 1, "id": 1, "startChannel": 1, "channelCount": 512,
        "type": 0}]}]})");
    DaemonProcess daemon(media.path());
    ASSERT_TRUE(daemon.start({"-f", "--log-level", "debug:ChannelOut"}));
    ASSERT_TRUE(daemon.waitForOutput("Starting main processing loop"));
    EXPECT_NE(daemon.output().find("Unknown Pixel Protocol: ws2812"), std::string::npos);

    wire::Bytes data(512);
    for (int i = 0; i < 512; i++) {
        data[i] = uint8_t(5 * i + 9);
    }
    wire::UdpSender e131("127.0.0.1", 5568);
    simfile::WS281xFile leds;
    simfile::SpixelsFile lines;
    bool seen = false;
    for (int attempt = 0; attempt < 100 && !seen; attempt++) {
        e131.send(wire::E131Data(1, attempt & 0xFF, data));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        leds = simfile::ReadWS281x(pwm.name());
        lines = simfile::ReadSpixels(bus.name());
        seen = leds.ok && lines.ok && leds.channel[0].wire.size() >= 30 &&
               leds.channel[0].wire[0] == data[0] && lines.lines[0].size() == 12 &&
               lines.lines[0][0] == data[60];
    }
    ASSERT_TRUE(seen) << daemon.output();
    EXPECT_EQ(leds.channel[0].gpio, 18u);
    EXPECT_EQ(Slice(leds.channel[0].wire, 0, 30), Slice(data, 0, 30));
    simfile::SPIPortFile port0 = simfile::ReadSPIPort(spi.in("kiv-spidev0.0"));
    EXPECT_EQ(port0.bytes, Slice(data, 30, 15));
    EXPECT_EQ(lines.lines[0], Slice(data, 60, 12));
    ASSERT_EQ(lines.lines[3].size(), 13u); // 4 pixels and one latch byte
    for (int p = 0; p < 4; p++) {
        EXPECT_EQ(lines.lines[3][3 * p], 0x80 | data[73 + 3 * p] >> 1) << "green " << p;
        EXPECT_EQ(lines.lines[3][3 * p + 1], 0x80 | data[72 + 3 * p] >> 1) << "red " << p;
        EXPECT_EQ(lines.lines[3][3 * p + 2], 0x80 | data[74 + 3 * p] >> 1) << "blue " << p;
    }
    EXPECT_TRUE(daemon.running());
    daemon.signal(SIGTERM);
    EXPECT_EQ(0, daemon.waitForExit(5000));
}

} // namespace
