#pragma once
// Commands that drive overlay models through the command manager (API "/command", presets, MQTT):
//   "Overlay Model State"       [model, state]: state 0-3 or "Off", "Opaque", "Transparent",
//                               "TransparentRGB" (also "Enabled", "TransparentChannels",
//                               "TransparentPixels");
//   "Overlay Model Fill"        [model, color "#RRGGBB"];
//   "Overlay Model Clear"       [model];
//   "Overlay Model Effect"      [model, auto-enable "true"/"false", effect, effect arguments...];
//   "Overlay Model Effect Stop" [model].
// An unknown model, state, colour or effect is an error result; nothing changes then.

#include <string>

void RegisterOverlayCommands();
void UnregisterOverlayCommands();
// State names and numbers as the state command takes them; -1 when it is neither.
int ParseOverlayState(const std::string& text);
