#include "PinCapabilities.h"

#include "NoPinCapabilities.h"

#include "common/Log.h"

const NoPinCapabilities NoPinCapabilities::INSTANCE;

namespace {
PinCapabilitiesProvider* currentProvider = nullptr; // not owned; set at start-up
} // namespace

PinCapabilities::PinCapabilities(const std::string& pinName, int gpio) : name(pinName), kernelGpio(gpio) {}

PinCapabilities::~PinCapabilities() = default;

Json::Value PinCapabilities::toJSON() const {
    Json::Value result;
    result["pin"] = name;
    result["gpio"] = kernelGpio;
    result["uart"] = Json::Value(Json::arrayValue);
    for (const auto& uart : uarts) {
        result["uart"].append(uart);
    }
    return result;
}

void PinCapabilities::InitGPIO(const std::string& process, PinCapabilitiesProvider* provider) {
    currentProvider = provider;
    if (provider) {
        provider->Init();
    }
    LogDebug(LG_GPIO, "GPIO pins set up for %s: %d pins\n", process.c_str(),
             provider ? (int)provider->allPins().size() : 0);
}

PinCapabilitiesProvider* PinCapabilities::GetProvider() {
    return currentProvider;
}

void PinCapabilities::ForgetProvider(PinCapabilitiesProvider* provider) {
    if (currentProvider == provider) {
        currentProvider = nullptr;
    }
}

const PinCapabilities& PinCapabilities::getPinByName(const std::string& name) {
    return NoPinCapabilities::orNone(currentProvider ? currentProvider->findByName(name) : nullptr);
}

const PinCapabilities& PinCapabilities::getPinByGPIO(int gpio) {
    return NoPinCapabilities::orNone(currentProvider ? currentProvider->findByGPIO(gpio) : nullptr);
}

const PinCapabilities& PinCapabilities::getPinByUART(const std::string& uart) {
    return NoPinCapabilities::orNone(currentProvider ? currentProvider->findByUART(uart) : nullptr);
}

std::vector<std::string> PinCapabilities::getPinNames() {
    std::vector<std::string> names;
    if (currentProvider) {
        for (const PinCapabilities* pin : currentProvider->allPins()) {
            names.push_back(pin->name);
        }
    }
    return names;
}

void PinCapabilities::SetMultiPinValue(const std::list<const PinCapabilities*>& pins, int value) {
    for (const PinCapabilities* pin : pins) {
        if (pin) {
            pin->setValue(value != 0);
        }
    }
}
