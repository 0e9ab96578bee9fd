#include "OutputMonitor.h"

#include "OutputMonitorCommands.h"
#include "common/CommandManager.h"
#include "common/Common.h"
#include "common/ConfigChecks.h"
#include "common/JsonValues.h"
#include "common/Log.h"
#include "common/Settings.h"
#include "common/Timers.h"
#include "common/WarningHolder.h"
#include "platform/GPIOManager.h"
#include "platform/PinCapabilities.h"
#include "player/Sensors.h"

#include <algorithm>

OutputMonitor OutputMonitor::INSTANCE;

namespace {
const char* const LISTENER_ID = "OutputMonitor";
const char* const RETRY_COUNT_SETTING = "eFuseRetryCount";
const char* const RETRY_INTERVAL_SETTING = "eFuseRetryInterval";
// Far more ports than any board has; a larger number is a configuration error.
constexpr int MAX_PORT_NUMBER = 1024;
constexpr int SMART_PORTS_PER_LISTENER = 4;

struct RetrySettingRange {
    int defaultValue;
    int minimum;
    int maximum;
};

RetrySettingRange rangeOf(const std::string& key) {
    if (key == RETRY_COUNT_SETTING) {
        return {0, 0, 100};
    }
    return {100, 1, 60000};
}

// Settings are text; a value that is no number, or out of range, is reported and replaced.
int validatedRetrySetting(const std::string& key, const std::string& text) {
    RetrySettingRange range = rangeOf(key);
    long value = range.defaultValue;
    if (trim(text).empty()) {
        return range.defaultValue;
    }
    if (!ParseInt(trim(text), value)) {
        LogWarn(LG_CHANNELOUT, "Setting %s: '%s' is not a number; using %d\n", key.c_str(), text.c_str(),
                range.defaultValue);
        return range.defaultValue;
    }
    if (value < range.minimum || value > range.maximum) {
        long clamped = std::clamp<long>(value, range.minimum, range.maximum);
        LogWarn(LG_CHANNELOUT, "Setting %s: %ld is outside %d to %d; using %ld\n", key.c_str(), value,
                range.minimum, range.maximum, clamped);
        return (int)clamped;
    }
    return (int)value;
}

std::string portName(int port) {
    return "Port " + std::to_string(port + 1);
}

std::shared_ptr<httpserver::http_response> jsonReply(const Json::Value& value) {
    return std::make_shared<httpserver::string_response>(SaveJsonToString(value, ""), 200,
                                                         "application/json");
}
} // namespace

OutputMonitor::Locked::~Locked() {
    std::vector<std::function<void()>> actions;
    actions.swap(monitor.deferred);
    guard.unlock();
    for (auto& action : actions) {
        action();
    }
}

void OutputMonitor::deferAction(std::function<void()> action) {
    deferred.push_back(std::move(action));
}

void OutputMonitor::deferPreset(const std::string& name, const std::map<std::string, std::string>& keywords) {
    deferAction([name, keywords]() {
        CommandManager::INSTANCE.TriggerPreset(name, keywords.empty() ? nullptr : &keywords);
    });
}

void OutputMonitor::setClock(std::function<long long()> c) {
    Locked l(*this);
    clock = std::move(c);
}

void OutputMonitor::Initialize(std::map<int, std::function<bool(int)>>&) {
    for (const char* key : {RETRY_COUNT_SETTING, RETRY_INTERVAL_SETTING}) {
        std::string name = key;
        setRetrySetting(name, getSetting(name));
        registerSettingsListener(LISTENER_ID, name,
                                 [this, name](const std::string& value) { setRetrySetting(name, value); });
    }
    Locked l(*this);
    initialized = true;
    addCommand(new KIVEnableOutputsCommand());
    addCommand(new KIVDisableOutputsCommand());
    if (anyPort()) {
        registerPortCommands();
    }
}

void OutputMonitor::setRetrySetting(const std::string& key, const std::string& value) {
    int validated = validatedRetrySetting(key, value);
    Locked l(*this);
    if (key == RETRY_COUNT_SETTING) {
        eFuseRetryCount = validated;
    } else {
        eFuseRetryInterval = validated;
    }
    LogDebug(LG_CHANNELOUT, "eFuse retries: count %d, interval %d ms\n", eFuseRetryCount, eFuseRetryInterval);
}

void OutputMonitor::addCommand(Command* command) {
    registeredCommands.push_back(command->name);
    CommandManager::INSTANCE.addCommand(command);
}

