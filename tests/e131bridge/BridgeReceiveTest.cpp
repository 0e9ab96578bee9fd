// The store paths of the bridge, fed datagrams directly: what lands in the channel buffer, the
// sequence checks, the bounds on every copy, and the statistics rows.

#include "BridgeReceive.h"
#include "BridgeState.h"
#include "e131bridge.h"
#include "e131bridge/WirePackets.h"
#include "player/Sequence.h"
#include "support/TestMediaDir.h"

#include <gtest/gtest.h>

using wire::Bytes;

namespace {
// universes 1-3: E1.31 unicast at channels 1, 513, 1025; 4: 170 channels at 2001; 5: Art-Net at
// 3001; 6: E1.31 at the very end of the channel buffer.
const char* const UNIVERSES = R"({"channelInputs": [{"type": "universes", "enabled": 1, "timeout": 250,
  "universes": [
    {"active": 1, "id": 1, "universeCount": 3, "startChannel": 1, "channelCount": 512, "type": 1},
    {"active": 1, "id": 4, "startChannel": 2001, "channelCount": 170, "type": 1},
    {"active": 1, "id": 5, "startChannel": 3001, "channelCount": 512, "type": 2},
    {"active": 1, "id": 6, "startChannel": 8388601, "channelCount": 512, "type": 0}]}]})";
} // namespace

class BridgeStore : public ::testing::Test {
protected:
    void SetUp() override {
        sequence = new Sequence();
        ClearBridge();
        media.write("config/ci-universes.json", UNIVERSES);
        ASSERT_TRUE(LoadInputUniversesFromFile());
    }
    void TearDown() override {
        ClearBridge();
        delete sequence;
        sequence = nullptr;
    }
    static void ClearBridge() { BridgeState::state.Reset(); }
    // Each datagram is handed over in a buffer of exactly its size, so a read past it is caught.
    static bool E131(Bytes b, long long ms = 5000) { return Bridge_StoreData(b.data(), b.size(), ms); }
    static bool ArtNet(Bytes b, long long ms = 5000) {
        return Bridge_StoreArtNetData(b.data(), b.size(), ms);
    }
    static bool DDP(Bytes b, long long ms = 5000) { return Bridge_StoreDDPData(b.data(), b.size(), ms); }
    static const UniverseEntry& Entry(int universe) {
        for (const auto& e : BridgeState::state.inputUniverses) {
            if (e.universe == universe) {
                return e;
            }
        }
        throw std::runtime_error("no universe " + std::to_string(universe));
    }
    static Bytes Channels(int first0, int count) {
        return Bytes(sequence->Data() + first0, sequence->Data() + first0 + count);
    }
    static Json::Value Row(const Json::Value& id) {
        Json::Value stats = GetE131UniverseBytesReceived();
        for (const auto& row : stats["universes"]) {
            if (row["id"] == id) {
                return row;
            }
        }
        return Json::Value();
    }
    TestMediaDir media;
};

TEST_F(BridgeStore, E131DataLandsAtTheUniverseStartChannel) {
    EXPECT_FALSE(E131(wire::E131Data(2, 0, wire::Ramp(512))));
    EXPECT_EQ(wire::Ramp(512), Channels(512, 512));
    EXPECT_EQ(0, sequence->Data()[511]);
    EXPECT_EQ(0, sequence->Data()[1024]);
    EXPECT_EQ(512, Entry(2).bytesReceived);
    EXPECT_EQ(1, Entry(2).packetsReceived);
    EXPECT_TRUE(HasBridgeData());
    EXPECT_EQ(5000, BridgeState::state.lastPacketTime.load());
}

TEST_F(BridgeStore, E131CopiesTheEntrySizeWhateverThePropertyCountSays) {
    E131(wire::E131Data(4, 0, wire::Ramp(512)));
    EXPECT_EQ(wire::Ramp(170), Channels(2000, 170));
    EXPECT_EQ(0, sequence->Data()[2170]);
    EXPECT_EQ(170, Entry(4).bytesReceived);
}

TEST_F(BridgeStore, E131CopiesOnlyTheBytesThatArrived) {
    Bytes sent = wire::E131Data(1, 0, wire::Ramp(512));
    sent.resize(126 + 100);
    E131(sent);
    EXPECT_EQ(wire::Ramp(100), Channels(0, 100));
    EXPECT_EQ(0, sequence->Data()[100]);
    EXPECT_EQ(100, Entry(1).bytesReceived);
}

