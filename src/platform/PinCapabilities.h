#pragma once
// One pin of the board, and the lookups that find pins by header name ("P1-7"), GPIO number or
// UART line. A pin is driven through the backend its provider chose: libgpiod on a board with
// /dev/gpiochip*, simulated pins elsewhere. Lookups of a pin the board lacks return a
// NoPinCapabilities object, which reads 0 and ignores writes.
//
// The provider is owned by whoever passes it to InitGPIO (main creates and deletes it); pins
// belong to the provider. InitGPIO runs on the main thread at start-up; afterwards the table is
// only read. A pin may be driven from several threads: each backend serialises its own state,
// and callers that need a sequence of writes to stay together hold their own lock.

#include "PiGPIOPinProvider.h"

#include <jsoncpp/json/json.h>

#include <list>
#include <string>
#include <vector>

class PinCapabilities {
public:
    PinCapabilities(const std::string& pinName, int gpio);
    virtual ~PinCapabilities();

    const std::string name;         // header name, "P1-7"
    const int kernelGpio;           // GPIO line number on its chip; -1 for no pin
    std::vector<std::string> uarts; // UART lines on this pin, "ttyAMA0-rx"

    // Sets the pin's function. "gpio", "gpio_pd" (pull-down) and "gpio_pu" (pull-up) make it a
    // GPIO, an output when directionOut is true, else an input; other modes ("dpi", "uart", ...)
    // give the pin to that hardware function. The description names the pin's user. Returns 0,
    // or -1 when the backend refused.
    virtual int configPin(const std::string& mode = "gpio", bool directionOut = true,
                          const std::string& description = "") const = 0;
    virtual bool getValue() const = 0;
    virtual void setValue(bool value) const = 0;

    // Edge events. requestEventFile returns a descriptor that becomes readable when the pin's
    // level changes (-1 when it cannot); readEventValue consumes what is pending and returns the
    // new level, or -1 when nothing was pending; releaseEventFile closes the descriptor.
    virtual int requestEventFile() const = 0;
    virtual int readEventValue() const = 0;
    virtual void releaseEventFile() const = 0;

    // False only for NoPinCapabilities.
    virtual bool isReal() const { return true; }
    // This pin, or null for NoPinCapabilities.
    const PinCapabilities* ptr() const { return isReal() ? this : nullptr; }
    // {"pin", "gpio", "uart": [...]}.
    Json::Value toJSON() const;

    // Keeps the provider (not owned) and lets it describe the board for the named process.
    static void InitGPIO(const std::string& process, PinCapabilitiesProvider* provider);
    static PinCapabilitiesProvider* GetProvider();
    // Called by a provider being destroyed.
    static void ForgetProvider(PinCapabilitiesProvider* provider);

    static const PinCapabilities& getPinByName(const std::string& name);
    static const PinCapabilities& getPinByGPIO(int gpio);
    static const PinCapabilities& getPinByUART(const std::string& uart);
    static std::vector<std::string> getPinNames();
    // Drives every listed pin to value; null entries are skipped.
    static void SetMultiPinValue(const std::list<const PinCapabilities*>& pins, int value);
};
