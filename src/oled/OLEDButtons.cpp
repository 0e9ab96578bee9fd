#include "OLEDButtons.h"

#include "common/Common.h"
#include "common/JsonValues.h"
#include "common/Log.h"
#include "platform/PinCapabilities.h"

int OLEDButtons::load(const std::string& configPath) {
    buttons.clear();
    Json::Value config;
    if (!FileExists(configPath)) {
        LogInfo(LG_GENERAL, "kivoled: no %s, so no buttons\n", configPath.c_str());
        return 0;
    }
    if (!LoadJsonFromFile(configPath, config) || !config.isObject() || !config["buttons"].isObject()) {
        LogWarn(LG_GENERAL, "kivoled: %s has no \"buttons\" object; no buttons are used\n",
                configPath.c_str());
        return 0;
    }
    const Json::Value& named = config["buttons"];
    for (const std::string& action : named.getMemberNames()) {
        std::string pinName = JsonString(named[action]);
        const PinCapabilities* pin = PinCapabilities::getPinByName(pinName).ptr();
        if (!pin) {
            LogWarn(LG_GENERAL, "kivoled: button %s names pin \"%s\", which this board lacks\n",
                    action.c_str(), pinName.c_str());
            continue;
        }
        pin->configPin("gpio_pu", false, "kivoled " + action);
        buttons.push_back(Button{action, pin});
    }
    return buttons.size();
}

std::vector<std::string> OLEDButtons::poll(long long nowMS) {
    std::vector<std::string> presses;
    for (Button& b : buttons) {
        bool low = !b.pin->getValue();
        if (low != b.seen) {
            b.seen = low;
            b.seenSince = nowMS;
        }
        if (b.seen != b.pressed && nowMS - b.seenSince >= DEBOUNCE_MS) {
            b.pressed = b.seen;
            if (b.pressed) {
                presses.push_back(b.action);
            }
        }
    }
    return presses;
}
