// The channel buffer owned by the sequence: bridge data, expiry, clipping and reserved bytes.

#include "player/Sequence.h"

#include <gtest/gtest.h>

#include <vector>

TEST(Sequence, BufferStartsZeroedWithTheReservedNodeValues) {
    Sequence seq;
    unsigned char* data = seq.Data();
    EXPECT_EQ(0, data[0]);
    EXPECT_EQ(0, data[KIVD_MAX_CHANNELS - 1]);
    for (unsigned i = 0; i < 4; i++) {
        EXPECT_EQ(0, data[KIVD_MAX_CHANNELS + i]);
    }
    EXPECT_EQ(SMART_RECEIVER_MARKER_VALUE, data[KIVD_MAX_CHANNELS + 4]);
    EXPECT_FALSE(seq.hasBridgeData());
    EXPECT_FALSE(seq.IsSequenceRunning());
}

TEST(Sequence, BridgeDataStaysUntilItExpiresThenIsCleared) {
    Sequence seq;
    const uint8_t bytes[3] = {10, 20, 30};
    seq.SetBridgeData(bytes, 100, 3, 1000);
    EXPECT_TRUE(seq.hasBridgeData());
    EXPECT_EQ(20, seq.Data()[101]);
    seq.ExpireBridgeData(999);
    EXPECT_EQ(30, seq.Data()[102]);
    seq.ExpireBridgeData(1000);
    EXPECT_FALSE(seq.hasBridgeData());
    EXPECT_EQ(0, seq.Data()[100]);
    EXPECT_EQ(0, seq.Data()[102]);
}

TEST(Sequence, WritesPastTheLastChannelAreClippedNeverPerformed) {
    Sequence seq;
    std::vector<uint8_t> bytes(16, 0xAB);
    seq.SetBridgeData(bytes.data(), KIVD_MAX_CHANNELS - 4, 16, 1000);
    EXPECT_EQ(0xAB, seq.Data()[KIVD_MAX_CHANNELS - 1]);
    EXPECT_EQ(0, seq.Data()[KIVD_MAX_CHANNELS]);
    EXPECT_EQ(SMART_RECEIVER_MARKER_VALUE, seq.Data()[KIVD_MAX_CHANNELS + 4]);
    seq.SetBridgeData(bytes.data(), KIVD_MAX_CHANNELS, 16, 1000);
    seq.SetBridgeData(bytes.data(), -5, 16, 1000);
    EXPECT_EQ(0, seq.Data()[0]);
    seq.ExpireBridgeData(2000);
    EXPECT_EQ(0, seq.Data()[KIVD_MAX_CHANNELS - 1]);
}

TEST(Sequence, BlankingClearsTheChannelsAndForgetsBridgeData) {
    Sequence seq;
    const uint8_t byte = 7;
    seq.SetBridgeData(&byte, 5, 1, 100000);
    seq.SendBlankingData();
    EXPECT_EQ(0, seq.Data()[5]);
    EXPECT_FALSE(seq.hasBridgeData());
    EXPECT_EQ(SMART_RECEIVER_MARKER_VALUE, seq.Data()[KIVD_MAX_CHANNELS + 4]);
}
