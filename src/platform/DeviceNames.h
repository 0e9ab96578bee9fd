#pragma once
// Device names that come from configuration files or requests and become part of a path
// ("/dev/" + name, "/dev/shm/kiv-fb-" + name, a board file's name). A name is refused unless it
// stays inside the folder it is joined to.

#include "common/Log.h"

#include <string>

// False for an empty name, ".", "..", and any name holding "/" or a control character.
bool IsSingleDeviceName(const std::string& name);

// Names that may lie in a subfolder of "/dev" (serial ports: "pts/3", "serial/by-id/usb-x"): every
// "/"-separated part must pass IsSingleDeviceName, so "..", "a//b" and "/x" are refused.
bool IsDeviceNameBelowDev(const std::string& name);

// One of the two checks above (belowDev picks the second), with a log line on logger and a user
// warning that begins with user (the output or input that asked for the device) when the name is
// refused.
bool CheckDeviceName(const std::string& name, const std::string& user, bool belowDev = false,
                     KIVLoggerInstance& logger = LG_CHANNELOUT);
