// The matrix outputs' set-up outside a daemon: the model a framebuffer matrix makes from its device
// (once, however many outputs name it), and the channel ranges a virtual display's lights need.

#include "channeloutput/FBMatrix/FBMatrix.h"
#include "channeloutput/VirtualDisplay/VirtualDisplay.h"
#include "overlays/FrameBufferOverlayModel.h"
#include "overlays/PixelOverlayManager.h"
#include "support/TestMediaDir.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

class MatrixOutputs : public ::testing::Test {
protected:
    void SetUp() override {
        PixelOverlayManager::INSTANCE.registerModelType("FB", FrameBufferOverlayModel::Create);
    }
    void TearDown() override {
        PixelOverlayManager::INSTANCE.clearModels();
        unlink(("/dev/shm/kiv-fb-" + device).c_str());
    }
    TestMediaDir media;
    std::string device = "fbunit-" + std::to_string(getpid());
};

TEST_F(MatrixOutputs, FrameBufferMatrixMakesItsDeviceModelOnce) {
    Json::Value config;
    config["device"] = "/dev/" + device;
    config["width"] = 64;
    config["height"] = 32;
    FBMatrixOutput first(0, 0), second(6144, 0);
    ASSERT_TRUE(first.Init(config));
    auto model = PixelOverlayManager::INSTANCE.findModel("FB - " + device);
    ASSERT_TRUE(model);
    config["description"] = "Second";
    ASSERT_TRUE(second.Init(config));
    EXPECT_EQ(PixelOverlayManager::INSTANCE.findModel("FB - " + device), model); // not made again
    EXPECT_EQ(model->getType(), "FB");
    EXPECT_EQ(first.GetChannelCount(), 64u * 32 * 3);
    int first0 = -1, last0 = -1;
    second.GetRequiredChannelRanges([&](int first, int last) { first0 = first, last0 = last; });
    EXPECT_EQ(first0, 6144);
    EXPECT_EQ(last0, 6144 + 64 * 32 * 3 - 1);
    EXPECT_TRUE(PixelOverlayManager::INSTANCE.findModel("VirtualMatrix"));
    EXPECT_EQ(PixelOverlayManager::INSTANCE.findModel("Second")->getStartChannel(), 6144);
}

// Lights from channel 101 on (the output starts at 101): overlapping and adjacent lights merge, a
// light before the output's start is left out.
TEST_F(MatrixOutputs, VirtualDisplayNeedsTheChannelsOfItsLightsMerged) {
    media.write("config/virtualdisplay.csv", "size,10,10\n"
                                             "0,0,101,3,0\n"
                                             "1,0,104,4,0\n"
                                             "2,0,106,1,8\n"
                                             "3,0,120,1,11,1,2,3\n"
                                             "4,0,118,3,5\n"
                                             "5,0,50,3,0\n");
    Json::Value definition;
    definition["Name"] = "vd-unit-" + std::to_string(getpid());
    definition["Type"] = "Matrix";
    definition["Width"] = 10;
    definition["Height"] = 10;
    ASSERT_TRUE(PixelOverlayManager::INSTANCE.addModel(definition));
    VirtualDisplayOutput output(100, 30);
    Json::Value config;
    config["modelName"] = definition["Name"];
    ASSERT_TRUE(output.Init(config));
    std::vector<std::pair<int, int>> ranges;
    output.GetRequiredChannelRanges([&](int first, int last) { ranges.emplace_back(first, last); });
    EXPECT_EQ(ranges, (std::vector<std::pair<int, int>>{{100, 106}, {117, 119}}));
    EXPECT_EQ(output.Lights().size(), 5u);
}

} // namespace
