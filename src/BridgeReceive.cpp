#include "BridgeReceive.h"

#include "BridgePackets.h"
#include "BridgeState.h"
#include "channeloutput/ChannelOutput.h"
#include "common/Common.h"
#include "common/Log.h"
#include "common/Settings.h"
#include "platform/NetworkInterfaces.h"
#include "player/Sequence.h"
#include "player/Version.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace BridgeState;

namespace {
constexpr int DMX_READ_SIZE = 513;       // start code and 512 channels
constexpr long long DMX_BREAK_US = 3000; // a read gap this long ends a frame

// Copies what lies inside the channel buffer and marks the data as received; returns the number
// of bytes stored.
int storeChannels(const uint8_t* data, long long start, long long count, uint64_t expiry,
                  long long packetTime) {
    state.lastPacketTime = packetTime;
    state.bridgeDataReceived = true;
    if (start < 0) {
        if (-start >= count) {
            return 0;
        }
        data += -start;
        count += start;
        start = 0;
    }
    count = std::min<long long>(count, static_cast<long long>(KIVD_MAX_CHANNELS) - start);
    if (count <= 0 || !sequence) {
        return 0;
    }
    sequence->SetBridgeData(data, static_cast<int>(start), static_cast<int>(count), expiry);
    return static_cast<int>(count);
}

// Only network entries answer to universe numbers: a serial DMX input (universe 0) must not catch
// Art-Net universe 0.
UniverseEntry* findUniverse(int universe) {
    int& cached = state.universeCache[universe & (UNIVERSE_CACHE_SIZE - 1)];
    if (cached == UNIVERSE_NOT_LOOKED_UP) {
        for (size_t i = 0; i < state.inputUniverses.size(); i++) {
            const UniverseEntry& entry = state.inputUniverses[i];
            if (entry.universe == universe && entry.type != UniverseType::DMXSerial) {
                cached = static_cast<int>(i);
                break;
            }
        }
        if (cached == UNIVERSE_NOT_LOOKED_UP) {
            return nullptr;
        }
    }
    return &state.inputUniverses[cached];
}

// After 255 a sender may go on with 0 or 1; otherwise each packet is one more than the last.
void checkSequence(UniverseEntry& entry, int number) {
    if (entry.packetsReceived > 0) {
        int last = entry.lastSequenceNumber;
        if (last == 255 ? number > 1 : number != last + 1) {
            entry.errorPackets++;
        }
    }
    entry.lastSequenceNumber = number;
}

// What an E1.31 or ArtDmx packet brings for one universe.
struct UniverseData {
    int universe;
    int sequence;
    const uint8_t* data;
    int count;        // channels the packet offers, before the entry's size limits them
    int ignoredBytes; // what the statistics count when no entry takes the universe
};

// The shared store path of E1.31 and ArtDmx data: the universe's entry checks the sequence and
// takes at most its own size; an unknown universe only counts.
void storeUniverseData(const UniverseData& in, const char* protocol, long long ms) {
    UniverseEntry* entry = findUniverse(in.universe);
    if (!entry) {
        state.unknownUniverse.packetsReceived++;
        state.unknownUniverse.bytesReceived += in.ignoredBytes;
        LogDebug(LG_E131BRIDGE, "Received %s data packet for unconfigured universe %d\n", protocol,
                 in.universe);
        return;
    }
    checkSequence(*entry, in.sequence);
    int count = std::min(entry->size, in.count);
    entry->bytesReceived +=
        storeChannels(in.data, entry->startAddress - 1LL, count, ms + state.expireOffSet, ms);
    entry->packetsReceived++;
}

// A 1-based sequence that wraps from 15 to 1; 0 means the sender does not sequence.
void checkDDPSequence(int number) {
    if (number == 0) {
        return;
    }
    if (state.ddpLastSequence != 0) {
        bool outOfOrder = number == 1 ? state.ddpLastSequence != 15 : state.ddpLastSequence != number - 1;
        if (outOfOrder) {
            state.ddpErrors++;
        }
    }
    state.ddpLastSequence = number;
}

// Queries are reported, never answered.
void reportDDPOther(const DDPPacket& p) {
    if (p.query() && p.id == DDP_ID_CONFIG) {
        printf("Query config packet: %d \n", p.id);
    } else if (p.query() && p.id == DDP_ID_STATUS) {
        printf("Query status packet: %d \n", p.id);
    } else {
        printf("Unknown packet: %d \n", p.id);
    }
}

// Receives batches until the socket is dry and hands each datagram, with the bytes that arrived,
// to handle. The receive time is taken once: before the first receive, or right after it.
template <typename Handler> bool receiveBatches(int fd, bool timeBeforeReceive, Handler handle) {
    long long ms = timeBeforeReceive ? GetTimeMS() : -1;
    bool result = false;
    while (true) {
        int count = recvmmsg(fd, state.batch.msgs, BATCH_SIZE, MSG_DONTWAIT, nullptr);
        if (count <= 0) {
            break;
        }
        if (ms < 0) {
            ms = GetTimeMS();
        }
        std::lock_guard<std::mutex> lk(state.inputUniversesLock);
        for (int i = 0; i < count; i++) {
            result |= handle(state.batch.buffers[i], static_cast<int>(state.batch.msgs[i].msg_len), ms);
            state.batch.msgs[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
        }
    }
    return result;
}

std::string text(uint64_t value) {
    return std::to_string(value);
}

Json::Value statisticsRow(const Json::Value& id, const Json::Value& start, const std::string& bytes,
                          const std::string& packets, const std::string& errors) {
    Json::Value row;
    row["id"] = id;
    row["startChannel"] = start;
    row["bytesReceived"] = bytes;
    row["packetsReceived"] = packets;
    row["errors"] = errors;
    return row;
}

std::string ddpChannelRange() {
    return text(state.ddpMinChannel) + "-" +
           (state.ddpMaxChannel > state.ddpMinChannel ? text(state.ddpMaxChannel) : "-");
}
} // namespace

bool Bridge_ReceiveE131Data() {
    return receiveBatches(state.bridgeSock, true, Bridge_StoreData);
}

bool Bridge_ReceiveArtNetData() {
    return receiveBatches(state.artnetSock, false, Bridge_DispatchArtNet);
}

bool Bridge_ReceiveDDPData() {
    return receiveBatches(state.ddpSock, false, Bridge_StoreDDPData);
}

bool Bridge_StoreData(uint8_t* packet, int len, long long ms) {
    E131Packet p;
    if (!E131_Decode(packet, len, p)) {
        state.e131Errors++;
        LogDebug(LG_E131BRIDGE, "Ignoring e1.31 packet of %d bytes, shorter than its header\n", len);
        return false;
    }
    if (p.rootVector == E131_VECTOR_DATA && p.startCode == 0) {
        storeUniverseData({p.universe, p.sequence, p.data, p.dataLength, p.rootLength}, "e1.31", ms);
        return false;
    }
    if (p.rootVector == E131_VECTOR_EXTENDED && p.framingVector == E131_EXTENDED_SYNCHRONIZATION) {
        state.e131SyncPackets++;
        return true;
    }
    state.e131Errors++;
    if (p.rootVector == E131_VECTOR_EXTENDED) {
        LogDebug(LG_E131BRIDGE, "Unknown e1.31 extended packet type %d\n", p.framingVector);
        return false;
    }
    LogDebug(LG_E131BRIDGE, "Unknown e1.31 packet type %d, start code %d\n", p.rootVector, p.startCode);
    return false;
}

bool Bridge_DispatchArtNet(uint8_t* packet, int len, long long ms) {
    int opcode = ArtNet_Opcode(packet, len);
    if (opcode < 0) {
        return false;
    }
    auto handler = state.artNetOpcodeHandlers.find(opcode);
    return handler != state.artNetOpcodeHandlers.end() && handler->second(packet, len, ms);
}

bool Bridge_StoreArtNetData(uint8_t* packet, int len, long long ms) {
    ArtDmxPacket p;
    if (!ArtNet_DecodeDmx(packet, len, p) || packet[9] != 0x50 || packet[8] != 0) {
        return false;
    }
    storeUniverseData({p.universe, p.sequence, p.data, std::min(p.length, p.dataLength), p.lengthLow12},
                      "ArtNet", ms);
    return false;
}

bool Bridge_HandleArtNetSync(uint8_t*, int, long long) {
    return true;
}

bool Bridge_HandleArtNetPoll(uint8_t* packet, int len, long long) {
    if (len < 10 || packet[9] != 0x20 || packet[8] != 0 || state.artnetSock < 0) {
        return false;
    }
    std::string name = getSetting("HostName");
    if (name.empty()) {
        name = "KIV";
    }
    uint8_t reply[ARTNET_POLL_REPLY_SIZE];
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(ARTNET_PORT);
    to.sin_addr.s_addr = INADDR_BROADCAST;
    int major = atoi(getKIVMajorVersion());
    int minor = atoi(getKIVMinorVersion());
    for (const auto& interface : GetIPv4Interfaces()) {
        if (startsWith(interface.name, "usb") || startsWith(interface.name, "lo")) {
            continue;
        }
        ArtNet_BuildPollReply(reply, interface.address.s_addr, major, minor, name);
        if (sendto(state.artnetSock, reply, sizeof(reply), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)) <
            0) {
            LogDebug(LG_E131BRIDGE, "Could not send ArtPollReply for %s: %s\n", interface.name.c_str(),
                     strerror(errno));
        }
    }
    return false;
}

