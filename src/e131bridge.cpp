#include "e131bridge.h"

#include "BridgeReceive.h"
#include "BridgeState.h"
#include "common/Common.h"
#include "common/ConfigChecks.h"
#include "common/EPollManager.h"
#include "common/FileMonitor.h"
#include "common/JsonValues.h"
#include "common/Log.h"
#include "common/Settings.h"
#include "common/Timers.h"
#include "common/WarningHolder.h"
#include "platform/DeviceNames.h"
#include "platform/NetworkInterfaces.h"
#include "platform/PinCapabilities.h"
#include "platform/Serial.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace BridgeState {
std::mutex InputUniversesLock;
std::vector<UniverseEntry> InputUniverses;
int InputUniverseCount = 0;
int UniverseCache[UNIVERSE_CACHE_SIZE];
long long expireOffSet = 1000;
int bridgeSock = -1;
int ddpSock = -1;
int artnetSock = -1;
std::map<int, ArtNetOpcodeHandler> ArtNetOpcodeHandlers;
UniverseEntry unknownUniverse;
uint64_t e131SyncPackets = 0;
uint64_t e131Errors = 0;
uint64_t ddpPacketsReceived = 0;
uint64_t ddpErrors = 0;
int ddpLastSequence = 0;
uint64_t ddpBytesReceived = 0;
unsigned int ddpMinChannel = DDP_NO_MIN_CHANNEL;
unsigned int ddpMaxChannel = 0;
std::atomic<bool> bridgeDataReceived{false};
std::atomic<long long> last_packet_time{0};
mmsghdr msgs[BATCH_SIZE];
iovec iovecs[BATCH_SIZE];
unsigned char buffers[BATCH_SIZE][SLOT_SIZE];
sockaddr_in inAddress[BATCH_SIZE];

void ResetReceiveBatch() {
    std::memset(msgs, 0, sizeof(msgs));
    for (int i = 0; i < BATCH_SIZE; i++) {
        iovecs[i].iov_base = buffers[i];
        iovecs[i].iov_len = BRIDGE_MAX_DATAGRAM;
        msgs[i].msg_hdr.msg_iov = &iovecs[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
        msgs[i].msg_hdr.msg_name = &inAddress[i];
        msgs[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
    }
}

void ResetUniverseCache() {
    std::fill(std::begin(UniverseCache), std::end(UniverseCache), UNIVERSE_NOT_LOOKED_UP);
}

UniverseEntry* FindDMXEntry(int fd) {
    for (auto& entry : InputUniverses) {
        if (entry.type == TYPE_DMX_SERIAL && entry.serialFd == fd) {
            return &entry;
        }
    }
    return nullptr;
}
} // namespace BridgeState

using namespace BridgeState;

namespace {
const char* const SETTING_DISABLE = "DisableFakeNetworkBridges";
const char* const UNIVERSES_FILE = "ci-universes.json";
const char* const DMX_FILE = "ci-dmx.json";
const char* const RELOAD_TIMER = "BridgeReloadUDP";
constexpr int MAX_UNIVERSE = 65535; // the widest universe number a packet can carry

std::string configPath(const char* file) {
    return getKIVMediaDir(std::string("/config/") + file);
}

// Table changes hold the lock (the statistics readers walk the table) and forget the cached
// indexes, which a shift of the entries would make point at the wrong universe.
void appendEntries(const std::vector<UniverseEntry>& entries) {
    std::lock_guard<std::mutex> lk(InputUniversesLock);
    InputUniverses.insert(InputUniverses.end(), entries.begin(), entries.end());
    InputUniverseCount = static_cast<int>(InputUniverses.size());
    ResetUniverseCache();
}

template <typename Predicate> void eraseEntries(Predicate erase) {
    std::lock_guard<std::mutex> lk(InputUniversesLock);
    for (int i = InputUniverseCount - 1; i >= 0; i--) {
        if (erase(InputUniverses[i])) {
            InputUniverses.erase(InputUniverses.begin() + i);
        }
    }
    InputUniverseCount = static_cast<int>(InputUniverses.size());
    ResetUniverseCache();
}

// A longer text cannot be held, and cutting it would name a different host: refuse it.
void setUnicastAddress(UniverseEntry& entry, const std::string& address) {
    if (address.size() < sizeof(entry.unicastAddress)) {
        std::strcpy(entry.unicastAddress, address.c_str());
        return;
    }
    std::string warning = "E1.31 universe " + std::to_string(entry.universe) + ": unicast address \"" +
                          address + "\" is longer than 15 characters and is ignored";
    LogWarn(LG_E131BRIDGE, "%s\n", warning.c_str());
    WarningHolder::AddWarning(warning);
}

void addUniverseGroup(const Json::Value& group, std::vector<UniverseEntry>& entries) {
    if (!group.isObject() || !JsonInt(group["active"])) {
        return;
    }
    int type = JsonInt(group["type"]);
    if (type < 0 || type > 3) {
        return;
    }
    int first = JsonInt(group["id"]);
    int count = group.isMember("universeCount") ? JsonInt(group["universeCount"]) : 1;
    count = std::min(count, MAX_UNIVERSE + 1);
    int channelCount = JsonInt(group["channelCount"]);
    long long start = JsonInt(group["startChannel"]);
    for (int i = 0; i < count && first + i <= MAX_UNIVERSE; i++, start += channelCount) {
        UniverseEntry entry;
        entry.active = 1;
        entry.universe = first + i;
        entry.startAddress = static_cast<int>(std::clamp<long long>(start, INT32_MIN, INT32_MAX));
        entry.size = channelCount;
        entry.type = type;
        entry.priority = JsonInt(group["priority"]);
        if (type == TYPE_E131_UNICAST) {
            setUnicastAddress(entry, JsonString(group["address"]));
        }
        entries.push_back(entry);
    }
}

// Fatal: without its sockets the bridge cannot work. _exit, because other threads are already
// running and static destructors must not pull their state away.
[[noreturn]] void socketFailed(const char* what) {
    LogErr(LG_E131BRIDGE, "%s: %s\n", what, strerror(errno));
    fflush(nullptr);
    _exit(1);
}

int openUdpSocket(const char* failure) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        socketFailed(failure);
    }
    return fd;
}

