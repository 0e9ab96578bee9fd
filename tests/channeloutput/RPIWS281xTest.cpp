// The RPIWS281x output on the simulated PWM output and SPI ports: channel set-up, LED words and
// the bytes each pin clocks out are decoded from their files and compared with a model of the
// strings, for header pins in either order, a lone PWM1 string, and SPI strings.
#include "channeloutput/rpi_ws281x.h"

#include "common/Common.h"
#include "common/Log.h"
#include "common/WarningHolder.h"
#include "platform/PiGPIOPinProvider.h"
#include "platform/PinCapabilities.h"
#include "platform/SimulatedGPIO.h"
#include "support/RGBStringModel.h"
#include "support/ScopedSimFile.h"
#include "support/SimulatedGpioFile.h"
#include "support/SimulatedPixelFiles.h"
#include "support/TestMediaDir.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>

namespace {

constexpr uint32_t STRIP_TYPE = 0x18000810;

// Port i of a test output: one or two RGB strings, distinct colour orders, brightness and gamma.
std::vector<RGBString> StringsOfPort(int i, int pixels) {
    const char* orders[] = {"GRB", "BGR", "BRG", "RBG"};
    std::vector<RGBString> port = {{300 * i, pixels, orders[i % 4], 60 + 10 * i, 1.0f + 0.4f * i}};
    if (i == 1) {
        port.push_back({2000, 3, "RGB", 100, 1.0f}); // a second virtual string on the port
    }
    return port;
}

class RPIWS281x : public ::testing::Test {
protected:
    void SetUp() override {
        KIVLogger::INSTANCE.Init();
        WarningHolder::RemoveAllWarnings();
        PinCapabilities::InitGPIO("test", &provider);
        channels.assign(KIVD_MAX_CHANNELS + 16, 0);
        std::mt19937 random(5);
        for (int i = 0; i < 4000; i++) {
            channels[i] = uint8_t(random());
        }
    }
    void TearDown() override {
        if (output) {
            output->Close();
        }
        output.reset();
        SimulatedGPIO::INSTANCE.close();
        WarningHolder::RemoveAllWarnings();
    }