bool Bridge_StoreDDPData(uint8_t* packet, int len, long long ms) {
    DDPPacket p;
    if (!DDP_Decode(packet, len, p)) {
        state.ddpErrors++;
        LogDebug(LG_E131BRIDGE, "Ignoring DDP packet of %d bytes, shorter than its header\n", len);
        return false;
    }
    if (p.id != DDP_ID_DISPLAY) {
        reportDDPOther(p);
        return false;
    }
    state.ddpPacketsReceived++;
    checkDDPSequence(p.sequence);
    int count = std::min(p.length, p.dataLength);
    int stored = storeChannels(p.data, p.offset, count, ms + state.expireOffSet, ms);
    if (stored > 0) {
        state.ddpMinChannel = std::min(state.ddpMinChannel, p.offset + 1);
        state.ddpMaxChannel = std::max(state.ddpMaxChannel, p.offset + static_cast<unsigned int>(stored));
    }
    state.ddpBytesReceived += stored;
    return p.push();
}

void Bridge_StoreDMXRead(UniverseEntry& entry, int channelCount, const uint8_t* bytes, int count,
                         long long nowMicros) {
    if (count <= 0) {
        return;
    }
    long long gap = nowMicros - entry.lastReadTime;
    entry.lastReadTime = nowMicros;
    long long nowMS = nowMicros / 1000;
    uint64_t expiry = nowMS + 2 * state.expireOffSet;
    if (gap > DMX_BREAK_US && bytes[0] == 0) {
        storeChannels(bytes + 1, entry.startAddress, std::min(count - 1, channelCount), expiry,
                      nowMS + state.expireOffSet);
        entry.dmxOffset = count - 1;
        entry.packetsReceived++;
        entry.bytesReceived += count - 1;
    } else if (gap >= DMX_BREAK_US) {
        entry.errorPackets++;
    } else {
        int offset = entry.dmxOffset;
        if (offset <= channelCount && std::min(count, channelCount - offset) > 0) {
            storeChannels(bytes, static_cast<long long>(entry.startAddress) + offset,
                          std::min(count, channelCount - offset), expiry, nowMS + state.expireOffSet);
        }
        entry.dmxOffset += count;
        entry.bytesReceived += count;
    }
}