TEST_F(BridgeStore, E131DatagramsShorterThanTheirHeaderAreErrorsAndStoreNothing) {
    Bytes sent = wire::E131Data(1, 0, wire::Ramp(512));
    for (size_t len : {125, 100, 21, 0}) {
        Bytes cut(sent.begin(), sent.begin() + len);
        EXPECT_FALSE(E131(cut));
    }
    EXPECT_EQ(0, Entry(1).packetsReceived);
    EXPECT_EQ(0, sequence->Data()[0]);
    EXPECT_EQ("4", Row("E1.31 Errors")["errors"].asString());
}

TEST_F(BridgeStore, E131EntryRunningPastTheLastChannelIsClipped) {
    E131(wire::E131Data(6, 0, wire::Ramp(512)));
    EXPECT_EQ(wire::Ramp(8), Channels(KIVD_MAX_CHANNELS - 8, 8));
    EXPECT_EQ(0, sequence->Data()[KIVD_MAX_CHANNELS]);
    EXPECT_EQ(SMART_RECEIVER_MARKER_VALUE, sequence->Data()[KIVD_MAX_CHANNELS + 4]);
    EXPECT_EQ(8, Entry(6).bytesReceived);
}

TEST_F(BridgeStore, E131SequenceWrapsAfter255ToZeroOrOneAndCountsOtherJumps) {
    for (int seq : {254, 255, 0, 1}) {
        E131(wire::E131Data(1, seq, {1}));
    }
    EXPECT_EQ(0, Entry(1).errorPackets);
    E131(wire::E131Data(2, 255, {1}));
    E131(wire::E131Data(2, 1, {1}));
    EXPECT_EQ(0, Entry(2).errorPackets);
    E131(wire::E131Data(3, 255, {1}));
    E131(wire::E131Data(3, 2, {9}));
    E131(wire::E131Data(3, 7, {8}));
    EXPECT_EQ(2, Entry(3).errorPackets);
    EXPECT_EQ(8, sequence->Data()[1024]) << "out-of-order data is still stored";
    EXPECT_EQ(7, Entry(3).lastSequenceNumber);
}

TEST_F(BridgeStore, E131SyncAsksForOutputAndOtherPacketsAreCountedAsErrors) {
    EXPECT_TRUE(E131(wire::E131Sync(1, 1)));
    EXPECT_TRUE(E131(wire::E131Sync(2, 1)));
    EXPECT_FALSE(E131(wire::E131Discovery({1, 2, 3})));
    EXPECT_FALSE(E131(wire::E131Data(1, 0, wire::Ramp(10), 0xDD)));
    Bytes otherRoot = wire::E131Data(1, 0, wire::Ramp(10));
    otherRoot[21] = 5;
    EXPECT_FALSE(E131(otherRoot));
    EXPECT_EQ(0, sequence->Data()[0]);
    EXPECT_EQ("2", Row("E1.31 Sync")["packetsReceived"].asString());
    EXPECT_EQ("3", Row("E1.31 Errors")["errors"].asString());
}

TEST_F(BridgeStore, UnconfiguredUniversesAreCountedAsIgnored) {
    Bytes sent = wire::E131Data(999, 0, wire::Ramp(20));
    E131(sent);
    ArtNet(wire::ArtDmx(0x1100, 0, wire::Ramp(40), 0x1234));
    Json::Value ignored = Row("Ignored");
    EXPECT_EQ("2", ignored["packetsReceived"].asString());
    EXPECT_EQ(std::to_string(sent.size() - 16 + 0x234), ignored["bytesReceived"].asString());
    EXPECT_EQ("-", ignored["startChannel"].asString());
    EXPECT_EQ("-", ignored["errors"].asString());
}

TEST_F(BridgeStore, ArtDmxCopiesAtMostTheEntrySize) {
    EXPECT_FALSE(ArtNet(wire::ArtDmx(5, 1, wire::Ramp(600))));
    EXPECT_EQ(wire::Ramp(512), Channels(3000, 512));
    EXPECT_EQ(0, sequence->Data()[3512]);
    EXPECT_EQ(512, Entry(5).bytesReceived);
}

