// fbdev backend: pages are stacked in the virtual resolution and shown by panning.

#include "FBDevFrameBuffer.h"

#include "common/Log.h"

#include <fcntl.h>
#include <linux/fb.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

FBDevFrameBuffer::~FBDevFrameBuffer() {
    DestroyFrameBuffer();
}

// Keeps the device's visible mode unless a size was asked for, and asks for room for every page.
bool FBDevFrameBuffer::setMode() {
    fb_var_screeninfo var{};
    if (ioctl(fd, FBIOGET_VSCREENINFO, &var) < 0) {
        LogErr(LG_CHANNELOUT, "FBIOGET_VSCREENINFO failed on %s: %s\n", device.c_str(), strerror(errno));
        return false;
    }
    if (requestedWidth && requestedHeight) {
        var.xres = requestedWidth;
        var.yres = requestedHeight;
    }
    var.xres_virtual = var.xres;
    var.yres_virtual = var.yres * pages;
    var.bits_per_pixel = bitsPerPixel;
    var.xoffset = 0;
    var.yoffset = 0;
    if (ioctl(fd, FBIOPUT_VSCREENINFO, &var) < 0 || ioctl(fd, FBIOGET_VSCREENINFO, &var) < 0) {
        LogErr(LG_CHANNELOUT, "FBIOPUT_VSCREENINFO failed on %s: %s\n", device.c_str(), strerror(errno));
        return false;
    }
    if ((int)var.bits_per_pixel != bitsPerPixel) {
        LogErr(LG_CHANNELOUT, "%s runs at %u bits per pixel, not %d\n", device.c_str(), var.bits_per_pixel,
               bitsPerPixel);
        return false;
    }
    if (var.yres_virtual < var.yres * pages) {
        LogWarn(LG_CHANNELOUT, "%s holds only %u lines; using one page\n", device.c_str(), var.yres_virtual);
        pages = 1;
    }
    fb_fix_screeninfo fix{};
    if (ioctl(fd, FBIOGET_FSCREENINFO, &fix) < 0) {
        LogErr(LG_CHANNELOUT, "FBIOGET_FSCREENINFO failed on %s: %s\n", device.c_str(), strerror(errno));
        return false;
    }
    setGeometry(var.xres, var.yres, fix.line_length);
    return true;
}

bool FBDevFrameBuffer::InitializeFrameBuffer() {
    std::string path = "/dev/" + device;
    fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        LogErr(LG_CHANNELOUT, "Could not open %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    if (!setMode()) {
        DestroyFrameBuffer();
        return false;
    }
    mappingSize = static_cast<size_t>(pageSize) * pages;
    void* map = mmap(nullptr, mappingSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        LogErr(LG_CHANNELOUT, "Could not map %s: %s\n", path.c_str(), strerror(errno));
        mappingSize = 0;
        DestroyFrameBuffer();
        return false;
    }
    mapping = static_cast<uint8_t*>(map);
    setContiguousPages(mapping);
    return true;
}

void FBDevFrameBuffer::DestroyFrameBuffer() {
    if (mapping) {
        munmap(mapping, mappingSize);
    }
    if (fd >= 0) {
        ::close(fd);
    }
    mapping = nullptr;
    pageStarts.clear();
    fd = -1;
}

void FBDevFrameBuffer::SyncDisplay(bool pageChanged) {
    if (!pageChanged || fd < 0) {
        return;
    }
    fb_var_screeninfo var{};
    if (ioctl(fd, FBIOGET_VSCREENINFO, &var) < 0) {
        return;
    }
    var.yoffset = var.yres * page;
    if (ioctl(fd, FBIOPAN_DISPLAY, &var) < 0) {
        LogExcess(LG_CHANNELOUT, "FBIOPAN_DISPLAY failed on %s: %s\n", device.c_str(), strerror(errno));
        return;
    }
    shownPage = page;
}
