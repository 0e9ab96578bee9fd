#pragma once
// Effect kinds that paint into an overlay model, found by name.
//
// Built in (arguments are strings, as commands and the API pass them):
//   "Color Fill"  [color]: fills the model once with the colour.
//   "Color Fade"  [from color, to color, duration ms]: fades from one colour to the other, then
//                 keeps the last colour; updated every 25 ms.
//   "Bars"        [direction, bar size, speed, colors]: bars of the given colours (comma-separated)
//                 and size in pixels move "Left", "Right", "Up" or "Down" at speed pixels a second
//                 until stopped; updated every 25 ms.
// Colours are "#RRGGBB" (or "RRGGBB", "0xRRGGBB"). With auto-enable an effect switches an Off
// model to Opaque as it starts, and stopping it switches the model off again.
// The registry is made once and never changes, so it is read from any thread without a lock.

#include "common/Command.h"

#include <jsoncpp/json/json.h>

#include <list>
#include <string>
#include <vector>

class PixelOverlayModel;

class PixelOverlayEffect {
public:
    explicit PixelOverlayEffect(const std::string& n) : name(n) {}
    virtual ~PixelOverlayEffect() {}

    // Starts the effect on the model; false when it cannot (bad arguments).
    virtual bool apply(PixelOverlayModel* model, bool autoEnable, const std::vector<std::string>& args);
    // Auto-enable is false exactly when the text is "false".
    virtual bool apply(PixelOverlayModel* model, const std::string& autoEnable,
                       const std::vector<std::string>& args);

    // {"name", "args": [argument descriptions]}
    Json::Value getDescription() const;

    // The effect kind of that name, or null.
    static PixelOverlayEffect* GetPixelOverlayEffect(const std::string& name);
    static std::vector<std::string> GetPixelOverlayEffects();

    const std::string name;
    std::list<Command::CommandArg> args;
};

// "#RRGGBB", "RRGGBB" or "0xRRGGBB" into r, g, b; false when the text is not such a colour.
bool ParseOverlayColor(const std::string& text, int& r, int& g, int& b);
