#include "FBMatrix.h"

#include "common/JsonValues.h"
#include "common/Log.h"
#include "common/WarningHolder.h"
#include "overlays/PixelOverlayManager.h"

#include <cstring>

FBMatrixOutput::FBMatrixOutput(unsigned int startChannel, unsigned int channelCount)
    : ChannelOutput(startChannel, channelCount) {
    LogDebug(LG_CHANNELOUT, "FBMatrixOutput::FBMatrixOutput(%u, %u)\n", startChannel, channelCount);
}

FBMatrixOutput::~FBMatrixOutput() {
    LogDebug(LG_CHANNELOUT, "FBMatrixOutput::~FBMatrixOutput()\n");
}

// A model named in the configuration, or the "FB - DEVICE" model, made when it does not exist yet.
bool FBMatrixOutput::findOrCreateModel(const Json::Value& config) {
    std::string name = JsonString(config["modelName"]);
    if (name.empty()) {
        if (!config.isMember("width") || !config.isMember("height") || !config.isMember("device")) {
            LogErr(LG_CHANNELOUT, "Empty Pixel Overlay Model name\n");
            WarningHolder::AddWarning("VirtualMatrix: Empty Pixel Overlay Model name");
            return false;
        }
        name = OutputOverlayModel::MakeDeviceModel(config, std::nullopt);
    }
    if (!model.attach(name)) {
        LogErr(LG_CHANNELOUT, "Invalid Pixel Overlay Model: '%s'\n", name.c_str());
        WarningHolder::AddWarning("VirtualMatrix: Invalid Pixel Overlay Model: " + name);
        return false;
    }
    return true;
}

void FBMatrixOutput::addAutomaticModel(const Json::Value& config) {
    PixelOverlayManager& manager = PixelOverlayManager::INSTANCE;
    if (!manager.isAutoCreatePixelOverlayModels()) {
        return;
    }
    std::string name = config.isMember("description") ? JsonString(config["description"]) : "VirtualMatrix";
    if (!manager.findModel(name)) {
        manager.addAutoOverlayModel(name, m_startChannel, m_channelCount, 3, "H", "TL", height, 1);
    }
}

int FBMatrixOutput::Init(Json::Value config) {
    LogDebug(LG_CHANNELOUT, "FBMatrixOutput::Init()\n");
    if (!findOrCreateModel(config)) {
        return 0;
    }
    width = model.get()->getWidth();
    height = model.get()->getHeight();
    long long count = 3LL * width * height;
    // The rows are read from the channel buffer, so they must all lie inside it.
    if (m_startChannel + count > KIVD_MAX_CHANNELS) {
        LogErr(LG_CHANNELOUT, "FBMatrix: %dx%d pixels from channel %u run past the last channel\n", width,
               height, m_startChannel + 1);
        WarningHolder::AddWarning("VirtualMatrix: " + std::to_string(width) + "x" + std::to_string(height) +
                                  " pixels from channel " + std::to_string(m_startChannel + 1) +
                                  " run past the last channel");
        return 0;
    }
    m_channelCount = static_cast<unsigned int>(count);
    invert = JsonInt(config["invert"]);
    buffer.assign(count, 0);
    addAutomaticModel(config);
    return ChannelOutput::Init(config);
}

int FBMatrixOutput::Close() {
    LogDebug(LG_CHANNELOUT, "FBMatrixOutput::Close()\n");
    return ChannelOutput::Close();
}

void FBMatrixOutput::PrepData(unsigned char* channelData) {
    const unsigned char* source = channelData + m_startChannel;
    LogExcess(LG_CHANNELOUT, "FBMatrixOutput::SendData(%p)\n", source);
    const size_t rowBytes = static_cast<size_t>(width) * 3;
    for (int row = 0; row < height; row++) {
        int target = invert ? height - 1 - row : row;
        memcpy(buffer.data() + target * rowBytes, source + row * rowBytes, rowBytes);
    }
}

int FBMatrixOutput::SendData(unsigned char* channelData) {
    PixelOverlayModel* target = model.follow();
    if (!target) {
        return 0;
    }
    target->setData(buffer.data());
    if (target->getState() == PixelOverlayState::Off) {
        // doOverlay works on the whole channel buffer; this output was handed it from its start.
        target->doOverlay(channelData - m_startChannel);
    }
    return m_channelCount;
}

void FBMatrixOutput::DumpConfig() {
    LogDebug(LG_CHANNELOUT, "VirtualMatrixOutput::DumpConfig()\n");
    LogDebug(LG_CHANNELOUT, "    model  : %s\n", model.name().c_str());
    LogDebug(LG_CHANNELOUT, "    width  : %d\n", width);
    LogDebug(LG_CHANNELOUT, "    height : %d\n", height);
}

void FBMatrixOutput::GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) {
    addRange(m_startChannel, m_startChannel + width * height * 3 - 1);
}
