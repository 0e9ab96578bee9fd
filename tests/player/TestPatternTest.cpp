// Channel test patterns on a buffer of the daemon's size: what each pattern writes over the
// channels it targets, and the arguments refused.
#include "player/TestPattern.h"

#include "channeloutput/ChannelOutput.h"
#include "player/Sequence.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct DrawCase {
    std::vector<std::string> args;
    int cycle;
    unsigned int first; // 0-based first channel checked
    std::vector<uint8_t> expected;
};

TEST(TestPattern, DrawsOverTheTargetOnlyAndClearsIt) {
    const DrawCase cases[] = {
        {{"1000", "RGB Fill", "4-9", "#102030"}, 0, 2, {0, 16, 32, 48, 16, 32, 48, 0}},
        {{"1000", "RGB Chase", "1-9"}, 0, 0, {255, 0, 0, 0, 255, 0, 0, 0, 255, 0}},
        {{"1000", "RGB Chase", "1-9"}, 1, 0, {0, 255, 0, 0, 0, 255, 255, 0, 0, 0}},
        {{"1000", "RGB Cycle", "1-3,7"}, 2, 0, {0, 0, 255, 0, 0, 0, 0, 0}},
        {{"1000", "RGB Fill", "8388607-8388608", "ffffff"}, 0, KIVD_MAX_CHANNELS - 3, {0, 255, 255, 0}},
    };
    std::vector<uint8_t> channels(KIVD_MAX_CHANNELS + SEQUENCE_RESERVED_BYTES);
    for (const DrawCase& c : cases) {
        TestPattern pattern;
        std::string error;
        ASSERT_TRUE(TestPattern::Parse(c.args, pattern, error)) << c.args[1] << ": " << error;
        pattern.Draw(channels.data(), c.cycle, 0.0f);
        EXPECT_EQ(
            std::vector<uint8_t>(channels.begin() + c.first, channels.begin() + c.first + c.expected.size()),
            c.expected)
            << c.args[1] << " " << c.args[2] << " cycle " << c.cycle;
        pattern.Clear(channels.data());
        EXPECT_EQ(
            std::vector<uint8_t>(channels.begin() + c.first, channels.begin() + c.first + c.expected.size()),
            std::vector<uint8_t>(c.expected.size()));
    }
}

TEST(TestPattern, RefusesUnknownPatternsAndBadTargetsAndTakesDefaults) {
    const std::vector<std::vector<std::string>> refused = {
        {"1000", "Plaid"},
        {"1000", "RGB Fill", "0-3"},
        {"1000", "RGB Fill", "5-2"},
        {"1000", "RGB Fill", "1-8388609"},
        {"1000", "RGB Fill", "1-x"},
        {"1000", "RGB Fill", "1-3", "#12345"},
        {"1000", "Output Specific", "--ALL--", "many"},
    };
    for (const auto& args : refused) {
        TestPattern pattern;
        std::string error;
        EXPECT_FALSE(TestPattern::Parse(args, pattern, error))
            << args[1] << " " << (args.size() > 2 ? args[2] : "");
        EXPECT_FALSE(error.empty());
    }
    TestPattern pattern;
    std::string error;
    ASSERT_TRUE(TestPattern::Parse({"0"}, pattern, error));
    EXPECT_EQ(pattern.kind, TestPattern::Kind::RGBCycle);
    EXPECT_EQ(pattern.cycleMS, 1000) << "a cycle outside 10 to 60000 ms takes the default";
    ASSERT_TRUE(TestPattern::Parse({"50", "Output Specific", "--ALL--", "999"}, pattern, error));
    EXPECT_EQ(pattern.cycleMS, 50);
}

} // namespace
