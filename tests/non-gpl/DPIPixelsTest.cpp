// The DPI output end to end on the simulated framebuffer: the shown page is read back from its
// shared-memory file and decoded as WS281x receivers (and latches) on the data lines would see it.
#include "non-gpl/DPIPixels/DPIPixels.h"

#include "channeloutput/PixelString.h"
#include "common/Common.h"
#include "common/CpuFeatures.h"
#include "common/Log.h"
#include "common/Settings.h"
#include "common/WarningHolder.h"
#include "common/httpserver/httpserver.h"
#include "non-gpl/SimulatedDPIDecoder.h"
#include "platform/PiGPIOPinProvider.h"
#include "platform/PinCapabilities.h"
#include "platform/SimulatedFrameBuffer.h"
#include "platform/SimulatedGPIO.h"
#include "support/NetNamespace.h"
#include "support/SimulatedGpioFile.h"
#include "support/TestMediaDir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

const char* const DATA_PINS[24] = {"P1-7",  "P1-29", "P1-31", "P1-26", "P1-24", "P1-21", "P1-19", "P1-23",
                                   "P1-32", "P1-33", "P1-8",  "P1-10", "P1-36", "P1-11", "P1-12", "P1-35",
                                   "P1-38", "P1-40", "P1-15", "P1-16", "P1-18", "P1-22", "P1-37", "P1-13"};
// Data line D of the DPI port is bit 0x800000 >> p of a pixel, p as the pin table gives it.
int PositionOfLine(int d) {
    return 8 * (d / 8) + 7 - (d % 8);
}

// One port of `channels` RGB channels from start, in GRB order to exercise the map, in virtual
// strings of at most 1600 pixels.
Json::Value PortConfig(int port, int start, int channels) {
    Json::Value out;
    out["portNumber"] = port;
    out["virtualStrings"] = Json::Value(Json::arrayValue);
    for (int done = 0; done < channels || done == 0; done += 4800) {
        Json::Value vs;
        vs["startChannel"] = start + done;
        vs["pixelCount"] = std::min(channels - done, 4800) / 3;
        vs["colorOrder"] = "GRB";
        vs["brightness"] = 100;
        vs["gamma"] = 1.0;
        out["virtualStrings"].append(vs);
    }
    return out;
}

class DPIPixels : public ::testing::Test {
protected:
    void SetUp() override {
        // The frame-rate check asks the local web server to change settings: keep that private.
        ASSERT_TRUE(EnterPrivateNetworkNamespace());
        KIVLogger::INSTANCE.Init();
        ResetSettingsForTesting();
        WarningHolder::RemoveAllWarnings();
        PinCapabilities::InitGPIO("test", &provider);
        device = "dpitest-" + std::to_string(getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char& c : device) {
            if (c == '/') {
                c = '_';
            }
        }
        channels.assign(KIVD_MAX_CHANNELS + 8, 0);
        std::mt19937 random(7);
        for (int i = 0; i < 200000; i++) {
            channels[i] = uint8_t(random());
        }
    }
    void TearDown() override {
        output.reset();
        SimulatedGPIO::INSTANCE.close();
        unlink(SimulatedFrameBuffer::FilePath(device).c_str());
        WarningHolder::RemoveAllWarnings();
    }

