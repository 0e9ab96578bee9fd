#pragma once
// A framebuffer in a shared-memory file, used when the named device does not exist, so tests and
// people can see what an output shows. File: /dev/shm/kiv-fb-DEVICE (for example kiv-fb-fb1),
// created (or resized) on initialisation and left in place afterwards for inspection.
//
// Layout: a 64-byte header, then the pages back to back, each LineLength() * Height() bytes.
//   bytes 0-7   "KIVFBSIM"
//   8  width, 12 height, 16 bits per pixel, 20 line length in bytes, 24 page count,
//   28 index of the page now shown, 32 count of pages shown so far
//   (little-endian uint32; the rest of the header is zero)
// The line length is width * bytes per pixel rounded up to a multiple of 16, so lines carry padding
// as on real hardware. Geometry comes from the request when Width and Height are non-zero, else
// from the setting "SimulatedFrameBuffer" ("WIDTHxHEIGHT", default 1084x162).
//
// Readers in other processes read the shown-count (offset 32) with acquire order; it is written
// with release order after the shown index, so a reader that sees a new count sees its page.

#include "FrameBuffer.h"

class SimulatedFrameBuffer : public FrameBuffer {
public:
    static constexpr int HEADER_SIZE = 64;
    static constexpr const char* MAGIC = "KIVFBSIM";

    explicit SimulatedFrameBuffer(const Json::Value& config);
    ~SimulatedFrameBuffer() override;

    bool InitializeFrameBuffer() override;
    void DestroyFrameBuffer() override;
    std::string BackendName() const override { return "simulated"; }
    void SyncDisplay(bool pageChanged) override;

    static std::string FilePath(const std::string& device);

private:
    void chooseGeometry();
    void writeHeader();
    void putWord(int offset, uint32_t value);

    uint8_t* mapping = nullptr; // header + pages
    size_t mappingSize = 0;
    uint32_t shownCount = 0;
};