void bindUdpSocket(int fd, uint32_t address, int port, const char* failure) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = address;
    local.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) < 0) {
        socketFailed(failure);
    }
}

void setOption(int fd, int level, int name, int value) {
    setsockopt(fd, level, name, &value, sizeof(value));
}

// As root the buffer may exceed the system's default limit, which is below 512 KiB on most hosts.
void setBufferSize(int fd, int forced, int plain) {
    int size = SOCKET_BUFFER_BYTES;
    if (setsockopt(fd, SOL_SOCKET, forced, &size, sizeof(size)) != 0) {
        setOption(fd, SOL_SOCKET, plain, size);
    }
}

// One multicast group per universe: more than the default limit of 20 memberships are needed.
void raiseMembershipLimit() {
    std::ofstream limit("/proc/sys/net/ipv4/igmp_max_memberships");
    limit << "512\n";
    limit.close();
    if (!limit && system("sudo sysctl -q -w net/ipv4/igmp_max_memberships=512 >/dev/null 2>&1") != 0) {
        LogDebug(LG_E131BRIDGE, "Could not raise the multicast membership limit\n");
    }
}

// Interface names with their address text, each name once, loopback left out.
std::vector<std::pair<std::string, std::string>> multicastInterfaces() {
    std::vector<std::pair<std::string, std::string>> result;
    for (const auto& interface : GetIPv4Interfaces()) {
        char address[INET_ADDRSTRLEN];
        GetInterfaceAddress(interface.name.c_str(), address, nullptr, nullptr);
        bool seen =
            std::any_of(result.begin(), result.end(), [&](auto& r) { return r.first == interface.name; });
        if (!seen && std::strcmp(address, "127.0.0.1") != 0) {
            result.emplace_back(interface.name, address);
        }
    }
    return result;
}

bool changeMembership(int option, const std::string& group, const char* interfaceAddress) {
    ip_mreq request{};
    inet_pton(AF_INET, group.c_str(), &request.imr_multiaddr);
    inet_pton(AF_INET, interfaceAddress, &request.imr_interface);
    return setsockopt(bridgeSock, IPPROTO_IP, option, &request, sizeof(request)) == 0;
}

void joinMulticastGroups() {
    auto interfaces = multicastInterfaces();
    for (const auto& entry : InputUniverses) {
        if (entry.type != TYPE_E131_MULTICAST) {
            continue;
        }
        std::string group = E131_MulticastGroup(entry.universe);
        LogInfo(LG_E131BRIDGE, "Adding group %s\n", group.c_str());
        for (const auto& [name, address] : interfaces) {
            LogDebug(LG_E131BRIDGE, "   Adding interface %s - %s\n", name.c_str(), address.c_str());
            if (!changeMembership(IP_ADD_MEMBERSHIP, group, address.c_str())) {
                LogWarn(LG_E131BRIDGE, "   Could not setup Multicast Group for interface %s\n", name.c_str());
            }
        }
        if (interfaces.empty()) {
            LogDebug(LG_E131BRIDGE, "  Binding to default interface\n");
            if (!changeMembership(IP_ADD_MEMBERSHIP, group, "0.0.0.0")) {
                LogWarn(LG_E131BRIDGE, "   Could not setup Multicast Group\n");
            }
        }
    }
}

