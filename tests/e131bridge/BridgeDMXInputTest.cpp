// Serial DMX512 inputs configured in ci-dmx.json, fed through a pseudo-terminal pair.

#include "BridgeReceive.h"
#include "e131bridge/BridgeFixture.h"

#include <fcntl.h>
#include <unistd.h>

#include <thread>

using wire::Bytes;

class BridgeDMXInput : public BridgeFixture {
protected:
    void SetUp() override {
        BridgeFixture::SetUp();
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(0, grantpt(master));
        ASSERT_EQ(0, unlockpt(master));
        device = std::string(ptsname(master)).substr(5); // "pts/N"
    }
    void TearDown() override {
        BridgeFixture::TearDown();
        close(master);
    }
    void WriteDMXConfig(int startAddress, int channelCount, const std::string& otherDevice = "") {
        std::string inputs = R"({"type": "dmx", "enabled": true, "device": ")" + device +
                             R"(", "startAddress": )" + std::to_string(startAddress) +
                             R"(, "channelCount": )" + std::to_string(channelCount) + "}";
        if (!otherDevice.empty()) {
            inputs += R"(, {"type": "dmx", "enabled": true, "device": ")" + otherDevice +
                      R"(", "startAddress": 1, "channelCount": 512})";
        }
        inputs += R"(, {"type": "dmx", "enabled": false, "device": "ttyOff", "startAddress": 1})";
        media.write("config/ci-dmx.json", R"({"channelInputs": [)" + inputs + "]}", true);
    }
    const UniverseEntry* Input() const {
        for (const auto& e : BridgeState::state.inputUniverses) {
            if (e.type == UniverseType::DMXSerial && e.deviceName == device) {
                return &e;
            }
        }
        return nullptr;
    }
    // A break (a pause longer than 3 ms), then the start code and the channels.
    void SendFrame(const Bytes& channels) {
        std::this_thread::sleep_for(std::chrono::microseconds(3500));
        Bytes frame(1, 0);
        frame.insert(frame.end(), channels.begin(), channels.end());
        ASSERT_EQ(static_cast<ssize_t>(frame.size()), write(master, frame.data(), frame.size()));
    }
    int master = -1;
    std::string device;
};

TEST_F(BridgeDMXInput, FramesLandAtTheConfiguredChannelsAndAreCounted) {
    WriteDMXConfig(101, 512);
    Start(R"({"channelInputs": []})");
    ASSERT_NE(nullptr, Input());
    EXPECT_EQ(100, Input()->startAddress);
    SendFrame(wire::Ramp(512));
    ASSERT_TRUE(PumpUntil([this] { return Input()->bytesReceived == 512; }));
    EXPECT_EQ(wire::Ramp(512), Channels(100, 512));
    Json::Value row = GetE131UniverseBytesReceived()["universes"][0];
    EXPECT_EQ(device, row["id"].asString());
    EXPECT_EQ(100, row["startChannel"].asInt());
    EXPECT_EQ("1", row["packetsReceived"].asString());
}

TEST_F(BridgeDMXInput, AnUnopenableDeviceIsWarnedAboutAndTheOthersStillRun) {
    WriteDMXConfig(1, 16, "ttyNoSuchDMX");
    Start("");
    EXPECT_TRUE(HasWarning("Could not open DMX input device ttyNoSuchDMX"));
    EXPECT_NE(nullptr, Input());
    int dmxEntries = 0;
    for (const auto& e : BridgeState::state.inputUniverses) {
        dmxEntries += e.type == UniverseType::DMXSerial;
    }
    EXPECT_EQ(1, dmxEntries) << "the disabled and the failed input add nothing";
}

TEST_F(BridgeDMXInput, NetworkReloadsKeepTheInputAndItsCountersAndArtNetUniverseZeroApart) {
    WriteDMXConfig(101, 16);
    media.write("config/ci-universes.json", R"({"channelInputs": [{"type": "universes", "enabled": 1,
        "universes": [{"active": 1, "id": 0, "startChannel": 2001, "channelCount": 16, "type": 2}]}]})");
    Start("");
    SendFrame(Bytes(16, 0x11));
    ASSERT_TRUE(PumpUntil([this] { return Input()->packetsReceived == 1; }));
    BridgeReloadUDP(); // network entries now follow the serial one
    ASSERT_NE(nullptr, Input());
    EXPECT_EQ(1, Input()->packetsReceived);
    wire::UdpSender("127.0.0.1", 6454).send(wire::ArtDmx(0, 0, Bytes(16, 0x22)));
    ASSERT_TRUE(PumpUntil([] { return Channel(2000) == 0x22; }));
    EXPECT_EQ(0x11, Channel(100));
    SendFrame(Bytes(16, 0x33));
    ASSERT_TRUE(PumpUntil([] { return Channel(100) == 0x33; }));
    EXPECT_EQ(2, Input()->packetsReceived);
    EXPECT_EQ(1, Entry(0)->packetsReceived);
}

TEST_F(BridgeDMXInput, ReloadingTheDMXFileReplacesTheInput) {
    WriteDMXConfig(101, 16);
    Start("");
    WriteDMXConfig(201, 8);
    ASSERT_TRUE(PumpUntil([this] { return Input() && Input()->startAddress == 200; }));
    Drain(); // a reload closes the port, dropping what is queued on it
    EXPECT_EQ(200, Input()->startAddress);
    EXPECT_EQ(8, Input()->size);
    SendFrame(Bytes(16, 0x44));
    ASSERT_TRUE(PumpUntil([] { return Channel(207) == 0x44; }));
    EXPECT_EQ(0, Channel(208));
    EXPECT_EQ(0, Channel(100));
}

TEST_F(BridgeDMXInput, DeviceNamesThatLeaveDevAreRefusedWithAWarning) {
    const std::string names[] = {"../dev/" + device, "pts/../" + device, "pts//" + device.substr(4), ""};
    std::string inputs;
    for (const auto& name : names) {
        inputs += std::string(inputs.empty() ? "" : ", ") +
                  R"({"type": "dmx", "enabled": true, "device": ")" + name +
                  R"(", "startAddress": 1, "channelCount": 16})";
    }
    media.write("config/ci-dmx.json", R"({"channelInputs": [)" + inputs + "]}", true);
    Start("");
    for (const auto& name : names) {
        EXPECT_TRUE(
            HasWarning("DMX input: device name \"" + name + "\" is not a plain device name; it was refused."))
            << name;
    }
    for (const auto& e : BridgeState::state.inputUniverses) {
        EXPECT_NE(UniverseType::DMXSerial, e.type) << "opened " << e.deviceName;
    }
}
