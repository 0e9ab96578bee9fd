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
    last_packet_time = packetTime;
    bridgeDataReceived = true;
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
    int& cached = UniverseCache[universe & (UNIVERSE_CACHE_SIZE - 1)];
    if (cached == UNIVERSE_NOT_LOOKED_UP) {
        for (int i = 0; i < InputUniverseCount; i++) {
            if (InputUniverses[i].universe == universe && InputUniverses[i].type != TYPE_DMX_SERIAL) {
                cached = i;
                break;
            }
        }
        if (cached == UNIVERSE_NOT_LOOKED_UP) {
            return nullptr;
        }
    }
    return &InputUniverses[cached];
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

bool storeE131Data(const E131Packet& p, long long ms) {
    UniverseEntry* entry = findUniverse(p.universe);
    if (!entry) {
        unknownUniverse.packetsReceived++;
        unknownUniverse.bytesReceived += p.rootLength;
        LogDebug(LG_E131BRIDGE, "Received e1.31 data packet for unconfigured universe %d\n", p.universe);
        return false;
    }
    checkSequence(*entry, p.sequence);
    int count = std::min(entry->size, p.dataLength);
    entry->bytesReceived += storeChannels(p.data, entry->startAddress - 1LL, count, ms + expireOffSet, ms);
    entry->packetsReceived++;
    return false;
}

// A 1-based sequence that wraps from 15 to 1; 0 means the sender does not sequence.
void checkDDPSequence(int number) {
    if (number == 0) {
        return;
    }
    if (ddpLastSequence != 0) {
        bool outOfOrder = number == 1 ? ddpLastSequence != 15 : ddpLastSequence != number - 1;
        if (outOfOrder) {
            ddpErrors++;
        }
    }
    ddpLastSequence = number;
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
        int count = recvmmsg(fd, msgs, BATCH_SIZE, MSG_DONTWAIT, nullptr);
        if (count <= 0) {
            break;
        }
        if (ms < 0) {
            ms = GetTimeMS();
        }
        std::lock_guard<std::mutex> lk(InputUniversesLock);
        for (int i = 0; i < count; i++) {
            result |= handle(buffers[i], static_cast<int>(msgs[i].msg_len), ms);
            msgs[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
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
    return text(ddpMinChannel) + "-" + (ddpMaxChannel > ddpMinChannel ? text(ddpMaxChannel) : "-");
}
} // namespace

bool Bridge_ReceiveE131Data() {
    return receiveBatches(bridgeSock, true, Bridge_StoreData);
}

bool Bridge_ReceiveArtNetData() {
    return receiveBatches(artnetSock, false, Bridge_DispatchArtNet);
}

bool Bridge_ReceiveDDPData() {
    return receiveBatches(ddpSock, false, Bridge_StoreDDPData);
}

bool Bridge_StoreData(uint8_t* packet, int len, long long ms) {
    E131Packet p;
    if (!E131_Decode(packet, len, p)) {
        e131Errors++;
        LogDebug(LG_E131BRIDGE, "Ignoring e1.31 packet of %d bytes, shorter than its header\n", len);
        return false;
    }
    if (p.rootVector == E131_VECTOR_DATA && p.startCode == 0) {
        return storeE131Data(p, ms);
    }
    if (p.rootVector == E131_VECTOR_EXTENDED && p.framingVector == E131_EXTENDED_SYNCHRONIZATION) {
        e131SyncPackets++;
        return true;
    }
    e131Errors++;
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
    auto handler = ArtNetOpcodeHandlers.find(opcode);
    return handler != ArtNetOpcodeHandlers.end() && handler->second(packet, len, ms);
}

bool Bridge_StoreArtNetData(uint8_t* packet, int len, long long ms) {
    ArtDmxPacket p;
    if (!ArtNet_DecodeDmx(packet, len, p) || packet[9] != 0x50 || packet[8] != 0) {
        return false;
    }
    UniverseEntry* entry = findUniverse(p.universe);
    if (!entry) {
        unknownUniverse.packetsReceived++;
        unknownUniverse.bytesReceived += p.lengthLow12;
        LogDebug(LG_E131BRIDGE, "Received ArtNet data packet for unconfigured universe %d\n", p.universe);
        return false;
    }
    checkSequence(*entry, p.sequence);
    entry->packetsReceived++;
    int count = std::min({p.length, entry->size, p.dataLength});
    entry->bytesReceived += storeChannels(p.data, entry->startAddress - 1LL, count, ms + expireOffSet, ms);
    return false;
}

bool Bridge_HandleArtNetSync(uint8_t*, int, long long) {
    return true;
}

bool Bridge_HandleArtNetPoll(uint8_t* packet, int len, long long) {
    if (len < 10 || packet[9] != 0x20 || packet[8] != 0 || artnetSock < 0) {
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
        if (sendto(artnetSock, reply, sizeof(reply), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)) < 0) {
            LogDebug(LG_E131BRIDGE, "Could not send ArtPollReply for %s: %s\n", interface.name.c_str(),
                     strerror(errno));
        }
    }
    return false;
}

