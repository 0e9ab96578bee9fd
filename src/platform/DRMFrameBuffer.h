#pragma once
// A framebuffer on a DRM connector ("DPI-1"): one dumb buffer a page, each added as a DRM
// framebuffer; the connector's CRTC is set to the first page in the chosen mode, and a page is
// shown by a page flip at the next vertical blank. Before asking for a flip, SyncDisplay waits
// (briefly) for the one asked for before, so a page is never painted while the kernel may still
// be about to show it. When flips are refused, the CRTC is set to the page instead.
//
// Mode: the connector's mode of the requested width and height (preferred first), or its
// preferred mode (else its first) when none was requested. CRTC: the one driving the connector,
// else the first its encoders can use. What that CRTC showed before is put back on teardown.

#include "DrmDevice.h"
#include "FrameBuffer.h"

#include <memory>
#include <optional>
#include <vector>

class DRMFrameBuffer : public FrameBuffer {
public:
    // How long SyncDisplay waits for the previous flip before it gives the frame up.
    static constexpr int FLIP_TIMEOUT_MS = 100;

    DRMFrameBuffer(const Json::Value& config, std::unique_ptr<DrmDevice> device);
    ~DRMFrameBuffer() override;

    // The card whose connector is named so (/sys/class/drm/cardN-NAME for N = 0 to 9), or -1.
    static int CardOfConnector(const std::string& connector);

    bool InitializeFrameBuffer() override;
    void DestroyFrameBuffer() override;
    std::string BackendName() const override { return "drm"; }
    void SyncDisplay(bool pageChanged) override;

private:
    struct DumbPage {
        DrmDumbBuffer buffer;
        uint8_t* mapping = nullptr;
        uint32_t fbId = 0;
    };

    bool findConnector(DrmConnector& out);
    bool chooseMode(const DrmConnector& connector);
    bool chooseCrtc(const DrmConnector& connector);
    bool createPages();
    bool createPage(DumbPage& dumb);
    bool showFirstPage();
    bool waitForPendingFlip();
    // Asks for the page to be flipped to; false when flips are refused and the CRTC must be set.
    bool flipToPage();
    void showBySettingCrtc();
    void restoreCrtc();
    void releasePages();
    void logFailure(const char* step, int error) const;

    std::unique_ptr<DrmDevice> drm;
    std::vector<DumbPage> dumbPages;
    uint32_t connectorId = 0;
    uint32_t crtcId = 0;
    drmModeModeInfo mode{};
    std::optional<DrmCrtcState> savedCrtc;
    bool crtcSet = false;
    bool flipPending = false;
    bool flipsRefused = false;
};
