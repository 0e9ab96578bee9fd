#pragma once
// The frames of ColorLight 5A-75 receiver cards on raw Ethernet, built and read on plain byte
// arrays so they can be checked without a socket. Every frame starts with the fixed destination
// and source addresses the cards answer to; the byte after them tells the frame's kind.

#include <jsoncpp/json/json.h>

#include <cstddef>
#include <cstdint>

namespace ColorLightFrames {

constexpr int MAC_BYTES = 12;
constexpr int ROW_HEADER_BYTES = 21;
constexpr int PIXELS_PER_CHUNK = 497; // 1491 data bytes, so a frame fits a 1500-byte MTU
constexpr int BRIGHTNESS_BYTES = 77;
constexpr int BRIGHTNESS_FIRST_PIECE = 13;
constexpr int DISPLAY_BYTES = 112;
constexpr int DISCOVERY_REQUEST_BYTES = 284;
constexpr int DISCOVERY_RESPONSE_MIN = 1001; // shorter answers are not receivers
constexpr int DISCOVERY_RECEIVE_BYTES = 1070;
constexpr uint16_t DISCOVERY_ETHERTYPE = 0x0805;
constexpr int MAX_RECEIVERS = 32;

// What a receiver card tells about itself when asked.
struct Receiver {
    int32_t id = 0;
    int32_t firmwareMajor = 0;
    int32_t firmwareMinor = 0;
    int32_t cabinetWidth = 0;
    int32_t cabinetHeight = 0;
    int32_t uptimeMs = 0;
    int32_t packets = 0;
};

// Writes the destination 11:22:33:44:55:66 and source 22:22:33:44:55:66 into the first 12 bytes.
void SetHostMACs(uint8_t* frame);
// The brightness byte of a "brightness" percentage: 255 when absent or 0 (after masking to 8 bits).
uint8_t BrightnessByte(const Json::Value& brightness);
// Each fills a zeroed frame of the size above.
void FillBrightnessFrame(uint8_t* frame, uint8_t brightness);
void FillDisplayFrame(uint8_t* frame, uint8_t brightness);
void FillRowHeader(uint8_t* frame, int row, int firstPixel, int pixelCount);
void FillDiscoveryRequest(uint8_t* frame, int receiverIndex);
// Reads a discovery answer of `length` bytes; false (receiver untouched) when it is not one.
bool ParseDiscoveryResponse(const uint8_t* frame, size_t length, Receiver& receiver);

} // namespace ColorLightFrames