// The port commands come with the first port, also when outputs are configured after start-up.
void OutputMonitor::registerPortCommands() {
    if (portCommandsRegistered) {
        return;
    }
    portCommandsRegistered = true;
    addCommand(new KIVEnablePortCommand());
    addCommand(new KIVCheckConfiguredPixelsCommand());
}

void OutputMonitor::Cleanup() {
    for (const char* key : {RETRY_COUNT_SETTING, RETRY_INTERVAL_SETTING}) {
        unregisterSettingsListener(LISTENER_ID, key);
    }
    std::vector<std::string> commands;
    {
        Locked l(*this);
        commands.swap(registeredCommands);
        initialized = false;
        portCommandsRegistered = false;
    }
    for (const auto& name : commands) {
        CommandManager::INSTANCE.removeCommand(name);
    }
    Timers::INSTANCE.stopPeriodicTimer("eFuse Retry");
    Timers::INSTANCE.stopPeriodicTimer("CheckPixelCount");
    std::vector<const PinCapabilities*> watched;
    {
        Locked l(*this);
        for (const auto& port : portPins) {
            if (!port) {
                continue;
            }
            for (auto& slot : port->receivers) {
                setSlotWarning(slot, "");
            }
            if (port->eFusePin && !port->eFuseInterruptPin) {
                watched.push_back(port->eFusePin);
            }
        }
        for (const auto& [name, pin] : fuseInterruptPins) {
            watched.push_back(pin);
        }
        portPins.clear();
        pullHighOutputs.clear();
        pullLowOutputs.clear();
        fuseInterruptPins.clear();
        retryPorts.clear();
        retryTimerRunning = false;
        lockedGroup = -1;
        eFuseRetryCount = 0;
        eFuseRetryInterval = 100;
        smartReceiverControl = nullptr;
    }
    for (const PinCapabilities* pin : watched) {
        GPIOManager::INSTANCE.RemoveGPIOCallback(pin);
    }
}

void OutputMonitor::AddPortConfiguration(int port, const Json::Value& config, bool enabled) {
    if (port < 0 || port >= MAX_PORT_NUMBER) {
        LogWarn(LG_CHANNELOUT, "Ignoring output port number %d\n", port);
        return;
    }
    // Members are read from it below, which a value of another type would not survive.
    if (!config.isNull() &&
        !ConfigValueIs(config, Json::objectValue, portName(port), CONFIG_TOP_LEVEL, LG_CHANNELOUT)) {
        return;
    }
    Locked l(*this);
    if ((int)portPins.size() < port + 1) {
        portPins.resize(port + 1);
    }
    if (portPins[port] && portPins[port]->name == portName(port)) {
        portPins[port]->setConfig(config);
        return;
    }
    createPort(port, config, enabled);
    if (config.isMember("quarnV5Listener")) {
        addSmartReceiverPorts(port, config);
    }
    if (initialized) {
        registerPortCommands();
    }
}

PortPinInfo* OutputMonitor::createPort(int port, const Json::Value& config, bool enabled) {
    auto info = std::make_unique<PortPinInfo>(portName(port), config);
    info->receivers[0].present = enabled;
    if (config.isMember("enablePin")) {
        std::string pin = JsonString(config["enablePin"]);
        info->enabledValue = startsWith(pin, "!") ? 0 : 1;
        info->enablePin = addOutputPinLocked(info->name, pin);
    }
    info->group = JsonInt(config["group"], 0);
    configureFusePins(info.get(), port);
    if (ConfigValueIs(config["currentSensor"], Json::objectValue, info->name, "currentSensor",
                      LG_CHANNELOUT)) {
        info->currentMonitor = CurrentMonitorBase::create(config["currentSensor"]);
    }
    portPins[port] = std::move(info);
    return portPins[port].get();
}

namespace {
// A fuse pin name with its prefixes taken off: "!" inverts the OK level, then "-" or "+" asks for
// a pull-down or pull-up.
struct FusePinSpec {
    std::string name;
    std::string mode = "gpio";
    bool okHigh = false;
};

FusePinSpec parseFusePin(std::string text) {
    FusePinSpec spec;
    if (startsWith(text, "!")) {
        spec.okHigh = true;
        text.erase(0, 1);
    }
    if (startsWith(text, "-") || startsWith(text, "+")) {
        spec.mode = text[0] == '-' ? "gpio_pd" : "gpio_pu";
        text.erase(0, 1);
    }
    spec.name = text;
    return spec;
}

// A missing pin is logged and shown to the user; the port exists without that function.
const PinCapabilities* findInputPin(const FusePinSpec& spec, const std::string& description,
                                    const std::string& missingText) {
    const PinCapabilities* pin = PinCapabilities::getPinByName(spec.name).ptr();
    if (!pin) {
        LogWarn(LG_CHANNELOUT, "%s\n", missingText.c_str());
        WarningHolder::AddWarning(missingText);
        return nullptr;
    }
    pin->configPin(spec.mode, false, description);
    return pin;
}
} // namespace

