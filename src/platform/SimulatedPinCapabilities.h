#pragma once
// A header pin on the simulated backend: its level and mode live in SimulatedGPIO, so tests and
// other processes see what the daemon drives and can drive its inputs. Configuring an input with
// a pull-up or pull-down sets the level the resistor would give an undriven pin.

#include "PinCapabilities.h"

class SimulatedPinCapabilities : public PinCapabilities {
public:
    SimulatedPinCapabilities(const std::string& pinName, int gpio) : PinCapabilities(pinName, gpio) {}

    int configPin(const std::string& mode = "gpio", bool directionOut = true,
                  const std::string& description = "") const override;
    bool getValue() const override;
    void setValue(bool value) const override;
    int requestEventFile() const override;
    int readEventValue() const override;
    void releaseEventFile() const override;
};
