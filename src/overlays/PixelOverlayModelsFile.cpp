// The models file: definitions the user keeps, read at start and whenever the file changes.

#include "PixelOverlayManager.h"
#include "common/Common.h"
#include "common/Log.h"
#include "common/WarningHolder.h"

#include <set>

std::string PixelOverlayManager::modelsFilePath() const {
    return getKIVMediaDir("/config/overlay-models.json");
}

// False when the file is there but unreadable: a file caught half-edited must not take the
// user's models away. A missing file has no models.
bool PixelOverlayManager::readModelsFile(Json::Value& definitions) {
    Json::Value file;
    std::string path = modelsFilePath();
    definitions = Json::Value(Json::arrayValue);
    if (!FileExists(path)) {
        return true;
    }
    if (!LoadJsonFromFile(path, file) || !file.isObject() || !file["models"].isArray()) {
        LogWarn(LG_CHANNELOUT, "%s: expected an object with a \"models\" array; models left as they were\n",
                path.c_str());
        WarningHolder::AddWarning("Overlay models file " + path +
                                  " is not an object with a \"models\" array");
        return false;
    }
    definitions = file["models"];
    return true;
}

bool PixelOverlayManager::writeModelsFile(const Json::Value& definitions) {
    Json::Value file;
    file["models"] = definitions;
    return SaveJsonToFile(file, modelsFilePath());
}

void PixelOverlayManager::loadModelsFile() {
    Json::Value definitions;
    if (!readModelsFile(definitions)) {
        return;
    }
    std::set<std::string> named;
    for (const Json::Value& definition : definitions) {
        std::string name = ModelNameOf(definition);
        named.insert(name);
        {
            std::lock_guard<std::mutex> lock(modelsLock);
            auto it = models.find(name);
            if (it != models.end() && it->second.source == Source::File &&
                it->second.definition == definition) {
                continue; // unchanged: its state, data and effect stay
            }
        }
        addModel(definition, Source::File);
    }
    for (const std::string& name : getModelNames()) {
        if (!isAutomatic(name) && !named.count(name)) {
            removeModel(name);
        }
    }
}

bool PixelOverlayManager::saveModelDefinition(const Json::Value& definition, std::string& error) {
    if (!addModel(definition, Source::File, &error)) {
        return false;
    }
    std::string name = ModelNameOf(definition);
    Json::Value kept(Json::arrayValue), definitions;
    readModelsFile(definitions);
    for (const Json::Value& other : definitions) {
        if (!other.isObject() || ModelNameOf(other) != name) {
            kept.append(other);
        }
    }
    kept.append(definition);
    if (!writeModelsFile(kept)) {
        error = "could not write " + modelsFilePath();
        return false;
    }
    return true;
}

bool PixelOverlayManager::deleteModelDefinition(const std::string& name) {
    Json::Value kept(Json::arrayValue), definitions;
    bool found = false;
    readModelsFile(definitions);
    for (const Json::Value& other : definitions) {
        bool same = other.isObject() && ModelNameOf(other) == name;
        found |= same;
        if (!same) {
            kept.append(other);
        }
    }
    if (found) {
        writeModelsFile(kept);
    }
    return removeModel(name) || found;
}
