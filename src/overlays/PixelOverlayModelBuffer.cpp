// The model's RGB overlay buffer, scaling, picture saving and running effect.

#include "PixelOverlayEffects.h"
#include "PixelOverlayImage.h"
#include "PixelOverlayManager.h"
#include "PixelOverlayModel.h"
#include "common/Common.h"
#include "common/Log.h"
#include "common/SharedMemory.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>

namespace {
constexpr uint32_t OVERLAY_DIRTY_BIT = 1;

uint32_t* flagsOf(unsigned char* block) {
    return reinterpret_cast<uint32_t*>(block + 8);
}

std::string timestampedName(const std::string& model) {
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    char stamp[32];
    snprintf(stamp, sizeof(stamp), "%4d%02d%02d_%02d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
             local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return model + "-" + stamp + ".png";
}
} // namespace

unsigned char* PixelOverlayModel::getOverlayBuffer() {
    unsigned char* block = overlayBuffer.load();
    if (block) {
        return block + OVERLAY_HEADER_BYTES;
    }
    std::lock_guard<std::mutex> lock(overlayLock);
    block = overlayBuffer.load();
    if (block) {
        return block + OVERLAY_HEADER_BYTES;
    }
    size_t pixels = static_cast<size_t>(width) * height * 3;
    std::string error;
    block = MapSharedMemory("/KIV-Model-Overlay-Buffer-" + name, OVERLAY_HEADER_BYTES + pixels + 4, error);
    if (!block) {
        LogWarn(LG_CHANNELOUT, "Could not create the overlay buffer of %s:  %s\n", name.c_str(),
                error.c_str());
        return nullptr;
    }
    memset(block, 0, OVERLAY_HEADER_BYTES + pixels + 4);
    uint32_t size[2] = {static_cast<uint32_t>(width), static_cast<uint32_t>(height)};
    memcpy(block, size, sizeof(size));
    overlayBuffer = block;
    return block + OVERLAY_HEADER_BYTES;
}

void PixelOverlayModel::clearOverlayBuffer() {
    unsigned char* pixels = getOverlayBuffer();
    if (pixels) {
        memset(pixels, 0, static_cast<size_t>(width) * height * 3);
    }
}

void PixelOverlayModel::fillOverlayBuffer(int r, int g, int b) {
    unsigned char* pixels = getOverlayBuffer();
    if (!pixels) {
        return;
    }
    const int nodes = width * height;
    for (int n = 0; n < nodes; n++) {
        pixels[n * 3] = r;
        pixels[n * 3 + 1] = g;
        pixels[n * 3 + 2] = b;
    }
}

void PixelOverlayModel::setOverlayPixelValue(int x, int y, int r, int g, int b) {
    unsigned char* pixels = isInside(x, y) ? getOverlayBuffer() : nullptr;
    if (pixels) {
        unsigned char* p = pixels + (y * width + x) * 3;
        p[0] = r;
        p[1] = g;
        p[2] = b;
    }
}

void PixelOverlayModel::getOverlayPixelValue(int x, int y, int& r, int& g, int& b) {
    unsigned char* pixels = isInside(x, y) ? getOverlayBuffer() : nullptr;
    const unsigned char* p = pixels ? pixels + (y * width + x) * 3 : nullptr;
    r = p ? p[0] : 0;
    g = p ? p[1] : 0;
    b = p ? p[2] : 0;
}

void PixelOverlayModel::setOverlayBufferDirty(bool dirty) {
    if (!getOverlayBuffer()) {
        return;
    }
    std::atomic_ref<uint32_t> flags(*flagsOf(overlayBuffer.load()));
    if (dirty) {
        flags.fetch_or(OVERLAY_DIRTY_BIT);
    } else {
        flags.fetch_and(~OVERLAY_DIRTY_BIT);
    }
}

bool PixelOverlayModel::overlayBufferIsDirty() {
    unsigned char* block = overlayBuffer.load();
    return block && (std::atomic_ref<uint32_t>(*flagsOf(block)).load() & OVERLAY_DIRTY_BIT);
}

bool PixelOverlayModel::needRefresh() {
    return bufferDirty || overlayBufferIsDirty();
}

void PixelOverlayModel::flushOverlayBuffer() {
    unsigned char* pixels = getOverlayBuffer();
    if (!pixels) {
        return;
    }
    if (overridesSetData()) {
        setData(pixels);
    } else {
        const int* map = nodeMap.data();
        unsigned char* data = channelData;
        const size_t entries = nodeMap.size();
        for (size_t i = 0; i < entries; i++) {
            if (map[i] != UNMAPPED) {
                data[map[i]] = pixels[i];
            }
        }
        bufferDirty = true;
    }
    setOverlayBufferDirty(false);
}

// Nearest neighbour with single-precision steps, so pictures scale the same in every process
// that draws into models.
template <typename Store>
static void scaleNearest(const unsigned char* rgb, int srcWidth, int srcHeight, int width, int height,
                         Store store) {
    float xStep = static_cast<float>(srcWidth) / width;
    float yStep = static_cast<float>(srcHeight) / height;
    float rowAcc = 0.0f;
    for (int y = 0; y < height; y++, rowAcc += yStep) {
        float colAcc = 0.0f;
        for (int x = 0; x < width; x++, colAcc += xStep) {
            int row = std::min(static_cast<int>(rowAcc), srcHeight - 1);
            int column = std::min(static_cast<int>(colAcc), srcWidth - 1);
            store(y * width + x, rgb + (static_cast<size_t>(row) * srcWidth + column) * 3);
        }
    }
}

void PixelOverlayModel::setOverlayBufferScaledData(const unsigned char* rgb, int srcWidth, int srcHeight) {
    unsigned char* pixels = srcWidth > 0 && srcHeight > 0 ? getOverlayBuffer() : nullptr;
    if (!pixels) {
        return;
    }
    scaleNearest(rgb, srcWidth, srcHeight, width, height,
                 [&](int node, const unsigned char* src) { memcpy(pixels + node * 3, src, 3); });
}

void PixelOverlayModel::setScaledData(const unsigned char* rgb, int srcWidth, int srcHeight) {
    if (srcWidth <= 0 || srcHeight <= 0) {
        return;
    }
    scaleNearest(rgb, srcWidth, srcHeight, width, height, [&](int node, const unsigned char* src) {
        const int* m = &nodeMap[node * 3];
        for (int k = 0; k < 3 && k < channelsPerNode; k++) {
            if (m[k] != UNMAPPED) {
                channelData[m[k]] = src[k];
            }
        }
    });
    bufferDirty = true;
}

std::vector<unsigned char> PixelOverlayModel::renderImage() {
    return renderImageFrom(channelData);
}

std::vector<unsigned char> PixelOverlayModel::renderImageFrom(const unsigned char* channels) const {
    std::vector<unsigned char> rgb(nodeMap.size(), 0);
    for (size_t i = 0; i < nodeMap.size(); i++) {
        if (nodeMap[i] != UNMAPPED) {
            rgb[i] = channels[nodeMap[i]];
        }
    }
    return rgb;
}

std::string PixelOverlayModel::saveOverlayAsImage(const std::string& fileName) {
    std::string file = fileName.empty() ? timestampedName(name) : fileName;
    std::string path = getKIVMediaDir("/images") + "/" + file;
    LogDebug(LG_CHANNELOUT, "Saving %dx%d PixelOverlayModel image to: %s\n", width, height, path.c_str());
    WriteRGBImage(renderImage(), width, height, path);
    SetFilePerms(path);
    return path;
}

void PixelOverlayModel::setRunningEffect(RunningEffect* effect, int updatePeriodMS) {
    std::lock_guard<std::recursive_mutex> lock(effectLock);
    if (runningEffect) {
        if (runningEffect != effect) {
            delete runningEffect;
        }
        PixelOverlayManager::INSTANCE.removePeriodicUpdate(this);
    }
    runningEffect = effect;
    if (effect) {
        PixelOverlayManager::INSTANCE.addPeriodicUpdate(updatePeriodMS, this);
    }
}

void PixelOverlayModel::stopRunningEffect() {
    bool switchOff = false;
    {
        std::lock_guard<std::recursive_mutex> lock(effectLock);
        switchOff = runningEffect && runningEffect->isAutoEnabled();
        setRunningEffect(nullptr, 0);
    }
    if (switchOff) {
        setState(PixelOverlayState::Off);
    }
}

bool PixelOverlayModel::isEffectRunning() {
    std::lock_guard<std::recursive_mutex> lock(effectLock);
    return runningEffect != nullptr;
}

std::string PixelOverlayModel::runningEffectName() {
    std::lock_guard<std::recursive_mutex> lock(effectLock);
    return runningEffect ? runningEffect->name() : "";
}

int PixelOverlayModel::updateRunningEffects() {
    std::lock_guard<std::recursive_mutex> lock(effectLock); // a mutex failure throws std::system_error
    if (!runningEffect) {
        return 0;
    }
    int next = runningEffect->update();
    if (next == 0) {
        delete runningEffect;
        runningEffect = nullptr;
    }
    return next;
}

bool PixelOverlayModel::applyEffect(const std::string& autoEnable, const std::string& effectName,
                                    const std::vector<std::string>& args) {
    PixelOverlayEffect* effect = PixelOverlayEffect::GetPixelOverlayEffect(effectName);
    return effect && effect->apply(this, autoEnable, args);
}
