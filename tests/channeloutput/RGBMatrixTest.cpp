// The HUB75 panel output end to end on the simulated panel: the shown canvas is read back from its
// file and compared, pixel by pixel, with what a model of the wiring written here says each panel
// pixel shows; bad layouts are warned about by name and never write outside any buffer.
#include "channeloutput/RGBMatrix/RGBMatrix.h"

#include "channeloutput/LEDPanel.h"
#include "channeloutput/PanelLayoutModel.h"
#include "channeloutput/PanelMatrix.h"
#include "channeloutput/SimulatedPanelDecoder.h"
#include "common/Log.h"
#include "common/WarningHolder.h"
#include "led-matrix.h"
#include "overlays/PixelOverlayManager.h"
#include "player/Sequence.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int START = 1000; // the output's first channel, 0-based

struct Case {
    const char* name;
    int panelWidth;
    int panelHeight;
    std::vector<PanelSpec> panels;
    std::string order = "RGB";
    std::string gamma = "1.0"; // "" leaves the key out
    int inverted = 0;
    std::string subMatrices = "[]"; // JSON
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

Json::Value Parse(const std::string& text) {
    Json::Value v;
    Json::Reader().parse(text, v);
    return v;
}

Json::Value Config(const Case& c) {
    Json::Value config;
    config["type"] = "LEDPanelMatrix";
    config["subType"] = "RGBMatrix";
    config["panelWidth"] = c.panelWidth;
    config["panelHeight"] = c.panelHeight;
    config["colorOrder"] = c.order;
    config["invertedData"] = c.inverted;
    if (!c.gamma.empty()) {
        config["gamma"] = c.gamma;
    }
    config["subMatrices"] = Parse(c.subMatrices);
    config["panels"] = PanelsJson(c.panels);
    return config;
}

struct Model {
    int matrixWidth = 0, matrixHeight = 0, outputs = 0, chain = 0;
};
Model Measure(const Case& c) {
    Model m;
    for (const PanelSpec& p : c.panels) {
        bool turned = p.orientation == 'L' || p.orientation == 'R';
        m.matrixWidth = std::max(m.matrixWidth, p.x + (turned ? c.panelHeight : c.panelWidth));
        m.matrixHeight = std::max(m.matrixHeight, p.y + (turned ? c.panelWidth : c.panelHeight));
        m.outputs = std::max(m.outputs, p.output + 1);
        m.chain = std::max(m.chain, p.chain + 1);
    }
    return m;
}

// The canvas the panels should show for the channel data: sub-matrices copied in first, then each
// panel pixel's three lines fed from the channels of the matrix pixel it covers, in its order.
std::vector<uint8_t> ExpectedCanvas(const Case& c, std::vector<uint8_t> channels,
                                    const std::vector<uint8_t>& gamma) {
    Model m = Measure(c);
    for (const Json::Value& s : Parse(c.subMatrices)) {
        if (!s["enabled"].asBool()) {
            continue;
        }
        int w = s["width"].asInt();
        for (int r = 0; r < s["height"].asInt(); r++) {
            std::memcpy(
                &channels[START + ((s["yOffset"].asInt() + r) * m.matrixWidth + s["xOffset"].asInt()) * 3],
                &channels[s["startChannel"].asInt() - 1 + r * w * 3], w * 3);
        }
    }
    int canvasWidth = m.chain * c.panelWidth;
    std::vector<uint8_t> canvas(size_t(canvasWidth) * m.outputs * c.panelHeight * 3, 0);
    for (const PanelSpec& p : c.panels) {
        Placement at = Place(p.orientation, c.panelWidth, c.panelHeight);
        std::string order = p.order.empty() ? c.order : p.order;
        for (char& letter : order) {
            letter = char(std::toupper(letter));
        }
        for (int k = 0; k < c.panelHeight; k++) {
            for (int l = 0; l < c.panelWidth; l++) {
                int mx = p.x + at.ox + l * at.ax + k * at.bx;
                int my = p.y + at.oy + l * at.ay + k * at.by;
                int row = c.inverted ? m.matrixHeight - 1 - my : my;
                int channel = START + (row * m.matrixWidth + mx) * 3;
                int cx = (m.chain - 1 - p.chain) * c.panelWidth + l;
                int cy = p.output * c.panelHeight + k;
                for (int line = 0; line < 3; line++) {
                    canvas[(size_t(cy) * canvasWidth + cx) * 3 + line] =
                        gamma[channels[channel + std::string("RGB").find(order[line])]];
                }
            }
        }
    }
    return canvas;
}

class RGBMatrixPanels : public ::testing::Test {
protected:
    void SetUp() override {
        KIVLogger::INSTANCE.Init();
        KIVLogger::INSTANCE.ChannelOut.level = KIVLOG_WARN;
        path = "/dev/shm/kiv-hub75-test-" + std::to_string(getpid());
        setenv("KIV_HUB75_SIM_FILE", path.c_str(), 1);
        WarningHolder::RemoveAllWarnings();
        PixelOverlayManager::INSTANCE.setAutoCreatePixelOverlayModels(false);
        // Exactly the daemon's buffer, so a read or write past it is caught under the sanitizers.
        channels.assign(KIVD_MAX_CHANNELS + SEQUENCE_RESERVED_BYTES, 0);
        std::mt19937 random(11);
        for (int i = 0; i < 100000; i++) {
            channels[i] = uint8_t(random());
        }
    }
    void TearDown() override {
        if (output) {
            output->Close();
        }
        output.reset();
        unlink(path.c_str());
        WarningHolder::RemoveAllWarnings();
        PixelOverlayManager::INSTANCE.setAutoCreatePixelOverlayModels(true);
    }
    bool Init(const Json::Value& config, int start = START) {
        output = std::make_unique<RGBMatrixOutput>(start, 0);
        return output->Init(config);
    }
    ShownPanel ShowFrame() {
        output->PrepData(channels.data());
        output->SendData(channels.data() + output->GetStartChannel());
        return ReadShownPanel(path);
    }
    std::string Warnings() const {
        std::string all;
        for (const KIVWarning& w : WarningHolder::GetWarnings()) {
            all += w.message + "\n";
        }
        return all;
    }
    void ExpectShows(const ShownPanel& shown, const std::vector<uint8_t>& expected) {
        ASSERT_TRUE(shown.valid);
        ASSERT_EQ(shown.rgb.size(), expected.size());
        int wrong = 0;
        for (size_t i = 0; i < expected.size(); i++) {
            if (shown.rgb[i] != expected[i] && wrong++ < 5) {
                size_t pixel = i / 3;
                ADD_FAILURE() << "canvas pixel " << pixel % shown.width << "," << pixel / shown.width
                              << " line " << i % 3 << ": " << int(shown.rgb[i]) << " != " << int(expected[i]);
            }
        }
        EXPECT_EQ(wrong, 0);
    }

