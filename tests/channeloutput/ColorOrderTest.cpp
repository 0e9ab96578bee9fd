#include "channeloutput/ColorOrder.h"

#include <gtest/gtest.h>

namespace {

TEST(ColorOrder, NamesEveryOrderBothWays) {
    const char* names[] = {"RGB", "RBG", "GRB", "BRG", "GBR", "BGR", "W"};
    for (int value = 0; value < 7; value++) {
        EXPECT_EQ(ColorOrderFromString(names[value]), value);
        EXPECT_EQ(ColorOrderToString(static_cast<KIVColorOrder>(value)), names[value]);
    }
    EXPECT_EQ(ColorOrderFromString("gbr"), kColorOrderGBR);
}

TEST(ColorOrder, ReadsUnknownTextsAsRGB) {
    for (const char* text : {"", "RGBW", "XYZ", "RG"}) {
        EXPECT_EQ(ColorOrderFromString(text), kColorOrderRGB) << text;
    }
    EXPECT_EQ(ColorOrderToString(static_cast<KIVColorOrder>(9)), "RGB");
}

TEST(ColorOrder, GivesEachOrdersOutputOffsets) {
    EXPECT_EQ(ColorOrderOffsets(kColorOrderBRG), (std::array<int, 3>{2, 0, 1}));
    EXPECT_EQ(ColorOrderOffsets(kColorOrderGBR), (std::array<int, 3>{1, 2, 0}));
    EXPECT_EQ(ColorOrderOffsets(kColorOrderRBG), (std::array<int, 3>{0, 2, 1}));
}

} // namespace
