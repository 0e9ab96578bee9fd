// Feeds arbitrary datagrams to every receive path of the bridge. The first byte picks the path
// (E1.31, Art-Net dispatch with the bridge's handlers, DDP, a serial DMX read), the rest is the
// datagram, handed over in a buffer of exactly its size so any read past it is caught. After
// each input the reserved bytes past the channel buffer must be as they were.
//
// Run: BridgeFuzz -dict=fuzz/BridgeFuzz.dict -max_total_time=300 CORPUS_DIR

#include "BridgePackets.h"
#include "BridgeReceive.h"
#include "BridgeState.h"
#include "channeloutput/ChannelOutput.h"
#include "common/Log.h"
#include "e131bridge.h"
#include "player/Sequence.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

namespace {
// Universes near both ends of the buffer and of the universe numbers, for both protocols.
const char* const UNIVERSES = R"({"channelInputs": [{"type": "universes", "enabled": 1, "universes": [
    {"active": 1, "id": 1, "universeCount": 4, "startChannel": 1, "channelCount": 512, "type": 1},
    {"active": 1, "id": 258, "startChannel": 0, "channelCount": 512, "type": 2},
    {"active": 1, "id": 32767, "startChannel": 8388000, "channelCount": 1400, "type": 3},
    {"active": 1, "id": 65535, "startChannel": 8388600, "channelCount": 2000, "type": 0}]}]})";

UniverseEntry dmxInput;
unsigned char reserved[SEQUENCE_RESERVED_BYTES];
long long fakeMicros = 0;

void setUp() {
    std::filesystem::path media = std::filesystem::temp_directory_path() / "kiv-bridge-fuzz";
    std::filesystem::create_directories(media / "config");
    std::ofstream(media / "config/ci-universes.json") << UNIVERSES;
    setenv("KIV_MEDIA_DIR", media.c_str(), 1);
    LG_E131BRIDGE.level = KIVLOG_ERROR;
    freopen("/dev/null", "w", stdout); // DDP queries are reported there
    sequence = new Sequence();
    std::memcpy(reserved, sequence->Data() + KIVD_MAX_CHANNELS, sizeof(reserved));
    BridgeState::ResetUniverseCache();
    LoadInputUniversesFromFile();
    AddArtNetOpcodeHandler(ARTNET_OP_DMX, Bridge_StoreArtNetData);
    AddArtNetOpcodeHandler(ARTNET_OP_SYNC, Bridge_HandleArtNetSync);
    AddArtNetOpcodeHandler(ARTNET_OP_POLL, Bridge_HandleArtNetPoll);
    dmxInput.type = 4;
    dmxInput.startAddress = KIVD_MAX_CHANNELS - 600;
}

// A serial read: the first byte of the datagram sets how long after the last read it came.
void dmxRead(const uint8_t* data, size_t size) {
    if (size < 2) {
        return;
    }
    fakeMicros += data[0] * 50;
    std::vector<uint8_t> bytes(data + 1, data + std::min<size_t>(size, 514));
    Bridge_StoreDMXRead(dmxInput, 1024, bytes.data(), bytes.size(), fakeMicros);
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > BRIDGE_MAX_DATAGRAM + 1) {
        return 0;
    }
    std::vector<uint8_t> datagram(data + 1, data + size);
    uint8_t* packet = datagram.data();
    int len = static_cast<int>(datagram.size());
    switch (data[0] % 4) {
    case 0:
        Bridge_StoreData(packet, len, 1000);
        break;
    case 1:
        Bridge_DispatchArtNet(packet, len, 1000);
        break;
    case 2:
        Bridge_StoreDDPData(packet, len, 1000);
        break;
    default:
        dmxRead(packet, len);
        break;
    }
    if (std::memcmp(reserved, sequence->Data() + KIVD_MAX_CHANNELS, sizeof(reserved)) != 0) {
        fprintf(stderr, "a write went past the channel buffer\n");
        abort();
    }
    if (data[0] == 0xFF) {
        GetE131UniverseBytesReceived();
        ResetBytesReceived();
    }
    return 0;
}
