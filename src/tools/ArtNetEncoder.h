#pragma once
// Art-Net 4 ArtDmx packets, one per universe (the 15-bit port address) with a sequence running
// 1 to 255 (0 would switch the receiver's ordering off), and with sync on, an ArtSync after
// each frame.

#include "PacketEncoder.h"

class ArtNetEncoder : public PacketEncoder {
public:
    explicit ArtNetEncoder(const EncoderSettings& settings);
    void encodeFrame(const std::vector<uint8_t>& frame, std::vector<Datagram>& out) override;
    int port() const override { return 6454; }

private:
    static void putHeader(std::vector<uint8_t>& b, unsigned opcode);
    Datagram dmxPacket(int index, const uint8_t* channels);

    EncoderSettings settings;
    std::vector<uint8_t> sequences; // per universe, the last one sent
};