    // Inits an output on board subType (written to the media directory first when given) whose
    // port i has lengths[i] channels; returns Init's result.
    bool InitOutput(const std::string& subType, const Json::Value* board, const std::vector<int>& lengths,
                    const std::string& geometry = "1084x162") {
        if (board) {
            media.write("tmp/strings/" + subType + ".json", SaveJsonToString(*board));
        }
        SetSetting("SimulatedFrameBuffer", geometry);
        config = Json::Value();
        config["type"] = "DPIPixels";
        config["subType"] = subType;
        config["device"] = device;
        int start = 0;
        for (size_t i = 0; i < lengths.size(); i++) {
            config["outputs"].append(PortConfig(i, start, lengths[i]));
            start += lengths[i];
        }
        output = std::make_unique<DPIPixelsOutput>(0, start);
        return output->Init(config);
    }
    // What prepareOutput gives for port i, built apart from the output.
    std::vector<uint8_t> Expected(int i) {
        PixelString ps;
        EXPECT_TRUE(ps.Init(config["outputs"][i]));
        uint8_t* out = ps.prepareOutput(channels.data());
        return std::vector<uint8_t>(out, out + ps.OutputChannels());
    }
    void ShowFrame() {
        output->PrepData(channels.data());
        output->SendData(channels.data());
    }
    // Checks that line p carried `bytes` in rows [first, first + rows) and zeros after them.
    void ExpectLine(const DecodedFrame& frame, int first, int rows, int p,
                    const std::vector<uint8_t>& bytes) {
        if (!bytes.empty()) {
            ASSERT_NE(std::count(bytes.begin(), bytes.end(), 0), (long)bytes.size())
                << "a dark port proves nothing";
        }
        ASSERT_LE(first + rows, (int)frame.rows.size());
        int wrong = 0;
        for (int r = 0; r < rows; r++) {
            uint8_t want = r < (int)bytes.size() ? bytes[r] : 0;
            if (frame.rows[first + r].bytes[p] != want && wrong++ < 3) {
                ADD_FAILURE() << "line " << p << " row " << r << ": " << int(frame.rows[first + r].bytes[p])
                              << " != " << int(want);
            }
        }
        EXPECT_EQ(wrong, 0);
    }

    TestMediaDir media;
    PiGPIOPinProvider provider{PiGPIOPinProvider::Backend::Simulated};
    SimulatedGpioFile gpioFile{"dpitest"};
    std::string device;
    std::vector<uint8_t> channels;
    Json::Value config;
    std::unique_ptr<DPIPixelsOutput> output;
};

Json::Value Board(const std::vector<std::string>& pins) {
    Json::Value board;
    for (const std::string& pin : pins) {
        Json::Value entry;
        entry["pin"] = pin;
        board["outputs"].append(entry);
    }
    return board;
}

TEST(DPIPixelsPins, EachDataLineHasItsBitPositionAndOtherPinsNone) {
    for (int d = 0; d < 24; d++) {
        EXPECT_EQ(DPIPixelsOutput::GetDPIPinBitPosition(DATA_PINS[d]), PositionOfLine(d)) << DATA_PINS[d];
    }
    EXPECT_EQ(DPIPixelsOutput::GetDPIPinBitPosition("P1-12"), 9);
    EXPECT_EQ(DPIPixelsOutput::GetDPIPinBitPosition("P1-7"), 7);
    EXPECT_EQ(DPIPixelsOutput::GetDPIPinBitPosition("P1-3"), -1);
    EXPECT_EQ(DPIPixelsOutput::GetDPIPinBitPosition(""), -1);
}

// Display mode, and whether the encoder may use the processor's extensions (off: the baseline
// code, as on processors without them).
using WriterCase = std::tuple<const char*, bool>;

class DPIPixelsWriters : public DPIPixels, public ::testing::WithParamInterface<WriterCase> {
protected:
    void SetUp() override {
        DPIPixels::SetUp();
        SetCpuExtensionsEnabled(std::get<1>(GetParam()));
    }
    void TearDown() override {
        SetCpuExtensionsEnabled(true);
        DPIPixels::TearDown();
    }
    const char* Geometry() const { return std::get<0>(GetParam()); }
};

std::string WriterCaseName(const ::testing::TestParamInfo<WriterCase>& info) {
    return std::string(std::get<0>(info.param)) + (std::get<1>(info.param) ? "_extensions" : "_baseline");
}

const auto BOTH_MODES_BOTH_WRITERS =
    ::testing::Combine(::testing::Values("1084x162", "362x324"), ::testing::Bool());

class DPIPixelsPlain : public DPIPixelsWriters {};

