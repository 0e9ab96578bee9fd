// DRM backend: dumb buffers as pages, page flips to show them.

#include "DRMFrameBuffer.h"

#include "common/Common.h"
#include "common/Log.h"

#include <cerrno>
#include <cstring>

namespace {

uint32_t depthOf(int bitsPerPixel) {
    return bitsPerPixel == 32 ? 24 : bitsPerPixel;
}

std::string namesOf(const std::vector<DrmConnector>& connectors) {
    std::string names;
    for (const DrmConnector& c : connectors) {
        names += (names.empty() ? "" : ", ") + c.name;
    }
    return names.empty() ? "none" : names;
}

bool offersSize(const drmModeModeInfo& m, int width, int height) {
    return !width || !height || (m.hdisplay == width && m.vdisplay == height);
}

} // namespace

DRMFrameBuffer::DRMFrameBuffer(const Json::Value& config, std::unique_ptr<DrmDevice> device)
    : FrameBuffer(config), drm(std::move(device)) {}

DRMFrameBuffer::~DRMFrameBuffer() {
    DestroyFrameBuffer();
}

int DRMFrameBuffer::CardOfConnector(const std::string& connector) {
    for (int card = 0; card < 10; card++) {
        if (DirectoryExists("/sys/class/drm/card" + std::to_string(card) + "-" + connector)) {
            return card;
        }
    }
    return -1;
}

void DRMFrameBuffer::logFailure(const char* step, int error) const {
    const char* hint =
        (error == EACCES || error == EPERM) ? " (is another program holding the display?)" : "";
    LogErr(LG_CHANNELOUT, "DRM framebuffer %s on %s: %s failed: %s%s\n", device.c_str(), drm->Path().c_str(),
           step, strerror(error), hint);
}

bool DRMFrameBuffer::InitializeFrameBuffer() {
    if (!drm) {
        LogErr(LG_CHANNELOUT, "DRM framebuffer %s has no DRM card\n", device.c_str());
        return false;
    }
    DrmConnector connector;
    if (!findConnector(connector) || !chooseMode(connector) || !chooseCrtc(connector)) {
        return false;
    }
    if (!createPages() || !showFirstPage()) {
        DestroyFrameBuffer();
        return false;
    }
    LogInfo(LG_CHANNELOUT, "DRM framebuffer %s on %s: %dx%d@%u, CRTC %u, %d pages\n", device.c_str(),
            drm->Path().c_str(), width, height, mode.vrefresh, crtcId, pages);
    return true;
}

bool DRMFrameBuffer::findConnector(DrmConnector& out) {
    std::vector<DrmConnector> connectors;
    if (int error = drm->Connectors(connectors)) {
        logFailure("reading the connectors", error);
        return false;
    }
    for (DrmConnector& c : connectors) {
        if (c.name == device) {
            if (c.connection == DRM_MODE_DISCONNECTED) {
                LogWarn(LG_CHANNELOUT, "DRM connector %s reports nothing connected; using it anyway\n",
                        device.c_str());
            }
            out = std::move(c);
            connectorId = out.id;
            return true;
        }
    }
    LogErr(LG_CHANNELOUT, "DRM card %s has no connector %s (it has: %s)\n", drm->Path().c_str(),
           device.c_str(), namesOf(connectors).c_str());
    return false;
}

bool DRMFrameBuffer::chooseMode(const DrmConnector& connector) {
    const drmModeModeInfo* chosen = nullptr;
    for (const drmModeModeInfo& m : connector.modes) {
        if (!offersSize(m, requestedWidth, requestedHeight)) {
            continue;
        }
        if (!chosen || ((m.type & DRM_MODE_TYPE_PREFERRED) && !(chosen->type & DRM_MODE_TYPE_PREFERRED))) {
            chosen = &m;
        }
    }
    if (!chosen) {
        LogErr(LG_CHANNELOUT, "DRM connector %s offers no %dx%d mode (it has %zu modes)\n", device.c_str(),
               requestedWidth, requestedHeight, connector.modes.size());
        return false;
    }
    mode = *chosen;
    return true;
}

bool DRMFrameBuffer::chooseCrtc(const DrmConnector& connector) {
    crtcId = connector.currentCrtc;
    if (!crtcId && !connector.possibleCrtcs.empty()) {
        crtcId = connector.possibleCrtcs.front();
    }
    if (!crtcId) {
        LogErr(LG_CHANNELOUT, "No CRTC can drive DRM connector %s\n", device.c_str());
        return false;
    }
    DrmCrtcState state;
    if (int error = drm->GetCrtc(crtcId, state)) {
        LogWarn(LG_CHANNELOUT, "Cannot read CRTC %u of %s (%s); it will be switched off on close\n", crtcId,
                device.c_str(), strerror(error));
        savedCrtc.reset();
    } else {
        savedCrtc = state;
    }
    return true;
}