bool Bridge_StoreDDPData(uint8_t* packet, int len, long long ms) {
    DDPPacket p;
    if (!DDP_Decode(packet, len, p)) {
        ddpErrors++;
        LogDebug(LG_E131BRIDGE, "Ignoring DDP packet of %d bytes, shorter than its header\n", len);
        return false;
    }
    if (p.id != DDP_ID_DISPLAY) {
        reportDDPOther(p);
        return false;
    }
    ddpPacketsReceived++;
    checkDDPSequence(p.sequence);
    int count = std::min(p.length, p.dataLength);
    int stored = storeChannels(p.data, p.offset, count, ms + expireOffSet, ms);
    if (stored > 0) {
        ddpMinChannel = std::min(ddpMinChannel, p.offset + 1);
        ddpMaxChannel = std::max(ddpMaxChannel, p.offset + static_cast<unsigned int>(stored));
    }
    ddpBytesReceived += stored;
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
    uint64_t expiry = nowMS + 2 * expireOffSet;
    if (gap > DMX_BREAK_US && bytes[0] == 0) {
        storeChannels(bytes + 1, entry.startAddress, std::min(count - 1, channelCount), expiry,
                      nowMS + expireOffSet);
        entry.dmxOffset = count - 1;
        entry.packetsReceived++;
        entry.bytesReceived += count - 1;
    } else if (gap >= DMX_BREAK_US) {
        entry.errorPackets++;
    } else {
        int offset = entry.dmxOffset;
        if (offset <= channelCount && std::min(count, channelCount - offset) > 0) {
            storeChannels(bytes, static_cast<long long>(entry.startAddress) + offset,
                          std::min(count, channelCount - offset), expiry, nowMS + expireOffSet);
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
        std::lock_guard<std::mutex> lk(InputUniversesLock);
        if (UniverseEntry* entry = FindDMXEntry(fd)) {
            Bridge_StoreDMXRead(*entry, channelCount, bytes, count, now);
        }
    }
    return false;
}

Json::Value GetE131UniverseBytesReceived() {
    std::lock_guard<std::mutex> lk(InputUniversesLock);
    Json::Value rows(Json::arrayValue);
    if (ddpBytesReceived != 0) {
        rows.append(statisticsRow("DDP", ddpChannelRange(), text(ddpBytesReceived), text(ddpPacketsReceived),
                                  text(ddpErrors)));
    }
    for (int i = 0; i < InputUniverseCount; i++) {
        const UniverseEntry& e = InputUniverses[i];
        Json::Value id = e.deviceName.empty() ? Json::Value(e.universe) : Json::Value(e.deviceName);
        rows.append(statisticsRow(id, e.startAddress, text(e.bytesReceived), text(e.packetsReceived),
                                  text(e.errorPackets)));
    }
    if (e131Errors != 0) {
        rows.append(statisticsRow("E1.31 Errors", "-", "-", "-", text(e131Errors)));
    }
    if (unknownUniverse.packetsReceived != 0) {
        rows.append(statisticsRow("Ignored", "-", text(unknownUniverse.bytesReceived),
                                  text(unknownUniverse.packetsReceived), "-"));
    }
    if (e131SyncPackets != 0) {
        rows.append(statisticsRow("E1.31 Sync", "-", "-", text(e131SyncPackets), "-"));
    }
    Json::Value result;
    result["universes"] = rows;
    return result;
}

void ResetBytesReceived() {
    std::lock_guard<std::mutex> lk(InputUniversesLock);
    for (auto& e : InputUniverses) {
        e.bytesReceived = 0;
        e.packetsReceived = 0;
        e.errorPackets = 0;
        e.lastSequenceNumber = 0;
    }
    ddpBytesReceived = 0;
    ddpPacketsReceived = 0;
    ddpErrors = 0;
    e131Errors = 0;
    e131SyncPackets = 0;
    unknownUniverse.packetsReceived = 0;
    unknownUniverse.bytesReceived = 0;
}
