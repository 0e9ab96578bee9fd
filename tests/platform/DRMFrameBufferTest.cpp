// The DRM backend against an in-memory card: connector and mode choice, pages, flips, the CRTC
// put back on close, and every failing step logged and cleaned up.
#include "platform/DRMFrameBuffer.h"
#include "platform/FrameBuffer.h"

#include "common/Common.h"
#include "common/Log.h"
#include "support/FakeDrmCard.h"
#include "support/MountNamespace.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <memory>

namespace {

constexpr uint32_t HDMI = 31, DPI = 32, CRTC = 40, CONSOLE_FB = 7;

drmModeModeInfo Mode(int w, int h, bool preferred = false) {
    drmModeModeInfo m{};
    m.hdisplay = w;
    m.vdisplay = h;
    m.vrefresh = 40;
    m.type = preferred ? DRM_MODE_TYPE_PREFERRED : 0;
    return m;
}

class DRMFrameBufferTest : public ::testing::Test {
protected:
    void SetUp() override {
        card.connectors = {
            {HDMI, "HDMI-A-1", DRM_MODE_DISCONNECTED, {Mode(640, 480, true)}, 0, {41}},
            {DPI, "DPI-1", DRM_MODE_CONNECTED, {Mode(362, 324), Mode(1084, 162, true)}, 0, {CRTC, 41}}};
        card.fbs[CONSOLE_FB] = 0; // the console's, not ours
        card.crtcs[CRTC] = DrmCrtcState{CONSOLE_FB, 0, 0, Mode(640, 480)};
        logFile = "/tmp/kiv-drm-" + std::to_string(getpid()) + ".log";
        ASSERT_TRUE(SetLogFile(logFile, false));
    }
    void TearDown() override {
        SetLogFile("", true);
        unlink(logFile.c_str());
    }
    bool Open(const std::string& device = "DPI-1", int w = 0, int h = 0, int bits = 24) {
        Json::Value config;
        config["Device"] = device;
        config["Width"] = w;
        config["Height"] = h;
        config["BitsPerPixel"] = bits;
        config["Pages"] = 3;
        fb = std::make_unique<DRMFrameBuffer>(config, std::make_unique<FakeDrmDevice>(card));
        return fb->InitializeFrameBuffer();
    }
    std::string Log() { return GetFileContents(logFile); }
    uint32_t ShownFb() { return card.crtcs[CRTC].fbId; }
    // Nothing of ours is left on the card and the console is shown again as it was.
    void ExpectCardAsBefore() {
        EXPECT_TRUE(card.dumbs.empty());
        EXPECT_TRUE(card.mapped.empty());
        EXPECT_EQ((std::map<uint32_t, uint32_t>{{CONSOLE_FB, 0}}), card.fbs);
        EXPECT_EQ(CONSOLE_FB, ShownFb());
        ASSERT_TRUE(card.crtcs[CRTC].mode);
        EXPECT_EQ(640, card.crtcs[CRTC].mode->hdisplay);
    }

