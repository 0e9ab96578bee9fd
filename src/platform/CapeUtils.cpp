// Board-file lookup: a user's copy in the media directory wins over the shipped one.

#include "CapeUtils.h"

#include "DeviceNames.h"
#include "common/Common.h"
#include "common/ConfigChecks.h"
#include "common/Log.h"

bool CapeUtils::getStringConfig(const std::string& name, Json::Value& config) {
    if (!IsSingleDeviceName(name)) {
        LogWarn(LG_CHANNELOUT, "String configuration name \"%s\" is not a plain file name\n", name.c_str());
        return false;
    }
    const std::string candidates[] = {getKIVMediaDir("/tmp/strings/" + name + ".json"),
                                      getKIVDDir("/capes/pi/strings/" + name + ".json")};
    for (const std::string& path : candidates) {
        if (!FileExists(path)) {
            continue;
        }
        if (LoadJsonFromFile(path, config) &&
            ConfigValueIs(config, Json::objectValue, path, CONFIG_TOP_LEVEL, LG_CHANNELOUT)) {
            LogDebug(LG_CHANNELOUT, "String configuration %s read from %s\n", name.c_str(), path.c_str());
            return true;
        }
        LogWarn(LG_CHANNELOUT, "String configuration %s is not a valid JSON object\n", path.c_str());
    }
    return false;
}

std::string CapeUtils::findStringConfigFile(const std::string& name) {
    if (name.empty() || contains(name, "/")) {
        return "";
    }
    std::string own = getKIVMediaDir("/tmp/strings/" + name + ".json");
    return FileExists(own) ? own : getKIVDDir("/capes/pi/strings/" + name + ".json");
}
