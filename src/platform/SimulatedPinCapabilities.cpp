#include "SimulatedPinCapabilities.h"

#include "SimulatedGPIO.h"

#include "common/Log.h"

int SimulatedPinCapabilities::configPin(const std::string& mode, bool directionOut,
                                        const std::string& description) const {
    LogDebug(LG_GPIO, "Simulated pin %s (GPIO %d): mode %s, %s, %s\n", name.c_str(), kernelGpio, mode.c_str(),
             directionOut ? "output" : "input", description.c_str());
    SimulatedGPIO::INSTANCE.setMode(kernelGpio, mode, directionOut, description);
    if (!directionOut && mode == "gpio_pu") {
        SimulatedGPIO::INSTANCE.setLevel(kernelGpio, 1);
    } else if (!directionOut && mode == "gpio_pd") {
        SimulatedGPIO::INSTANCE.setLevel(kernelGpio, 0);
    }
    return 0;
}

bool SimulatedPinCapabilities::getValue() const {
    return SimulatedGPIO::INSTANCE.getLevel(kernelGpio) != 0;
}

void SimulatedPinCapabilities::setValue(bool value) const {
    SimulatedGPIO::INSTANCE.setLevel(kernelGpio, value ? 1 : 0);
}

int SimulatedPinCapabilities::requestEventFile() const {
    return SimulatedGPIO::INSTANCE.openEventFile(kernelGpio);
}

int SimulatedPinCapabilities::readEventValue() const {
    return SimulatedGPIO::INSTANCE.takeEvent(kernelGpio);
}

void SimulatedPinCapabilities::releaseEventFile() const {
    SimulatedGPIO::INSTANCE.closeEventFile(kernelGpio);
}