bool DRMFrameBuffer::createPage(DumbPage& dumb) {
    if (int error = drm->CreateDumb(mode.hdisplay, mode.vdisplay, bitsPerPixel, dumb.buffer)) {
        logFailure("creating a dumb buffer", error);
        return false;
    }
    dumb.mapping = drm->MapDumb(dumb.buffer);
    if (!dumb.mapping) {
        logFailure("mapping a dumb buffer", errno ? errno : EIO);
        return false;
    }
    if (int error = drm->AddFrameBuffer(mode.hdisplay, mode.vdisplay, depthOf(bitsPerPixel), bitsPerPixel,
                                        dumb.buffer, dumb.fbId)) {
        logFailure("adding a framebuffer", error);
        return false;
    }
    return true;
}

bool DRMFrameBuffer::createPages() {
    std::vector<uint8_t*> starts;
    for (int p = 0; p < pages; p++) {
        dumbPages.emplace_back();
        if (!createPage(dumbPages.back())) {
            return false;
        }
        const DrmDumbBuffer& buffer = dumbPages.back().buffer;
        if (buffer.pitch != dumbPages.front().buffer.pitch ||
            buffer.size < static_cast<uint64_t>(buffer.pitch) * mode.vdisplay) {
            LogErr(LG_CHANNELOUT,
                   "DRM framebuffer %s: dumb buffer %d has pitch %u and %llu bytes, unlike page 0\n",
                   device.c_str(), p, buffer.pitch, static_cast<unsigned long long>(buffer.size));
            return false;
        }
        starts.push_back(dumbPages.back().mapping);
    }
    setGeometry(mode.hdisplay, mode.vdisplay, dumbPages.front().buffer.pitch);
    setPageStarts(std::move(starts));
    ClearAllPages();
    return true;
}

bool DRMFrameBuffer::showFirstPage() {
    if (int error = drm->SetCrtc(crtcId, dumbPages.front().fbId, 0, 0, connectorId, &mode)) {
        logFailure("setting the CRTC", error);
        return false;
    }
    crtcSet = true;
    return true;
}

bool DRMFrameBuffer::waitForPendingFlip() {
    if (!flipPending) {
        return true;
    }
    if (drm->WaitForFlip(FLIP_TIMEOUT_MS) != 0) {
        LogExcess(LG_CHANNELOUT, "DRM framebuffer %s: the previous flip is not done; page %d not shown\n",
                  device.c_str(), page);
        return false;
    }
    flipPending = false;
    return true;
}

bool DRMFrameBuffer::flipToPage() {
    int error = drm->PageFlip(crtcId, dumbPages[page].fbId);
    if (!error) {
        flipPending = true;
        shownPage = page;
        return true;
    }
    if (error == EBUSY) {
        LogExcess(LG_CHANNELOUT, "DRM framebuffer %s: flip busy; page %d not shown\n", device.c_str(), page);
        return true;
    }
    LogWarn(LG_CHANNELOUT,
            "DRM framebuffer %s: page flip refused (%s); setting the CRTC for each page instead\n",
            device.c_str(), strerror(error));
    flipsRefused = true;
    return false;
}

void DRMFrameBuffer::showBySettingCrtc() {
    if (int error = drm->SetCrtc(crtcId, dumbPages[page].fbId, 0, 0, connectorId, &mode)) {
        LogExcess(LG_CHANNELOUT, "DRM framebuffer %s: setting the CRTC failed: %s\n", device.c_str(),
                  strerror(error));
        return;
    }
    shownPage = page;
}

void DRMFrameBuffer::SyncDisplay(bool pageChanged) {
    if (!pageChanged || !crtcSet || !waitForPendingFlip()) {
        return;
    }
    if (!flipsRefused && flipToPage()) {
        return;
    }
    showBySettingCrtc();
}

void DRMFrameBuffer::restoreCrtc() {
    if (!crtcSet) {
        return;
    }
    crtcSet = false;
    if (flipPending && drm->WaitForFlip(FLIP_TIMEOUT_MS) != 0) {
        LogWarn(LG_CHANNELOUT, "DRM framebuffer %s: last flip not done at close\n", device.c_str());
    }
    flipPending = false;
    int error = 0;
    if (savedCrtc && savedCrtc->fbId && savedCrtc->mode) {
        error =
            drm->SetCrtc(crtcId, savedCrtc->fbId, savedCrtc->x, savedCrtc->y, connectorId, &*savedCrtc->mode);
    } else {
        error = drm->SetCrtc(crtcId, 0, 0, 0, 0, nullptr);
    }
    if (error) {
        LogWarn(LG_CHANNELOUT, "DRM framebuffer %s: could not restore CRTC %u: %s\n", device.c_str(), crtcId,
                strerror(error));
    }
}

void DRMFrameBuffer::releasePages() {
    for (DumbPage& dumb : dumbPages) {
        if (dumb.fbId) {
            drm->RemoveFrameBuffer(dumb.fbId);
        }
        if (dumb.mapping) {
            drm->UnmapDumb(dumb.mapping, dumb.buffer.size);
        }
        if (dumb.buffer.handle) {
            drm->DestroyDumb(dumb.buffer.handle);
        }
    }
    dumbPages.clear();
    pageStarts.clear();
}

void DRMFrameBuffer::DestroyFrameBuffer() {
    if (!drm) {
        return;
    }
    restoreCrtc();
    releasePages();
}
