// Board-file lookup: a user's copy in the media directory wins over the shipped one.

#include "CapeUtils.h"

#include "common/Common.h"
#include "common/Log.h"

bool CapeUtils::getStringConfig(const std::string& name, Json::Value& config) {
    if (name.empty() || contains(name, "/")) {
        return false;
    }
    const std::string candidates[] = {getKIVMediaDir("/tmp/strings/" + name + ".json"),
                                      getKIVDDir("/capes/pi/strings/" + name + ".json")};
    for (const std::string& path : candidates) {
        if (!FileExists(path)) {
            continue;
        }
        if (LoadJsonFromFile(path, config)) {
            LogDebug(LG_CHANNELOUT, "String configuration %s read from %s\n", name.c_str(), path.c_str());
            return true;
        }
        LogWarn(LG_CHANNELOUT, "String configuration %s is not valid JSON\n", path.c_str());
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