    std::string path;
    std::vector<uint8_t> channels;
    std::unique_ptr<RGBMatrixOutput> output;
};

class RGBMatrixLayouts : public RGBMatrixPanels, public ::testing::WithParamInterface<Case> {};

TEST_P(RGBMatrixLayouts, ShowsEachPanelPixelFromItsChannels) {
    const Case& c = GetParam();
    ASSERT_TRUE(Init(Config(c))) << Warnings();
    EXPECT_EQ(Warnings(), "");
    Model m = Measure(c);
    EXPECT_EQ(output->GetChannelCount(), unsigned(m.matrixWidth * m.matrixHeight * 3));
    ShownPanel blank = ReadShownPanel(path);
    ASSERT_TRUE(blank.valid);
    EXPECT_EQ(blank.swaps, 1u) << "a blank first frame";
    EXPECT_EQ(std::count(blank.rgb.begin(), blank.rgb.end(), 0), long(blank.rgb.size()));

    ShownPanel shown = ShowFrame();
    EXPECT_EQ(shown.width, unsigned(m.chain * c.panelWidth));
    EXPECT_EQ(shown.height, unsigned(m.outputs * c.panelHeight));
    EXPECT_EQ(shown.swaps, 2u);
    double gamma = c.gamma.empty() || std::stod(c.gamma) > 50 ? 2.2 : std::stod(c.gamma);
    ExpectShows(shown, ExpectedCanvas(c, channels, GammaTable(gamma)));
}

const Case LAYOUTS[] = {
    {"FourPanelsOnTwoParallelChains",
     16,
     8,
     {{0, 0, 'N', 0, 0, ""}, {0, 1, 'N', 16, 0, ""}, {1, 0, 'N', 0, 8, ""}, {1, 1, 'N', 16, 8, ""}}},
    {"ChainOrderReversedAgainstOffsets", 16, 8, {{0, 1, 'N', 0, 0, ""}, {0, 0, 'N', 16, 0, ""}}},
    {"EveryOrientation",
     16,
     8,
     {{0, 0, 'N', 0, 0, ""}, {0, 1, 'U', 16, 0, ""}, {0, 2, 'L', 32, 0, ""}, {0, 3, 'R', 40, 0, ""}}},
    {"PanelAndMatrixColourOrders",
     16,
     8,
     {{0, 0, 'N', 0, 0, "GRB"}, {0, 1, 'N', 16, 0, ""}, {0, 2, 'U', 32, 0, "brg"}},
     "BGR"},
    {"OffsetsLeavingGaps", 16, 8, {{0, 0, 'N', 0, 0, ""}, {1, 0, 'R', 40, 20, ""}}},
    {"InvertedData", 16, 8, {{0, 0, 'N', 0, 0, ""}, {0, 1, 'L', 16, 0, ""}}, "RGB", "1.0", 1},
    {"Gamma22ByDefault", 16, 8, {{0, 0, 'N', 0, 0, ""}}, "RGB", ""},
    {"GammaOutOfRangeIs22", 16, 8, {{0, 0, 'N', 0, 0, ""}}, "RGB", "60"},
    {"EnabledAndDisabledSubMatrix",
     16,
     8,
     {{0, 0, 'N', 0, 0, ""}, {0, 1, 'N', 16, 0, ""}},
     "RGB",
     "2.2",
     0,
     R"([{"enabled": true, "startChannel": 50001, "width": 8, "height": 4, "xOffset": 4, "yOffset": 2},
         {"enabled": false, "startChannel": 60001, "width": 8, "height": 4, "xOffset": 20, "yOffset": 2}])"},
};
INSTANTIATE_TEST_SUITE_P(Panels, RGBMatrixLayouts, ::testing::ValuesIn(LAYOUTS),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RGBMatrixPanels, TestPatternsShowInTrueColoursWithEachPanelsTopEdge) {
    Case c{"", 16, 8, {{0, 0, 'L', 0, 0, "GRB"}, {0, 1, 'U', 8, 0, ""}}, "RGB", "2.2"};
    ASSERT_TRUE(Init(Config(c)));
    output->OverlayTestData(channels.data(), 1, 0, LEDPanel::TEST_SOLID_CYCLE, Json::Value());
    ShownPanel shown = ShowFrame();
    for (int y = 0; y < 8; y++) {
        for (int x = 0; x < 32; x++) {
            ASSERT_EQ(std::vector<uint8_t>(shown.at(x, y), shown.at(x, y) + 3),
                      (std::vector<uint8_t>{0, 255, 0}))
                << x << "," << y;
        }
    }

    output->OverlayTestData(channels.data(), 0, 0, LEDPanel::TEST_LAYOUT, Json::Value());
    shown = ShowFrame();
    for (int left : {0, 16}) { // however a panel hangs, its own top row is green and left column red
        for (int x = 1; x < 16; x++) {
            EXPECT_EQ(std::vector<uint8_t>(shown.at(left + x, 0), shown.at(left + x, 0) + 3),
                      (std::vector<uint8_t>{0, 255, 0}));
        }
        for (int y = 1; y < 8; y++) {
            EXPECT_EQ(shown.at(left, y)[0], 255);
        }
    }
    // Panel 0 (drawn at the far end of the chain) carries a yellow "0" from its pixel (2, 2).
    EXPECT_EQ(std::vector<uint8_t>(shown.at(16 + 2, 2), shown.at(16 + 2, 2) + 3),
              (std::vector<uint8_t>{255, 255, 0}));
}

