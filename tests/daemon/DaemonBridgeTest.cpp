// The real kivd in bridge mode, fed by senders in the test process: data reaches the outputs,
// expires, survives a flood of random and truncated datagrams, and a port already taken ends it.

#include "e131bridge/WirePackets.h"
#include "support/DaemonProcess.h"
#include "support/HttpClient.h"
#include "support/NetNamespace.h"
#include "support/RecordedFrames.h"
#include "support/TestMediaDir.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <thread>

using wire::Bytes;

namespace {
constexpr int RECORDED = 8192;         // channels the test output sends each frame
constexpr int DDP_WINDOW_START = 6000; // where the flood's well-formed DDP packets write
constexpr int DDP_WINDOW_SIZE = 500;
constexpr uint32_t MAX_CHANNELS = 8388608; // the daemon's channel buffer

// Universes 1-4 (E1.31 unicast, 510 channels from channel 1), 10 (Art-Net, 512 from 3001) and
// 0x2345 (E1.31 multicast, 100 from 4001).
std::string Universes(int timeoutMS) {
    return R"({"channelInputs": [{"type": "universes", "enabled": 1, "timeout": )" +
           std::to_string(timeoutMS) +
           R"(, "universes": [
        {"active": 1, "id": 1, "universeCount": 4, "startChannel": 1, "channelCount": 510, "type": 1},
        {"active": 1, "id": 10, "startChannel": 3001, "channelCount": 512, "type": 2},
        {"active": 1, "id": 9029, "startChannel": 4001, "channelCount": 100, "type": 0}]}]})";
}

bool Configured(int channel0) {
    return channel0 < 4 * 510 || (channel0 >= 3000 && channel0 < 3512) ||
           (channel0 >= 4000 && channel0 < 4100) ||
           (channel0 >= DDP_WINDOW_START && channel0 < DDP_WINDOW_START + DDP_WINDOW_SIZE);
}

} // namespace

class DaemonBridge : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(EnterPrivateNetworkNamespace()); }
    void SetUp() override {
        media.write("settings", "kivMode = \"bridge\"\n");
        media.write("config/co-other.json", RecordingOutputConfig(media.file("record.bin"), RECORDED));
    }
    bool StartDaemon(int timeoutMS, const std::vector<std::string>& args = {"-f"}) {
        media.write("config/ci-universes.json", Universes(timeoutMS));
        return daemon.start(args) && daemon.waitForOutput("Starting main processing loop");
    }
    // The last frame the test output sent, once it is whole.
    Bytes Recorded() const { return ReadRecordedFrame(media.file("record.bin"), RECORDED); }
    bool RecordedShows(int channel0, const Bytes& expected, int timeoutMS = 5000) const {
        return WaitFor(
            [&] {
                Bytes frame = Recorded();
                return !frame.empty() && Bytes(frame.begin() + channel0,
                                               frame.begin() + channel0 + expected.size()) == expected;
            },
            timeoutMS);
    }
    TestMediaDir media;
    DaemonProcess daemon{media.path()};
};

TEST_F(DaemonBridge, DataFromAllThreeProtocolsReachesTheOutput) {
    ASSERT_TRUE(StartDaemon(60000, {"-f", "--log-level", "debug:E131Bridge"}));
    EXPECT_TRUE(daemon.waitForOutput("Universe Count = 6"));
    wire::UdpSender("127.0.0.1", 5568).send(wire::E131Data(3, 0, wire::Ramp(510)));
    wire::UdpSender("127.0.0.1", 5568).send(wire::E131Data(9029, 0, wire::Ramp(100, 9)));
    wire::UdpSender("127.0.0.1", 6454).send(wire::ArtDmx(10, 1, wire::Ramp(512, 3)));
    wire::UdpSender("127.0.0.1", 4048).send(wire::DDPData(7000, {1, 2, 3}, wire::DDP_V1 | wire::DDP_PUSH));
    EXPECT_TRUE(RecordedShows(1020, wire::Ramp(510)));
    EXPECT_TRUE(RecordedShows(4000, wire::Ramp(100, 9)));
    EXPECT_TRUE(RecordedShows(3000, wire::Ramp(512, 3)));
    EXPECT_TRUE(RecordedShows(7000, {1, 2, 3}));
    wire::UdpSender("127.0.0.1", 5568).send(wire::E131Data(999, 0, {1}));
    EXPECT_TRUE(daemon.waitForOutput("Received e1.31 data packet for unconfigured universe 999"));
}

// Each synchronization packet forces a frame at once; the regular frames must still follow on
// time after the sender stops synchronizing.
TEST_F(DaemonBridge, SyncPacketsForceFramesWithoutHoldingBackTheNextOnes) {
    ASSERT_TRUE(StartDaemon(60000));
    wire::UdpSender e131("127.0.0.1", 5568);
    e131.send(wire::E131Data(1, 0, Bytes(510, 0x10)));
    ASSERT_TRUE(RecordedShows(0, Bytes(510, 0x10)));
    for (int i = 0; i < 150; i++) {
        e131.send(wire::E131Sync(i & 0xFF, 1));
        std::this_thread::sleep_for(std::chrono::milliseconds(4));
    }
    e131.send(wire::E131Data(1, 1, Bytes(510, 0x20)));
    EXPECT_TRUE(RecordedShows(0, Bytes(510, 0x20), 500)) << "a frame at the regular rate shows the new data";
}

