#include "PiGPIOPinProvider.h"

#include "GPIODPinCapabilities.h"
#include "SimulatedGPIO.h"
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

PiGPIOPinProvider::Backend PiGPIOPinProvider::decideBackend() const {
    if (requested != Backend::Automatic)
        return requested;
    const char* simFile = getenv("KIV_GPIO_SIM_FILE");
    if (simFile && *simFile)
        return Backend::Simulated;
    return hasGpioChipDevice() ? Backend::GPIOD : Backend::Simulated;
}

bool PiGPIOPinProvider::openChip(const Json::Value& labels) {
    for (const Json::Value& label : labels) {
        chip = gpiod_chip_open_by_label(JsonString(label).c_str());
        if (chip)
            return true;
    }
    chip = gpiod_chip_open_by_name("gpiochip0");
    return chip != nullptr;
}

void PiGPIOPinProvider::closeChip() {
    if (chip)
        gpiod_chip_close(chip);
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
    chosen = decideBackend();
    if (chosen == Backend::GPIOD && !openChip(table["gpioChipLabels"])) {
        LogWarn(LG_GPIO, "No GPIO chip could be opened; using simulated pins\n");
        chosen = Backend::Simulated;
    }
    if (chosen == Backend::Simulated)
        SimulatedGPIO::INSTANCE.open(SimulatedGPIO::DefaultPath());
    for (const Json::Value& entry : table["pins"]) {
        if (!ConfigValueIs(entry, Json::objectValue, boardFile, "pins", LG_GPIO))
            continue;
        std::string name = JsonString(entry["pin"]);
        int gpio = JsonInt(entry["gpio"], -1);
        if (name.empty() || gpio < 0)
            continue;
        std::unique_ptr<PinCapabilities> pin;
        if (chosen == Backend::GPIOD)
            pin = std::make_unique<GPIODPinCapabilities>(name, gpio, chip);
        else
            pin = std::make_unique<SimulatedPinCapabilities>(name, gpio);
        for (const Json::Value& uart : entry["uart"])
            pin->uarts.push_back(JsonString(uart));
        addPin(std::move(pin));
    }
    LogDebug(LG_GPIO, "%d pins from %s, %s backend\n", (int)allPins().size(), boardFile.c_str(),
             chosen == Backend::GPIOD ? "libgpiod" : "simulated");
}
