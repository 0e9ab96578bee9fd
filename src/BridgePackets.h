#pragma once
// Wire formats of the bridge's network inputs (E1.31, Art-Net, DDP), read from a byte array and the
// number of bytes that actually arrived, apart from any socket, so tests and fuzz targets can feed
// datagrams directly. No decoder reads past len. Data pointers returned point into the caller's
// bytes and are only valid as long as those are.

#include <cstdint>
#include <string>

constexpr int E131_PORT = 5568;
constexpr int ARTNET_PORT = 6454;
constexpr int DDP_PORT = 4048;
// Largest datagram read; a receive slot is one byte longer.
constexpr int BRIDGE_MAX_DATAGRAM = 1500;

// E1.31 (streaming ACN): root layer vector 4 carries DMX data, vector 8 the extended packets
// (synchronization, discovery).
constexpr int E131_VECTOR_DATA = 4;
constexpr int E131_VECTOR_EXTENDED = 8;
constexpr int E131_EXTENDED_SYNCHRONIZATION = 1;
constexpr int E131_DATA_OFFSET = 126;

struct E131Packet {
    int rootLength = 0;    // low 12 bits of the root layer's flags and length
    int rootVector = 0;    // low byte of the root layer vector
    int framingVector = 0; // low byte of the framing layer vector (extended packets)
    int sequence = 0;
    int universe = 0;
    int startCode = 0;             // DMX start code (0 unless the datagram held one)
    const uint8_t* data = nullptr; // channel data after the start code
    int dataLength = 0;            // channel bytes that arrived
};
// False when the datagram is shorter than the fields its root vector calls for (22 bytes for any
// packet, 44 for an extended packet, 126 for a data packet).
bool E131_Decode(const uint8_t* packet, int len, E131Packet& out);
// "239.255.H.L": the multicast group that carries the universe.
std::string E131_MulticastGroup(int universe);

// Art-Net 4.
constexpr int ARTNET_OP_POLL = 0x2000;
constexpr int ARTNET_OP_POLL_REPLY = 0x2100;
constexpr int ARTNET_OP_DMX = 0x5000;
constexpr int ARTNET_OP_SYNC = 0x5200;
constexpr int ARTNET_POLL_REPLY_SIZE = 240;

// The little-endian opcode of a datagram that starts with "Art-Net", a zero byte and protocol
// version 14; -1 for anything else (including datagrams shorter than those 12 bytes).
int ArtNet_Opcode(const uint8_t* packet, int len);

struct ArtDmxPacket {
    int sequence = 0;
    int universe = 0;    // 15-bit port address: net, sub-net and universe
    int length = 0;      // the 15-bit length field
    int lengthLow12 = 0; // its low 12 bits, what the unconfigured-universe statistics count
    const uint8_t* data = nullptr;
    int dataLength = 0; // channel bytes that arrived
};
// False when the datagram is shorter than the 18-byte ArtDmx header.
bool ArtNet_DecodeDmx(const uint8_t* packet, int len, ArtDmxPacket& out);

// Fills the 240 bytes of an ArtPollReply for a node at the IPv4 address (network byte order)
// that announces four DMX512 ports, with name as its short (18 bytes) and long (64) names.
void ArtNet_BuildPollReply(uint8_t* reply, uint32_t addressNetworkOrder, int majorVersion, int minorVersion,
                           const std::string& name);

// DDP (Distributed Display Protocol).
constexpr int DDP_FLAG_PUSH = 0x01;
constexpr int DDP_FLAG_QUERY = 0x02;
constexpr int DDP_FLAG_TIMECODE = 0x10;
constexpr int DDP_ID_DISPLAY = 1;
constexpr int DDP_ID_CONFIG = 250;
constexpr int DDP_ID_STATUS = 251;

struct DDPPacket {
    int flags = 0;
    int sequence = 0; // low 4 bits of byte 1; 0 when the sender does not sequence
    int id = 0;       // destination id
    uint32_t offset = 0;
    int length = 0; // the length field
    const uint8_t* data = nullptr;
    int dataLength = 0; // bytes that arrived after the header

    bool push() const { return flags & DDP_FLAG_PUSH; }
    bool query() const { return flags & DDP_FLAG_QUERY; }
};
// False when the datagram is shorter than its header (10 bytes, 14 with a time code).
bool DDP_Decode(const uint8_t* packet, int len, DDPPacket& out);