// The shipped 24-line board, strings of different lengths, two frames so two pages are shown.
TEST_P(DPIPixelsPlain, ReceiversDecodeExactlyWhatEachPortPrepared) {
    std::vector<int> lengths;
    for (int i = 0; i < 24; i++) {
        lengths.push_back(i == 5 ? 2400 : 30 * (i + 1) + (i % 3));
    }
    ASSERT_TRUE(InitOutput("DPIPixels", nullptr, lengths, Geometry()));
    EXPECT_EQ(SimulatedGPIO::INSTANCE.getMode(4), "dpi");
    EXPECT_EQ(SimulatedGPIO::INSTANCE.getMode(27), "dpi");
    for (int frameNumber = 1; frameNumber <= 2; frameNumber++) {
        for (int i = 0; i < 200000; i++) {
            channels[i] = uint8_t(channels[i] * 5 + frameNumber);
        }
        ShowFrame();
        DecodedFrame frame = DecodeShownPage(device, 0);
        EXPECT_EQ(frame.shownCount, (uint32_t)frameNumber);
        EXPECT_EQ(frame.shownPage, frameNumber - 1);
        ASSERT_EQ(frame.rows.size(), 2400u); // then the lines stay low: the reset
        for (const auto& row : frame.rows) {
            ASSERT_EQ(row.start, 0xFFFFFFu);
            ASSERT_TRUE(row.endsLow);
        }
        for (int i = 0; i < 24; i++) {
            ExpectLine(frame, 0, 2400, PositionOfLine(i), Expected(i));
        }
    }
}

// Two ports on one pin both drive its line: the line carries the or of their bytes, over the
// longer one's rows.
TEST_P(DPIPixelsPlain, PortsNamingOnePinAreOredOnItsLine) {
    Json::Value board = Board({"P1-12", "P1-7", "P1-12"});
    ASSERT_TRUE(InitOutput("OnePinTwice", &board, {300, 120, 450}, Geometry()));
    ShowFrame();
    DecodedFrame frame = DecodeShownPage(device, 0);
    ASSERT_EQ(frame.rows.size(), 450u);
    std::vector<uint8_t> both = Expected(2);
    const std::vector<uint8_t> first = Expected(0);
    for (size_t r = 0; r < first.size(); r++) {
        both[r] |= first[r];
    }
    ExpectLine(frame, 0, 450, 9, both);
    ExpectLine(frame, 0, 450, 7, Expected(1));
}

INSTANTIATE_TEST_SUITE_P(BothDisplayModes, DPIPixelsPlain, BOTH_MODES_BOTH_WRITERS, WriterCaseName);

TEST_F(DPIPixels, TheFirstDataPhaseOfARowCarriesTheMostSignificantBit) {
    Json::Value one = Board({"P1-7"});
    ASSERT_TRUE(InitOutput("OneString", &one, {3}, "362x324"));
    channels[0] = 0; // GRB: the first byte sent is green, channel 1
    channels[1] = 0x80;
    channels[2] = 0;
    ShowFrame();
    std::string file = GetFileContents(SimulatedFrameBuffer::FilePath(device));
    auto pixel = [&](int x) {
        const uint8_t* p = reinterpret_cast<const uint8_t*>(file.data()) + 64 + x * 3;
        return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
    };
    EXPECT_EQ(pixel(2), 0x010000u);
    for (int b = 1; b < 8; b++) {
        EXPECT_EQ(pixel(2 + 3 * b), 0u) << b;
    }
}

TEST_F(DPIPixels, SixteenthRowStartsTheSecondLineAtPixelTwo) {
    Json::Value one = Board({"P1-7"});
    ASSERT_TRUE(InitOutput("OneString", &one, {48}, "362x324"));
    std::fill_n(channels.begin(), 48, 0);
    channels[16] = 0xFF; // GRB: byte 15 of the port is the green of node 5, channel index 16
    ShowFrame();
    std::string file = GetFileContents(SimulatedFrameBuffer::FilePath(device));
    int line = Word(file, 20);
    const uint8_t* second = reinterpret_cast<const uint8_t*>(file.data()) + 64 + line;
    EXPECT_EQ(second[2 * 3], 0x01); // line P1-7 is bit 0x010000
    EXPECT_EQ(file[64 + 2 * 3], 0); // row 0 is dark
    EXPECT_EQ(second[1 * 3], 0xFF); // the start phase before it
}

