#include "E131Encoder.h"

#include <cstring>
#include <random>

namespace {
constexpr size_t DATA_HEADER = 126; // root 38 + framing 77 + DMP 10 + start code 1
constexpr size_t SYNC_LENGTH = 49;

// ACN PDU flags (0x7) and the length of the PDU that starts at `at` and runs to the end.
void putFlagsLength(std::vector<uint8_t>& b, size_t at) {
    PutBig16(b, at, 0x7000 | ((b.size() - at) & 0x0FFF));
}
} // namespace

E131Encoder::E131Encoder(const EncoderSettings& settings)
    : settings(settings), sequences(settings.universes, 0) {
    // A CID is a UUID that names this source; a fresh random one per run, version 4.
    std::random_device random;
    for (auto& byte : cid) {
        byte = uint8_t(random());
    }
    cid[6] = (cid[6] & 0x0F) | 0x40;
    cid[8] = (cid[8] & 0x3F) | 0x80;
}

void E131Encoder::putRootLayer(std::vector<uint8_t>& b, uint32_t vector) const {
    PutBig16(b, 0, 0x0010); // preamble size
    PutBig16(b, 2, 0x0000); // post-amble size
    std::memcpy(&b[4], "ASC-E1.17\0\0\0", 12);
    putFlagsLength(b, 16);
    PutBig32(b, 18, vector);
    std::memcpy(&b[22], cid, 16);
}

Datagram E131Encoder::dataPacket(int index, const uint8_t* channels) {
    const int count = settings.channelsPerUniverse;
    const int universe = settings.firstUniverse + index;
    Datagram d;
    d.bytes.assign(DATA_HEADER + count, 0);
    auto& b = d.bytes;
    putRootLayer(b, 0x00000004); // VECTOR_ROOT_E131_DATA
    putFlagsLength(b, 38);
    PutBig32(b, 40, 0x00000002); // VECTOR_E131_DATA_PACKET
    std::strncpy(reinterpret_cast<char*>(&b[44]), settings.sourceName.c_str(), 63);
    b[108] = 100; // priority
    PutBig16(b, 109, settings.sync ? settings.firstUniverse : 0);
    b[111] = sequences[index]++;
    b[112] = 0; // options
    PutBig16(b, 113, universe);
    putFlagsLength(b, 115);
    b[117] = 0x02;               // VECTOR_DMP_SET_PROPERTY
    b[118] = 0xA1;               // address and data type
    PutBig16(b, 119, 0x0000);    // first property address
    PutBig16(b, 121, 0x0001);    // address increment
    PutBig16(b, 123, count + 1); // property values, start code included
    b[125] = 0x00;               // start code: dimmer data
    std::memcpy(&b[DATA_HEADER], channels, count);
    d.universe = universe;
    d.channels = count;
    return d;
}

Datagram E131Encoder::syncPacket() {
    Datagram d;
    d.bytes.assign(SYNC_LENGTH, 0);
    auto& b = d.bytes;
    putRootLayer(b, 0x00000008); // VECTOR_ROOT_E131_EXTENDED
    putFlagsLength(b, 38);
    PutBig32(b, 40, 0x00000001); // VECTOR_E131_EXTENDED_SYNCHRONIZATION
    b[44] = syncSequence++;
    PutBig16(b, 45, settings.firstUniverse);
    d.universe = settings.firstUniverse;
    d.sync = true;
    return d;
}

void E131Encoder::encodeFrame(const std::vector<uint8_t>& frame, std::vector<Datagram>& out) {
    for (int u = 0; u < settings.universes; u++) {
        out.push_back(dataPacket(u, frame.data() + size_t(u) * settings.channelsPerUniverse));
    }
    if (settings.sync) {
        out.push_back(syncPacket());
    }
}
