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
State state;

void ResetReceiveBatch() {
    std::memset(state.batch.msgs, 0, sizeof(state.batch.msgs));
    for (int i = 0; i < BATCH_SIZE; i++) {
        state.batch.iovecs[i].iov_base = state.batch.buffers[i];
        state.batch.iovecs[i].iov_len = BRIDGE_MAX_DATAGRAM;
        state.batch.msgs[i].msg_hdr.msg_iov = &state.batch.iovecs[i];
        state.batch.msgs[i].msg_hdr.msg_iovlen = 1;
        state.batch.msgs[i].msg_hdr.msg_name = &state.batch.inAddress[i];
        state.batch.msgs[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
    }
}

void ResetUniverseCache() {
    std::fill(std::begin(state.universeCache), std::end(state.universeCache), UNIVERSE_NOT_LOOKED_UP);
}

UniverseEntry* FindDMXEntry(int fd) {
    for (auto& entry : state.inputUniverses) {
        if (entry.type == UniverseType::DMXSerial && entry.serialFd == fd) {
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
    std::lock_guard<std::mutex> lk(state.inputUniversesLock);
    state.inputUniverses.insert(state.inputUniverses.end(), entries.begin(), entries.end());
    ResetUniverseCache();
}

template <typename Predicate> void eraseEntries(Predicate erase) {
    std::lock_guard<std::mutex> lk(state.inputUniversesLock);
    for (int i = static_cast<int>(state.inputUniverses.size()) - 1; i >= 0; i--) {
        if (erase(state.inputUniverses[i])) {
            state.inputUniverses.erase(state.inputUniverses.begin() + i);
        }
    }
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
    int typeCode = JsonInt(group["type"]);
    if (typeCode < 0 || typeCode > static_cast<int>(UniverseType::ArtNetUnicast)) {
        return;
    }
    auto type = static_cast<UniverseType>(typeCode);
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
        if (type == UniverseType::E131Unicast) {
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
    return setsockopt(state.bridgeSock, IPPROTO_IP, option, &request, sizeof(request)) == 0;
}

void joinMulticastGroups() {
    auto interfaces = multicastInterfaces();
    for (const auto& entry : state.inputUniverses) {
        if (entry.type != UniverseType::E131Multicast) {
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
    for (const auto& entry : state.inputUniverses) {
        if (entry.type != UniverseType::E131Multicast || state.bridgeSock < 0) {
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
    state.ddpSock = openUdpSocket("e131bridge DDP socket failed");
    bindUdpSocket(state.ddpSock, INADDR_ANY, DDP_PORT, "e131bridge DDP bind failed");
    setBufferSize(state.ddpSock, SO_RCVBUFFORCE, SO_RCVBUF);
}

void openE131Socket() {
    state.bridgeSock = openUdpSocket("e131bridge socket failed");
    raiseMembershipLimit();
    bindUdpSocket(state.bridgeSock, INADDR_ANY, E131_PORT, "e131bridge bind failed");
    setBufferSize(state.bridgeSock, SO_RCVBUFFORCE, SO_RCVBUF);
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
    for (const auto& entry : state.inputUniverses) {
        if (entry.type == UniverseType::DMXSerial) {
            descriptors.push_back(entry.serialFd);
        }
    }
    eraseEntries([](const UniverseEntry& e) { return e.type == UniverseType::DMXSerial; });
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
    entry.type = UniverseType::DMXSerial;
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
    state.artNetOpcodeHandlers.clear();
}

bool HasBridgeData() {
    return state.bridgeDataReceived;
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
            state.expireOffSet = std::max(10LL, JsonInt64(input["timeout"]));
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
    for (const auto& e : state.inputUniverses) {
        LogDebug(LG_E131BRIDGE,
                 IsArtNet(e.type) || e.type == UniverseType::DMXSerial
                     ? "ArtNet Universe: %d:%d:%d:%d:%d  %s\n"
                     : "E1.31 Universe: %d:%d:%d:%d:%d  %s\n",
                 e.active, e.universe, e.startAddress, e.size, static_cast<int>(e.type), e.unicastAddress);
    }
}

bool Bridge_Initialize_Internal() {
    LogExcess(LG_E131BRIDGE, "Bridge_Initialize()\n");
    ResetReceiveBatch();
    ResetUniverseCache();
    bool ok = LoadInputUniversesFromFile();
    bool disable = getSettingInt(SETTING_DISABLE, 0) != 0;
    LogInfo(LG_E131BRIDGE, "Universe Count = %d\n", static_cast<int>(state.inputUniverses.size()));
    InputUniversesPrint();
    if (!ok && disable) {
        return false;
    }
    openDDPSocket();
    bool hasE131 = false;
    bool hasArtNet = false;
    for (const auto& entry : state.inputUniverses) {
        hasE131 |= ok && IsE131(entry.type);
        hasArtNet |= ok && IsArtNet(entry.type);
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
    if (state.artnetSock >= 0) {
        return state.artnetSock;
    }
    state.artnetSock = openUdpSocket("ArtNet socket failed");
    setOption(state.artnetSock, SOL_SOCKET, SO_BROADCAST, 1);
    setOption(state.artnetSock, SOL_SOCKET, SO_NO_CHECK, 1);
    setBufferSize(state.artnetSock, SO_RCVBUFFORCE, SO_RCVBUF);
    setBufferSize(state.artnetSock, SO_SNDBUFFORCE, SO_SNDBUF);
    bindUdpSocket(state.artnetSock, bindAddress, ARTNET_PORT, "ArtNet bind failed");
    return state.artnetSock;
}

void AddArtNetOpcodeHandler(int opcode, ArtNetOpcodeHandler handler) {
    state.artNetOpcodeHandlers[opcode] = std::move(handler);
}

void RemoveArtNetOpcodeHandler(int opcode) {
    state.artNetOpcodeHandlers.erase(opcode);
}

void BridgeReloadUDP() {
    BridgeShutdownUDP();
    bool ok = Bridge_Initialize_Internal();
    bool disable = getSettingInt(SETTING_DISABLE, 0) != 0;
    registerDataSocket(state.bridgeSock, ok, disable, Bridge_ReceiveE131Data, "E1.31");
    registerDataSocket(state.ddpSock, ok, disable, Bridge_ReceiveDDPData, "DDP");
    if (ok && state.artnetSock >= 0) {
        AddArtNetOpcodeHandler(ARTNET_OP_DMX, Bridge_StoreArtNetData);
        AddArtNetOpcodeHandler(ARTNET_OP_SYNC, Bridge_HandleArtNetSync);
        AddArtNetOpcodeHandler(ARTNET_OP_POLL, Bridge_HandleArtNetPoll);
        EPollManager::INSTANCE.addFileDescriptor(state.artnetSock,
                                                 [](int) { return Bridge_ReceiveArtNetData(); });
    }
}

void BridgeShutdownUDP() {
    leaveMulticastGroups();
    eraseEntries([](const UniverseEntry& e) { return e.type != UniverseType::DMXSerial; });
    closeSocket(state.bridgeSock);
    closeSocket(state.ddpSock);
    closeSocket(state.artnetSock);
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
    while ((count = recvmmsg(fd, state.batch.msgs, BATCH_SIZE, 0, nullptr)) > 0) {
        for (int i = 0; i < count; i++) {
            state.batch.msgs[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
            bool display = state.batch.msgs[i].msg_len > 3 && state.batch.buffers[i][3] == DDP_ID_DISPLAY;
            in_addr sender = state.batch.inAddress[i].sin_addr;
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
