#pragma once
// The few kernel mode-setting operations a DRM framebuffer needs, behind an interface so that
// the set-up, page flipping and teardown of DRMFrameBuffer run the same against a real card
// (LibDrmDevice, on libdrm) and against a device kept in memory by tests, on machines without
// /dev/dri.
//
// Operations that can fail return 0 on success and an errno value otherwise.

#include <xf86drmMode.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct DrmConnector {
    uint32_t id = 0;
    std::string name; // type name and index, as in /sys/class/drm: "DPI-1", "HDMI-A-1"
    drmModeConnection connection = DRM_MODE_UNKNOWNCONNECTION;
    std::vector<drmModeModeInfo> modes;
    uint32_t currentCrtc = 0;            // the CRTC driving it now, 0 when none
    std::vector<uint32_t> possibleCrtcs; // CRTCs its encoders can use, in the card's order
};

struct DrmDumbBuffer {
    uint32_t handle = 0;
    uint32_t pitch = 0; // bytes from one line's start to the next
    uint64_t size = 0;
};

// What a CRTC shows, to put it back when the framebuffer is closed.
struct DrmCrtcState {
    uint32_t fbId = 0;
    uint32_t x = 0;
    uint32_t y = 0;
    std::optional<drmModeModeInfo> mode;
};

class DrmDevice {
public:
    virtual ~DrmDevice() = default;
    // The card's path, for log lines.
    virtual std::string Path() const = 0;

    virtual int Connectors(std::vector<DrmConnector>& out) = 0;
    virtual int GetCrtc(uint32_t crtcId, DrmCrtcState& out) = 0;

    virtual int CreateDumb(uint32_t width, uint32_t height, uint32_t bitsPerPixel, DrmDumbBuffer& out) = 0;
    // Maps the whole buffer for writing; null (errno set) on failure.
    virtual uint8_t* MapDumb(const DrmDumbBuffer& buffer) = 0;
    virtual void UnmapDumb(uint8_t* mapping, size_t size) = 0;
    virtual void DestroyDumb(uint32_t handle) = 0;

    virtual int AddFrameBuffer(uint32_t width, uint32_t height, uint32_t depth, uint32_t bitsPerPixel,
                               const DrmDumbBuffer& buffer, uint32_t& fbId) = 0;
    virtual void RemoveFrameBuffer(uint32_t fbId) = 0;

    // Shows fbId at (x, y) on the CRTC through the connector in the mode (fbId 0 and no mode
    // switch the CRTC off).
    virtual int SetCrtc(uint32_t crtcId, uint32_t fbId, uint32_t x, uint32_t y, uint32_t connectorId,
                        const drmModeModeInfo* mode) = 0;
    // Asks for fbId to be shown from the next vertical blank; completion is reported to
    // WaitForFlip.
    virtual int PageFlip(uint32_t crtcId, uint32_t fbId) = 0;
    // Waits up to timeoutMs for the flip asked for last to complete: 0 when it did, ETIMEDOUT
    // when it has not yet.
    virtual int WaitForFlip(int timeoutMs) = 0;
};
