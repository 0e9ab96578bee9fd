// The Spixels output on the simulated multi-SPI bus: each data line's bytes are decoded as the
// strip's chips would read them (framing from their datasheets) and compared with a model of the
// port's strings.
#include "channeloutput/spixels.h"

#include "common/Log.h"
#include "common/WarningHolder.h"
#include "support/RGBStringModel.h"
#include "support/ScopedSimFile.h"
#include "support/SimulatedPixelFiles.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <memory>
#include <random>

namespace {

using Pixel = std::array<int, 3>;

// The pixels a line carries as its chips see them; framing errors are reported as failures.
std::vector<Pixel> DecodeLine(const std::string& protocol, const std::vector<uint8_t>& b, int n) {
    std::vector<Pixel> out;
    auto expectSize = [&](size_t size) {
        EXPECT_EQ(b.size(), size) << protocol;
        return b.size() == size;
    };
    auto expectAll = [&](size_t from, uint8_t value, const char* what) {
        for (size_t i = from; i < b.size(); i++) {
            if (b[i] != value) {
                ADD_FAILURE() << protocol << " " << what << " byte " << i << " = " << int(b[i]);
                return;
            }
        }
    };
    if (protocol == "ws2801") {
        if (expectSize(3 * n)) {
            for (int i = 0; i < n; i++) {
                out.push_back({b[3 * i], b[3 * i + 1], b[3 * i + 2]});
            }
        }
    } else if (protocol == "apa102") {
        if (expectSize(4 + 4 * n + std::max(4, (n + 15) / 16))) {
            EXPECT_EQ(b[0] | b[1] | b[2] | b[3], 0) << "start frame";
            for (int i = 0; i < n; i++) {
                const uint8_t* p = &b[4 + 4 * i];
                EXPECT_EQ(p[0], 0xFF) << "pixel " << i << ": 0xE0 and full global brightness";
                out.push_back({p[3], p[2], p[1]});
            }
            expectAll(4 + 4 * n, 0xFF, "end frame");
        }
    } else if (protocol == "lpd6803") {
        if (expectSize(4 + 2 * n + (n + 7) / 8)) {
            EXPECT_EQ(b[0] | b[1] | b[2] | b[3], 0) << "start frame";
            for (int i = 0; i < n; i++) {
                int w = b[4 + 2 * i] << 8 | b[5 + 2 * i];
                EXPECT_TRUE(w & 0x8000) << "pixel " << i;
                out.push_back({(w >> 10) & 31, (w >> 5) & 31, w & 31});
            }
            expectAll(4 + 2 * n, 0, "extra clocks");
        }
    } else if (protocol == "lpd8806") {
        if (expectSize(3 * n + (n + 31) / 32)) {
            for (int i = 0; i < n; i++) {
                const uint8_t* p = &b[3 * i];
                EXPECT_TRUE(p[0] & p[1] & p[2] & 0x80) << "pixel " << i;
                out.push_back({p[1] & 0x7F, p[0] & 0x7F, p[2] & 0x7F});
            }
            expectAll(3 * n, 0, "latch");
        }
    }
    return out;
}

// Bits each protocol drops from an 8-bit value.
int DroppedBits(const std::string& protocol) {
    return protocol == "lpd6803" ? 3 : protocol == "lpd8806" ? 1 : 0;
}

struct PortCase {
    const char* protocol; // as configured
    int port;
    RGBString string;
};

// Every protocol with a colour order other than RGB, dimmed, with gamma, on scattered ports.
const PortCase PORTS[] = {
    {"WS2801", 0, {100, 10, "GRB", 50, 2.2f}},
    {"APA102", 4, {400, 70, "BGR", 100, 1.0f}}, // capitals are accepted; 10+ pixels on GPIO 12
    {"lpd6803", 15, {1000, 13, "BRG", 80, 1.5f}},
    {"Lpd8806", 7, {2000, 50, "RBG", 30, 0.8f}},
};

class Spixels : public ::testing::Test {
protected:
    void SetUp() override {
        KIVLogger::INSTANCE.Init();
        WarningHolder::RemoveAllWarnings();
        channels.assign(KIVD_MAX_CHANNELS + 16, 0);
        std::mt19937 random(11);
        for (int i = 0; i < 10000; i++) {
            channels[i] = uint8_t(random());
        }
    }
    void TearDown() override {
        if (output) {
            output->Close();
        }
        output.reset();
        WarningHolder::RemoveAllWarnings();
    }
    bool InitOutput(const Json::Value& outputs) {
        Json::Value config;
        config["type"] = "Spixels";
        config["outputs"] = outputs;
        output = std::make_unique<SpixelsOutput>(0, 10000);
        return output->Init(config);
    }
    simfile::SpixelsFile SendFrame() {
        output->PrepData(channels.data());
        output->RawSendData(channels.data());
        return simfile::ReadSpixels(bus.name());
    }
    static bool HasWarningWith(const std::string& part) {
        for (const auto& w : WarningHolder::GetWarnings()) {
            if (w.message.find(part) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    ScopedSimFile bus{"KIV_SPIXELS_SIM_FILE", "spixels-test"};
    std::vector<uint8_t> channels;
    std::unique_ptr<SpixelsOutput> output;
};

TEST_F(Spixels, EveryProtocolCarriesItsPortsPixelsOnItsDataLine) {
    Json::Value outputs(Json::arrayValue);
    for (const PortCase& c : PORTS) {
        Json::Value port = PortJson(c.port, {c.string});
        port["protocol"] = c.protocol;
        outputs.append(port);
    }
    outputs.append(PortJson(9, {})); // no channels: dropped
    ASSERT_TRUE(InitOutput(outputs));
    EXPECT_EQ(output->StringCount(), 4);

    for (int frame = 0; frame < 2; frame++) {
        for (int i = 0; i < 3000; i++) {
            channels[i] = uint8_t(channels[i] * 7 + 13);
        }
        simfile::SpixelsFile sent = SendFrame();
        ASSERT_TRUE(sent.ok);
        EXPECT_EQ(sent.clockGpio, 27u);
        EXPECT_EQ(sent.speed, 4000000u);
        EXPECT_EQ(sent.sends, uint32_t(frame + 1));
        for (const PortCase& c : PORTS) {
            SCOPED_TRACE(c.protocol);
            ASSERT_EQ(simfile::SPIXELS_LINE_GPIOS[c.port], SpixelsOutput::PORT_GPIOS[c.port]);
            std::string protocol = c.protocol;
            for (char& ch : protocol) {
                ch = tolower(ch);
            }
            std::vector<Pixel> seen = DecodeLine(protocol, sent.lines[c.port], c.string.pixels);
            std::vector<uint8_t> want = ModelPortBytes({c.string}, channels.data());
            ASSERT_EQ(seen.size() * 3, want.size());
            int wrong = 0, shift = DroppedBits(protocol);
            for (size_t p = 0; p < seen.size(); p++) {
                for (int k = 0; k < 3; k++) {
                    if (seen[p][k] != want[3 * p + k] >> shift && wrong++ < 3) {
                        ADD_FAILURE() << "pixel " << p << " colour " << k << ": " << seen[p][k]
                                      << " != " << (want[3 * p + k] >> shift);
                    }
                }
            }
            EXPECT_EQ(wrong, 0);
        }
        for (int line = 0; line < 16; line++) {
            if (line != 0 && line != 4 && line != 15 && line != 7) {
                EXPECT_TRUE(sent.lines[line].empty()) << line;
            }
        }
    }
}

// White channels make a port end in part of a pixel, which is not sent.
TEST_F(Spixels, PortsWithWhiteChannelsSendWholePixelsOnly) {
    Json::Value port = PortJson(1, {});
    Json::Value vs = RGBString{0, 5, "RGB", 100, 1.0f}.json();
    vs["colorOrder"] = "RGBW"; // 20 channels: 6 pixels and 2 channels over
    port["virtualStrings"].append(vs);
    port["protocol"] = "ws2801";
    Json::Value outputs(Json::arrayValue);
    outputs.append(port);
    ASSERT_TRUE(InitOutput(outputs));
    simfile::SpixelsFile sent = SendFrame();
    ASSERT_TRUE(sent.ok);
    ASSERT_EQ(sent.lines[1].size(), 18u);
    for (int k = 0; k < 18; k++) {
        EXPECT_EQ(sent.lines[1][k], channels[k]) << k;
    }
}

struct BadPort {
    const char* name;
    int port;
    const char* protocol;
    bool initOk;
    const char* warning;
};

const BadPort BAD_PORTS[] = {
    {"EmptyProtocol", 0, "", false, "Unknown Pixel Protocol"},
    {"UnknownProtocol", 0, "ws2812", false, "Unknown Pixel Protocol"},
    {"PortAbove15", 16, "ws2801", true, "port number 16 is outside 0 to 15"},
    {"NegativePort", -1, "apa102", true, "port number -1 is outside 0 to 15"},
};

class SpixelsBadPort : public Spixels, public ::testing::WithParamInterface<BadPort> {};

// A good port beside the bad one: where the output still starts, the good port is sent and the
// bad one touches no line.
TEST_P(SpixelsBadPort, IsReportedAndTouchesNoLine) {
    const BadPort& c = GetParam();
    Json::Value outputs(Json::arrayValue);
    Json::Value good = PortJson(2, {{0, 4, "RGB", 100, 1.0f}});
    good["protocol"] = "ws2801";
    outputs.append(good);
    Json::Value bad = PortJson(c.port, {{30, 4, "RGB", 100, 1.0f}});
    bad["protocol"] = c.protocol;
    outputs.append(bad);
    EXPECT_EQ(bool(InitOutput(outputs)), c.initOk);
    EXPECT_TRUE(HasWarningWith(c.warning)) << c.warning;
    if (!c.initOk) {
        return;
    }
    EXPECT_EQ(output->StringCount(), 1);
    simfile::SpixelsFile sent = SendFrame();
    ASSERT_TRUE(sent.ok);
    for (int line = 0; line < 16; line++) {
        EXPECT_EQ(sent.lines[line].size(), line == 2 ? 12u : 0u) << line;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, SpixelsBadPort, ::testing::ValuesIn(BAD_PORTS),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
