// Backend choice and page bookkeeping shared by every framebuffer.

#include "FrameBuffer.h"

#include "DRMFrameBuffer.h"
#include "DeviceNames.h"
#include "FBDevFrameBuffer.h"
#include "LibDrmDevice.h"
#include "SimulatedFrameBuffer.h"
#include "SimulatedHardware.h"

#include "common/Common.h"
#include "common/JsonValues.h"
#include "common/Log.h"

#include <algorithm>
#include <cstring>
#include <memory>

FrameBuffer* FrameBuffer::createFrameBuffer(const Json::Value& config) {
    std::string device = JsonString(config["Device"]);
    if (device.empty()) {
        device = "fb1";
    }
    // The name is joined to "/dev/" and to the simulated file's folder.
    if (!IsSingleDeviceName(device)) {
        LogErr(LG_CHANNELOUT, "FrameBuffer device name \"%s\" is not a plain device name\n", device.c_str());
        return nullptr;
    }
    std::unique_ptr<FrameBuffer> fb;
    bool simulate = SimulatedHardwareMode() == SimulationMode::On;
    if (!simulate && startsWith(device, "fb") && FileExists("/dev/" + device)) {
        fb = std::make_unique<FBDevFrameBuffer>(config);
    } else if (int card =
                   (simulate || startsWith(device, "fb")) ? -1 : DRMFrameBuffer::CardOfConnector(device);
               card >= 0) {
        std::unique_ptr<DrmDevice> drm = LibDrmDevice::Open(card);
        if (!drm) {
            return nullptr;
        }
        fb = std::make_unique<DRMFrameBuffer>(config, std::move(drm));
    } else if (AllowSimulatedDevice("Framebuffer " + device, SimulatedFrameBuffer::FilePath(device))) {
        fb = std::make_unique<SimulatedFrameBuffer>(config);
    } else {
        return nullptr;
    }
    if (!fb->InitializeFrameBuffer()) {
        LogErr(LG_CHANNELOUT, "Could not initialize the %s framebuffer %s\n", fb->BackendName().c_str(),
               device.c_str());
        return nullptr;
    }
    LogDebug(LG_CHANNELOUT, "FrameBuffer %s (%s): %dx%d, %d bpp, line %d bytes, %d pages\n", device.c_str(),
             fb->BackendName().c_str(), fb->Width(), fb->Height(), fb->BitsPerPixel(), fb->LineLength(),
             fb->Pages());
    return fb.release();
}

FrameBuffer::FrameBuffer(const Json::Value& config) {
    device = JsonString(config["Device"]);
    if (device.empty()) {
        device = "fb1";
    }
    requestedWidth = std::max(0, JsonInt(config["Width"]));
    requestedHeight = std::max(0, JsonInt(config["Height"]));
    int bits = JsonInt(config["BitsPerPixel"]);
    bitsPerPixel = (bits == 16 || bits == 32) ? bits : 24;
    requestedPages = std::max(1, JsonInt(config["Pages"]));
    pages = requestedPages;
}

FrameBuffer::~FrameBuffer() = default;

void FrameBuffer::setGeometry(int w, int h, int lineBytes) {
    width = w;
    height = h;
    lineLength = lineBytes;
    pageSize = lineLength * height;
}

void FrameBuffer::setContiguousPages(uint8_t* first) {
    pageStarts.clear();
    for (int p = 0; first && p < pages; p++) {
        pageStarts.push_back(first + static_cast<size_t>(p) * pageSize);
    }
}

uint8_t* FrameBuffer::BufferPage(int p) const {
    if (p < 0 || p >= static_cast<int>(pageStarts.size())) {
        return nullptr;
    }
    return pageStarts[p];
}

void FrameBuffer::ClearAllPages() {
    for (uint8_t* start : pageStarts) {
        std::memset(start, 0, pageSize);
    }
}

void FrameBuffer::NextPage(bool /*wait*/) {
    page = (page + 1) % pages;
}