// The interrupt pin is shared: it is configured and watched once, by the first port naming it.
void OutputMonitor::configureFusePins(PortPinInfo* info, int port) {
    if (!info->config.isMember("eFusePin")) {
        return;
    }
    FusePinSpec fuse = parseFusePin(JsonString(info->config["eFusePin"]));
    info->eFuseOKValue = fuse.okHigh ? 1 : 0;
    info->eFusePin =
        findInputPin(fuse, "eFuse" + std::to_string(port + 1),
                     "Could not find pin " + fuse.name + " to handle fuse for output " + info->name);
    if (!info->config.isMember("eFuseInterruptPin")) {
        if (info->eFusePin) {
            GPIOManager::INSTANCE.AddGPIOCallback(info->eFusePin,
                                                  [this, port](int) { return portFuseCallback(port); });
        }
        return;
    }
    FusePinSpec interrupt = parseFusePin(JsonString(info->config["eFuseInterruptPin"]));
    auto known = fuseInterruptPins.find(interrupt.name);
    if (known != fuseInterruptPins.end()) {
        info->eFuseInterruptPin = known->second;
        return;
    }
    info->eFuseInterruptPin = findInputPin(interrupt, "eFuseInterrupt",
                                           "Could not find pin " + interrupt.name +
                                               " to handle fuse interrupts for output " + info->name);
    if (!info->eFuseInterruptPin) {
        return;
    }
    fuseInterruptPins[interrupt.name] = info->eFuseInterruptPin;
    std::string name = interrupt.name;
    GPIOManager::INSTANCE.AddGPIOCallback(info->eFuseInterruptPin,
                                          [this, name](int) { return interruptFuseCallback(name); });
}

// The four ports behind one listener share its number, the next after those already in use.
void OutputMonitor::addSmartReceiverPorts(int port, const Json::Value& config) {
    int listener = 0;
    for (const auto& existing : portPins) {
        if (existing && existing->hasSmartReceivers) {
            listener = std::max(listener, existing->smartListener + 1);
        }
    }
    for (int position = 0; position < SMART_PORTS_PER_LISTENER && port + position < MAX_PORT_NUMBER;
         position++) {
        int number = port + position;
        if ((int)portPins.size() < number + 1) {
            portPins.resize(number + 1);
        }
        PortPinInfo* info = portPins[number].get();
        if (!info) {
            info = createPort(number, position == 0 ? config : Json::Value(Json::objectValue), false);
        }
        info->hasSmartReceivers = true;
        info->group = -1;
        info->receivers[0].present = false;
        info->smartListener = listener;
        info->smartListenerPosition = position;
    }
}

const PinCapabilities* OutputMonitor::AddOutputPin(const std::string& port, const std::string& pinName) {
    Locked l(*this);
    return addOutputPinLocked(port, pinName);
}

const PinCapabilities* OutputMonitor::addOutputPinLocked(const std::string& port,
                                                         const std::string& pinName) {
    bool onWhenLow = startsWith(pinName, "!");
    std::string name = onWhenLow ? pinName.substr(1) : pinName;
    std::list<const PinCapabilities*>& pins = onWhenLow ? pullLowOutputs : pullHighOutputs;
    for (const PinCapabilities* pin : pins) {
        if (pin->name == name) {
            return pin;
        }
    }
    const PinCapabilities* pin = PinCapabilities::getPinByName(name).ptr();
    if (!pin) {
        std::string text = "Could not find pin " + name + " to enable output " + port;
        LogWarn(LG_CHANNELOUT, "%s\n", text.c_str());
        WarningHolder::AddWarning(text);
        return nullptr;
    }
    pins.push_back(pin);
    pin->configPin("gpio", true, "Enable-" + port);
    pin->setValue(onWhenLow);
    return pin;
}

bool OutputMonitor::pinStillUsed(const PinCapabilities* pin) const {
    for (const auto& port : portPins) {
        if (port && (port->enablePin == pin || port->eFusePin == pin || port->eFuseInterruptPin == pin)) {
            return true;
        }
    }
    return false;
}

