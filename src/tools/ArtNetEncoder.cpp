#include "ArtNetEncoder.h"

#include <cstring>

namespace {
constexpr unsigned OP_DMX = 0x5000;
constexpr unsigned OP_SYNC = 0x5200;
constexpr size_t DMX_HEADER = 18;
constexpr size_t SYNC_LENGTH = 14;
} // namespace

ArtNetEncoder::ArtNetEncoder(const EncoderSettings& settings)
    : settings(settings), sequences(settings.universes, 0) {}

// "Art-Net\0", the opcode little-endian, protocol version 14 big-endian.
void ArtNetEncoder::putHeader(std::vector<uint8_t>& b, unsigned opcode) {
    std::memcpy(&b[0], "Art-Net", 8);
    b[8] = uint8_t(opcode & 0xFF);
    b[9] = uint8_t(opcode >> 8);
    PutBig16(b, 10, 14);
}

Datagram ArtNetEncoder::dmxPacket(int index, const uint8_t* channels) {
    // ArtDmx carries an even number of channels.
    const int count = settings.channelsPerUniverse;
    const int length = count + (count & 1);
    const int universe = settings.firstUniverse + index;
    Datagram d;
    d.bytes.assign(DMX_HEADER + length, 0);
    auto& b = d.bytes;
    putHeader(b, OP_DMX);
    uint8_t& sequence = sequences[index];
    sequence = sequence == 255 ? 1 : sequence + 1;
    b[12] = sequence;
    b[13] = 0;                               // physical input port
    b[14] = uint8_t(universe & 0xFF);        // SubUni: sub-net and universe
    b[15] = uint8_t((universe >> 8) & 0x7F); // Net
    PutBig16(b, 16, length);
    std::memcpy(&b[DMX_HEADER], channels, count);
    d.universe = universe;
    d.channels = count;
    return d;
}

void ArtNetEncoder::encodeFrame(const std::vector<uint8_t>& frame, std::vector<Datagram>& out) {
    for (int u = 0; u < settings.universes; u++) {
        out.push_back(dmxPacket(u, frame.data() + size_t(u) * settings.channelsPerUniverse));
    }
    if (settings.sync) {
        Datagram d;
        d.bytes.assign(SYNC_LENGTH, 0); // Aux1 and Aux2 zero
        putHeader(d.bytes, OP_SYNC);
        d.sync = true;
        out.push_back(std::move(d));
    }
}