    FakeDrmCard card;
    std::unique_ptr<DRMFrameBuffer> fb;
    std::string logFile;
};

TEST_F(DRMFrameBufferTest, PagesAreClearedDumbBuffersShownOnTheConnectorsCrtcAndTheConsoleComesBack) {
    ASSERT_TRUE(Open());
    EXPECT_EQ(1084, fb->Width());
    EXPECT_EQ(162, fb->Height());
    EXPECT_EQ(3264, fb->LineLength()); // 1084 * 3 rounded up by the card
    EXPECT_EQ(12, fb->RowPadding());
    EXPECT_EQ(3, fb->Pages());
    EXPECT_EQ(3u, card.dumbs.size());
    EXPECT_EQ(3u, card.mapped.size());
    for (int p = 0; p < 3; p++) {
        ASSERT_NE(nullptr, fb->BufferPage(p));
        EXPECT_EQ(0, *std::max_element(fb->BufferPage(p), fb->BufferPage(p) + fb->PageSize()));
    }
    EXPECT_EQ(nullptr, fb->BufferPage(3));
    ASSERT_NE(nullptr, card.Shown(CRTC));
    EXPECT_EQ(1084, card.crtcs[CRTC].mode->hdisplay);
    EXPECT_EQ(-1, fb->ShownPage());

    fb.reset();
    ExpectCardAsBefore();
}

struct ModeCase {
    int w, h;
    int width, height; // chosen; 0 when none fits
};
void PrintTo(const ModeCase& c, std::ostream* os) {
    *os << c.w << "x" << c.h;
}

class DRMFrameBufferModes : public DRMFrameBufferTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(DRMFrameBufferModes, RequestedSizeElsePreferredMode) {
    const ModeCase& c = GetParam();
    bool opened = Open("DPI-1", c.w, c.h);
    ASSERT_EQ(c.width != 0, opened);
    if (opened) {
        EXPECT_EQ(c.width, fb->Width());
        EXPECT_EQ(c.height, fb->Height());
    } else {
        EXPECT_NE(std::string::npos, Log().find("DRM connector DPI-1 offers no 640x480 mode")) << Log();
        ExpectCardAsBefore();
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, DRMFrameBufferModes,
                         ::testing::Values(ModeCase{0, 0, 1084, 162}, ModeCase{362, 324, 362, 324},
                                           ModeCase{1084, 162, 1084, 162}, ModeCase{640, 480, 0, 0}),
                         [](const auto& info) {
                             return std::to_string(info.param.w) + "x" + std::to_string(info.param.h);
                         });

TEST_F(DRMFrameBufferTest, EachShownPageIsFlippedToAndItsBytesReachTheCrtc) {
    ASSERT_TRUE(Open());
    std::vector<uint32_t> pageFbs;
    for (int frame = 0; frame < 4; frame++) {
        std::fill(fb->CurrentPage(), fb->CurrentPage() + fb->PageSize(), uint8_t(frame + 1));
        fb->SyncDisplay(false); // not a new page: nothing is flipped
        EXPECT_EQ(size_t(frame), card.flips.size());
        fb->SyncDisplay(true);
        EXPECT_EQ(fb->Page(), fb->ShownPage());
        pageFbs.push_back(card.flips.back());
        fb->NextPage(false);
    }
    // Three pages in turn, then the first again; the last flip is still pending.
    EXPECT_EQ(pageFbs[0], pageFbs[3]);
    EXPECT_NE(pageFbs[0], pageFbs[1]);
    EXPECT_NE(pageFbs[1], pageFbs[2]);
    EXPECT_EQ(pageFbs[2], ShownFb());
    EXPECT_EQ(3, (*card.Shown(CRTC))[0]);
    fb->SyncDisplay(true); // waits for the pending flip first
    EXPECT_EQ(pageFbs[3], ShownFb());
    EXPECT_EQ(4, (*card.Shown(CRTC))[fb->LineLength() * 161 + 1083 * 3 + 2]);
}

TEST_F(DRMFrameBufferTest, AFlipThatNeverCompletesDropsFramesUntilItDoes) {
    ASSERT_TRUE(Open());
    card.flipsComplete = false;
    fb->SyncDisplay(true);
    fb->NextPage(false);
    fb->SyncDisplay(true);
    EXPECT_EQ(1u, card.flips.size());
    EXPECT_EQ(0, fb->ShownPage());
    card.flipsComplete = true;
    fb->SyncDisplay(true);
    EXPECT_EQ(2u, card.flips.size());
    EXPECT_EQ(1, fb->ShownPage());
}

TEST_F(DRMFrameBufferTest, RefusedFlipsFallBackToSettingTheCrtcOnce) {
    card.failures[FakeDrmCard::PageFlip] = {EINVAL, 0};
    ASSERT_TRUE(Open());
    for (int frame = 0; frame < 2; frame++) {
        fb->NextPage(false);
        fb->SyncDisplay(true);
        EXPECT_EQ(fb->Page(), fb->ShownPage());
        EXPECT_EQ(fb->BufferPage(fb->Page()), card.Shown(CRTC)->data());
    }
    std::string log = Log();
    size_t first = log.find("page flip refused (Invalid argument); setting the CRTC for each page instead");
    EXPECT_NE(std::string::npos, first) << log;
    EXPECT_EQ(std::string::npos, log.find("page flip refused", first + 1));
}

struct FailureCase {
    const char* name;
    FakeDrmCard::Op op;
    int error;
    int callsBefore;
    const char* device;
    const char* logged;
};
void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class DRMFrameBufferFailures : public DRMFrameBufferTest,
                               public ::testing::WithParamInterface<FailureCase> {};

TEST_P(DRMFrameBufferFailures, FailLoggedAndEverythingReleased) {
    const FailureCase& c = GetParam();
    card.failures[c.op] = {c.error, c.callsBefore};
    if (std::string(c.name) == "NoCrtc") {
        card.connectors[1].possibleCrtcs.clear();
    }
    EXPECT_FALSE(Open(c.device));
    EXPECT_NE(std::string::npos, Log().find(c.logged)) << Log();
    fb.reset();
    ExpectCardAsBefore();
}

INSTANTIATE_TEST_SUITE_P(
    Steps, DRMFrameBufferFailures,
    ::testing::Values(
        FailureCase{
            "Connectors", FakeDrmCard::ReadConnectors, EIO, 0, "DPI-1",
            "DRM framebuffer DPI-1 on /dev/dri/card9: reading the connectors failed: Input/output error"},
        FailureCase{"UnknownConnector", FakeDrmCard::OpCount, 0, 0, "DPI-2",
                    "DRM card /dev/dri/card9 has no connector DPI-2 (it has: HDMI-A-1, DPI-1)"},
        FailureCase{"NoCrtc", FakeDrmCard::OpCount, 0, 0, "DPI-1", "No CRTC can drive DRM connector DPI-1"},
        FailureCase{"ThirdDumbBuffer", FakeDrmCard::CreateDumb, ENOMEM, 2, "DPI-1",
                    "creating a dumb buffer failed: Cannot allocate memory"},
        FailureCase{"Map", FakeDrmCard::MapDumb, EINVAL, 1, "DPI-1",
                    "mapping a dumb buffer failed: Invalid argument"},
        FailureCase{"AddFb", FakeDrmCard::AddFb, EINVAL, 0, "DPI-1",
                    "adding a framebuffer failed: Invalid argument"},
        FailureCase{"NotMaster", FakeDrmCard::SetCrtc, EACCES, 0, "DPI-1",
                    "setting the CRTC failed: Permission denied (is another program holding the display?)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DRMFrameBufferTest, AnUnreadableCrtcIsSwitchedOffOnClose) {
    card.failures[FakeDrmCard::ReadCrtc] = {EIO, 0};
    ASSERT_TRUE(Open());
    fb.reset();
    EXPECT_EQ(0u, ShownFb());
    EXPECT_FALSE(card.crtcs[CRTC].mode);
    EXPECT_NE(std::string::npos, Log().find("Cannot read CRTC 40 of DPI-1")) << Log();
}

// createFrameBuffer takes a name that /sys/class/drm lists as a DRM connector; with no card device
// to open (none on this machine) it fails, naming the card.
TEST_F(DRMFrameBufferTest, ConnectorListedInSysfsOpensItsCard) {
    ASSERT_TRUE(PretendToHaveDrmConnector(2, "DPI-1"));
    EXPECT_EQ(2, DRMFrameBuffer::CardOfConnector("DPI-1"));
    EXPECT_EQ(-1, DRMFrameBuffer::CardOfConnector("DPI-2"));
    if (FileExists("/dev/dri/card2")) {
        GTEST_SKIP() << "this machine has a card2";
    }
    Json::Value config;
    config["Device"] = "DPI-1";
    EXPECT_EQ(nullptr, FrameBuffer::createFrameBuffer(config));
    EXPECT_NE(std::string::npos, Log().find("Could not open DRM card /dev/dri/card2")) << Log();
}

} // namespace
