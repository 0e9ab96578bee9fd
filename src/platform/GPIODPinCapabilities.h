#pragma once
// A header pin driven through libgpiod (1.6 API), for boards with /dev/gpiochip*. The line is
// requested from the kernel on configPin (output, or input with the chosen bias) and for edge
// events, and released when the pin goes to another hardware function. Line state is guarded by
// the pin's own mutex, as the output monitor and the GPIO callback thread both touch it.

#include "PinCapabilities.h"

#include <mutex>

struct gpiod_chip;
struct gpiod_line;

class GPIODPinCapabilities : public PinCapabilities {
public:
    // The chip is not owned; it must outlive the pin.
    GPIODPinCapabilities(const std::string& pinName, int gpio, gpiod_chip* chip);
    ~GPIODPinCapabilities() override;

    int configPin(const std::string& mode = "gpio", bool directionOut = true,
                  const std::string& description = "") const override;
    bool getValue() const override;
    void setValue(bool value) const override;
    int requestEventFile() const override;
    int readEventValue() const override;
    void releaseEventFile() const override;

private:
    enum class Request { None, Input, Output, Events };
    bool request(Request kind) const; // caller holds lock
    void release() const;             // caller holds lock

    gpiod_chip* chip;
    mutable std::mutex lock;
    mutable gpiod_line* line = nullptr;
    mutable Request requested = Request::None;
    mutable int biasFlags = 0;
    mutable int lastWritten = 0;
    mutable std::string consumer = "kivd";
};