bool Bridge_ReadDMX(int fd, int channelCount) {
    uint8_t bytes[DMX_READ_SIZE];
    while (true) {
        std::memset(bytes, 0, sizeof(bytes));
        int count = read(fd, bytes, sizeof(bytes));
        if (count <= 0) {
            break;
        }
        long long now = GetTimeMicros();
        std::lock_guard<std::mutex> lk(state.inputUniversesLock);
        if (UniverseEntry* entry = FindDMXEntry(fd)) {
            Bridge_StoreDMXRead(*entry, channelCount, bytes, count, now);
        }
    }
    return false;
}

Json::Value GetE131UniverseBytesReceived() {
    std::lock_guard<std::mutex> lk(state.inputUniversesLock);
    Json::Value rows(Json::arrayValue);
    if (state.ddpBytesReceived != 0) {
        rows.append(statisticsRow("DDP", ddpChannelRange(), text(state.ddpBytesReceived),
                                  text(state.ddpPacketsReceived), text(state.ddpErrors)));
    }
    for (const UniverseEntry& e : state.inputUniverses) {
        Json::Value id = e.deviceName.empty() ? Json::Value(e.universe) : Json::Value(e.deviceName);
        rows.append(statisticsRow(id, e.startAddress, text(e.bytesReceived), text(e.packetsReceived),
                                  text(e.errorPackets)));
    }
    if (state.e131Errors != 0) {
        rows.append(statisticsRow("E1.31 Errors", "-", "-", "-", text(state.e131Errors)));
    }
    if (state.unknownUniverse.packetsReceived != 0) {
        rows.append(statisticsRow("Ignored", "-", text(state.unknownUniverse.bytesReceived),
                                  text(state.unknownUniverse.packetsReceived), "-"));
    }
    if (state.e131SyncPackets != 0) {
        rows.append(statisticsRow("E1.31 Sync", "-", "-", text(state.e131SyncPackets), "-"));
    }
    Json::Value result;
    result["universes"] = rows;
    return result;
}

namespace {
// Statistics only; the caller holds inputUniversesLock.
void resetCounters() {
    for (auto& e : state.inputUniverses) {
        e.bytesReceived = 0;
        e.packetsReceived = 0;
        e.errorPackets = 0;
        e.lastSequenceNumber = 0;
    }
    state.ddpBytesReceived = 0;
    state.ddpPacketsReceived = 0;
    state.ddpErrors = 0;
    state.e131Errors = 0;
    state.e131SyncPackets = 0;
    state.unknownUniverse.packetsReceived = 0;
    state.unknownUniverse.bytesReceived = 0;
}
} // namespace

void ResetBytesReceived() {
    std::lock_guard<std::mutex> lk(state.inputUniversesLock);
    resetCounters();
}

void BridgeState::State::Reset() {
    std::lock_guard<std::mutex> lk(inputUniversesLock);
    inputUniverses.clear();
    ResetUniverseCache();
    resetCounters();
    ddpMinChannel = DDP_NO_MIN_CHANNEL;
    ddpMaxChannel = 0;
    ddpLastSequence = 0;
    expireOffSet = DEFAULT_EXPIRE_MS;
}
