// The bridge's configuration, sockets and reloads, fed through real UDP sockets of a private
// network namespace.

#include "BridgeReceive.h"
#include "common/Common.h"
#include "common/Timers.h"
#include "e131bridge/BridgeFixture.h"
#include "player/Version.h"

#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

using wire::Bytes;

namespace {
std::string UniversesFile(const std::string& groups, const std::string& extra = "") {
    return R"({"channelInputs": [{"type": "universes", "enabled": 1)" + extra + R"(, "universes": [)" +
           groups + "]}]}";
}
std::string Group(int id, int count, int start, int channels, int type, const std::string& more = "") {
    return "{\"active\": 1, \"id\": " + std::to_string(id) + ", \"universeCount\": " + std::to_string(count) +
           ", \"startChannel\": " + std::to_string(start) +
           ", \"channelCount\": " + std::to_string(channels) + ", \"type\": " + std::to_string(type) + more +
           "}";
}

// The groups /proc/net/igmp lists for an interface, as the kernel prints them (hex, wire order).
std::string IgmpGroupsOf(const std::string& interface) {
    std::ifstream igmp("/proc/net/igmp");
    std::string line, groups;
    bool inside = false;
    while (std::getline(igmp, line)) {
        if (!line.empty() && line[0] != '\t' && line[0] != ' ') {
            std::istringstream fields(line);
            std::string index, name;
            fields >> index >> name;
            inside = name == interface;
        } else if (inside) {
            std::istringstream fields(line);
            std::string group;
            fields >> group;
            groups += group + " ";
        }
    }
    return groups;
}
} // namespace

class BridgeConfig : public BridgeFixture {};

TEST_F(BridgeConfig, AGroupExpandsIntoConsecutiveUniversesAndBadTypesAddNone) {
    media.write("config/ci-universes.json",
                UniversesFile(Group(10, 3, 1, 510, 0) + "," + Group(20, 2, 5000, 100, 7) + "," +
                              Group(30, 1, 9000, 512, 1, R"(, "address": "192.0.2.44", "priority": 150)") +
                              "," + Group(31, 1, 9600, 512, 3, R"(, "address": "192.0.2.45")")));
    ASSERT_TRUE(LoadInputUniversesFromFile());
    ASSERT_EQ(5, static_cast<int>(BridgeState::state.inputUniverses.size()));
    EXPECT_EQ(1, Entry(10)->startAddress);
    EXPECT_EQ(511, Entry(11)->startAddress);
    EXPECT_EQ(1021, Entry(12)->startAddress);
    EXPECT_EQ(510, Entry(12)->size);
    EXPECT_EQ(nullptr, Entry(20));
    EXPECT_STREQ("192.0.2.44", Entry(30)->unicastAddress);
    EXPECT_EQ(150, Entry(30)->priority);
    EXPECT_STREQ("", Entry(31)->unicastAddress);
    EXPECT_STREQ("", Entry(10)->unicastAddress);
    BridgeState::state.Reset();
}

TEST_F(BridgeConfig, AUnicastAddressTooLongIsRefusedWithAWarningNamingTheUniverse) {
    media.write("config/ci-universes.json",
                UniversesFile(Group(42, 1, 1, 512, 1, R"(, "address": "192.168.100.2001")")));
    ASSERT_TRUE(LoadInputUniversesFromFile());
    ASSERT_NE(nullptr, Entry(42));
    EXPECT_STREQ("", Entry(42)->unicastAddress);
    bool named = false;
    for (const auto& w : WarningHolder::GetWarnings()) {
        named |= contains(w.message, "universe 42") && contains(w.message, "192.168.100.2001");
    }
    EXPECT_TRUE(named);
    BridgeState::state.Reset();
}

