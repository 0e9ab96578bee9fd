#include "PortPinInfo.h"

#include "common/JsonValues.h"
#include "platform/NoPinCapabilities.h"

#include <cmath>

namespace {
// Receivers report 65535 and above for "no count".
constexpr int NO_RECEIVER_PIXEL_COUNT = 65535;
} // namespace

PortPinInfo::PortPinInfo(const std::string& portName, const Json::Value& cfg) : name(portName) {
    setConfig(cfg);
}

void PortPinInfo::setConfig(const Json::Value& cfg) {
    config = cfg;
    row = cfg.isMember("row") ? JsonInt(cfg["row"], -1) : -1;
    col = cfg.isMember("col") ? JsonInt(cfg["col"], -1) : -1;
    bank = JsonString(cfg["bank"]);
}

bool PortPinInfo::isPowered() const {
    return NoPinCapabilities::orNone(enablePin).getValue() == (enabledValue != 0);
}

bool PortPinInfo::fuseOK() const {
    return NoPinCapabilities::orNone(eFusePin).getValue() == (eFuseOKValue != 0);
}

void PortPinInfo::setPower(bool on) const {
    NoPinCapabilities::orNone(enablePin).setValue(on ? enabledValue != 0 : enabledValue == 0);
}

std::string PortPinInfo::slotName(int slot) const {
    return hasSmartReceivers ? name + std::string(1, (char)('A' + slot)) : name;
}

void PortPinInfo::appendTo(Json::Value& array, float currentMa) const {
    Json::Value status;
    status["name"] = name;
    if (hasSmartReceivers) {
        appendReceiverStatus(status);
    } else {
        appendPlainStatus(status, currentMa);
    }
    if (row != -1) {
        status["row"] = row;
    }
    if (col != -1) {
        status["col"] = col;
    }
    if (!bank.empty()) {
        status["bank"] = bank;
    }
    array.append(status);
}

void PortPinInfo::appendPlainStatus(Json::Value& status, float currentMa) const {
    const ReceiverSlot& port = receivers[0];
    if (enablePin) {
        status["enabled"] = isPowered();
    }
    bool tripped = port.enabled && eFusePin && (port.fuseTripped || !fuseOK());
    status["status"] = !tripped;
    if (currentMonitor) {
        status["ma"] = (int)std::lround(currentMa);
    }
    if (port.pixelCount >= 0) {
        status["pixelCount"] = port.pixelCount;
    }
}

void PortPinInfo::appendReceiverStatus(Json::Value& status) const {
    status["smartReceivers"] = true;
    for (int slot = 0; slot < MAX_RECEIVERS; slot++) {
        const ReceiverSlot& receiver = receivers[slot];
        if (!receiver.present) {
            continue;
        }
        Json::Value entry;
        entry["ma"] = receiver.currentMa;
        entry["enabled"] = receiver.fuseTripped ? false : receiver.enabled;
        entry["status"] = !receiver.fuseTripped;
        if (receiver.pixelCount < NO_RECEIVER_PIXEL_COUNT) {
            entry["pixelCount"] = receiver.pixelCount;
        }
        status[std::string(1, (char)('A' + slot))] = entry;
    }
}
