#include "DeviceNames.h"

#include "common/WarningHolder.h"

#include <algorithm>

bool IsSingleDeviceName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") {
        return false;
    }
    return std::none_of(name.begin(), name.end(),
                        [](char c) { return c == '/' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

bool IsDeviceNameBelowDev(const std::string& name) {
    size_t start = 0;
    for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', start)) {
        if (!IsSingleDeviceName(name.substr(start, slash - start))) {
            return false;
        }
        start = slash + 1;
    }
    return IsSingleDeviceName(name.substr(start));
}

bool CheckDeviceName(const std::string& name, const std::string& user, bool belowDev,
                     KIVLoggerInstance& logger) {
    if (belowDev ? IsDeviceNameBelowDev(name) : IsSingleDeviceName(name)) {
        return true;
    }
    std::string text = user + ": device name \"" + name + "\" is not a plain device name; it was refused.";
    LogErr(logger, "%s\n", text.c_str());
    WarningHolder::AddWarning(text);
    return false;
}