TEST_F(RGBMatrixPanels, LibraryOptionsFollowTheConfiguration) {
    struct {
        const char* extra;
        bool initialises;
        uint32_t pwmBits;
        uint32_t brightness;
    } cases[] = {
        {"{}", true, 8, 100},
        {R"({"panelColorDepth": 12, "brightness": 40})", true, 11, 40},
        {R"({"panelColorDepth": 6})", true, 6, 100},
        {R"({"panelInterleave": "40", "panelScan": 8})", true, 8, 100}, // 16-row panels: forced to 0
        {R"({"panelInterleave": "40", "panelScan": 4})", false, 0, 0},
        {R"({"wiringPinout": "no-such-board"})", false, 0, 0},
        {R"({"panelType": 1, "wiringPinout": "adafruit-hat", "gpioSlowdown": 4})", true, 8, 100},
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(t.extra);
        Json::Value config = Config({"", 32, 16, {{0, 0, 'N', 0, 0, ""}}});
        for (const auto& key : Parse(t.extra).getMemberNames()) {
            config[key] = Parse(t.extra)[key];
        }
        ASSERT_EQ(Init(config), t.initialises) << Warnings();
        if (t.initialises) {
            ShownPanel shown = ReadShownPanel(path);
            EXPECT_EQ(shown.pwmBits, t.pwmBits);
            EXPECT_EQ(shown.brightness, t.brightness);
        } else {
            EXPECT_NE(Warnings().find("RGBMatrix: Unable to create RGBMatrix instance from options"),
                      std::string::npos)
                << Warnings();
        }
        output.reset();
        WarningHolder::RemoveAllWarnings();
    }
}

