#pragma once
// The host's IPv4 interfaces, read from the kernel each call (getifaddrs and /proc/net/route), so a
// reload sees interfaces that came or went.

#include <netinet/in.h>

#include <string>
#include <vector>

struct IPv4Interface {
    std::string name;
    in_addr address; // network byte order
};

// Every (interface, IPv4 address) pair, in the kernel's order; an interface with two addresses
// appears twice.
std::vector<IPv4Interface> GetIPv4Interfaces();

// Writes the first IPv4 address of the interface into address, and when they are not null its
// netmask and default gateway ("" when it has none), each as dotted text into a buffer of at least
// 16 bytes. Returns false (address "") when the interface has no IPv4 address.
bool GetInterfaceAddress(const char* interfaceName, char* address, char* netmask, char* gateway);
