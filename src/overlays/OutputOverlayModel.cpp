#include "OutputOverlayModel.h"

#include "PixelOverlayManager.h"
#include "common/JsonValues.h"
#include "common/Log.h"

std::string OutputOverlayModel::MakeDeviceModel(const Json::Value& config, std::optional<int> pixelSize) {
    std::string device = JsonString(config["device"]);
    if (device.rfind("/dev/", 0) == 0) {
        device = device.substr(5);
    }
    std::string name = "FB - " + device;
    if (!PixelOverlayManager::INSTANCE.findModel(name)) {
        Json::Value definition;
        definition["Name"] = name;
        definition["Type"] = "FB";
        definition["Width"] = JsonInt(config["width"]);
        definition["Height"] = JsonInt(config["height"]);
        if (pixelSize) {
            definition["PixelSize"] = *pixelSize;
        }
        definition["Device"] = device;
        definition["autoCreated"] = true;
        PixelOverlayManager::INSTANCE.addModel(definition, PixelOverlayManager::Source::Automatic);
    }
    return name;
}

bool OutputOverlayModel::attach(const std::string& name) {
    modelName = name;
    held = PixelOverlayManager::INSTANCE.findModel(name);
    width = held ? held->getWidth() : 0;
    height = held ? held->getHeight() : 0;
    return held != nullptr;
}

PixelOverlayModel* OutputOverlayModel::follow() {
    std::shared_ptr<PixelOverlayModel> current = PixelOverlayManager::INSTANCE.findModel(modelName);
    if (current == held) {
        return held.get();
    }
    bool sameSize = current && current->getWidth() == width && current->getHeight() == height;
    if (current && !sameSize && !warned) {
        LogWarn(LG_CHANNELOUT,
                "Overlay model '%s' is now %dx%d, not %dx%d; not drawn until the outputs restart\n",
                modelName.c_str(), current->getWidth(), current->getHeight(), width, height);
        warned = true;
    }
    held = sameSize ? current : nullptr;
    return held.get();
}