void leaveMulticastGroups() {
    auto interfaces = multicastInterfaces();
    for (const auto& entry : InputUniverses) {
        if (entry.type != TYPE_E131_MULTICAST || bridgeSock < 0) {
            continue;
        }
        std::string group = E131_MulticastGroup(entry.universe);
        LogInfo(LG_E131BRIDGE, "Removing group %s\n", group.c_str());
        for (const auto& [name, address] : interfaces) {
            LogDebug(LG_E131BRIDGE, "   Removing interface %s - %s\n", name.c_str(), address.c_str());
            if (!changeMembership(IP_DROP_MEMBERSHIP, group, address.c_str())) {
                LogWarn(LG_E131BRIDGE, "   Could not remove Multicast Group for interface %s\n",
                        name.c_str());
            }
        }
    }
}

void openDDPSocket() {
    ddpSock = openUdpSocket("e131bridge DDP socket failed");
    bindUdpSocket(ddpSock, INADDR_ANY, DDP_PORT, "e131bridge DDP bind failed");
    setBufferSize(ddpSock, SO_RCVBUFFORCE, SO_RCVBUF);
}

void openE131Socket() {
    bridgeSock = openUdpSocket("e131bridge socket failed");
    raiseMembershipLimit();
    bindUdpSocket(bridgeSock, INADDR_ANY, E131_PORT, "e131bridge bind failed");
    setBufferSize(bridgeSock, SO_RCVBUFFORCE, SO_RCVBUF);
}

void closeSocket(int& fd) {
    if (fd >= 0) {
        EPollManager::INSTANCE.removeFileDescriptor(fd);
        close(fd);
        fd = -1;
    }
}

// Data callback when inputs are configured; otherwise, unless fake bridges are disabled, a callback
// that tells the user someone is sending to a bridge that listens to nobody.
void registerDataSocket(int fd, bool ok, bool disable, bool (*receive)(), const char* protocol) {
    if (fd < 0) {
        return;
    }
    if (ok) {
        EPollManager::INSTANCE.addFileDescriptor(fd, [receive](int) { return receive(); });
    } else if (!disable) {
        std::string name = protocol;
        EPollManager::INSTANCE.addFileDescriptor(fd,
                                                 [name](int f) { return AddWarningForProtocol(f, name); });
    }
}

void closeDMXInputs() {
    std::vector<int> descriptors;
    for (const auto& entry : InputUniverses) {
        if (entry.type == TYPE_DMX_SERIAL) {
            descriptors.push_back(entry.serialFd);
        }
    }
    eraseEntries([](const UniverseEntry& e) { return e.type == TYPE_DMX_SERIAL; });
    for (int fd : descriptors) {
        EPollManager::INSTANCE.removeFileDescriptor(fd);
        SerialClose(fd);
    }
}

// The objects of an input file's "channelInputs" list; any other entry is reported and skipped.
std::vector<Json::Value> inputList(const Json::Value& root, const std::string& path) {
    std::vector<Json::Value> inputs;
    const Json::Value& list = root["channelInputs"];
    if (!ConfigValueIs(list, Json::arrayValue, path, "channelInputs", LG_E131BRIDGE)) {
        return inputs;
    }
    for (const auto& input : list) {
        if (ConfigValueIs(input, Json::objectValue, path, "channelInputs", LG_E131BRIDGE)) {
            inputs.push_back(input);
        }
    }
    return inputs;
}

