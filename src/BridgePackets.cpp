#include "BridgePackets.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr int E131_ROOT_MIN = 22;     // through the low byte of the root vector
constexpr int E131_EXTENDED_MIN = 44; // through the low byte of the framing vector
constexpr int ARTNET_HEADER = 12;     // id, opcode, protocol version
constexpr int ARTDMX_HEADER = 18;
constexpr int DDP_HEADER = 10;
constexpr int DDP_TIMECODE_HEADER = 14;
const uint8_t ARTNET_ID[8] = {'A', 'r', 't', '-', 'N', 'e', 't', 0};

int be16(const uint8_t* p) {
    return (p[0] << 8) | p[1];
}

uint32_t be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

void putName(uint8_t* field, int size, const std::string& name) {
    std::memcpy(field, name.data(), std::min<size_t>(name.size(), size));
}
} // namespace

bool E131_Decode(const uint8_t* packet, int len, E131Packet& out) {
    out = E131Packet();
    if (len < E131_ROOT_MIN) {
        return false;
    }
    out.rootLength = ((packet[16] & 0x0F) << 8) | packet[17];
    out.rootVector = packet[21];
    if (out.rootVector == E131_VECTOR_EXTENDED) {
        if (len < E131_EXTENDED_MIN) {
            return false;
        }
        out.framingVector = packet[43];
        return true;
    }
    if (out.rootVector != E131_VECTOR_DATA) {
        out.startCode = len > 125 ? packet[125] : 0;
        return true;
    }
    if (len < E131_DATA_OFFSET) {
        return false;
    }
    out.sequence = packet[111];
    out.universe = be16(packet + 113);
    out.startCode = packet[125];
    out.data = packet + E131_DATA_OFFSET;
    out.dataLength = len - E131_DATA_OFFSET;
    return true;
}

std::string E131_MulticastGroup(int universe) {
    return "239.255." + std::to_string((universe >> 8) & 0xFF) + "." + std::to_string(universe & 0xFF);
}

int ArtNet_Opcode(const uint8_t* packet, int len) {
    if (len < ARTNET_HEADER || std::memcmp(packet, ARTNET_ID, sizeof(ARTNET_ID)) != 0 || packet[11] != 14) {
        return -1;
    }
    return packet[8] | (packet[9] << 8);
}

bool ArtNet_DecodeDmx(const uint8_t* packet, int len, ArtDmxPacket& out) {
    out = ArtDmxPacket();
    if (len < ARTDMX_HEADER) {
        return false;
    }
    out.sequence = packet[12];
    out.universe = packet[14] | ((packet[15] << 8) & 0x7F00);
    out.length = ((packet[16] << 8) & 0x7FFF) | packet[17];
    out.lengthLow12 = ((packet[16] & 0x0F) << 8) | packet[17];
    out.data = packet + ARTDMX_HEADER;
    out.dataLength = len - ARTDMX_HEADER;
    return true;
}

void ArtNet_BuildPollReply(uint8_t* reply, uint32_t addressNetworkOrder, int majorVersion, int minorVersion,
                           const std::string& name) {
    std::memset(reply, 0, ARTNET_POLL_REPLY_SIZE);
    std::memcpy(reply, ARTNET_ID, sizeof(ARTNET_ID));
    reply[8] = ARTNET_OP_POLL_REPLY & 0xFF;
    reply[9] = ARTNET_OP_POLL_REPLY >> 8;
    std::memcpy(reply + 10, &addressNetworkOrder, 4);
    reply[14] = ARTNET_PORT & 0xFF;
    reply[15] = ARTNET_PORT >> 8;
    reply[16] = majorVersion & 0xFF;
    reply[17] = minorVersion & 0xFF;
    putName(reply + 26, 18, name);
    putName(reply + 44, 64, name);
    reply[173] = 4;
    std::memset(reply + 174, 0xC0, 4);
}

bool DDP_Decode(const uint8_t* packet, int len, DDPPacket& out) {
    out = DDPPacket();
    if (len < DDP_HEADER) {
        return false;
    }
    out.flags = packet[0];
    int header = (out.flags & DDP_FLAG_TIMECODE) ? DDP_TIMECODE_HEADER : DDP_HEADER;
    if (len < header) {
        return false;
    }
    out.sequence = packet[1] & 0x0F;
    out.id = packet[3];
    out.offset = be32(packet + 4);
    out.length = be16(packet + 8);
    out.data = packet + header;
    out.dataLength = len - header;
    return true;
}
