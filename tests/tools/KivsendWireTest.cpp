// kivsend on the wire: its E1.31, Art-Net and DDP streams captured on loopback (dumpcap) and read
// back by tshark's dissectors, and a running kivd's statistics counting exactly what kivsend says
// it sent. tshark 4.0 dissects neither DDP nor E1.31 sync packets, so those are decoded here from
// the captured payload bytes, field by field from the protocol documents.
#include "support/DaemonProcess.h"
#include "support/HttpClient.h"
#include "support/NetNamespace.h"
#include "support/TestMediaDir.h"
#include "support/WaitFor.h"

#include "common/Common.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <sstream>

namespace {

const std::string API = "http://127.0.0.1:32322";
constexpr int CHANNELS = 510, UNIVERSES = 2;
// 20 frames of each: E1.31 2 universes and a sync, Art-Net the same, DDP one packet.
constexpr int PACKETS = 20 * 3 + 20 * 3 + 20;

// One tab-separated line of tshark fields per packet.
std::vector<std::vector<std::string>> Tshark(const std::string& capture, const std::string& filter,
                                             const std::vector<std::string>& fields) {
    std::string command = "tshark -r " + capture +
                          " --enable-heuristic acn -o acn.dmx_enable:TRUE -o acn.dmx_display_zeros:TRUE"
                          " -o acn.dmx_display_leading_zeros:TRUE -Y '" +
                          filter + "' -T fields -E separator=/t";
    for (const auto& f : fields) {
        command += " -e " + f;
    }
    std::vector<std::vector<std::string>> rows;
    FILE* out = popen((command + " 2>/dev/null").c_str(), "r");
    char line[65536];
    while (out && fgets(line, sizeof(line), out)) {
        std::vector<std::string> row;
        std::stringstream text(std::string(line).substr(0, strlen(line) - 1));
        for (std::string cell; std::getline(text, cell, '\t');) {
            row.push_back(cell);
        }
        row.resize(fields.size());
        rows.push_back(row);
    }
    if (out) {
        pclose(out);
    }
    return rows;
}

std::vector<uint8_t> Hex(const std::string& text) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        bytes.push_back(uint8_t(std::stoi(text.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

// The E1.31 dissector shows the slots as lines "001-020: 00 01 ..." in hex; the values in order.
std::vector<uint8_t> AcnSlots(const std::string& text) {
    std::vector<uint8_t> values;
    for (size_t at = text.find(':'); at != std::string::npos; at = text.find(':', at + 1)) {
        std::stringstream line(text.substr(at + 1, text.find(',', at) - at - 1));
        for (std::string hex; line >> hex;) {
            if (hex == "|") {
                continue; // the gap after the tenth value
            }
            values.push_back(uint8_t(std::stoi(hex, nullptr, 16)));
        }
    }
    return values;
}

// The ramp pattern: channel c of the frame holds (c + frame) % 256.
bool IsRamp(const std::vector<uint8_t>& data, int firstChannel, int frame) {
    for (size_t i = 0; i < data.size(); i++) {
        if (data[i] != uint8_t((firstChannel + int(i) + frame) % 256)) {
            return false;
        }
    }
    return true;
}

struct Sent {
    long frames = -1, data = -1, sync = -1, bytes = -1;
};

Sent ParseSent(const std::string& output) {
    Sent s;
    size_t at = output.find("sent ");
    if (at != std::string::npos) {
        long packets = 0;
        sscanf(output.c_str() + at, "sent %ld frames, %ld packets (%ld data, %ld sync), %ld channel bytes",
               &s.frames, &packets, &s.data, &s.sync, &s.bytes);
    }
    return s;
}

class KivsendWire : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(EnterPrivateNetworkNamespace()); }

    Sent Send(const std::vector<std::string>& args) {
        DaemonProcess sender(media.path(), KIV_RUNTIME_DIR "/kivsend");
        std::vector<std::string> all = {"--universes", std::to_string(UNIVERSES),
                                        "--channels",  std::to_string(CHANNELS),
                                        "--pattern",   "ramp",
                                        "--fps",       "50",
                                        "--seconds",   "0.4"};
        all.insert(all.end(), args.begin(), args.end());
        all.push_back("127.0.0.1");
        EXPECT_TRUE(sender.start(all));
        EXPECT_EQ(0, sender.waitForExit(10000)) << sender.output();
        return ParseSent(sender.output());
    }

    Json::Value Stats() {
        Json::Value stats, rows;
        LoadJsonFromString(HttpGet(API + "/kivd/e131stats").body, stats);
        for (const auto& row : stats["universes"]) {
            rows[row["id"].asString()] = row;
        }
        return rows;
    }

    TestMediaDir media;
};

TEST_F(KivsendWire, DissectorsReadWhatWasSentAndTheDaemonCountsIt) {
    media.write("settings", "kivMode = \"bridge\"\n");
    media.write("config/ci-universes.json", R"({"channelInputs": [{"type": "universes", "enabled": 1,
        "universes": [{"active": 1, "id": 1, "universeCount": 2, "startChannel": 1, "channelCount": 510, "type": 1},
                      {"active": 1, "id": 101, "universeCount": 2, "startChannel": 1, "channelCount": 510, "type": 2}]}]})");
    DaemonProcess daemon(media.path());
    ASSERT_TRUE(daemon.start({"-f"}));
    ASSERT_TRUE(daemon.waitForOutput("Starting main processing loop")) << daemon.output();
    ASSERT_TRUE(WaitForHttp(API + "/kivd/version"));

    std::string capture = media.file("wire.pcapng");
    DaemonProcess dumpcap(media.path(), "/usr/bin/dumpcap");
    ASSERT_TRUE(dumpcap.start(
        {"-i", "lo", "-f", "udp dst port 5568 or udp dst port 6454 or udp dst port 4048 or udp dst port 9",
         "-w", capture, "-c", std::to_string(PACKETS)}));
    ASSERT_TRUE(dumpcap.waitForOutput("File:")) << dumpcap.output();

    Sent e131 = Send({"--protocol", "e131", "--universe", "1", "--sync"});
    Sent artnet = Send({"--protocol", "artnet", "--universe", "101", "--sync"});
    Sent ddp = Send({"--protocol", "ddp"});
    ASSERT_EQ(e131.frames, 20);
    EXPECT_EQ(e131.data, 40);
    EXPECT_EQ(e131.sync, 20);
    EXPECT_EQ(e131.bytes, 40 * CHANNELS);
    EXPECT_EQ(artnet.data, 40);
    EXPECT_EQ(artnet.sync, 20);
    EXPECT_EQ(ddp.data, 20); // 1020 channels fit one packet
    EXPECT_EQ(ddp.bytes, 20 * UNIVERSES * CHANNELS);

    // The daemon's counters, once the last packets (DDP's) are read.
    Json::Value rows;
    WaitFor([&] { return (rows = Stats())["DDP"]["packetsReceived"].asString() == std::to_string(ddp.data); },
            3000, 20);
    for (const char* id : {"1", "2", "101", "102"}) {
        EXPECT_EQ(rows[id]["packetsReceived"].asString(), "20") << id << rows;
        EXPECT_EQ(rows[id]["bytesReceived"].asString(), std::to_string(20 * CHANNELS)) << id;
        EXPECT_EQ(rows[id]["errors"].asString(), "0") << id;
    }
    EXPECT_EQ(rows["E1.31 Sync"]["packetsReceived"].asString(), std::to_string(e131.sync)) << rows;
    EXPECT_EQ(rows["DDP"]["packetsReceived"].asString(), std::to_string(ddp.data)) << rows;
    EXPECT_EQ(rows["DDP"]["bytesReceived"].asString(), std::to_string(ddp.bytes));
    EXPECT_EQ(rows["DDP"]["startChannel"].asString(), "1-1020");
    EXPECT_FALSE(rows.isMember("E1.31 Errors") || rows.isMember("Ignored")) << rows;

    // dumpcap ends by itself once it has taken the packets expected. The kernel may hold the last
    // ones back until more traffic comes, so small datagrams to the discard port follow (captured,
    // ignored below); a packet that is missing still shows in the counts.
    int filler = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in discard{};
    discard.sin_family = AF_INET;
    discard.sin_port = htons(9);
    discard.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < 200 && dumpcap.running(); i++) {
        sendto(filler, "x", 1, 0, reinterpret_cast<sockaddr*>(&discard), sizeof(discard));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    close(filler);
    if (dumpcap.running()) {
        dumpcap.signal(SIGINT);
    }
    dumpcap.waitForExit(5000);

    // E1.31 data: per universe sequence 0, 1, 2 ..., 510 slots after a zero start code, the ramp.
    auto acn = Tshark(
        capture, "acn.dmx.universe",
        {"acn.dmx.universe", "acn.dmx.seq_number", "acn.dmx.count", "acn.dmx.start_code2", "acn.dmx.data"});
    ASSERT_EQ(long(acn.size()), e131.data);
    std::map<int, int> frames;
    for (const auto& p : acn) {
        int universe = std::stoi(p[0]), frame = frames[universe]++;
        EXPECT_EQ(std::stoi(p[1]), frame % 256);
        EXPECT_EQ(p[2], "511");
        EXPECT_EQ(p[3], "0");
        EXPECT_TRUE(IsRamp(AcnSlots(p[4]), (universe - 1) * CHANNELS, frame)) << p[4].substr(0, 200);
    }
    EXPECT_EQ(frames, (std::map<int, int>{{1, 20}, {2, 20}}));
    // E1.31 sync: root vector 8, framing vector 1, sequence counting up, sync universe 1.
    auto sync = Tshark(capture, "udp.dstport == 5568 && udp.length == 57", {"data.data"});
    ASSERT_EQ(long(sync.size()), e131.sync);
    for (size_t i = 0; i < sync.size(); i++) {
        auto b = Hex(sync[i][0]);
        ASSERT_EQ(b.size(), 49u);
        EXPECT_EQ(b[21], 8);
        EXPECT_EQ(b[43], 1);
        EXPECT_EQ(b[44], i % 256);
        EXPECT_EQ(b[45] * 256 + b[46], 1);
    }

    // Art-Net: ArtDmx with sequence 1, 2, ... per universe, 510 channels, then one ArtSync a frame.
    auto art = Tshark(capture, "artnet",
                      {"artnet.header.opcode", "artnet.output.sequence", "artnet.output.universe",
                       "artnet.output.length", "dmx_chan.data_filter"});
    ASSERT_EQ(long(art.size()), artnet.data + artnet.sync);
    frames.clear();
    int syncs = 0;
    for (const auto& p : art) {
        if (p[0] == "0x5200") {
            syncs++;
            continue;
        }
        ASSERT_EQ(p[0], "0x5000");
        int universe = std::stoi(p[2]), frame = frames[universe]++;
        EXPECT_EQ(std::stoi(p[1]), frame % 255 + 1);
        EXPECT_EQ(p[3], "510");
        EXPECT_TRUE(IsRamp(Hex(p[4]), (universe - 101) * CHANNELS, frame));
    }
    EXPECT_EQ(syncs, artnet.sync);
    EXPECT_EQ(frames, (std::map<int, int>{{101, 20}, {102, 20}}));

    // DDP: version 1 with push, sequence 1..15 round, RGB 8-bit to display 1, offset 0, 1020 bytes.
    auto ddpPackets = Tshark(capture, "udp.dstport == 4048", {"data.data"});
    ASSERT_EQ(long(ddpPackets.size()), ddp.data) << dumpcap.output();
    for (size_t i = 0; i < ddpPackets.size(); i++) {
        auto b = Hex(ddpPackets[i][0]);
        ASSERT_EQ(b.size(), 10u + 1020u);
        EXPECT_EQ(b[0], 0x41);
        EXPECT_EQ(b[1], i % 15 + 1);
        EXPECT_EQ(b[2], 0x0B);
        EXPECT_EQ(b[3], 1);
        EXPECT_EQ((b[4] << 24) | (b[5] << 16) | (b[6] << 8) | b[7], 0);
        EXPECT_EQ(b[8] * 256 + b[9], 1020);
        EXPECT_TRUE(IsRamp(std::vector<uint8_t>(b.begin() + 10, b.end()), 0, int(i)));
    }
    daemon.signal(SIGTERM);
    EXPECT_EQ(0, daemon.waitForExit(5000));
}

TEST(Kivsend, HelpDocumentsTheOptionsAndBadOptionsAreRefused) {
    std::string out;
    TestMediaDir media;
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string says;
    } cases[] = {{{"-h"}, 0, "--protocol e131|artnet|ddp"},
                 {{"--protocol", "sacn", "127.0.0.1"}, 2, "--protocol must be"},
                 {{"--pattern", "solid:12345", "127.0.0.1"}, 2, "--pattern must be"},
                 {{"--protocol", "ddp", "--multicast", "127.0.0.1"}, 2, "for e131 only"},
                 {{"--channels", "513", "127.0.0.1"}, 2, "--channels must be"},
                 {{"not-an-address"}, 1, "not an IPv4 address"},
                 {{}, 2, "expected one ADDRESS"}};
    for (const Case& c : cases) {
        DaemonProcess sender(media.path(), KIV_RUNTIME_DIR "/kivsend");
        ASSERT_TRUE(sender.start(c.args));
        EXPECT_EQ(c.status, sender.waitForExit(5000));
        EXPECT_NE(sender.output().find(c.says), std::string::npos) << sender.output();
    }
}

} // namespace
