// Decoding of E1.31, Art-Net and DDP datagrams from bytes built as the protocol documents lay them out.

#include "BridgePackets.h"
#include "e131bridge/WirePackets.h"

#include <gtest/gtest.h>

using wire::Bytes;

TEST(E131Decode, ReadsTheFieldsOfADataPacket) {
    Bytes b = wire::E131Data(0x1234, 77, wire::Ramp(170));
    E131Packet p;
    ASSERT_TRUE(E131_Decode(b.data(), b.size(), p));
    EXPECT_EQ(E131_VECTOR_DATA, p.rootVector);
    EXPECT_EQ(static_cast<int>(b.size()) - 16, p.rootLength);
    EXPECT_EQ(77, p.sequence);
    EXPECT_EQ(0x1234, p.universe);
    EXPECT_EQ(0, p.startCode);
    EXPECT_EQ(170, p.dataLength);
    EXPECT_EQ(b.data() + 126, p.data);
}

TEST(E131Decode, TellsSynchronizationFromDiscoveryPackets) {
    Bytes sync = wire::E131Sync(3, 1);
    E131Packet p;
    ASSERT_TRUE(E131_Decode(sync.data(), sync.size(), p));
    EXPECT_EQ(E131_VECTOR_EXTENDED, p.rootVector);
    EXPECT_EQ(E131_EXTENDED_SYNCHRONIZATION, p.framingVector);
    Bytes discovery = wire::E131Discovery({1, 2});
    ASSERT_TRUE(E131_Decode(discovery.data(), discovery.size(), p));
    EXPECT_EQ(2, p.framingVector);
}

TEST(E131Decode, RefusesDatagramsShorterThanTheirKindNeeds) {
    Bytes data = wire::E131Data(1, 0, {});
    E131Packet p;
    EXPECT_TRUE(E131_Decode(data.data(), 126, p));
    EXPECT_EQ(0, p.dataLength);
    EXPECT_FALSE(E131_Decode(data.data(), 125, p));
    EXPECT_FALSE(E131_Decode(data.data(), 21, p));
    Bytes sync = wire::E131Sync(0, 1);
    EXPECT_FALSE(E131_Decode(sync.data(), 43, p));
}

TEST(E131Decode, NamesTheMulticastGroupOfAUniverse) {
    EXPECT_EQ("239.255.18.52", E131_MulticastGroup(0x1234));
    EXPECT_EQ("239.255.0.1", E131_MulticastGroup(1));
    EXPECT_EQ("239.255.249.255", E131_MulticastGroup(63999));
}

TEST(ArtNetDecode, AcceptsOnlyTheArtNetIdAndVersion14) {
    Bytes dmx = wire::ArtDmx(1, 0, wire::Ramp(2));
    EXPECT_EQ(0x5000, ArtNet_Opcode(dmx.data(), dmx.size()));
    EXPECT_EQ(0x2000, ArtNet_Opcode(wire::ArtPoll().data(), 14));
    EXPECT_EQ(-1, ArtNet_Opcode(dmx.data(), 11));
    dmx[11] = 13;
    EXPECT_EQ(-1, ArtNet_Opcode(dmx.data(), dmx.size()));
    dmx[11] = 14;
    dmx[7] = ' ';
    EXPECT_EQ(-1, ArtNet_Opcode(dmx.data(), dmx.size()));
}

TEST(ArtNetDecode, ReadsPortAddressLengthAndData) {
    Bytes b = wire::ArtDmx(0x7ABC, 9, wire::Ramp(4), 0x7234);
    ArtDmxPacket p;
    ASSERT_TRUE(ArtNet_DecodeDmx(b.data(), b.size(), p));
    EXPECT_EQ(0x7ABC, p.universe);
    EXPECT_EQ(9, p.sequence);
    EXPECT_EQ(0x7234, p.length);
    EXPECT_EQ(0x234, p.lengthLow12);
    EXPECT_EQ(4, p.dataLength);
    EXPECT_FALSE(ArtNet_DecodeDmx(b.data(), 17, p));
}

TEST(ArtNetDecode, BuildsAPollReplyWithEveryFieldInPlace) {
    uint8_t reply[ARTNET_POLL_REPLY_SIZE];
    in_addr address{};
    inet_pton(AF_INET, "192.0.2.7", &address);
    ArtNet_BuildPollReply(reply, address.s_addr, 3, 12, "a-name-longer-than-eighteen-bytes");
    wire::PollReply r = wire::PollReply::Parse(reply, sizeof(reply));
    EXPECT_EQ(std::string("Art-Net\0", 8), r.id);
    EXPECT_EQ(0x2100u, r.opcode);
    EXPECT_EQ("192.0.2.7", r.address);
    EXPECT_EQ(6454u, r.port);
    EXPECT_EQ(3, r.versionHi);
    EXPECT_EQ(12, r.versionLo);
    EXPECT_EQ("a-name-longer-than", r.shortName);
    EXPECT_EQ("a-name-longer-than-eighteen-bytes", r.longName);
    EXPECT_EQ("", r.nodeReport);
    EXPECT_EQ(4u, r.numPorts);
    EXPECT_EQ(Bytes(4, 0xC0), r.portTypes);
    EXPECT_EQ(Bytes(8 + 62, 0), r.everythingElse);
}

TEST(DDPDecode, ReadsTheHeaderWithAndWithoutTimeCode) {
    Bytes plain = wire::DDPData(0x01020304, wire::Ramp(3), wire::DDP_V1 | wire::DDP_PUSH, 7);
    DDPPacket p;
    ASSERT_TRUE(DDP_Decode(plain.data(), plain.size(), p));
    EXPECT_TRUE(p.push());
    EXPECT_FALSE(p.query());
    EXPECT_EQ(7, p.sequence);
    EXPECT_EQ(1, p.id);
    EXPECT_EQ(0x01020304u, p.offset);
    EXPECT_EQ(3, p.length);
    EXPECT_EQ(plain.data() + 10, p.data);
    Bytes timed = wire::DDPData(0, wire::Ramp(3), wire::DDP_V1 | wire::DDP_TIMECODE);
    ASSERT_TRUE(DDP_Decode(timed.data(), timed.size(), p));
    EXPECT_EQ(timed.data() + 14, p.data);
    EXPECT_EQ(3, p.dataLength);
    EXPECT_FALSE(DDP_Decode(timed.data(), 13, p));
    EXPECT_FALSE(DDP_Decode(plain.data(), 9, p));
}
