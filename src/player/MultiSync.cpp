#include "MultiSync.h"

#include "Version.h"
#include "common/Common.h"
#include "common/Log.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

MultiSync MultiSync::INSTANCE;
MultiSync* multiSync = &MultiSync::INSTANCE;

namespace {

bool isListedInterface(const ifaddrs* ifa) {
    return ifa->ifa_addr && ifa->ifa_addr->sa_family == AF_INET && (ifa->ifa_flags & IFF_UP) &&
           !(ifa->ifa_flags & IFF_LOOPBACK);
}

std::string hostName() {
    char name[256] = {};
    if (gethostname(name, sizeof(name) - 1) != 0)
        return "";
    return name;
}

Json::Value localSystem(const ifaddrs* ifa, const std::string& host, const std::string& mode) {
    char address[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(ifa->ifa_addr)->sin_addr, address,
              sizeof(address));
    Json::Value system;
    system["address"] = address;
    system["interface"] = ifa->ifa_name;
    system["hostname"] = host;
    system["version"] = getKIVVersion();
    system["mode"] = mode;
    system["type"] = "kivd";
    return system;
}

} // namespace

bool MultiSync::Init() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        LogErr(LG_SYNC, "Cannot read the network interfaces: %s\n", strerror(errno));
        return false;
    }
    freeifaddrs(list);
    LogDebug(LG_SYNC, "MultiSync ready; syncing with other players is not part of this build\n");
    return true;
}

void MultiSync::ShutdownSync() {
    LogDebug(LG_SYNC, "MultiSync shut down\n");
}

void MultiSync::ProcessControlPacket(bool pingOnly) {
    LogExcess(LG_SYNC, "No control socket, nothing to process (ping only %d)\n", pingOnly);
}

void MultiSync::Discover() {
    LogDebug(LG_SYNC, "MultiSync discovery skipped: no sync peers in this build\n");
}

void MultiSync::PeriodicPing() {}

Json::Value MultiSync::GetSyncStats() {
    Json::Value result;
    result["systems"] = Json::Value(Json::arrayValue);
    return result;
}

Json::Value MultiSync::GetSystems(bool /*localOnly*/, bool timestamps) {
    Json::Value result;
    result["systems"] = Json::Value(Json::arrayValue);
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        LogWarn(LG_SYNC, "Cannot read the network interfaces: %s\n", strerror(errno));
        return result;
    }
    std::string host = hostName();
    std::string mode = getKIVmodeName(getKIVmode());
    for (ifaddrs* ifa = list; ifa; ifa = ifa->ifa_next) {
        if (!isListedInterface(ifa))
            continue;
        Json::Value system = localSystem(ifa, host, mode);
        if (timestamps)
            system["lastSeen"] = (Json::Int64)time(nullptr);
        result["systems"].append(system);
    }
    freeifaddrs(list);
    return result;
}
