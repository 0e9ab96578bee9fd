// The under-voltage watch of the "/kivd" resource, fed with firmware replies.

#include "common/WarningHolder.h"
#include "httpAPI.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {
const char* const LOW = "throttled=0x50005";
const char* const GOOD = "throttled=0x50000";

long VoltageWarnings() {
    auto warnings = WarningHolder::GetWarnings();
    return std::count_if(warnings.begin(), warnings.end(),
                         [](const KIVWarning& w) { return w.message == "Raspberry Pi Voltage Too Low"; });
}
} // namespace

class VoltageWatch : public ::testing::Test {
protected:
    void SetUp() override {
        WarningHolder::RemoveAllWarnings();
        piPowerBad = false;
    }
    void Feed(const char* reply, int times) {
        for (int i = 0; i < times; i++) {
            resource.checkThrottledReply(reply);
        }
    }
    PlayerResource resource;
};

TEST_F(VoltageWatch, SixConsecutiveLowReadingsRaiseTheWarningOnceFiveDoNot) {
    Feed(LOW, 5);
    EXPECT_TRUE(piPowerBad);
    EXPECT_EQ(0, VoltageWarnings());
    Feed(LOW, 1);
    EXPECT_EQ(1, VoltageWarnings());
    WarningHolder::RemoveAllWarnings();
    Feed(LOW, 10);
    Feed(GOOD, 1);
    Feed(LOW, 10);
    EXPECT_EQ(0, VoltageWarnings()) << "raised at most once per run";
}

TEST_F(VoltageWatch, AGoodReadingStartsTheCountAgain) {
    Feed(LOW, 5);
    Feed(GOOD, 1);
    EXPECT_FALSE(piPowerBad);
    Feed(LOW, 5);
    EXPECT_EQ(0, VoltageWarnings());
    Feed(LOW, 1);
    EXPECT_EQ(1, VoltageWarnings());
}

TEST_F(VoltageWatch, RepliesThatAreNotThrottledHexChangeNothing) {
    Feed(LOW, 3);
    for (const char* reply : {"throttled=0xnothex", "throttled=", "", "garbage"}) {
        resource.checkThrottledReply(reply);
        EXPECT_TRUE(piPowerBad) << reply;
    }
    Feed(LOW, 2);
    EXPECT_EQ(0, VoltageWarnings()) << "ignored replies are not counted";
    Feed(LOW, 1);
    EXPECT_EQ(1, VoltageWarnings());
}