TEST_F(DPIPixels, BitPositionsComeFromPinsAndSharedOutputsFollowTheirLine) {
    Json::Value board = Board({"P1-12", "P1-3"});
    board["outputs"][2]["sharedOutput"] = 0;
    ASSERT_TRUE(InitOutput("Mixed", &board, {30, 30, 30}));
    ShowFrame();
    DecodedFrame frame = DecodeShownPage(device, 0);
    ExpectLine(frame, 0, 30, 9, Expected(0));
    for (int p = 0; p < 24; p++) {
        if (p != 9) { // the unknown pin and the sharing entry (no bank to switch to) paint nowhere
            ExpectLine(frame, 0, 30, p, {});
        }
    }
}

// Three banks of 16 on the shipped latch board: banks differ in length, later banks name the
// first bank's pins, by sharedOutput and by repeating them.
class DPIPixelsLatch : public DPIPixelsWriters {};

// Both display modes: the encoder's stores differ between them, and a store that reaches into the
// next row would show as a wrong latch level at a bank switch.
TEST_P(DPIPixelsLatch, BanksAreSentInTurnWithTheirLatchHeldHigh) {
    std::vector<int> lengths(48);
    for (int i = 0; i < 48; i++) {
        lengths[i] = i < 16 ? 60 + 3 * i : i < 32 ? 291 - 6 * (i - 16) : (i == 40 ? 0 : 90);
    }
    ASSERT_TRUE(InitOutput("DPIPixels-Latch48", nullptr, lengths, Geometry()));
    const uint32_t latchLines = 0x000007; // P1-38, P1-40, P1-15: lines 16 to 18
    const uint32_t latchOf[3] = {0x000001, 0x000002, 0x000004};
    // Longest + 1 padding row, longest + 1, longest; the second bank's last row is a whole group
    // of four for the shuffled writer, the first's is not.
    const int bankRows[3] = {106, 292, 90};
    ShowFrame();
    DecodedFrame frame = DecodeShownPage(device, latchLines);
    ASSERT_EQ(frame.rows.size(), 488u);
    int first = 0;
    for (int bank = 0; bank < 3; bank++) {
        // The new latch level is set up one pixel ahead of the bank's first start pulse.
        ASSERT_EQ(frame.rows[first].before & latchLines, latchOf[bank]) << "bank " << bank;
        for (int r = first; r < first + bankRows[bank]; r++) {
            ASSERT_EQ(frame.rows[r].latches, latchOf[bank]) << "row " << r;
            ASSERT_EQ(frame.rows[r].start, (0xFFFFFFu & ~latchLines) | latchOf[bank]) << "row " << r;
            ASSERT_TRUE(frame.rows[r].endsLow);
        }
        for (int k = 0; k < 16; k++) {
            ExpectLine(frame, first, bankRows[bank], PositionOfLine(k), Expected(16 * bank + k));
        }
        for (int d = 19; d < 24; d++) { // the lines no bank uses
            ExpectLine(frame, first, bankRows[bank], PositionOfLine(d), {});
        }
        first += bankRows[bank];
    }
    EXPECT_EQ(SimulatedGPIO::INSTANCE.getMode(20), "dpi");
}

INSTANTIATE_TEST_SUITE_P(BothDisplayModes, DPIPixelsLatch, BOTH_MODES_BOTH_WRITERS, WriterCaseName);

