#include "PiGPIOPinProvider.h"

#include "GPIODPinCapabilities.h"
#include "SimulatedGPIO.h"
#include "SimulatedHardware.h"
#include "SimulatedPinCapabilities.h"

#include "common/Common.h"
#include "common/ConfigChecks.h"
#include "common/JsonValues.h"
#include "common/Log.h"

#include <glob.h>
#include <gpiod.h>

#include <cstdlib>

namespace {
bool hasGpioChipDevice() {
    glob_t found{};
    bool any = glob("/dev/gpiochip*", 0, nullptr, &found) == 0 && found.gl_pathc > 0;
    globfree(&found);
    return any;
}
} // namespace

PiGPIOPinProvider::PiGPIOPinProvider(Backend backend, const std::string& file)
    : requested(backend), boardFile(file.empty() ? getKIVDDir("/capes/pi/pins.json") : file) {}

PiGPIOPinProvider::~PiGPIOPinProvider() {
    clearPins();
    closeChip();
}

// Simulated pins are the setting's to allow, unless the caller asked for them; None leaves the
// board without pins.
PiGPIOPinProvider::Backend PiGPIOPinProvider::decideBackend(bool chipOpened) const {
    if (chipOpened) {
        return Backend::GPIOD;
    }
    if (requested == Backend::Simulated) {
        return Backend::Simulated;
    }
    const char* simFile = getenv("KIV_GPIO_SIM_FILE");
    bool asked = simFile && *simFile;
    return AllowSimulatedDevice("GPIO chip", SimulatedGPIO::DefaultPath(), asked) ? Backend::Simulated
                                                                                  : Backend::None;
}

bool PiGPIOPinProvider::wantsChip() const {
    if (requested != Backend::Automatic) {
        return requested == Backend::GPIOD;
    }
    const char* simFile = getenv("KIV_GPIO_SIM_FILE");
    return !(simFile && *simFile) && SimulatedHardwareMode() != SimulationMode::On && hasGpioChipDevice();
}

bool PiGPIOPinProvider::openChip(const Json::Value& labels) {
    for (const Json::Value& label : labels) {
        chip = gpiod_chip_open_by_label(JsonString(label).c_str());
        if (chip) {
            return true;
        }
    }
    chip = gpiod_chip_open_by_name("gpiochip0");
    return chip != nullptr;
}

void PiGPIOPinProvider::closeChip() {
    if (chip) {
        gpiod_chip_close(chip);
    }
    chip = nullptr;
}

void PiGPIOPinProvider::Init() {
    clearPins();
    closeChip();
    Json::Value table;
    if (!LoadJsonFromFile(boardFile, table) ||
        !ConfigValueIs(table, Json::objectValue, boardFile, CONFIG_TOP_LEVEL, LG_GPIO)) {
        LogErr(LG_GPIO, "Cannot read the board pin table %s; no pins available\n", boardFile.c_str());
        return;
    }
    bool opened = wantsChip() && openChip(table["gpioChipLabels"]);
    if (wantsChip() && !opened) {
        LogWarn(LG_GPIO, "No GPIO chip could be opened\n");
    }
    chosen = decideBackend(opened);
    if (chosen == Backend::None) {
        LogErr(LG_GPIO, "No GPIO chip and no simulated pins; no pins available\n");
        return;
    }
    if (chosen == Backend::Simulated) {
        SimulatedGPIO::INSTANCE.open(SimulatedGPIO::DefaultPath());
    }
    for (const Json::Value& entry : table["pins"]) {
        if (!ConfigValueIs(entry, Json::objectValue, boardFile, "pins", LG_GPIO)) {
            continue;
        }
        std::string name = JsonString(entry["pin"]);
        int gpio = JsonInt(entry["gpio"], -1);
        if (name.empty() || gpio < 0) {
            continue;
        }
        std::unique_ptr<PinCapabilities> pin;
        if (chosen == Backend::GPIOD) {
            pin = std::make_unique<GPIODPinCapabilities>(name, gpio, chip);
        } else {
            pin = std::make_unique<SimulatedPinCapabilities>(name, gpio);
        }
        for (const Json::Value& uart : entry["uart"]) {
            pin->uarts.push_back(JsonString(uart));
        }
        addPin(std::move(pin));
    }
    LogDebug(LG_GPIO, "%d pins from %s, %s backend\n", (int)allPins().size(), boardFile.c_str(),
             chosen == Backend::GPIOD ? "libgpiod" : "simulated");
}
