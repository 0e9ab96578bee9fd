#pragma once
// Watches the kernel's routing messages (NETLINK_ROUTE) for links going up or down and IPv4
// addresses coming and going, and logs them at debug to the General logger. Init adds its socket
// to the main loop's descriptor map; the callback runs on the main thread. Owns the socket.

#include <functional>
#include <map>
#include <string>

class NetworkMonitor {
public:
    static NetworkMonitor INSTANCE;

    ~NetworkMonitor();

    void Init(std::map<int, std::function<bool(int)>>& callbacks);

private:
    static int openSocket();
    // Reads every pending message; never asks for output.
    bool readMessages(int fd);
    void logMessage(const struct nlmsghdr* msg);

    int socket = -1;
};
