#pragma once
// Helpers for outputs that speak their own protocol straight onto an Ethernet interface through
// AF_PACKET sockets: the interface's link state and speed as the kernel reports them in sysfs, its
// index and flags through the socket ioctls. The caller owns every descriptor.

#include <string>

// The first word of /sys/class/net/NAME/operstate ("up", "down", ...); "" when unreadable.
std::string InterfaceOperState(const std::string& name);
// The link speed in Mbit/s from /sys/class/net/NAME/speed; 0 when unreadable or unknown.
int InterfaceSpeedMbps(const std::string& name);
// The interface's index asked through socket fd (SIOCGIFINDEX); -1 with errno set on failure.
int InterfaceIndex(int fd, const std::string& name);
// Turns promiscuous mode on (SIOCGIFFLAGS, SIOCSIFFLAGS); false with errno set on failure.
bool SetInterfacePromiscuous(int fd, const std::string& name);
// Binds fd to the device by name (at most 15 characters are used); false with errno set on failure.
bool BindSocketToDevice(int fd, const std::string& name);