// The fast writers rewrite static bytes along with the data (whole lines, pairs of phases); the
// baseline writer only stores data phases. Both must leave every byte of every page the same.
TEST_F(DPIPixels, EveryPageIsTheSameWithAndWithoutTheProcessorsExtensions) {
    std::vector<int> plain, latch(48);
    for (int i = 0; i < 24; i++) {
        plain.push_back(i == 5 ? 2400 : 30 * (i + 1) + (i % 3));
    }
    for (int i = 0; i < 48; i++) {
        latch[i] = i < 16 ? 60 + 3 * i : i < 32 ? 291 - 6 * (i - 16) : (i == 40 ? 0 : 90);
    }
    const std::string base = device;
    for (const char* geometry : {"1084x162", "362x324"}) {
        for (const auto& [board, lengths] :
             {std::pair{"DPIPixels", plain}, std::pair{"DPIPixels-Latch48", latch}}) {
            std::string pages[2];
            for (int withExtensions = 0; withExtensions < 2; withExtensions++) {
                SetCpuExtensionsEnabled(withExtensions == 1);
                device = base + (withExtensions ? "-fast" : "-baseline");
                ASSERT_TRUE(InitOutput(board, nullptr, lengths, geometry));
                ShowFrame();
                pages[withExtensions] = GetFileContents(SimulatedFrameBuffer::FilePath(device));
                output.reset();
                unlink(SimulatedFrameBuffer::FilePath(device).c_str());
            }
            SetCpuExtensionsEnabled(true);
            ASSERT_EQ(pages[0].size(), pages[1].size());
            const auto differ = std::mismatch(pages[0].begin(), pages[0].end(), pages[1].begin());
            EXPECT_TRUE(differ.first == pages[0].end())
                << geometry << " " << board << ": first difference at byte "
                << differ.first - pages[0].begin();
        }
    }
    device = base;
}

// The local web server's settings resource, as the front end would serve it.
class SettingsRecorder : public httpserver::http_resource {
public:
    std::shared_ptr<httpserver::http_response> render_PUT(const httpserver::http_request& req) override {
        std::lock_guard<std::mutex> hold(lock);
        puts.push_back(req.get_path() + "=" + req.get_content());
        return std::make_shared<httpserver::string_response>("OK");
    }
    std::vector<std::string> taken() {
        std::lock_guard<std::mutex> hold(lock);
        return puts;
    }
    std::mutex lock;
    std::vector<std::string> puts;
};

struct FrameRateCase {
    const char* geometry;
    int longest;
    bool accepted;
    std::vector<std::string> puts;
    const char* warning; // "" for none
};

// Shown in test listings instead of the raw bytes of the case.
void PrintTo(const FrameRateCase& c, std::ostream* os) {
    *os << c.geometry << " longest " << c.longest;
}

class DPIPixelsFrameRate : public DPIPixels, public ::testing::WithParamInterface<FrameRateCase> {};

TEST_P(DPIPixelsFrameRate, ModeDecidesWhetherTheStringsFitAndAsksForTheOtherRate) {
    SettingsRecorder recorder;
    sockaddr_in loopback{};
    loopback.sin_family = AF_INET;
    loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    httpserver::webserver web(
        httpserver::create_webserver(80).bind_address(reinterpret_cast<sockaddr*>(&loopback)).max_threads(1));
    web.register_resource("/api/settings", &recorder, true);
    ASSERT_TRUE(web.start(false));
    const FrameRateCase& c = GetParam();
    Json::Value one = Board({"P1-7", "P1-29"});
    EXPECT_EQ(InitOutput("TwoStrings", &one, {c.longest - c.longest % 3, 30}, c.geometry), c.accepted);
    web.stop();
    EXPECT_EQ(recorder.taken(), c.puts);
    std::string warnings = SaveJsonToString(WarningHolder::GetWarningsJson());
    if (*c.warning) {
        EXPECT_NE(warnings.find(c.warning), std::string::npos) << warnings;
    } else {
        EXPECT_EQ(warnings.find("DPIPixels"), std::string::npos) << warnings;
    }
}