TEST_F(BridgeStore, ArtDmxCopiesNeitherMoreThanItsLengthNorMoreThanArrived) {
    ArtNet(wire::ArtDmx(5, 1, wire::Ramp(100), 10));
    EXPECT_EQ(0, sequence->Data()[3010]);
    EXPECT_EQ(10, Entry(5).bytesReceived);
    ArtNet(wire::ArtDmx(5, 2, wire::Ramp(30, 50), 512));
    EXPECT_EQ(wire::Ramp(30, 50), Channels(3000, 30));
    EXPECT_EQ(40, Entry(5).bytesReceived);
    Bytes shortHeader = wire::ArtDmx(5, 3, {});
    shortHeader.resize(17);
    EXPECT_FALSE(ArtNet(shortHeader));
    EXPECT_EQ(2, Entry(5).packetsReceived);
}

TEST_F(BridgeStore, ArtNetSenderThatNeverSequencesIsAGapEveryPacketAfterTheFirst) {
    for (int i = 0; i < 4; i++) {
        ArtNet(wire::ArtDmx(5, 0, {1}));
    }
    EXPECT_EQ(3, Entry(5).errorPackets);
}

TEST_F(BridgeStore, ArtNetDispatchChecksTheHeaderAndFindsTheHandler) {
    int calls = 0;
    AddArtNetOpcodeHandler(0x9900, [&](uint8_t*, int len, long long ms) {
        calls++;
        EXPECT_EQ(14, len);
        EXPECT_EQ(42, ms);
        return true;
    });
    Bytes other = wire::ArtSync();
    other[9] = 0x99;
    EXPECT_TRUE(Bridge_DispatchArtNet(other.data(), other.size(), 42));
    other[11] = 13;
    EXPECT_FALSE(Bridge_DispatchArtNet(other.data(), other.size(), 42));
    EXPECT_EQ(1, calls);
    RemoveArtNetOpcodeHandler(0x9900);
    other[11] = 14;
    EXPECT_FALSE(Bridge_DispatchArtNet(other.data(), other.size(), 42));
    EXPECT_EQ(1, calls);
}

TEST_F(BridgeStore, DDPPushWritesFromTheOffsetAndNamesTheChannelRange) {
    EXPECT_TRUE(DDP(wire::DDPData(0, wire::Ramp(300), wire::DDP_V1 | wire::DDP_PUSH)));
    EXPECT_EQ(wire::Ramp(300), Channels(0, 300));
    Json::Value row = GetE131UniverseBytesReceived()["universes"][0];
    EXPECT_EQ("DDP", row["id"].asString());
    EXPECT_EQ("1-300", row["startChannel"].asString());
    EXPECT_EQ("300", row["bytesReceived"].asString());
    EXPECT_EQ("1", row["packetsReceived"].asString());
    EXPECT_EQ("0", row["errors"].asString());
    EXPECT_FALSE(DDP(wire::DDPData(5000, wire::Ramp(4), wire::DDP_V1 | wire::DDP_TIMECODE)));
    EXPECT_EQ(wire::Ramp(4), Channels(5000, 4));
    EXPECT_EQ("1-5004", Row("DDP")["startChannel"].asString());
}

TEST_F(BridgeStore, DDPCopiesOnlyWhatArrivedAndNothingPastTheLastChannel) {
    DDP(wire::DDPData(10, wire::Ramp(5), wire::DDP_V1, 0, 1, 1400));
    EXPECT_EQ(wire::Ramp(5), Channels(10, 5));
    EXPECT_EQ(0, sequence->Data()[15]);
    DDP(wire::DDPData(KIVD_MAX_CHANNELS - 2, wire::Ramp(10)));
    EXPECT_EQ(wire::Ramp(2), Channels(KIVD_MAX_CHANNELS - 2, 2));
    EXPECT_EQ(0, sequence->Data()[KIVD_MAX_CHANNELS]);
    DDP(wire::DDPData(0xFFFFFFF0u, wire::Ramp(10)));
    EXPECT_EQ("7", Row("DDP")["bytesReceived"].asString());
    EXPECT_EQ("3", Row("DDP")["packetsReceived"].asString());
    EXPECT_EQ(std::to_string(KIVD_MAX_CHANNELS), Row("DDP")["startChannel"].asString().substr(3));
}

