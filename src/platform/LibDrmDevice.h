#pragma once
// A DRM card ("/dev/dri/cardN") through libdrm. Connector names are the kernel's type name and
// index ("DPI-1"), as in /sys/class/drm/cardN-DPI-1.

#include "DrmDevice.h"

#include <memory>

class LibDrmDevice : public DrmDevice {
public:
    // Opens /dev/dri/card<card>; null (with a log line) when it cannot be opened.
    static std::unique_ptr<LibDrmDevice> Open(int card);
    ~LibDrmDevice() override;

    std::string Path() const override { return path; }
    int Connectors(std::vector<DrmConnector>& out) override;
    int GetCrtc(uint32_t crtcId, DrmCrtcState& out) override;
    int CreateDumb(uint32_t width, uint32_t height, uint32_t bitsPerPixel, DrmDumbBuffer& out) override;
    uint8_t* MapDumb(const DrmDumbBuffer& buffer) override;
    void UnmapDumb(uint8_t* mapping, size_t size) override;
    void DestroyDumb(uint32_t handle) override;
    int AddFrameBuffer(uint32_t width, uint32_t height, uint32_t depth, uint32_t bitsPerPixel,
                       const DrmDumbBuffer& buffer, uint32_t& fbId) override;
    void RemoveFrameBuffer(uint32_t fbId) override;
    int SetCrtc(uint32_t crtcId, uint32_t fbId, uint32_t x, uint32_t y, uint32_t connectorId,
                const drmModeModeInfo* mode) override;
    int PageFlip(uint32_t crtcId, uint32_t fbId) override;
    int WaitForFlip(int timeoutMs) override;

private:
    LibDrmDevice(int descriptor, std::string cardPath) : fd(descriptor), path(std::move(cardPath)) {}
    DrmConnector describe(const drmModeRes& resources, const drmModeConnector& connector);

    int fd;
    std::string path;
    bool flipPending = false;
};
