#include "ColorLightFrames.h"

#include "common/JsonValues.h"

#include <cstring>

namespace ColorLightFrames {

namespace {

const uint8_t HOST_MACS[MAC_BYTES] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x22, 0x22, 0x33, 0x44, 0x55, 0x66};

uint32_t BigEndian(const uint8_t* at, int bytes) {
    uint32_t value = 0;
    for (int i = 0; i < bytes; i++) {
        value = (value << 8) | at[i];
    }
    return value;
}

void PutBigEndian16(uint8_t* at, int value) {
    at[0] = uint8_t(value >> 8);
    at[1] = uint8_t(value);
}

} // namespace

void SetHostMACs(uint8_t* frame) {
    std::memcpy(frame, HOST_MACS, MAC_BYTES);
}

// The cards take 0 to 255; 100 % lands on 254 because 100 * 2.55 is just below 255 in doubles.
uint8_t BrightnessByte(const Json::Value& brightness) {
    unsigned percent = unsigned(JsonInt(brightness)) & 0xFF;
    if (brightness.isNull() || percent == 0) {
        return 255;
    }
    return uint8_t(unsigned(percent * 2.55));
}

void FillBrightnessFrame(uint8_t* frame, uint8_t brightness) {
    SetHostMACs(frame);
    frame[12] = 0x0A;
    frame[13] = frame[14] = frame[15] = brightness;
    frame[16] = 0xFF;
}

void FillDisplayFrame(uint8_t* frame, uint8_t brightness) {
    SetHostMACs(frame);
    frame[12] = 0x01;
    frame[13] = 0x07;
    frame[35] = brightness;
    frame[36] = 0x05;
    frame[38] = frame[39] = frame[40] = brightness;
}

void FillRowHeader(uint8_t* frame, int row, int firstPixel, int pixelCount) {
    SetHostMACs(frame);
    frame[12] = 0x55;
    PutBigEndian16(frame + 13, row);
    PutBigEndian16(frame + 15, firstPixel);
    PutBigEndian16(frame + 17, pixelCount);
    frame[19] = 0x08;
    frame[20] = 0x88;
}

void FillDiscoveryRequest(uint8_t* frame, int receiverIndex) {
    SetHostMACs(frame);
    frame[12] = 0x07;
    frame[16] = uint8_t(receiverIndex);
}

bool ParseDiscoveryResponse(const uint8_t* frame, size_t length, Receiver& receiver) {
    if (length < size_t(DISCOVERY_RESPONSE_MIN) || std::memcmp(frame + 6, HOST_MACS, 6) != 0 ||
        frame[12] != 0x08) {
        return false;
    }
    receiver.firmwareMajor = frame[15];
    receiver.firmwareMinor = frame[16];
    receiver.cabinetWidth = int32_t(BigEndian(frame + 34, 2));
    receiver.cabinetHeight = int32_t(BigEndian(frame + 36, 2));
    receiver.packets = int32_t(BigEndian(frame + 51, 4));
    receiver.uptimeMs = int32_t(BigEndian(frame + 59, 4));
    receiver.id = frame[98];
    return true;
}

} // namespace ColorLightFrames