TEST_F(BridgeConfig, TimeoutHasAFloorOfTenAndStaysWhenAbsentOnReload) {
    media.write("config/ci-universes.json", UniversesFile(Group(1, 1, 1, 512, 1), R"(, "timeout": 5)"));
    ASSERT_TRUE(LoadInputUniversesFromFile());
    EXPECT_EQ(10, BridgeState::state.expireOffSet);
    media.write("config/ci-universes.json", UniversesFile(Group(1, 1, 1, 512, 1), R"(, "timeout": 750)"));
    LoadInputUniversesFromFile();
    EXPECT_EQ(750, BridgeState::state.expireOffSet);
    media.write("config/ci-universes.json", UniversesFile(Group(1, 1, 1, 512, 1), R"(, "timeout": null)"));
    LoadInputUniversesFromFile();
    media.write("config/ci-universes.json", UniversesFile(Group(1, 1, 1, 512, 1)));
    LoadInputUniversesFromFile();
    EXPECT_EQ(750, BridgeState::state.expireOffSet);
    BridgeState::state.Reset();
}

TEST_F(BridgeConfig, LoadSucceedsOnlyWithAnEnabledUniversesElement) {
    EXPECT_FALSE(LoadInputUniversesFromFile()) << "missing file";
    media.write("config/ci-universes.json", "{ not json");
    EXPECT_FALSE(LoadInputUniversesFromFile());
    media.write("config/ci-universes.json", R"({"channelInputs": [{"type": "universes", "enabled": 0,
        "universes": [{"active": 1, "id": 1, "startChannel": 1, "channelCount": 512, "type": 1}]}]})");
    EXPECT_FALSE(LoadInputUniversesFromFile());
    EXPECT_EQ(0, static_cast<int>(BridgeState::state.inputUniverses.size()));
    media.write("config/ci-universes.json", UniversesFile(""));
    EXPECT_TRUE(LoadInputUniversesFromFile());
    EXPECT_EQ(0, static_cast<int>(BridgeState::state.inputUniverses.size()));
}

class BridgeSockets : public BridgeFixture {};

TEST_F(BridgeSockets, UnicastE131LandsInTheChannelBuffer) {
    Start(UniversesFile(Group(1, 2, 101, 512, 1)));
    EXPECT_TRUE(PortInUse(5568));
    wire::UdpSender sender("127.0.0.1", 5568);
    sender.send(wire::E131Data(2, 0, wire::Ramp(512)));
    ASSERT_TRUE(PumpUntil([] { return Entry(2)->packetsReceived == 1; }));
    EXPECT_EQ(wire::Ramp(512), Channels(612, 512));
    EXPECT_EQ(0, Channel(611));
    EXPECT_TRUE(HasBridgeData());
}

TEST_F(BridgeSockets, MulticastE131ArrivesThroughTheMembershipOnEveryInterface) {
    ASSERT_TRUE(RunCommand("ip link add kb0 type veth peer name kb1 && ip addr add 192.0.2.1/25 dev kb0 && "
                           "ip addr add 192.0.2.129/25 dev kb1 && ip link set kb0 up && ip link set kb1 up"));
    Start(UniversesFile(Group(0x1234, 1, 1, 512, 0) + "," + Group(7, 1, 1001, 512, 1)));
    EXPECT_TRUE(contains(IgmpGroupsOf("kb0"), "3412FFEF")) << IgmpGroupsOf("kb0");
    EXPECT_TRUE(contains(IgmpGroupsOf("kb1"), "3412FFEF"));
    EXPECT_FALSE(contains(IgmpGroupsOf("lo"), "3412FFEF"));
    wire::UdpSender toUnjoined("239.255.0.7", 5568, "192.0.2.1");
    toUnjoined.send(wire::E131Data(7, 0, {55}));
    wire::UdpSender toGroup("239.255.18.52", 5568, "192.0.2.1");
    toGroup.send(wire::E131Data(0x1234, 0, wire::Ramp(512)));
    ASSERT_TRUE(PumpUntil([] { return Entry(0x1234)->packetsReceived >= 1; }));
    EXPECT_EQ(wire::Ramp(512), Channels(0, 512));
    EXPECT_EQ(0, Entry(7)->packetsReceived) << "no membership for a unicast universe's group";
    Bridge_Shutdown();
    started = false;
    EXPECT_FALSE(contains(IgmpGroupsOf("kb0"), "3412FFEF"));
    RunCommand("ip link del kb0");
}