void openDMXInput(const Json::Value& input) {
    std::string device = JsonString(input["device"]);
    if (!CheckDeviceName(device, "DMX input", true, LG_E131BRIDGE)) {
        return;
    }
    std::string path = "/dev/" + device;
    int channelCount = JsonInt(input["channelCount"]);
    const PinCapabilities& receiveLine = PinCapabilities::getPinByUART(device + "-rx");
    if (receiveLine.isReal()) {
        receiveLine.configPin("uart", true, "");
    }
    int fd = SerialOpen(path.c_str(), 250000, "N82", false);
    if (fd < 1) {
        if (fd == 0) {
            SerialClose(fd);
        }
        WarningHolder::AddWarning("Could not open DMX input device " + device);
        return;
    }
    UniverseEntry entry;
    entry.active = 1;
    entry.universe = 0;
    entry.size = channelCount;
    entry.startAddress = JsonInt(input["startAddress"]) - 1;
    entry.type = TYPE_DMX_SERIAL;
    entry.serialFd = fd;
    entry.deviceName = device;
    appendEntries({entry});
    EPollManager::INSTANCE.addFileDescriptor(
        fd, [channelCount](int f) { return Bridge_ReadDMX(f, channelCount); });
}
} // namespace

void Bridge_Initialize(std::map<int, std::function<bool(int)>>&) {
    // Settings may change on an API thread; the sockets belong to the main thread.
    registerSettingsListener(SETTING_DISABLE, SETTING_DISABLE, [](const std::string&) {
        Timers::INSTANCE.addTimer(RELOAD_TIMER, GetTimeMS(), BridgeReloadUDP);
    });
    FileMonitor::INSTANCE.AddFile(UNIVERSES_FILE, configPath(UNIVERSES_FILE), BridgeReloadUDP, false);
    FileMonitor::INSTANCE.TriggerFileChanged(configPath(UNIVERSES_FILE));
    FileMonitor::INSTANCE.AddFile(DMX_FILE, configPath(DMX_FILE), BridgeReloadDMXInputs, false);
    FileMonitor::INSTANCE.TriggerFileChanged(configPath(DMX_FILE));
}

void Bridge_Shutdown() {
    closeDMXInputs();
    eraseEntries([](const UniverseEntry&) { return true; });
    BridgeShutdownUDP();
    unregisterSettingsListener(SETTING_DISABLE, SETTING_DISABLE);
    Timers::INSTANCE.stopTimer(RELOAD_TIMER);
    FileMonitor::INSTANCE.RemoveFile(UNIVERSES_FILE, configPath(UNIVERSES_FILE));
    FileMonitor::INSTANCE.RemoveFile(DMX_FILE, configPath(DMX_FILE));
    ArtNetOpcodeHandlers.clear();
}

bool HasBridgeData() {
    return bridgeDataReceived;
}

bool LoadInputUniversesFromFile() {
    std::string path = configPath(UNIVERSES_FILE);
    if (!FileExists(path)) {
        LogErr(LG_E131BRIDGE, "Universe file %s does not exist\n", path.c_str());
        return false;
    }
    LogDebug(LG_E131BRIDGE, "Opening File Now %s\n", path.c_str());
    Json::Value root;
    if (!LoadJsonFromFile(path, root) ||
        !ConfigValueIs(root, Json::objectValue, path, CONFIG_TOP_LEVEL, LG_E131BRIDGE)) {
        LogErr(LG_E131BRIDGE, "Error parsing %s\n", path.c_str());
        return false;
    }
    bool found = false;
    std::vector<UniverseEntry> entries;
    for (const auto& input : inputList(root, path)) {
        if (JsonString(input["type"]) != "universes" || !JsonInt(input["enabled"])) {
            continue;
        }
        found = true;
        if (input.isMember("timeout") && !input["timeout"].isNull()) {
            expireOffSet = std::max(10LL, JsonInt64(input["timeout"]));
        }
        if (!ConfigValueIs(input["universes"], Json::arrayValue, path, "universes", LG_E131BRIDGE)) {
            continue;
        }
        for (const auto& group : input["universes"]) {
            addUniverseGroup(group, entries);
        }
    }
    appendEntries(entries);
    return found;
}

void InputUniversesPrint() {
    for (const auto& e : InputUniverses) {
        LogDebug(LG_E131BRIDGE,
                 e.type > 1 ? "ArtNet Universe: %d:%d:%d:%d:%d  %s\n"
                            : "E1.31 Universe: %d:%d:%d:%d:%d  %s\n",
                 e.active, e.universe, e.startAddress, e.size, e.type, e.unicastAddress);
    }
}

