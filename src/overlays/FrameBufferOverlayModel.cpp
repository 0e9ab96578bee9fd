#include "FrameBufferOverlayModel.h"

#include "PixelOverlayManager.h"
#include "common/CpuFeatures.h"
#include "common/JsonValues.h"
#include "common/Log.h"
#include "common/WarningHolder.h"
#include "platform/FrameBuffer.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace {

constexpr int MAX_SCREEN_SIDE = 16384;
constexpr int PAGES = 2;

void warn(const std::string& model, const std::string& text) {
    LogWarn(LG_CHANNELOUT, "Overlay model '%s': %s\n", model.c_str(), text.c_str());
    WarningHolder::AddWarning("Overlay model '" + model + "': " + text);
}

// The name becomes a path under /dev and /dev/shm, so it must stay a single plain name there.
bool isPlainDeviceName(const std::string& device) {
    if (device.empty() || device.size() > 64 || device.find("..") != std::string::npos) {
        return false;
    }
    return std::all_of(device.begin(), device.end(),
                       [](char c) { return isalnum(static_cast<unsigned char>(c)) || strchr("-_.:", c); });
}

std::string deviceOf(const Json::Value& definition) {
    std::string device = JsonString(definition["Device"]);
    if (device.rfind("/dev/", 0) == 0) {
        device = device.substr(5);
    }
    return device.empty() ? "fb1" : device;
}

int screenSide(const Json::Value& definition, const char* key) {
    int side = JsonInt(definition[key]);
    if (side < 1 || side > MAX_SCREEN_SIDE) {
        throw std::invalid_argument(std::string("\"") + key + "\" " + std::to_string(side) + " is not 1 to " +
                                    std::to_string(MAX_SCREEN_SIDE));
    }
    return side;
}

// The definition as the base model should read it: three channels a pixel (so the node map is the
// identity), a usable pixel size and bit depth; what cannot be shown at all is refused.
Json::Value checkedDefinition(const Json::Value& given) {
    Json::Value definition = given;
    std::string name = JsonString(given["Name"]);
    std::string device = deviceOf(given);
    if (!isPlainDeviceName(device)) {
        throw std::invalid_argument("\"Device\" '" + device + "' is not a plain device name");
    }
    definition["Device"] = device;
    int width = screenSide(given, "Width");
    int height = screenSide(given, "Height");
    int pixelSize = given.isMember("PixelSize") ? JsonInt(given["PixelSize"]) : 1;
    if (pixelSize < 1) {
        warn(name, "\"PixelSize\" " + std::to_string(pixelSize) + " is below 1; using 1");
        pixelSize = 1;
    }
    if (pixelSize > width || pixelSize > height) {
        throw std::invalid_argument("\"PixelSize\" " + std::to_string(pixelSize) + " is larger than the " +
                                    std::to_string(width) + "x" + std::to_string(height) + " screen");
    }
    definition["PixelSize"] = pixelSize;
    int bits = given.isMember("BitsPerPixel") ? JsonInt(given["BitsPerPixel"]) : 32;
    if (bits != 16 && bits != 24 && bits != 32) {
        warn(name, "\"BitsPerPixel\" " + std::to_string(bits) + " is not 16, 24 or 32; using 32");
        bits = 32;
    }
    definition["BitsPerPixel"] = bits;
    definition.removeMember("ChannelCountPerNode");
    return definition;
}

inline void putPixel32(uint8_t* out, const uint8_t* rgb) {
    uint32_t v = 0xFF000000u | uint32_t(rgb[0]) << 16 | uint32_t(rgb[1]) << 8 | rgb[2];
    memcpy(out, &v, 4); // little-endian: B, G, R, 0xFF
}

inline void putPixel24(uint8_t* out, const uint8_t* rgb) {
    out[0] = rgb[2];
    out[1] = rgb[1];
    out[2] = rgb[0];
}

inline void putPixel16(uint8_t* out, const uint8_t* rgb) {
    uint16_t v = uint16_t((rgb[0] >> 3) << 11 | (rgb[1] >> 2) << 5 | rgb[2] >> 3);
    out[0] = uint8_t(v);
    out[1] = uint8_t(v >> 8);
}

// One screen line from one model row: each model pixel repeated pixelSize times, up to `pixels`.
template <int BYTES, void (*PUT)(uint8_t*, const uint8_t*)>
void paintLine(uint8_t* out, const uint8_t* rgb, int pixels, int pixelSize) {
    if (pixelSize == 1) {
        for (int x = 0; x < pixels; x++) {
            PUT(out + x * BYTES, rgb + x * 3);
        }
        return;
    }
    for (int x = 0; x < pixels; x++) {
        PUT(out + x * BYTES, rgb + (x / pixelSize) * 3);
    }
}

using Bytes16 = unsigned char __attribute__((vector_size(16)));