TEST_F(BridgeSockets, ArtNetDataAndSyncReachTheBufferAndForceAFrame) {
    Start(UniversesFile(Group(0x0102, 1, 201, 512, 2)));
    wire::UdpSender sender("127.0.0.1", 6454);
    sender.send(wire::ArtDmx(0x0102, 1, wire::Ramp(300)));
    bool forced = false;
    ASSERT_TRUE(PumpUntil([] { return Entry(0x0102)->packetsReceived == 1; }, &forced));
    EXPECT_FALSE(forced);
    EXPECT_EQ(wire::Ramp(300), Channels(200, 300));
    sender.send(wire::ArtSync());
    EXPECT_EQ(EPollManager::FORCE_OUTPUT, EPollManager::INSTANCE.waitForEvents(1000));
}

TEST_F(BridgeSockets, E131SyncAndDDPPushForceAFrame) {
    Start(UniversesFile(Group(1, 1, 1, 512, 1)));
    wire::UdpSender e131("127.0.0.1", 5568);
    e131.send(wire::E131Sync(1, 1));
    EXPECT_EQ(EPollManager::FORCE_OUTPUT, EPollManager::INSTANCE.waitForEvents(1000));
    wire::UdpSender ddp("127.0.0.1", 4048);
    ddp.send(wire::DDPData(40, wire::Ramp(9), wire::DDP_V1 | wire::DDP_TIMECODE, 3));
    EXPECT_EQ(EPollManager::HANDLED, EPollManager::INSTANCE.waitForEvents(1000));
    EXPECT_EQ(wire::Ramp(9), Channels(40, 9));
    ddp.send(wire::DDPData(49, {1}, wire::DDP_V1 | wire::DDP_PUSH, 4));
    EXPECT_EQ(EPollManager::FORCE_OUTPUT, EPollManager::INSTANCE.waitForEvents(1000));
    EXPECT_EQ("41-50", GetE131UniverseBytesReceived()["universes"][0]["startChannel"].asString());
}

TEST_F(BridgeSockets, ManyDatagramsAreReadInBatchesWithoutLoss) {
    Start(UniversesFile(Group(1, 200, 1, 510, 1)));
    wire::UdpSender sender("127.0.0.1", 5568);
    for (int round = 0; round < 3; round++) {
        for (int u = 1; u <= 200; u++) {
            sender.send(wire::E131Data(u, round, Bytes(510, round + 1)));
        }
        Drain();
    }
    Json::Value rows = GetE131UniverseBytesReceived()["universes"];
    ASSERT_EQ(200u, rows.size());
    for (const auto& row : rows) {
        EXPECT_EQ("3", row["packetsReceived"].asString()) << row["id"];
        EXPECT_EQ("0", row["errors"].asString());
    }
    EXPECT_EQ(3, Channel(0));
    EXPECT_EQ(3, Channel(200 * 510 - 1));
}

TEST_F(BridgeSockets, ReceivedDataExpiresAfterTheTimeout) {
    Start(UniversesFile(Group(1, 1, 1, 512, 1), R"(, "timeout": 40)"));
    long long before = GetTimeMS();
    wire::UdpSender("127.0.0.1", 5568).send(wire::E131Data(1, 0, {77}));
    ASSERT_TRUE(PumpUntil([] { return Channel(0) == 77; }));
    long long after = GetTimeMS();
    sequence->ExpireBridgeData(before + 39);
    EXPECT_EQ(77, Channel(0));
    sequence->ExpireBridgeData(after + 40);
    EXPECT_EQ(0, Channel(0));
    EXPECT_FALSE(sequence->hasBridgeData());
}

