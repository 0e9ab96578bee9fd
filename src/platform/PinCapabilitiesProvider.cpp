#include "PinCapabilitiesProvider.h"

#include "PinCapabilities.h"

#include <algorithm>

PinCapabilitiesProvider::PinCapabilitiesProvider() = default;

PinCapabilitiesProvider::~PinCapabilitiesProvider() {
    PinCapabilities::ForgetProvider(this);
}

const PinCapabilities* PinCapabilitiesProvider::findByName(const std::string& name) const {
    for (const auto& pin : pins) {
        if (pin->name == name) {
            return pin.get();
        }
    }
    return nullptr;
}

const PinCapabilities* PinCapabilitiesProvider::findByGPIO(int gpio) const {
    for (const auto& pin : pins) {
        if (pin->kernelGpio == gpio) {
            return pin.get();
        }
    }
    return nullptr;
}

const PinCapabilities* PinCapabilitiesProvider::findByUART(const std::string& uart) const {
    for (const auto& pin : pins) {
        if (std::find(pin->uarts.begin(), pin->uarts.end(), uart) != pin->uarts.end()) {
            return pin.get();
        }
    }
    return nullptr;
}

std::vector<const PinCapabilities*> PinCapabilitiesProvider::allPins() const {
    std::vector<const PinCapabilities*> all;
    for (const auto& pin : pins) {
        all.push_back(pin.get());
    }
    return all;
}

void PinCapabilitiesProvider::addPin(std::unique_ptr<PinCapabilities> pin) {
    pins.push_back(std::move(pin));
}

void PinCapabilitiesProvider::clearPins() {
    pins.clear();
}