TEST_F(BridgeStore, DDPSequenceWrapsFrom15To1AndZeroIsNeverAGap) {
    for (int seq : {14, 15, 1, 0, 2, 0, 3}) {
        DDP(wire::DDPData(0, {1}, wire::DDP_V1, seq));
    }
    EXPECT_EQ(3, BridgeState::state.ddpLastSequence);
    DDP(wire::DDPData(0, {1}, wire::DDP_V1, 5));
    DDP(wire::DDPData(0, {1}, wire::DDP_V1, 1));
    EXPECT_EQ("2", Row("DDP")["errors"].asString());
}

TEST_F(BridgeStore, DDPQueriesAreReportedOnStandardOutputOnly) {
    testing::internal::CaptureStdout();
    EXPECT_FALSE(DDP(wire::DDPData(0, {}, wire::DDP_V1 | wire::DDP_QUERY, 0, 251)));
    EXPECT_FALSE(DDP(wire::DDPData(0, {}, wire::DDP_V1 | wire::DDP_QUERY, 0, 250)));
    EXPECT_FALSE(DDP(wire::DDPData(0, {7}, wire::DDP_V1 | wire::DDP_PUSH, 0, 254)));
    fflush(stdout);
    EXPECT_EQ("Query status packet: 251 \nQuery config packet: 250 \nUnknown packet: 254 \n",
              testing::internal::GetCapturedStdout());
    EXPECT_EQ(0, BridgeState::state.ddpPacketsReceived);
    EXPECT_EQ(0, sequence->Data()[0]);
}

TEST_F(BridgeStore, DDPShorterThanItsHeaderIsAnError) {
    Bytes timed = wire::DDPData(0, {}, wire::DDP_V1 | wire::DDP_TIMECODE);
    EXPECT_FALSE(DDP(Bytes(timed.begin(), timed.begin() + 12)));
    EXPECT_FALSE(DDP(Bytes(timed.begin(), timed.begin() + 3)));
    EXPECT_EQ(2, BridgeState::state.ddpErrors);
    EXPECT_EQ(0, BridgeState::state.ddpPacketsReceived);
}

TEST_F(BridgeStore, NetworkDataExpiresAfterTheTimeout) {
    E131(wire::E131Data(1, 0, {99}), 10000);
    sequence->ExpireBridgeData(10000 + 249);
    EXPECT_EQ(99, sequence->Data()[0]);
    sequence->ExpireBridgeData(10000 + 250);
    EXPECT_EQ(0, sequence->Data()[0]);
}

TEST_F(BridgeStore, StatisticsListEveryRowInOrderAndResetKeepsTheDDPRange) {
    DDP(wire::DDPData(99, {1, 2}));
    E131(wire::E131Data(1, 0, {1, 2, 3}));
    E131(wire::E131Data(1, 5, {1, 2, 3}));
    E131(wire::E131Data(1, 0, {}, 1));
    E131(wire::E131Data(77, 0, {1}));
    E131(wire::E131Sync(0, 1));
    Json::Value rows = GetE131UniverseBytesReceived()["universes"];
    ASSERT_EQ(1u + 6u + 3u, rows.size());
    EXPECT_EQ("DDP", rows[0]["id"].asString());
    EXPECT_EQ("100-101", rows[0]["startChannel"].asString());
    EXPECT_EQ(1, rows[1]["id"].asInt());
    EXPECT_EQ(1, rows[1]["startChannel"].asInt());
    EXPECT_EQ("6", rows[1]["bytesReceived"].asString());
    EXPECT_EQ("2", rows[1]["packetsReceived"].asString());
    EXPECT_EQ("1", rows[1]["errors"].asString());
    EXPECT_EQ(2001, rows[4]["startChannel"].asInt());
    EXPECT_EQ("E1.31 Errors", rows[7]["id"].asString());
    EXPECT_EQ("Ignored", rows[8]["id"].asString());
    EXPECT_EQ("E1.31 Sync", rows[9]["id"].asString());
    for (const char* key : {"startChannel", "bytesReceived"}) {
        EXPECT_EQ("-", rows[9][key].asString());
    }
    ResetBytesReceived();
    rows = GetE131UniverseBytesReceived()["universes"];
    ASSERT_EQ(6u, rows.size()) << "only the universes remain";
    EXPECT_EQ("0", rows[0]["bytesReceived"].asString());
    EXPECT_EQ("0", rows[0]["errors"].asString());
    DDP(wire::DDPData(200, {1}));
    EXPECT_EQ("100-201", Row("DDP")["startChannel"].asString());
}

