#include "PacketEncoder.h"

#include "ArtNetEncoder.h"
#include "DDPEncoder.h"
#include "E131Encoder.h"

std::unique_ptr<PacketEncoder> PacketEncoder::Create(const std::string& protocol,
                                                     const EncoderSettings& settings) {
    if (protocol == "e131") {
        return std::make_unique<E131Encoder>(settings);
    }
    if (protocol == "artnet") {
        return std::make_unique<ArtNetEncoder>(settings);
    }
    if (protocol == "ddp") {
        return std::make_unique<DDPEncoder>(settings);
    }
    return nullptr;
}
