#pragma once
// The sender's own packet builders for the three lighting protocols, written from the public
// documents (ANSI E1.31-2018, Art-Net 4, DDP) and kept apart from the daemon's decoders, so what
// kivsend puts on the wire can disagree with what the daemon reads.
//
// An encoder turns one frame (all channels of all universes, in order) into datagrams and owns
// the per-universe sequence counters. Each datagram comes with the UDP port it goes to and, for
// E1.31 multicast, the universe whose group it is addressed to.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct Datagram {
    std::vector<uint8_t> bytes;
    int universe = 0;  // E1.31/Art-Net universe (or sync universe); 0 for DDP
    bool sync = false; // a synchronisation packet rather than channel data
    int channels = 0;  // channel bytes carried (0 for sync packets)
};

struct EncoderSettings {
    int firstUniverse = 1;
    int universes = 1;
    int channelsPerUniverse = 510; // DDP: the frame is universes x channels channels from offset 0
    bool sync = false;             // E1.31 sync packet, ArtSync; DDP always pushes on its last packet
    std::string sourceName = "kivsend";
};

class PacketEncoder {
public:
    virtual ~PacketEncoder() = default;
    // Appends the datagrams of one frame (frame.size() == universes x channels) to out.
    virtual void encodeFrame(const std::vector<uint8_t>& frame, std::vector<Datagram>& out) = 0;
    virtual int port() const = 0;

    // "e131", "artnet" or "ddp"; null for anything else.
    static std::unique_ptr<PacketEncoder> Create(const std::string& protocol,
                                                 const EncoderSettings& settings);
};

// Big-endian and little-endian field writers shared by the encoders.
inline void PutBig16(std::vector<uint8_t>& b, size_t at, unsigned value) {
    b[at] = uint8_t(value >> 8);
    b[at + 1] = uint8_t(value);
}
inline void PutBig32(std::vector<uint8_t>& b, size_t at, uint32_t value) {
    PutBig16(b, at, value >> 16);
    PutBig16(b, at + 2, value & 0xFFFF);
}
