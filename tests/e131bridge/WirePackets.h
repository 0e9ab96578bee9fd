#pragma once
// Datagrams of the bridge's input protocols, laid out byte by byte as the public documents define
// them (ANSI E1.31-2016, Art-Net 4, DDP), independent of the daemon's own decoder, plus a UDP
// sender and the ArtPollReply fields a receiver reads. Header-only: used by the tests, the fuzz
// target's seeds and the benchmark.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace wire {
using Bytes = std::vector<uint8_t>;

inline void put16(Bytes& b, size_t at, unsigned value) {
    b[at] = (value >> 8) & 0xFF;
    b[at + 1] = value & 0xFF;
}
inline void put32(Bytes& b, size_t at, uint32_t value) {
    put16(b, at, value >> 16);
    put16(b, at + 2, value & 0xFFFF);
}
// ACN PDU flags and length: 0x7 in the top nibble, the PDU's length from this field on.
inline void putFlagsLength(Bytes& b, size_t at) {
    put16(b, at, 0x7000 | ((b.size() - at) & 0x0FFF));
}

// E1.31 root layer for a packet of total bytes: preamble 0x0010, post-amble 0, "ASC-E1.17" id,
// root vector, and a fixed CID.
inline Bytes e131Root(size_t total, uint32_t rootVector) {
    Bytes b(total, 0);
    put16(b, 0, 0x0010);
    const char id[12] = {'A', 'S', 'C', '-', 'E', '1', '.', '1', '7', 0, 0, 0};
    std::memcpy(&b[4], id, 12);
    put32(b, 18, rootVector);
    for (int i = 0; i < 16; i++) {
        b[22 + i] = 0xC0 + i;
    }
    return b;
}

// E1.31 data packet (root vector 0x00000004, framing vector 0x00000002, DMP vector 0x02).
inline Bytes E131Data(int universe, int sequence, const Bytes& channels, int startCode = 0,
                      int priority = 100) {
    Bytes b = e131Root(126 + channels.size(), 0x00000004);
    put32(b, 40, 0x00000002);
    std::memcpy(&b[44], "wire test source", 16);
    b[108] = priority;
    put16(b, 109, 0); // synchronization address
    b[111] = sequence;
    b[112] = 0; // options
    put16(b, 113, universe);
    b[117] = 0x02;
    b[118] = 0xA1;
    put16(b, 119, 0x0000);
    put16(b, 121, 0x0001);
    put16(b, 123, 1 + channels.size());
    b[125] = startCode;
    std::copy(channels.begin(), channels.end(), b.begin() + 126);
    putFlagsLength(b, 115);
    putFlagsLength(b, 38);
    putFlagsLength(b, 16);
    return b;
}

// E1.31 synchronization packet: root vector 0x00000008, framing vector 0x00000001, 49 bytes.
inline Bytes E131Sync(int sequence, int syncAddress) {
    Bytes b = e131Root(49, 0x00000008);
    put32(b, 40, 0x00000001);
    b[44] = sequence;
    put16(b, 45, syncAddress);
    putFlagsLength(b, 38);
    putFlagsLength(b, 16);
    return b;
}

// E1.31 universe discovery packet with one page listing the universes.
inline Bytes E131Discovery(const std::vector<int>& universes) {
    Bytes b = e131Root(120 + 2 * universes.size(), 0x00000008);
    put32(b, 40, 0x00000002);
    std::memcpy(&b[44], "wire test source", 16);
    put32(b, 114, 0x00000001);
    for (size_t i = 0; i < universes.size(); i++) {
        put16(b, 120 + 2 * i, universes[i]);
    }
    putFlagsLength(b, 112);
    putFlagsLength(b, 38);
    putFlagsLength(b, 16);
    return b;
}

// Art-Net header: "Art-Net" and a zero, the opcode low byte first, protocol version 14.
inline Bytes artHeader(size_t total, unsigned opcode) {
    Bytes b(total, 0);
    std::memcpy(&b[0], "Art-Net", 8);
    b[8] = opcode & 0xFF;
    b[9] = opcode >> 8;
    b[10] = 0;
    b[11] = 14;
    return b;
}

