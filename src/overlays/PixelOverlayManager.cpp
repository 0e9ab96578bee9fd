#include "PixelOverlayManager.h"

#include "common/Common.h"
#include "common/Log.h"

PixelOverlayManager PixelOverlayManager::INSTANCE;

Json::Value OverlayModelDefinition::toJson() const {
    Json::Value json;
    json["Name"] = name;
    json["Type"] = "Channel";
    json["StartChannel"] = startChannel + 1;
    json["ChannelCount"] = channelCount;
    json["ChannelCountPerNode"] = channelsPerNode;
    json["Orientation"] = orientation;
    json["StartCorner"] = startCorner;
    json["StringCount"] = strings;
    json["StrandsPerString"] = strands;
    json["autoCreated"] = true;
    return json;
}

void PixelOverlayManager::Initialize() {
    LogDebug(LG_CHANNELOUT, "Overlay manager: models are recorded, not drawn\n");
}

const OverlayModelDefinition* PixelOverlayManager::getModel(const std::string& name) {
    std::lock_guard<std::mutex> lock(modelsLock);
    auto it = models.find(name);
    return it == models.end() ? nullptr : &it->second;
}

void PixelOverlayManager::addAutoOverlayModel(const std::string& name, int startChannel, int channelCount,
                                              int channelsPerNode, const std::string& orientation,
                                              const std::string& startCorner, int strings, int strands) {
    LogDebug(LG_CHANNELOUT, "Auto overlay model '%s': start %d, %d channels, %d per node, %s %s, %d x %d\n",
             name.c_str(), startChannel, channelCount, channelsPerNode, orientation.c_str(),
             startCorner.c_str(), strings, strands);
    std::lock_guard<std::mutex> lock(modelsLock);
    models[name] = {name,        startChannel, channelCount, channelsPerNode,
                    orientation, startCorner,  strings,      strands};
}

std::vector<OverlayModelDefinition> PixelOverlayManager::getModels() {
    std::lock_guard<std::mutex> lock(modelsLock);
    std::vector<OverlayModelDefinition> result;
    for (const auto& [name, model] : models) {
        result.push_back(model);
    }
    return result;
}

void PixelOverlayManager::clearModels() {
    std::lock_guard<std::mutex> lock(modelsLock);
    models.clear();
}

std::shared_ptr<httpserver::http_response> PixelOverlayManager::render_GET(const httpserver::http_request&) {
    Json::Value result;
    result["status"] = "OK";
    result["models"] = Json::Value(Json::arrayValue);
    for (const auto& model : getModels()) {
        result["models"].append(model.toJson());
    }
    return std::make_shared<httpserver::string_response>(SaveJsonToString(result, ""), 200,
                                                         "application/json");
}
