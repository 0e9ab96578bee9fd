#include "SimulatedHardware.h"

#include "common/Common.h"
#include "common/Log.h"
#include "common/Settings.h"
#include "common/WarningHolder.h"

namespace {
// Where Linux shows the board's device tree; either file holds the board's model name.
const char* const MODEL_FILES[] = {"/proc/device-tree/model", "/sys/firmware/devicetree/base/model"};
} // namespace

SimulationMode SimulatedHardwareMode() {
    std::string mode = toLower(getSetting("SimulatedHardware", "auto"));
    if (mode == "off") {
        return SimulationMode::Off;
    }
    if (mode == "on") {
        return SimulationMode::On;
    }
    return SimulationMode::Automatic;
}

bool RunningOnBoard() {
    for (const char* file : MODEL_FILES) {
        if (FileExists(file)) {
            return true;
        }
    }
    return false;
}

bool AllowSimulatedDevice(const std::string& device, const std::string& file, bool explicitRequest) {
    SimulationMode mode = SimulatedHardwareMode();
    if (mode == SimulationMode::Off) {
        LogErr(LG_GENERAL, "%s was not found and SimulatedHardware is off; it is not simulated\n",
               device.c_str());
        return false;
    }
    if (mode == SimulationMode::Automatic && !explicitRequest && RunningOnBoard()) {
        std::string text = device + " was not found on this board; it is simulated in " + file +
                           " and nothing reaches the hardware.";
        LogWarn(LG_GENERAL, "%s\n", text.c_str());
        WarningHolder::AddWarning(text);
        return true;
    }
    LogInfo(LG_GENERAL, "%s is simulated in %s\n", device.c_str(), file.c_str());
    return true;
}
