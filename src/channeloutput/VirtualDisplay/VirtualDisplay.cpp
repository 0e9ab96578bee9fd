#include "VirtualDisplay.h"

#include "common/JsonValues.h"
#include "common/Log.h"
#include "overlays/PixelOverlayManager.h"

#include <cmath>

namespace {

// A light's colour from its channel bytes s0..s3, by colour type; a lit white byte makes it grey.
inline void lightColour(const VirtualDisplayBaseOutput::Light& light, const unsigned char* s, int rgb[3]) {
    if (light.channels == 4 && s[3] && light.colorType <= 5) {
        rgb[0] = rgb[1] = rgb[2] = s[3];
        return;
    }
    static constexpr int ORDER[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {2, 0, 1}, {1, 2, 0}, {2, 1, 0}};
    switch (light.colorType) {
    case 7:
        rgb[0] = s[0], rgb[1] = 0, rgb[2] = 0;
        return;
    case 8:
        rgb[0] = rgb[1] = rgb[2] = s[0];
        return;
    case 9:
        rgb[0] = 0, rgb[1] = 0, rgb[2] = s[0];
        return;
    case 10:
        rgb[0] = 0, rgb[1] = s[0], rgb[2] = 0;
        return;
    case 11:
        rgb[0] = light.color[0], rgb[1] = light.color[1], rgb[2] = light.color[2];
        return;
    default:
        for (int k = 0; k < 3; k++) {
            rgb[k] = s[ORDER[light.colorType][k]];
        }
    }
}

} // namespace

VirtualDisplayOutput::VirtualDisplayOutput(unsigned int startChannel, unsigned int channelCount)
    : VirtualDisplayBaseOutput(startChannel, channelCount) {
    LogDebug(LG_CHANNELOUT, "VirtualDisplayOutput::VirtualDisplayOutput(%u, %u)\n", startChannel,
             channelCount);
}

VirtualDisplayOutput::~VirtualDisplayOutput() {
    LogDebug(LG_CHANNELOUT, "VirtualDisplayOutput::~VirtualDisplayOutput()\n");
}

bool VirtualDisplayOutput::findOrCreateModel(const Json::Value& config) {
    std::string name;
    for (const char* key : {"ModelName", "modelName"}) {
        if (config.isMember(key)) {
            name = JsonString(config[key]);
        }
    }
    if (name.empty()) {
        if (!config.isMember("width") || !config.isMember("height") || !config.isMember("device")) {
            LogErr(LG_CHANNELOUT, "Empty Pixel Overlay Model name\n");
            return false;
        }
        bool sized = config.isMember("PixelSize") || config.isMember("pixelSize");
        name =
            OutputOverlayModel::MakeDeviceModel(config, sized ? std::optional<int>(pixelSize) : std::nullopt);
    }
    if (!model.attach(name)) {
        LogErr(LG_CHANNELOUT, "Invalid Pixel Overlay Model: '%s'\n", name.c_str());
        return false;
    }
    return true;
}

void VirtualDisplayOutput::buildDisc() {
    const int radius = pixelSize < 2 ? 1 : pixelSize / 2;
    disc.clear();
    for (int dy = -radius; dy < radius; dy++) {
        for (int dx = -radius; dx < radius; dx++) {
            if (std::sqrt(double(dx * dx + dy * dy)) <= radius) {
                disc.emplace_back(dx, dy);
            }
        }
    }
}

int VirtualDisplayOutput::Init(Json::Value config) {
    LogDebug(LG_CHANNELOUT, "VirtualDisplayOutput::Init()\n");
    for (const char* key : {"PixelSize", "pixelSize"}) {
        if (config.isMember(key)) {
            pixelSize = JsonInt(config[key]);
        }
    }
    if (!findOrCreateModel(config)) {
        return 0;
    }
    config["width"] = model.get()->getWidth();
    config["height"] = model.get()->getHeight();
    if (!VirtualDisplayBaseOutput::Init(config)) {
        return 0;
    }
    picture.assign(static_cast<size_t>(width) * height * bytesPerPixel, 0);
    if (!InitializePixelMap()) {
        return 0;
    }
    buildDisc();
    model.get()->setData(picture.data());
    if (model.get()->getState() == PixelOverlayState::Off) {
        model.get()->doOverlay(picture.data());
    }
    return 1;
}

int VirtualDisplayOutput::Close() {
    LogDebug(LG_CHANNELOUT, "VirtualDisplayOutput::Close()\n");
    return VirtualDisplayBaseOutput::Close();
}

int VirtualDisplayOutput::SendData(unsigned char* channelData) {
    LogExcess(LG_CHANNELOUT, "VirtualDisplayOutput::SendData(%p)\n", channelData);
    PixelOverlayModel* current = model.follow();
    if (!current) {
        return 0;
    }
    PixelOverlayModel& target = *current;
    for (const Light& light : lights) {
        int rgb[3];
        lightColour(light, channelData + light.offset, rgb);
        for (const auto& [dx, dy] : disc) {
            int x = light.x + dx;
            int y = light.y + dy;
            if (target.isInside(x, y)) {
                target.setPixelValue(x, y, rgb[0], rgb[1], rgb[2]);
            }
        }
    }
    target.setBufferIsDirty(true);
    if (target.getState() == PixelOverlayState::Off) {
        target.doOverlay(target.getOverlayBuffer());
    }
    return m_channelCount;
}