// Pins another port still uses (a shared enable or interrupt pin) stay.
void OutputMonitor::RemovePortConfiguration(int port, const Json::Value&) {
    std::vector<const PinCapabilities*> unwatch;
    {
        Locked l(*this);
        if (port < 0 || port >= (int)portPins.size() || !portPins[port]) {
            return;
        }
        std::unique_ptr<PortPinInfo> info = std::move(portPins[port]);
        retryPorts.remove(info.get());
        for (auto& slot : info->receivers) {
            setSlotWarning(slot, "");
        }
        if (info->enablePin && !pinStillUsed(info->enablePin)) {
            pullHighOutputs.remove(info->enablePin);
            pullLowOutputs.remove(info->enablePin);
        }
        if (info->eFuseInterruptPin && !pinStillUsed(info->eFuseInterruptPin)) {
            fuseInterruptPins.erase(info->eFuseInterruptPin->name);
            unwatch.push_back(info->eFuseInterruptPin);
        } else if (info->eFusePin && !info->eFuseInterruptPin) {
            unwatch.push_back(info->eFusePin);
        }
    }
    for (const PinCapabilities* pin : unwatch) {
        GPIOManager::INSTANCE.RemoveGPIOCallback(pin);
    }
}

void OutputMonitor::EnableOutputs() {
    Locked l(*this);
    if (!pullHighOutputs.empty() || !pullLowOutputs.empty()) {
        LogDebug(LG_CHANNELOUT, "Enabling outputs\n");
    }
    PinCapabilities::SetMultiPinValue(pullHighOutputs, 1);
    PinCapabilities::SetMultiPinValue(pullLowOutputs, 0);
    for (const auto& port : portPins) {
        if (!port) {
            continue;
        }
        for (auto& slot : port->receivers) {
            if (slot.present) {
                slot.enabled = true;
            }
        }
        if (port->fuseOK()) {
            port->receivers[0].fuseTripped = false;
            clearEFuseWarning(port.get(), 0);
        }
    }
    deferPreset("OUTPUTS_ENABLED");
}

void OutputMonitor::DisableOutputs() {
    Locked l(*this);
    LogDebug(LG_CHANNELOUT, "Disabling outputs\n");
    for (const auto& port : portPins) {
        if (!port) {
            continue;
        }
        for (auto& slot : port->receivers) {
            slot.enabled = false;
            if (port->hasSmartReceivers) {
                slot.currentMa = 0;
            }
        }
    }
    PinCapabilities::SetMultiPinValue(pullHighOutputs, 0);
    PinCapabilities::SetMultiPinValue(pullLowOutputs, 1);
    deferPreset("OUTPUTS_DISABLED");
}

void OutputMonitor::AutoEnableOutputs() {
    if (getSettingInt("AutoEnableOutputs", 1)) {
        EnableOutputs();
    }
}

void OutputMonitor::AutoDisableOutputs() {
    if (getSettingInt("AutoEnableOutputs", 1)) {
        DisableOutputs();
    }
}

int OutputMonitor::findPort(const std::string& name, int* slot) {
    for (size_t number = 0; number < portPins.size(); number++) {
        const PortPinInfo* port = portPins[number].get();
        int slots = !port ? 0 : port->hasSmartReceivers ? PortPinInfo::MAX_RECEIVERS : 1;
        for (int s = 0; s < slots; s++) {
            if (port->slotName(s) == name) {
                *slot = s;
                return (int)number;
            }
        }
    }
    return -1;
}

bool OutputMonitor::SetOutput(const std::string& name, bool on) {
    Locked l(*this);
    int slot = 0;
    int number = findPort(name, &slot);
    if (number < 0) {
        LogWarn(LG_CHANNELOUT, "Cannot switch %s: no such port\n", name.c_str());
        return false;
    }
    PortPinInfo* port = portPins[number].get();
    PortPinInfo::ReceiverSlot& receiver = port->receivers[slot];
    clearEFuseWarning(port, slot);
    if (!port->hasSmartReceivers) {
        receiver.enabled = on;
        receiver.fuseTripped = false;
        port->setPower(on);
        return true;
    }
    SmartReceiverControl control = smartReceiverControl;
    bool tripped = receiver.fuseTripped;
    bool effective = receiver.enabled && !receiver.fuseTripped;
    if (control) {
        if (tripped) {
            deferAction([control, number, slot]() { control(number, slot, "ResetOutput"); });
        }
        if (effective != on) {
            deferAction([control, number, slot]() { control(number, slot, "ToggleOutput"); });
        }
    }
    return true;
}

// The reading is kept in slot 0, which stands in while a locked sensor group excludes the port.
float OutputMonitor::portCurrent(int number) {
    PortPinInfo* port = portPins[number].get();
    if (!port->currentMonitor || (lockedGroup != -1 && port->group != lockedGroup)) {
        return port->receivers[0].currentMa;
    }
    port->receivers[0].currentMa = port->currentMonitor->getMilliAmps();
    return port->receivers[0].currentMa;
}