    // Writes board NAME with the pins to the media folder's strings and inits an output whose
    // port i has pixels[i] pixels.
    bool InitOutput(const std::vector<std::string>& pins, const std::vector<int>& pixels,
                    const std::string& name = "TestBoard", const Json::Value& extra = Json::Value()) {
        Json::Value board;
        for (const std::string& pin : pins) {
            board["outputs"].append(Json::Value(Json::objectValue))["pin"] = pin;
        }
        media.write("tmp/strings/" + name + ".json", SaveJsonToString(board));
        Json::Value config = extra.isObject() ? extra : Json::Value(Json::objectValue);
        config["type"] = "RPIWS281x";
        if (!config.isMember("subType")) {
            config["subType"] = name;
        }
        ports.clear();
        for (size_t i = 0; i < pixels.size(); i++) {
            ports.push_back(StringsOfPort(i, pixels[i]));
            config["outputs"].append(PortJson(i, ports.back()));
        }
        output = std::make_unique<RPIWS281xOutput>(0, 4000);
        return output->Init(config);
    }
    void SendFrame() {
        output->PrepData(channels.data());
        output->RawSendData(channels.data());
    }
    // The model's bytes of port i, padded with zeros to `size`.
    std::vector<uint8_t> Expected(int i, size_t size) {
        std::vector<uint8_t> bytes = ModelPortBytes(ports[i], channels.data());
        EXPECT_LE(bytes.size(), size);
        bytes.resize(size, 0);
        return bytes;
    }
    // Library channel c carries port i: its set-up, LED words and wire bytes.
    void ExpectChannel(const simfile::WS281xFile& f, int c, int gpio, int port) {
        SCOPED_TRACE("channel " + std::to_string(c));
        const simfile::WS281xChannel& ch = f.channel[c];
        EXPECT_EQ(ch.gpio, uint32_t(gpio));
        EXPECT_EQ(ch.stripType, STRIP_TYPE);
        EXPECT_EQ(ch.brightness, 255u);
        if (port < 0) {
            EXPECT_EQ(ch.count, 0u);
            return;
        }
        size_t bytes = ModelPortBytes(ports[port], channels.data()).size();
        EXPECT_EQ(ch.count, bytes / 4 + 1);
        std::vector<uint8_t> want = Expected(port, ch.count * 4);
        std::vector<uint8_t> words;
        for (uint32_t led : ch.leds) {
            for (int k = 0; k < 4; k++) {
                words.push_back(led >> (8 * k));
            }
        }
        EXPECT_EQ(words, want) << "LED words";
        EXPECT_EQ(ch.wire, want) << "wire bytes";
    }
    void ExpectSPI(int port, int string) {
        simfile::SPIPortFile f = simfile::ReadSPIPort(spiDir.in("kiv-spidev0." + std::to_string(port)));
        ASSERT_TRUE(f.ok) << port;
        EXPECT_EQ(f.speed, 1000000u);
        EXPECT_GE(f.transfers, 1u);
        EXPECT_EQ(f.bytes, ModelPortBytes(ports[string], channels.data()));
    }
    static bool HasWarningWith(const std::string& part) {
        for (const auto& w : WarningHolder::GetWarnings()) {
            if (w.message.find(part) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    TestMediaDir media;
    PiGPIOPinProvider provider{PiGPIOPinProvider::Backend::Simulated};
    SimulatedGpioFile gpioFile{"ws281xtest"};
    ScopedSimFile pwm{"KIV_WS281X_SIM_FILE", "ws281x-test"};
    ScopedSimFile spiDir{"KIV_SPI_SIM_DIR", "spi-test", true};
    std::vector<uint8_t> channels;
    std::vector<std::vector<RGBString>> ports;
    std::unique_ptr<RPIWS281xOutput> output;
};

struct Placement {
    const char* name;
    std::vector<std::string> pins;
    std::vector<int> pixels;
    int gpio[2]; // library channels' GPIOs
    int port[2]; // the port on each channel, -1 none
    int spi[2];  // the port on spidev0.0 / 0.1, -1 none
};

// P1-32 is GPIO 12 (PWM0), P1-33 GPIO 13 (PWM1), P1-35 GPIO 19 (PWM1), P1-12 GPIO 18 (PWM0).
const Placement PLACEMENTS[] = {
    {"TwoHeaderPinsInOrder", {"P1-32", "P1-33"}, {10, 20}, {12, 13}, {0, 1}, {-1, -1}},
    {"TwoHeaderPinsSwapped", {"P1-33", "P1-32"}, {10, 20}, {12, 13}, {1, 0}, {-1, -1}},
    {"LonePWM1String", {"P1-35"}, {10}, {18, 19}, {-1, 0}, {-1, -1}},
    {"SPIThenHeaderPin", {"spidev0.0", "P1-12"}, {12, 7}, {18, 0}, {1, -1}, {0, -1}},
    {"HeaderPinsAndBothSPIPorts",
     {"P1-12", "spidev0.1", "P1-35", "spidev0.0"},
     {5, 9, 6, 4},
     {18, 19},
     {0, 2},
     {3, 1}},
};

class RPIWS281xPlacement : public RPIWS281x, public ::testing::WithParamInterface<Placement> {};

TEST_P(RPIWS281xPlacement, EachStringReachesItsChannelOrPortUnchanged) {
    const Placement& c = GetParam();
    ASSERT_TRUE(InitOutput(c.pins, c.pixels));
    for (int frame = 1; frame <= 2; frame++) {
        for (int i = 0; i < 4000; i++) {
            channels[i] = uint8_t(channels[i] * 5 + 3);
        }
        SendFrame();
        simfile::WS281xFile f = simfile::ReadWS281x(pwm.name());
        ASSERT_TRUE(f.ok);
        EXPECT_EQ(f.frequency, 800000u);
        EXPECT_EQ(f.dma, 10u);
        EXPECT_EQ(f.renders, uint32_t(frame));
        for (int ch = 0; ch < 2; ch++) {
            ExpectChannel(f, ch, c.gpio[ch], c.port[ch]);
        }
        for (int p = 0; p < 2; p++) {
            if (c.spi[p] >= 0) {
                ExpectSPI(p, c.spi[p]);
            } else {
                EXPECT_FALSE(FileExists(spiDir.in("kiv-spidev0." + std::to_string(p))));
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, RPIWS281xPlacement, ::testing::ValuesIn(PLACEMENTS),
                         [](const auto& info) { return std::string(info.param.name); });

// Ten RGB pixels are 30 bytes: 8 LED words, the last with two bytes to spare.
TEST_F(RPIWS281x, TenPixelsTakeEightLEDs) {
    ASSERT_TRUE(InitOutput({"P1-12"}, {10}));
    SendFrame();
    EXPECT_EQ(simfile::ReadWS281x(pwm.name()).channel[0].count, 8u);
}

TEST_F(RPIWS281x, PinoutVersionPicksTheMediaFoldersBoardFirst) {
    Json::Value extra;
    extra["subType"] = "";
    extra["pinoutVersion"] = "3.x";
    ASSERT_TRUE(InitOutput({"P1-32"}, {4}, "PiHat-v3", extra));
    SendFrame();
    EXPECT_EQ(simfile::ReadWS281x(pwm.name()).channel[0].gpio, 12u);
}

TEST_F(RPIWS281x, TestPatternReplacesTheChannelData) {
    ASSERT_TRUE(InitOutput({"P1-12"}, {4}));
    Json::Value test;
    test["brightness"] = 100;
    output->OverlayTestData(channels.data(), 0, 0, 3, test); // solid red
    SendFrame();
    simfile::WS281xFile f = simfile::ReadWS281x(pwm.name());
    // GRB order: red is each pixel's second byte.
    for (int p = 0; p < 4; p++) {
        EXPECT_EQ(f.channel[0].wire[3 * p], 0) << p;
        EXPECT_GT(f.channel[0].wire[3 * p + 1], 0) << p;
        EXPECT_EQ(f.channel[0].wire[3 * p + 2], 0) << p;
    }
}

struct BadBoard {
    const char* name;
    std::vector<std::string> pins;
    std::vector<int> pixels;
    bool initOk;
    const char* warning;
};

const BadBoard BAD_BOARDS[] = {
    {"UnknownPin", {"P9-99", "P1-12"}, {5, 5}, true, "string 1: pin P9-99 does not exist"},
    {"ThirdHeaderPin", {"P1-12", "P1-35", "P1-32"}, {5, 6, 7}, true, "only two strings can use header pins"},
    {"NoPinNamed", {"", "P1-12"}, {5, 5}, true, "string 1 has pixels but no output pin"},
    {"PinNotPWM", {"P1-7"}, {5}, false, "RPIWS281x: ws2811_init() failed.  Error code: -11"},
};

class RPIWS281xBadBoard : public RPIWS281x, public ::testing::WithParamInterface<BadBoard> {};

// Whatever is wrong, only the strings with a channel of their own reach the library, and each
// LED array is written only as far as its own string.
TEST_P(RPIWS281xBadBoard, IsReportedAndOtherStringsStillWork) {
    const BadBoard& c = GetParam();
    EXPECT_EQ(bool(InitOutput(c.pins, c.pixels)), c.initOk);
    EXPECT_TRUE(HasWarningWith(c.warning)) << c.warning;
    if (!c.initOk) {
        return;
    }
    SendFrame();
    simfile::WS281xFile f = simfile::ReadWS281x(pwm.name());
    ASSERT_TRUE(f.ok);
    int first = c.pins[0] == "P1-12" ? 0 : 1;
    ExpectChannel(f, 0, 18, first);
    EXPECT_EQ(output->StringTarget(2), RPIWS281xOutput::TARGET_NONE);
}

INSTANTIATE_TEST_SUITE_P(Cases, RPIWS281xBadBoard, ::testing::ValuesIn(BAD_BOARDS),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RPIWS281x, MissingOrUnreadablePinFilesFailWithTheirWarning) {
    Json::Value config;
    config["subType"] = "NoSuchBoard";
    RPIWS281xOutput missing(0, 10);
    EXPECT_FALSE(missing.Init(config));
    EXPECT_TRUE(HasWarningWith("RPIWS281x: No output pin configuration for: NoSuchBoard"));

    media.write("tmp/strings/Broken.json", "{\"outputs\": [");
    config["subType"] = "Broken";
    RPIWS281xOutput broken(0, 10);
    EXPECT_FALSE(broken.Init(config));
    EXPECT_TRUE(HasWarningWith("RPIWS281x: Could not read pin configuration for: Broken"));
}

// Longer strings than the library's DMA buffer takes fail its initialisation.
TEST_F(RPIWS281x, StringsLongerThanTheLibraryTakesFailInit) {
    Json::Value board;
    board["outputs"].append(Json::Value(Json::objectValue))["pin"] = "P1-12";
    media.write("tmp/strings/Long.json", SaveJsonToString(board));
    Json::Value config;
    config["subType"] = "Long";
    Json::Value port = PortJson(0, {});
    for (int k = 0; k < 7; k++) {
        port["virtualStrings"].append(RGBString{4800 * k, 1600, "RGB", 100, 1.0f}.json());
    }
    config["outputs"].append(port);
    output = std::make_unique<RPIWS281xOutput>(0, 33600);
    EXPECT_FALSE(output->Init(config));
    EXPECT_TRUE(HasWarningWith("RPIWS281x: ws2811_init() failed.  Error code: -2"));
}

} // namespace