TEST_F(RGBMatrixPanels, MakesTheOverlayModelOverTheWholeMatrix) {
    PixelOverlayManager::INSTANCE.setAutoCreatePixelOverlayModels(true);
    std::string name = "hub75-test-" + std::to_string(getpid());
    Json::Value config = Config({"", 16, 8, {{0, 0, 'N', 0, 0, ""}, {0, 1, 'N', 16, 0, ""}}});
    config["LEDPanelMatrixName"] = name;
    ASSERT_TRUE(Init(config));
    PixelOverlayModel* model = PixelOverlayManager::INSTANCE.getModel(name);
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(model->getStartChannel(), START);
    EXPECT_EQ(model->getChannelCount(), 32 * 8 * 3);
    EXPECT_EQ(model->getWidth(), 32);
    EXPECT_EQ(model->getHeight(), 8);
    PixelOverlayManager::INSTANCE.removeModel(name);
}

// Bad layouts: each is warned about with the output's name and what is wrong; the output either
// refuses to start or shows the panels it could place, and nothing is written outside any buffer.
TEST_F(RGBMatrixPanels, BadLayoutsAreWarnedAboutAndStayInsideTheBuffers) {
    struct {
        const char* what;
        Case layout;
        bool initialises;
        const char* warning;
        int start = START;
    } cases[] = {
        {"negative offset",
         {"", 16, 8, {{0, 0, 'N', 0, 0, ""}, {0, 1, 'N', -16, 0, ""}}},
         true,
         "RGBMatrix: panel 1 skipped: offset -16,0 is outside"},
        {"overlap",
         {"", 16, 8, {{0, 0, 'N', 0, 0, ""}, {0, 1, 'N', 8, 4, ""}}},
         true,
         "RGBMatrix: panel 1: it overlaps panel 0"},
        {"far output",
         {"", 16, 8, {{0, 0, 'N', 0, 0, ""}, {1000, 0, 'N', 16, 0, ""}}},
         true,
         "RGBMatrix: panel 1 skipped: output number 1000 is outside"},
        {"far chain position",
         {"", 16, 8, {{0, 0, 'N', 0, 0, ""}, {0, 5000, 'N', 16, 0, ""}}},
         true,
         "RGBMatrix: panel 1 skipped: chain position 5000 is outside"},
        {"taken chain position",
         {"", 16, 8, {{0, 0, 'N', 0, 0, ""}, {0, 0, 'N', 16, 0, ""}}},
         true,
         "RGBMatrix: panel 1 skipped: chain position 0 of output 0 is already taken"},
        {"more outputs than the board has",
         {"", 16, 8, {{0, 0, 'N', 0, 0, ""}, {5, 0, 'N', 0, 8, ""}}},
         false,
         "Parallel outputs should be 1 to 3"},
        {"negative panel size",
         {"", -5, 8, {{0, 0, 'N', 0, 0, ""}}},
         false,
         "RGBMatrix: panel size -5x8 is outside"},
        {"huge panel size",
         {"", 100000, 8, {{0, 0, 'N', 0, 0, ""}}},
         false,
         "RGBMatrix: panel size 100000x8"},
        {"no panel left",
         {"", 16, 8, {{0, 0, 'N', -1, 0, ""}}},
         false,
         "RGBMatrix: no panels are configured"},
        {"matrix past the channel buffer",
         {"", 16, 8, {{0, 0, 'N', 8000, 8000, ""}}},
         false,
         "beyond the channel buffer"},
        {"matrix at the very end of the buffer",
         {"", 16, 8, {{0, 0, 'N', 0, 0, ""}}},
         true,
         "",
         int(KIVD_MAX_CHANNELS) - 16 * 8 * 3},
        {"sub-matrix past the channel buffer",
         {"",
          16,
          8,
          {{0, 0, 'N', 0, 0, ""}},
          "RGB",
          "1.0",
          0,
          R"([{"enabled": true, "startChannel": 8388600, "width": 4, "height": 2, "xOffset": 0, "yOffset": 0}])"},
         true,
         "RGBMatrix: sub-matrix 0 skipped: channels from 8388600"},
        {"sub-matrix before the channel buffer",
         {"",
          16,
          8,
          {{0, 0, 'N', 0, 0, ""}},
          "RGB",
          "1.0",
          0,
          R"([{"enabled": true, "startChannel": 0, "width": 4, "height": 2, "xOffset": 0, "yOffset": 0}])"},
         true,
         "RGBMatrix: sub-matrix 0 skipped"},
        {"sub-matrix past the matrix",
         {"",
          16,
          8,
          {{0, 0, 'N', 0, 0, ""}},
          "RGB",
          "1.0",
          0,
          R"([{"enabled": true, "startChannel": 50001, "width": 8, "height": 2, "xOffset": 12, "yOffset": 0},
             {"enabled": true, "startChannel": 50001, "width": 2, "height": 2000000000, "xOffset": 0, "yOffset": -3}])"},
         true,
         "RGBMatrix: sub-matrix 0 skipped: 8x2 at 12,0 reaches outside the 16x8 matrix"},
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(t.what);
        std::vector<uint8_t> before = channels;
        ASSERT_EQ(Init(Config(t.layout), t.start), t.initialises) << Warnings();
        EXPECT_NE(Warnings().find(t.warning), std::string::npos) << Warnings();
        if (t.initialises) {
            ShownPanel shown = ShowFrame();
            EXPECT_TRUE(shown.valid);
            EXPECT_EQ(channels, before) << "no sub-matrix was copied";
        }
        output.reset();
        WarningHolder::RemoveAllWarnings();
    }
}