TEST_F(DaemonBridge, DataDisappearsFromTheOutputAfterTheTimeout) {
    ASSERT_TRUE(StartDaemon(300));
    wire::UdpSender("127.0.0.1", 5568).send(wire::E131Data(1, 0, Bytes(510, 0x77)));
    ASSERT_TRUE(RecordedShows(0, Bytes(510, 0x77)));
    auto shown = std::chrono::steady_clock::now();
    ASSERT_TRUE(RecordedShows(0, Bytes(510, 0), 3000));
    EXPECT_GE(std::chrono::steady_clock::now() - shown, std::chrono::milliseconds(200));
}

TEST_F(DaemonBridge, AFloodOfRandomAndTruncatedDatagramsStoresNothingOutsideTheInputs) {
    ASSERT_TRUE(StartDaemon(60000));
    std::mt19937 random(20240607);
    auto uniform = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    wire::UdpSender e131("127.0.0.1", 5568), artnet("127.0.0.1", 6454), ddp("127.0.0.1", 4048);
    for (int i = 0; i < 100000; i++) {
        Bytes datagram;
        int kind = i % 6;
        if (kind < 3) {
            datagram.resize(uniform(0, 1500));
            for (auto& b : datagram) {
                b = uniform(0, 255);
            }
            // Random DDP display data may carry any offset; keep it off the recorded channels.
            if (kind == 2 && datagram.size() > 7 && datagram[3] == 1) {
                datagram[4] |= 0x80;
            }
        } else if (kind == 3) {
            datagram = wire::E131Data(uniform(0, 12), uniform(0, 255), Bytes(uniform(0, 1374), 0xE1));
        } else if (kind == 4) {
            datagram = wire::ArtDmx(uniform(8, 12), uniform(0, 255), Bytes(uniform(0, 600), 0xA7),
                                    uniform(0, 0x7FFF));
        } else {
            uint32_t offset = uniform(0, 1) ? DDP_WINDOW_START + uniform(0, DDP_WINDOW_SIZE - 1)
                                            : MAX_CHANNELS - uniform(0, 2000);
            int room = offset >= MAX_CHANNELS - 2000 ? 1400 : DDP_WINDOW_START + DDP_WINDOW_SIZE - offset;
            datagram = wire::DDPData(offset, Bytes(uniform(0, room), 0xDD), uniform(0, 255) & ~0x02,
                                     uniform(0, 15), 1, uniform(0, 0xFFFF));
        }
        datagram.resize(std::min<size_t>(datagram.size(), uniform(0, 1) ? datagram.size() : uniform(0, 200)));
        (kind == 0 || kind == 3 ? e131 : kind == 1 || kind == 4 ? artnet : ddp).send(datagram);
    }
    // The flood may still fill the socket's queue, so the last packet is repeated until it shows.
    bool stored = false;
    for (int tries = 0; tries < 100 && !stored && daemon.running(); tries++) {
        e131.send(wire::E131Data(4, tries, Bytes(510, 0x3C)));
        stored = RecordedShows(1530, Bytes(510, 0x3C), 100);
    }
    ASSERT_TRUE(stored) << "the bridge still stores data\n" << daemon.output().substr(0, 4000);
    EXPECT_EQ(200, HttpGet("http://127.0.0.1:32322/kivd/version").status);
    Bytes frame = Recorded();
    ASSERT_EQ(static_cast<size_t>(RECORDED), frame.size());
    for (int c = 0; c < RECORDED; c++) {
        if (!Configured(c)) {
            ASSERT_EQ(0, frame[c]) << "channel " << c;
        }
    }
    auto holds = [&](int first, int count, uint8_t value) {
        return std::count(frame.begin() + first, frame.begin() + first + count, value) > 0;
    };
    // Under load the kernel may drop every datagram of one protocol, so only require that the flood
    // reached the channel data at all (otherwise the check above would prove nothing).
    EXPECT_TRUE(holds(0, 3 * 510, 0xE1) || holds(3000, 512, 0xA7) ||
                holds(DDP_WINDOW_START, DDP_WINDOW_SIZE, 0xDD))
        << "none of the flood's data was stored";
    EXPECT_TRUE(daemon.running());
}

TEST_F(DaemonBridge, APortAlreadyTakenEndsTheDaemonWithStatusOne) {
    int taken = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(5568);
    ASSERT_EQ(0, bind(taken, reinterpret_cast<sockaddr*>(&local), sizeof(local)));
    media.write("config/ci-universes.json", Universes(1000));
    ASSERT_TRUE(daemon.start({"-f"}));
    EXPECT_EQ(1, daemon.waitForExit(10000));
    EXPECT_NE(std::string::npos, daemon.output().find("e131bridge bind failed: Address already in use"))
        << daemon.output();
    close(taken);
}

TEST_F(DaemonBridge, DataWithoutInputsRaisesAWarningNamingTheSender) {
    ASSERT_TRUE(daemon.start({"-f"}));
    ASSERT_TRUE(daemon.waitForOutput("Starting main processing loop"));
    wire::UdpSender("127.0.0.1", 4048).send(wire::DDPData(0, {1, 2}));
    EXPECT_TRUE(WaitFor([&] {
        return media.read("tmp/warnings.json").find("Received DDP data from 127.0.0.1") != std::string::npos;
    }));
}
