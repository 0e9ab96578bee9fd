#pragma once
// A Linux fbdev framebuffer ("/dev/fbN"): the virtual resolution is set to hold every page one
// above the other, the whole of it is mapped, and a page is shown by panning to it.

#include "FrameBuffer.h"

class FBDevFrameBuffer : public FrameBuffer {
public:
    explicit FBDevFrameBuffer(const Json::Value& config) : FrameBuffer(config) {}
    ~FBDevFrameBuffer() override;

    bool InitializeFrameBuffer() override;
    void DestroyFrameBuffer() override;
    std::string BackendName() const override { return "fbdev"; }
    void SyncDisplay(bool pageChanged) override;

private:
    bool setMode();

    int fd = -1;
    uint8_t* mapping = nullptr;
    size_t mappingSize = 0;
};