// The older receiver-card layout names orientations from the other side of the panel.
#ifdef KIV_RGB_MATRIX_STAND_IN
// The simulated panel's row call sets what SetPixel would for each pixel, and nothing outside.
TEST_F(RGBMatrixPanels, SimulatedPanelRowsAreClippedToTheCanvas) {
    struct Row {
        int x, y, count;
    };
    const Row rows[] = {{2, 0, 3},          {-2, 1, 4}, {6, 2, 5}, {-100, 3, 1000},
                        {0, -1, 8},         {0, 8, 8},  {8, 4, 2}, {2147483000, 5, 2147483000},
                        {-2147483000, 6, 5}};
    rgb_matrix::RGBMatrix::Options options;
    options.rows = 8;
    options.cols = 8;
    std::unique_ptr<rgb_matrix::RGBMatrix> matrix(
        rgb_matrix::RGBMatrix::CreateFromOptions(options, rgb_matrix::RGBMatrix::RuntimeOptions()));
    ASSERT_TRUE(matrix);
    rgb_matrix::FrameCanvas* canvas = matrix->CreateFrameCanvas();
    std::vector<uint8_t> expected(8 * 8 * 3), source(3000);
    for (size_t i = 0; i < source.size(); i++) {
        source[i] = uint8_t(i * 7 + 1);
    }
    for (const Row& r : rows) {
        canvas->SetRowPixels(r.x, r.y, r.count, source.data());
        for (long long i = 0; i < std::min(r.count, 1000); i++) {
            long long x = (long long)r.x + i;
            if (x >= 0 && x < 8 && r.y >= 0 && r.y < 8) {
                std::memcpy(&expected[(r.y * 8 + x) * 3], &source[i * 3], 3);
            }
        }
    }
    matrix->SwapOnVSync(canvas);
    ExpectShows(ReadShownPanel(path), expected);
}
#endif

TEST(PanelMatrixConfig, LegacyOrientationsAreMirroredAndEmptyColourOrdersFilledIn) {
    Json::Value panels =
        Parse(R"([{"orientation": "L", "panelNumber": 0}, {"orientation": "", "panelNumber": 1,
        "xOffset": 16}, {"orientation": "N", "panelNumber": 2, "xOffset": 32, "colorOrder": "GRB"}])");
    PanelMatrix legacy(16, 8, 0);
    ASSERT_EQ(legacy.AddPanelsFromConfig(panels, kColorOrderBGR, "ColorLight:", true), 3);
    EXPECT_EQ(legacy.Panel(0).orientation, 'R');
    EXPECT_EQ(legacy.Panel(1).orientation, 'U');
    EXPECT_EQ(legacy.Panel(2).orientation, 'U');
    EXPECT_EQ(panels[0]["colorOrder"].asString(), "BGR");
    EXPECT_EQ(panels[2]["colorOrder"].asString(), "GRB");
    EXPECT_EQ(legacy.Width(), 48);
    EXPECT_EQ(legacy.Height(), 16);
}

} // namespace