TEST_F(BridgeSockets, WithoutInputsSendersAreWarnedAboutOncePerBatch) {
    Start("");
    EXPECT_TRUE(PortInUse(5568));
    EXPECT_TRUE(PortInUse(4048));
    EXPECT_FALSE(PortInUse(6454));
    wire::UdpSender e131("127.0.0.1", 5568);
    e131.send(wire::E131Data(1, 0, {1}));
    e131.send(wire::E131Data(1, 1, {1}));
    wire::UdpSender ddp("127.0.0.1", 4048);
    ddp.send(wire::DDPData(0, {}, wire::DDP_V1 | wire::DDP_QUERY, 0, 251));
    Drain();
    EXPECT_TRUE(HasWarning("Received E1.31 data from 127.0.0.1"));
    EXPECT_FALSE(HasWarning("Received DDP data from 127.0.0.1")) << "queries are not data";
    EXPECT_EQ(1u, WarningHolder::GetWarnings().size());
    long long expires = WarningHolder::GetWarnings().front().expiresMS;
    EXPECT_NEAR(GetTimeMS() + 10000, expires, 1000);
    ddp.send(wire::DDPData(0, {1}));
    Drain();
    EXPECT_TRUE(HasWarning("Received DDP data from 127.0.0.1"));
    EXPECT_EQ(0, Channel(0));
}

TEST_F(BridgeSockets, DisablingFakeBridgesOpensOnlyWhatTheUniversesNeed) {
    SetSetting("DisableFakeNetworkBridges", 1);
    Start(UniversesFile(Group(5, 1, 1, 512, 3)));
    EXPECT_FALSE(PortInUse(5568));
    EXPECT_TRUE(PortInUse(4048));
    EXPECT_TRUE(PortInUse(6454));
    EXPECT_EQ(BridgeState::state.artnetSock, CreateArtNetSocket(0))
        << "the socket is shared, not opened twice";
    media.remove("config/ci-universes.json");
    BridgeReloadUDP();
    EXPECT_FALSE(PortInUse(4048));
    EXPECT_FALSE(PortInUse(6454));
}

TEST_F(BridgeSockets, ChangingTheSettingReloadsOnTheMainLoop) {
    Start(UniversesFile(Group(5, 1, 1, 512, 2)));
    EXPECT_TRUE(PortInUse(5568));
    SetSetting("DisableFakeNetworkBridges", 1);
    Timers::INSTANCE.fireTimersInternal(GetTimeMS());
    EXPECT_FALSE(PortInUse(5568));
    EXPECT_TRUE(PortInUse(6454));
}