bool Bridge_Initialize_Internal() {
    LogExcess(LG_E131BRIDGE, "Bridge_Initialize()\n");
    ResetReceiveBatch();
    ResetUniverseCache();
    bool ok = LoadInputUniversesFromFile();
    bool disable = getSettingInt(SETTING_DISABLE, 0) != 0;
    LogInfo(LG_E131BRIDGE, "Universe Count = %d\n", InputUniverseCount);
    InputUniversesPrint();
    if (!ok && disable) {
        return false;
    }
    openDDPSocket();
    bool hasE131 = false;
    bool hasArtNet = false;
    for (int i = 0; ok && i < InputUniverseCount; i++) {
        hasE131 |= InputUniverses[i].type == 0 || InputUniverses[i].type == 1;
        hasArtNet |= InputUniverses[i].type == 2 || InputUniverses[i].type == 3;
    }
    if (disable && !hasE131) {
        if (hasArtNet) {
            CreateArtNetSocket(INADDR_ANY);
        }
        return ok;
    }
    openE131Socket();
    joinMulticastGroups();
    if (hasArtNet) {
        CreateArtNetSocket(INADDR_ANY);
    }
    return ok;
}

int CreateArtNetSocket(unsigned int bindAddress) {
    if (artnetSock >= 0) {
        return artnetSock;
    }
    artnetSock = openUdpSocket("ArtNet socket failed");
    setOption(artnetSock, SOL_SOCKET, SO_BROADCAST, 1);
    setOption(artnetSock, SOL_SOCKET, SO_NO_CHECK, 1);
    setBufferSize(artnetSock, SO_RCVBUFFORCE, SO_RCVBUF);
    setBufferSize(artnetSock, SO_SNDBUFFORCE, SO_SNDBUF);
    bindUdpSocket(artnetSock, bindAddress, ARTNET_PORT, "ArtNet bind failed");
    return artnetSock;
}

void AddArtNetOpcodeHandler(int opcode, ArtNetOpcodeHandler handler) {
    ArtNetOpcodeHandlers[opcode] = std::move(handler);
}

void RemoveArtNetOpcodeHandler(int opcode) {
    ArtNetOpcodeHandlers.erase(opcode);
}

void BridgeReloadUDP() {
    BridgeShutdownUDP();
    bool ok = Bridge_Initialize_Internal();
    bool disable = getSettingInt(SETTING_DISABLE, 0) != 0;
    registerDataSocket(bridgeSock, ok, disable, Bridge_ReceiveE131Data, "E1.31");
    registerDataSocket(ddpSock, ok, disable, Bridge_ReceiveDDPData, "DDP");
    if (ok && artnetSock >= 0) {
        AddArtNetOpcodeHandler(ARTNET_OP_DMX, Bridge_StoreArtNetData);
        AddArtNetOpcodeHandler(ARTNET_OP_SYNC, Bridge_HandleArtNetSync);
        AddArtNetOpcodeHandler(ARTNET_OP_POLL, Bridge_HandleArtNetPoll);
        EPollManager::INSTANCE.addFileDescriptor(artnetSock, [](int) { return Bridge_ReceiveArtNetData(); });
    }
}

void BridgeShutdownUDP() {
    leaveMulticastGroups();
    eraseEntries([](const UniverseEntry& e) { return e.type != TYPE_DMX_SERIAL; });
    closeSocket(bridgeSock);
    closeSocket(ddpSock);
    closeSocket(artnetSock);
}

void BridgeReloadDMXInputs() {
    closeDMXInputs();
    std::string path = configPath(DMX_FILE);
    Json::Value root;
    if (!FileExists(path) || !LoadJsonFromFile(path, root) ||
        !ConfigValueIs(root, Json::objectValue, path, CONFIG_TOP_LEVEL, LG_E131BRIDGE)) {
        return;
    }
    for (const auto& input : inputList(root, path)) {
        if (JsonString(input["type"]) == "dmx" && JsonBool(input["enabled"])) {
            openDMXInput(input);
        }
    }
}

bool AddWarningForProtocol(int fd, const std::string& protocol) {
    std::map<in_addr_t, std::string> warned;
    int count;
    while ((count = recvmmsg(fd, msgs, BATCH_SIZE, 0, nullptr)) > 0) {
        for (int i = 0; i < count; i++) {
            msgs[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
            bool display = msgs[i].msg_len > 3 && buffers[i][3] == DDP_ID_DISPLAY;
            in_addr sender = inAddress[i].sin_addr;
            if ((protocol == "DDP" && !display) || warned.count(sender.s_addr)) {
                continue;
            }
            char address[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &sender, address, sizeof(address));
            std::string message = "Received " + protocol + " data from " + address;
            LogDebug(LG_E131BRIDGE, "%s\n", message.c_str());
            WarningHolder::AddWarningTimeout(message, 10);
            warned[sender.s_addr] = message;
        }
    }
    return false;
}
