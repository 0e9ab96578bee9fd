#pragma once
// Whether a backend may stand in a simulated device for a real one, and how the user hears of it.
// Setting "SimulatedHardware": "auto" (default) simulates a device only when the real one is
// missing; "on" always simulates; "off" never does, so a missing device fails as it would on a
// machine without simulation. On a board (a device-tree model file exists) a simulated device in
// "auto" raises a user warning, since no light will come on; elsewhere it is an info line.

#include <string>

enum class SimulationMode { Automatic, Off, On };

// The mode the setting asks for; an unknown value reads as Automatic.
SimulationMode SimulatedHardwareMode();

// True when the machine describes itself through a device-tree model file, as boards do.
bool RunningOnBoard();

// Asked by a backend before it simulates device (for example "Framebuffer fb1") in file (the
// simulated device's file). False when the setting is "off": the caller then fails as it does when
// the device is missing. explicitRequest: the caller was told to simulate (a test switch), which is
// only logged.
bool AllowSimulatedDevice(const std::string& device, const std::string& file, bool explicitRequest = false);
