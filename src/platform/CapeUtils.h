#pragma once
// Board files that describe how a board's pins are used. getStringConfig finds the pin
// configuration of a pixel-string board by name: first media directory + "/tmp/strings/" + NAME
// + ".json" (a file a user or a cape installer left there), then the shipped
// getKIVDDir("/capes/pi/strings/") + NAME + ".json".

#include <jsoncpp/json/json.h>

#include <string>

class CapeUtils {
public:
    // Fills config from the first of those files that exists and parses; false when none does.
    static bool getStringConfig(const std::string& name, Json::Value& config);
    // The file a board of that name is read from: the media directory's copy when it exists, else
    // the shipped one (which may be missing too). Empty for a name with a '/'.
    static std::string findStringConfigFile(const std::string& name);
};
