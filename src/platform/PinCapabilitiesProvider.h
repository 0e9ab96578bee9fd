#pragma once
// The table of a board's pins, filled by a provider's Init and searched by PinCapabilities'
// lookups. The provider owns its pins: they live until the next Init or the provider's
// destruction. Filled on the main thread at start-up and only read afterwards, so lookups take
// no lock.

#include <memory>
#include <string>
#include <vector>

class PinCapabilities;

class PinCapabilitiesProvider {
public:
    PinCapabilitiesProvider();
    virtual ~PinCapabilitiesProvider();
    PinCapabilitiesProvider(const PinCapabilitiesProvider&) = delete;
    PinCapabilitiesProvider& operator=(const PinCapabilitiesProvider&) = delete;

    // Describes the board's pins (replacing any described before).
    virtual void Init() {}

    // Null when the board has no such pin.
    const PinCapabilities* findByName(const std::string& name) const;
    const PinCapabilities* findByGPIO(int gpio) const;
    // A UART line such as "ttyAMA0-rx".
    const PinCapabilities* findByUART(const std::string& uart) const;
    std::vector<const PinCapabilities*> allPins() const;

protected:
    void addPin(std::unique_ptr<PinCapabilities> pin);
    void clearPins();

private:
    std::vector<std::unique_ptr<PinCapabilities>> pins;
};
