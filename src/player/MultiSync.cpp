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
    if (gethostname(name, sizeof(name) - 1) != 0) {
        return "";
    }
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

struct SystemType {
    int type;
    const char* name;
};

const SystemType SYSTEM_TYPES[] = {
    {1, "Unknown"},
    {2, "Generic x86_64"},
    {16, "Raspberry Pi A"},
    {17, "Raspberry Pi B"},
    {18, "Raspberry Pi A+"},
    {19, "Raspberry Pi B+"},
    {20, "Raspberry Pi 2 Model B"},
    {21, "Raspberry Pi Zero"},
    {22, "Raspberry Pi Zero W"},
    {23, "Raspberry Pi 3 Model B"},
    {24, "Raspberry Pi 3 Model B+"},
    {25, "Raspberry Pi 3 Model A+"},
    {26, "Raspberry Pi 4 Model B"},
    {27, "Raspberry Pi Zero 2 W"},
    {28, "Raspberry Pi 400"},
    {29, "Raspberry Pi Compute Module 4"},
    {30, "Raspberry Pi 5"},
    {136, "Quarn 16"},
    {137, "Quarn 32"},
    {144, "Quarn 48"},
    {194, "ESPixelStick"},
    {251, "WLED"},
    {252, "DIYLEDExpress"},
    {253, "HinksPix"},
    {254, "AlphaPix"},
    {255, "SanDevices"},
};
constexpr int UNRECOGNISED_TYPE = 1;
const std::string RASPBERRY_PREFIX = "Raspberry ";

bool modelMatches(const std::string& model, const std::string& name) {
    return model == name || startsWith(model, name + " Rev ");
}

} // namespace

int MultiSync::ModelStringToType(const std::string& model) {
    for (const auto& entry : SYSTEM_TYPES) {
        if (modelMatches(model, entry.name)) {
            return entry.type;
        }
    }
    return UNRECOGNISED_TYPE;
}

std::string MultiSync::GetTypeString(int type, bool brief) {
    for (const auto& entry : SYSTEM_TYPES) {
        if (entry.type != type) {
            continue;
        }
        std::string name = entry.name;
        if (brief && startsWith(name, RASPBERRY_PREFIX)) {
            return name.substr(RASPBERRY_PREFIX.size());
        }
        return name;
    }
    if (type >= 128 && type < 192) {
        return "Quarn controller";
    }
    return "Unknown";
}

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
        if (!isListedInterface(ifa)) {
            continue;
        }
        Json::Value system = localSystem(ifa, host, mode);
        if (timestamps) {
            system["lastSeen"] = (Json::Int64)time(nullptr);
        }
        result["systems"].append(system);
    }
    freeifaddrs(list);
    return result;
}
