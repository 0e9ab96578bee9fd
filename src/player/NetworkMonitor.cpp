#include "NetworkMonitor.h"

#include "common/Log.h"

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

NetworkMonitor NetworkMonitor::INSTANCE;

namespace {

std::string linkName(const nlmsghdr* msg) {
    auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(msg));
    int len = IFLA_PAYLOAD(msg);
    for (auto* attr = IFLA_RTA(info); RTA_OK(attr, len); attr = RTA_NEXT(attr, len)) {
        if (attr->rta_type == IFLA_IFNAME) {
            return static_cast<const char*>(RTA_DATA(attr));
        }
    }
    return "?";
}

std::string addressText(const nlmsghdr* msg) {
    auto* info = static_cast<const ifaddrmsg*>(NLMSG_DATA(msg));
    int len = IFA_PAYLOAD(msg);
    char text[INET6_ADDRSTRLEN] = "?";
    for (auto* attr = IFA_RTA(info); RTA_OK(attr, len); attr = RTA_NEXT(attr, len)) {
        if (attr->rta_type == IFA_LOCAL || attr->rta_type == IFA_ADDRESS) {
            inet_ntop(info->ifa_family, RTA_DATA(attr), text, sizeof(text));
        }
    }
    return text;
}

} // namespace

NetworkMonitor::~NetworkMonitor() {
    if (socket >= 0) {
        close(socket);
    }
}

void NetworkMonitor::Init(std::map<int, std::function<bool(int)>>& callbacks) {
    if (socket < 0) {
        socket = openSocket();
    }
    if (socket >= 0) {
        callbacks[socket] = [this](int fd) { return readMessages(fd); };
    }
}

int NetworkMonitor::openSocket() {
    int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        LogWarn(LG_GENERAL, "Network changes are not watched: %s\n", strerror(errno));
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    return fd;
}

bool NetworkMonitor::readMessages(int fd) {
    alignas(nlmsghdr) char buffer[8192];
    ssize_t len;
    while ((len = recv(fd, buffer, sizeof(buffer), 0)) > 0) {
        int remaining = (int)len;
        for (auto* msg = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(msg, remaining);
             msg = NLMSG_NEXT(msg, remaining)) {
            logMessage(msg);
        }
    }
    return false;
}

void NetworkMonitor::logMessage(const nlmsghdr* msg) {
    switch (msg->nlmsg_type) {
    case RTM_NEWLINK:
    case RTM_DELLINK: {
        auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(msg));
        LogDebug(LG_GENERAL, "Network link %s %s%s\n", linkName(msg).c_str(),
                 msg->nlmsg_type == RTM_DELLINK ? "removed" : ((info->ifi_flags & IFF_UP) ? "up" : "down"),
                 (info->ifi_flags & IFF_RUNNING) ? " (running)" : "");
        break;
    }
    case RTM_NEWADDR:
    case RTM_DELADDR: {
        auto* info = static_cast<const ifaddrmsg*>(NLMSG_DATA(msg));
        char name[IF_NAMESIZE] = "?";
        if_indextoname(info->ifa_index, name);
        LogDebug(LG_GENERAL, "Network address %s %s on %s\n", addressText(msg).c_str(),
                 msg->nlmsg_type == RTM_NEWADDR ? "added" : "removed", name);
        break;
    }
    default:
        break;
    }
}
