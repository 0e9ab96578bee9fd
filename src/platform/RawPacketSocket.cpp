#include "RawPacketSocket.h"

#include "common/Common.h"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace {

// An ifreq carrying the name, cut to what the kernel accepts.
ifreq NamedRequest(const std::string& name) {
    ifreq request;
    std::memset(&request, 0, sizeof(request));
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    return request;
}

std::string SysfsFile(const std::string& name, const char* leaf) {
    return GetFileContents("/sys/class/net/" + name + "/" + leaf);
}

} // namespace

std::string InterfaceOperState(const std::string& name) {
    std::istringstream text(SysfsFile(name, "operstate"));
    std::string word;
    text >> word;
    return word;
}

// A link without carrier reads as an error or as -1; both mean no known speed.
int InterfaceSpeedMbps(const std::string& name) {
    std::string text = SysfsFile(name, "speed");
    int speed = std::atoi(text.c_str());
    return speed > 0 ? speed : 0;
}

int InterfaceIndex(int fd, const std::string& name) {
    ifreq request = NamedRequest(name);
    if (ioctl(fd, SIOCGIFINDEX, &request) < 0) {
        return -1;
    }
    return request.ifr_ifindex;
}

bool SetInterfacePromiscuous(int fd, const std::string& name) {
    ifreq request = NamedRequest(name);
    if (ioctl(fd, SIOCGIFFLAGS, &request) < 0) {
        return false;
    }
    request.ifr_flags |= IFF_PROMISC;
    return ioctl(fd, SIOCSIFFLAGS, &request) == 0;
}

bool BindSocketToDevice(int fd, const std::string& name) {
    std::string device = name.substr(0, IFNAMSIZ - 1);
    return setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, device.c_str(), device.size()) == 0;
}
