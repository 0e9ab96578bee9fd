#include "DDPEncoder.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr size_t HEADER = 10;
constexpr uint8_t VERSION_1 = 0x40;
constexpr uint8_t PUSH = 0x01;
constexpr uint8_t RGB_8BIT = 0x0B; // type RGB (001), 8 bits a value (011)
constexpr uint8_t DISPLAY = 1;
} // namespace

void DDPEncoder::encodeFrame(const std::vector<uint8_t>& frame, std::vector<Datagram>& out) {
    for (size_t offset = 0; offset < frame.size(); offset += MAX_CHANNELS) {
        size_t length = std::min<size_t>(MAX_CHANNELS, frame.size() - offset);
        bool last = offset + length == frame.size();
        Datagram d;
        d.bytes.assign(HEADER + length, 0);
        auto& b = d.bytes;
        sequence = sequence == 15 ? 1 : sequence + 1;
        b[0] = VERSION_1 | (last ? PUSH : 0);
        b[1] = sequence;
        b[2] = RGB_8BIT;
        b[3] = DISPLAY;
        PutBig32(b, 4, uint32_t(offset));
        PutBig16(b, 8, unsigned(length));
        std::memcpy(&b[HEADER], frame.data() + offset, length);
        d.channels = int(length);
        out.push_back(std::move(d));
    }
}
