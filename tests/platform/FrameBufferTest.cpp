// The simulated framebuffer as another process sees it: header, geometry, padding and flips.
#include "platform/FrameBuffer.h"
#include "platform/SimulatedFrameBuffer.h"

#include "common/Common.h"
#include "common/Settings.h"
#include "non-gpl/SimulatedDPIDecoder.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>

namespace {

class SimulatedFrameBufferFile : public ::testing::Test {
protected:
    void SetUp() override {
        ResetSettingsForTesting();
        device = "fbtest-" + std::to_string(getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char& c : device) {
            if (c == '/') {
                c = '_';
            }
        }
    }
    void TearDown() override {
        fb.reset();
        unlink(SimulatedFrameBuffer::FilePath(device).c_str());
    }
    void Open(int w, int h, int pages = 3) {
        Json::Value config;
        config["Device"] = device;
        config["Width"] = w;
        config["Height"] = h;
        config["BitsPerPixel"] = 24;
        config["Pages"] = pages;
        fb.reset(FrameBuffer::createFrameBuffer(config));
        ASSERT_TRUE(fb);
    }
    std::string File() { return GetFileContents(SimulatedFrameBuffer::FilePath(device)); }

    std::string device;
    std::unique_ptr<FrameBuffer> fb;
};

struct GeometryCase {
    int w, h;            // requested
    const char* setting; // SimulatedFrameBuffer, or null
    int width, height, lineLength;
};

class SimulatedGeometry : public SimulatedFrameBufferFile,
                          public ::testing::WithParamInterface<GeometryCase> {};

TEST_P(SimulatedGeometry, HeaderDescribesThePaddedPages) {
    const GeometryCase& c = GetParam();
    if (c.setting) {
        SetSetting("SimulatedFrameBuffer", c.setting);
    }
    Open(c.w, c.h);
    EXPECT_EQ(fb->Width(), c.width);
    EXPECT_EQ(fb->Height(), c.height);
    EXPECT_EQ(fb->LineLength(), c.lineLength);
    EXPECT_EQ(fb->RowPadding(), c.lineLength - 3 * c.width);
    EXPECT_EQ(fb->PageSize(), c.lineLength * c.height);
    std::string file = File();
    ASSERT_EQ(file.size(), 64u + 3u * c.lineLength * c.height);
    EXPECT_EQ(file.substr(0, 8), "KIVFBSIM");
    EXPECT_EQ(Word(file, 8), (uint32_t)c.width);
    EXPECT_EQ(Word(file, 12), (uint32_t)c.height);
    EXPECT_EQ(Word(file, 16), 24u);
    EXPECT_EQ(Word(file, 20), (uint32_t)c.lineLength);
    EXPECT_EQ(Word(file, 24), 3u);
    EXPECT_EQ(Word(file, 32), 0u);
    EXPECT_EQ(file.find_first_not_of('\0', 40), std::string::npos) << "header rest and pages start zeroed";
}

INSTANTIATE_TEST_SUITE_P(Requests, SimulatedGeometry,
                         ::testing::Values(GeometryCase{0, 0, nullptr, 1084, 162, 3264},
                                           GeometryCase{0, 0, "362x324", 362, 324, 1088},
                                           GeometryCase{0, 0, "garbage", 1084, 162, 3264},
                                           GeometryCase{0, 0, "0x5", 1084, 162, 3264},
                                           GeometryCase{64, 4, "362x324", 64, 4, 192},
                                           GeometryCase{10, 2, nullptr, 10, 2, 32}));

TEST_F(SimulatedFrameBufferFile, ShowingAPageRecordsItsIndexAndCountAndTheNextPageFollows) {
    Open(10, 2);
    EXPECT_EQ(fb->Page(), 0);
    EXPECT_EQ(fb->ShownPage(), -1);
    for (int frame = 1; frame <= 4; frame++) {
        int painted = fb->Page();
        fb->CurrentPage()[0] = uint8_t(frame);
        fb->SyncDisplay(true);
        fb->NextPage(false);
        std::string file = File();
        EXPECT_EQ(Word(file, 28), (uint32_t)painted);
        EXPECT_EQ(Word(file, 32), (uint32_t)frame);
        EXPECT_EQ(uint8_t(file[64 + painted * fb->PageSize()]), frame);
        EXPECT_EQ(fb->Page(), frame % 3);
    }
    fb->SyncDisplay(false);
    EXPECT_EQ(Word(File(), 32), 4u) << "an unchanged page is not a flip";
}

TEST_F(SimulatedFrameBufferFile, PagesOutsideTheMappingAreNullAndClearingZeroesEveryPage) {
    Open(10, 2);
    EXPECT_EQ(fb->BufferPage(-1), nullptr);
    EXPECT_EQ(fb->BufferPage(3), nullptr);
    EXPECT_EQ(fb->BufferPage(2) - fb->BufferPage(0), 2 * fb->PageSize());
    for (int p = 0; p < 3; p++) {
        std::fill_n(fb->BufferPage(p), fb->PageSize(), 0xAB);
    }
    fb->ClearAllPages();
    EXPECT_EQ(File().find_first_not_of('\0', 40), std::string::npos);
}

TEST_F(SimulatedFrameBufferFile, AReopenedDeviceOfAnotherSizeStartsClean) {
    Open(100, 10);
    std::fill_n(fb->BufferPage(0), fb->PageSize() * 3, 0xFF);
    Open(10, 2);
    std::string file = File();
    EXPECT_EQ(file.size(), 64u + 3 * 32 * 2);
    EXPECT_EQ(file.find_first_not_of('\0', 40), std::string::npos);
}

} // namespace
