#pragma once
// Bridge input: live channel data from E1.31, Art-Net and DDP sockets and from serial DMX512
// receivers, written into the sequence's channel buffer with an expiry time. Free functions over
// the module state of BridgeState.h; packets are handled in BridgeReceive.h. Everything runs on the
// main thread, except the statistics calls, which the API threads may make too.

#include <jsoncpp/json/json.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>

// The "type" codes of ci-universes.json, and DMX serial inputs, which ci-dmx.json adds.
enum class UniverseType : int {
    E131Multicast = 0,
    E131Unicast = 1,
    ArtNet = 2, // both Art-Net codes are handled the same on input
    ArtNetUnicast = 3,
    DMXSerial = 4,
};
inline bool IsE131(UniverseType type) {
    return type == UniverseType::E131Multicast || type == UniverseType::E131Unicast;
}
inline bool IsArtNet(UniverseType type) {
    return type == UniverseType::ArtNet || type == UniverseType::ArtNetUnicast;
}

// One configured input universe (or serial DMX input).
struct UniverseEntry {
    int active = 0;       // non-zero when in use (the JSON "active")
    int universe = -1;    // E1.31 universe, or Art-Net 15-bit port address
    int size = 512;       // channels the universe carries
    int startAddress = 0; // first channel: 1-based for network entries, 0-based for DMX serial ones
    UniverseType type = UniverseType::E131Multicast;
    char unicastAddress[16] = {}; // dotted IPv4 text (type 1 only)
    // Counters are 64-bit so a long-running bridge never overflows them.
    int64_t bytesReceived = 0;   // channel bytes accepted
    int64_t packetsReceived = 0; // packets (or DMX frames) accepted
    int64_t errorPackets = 0;    // sequence gaps
    int lastSequenceNumber = 0;
    int priority = 0;         // stored, not used on input
    std::string deviceName;   // shown instead of the number in statistics (DMX: the device)
    int64_t lastReadTime = 0; // microseconds of the last serial read (DMX)
    int dmxOffset = 0;        // channel bytes stored for the DMX frame in progress
    int serialFd = -1;        // descriptor of the DMX serial device
};

// Called once at start-up: watches the two input files and the setting "DisableFakeNetworkBridges"
// and loads through the file monitor's trigger. The map is not used: the bridge registers its
// descriptors with the EPollManager itself, since reloads replace them.
void Bridge_Initialize(std::map<int, std::function<bool(int)>>& callbacks);
void Bridge_Shutdown();
// True once any data was accepted (never cleared).
bool HasBridgeData();
// {"universes": [rows]}: DDP, each entry, then E1.31 errors, ignored and sync packets when seen.
Json::Value GetE131UniverseBytesReceived();
void ResetBytesReceived();

// The Art-Net socket (port 6454), opened first when it is closed; other parts may share it.
// bindAddress is IPv4 in network byte order, 0 for any.
int CreateArtNetSocket(unsigned int bindAddress);
// A handler gets the datagram, the number of bytes that arrived and the receive time (GetTimeMS);
// true asks for the frame to be output now. Handlers run on the main thread with
// the bridge's table lock held, so they must not call the statistics functions.
using ArtNetOpcodeHandler = std::function<bool(uint8_t* packet, int len, long long ms)>;
// Replaces any earlier handler of the opcode.
void AddArtNetOpcodeHandler(int opcode, ArtNetOpcodeHandler handler);
void RemoveArtNetOpcodeHandler(int opcode);

// Configuration and socket lifecycle, main thread only (public for tests).
bool Bridge_Initialize_Internal();
bool LoadInputUniversesFromFile();
void InputUniversesPrint();
void BridgeReloadUDP();
void BridgeShutdownUDP();
void BridgeReloadDMXInputs();
// Drains a socket that is open while no input is configured, warning once per sender.
bool AddWarningForProtocol(int fd, const std::string& protocol);
