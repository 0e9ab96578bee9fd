#pragma once
// DDP (Distributed Display Protocol) data packets to display 1: the whole frame from channel
// offset 0 in packets of at most 1440 channels (480 RGB pixels), sequence numbers 1 to 15, and
// the push flag on the last packet of each frame so the receiver shows the frame at once.

#include "PacketEncoder.h"

class DDPEncoder : public PacketEncoder {
public:
    explicit DDPEncoder(const EncoderSettings& settings) : settings(settings) {}
    void encodeFrame(const std::vector<uint8_t>& frame, std::vector<Datagram>& out) override;
    int port() const override { return 4048; }

    static constexpr int MAX_CHANNELS = 1440;

private:
    EncoderSettings settings;
    uint8_t sequence = 0; // the last one sent
};
