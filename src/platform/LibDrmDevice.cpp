// libdrm calls behind DrmDevice: legacy mode setting, dumb buffers and page-flip events.

#include "LibDrmDevice.h"

#include "common/Log.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <xf86drm.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

int errnoOr(int result) {
    if (result == 0) {
        return 0;
    }
    return errno ? errno : EIO;
}

void flipDone(int /*fd*/, unsigned int /*frame*/, unsigned int /*sec*/, unsigned int /*usec*/, void* flag) {
    *static_cast<bool*>(flag) = false;
}

std::string connectorName(const drmModeConnector& connector) {
    const char* type = drmModeGetConnectorTypeName(connector.connector_type);
    return std::string(type ? type : "Unknown") + "-" + std::to_string(connector.connector_type_id);
}

} // namespace

std::unique_ptr<LibDrmDevice> LibDrmDevice::Open(int card) {
    std::string path = "/dev/dri/card" + std::to_string(card);
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        LogErr(LG_CHANNELOUT, "Could not open DRM card %s: %s\n", path.c_str(), strerror(errno));
        return nullptr;
    }
    return std::unique_ptr<LibDrmDevice>(new LibDrmDevice(fd, path));
}

LibDrmDevice::~LibDrmDevice() {
    ::close(fd);
}

DrmConnector LibDrmDevice::describe(const drmModeRes& resources, const drmModeConnector& connector) {
    DrmConnector info;
    info.id = connector.connector_id;
    info.name = connectorName(connector);
    info.connection = connector.connection;
    info.modes.assign(connector.modes, connector.modes + connector.count_modes);
    uint32_t crtcMask = 0;
    for (int e = 0; e < connector.count_encoders; e++) {
        drmModeEncoder* encoder = drmModeGetEncoder(fd, connector.encoders[e]);
        if (!encoder) {
            continue;
        }
        crtcMask |= encoder->possible_crtcs;
        if (encoder->encoder_id == connector.encoder_id) {
            info.currentCrtc = encoder->crtc_id;
        }
        drmModeFreeEncoder(encoder);
    }
    for (int c = 0; c < resources.count_crtcs && c < 32; c++) {
        if (crtcMask & (1u << c)) {
            info.possibleCrtcs.push_back(resources.crtcs[c]);
        }
    }
    return info;
}

int LibDrmDevice::Connectors(std::vector<DrmConnector>& out) {
    drmModeRes* resources = drmModeGetResources(fd);
    if (!resources) {
        return errno ? errno : ENODEV;
    }
    for (int i = 0; i < resources->count_connectors; i++) {
        drmModeConnector* connector = drmModeGetConnector(fd, resources->connectors[i]);
        if (connector) {
            out.push_back(describe(*resources, *connector));
            drmModeFreeConnector(connector);
        }
    }
    drmModeFreeResources(resources);
    return 0;
}

int LibDrmDevice::GetCrtc(uint32_t crtcId, DrmCrtcState& out) {
    drmModeCrtc* crtc = drmModeGetCrtc(fd, crtcId);
    if (!crtc) {
        return errno ? errno : ENOENT;
    }
    out.fbId = crtc->buffer_id;
    out.x = crtc->x;
    out.y = crtc->y;
    if (crtc->mode_valid) {
        out.mode = crtc->mode;
    }
    drmModeFreeCrtc(crtc);
    return 0;
}

int LibDrmDevice::CreateDumb(uint32_t width, uint32_t height, uint32_t bitsPerPixel, DrmDumbBuffer& out) {
    drm_mode_create_dumb request{};
    request.width = width;
    request.height = height;
    request.bpp = bitsPerPixel;
    if (int error = errnoOr(drmIoctl(fd, DRM_IOCTL_MODE_CREATE_DUMB, &request))) {
        return error;
    }
    out.handle = request.handle;
    out.pitch = request.pitch;
    out.size = request.size;
    return 0;
}

uint8_t* LibDrmDevice::MapDumb(const DrmDumbBuffer& buffer) {
    drm_mode_map_dumb request{};
    request.handle = buffer.handle;
    if (drmIoctl(fd, DRM_IOCTL_MODE_MAP_DUMB, &request) != 0) {
        return nullptr;
    }
    void* map = mmap(nullptr, buffer.size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, request.offset);
    return map == MAP_FAILED ? nullptr : static_cast<uint8_t*>(map);
}

void LibDrmDevice::UnmapDumb(uint8_t* mapping, size_t size) {
    munmap(mapping, size);
}

void LibDrmDevice::DestroyDumb(uint32_t handle) {
    drm_mode_destroy_dumb request{};
    request.handle = handle;
    drmIoctl(fd, DRM_IOCTL_MODE_DESTROY_DUMB, &request);
}

int LibDrmDevice::AddFrameBuffer(uint32_t width, uint32_t height, uint32_t depth, uint32_t bitsPerPixel,
                                 const DrmDumbBuffer& buffer, uint32_t& fbId) {
    return errnoOr(drmModeAddFB(fd, width, height, depth, bitsPerPixel, buffer.pitch, buffer.handle, &fbId));
}

void LibDrmDevice::RemoveFrameBuffer(uint32_t fbId) {
    drmModeRmFB(fd, fbId);
}

int LibDrmDevice::SetCrtc(uint32_t crtcId, uint32_t fbId, uint32_t x, uint32_t y, uint32_t connectorId,
                          const drmModeModeInfo* mode) {
    uint32_t connectors[1] = {connectorId};
    drmModeModeInfo copy{};
    if (mode) {
        copy = *mode;
    }
    return errnoOr(drmModeSetCrtc(fd, crtcId, fbId, x, y, mode ? connectors : nullptr, mode ? 1 : 0,
                                  mode ? &copy : nullptr));
}

int LibDrmDevice::PageFlip(uint32_t crtcId, uint32_t fbId) {
    if (int error = errnoOr(drmModePageFlip(fd, crtcId, fbId, DRM_MODE_PAGE_FLIP_EVENT, &flipPending))) {
        return error;
    }
    flipPending = true;
    return 0;
}

int LibDrmDevice::WaitForFlip(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    drmEventContext events{};
    events.version = 2;
    events.page_flip_handler = flipDone;
    while (flipPending) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return ETIMEDOUT;
        }
        pollfd waiting{fd, POLLIN, 0};
        int ready = poll(&waiting, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) {
            return errno;
        }
        if (ready > 0) {
            drmHandleEvent(fd, &events);
        }
    }
    return 0;
}
