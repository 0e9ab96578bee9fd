#pragma once
// The status program's buttons: GPIO inputs named in the media directory's
// "config/kivoled.json" ({"buttons": {"Up": "P1-16", "Down": "P1-18", "Enter": "P1-22",
// "Back": "P1-15"}}), read through the pin layer. Each button connects its pin to ground, so the
// pins are inputs with pull-ups and a low level is a press. A level counts once it has held for
// DEBOUNCE_MS; a press is reported once, when it starts.
//
// Owned and polled by the main loop (single-threaded); the pins belong to the pin provider.

#include <string>
#include <vector>

class PinCapabilities;

class OLEDButtons {
public:
    static constexpr int DEBOUNCE_MS = 30;

    // Reads the configuration and configures the pins; buttons whose pin the board lacks are
    // skipped with a warning. Returns the count of usable buttons.
    int load(const std::string& configPath);
    // The actions ("Up", "Down", "Enter", "Back") of the presses that settled by nowMS.
    std::vector<std::string> poll(long long nowMS);

private:
    struct Button {
        std::string action;
        const PinCapabilities* pin;
        bool pressed = false;    // settled state
        bool seen = false;       // level read last
        long long seenSince = 0; // when the level read last first appeared
    };
    std::vector<Button> buttons;
};