std::vector<float> OutputMonitor::GetPortCurrentValues() {
    Sensors::INSTANCE.updateSensorSources(true);
    Locked l(*this);
    std::vector<float> values;
    for (size_t i = 0; i < portPins.size(); i++) {
        if (portPins[i]) {
            values.push_back(portCurrent(i));
        }
    }
    return values;
}

void OutputMonitor::GetCurrentPortStatusJson(Json::Value& result) {
    Sensors::INSTANCE.updateSensorSources(false);
    Locked l(*this);
    for (size_t i = 0; i < portPins.size(); i++) {
        if (portPins[i]) {
            portPins[i]->appendTo(result, portCurrent(i));
        }
    }
}

std::vector<std::string> OutputMonitor::GetPortNames() {
    Locked l(*this);
    std::vector<std::string> names = {"--ALL--"};
    for (const auto& port : portPins) {
        if (!port) {
            continue;
        }
        if (!port->hasSmartReceivers) {
            names.push_back(port->name);
            continue;
        }
        for (int slot = 0; slot < PortPinInfo::MAX_RECEIVERS; slot++) {
            if (port->receivers[slot].present) {
                names.push_back(port->slotName(slot));
            }
        }
    }
    return names;
}

bool OutputMonitor::HasPorts() {
    Locked l(*this);
    return anyPort();
}

bool OutputMonitor::anyPort() const {
    return std::any_of(portPins.begin(), portPins.end(), [](const auto& p) { return p != nullptr; });
}

void OutputMonitor::lockToGroup(int group) {
    {
        Locked l(*this);
        lockedGroup = group;
    }
    Sensors::INSTANCE.lockToGroup(group);
}

bool OutputMonitor::isPortInGroup(int group, int port) {
    Locked l(*this);
    return port >= 0 && port < (int)portPins.size() && portPins[port] && portPins[port]->group == group;
}

int OutputMonitor::GetPixelCount(int port) {
    Locked l(*this);
    if (port < 0 || port >= (int)portPins.size() || !portPins[port]) {
        return 0;
    }
    return portPins[port]->receivers[0].pixelCount;
}

void OutputMonitor::SetPixelCount(int port, int count, int configuredCount) {
    Locked l(*this);
    if (port < 0 || port >= (int)portPins.size() || !portPins[port]) {
        return;
    }
    PortPinInfo* info = portPins[port].get();
    if (lockedGroup != -1 && info->group != lockedGroup) {
        return;
    }
    info->receivers[0].pixelCount = count;
    info->receivers[0].configuredPixelCount = configuredCount;
}

void OutputMonitor::setSmartReceiverInfo(int port, int receiver, bool enabled, bool fuseTripped,
                                         float currentMa, int pixelCount) {
    Locked l(*this);
    if (port < 0 || port >= (int)portPins.size() || !portPins[port] || receiver < 0 ||
        receiver >= PortPinInfo::MAX_RECEIVERS) {
        return;
    }
    PortPinInfo* info = portPins[port].get();
    PortPinInfo::ReceiverSlot& slot = info->receivers[receiver];
    slot.enabled = enabled;
    slot.fuseTripped = fuseTripped;
    slot.currentMa = currentMa;
    slot.pixelCount = pixelCount;
    slot.present = true;
    if (fuseTripped) {
        addEFuseWarning(info, receiver);
    } else {
        clearEFuseWarning(info, receiver);
    }
}

void OutputMonitor::setSmartReceiverControl(SmartReceiverControl control) {
    Locked l(*this);
    smartReceiverControl = std::move(control);
}

std::shared_ptr<httpserver::http_response> OutputMonitor::render_GET(const httpserver::http_request& req) {
    std::vector<std::string> pieces = req.get_path_pieces();
    if (pieces.size() < 2 || pieces[1] != "ports") {
        return std::make_shared<httpserver::string_response>("Not Found", 404, "text/plain");
    }
    std::string what = pieces.size() > 2 ? pieces[2] : "";
    if (what == "list") {
        Json::Value names(Json::arrayValue);
        for (const auto& name : GetPortNames()) {
            names.append(name);
        }
        return jsonReply(names);
    }
    if (!HasPorts()) {
        return std::make_shared<httpserver::string_response>("[]", 200, "application/json");
    }
    if (what == "pixelCount") {
        CommandManager::INSTANCE.run("Test Start", PixelCountTestPattern());
    } else if (what == "stop") {
        CommandManager::INSTANCE.run("Test Stop", {});
    }
    Json::Value status(Json::arrayValue);
    GetCurrentPortStatusJson(status);
    return jsonReply(status);
}