const std::vector<std::string> TO_20 = {"/api/settings/DPI_FPS=20", "/api/settings/rebootFlag=1"};
const std::vector<std::string> TO_40 = {"/api/settings/DPI_FPS=40", "/api/settings/rebootFlag=1"};
INSTANTIATE_TEST_SUITE_P(
    Modes, DPIPixelsFrameRate,
    ::testing::Values(
        FrameRateCase{"1084x162", 2400, true, {}, ""},
        FrameRateCase{
            "1084x162", 2403, false, TO_20,
            "DPIPixels: Framebuffer configured for 40fps but channel count 2403 is too high.  Reboot is "
            "required."},
        FrameRateCase{"362x324", 2001, true, TO_40, ""}, FrameRateCase{"362x324", 4800, true, {}, ""},
        FrameRateCase{"362x324",
                      5001,
                      false,
                      {},
                      "DPIPixels: Framebuffer configured for 20fps but channel count 5001 is too high."},
        FrameRateCase{"800x480", 300, false, {}, "DPIPixels: FrameBuffer "},
        FrameRateCase{"1084x324", 300, true, TO_40, ""}));

TEST_F(DPIPixels, ChannelRangesSpanEachLitPort) {
    Json::Value board = Board({"P1-7", "P1-29", "P1-31"});
    ASSERT_TRUE(InitOutput("ThreeStrings", &board, {30, 0, 60}));
    std::vector<std::pair<int, int>> ranges;
    output->GetRequiredChannelRanges([&](int first, int last) { ranges.emplace_back(first, last); });
    EXPECT_EQ(ranges, (std::vector<std::pair<int, int>>{{0, 29}, {30, 89}}));
}

TEST_F(DPIPixels, ATestPatternReplacesTheChannelDataThroughEachPortsMap) {
    Json::Value board = Board({"P1-7"});
    ASSERT_TRUE(InitOutput("OneString", &board, {30}));
    Json::Value test;
    test["brightness"] = 100;
    output->OverlayTestData(channels.data(), 0, 0.0f, 3, test); // solid red
    ShowFrame();
    std::vector<uint8_t> grbRed;
    for (int n = 0; n < 10; n++) {
        grbRed.insert(grbRed.end(), {0, 255, 0});
    }
    ExpectLine(DecodeShownPage(device, 0), 0, 30, 7, grbRed);
    output->OverlayTestData(channels.data(), 0, 0.0f, 0, test);
    ShowFrame();
    ExpectLine(DecodeShownPage(device, 0), 0, 30, 7, Expected(0));
}

} // namespace

TEST_F(DPIPixels, DeviceNamesThatAreNoSingleNameAreRefusedWithAWarningAndCreateNoFile) {
    Json::Value board = Board({"P1-7"});
    for (const std::string name : {"..", ".", "a/b", "../kiv-fb-x", "fb\n1"}) {
        device = name;
        EXPECT_FALSE(InitOutput("DevNameBoard", &board, {30})) << name;
        bool warned = false;
        for (const auto& w : WarningHolder::GetWarnings()) {
            warned |= w.message ==
                      "DPIPixels: device name \"" + name + "\" is not a plain device name; it was refused.";
        }
        EXPECT_TRUE(warned) << name;
        EXPECT_FALSE(FileExists(SimulatedFrameBuffer::FilePath(name))) << name;
        output.reset();
    }
}

TEST_F(DPIPixels, WithSimulatedHardwareOffAMissingFramebufferFailsWithTheUsualWarning) {
    Json::Value board = Board({"P1-7"});
    SetSetting("SimulatedHardware", "off");
    EXPECT_FALSE(InitOutput("OffBoard", &board, {30}));
    bool warned = false;
    for (const auto& w : WarningHolder::GetWarnings()) {
        warned |= w.message == "DPIPixels: Could not open FrameBuffer device for " + device;
    }
    EXPECT_TRUE(warned);
    EXPECT_FALSE(FileExists(SimulatedFrameBuffer::FilePath(device)));
}