// Four pixels a step, R, G, B to B, G, R, 0xFF by one byte shuffle; the 16-byte load reaches
// past the four pixels, so it stops two pixels before the row's end. Returns where it stopped.
inline __attribute__((always_inline)) int paintPixels32InVectors(uint8_t* out, const uint8_t* rgb,
                                                                 int pixels) {
    const Bytes16 alpha = {0, 0, 0, 0xFF, 0, 0, 0, 0xFF, 0, 0, 0, 0xFF, 0, 0, 0, 0xFF};
    int x = 0;
    for (; x + 6 <= pixels; x += 4) {
        Bytes16 source;
        memcpy(&source, rgb + x * 3, 16);
        Bytes16 screen =
            __builtin_shufflevector(source, source, 2, 1, 0, 12, 5, 4, 3, 12, 8, 7, 6, 12, 11, 10, 9, 12) |
            alpha;
        memcpy(out + x * 4, &screen, 16);
    }
    return x;
}

#if defined(KIV_HAVE_X86_SIMD)
// The byte shuffle needs SSSE3 on x86; without it the pixels go one by one.
__attribute__((target("ssse3"))) int paintPixels32SSSE3(uint8_t* out, const uint8_t* rgb, int pixels) {
    return paintPixels32InVectors(out, rgb, pixels);
}
#endif

void paintLine32(uint8_t* out, const uint8_t* rgb, int pixels, int pixelSize) {
    if (pixelSize != 1) {
        paintLine<4, putPixel32>(out, rgb, pixels, pixelSize);
        return;
    }
#if defined(KIV_HAVE_X86_SIMD)
    int done = CpuHasSSSE3() ? paintPixels32SSSE3(out, rgb, pixels) : 0;
#else
    int done = paintPixels32InVectors(out, rgb, pixels);
#endif
    paintLine<4, putPixel32>(out + done * 4, rgb + done * 3, pixels - done, 1);
}

using LinePainter = void (*)(uint8_t*, const uint8_t*, int, int);

LinePainter painterFor(int bytesPerPixel) {
    switch (bytesPerPixel) {
    case 2:
        return paintLine<2, putPixel16>;
    case 3:
        return paintLine<3, putPixel24>;
    default:
        return paintLine32;
    }
}

} // namespace

FrameBufferOverlayModel::FrameBufferOverlayModel(const Json::Value& definition)
    : PixelOverlayModel(checkedDefinition(definition)) {
    Json::Value checked;
    toJson(checked);
    pixelSize = JsonInt(checked["PixelSize"]);
    openFrameBuffer(checked);
}

FrameBufferOverlayModel::~FrameBufferOverlayModel() = default;

void FrameBufferOverlayModel::openFrameBuffer(const Json::Value& definition) {
    Json::Value request;
    request["Device"] = definition["Device"];
    request["Width"] = getWidth() * pixelSize;
    request["Height"] = getHeight() * pixelSize;
    request["BitsPerPixel"] = definition["BitsPerPixel"];
    request["Pages"] = PAGES;
    frameBuffer.reset(FrameBuffer::createFrameBuffer(request));
    if (!frameBuffer) {
        warn(getName(),
             "could not open framebuffer " + JsonString(definition["Device"]) + "; nothing is shown");
        return;
    }
    frameBuffer->ClearAllPages();
}

void FrameBufferOverlayModel::setData(const unsigned char* rgb) {
    memcpy(getChannelData(), rgb, static_cast<size_t>(getWidth()) * getHeight() * 3);
    setBufferIsDirty(true);
}

void FrameBufferOverlayModel::doOverlay(unsigned char* /*channels*/) {
    // A model replaced from the models file may still be held by an output; only the manager's
    // current model paints, as its successor has opened (and may have resized) the same device.
    if (!needRefresh() || PixelOverlayManager::INSTANCE.findModel(getName()).get() != this) {
        return;
    }
    // Cleared before painting: a write that lands meanwhile marks the next page again.
    setBufferIsDirty(false);
    showPicture();
}

// The device may be smaller than asked for (a real fbdev keeps its mode), so painting stops at the
// page's edges.
void FrameBufferOverlayModel::showPicture() {
    std::lock_guard<std::mutex> lock(showLock);
    uint8_t* page = frameBuffer ? frameBuffer->CurrentPage() : nullptr;
    if (!page) {
        return;
    }
    const int lineBytes = frameBuffer->LineLength();
    const int pixels = std::min(getWidth() * pixelSize, frameBuffer->Width());
    const int lines = std::min(getHeight() * pixelSize, frameBuffer->Height());
    const LinePainter paint = painterFor(frameBuffer->BytesPerPixel());
    const unsigned char* rgb = getChannelData();
    for (int line = 0; line < lines; line++) {
        uint8_t* out = page + static_cast<size_t>(line) * lineBytes;
        if (line % pixelSize == 0) {
            paint(out, rgb + static_cast<size_t>(line / pixelSize) * getWidth() * 3, pixels, pixelSize);
        } else {
            memcpy(out, out - lineBytes, static_cast<size_t>(pixels) * frameBuffer->BytesPerPixel());
        }
    }
    frameBuffer->PagePrepared();
    frameBuffer->SyncDisplay(true);
    frameBuffer->NextPage(false);
}
