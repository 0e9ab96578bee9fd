#pragma once
// E1.31 (streaming ACN) data packets, one per universe with its own sequence number, and with
// sync on, a universe synchronisation packet after each frame addressed to the first universe
// (which the data packets name as their synchronisation address).

#include "PacketEncoder.h"

class E131Encoder : public PacketEncoder {
public:
    explicit E131Encoder(const EncoderSettings& settings);
    void encodeFrame(const std::vector<uint8_t>& frame, std::vector<Datagram>& out) override;
    int port() const override { return 5568; }

private:
    void putRootLayer(std::vector<uint8_t>& b, uint32_t vector) const;
    Datagram dataPacket(int universe, const uint8_t* channels);
    Datagram syncPacket();

    EncoderSettings settings;
    std::vector<uint8_t> sequences; // per universe
    uint8_t syncSequence = 0;
    uint8_t cid[16];
};
