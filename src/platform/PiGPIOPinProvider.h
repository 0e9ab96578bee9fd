#pragma once
// The pins of the Raspberry Pi 40-pin header, described by the board table
// capes/pi/pins.json in the daemon's folder ({"pins": [{"pin": "P1-7", "gpio": 4,
// "uart": ["ttyAMA0-rx"]}, ...], "gpioChipLabels": [...]}).
//
// Backend, chosen in Init: libgpiod on the chip whose label the table names (else gpiochip0)
// when a /dev/gpiochip* device exists; the simulated pins of SimulatedGPIO when there is none or
// when KIV_GPIO_SIM_FILE is set (so tests on a board never drive its real pins), as far as the
// "SimulatedHardware" setting allows (SimulatedHardware.h); None, without pins, when it does not.

#include "PinCapabilitiesProvider.h"

#include <jsoncpp/json/json.h>

#include <string>

struct gpiod_chip;

class PiGPIOPinProvider : public PinCapabilitiesProvider {
public:
    enum class Backend { Automatic, Simulated, GPIOD, None };

    // An empty board file means the shipped table.
    explicit PiGPIOPinProvider(Backend backend = Backend::Automatic, const std::string& boardFile = "");
    ~PiGPIOPinProvider() override;

    void Init() override;
    // The backend Init settled on.
    Backend backend() const { return chosen; }

private:
    bool wantsChip() const;
    Backend decideBackend(bool chipOpened) const;
    bool openChip(const Json::Value& labels);
    void closeChip();

    Backend requested;
    Backend chosen = Backend::Simulated;
    std::string boardFile;
    gpiod_chip* chip = nullptr; // owned; pins on it are destroyed first
};