// ArtDmx (OpCode 0x5000). The port address is 15 bits: net in bits 14-8, sub-net and universe
// below. lengthField -1 writes the real data length.
inline Bytes ArtDmx(int portAddress, int sequence, const Bytes& channels, int lengthField = -1) {
    Bytes b = artHeader(18 + channels.size(), 0x5000);
    b[12] = sequence;
    b[13] = 0; // physical
    b[14] = portAddress & 0xFF;
    b[15] = (portAddress >> 8) & 0x7F;
    put16(b, 16, lengthField < 0 ? channels.size() : lengthField);
    std::copy(channels.begin(), channels.end(), b.begin() + 18);
    return b;
}

inline Bytes ArtSync() {
    return artHeader(14, 0x5200);
}

// ArtPoll (OpCode 0x2000): flags, diagnostics priority.
inline Bytes ArtPoll() {
    Bytes b = artHeader(14, 0x2000);
    b[12] = 0x02;
    b[13] = 0x10;
    return b;
}

// DDP header flags: version 1 in bits 7-6, time code, query and push bits.
constexpr uint8_t DDP_V1 = 0x40;
constexpr uint8_t DDP_TIMECODE = 0x10;
constexpr uint8_t DDP_QUERY = 0x02;
constexpr uint8_t DDP_PUSH = 0x01;

// DDP packet to destination id (1 = the default output device) at a 0-based channel offset, data
// type 0x0B (8-bit RGB). lengthField -1 writes the real data length.
inline Bytes DDPData(uint32_t offset, const Bytes& data, uint8_t flags = DDP_V1, int sequence = 0, int id = 1,
                     int lengthField = -1) {
    size_t header = (flags & DDP_TIMECODE) ? 14 : 10;
    Bytes b(header + data.size(), 0);
    b[0] = flags;
    b[1] = sequence & 0x0F;
    b[2] = 0x0B;
    b[3] = id;
    put32(b, 4, offset);
    put16(b, 8, lengthField < 0 ? data.size() : lengthField);
    if (header == 14) {
        put32(b, 10, 0x12345678); // time code
    }
    std::copy(data.begin(), data.end(), b.begin() + header);
    return b;
}

inline Bytes Ramp(size_t count, uint8_t first = 1) {
    Bytes b(count);
    for (size_t i = 0; i < count; i++) {
        b[i] = static_cast<uint8_t>(first + i);
    }
    return b;
}

// A UDP socket that sends datagrams to one address and port.
class UdpSender {
public:
    UdpSender(const std::string& address, int port, const std::string& fromInterfaceAddress = "") {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        inet_pton(AF_INET, address.c_str(), &to.sin_addr);
        if (!fromInterfaceAddress.empty()) {
            in_addr via{};
            inet_pton(AF_INET, fromInterfaceAddress.c_str(), &via);
            setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &via, sizeof(via));
        }
    }
    ~UdpSender() { close(fd); }
    UdpSender(const UdpSender&) = delete;
    UdpSender& operator=(const UdpSender&) = delete;
    bool send(const Bytes& datagram) const {
        return sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                      sizeof(to)) == static_cast<ssize_t>(datagram.size());
    }
    int descriptor() const { return fd; }

private:
    int fd = -1;
    sockaddr_in to{};
};

// The fields of an ArtPollReply, read from its offsets in Art-Net 4.
struct PollReply {
    std::string id;
    unsigned opcode = 0;
    std::string address;
    unsigned port = 0;
    int versionHi = 0, versionLo = 0;
    std::string shortName, longName, nodeReport;
    unsigned numPorts = 0;
    Bytes portTypes;
    Bytes everythingElse; // bytes 18-25 and 178-239, all of which must be zero here

    static PollReply Parse(const uint8_t* p, size_t len) {
        PollReply r;
        if (len < 240) {
            return r;
        }
        r.id.assign(reinterpret_cast<const char*>(p), 8);
        r.opcode = p[8] | (p[9] << 8);
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, p + 10, text, sizeof(text));
        r.address = text;
        r.port = p[14] | (p[15] << 8);
        r.versionHi = p[16];
        r.versionLo = p[17];
        r.shortName = std::string(reinterpret_cast<const char*>(p + 26), strnlen((const char*)p + 26, 18));
        r.longName = std::string(reinterpret_cast<const char*>(p + 44), strnlen((const char*)p + 44, 64));
        r.nodeReport = std::string(reinterpret_cast<const char*>(p + 108), strnlen((const char*)p + 108, 64));
        r.numPorts = (p[172] << 8) | p[173];
        r.portTypes.assign(p + 174, p + 178);
        r.everythingElse.assign(p + 18, p + 26);
        r.everythingElse.insert(r.everythingElse.end(), p + 178, p + 240);
        return r;
    }
};
} // namespace wire