class DMXFrames : public BridgeStore {
protected:
    UniverseEntry input;
    void SetUp() override {
        BridgeStore::SetUp();
        input.type = UniverseType::DMXSerial;
        input.startAddress = 100;
        input.deviceName = "ttyDMX";
    }
    static Bytes Frame(int channels) {
        Bytes b = wire::Ramp(channels + 1, 0);
        return b;
    }
};

TEST_F(DMXFrames, AFrameAfterABreakStoresAtMostChannelCountChannels) {
    Bytes frame = Frame(512);
    Bridge_StoreDMXRead(input, 512, frame.data(), frame.size(), 1000000);
    EXPECT_EQ(Bytes(frame.begin() + 1, frame.end()), Channels(100, 512));
    EXPECT_EQ(512, input.dmxOffset);
    EXPECT_EQ(1, input.packetsReceived);
    EXPECT_EQ(512, input.bytesReceived);
    Bytes more = wire::Ramp(100, 200);
    Bridge_StoreDMXRead(input, 512, more.data(), more.size(), 1000000 + 2000);
    EXPECT_EQ(0, sequence->Data()[612]) << "channelCount 512 is full";
    EXPECT_EQ(612, input.dmxOffset);
    EXPECT_EQ(612, input.bytesReceived);
}

TEST_F(DMXFrames, ReadsWithinThreeMillisecondsContinueTheFrame) {
    Bytes head = Frame(300);
    Bridge_StoreDMXRead(input, 600, head.data(), head.size(), 50000);
    Bytes tail = wire::Ramp(400, 7);
    Bridge_StoreDMXRead(input, 600, tail.data(), tail.size(), 50000 + 2999);
    EXPECT_EQ(Bytes(tail.begin(), tail.begin() + 300), Channels(400, 300));
    EXPECT_EQ(0, sequence->Data()[700]);
    EXPECT_EQ(1, input.packetsReceived);
}

TEST_F(DMXFrames, AGapWithoutAStartCodeIsAnErrorAndStoresNothing) {
    Bytes frame = Frame(10);
    Bridge_StoreDMXRead(input, 512, frame.data(), frame.size(), 20000);
    Bytes noStart = wire::Ramp(10, 1);
    Bridge_StoreDMXRead(input, 512, noStart.data(), noStart.size(), 40000);
    Bridge_StoreDMXRead(input, 512, frame.data(), frame.size(), 40000 + 3000);
    EXPECT_EQ(2, input.errorPackets);
    EXPECT_EQ(1, input.packetsReceived);
}

TEST_F(DMXFrames, SerialDataLivesTwiceTheNetworkTimeout) {
    Bytes frame = Frame(4);
    Bridge_StoreDMXRead(input, 512, frame.data(), frame.size(), 9000000);
    sequence->ExpireBridgeData(9000 + 2 * 250 - 1);
    EXPECT_EQ(1, sequence->Data()[100]);
    sequence->ExpireBridgeData(9000 + 2 * 250);
    EXPECT_EQ(0, sequence->Data()[100]);
}

TEST_F(DMXFrames, AnInputConfiguredPastTheLastChannelWritesNothingOutside) {
    input.startAddress = KIVD_MAX_CHANNELS - 3;
    Bytes frame = Frame(512);
    Bridge_StoreDMXRead(input, 512, frame.data(), frame.size(), 1000000);
    EXPECT_EQ(Bytes({1, 2, 3}), Channels(KIVD_MAX_CHANNELS - 3, 3));
    EXPECT_EQ(0, sequence->Data()[KIVD_MAX_CHANNELS]);
    Bytes more = wire::Ramp(10);
    Bridge_StoreDMXRead(input, 1024, more.data(), more.size(), 1000000 + 10);
    EXPECT_EQ(SMART_RECEIVER_MARKER_VALUE, sequence->Data()[KIVD_MAX_CHANNELS + 4]);
}
