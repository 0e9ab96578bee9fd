#include "PinCapabilities.h"

#include "common/Log.h"

namespace {
PinCapabilitiesProvider* currentProvider = nullptr; // not owned
} // namespace

PinCapabilitiesProvider::~PinCapabilitiesProvider() {
    if (currentProvider == this)
        currentProvider = nullptr;
}

void PiGPIOPinProvider::Init() {
    LogDebug(LG_GPIO, "GPIO pins: no pin descriptions loaded yet\n");
}

void PinCapabilities::InitGPIO(const std::string& process, PinCapabilitiesProvider* provider) {
    currentProvider = provider;
    LogDebug(LG_GPIO, "GPIO provider set up for %s\n", process.c_str());
    if (provider)
        provider->Init();
}

PinCapabilitiesProvider* PinCapabilities::GetProvider() {
    return currentProvider;
}