TEST_F(BridgeSockets, ReloadWhileDataFlowsMovesTheUniverseAndKeepsReceiving) {
    Start(UniversesFile(Group(1, 1, 1, 512, 1)));
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        wire::UdpSender sender("127.0.0.1", 5568);
        for (int seq = 0; !stop; seq++) {
            sender.send(wire::E131Data(1, seq & 0xFF, Bytes(512, 0x5A)));
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    for (int start : {1001, 2001, 3001, 4001}) {
        media.write("config/ci-universes.json", UniversesFile(Group(1, 1, start, 512, 1)), true);
        ASSERT_TRUE(PumpUntil([start] { return Entry(1) && Entry(1)->startAddress == start; }));
        ASSERT_TRUE(PumpUntil([start] { return Channel(start - 1) == 0x5A; }));
    }
    stop = true;
    flood.join();
    EXPECT_GT(Entry(1)->packetsReceived, 0);
    EXPECT_EQ(0x5A, Channel(4000 + 511));
}

TEST_F(BridgeSockets, ShutdownClosesEverySocketAndForgetsTheHandlers) {
    Start(UniversesFile(Group(1, 1, 1, 512, 1) + "," + Group(2, 1, 513, 512, 2)));
    EXPECT_TRUE(PortInUse(5568) && PortInUse(6454) && PortInUse(4048));
    EXPECT_EQ(3u, BridgeState::state.artNetOpcodeHandlers.size());
    Bridge_Shutdown();
    started = false;
    EXPECT_FALSE(PortInUse(5568) || PortInUse(6454) || PortInUse(4048));
    EXPECT_TRUE(BridgeState::state.artNetOpcodeHandlers.empty());
    EXPECT_EQ(0, static_cast<int>(BridgeState::state.inputUniverses.size()));
}

// An ArtPoll answered on a host with lo, eth0 and usb0: one reply, for eth0, broadcast out of the
// default route and seen on the wire by a packet socket on the far end of eth0's link.
class BridgeArtPoll : public BridgeFixture {
protected:
    void SetUp() override {
        BridgeFixture::SetUp();
        ASSERT_TRUE(
            RunCommand("ip link add eth0 type veth peer name usb0 && ip addr add 192.0.2.1/25 dev eth0 && "
                       "ip addr add 192.0.2.129/25 dev usb0 && ip link set eth0 up && "
                       "ip link set usb0 up && ip route add default dev eth0"));
        capture = socket(AF_PACKET, SOCK_DGRAM | SOCK_NONBLOCK, htons(ETH_P_IP));
        sockaddr_ll link{};
        link.sll_family = AF_PACKET;
        link.sll_protocol = htons(ETH_P_IP);
        link.sll_ifindex = if_nametoindex("usb0");
        ASSERT_EQ(0, bind(capture, reinterpret_cast<sockaddr*>(&link), sizeof(link)));
    }
    void TearDown() override {
        close(capture);
        RunCommand("ip link del eth0");
        BridgeFixture::TearDown();
    }
    // ArtPollReplies to 255.255.255.255:6454 captured so far.
    std::vector<wire::PollReply> Replies() {
        uint8_t packet[2048];
        ssize_t len;
        while ((len = recv(capture, packet, sizeof(packet), 0)) > 0) {
            size_t ihl = (packet[0] & 0x0F) * 4;
            bool broadcast = packet[16] == 255 && packet[17] == 255 && packet[18] == 255 && packet[19] == 255;
            if (packet[9] != IPPROTO_UDP || !broadcast ||
                ((packet[ihl + 2] << 8) | packet[ihl + 3]) != 6454) {
                continue;
            }
            wire::PollReply reply = wire::PollReply::Parse(packet + ihl + 8, len - ihl - 8);
            if (reply.opcode == 0x2100) {
                replies.push_back(reply);
            }
        }
        return replies;
    }
    int capture = -1;
    std::vector<wire::PollReply> replies;
};

TEST_F(BridgeArtPoll, OneReplyForEth0CarriesEveryField) {
    SetSetting("HostName", "kiv-bridge-test-host-name");
    Start(UniversesFile(Group(1, 1, 1, 512, 2)));
    wire::UdpSender("127.0.0.1", 6454).send(wire::ArtPoll());
    ASSERT_TRUE(PumpUntil([this] { return !Replies().empty(); }));
    PumpUntil([] { return false; }, nullptr, 100);
    ASSERT_EQ(1u, Replies().size());
    const wire::PollReply& r = replies[0];
    EXPECT_EQ(std::string("Art-Net\0", 8), r.id);
    EXPECT_EQ("192.0.2.1", r.address);
    EXPECT_EQ(6454u, r.port);
    EXPECT_EQ(atoi(getKIVMajorVersion()), r.versionHi);
    EXPECT_EQ(atoi(getKIVMinorVersion()), r.versionLo);
    EXPECT_EQ("kiv-bridge-test-ho", r.shortName);
    EXPECT_EQ("kiv-bridge-test-host-name", r.longName);
    EXPECT_EQ("", r.nodeReport);
    EXPECT_EQ(4u, r.numPorts);
    EXPECT_EQ(Bytes(4, 0xC0), r.portTypes);
    EXPECT_EQ(Bytes(70, 0), r.everythingElse);
}

TEST_F(BridgeArtPoll, WithoutAHostNameTheNodeIsCalledKIV) {
    Start(UniversesFile(Group(1, 1, 1, 512, 2)));
    wire::UdpSender("127.0.0.1", 6454).send(wire::ArtPoll());
    ASSERT_TRUE(PumpUntil([this] { return !Replies().empty(); }));
    EXPECT_EQ("KIV", replies[0].shortName);
    EXPECT_EQ("KIV", replies[0].longName);
}
