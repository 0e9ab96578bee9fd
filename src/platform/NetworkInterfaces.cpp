#include "NetworkInterfaces.h"

#include <arpa/inet.h>
#include <ifaddrs.h>

#include <cstring>
#include <fstream>
#include <sstream>

namespace {
void putAddress(char* out, const in_addr& address) {
    if (!inet_ntop(AF_INET, &address, out, INET_ADDRSTRLEN)) {
        out[0] = 0;
    }
}

// /proc/net/route lists the routes in hexadecimal, in host byte order of this machine: the default
// route of the interface is the line with destination 0.
bool defaultGateway(const std::string& interfaceName, in_addr& gateway) {
    std::ifstream routes("/proc/net/route");
    std::string line;
    std::getline(routes, line); // header
    while (std::getline(routes, line)) {
        std::istringstream fields(line);
        std::string name, destination, via;
        fields >> name >> destination >> via;
        if (name == interfaceName && destination == "00000000") {
            gateway.s_addr = static_cast<in_addr_t>(std::stoul(via, nullptr, 16));
            return true;
        }
    }
    return false;
}
} // namespace

std::vector<IPv4Interface> GetIPv4Interfaces() {
    std::vector<IPv4Interface> result;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return result;
    }
    for (ifaddrs* item = list; item; item = item->ifa_next) {
        if (item->ifa_addr && item->ifa_addr->sa_family == AF_INET) {
            result.push_back({item->ifa_name, reinterpret_cast<sockaddr_in*>(item->ifa_addr)->sin_addr});
        }
    }
    freeifaddrs(list);
    return result;
}

bool GetInterfaceAddress(const char* interfaceName, char* address, char* netmask, char* gateway) {
    address[0] = 0;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return false;
    }
    bool found = false;
    for (ifaddrs* item = list; item && !found; item = item->ifa_next) {
        if (!item->ifa_addr || item->ifa_addr->sa_family != AF_INET ||
            strcmp(item->ifa_name, interfaceName) != 0) {
            continue;
        }
        found = true;
        putAddress(address, reinterpret_cast<sockaddr_in*>(item->ifa_addr)->sin_addr);
        if (netmask) {
            netmask[0] = 0;
            if (item->ifa_netmask) {
                putAddress(netmask, reinterpret_cast<sockaddr_in*>(item->ifa_netmask)->sin_addr);
            }
        }
    }
    freeifaddrs(list);
    if (found && gateway) {
        in_addr via{};
        gateway[0] = 0;
        if (defaultGateway(interfaceName, via)) {
            putAddress(gateway, via);
        }
    }
    return found;
}
