// The output monitor's fuse handling: trip callbacks, power-cycle retries, fuse and pixel-count
// warnings.
#include "OutputMonitor.h"

#include "common/Common.h"
#include "common/Log.h"
#include "common/Timers.h"
#include "common/WarningHolder.h"
#include "platform/PinCapabilities.h"
#include "player/Sequence.h"

#include <algorithm>
#include <cstdlib>

namespace {
const char* const RETRY_TIMER = "eFuse Retry";
constexpr int RETRY_TICK_MS = 100;
// A port whose fuse holds this long after its last retry is healthy again.
constexpr int HEALTHY_AFTER_MS = 2000;

// " (sequence/m:s)" while a sequence plays, else empty.
std::string playingPosition() {
    if (!sequence || !sequence->IsSequenceRunning()) {
        return "";
    }
    int seconds = sequence->GetPositionMS() / 1000;
    return " (" + sequence->GetSequenceName() + "/" + std::to_string(seconds / 60) + ":" +
           std::to_string(seconds % 60) + ")";
}
} // namespace

bool OutputMonitor::portFuseCallback(int number) {
    Locked l(*this);
    if (number < 0 || number >= (int)portPins.size() || !portPins[number]) {
        return true;
    }
    PortPinInfo* port = portPins[number].get();
    if (port->fuseOK()) {
        return true;
    }
    port->setPower(false);
    if (port->receivers[0].enabled) {
        fuseTripped(port);
    }
    return true;
}

bool OutputMonitor::interruptFuseCallback(const std::string& pinName) {
    Locked l(*this);
    for (const auto& port : portPins) {
        if (!port || !port->eFuseInterruptPin || port->eFuseInterruptPin->name != pinName || port->fuseOK()) {
            continue;
        }
        port->setPower(false);
        if (port->receivers[0].enabled && !port->receivers[0].fuseTripped) {
            fuseTripped(port.get());
        }
    }
    return true;
}

void OutputMonitor::fuseTripped(PortPinInfo* port) {
    port->receivers[0].fuseTripped = true;
    if (checkEFuseRetry(port)) {
        addEFuseWarning(port, 0);
    }
}

bool OutputMonitor::checkEFuseRetry(PortPinInfo* port) {
    PortPinInfo::ReceiverSlot& slot = port->receivers[0];
    if (slot.retryCount >= eFuseRetryCount) {
        return true;
    }
    LogDebug(LG_CHANNELOUT, "eFuse triggered for %s.  Attempting reset retry #%d\n", port->name.c_str(),
             slot.retryCount + 1);
    if (std::find(retryPorts.begin(), retryPorts.end(), port) == retryPorts.end()) {
        retryPorts.push_back(port);
    }
    if (!retryTimerRunning) {
        retryTimerRunning = true;
        Timers::INSTANCE.addPeriodicTimer(RETRY_TIMER, RETRY_TICK_MS, [this]() { processRetries(); });
    }
    return false;
}

void OutputMonitor::processRetries() {
    Locked l(*this);
    long long now = clock ? clock() : GetTimeMS();
    std::vector<PortPinInfo*> finished;
    for (PortPinInfo* port : retryPorts) {
        if (retryPort(port, now)) {
            finished.push_back(port);
        }
    }
    for (PortPinInfo* port : finished) {
        retryPorts.remove(port);
    }
    if (retryPorts.empty() && retryTimerRunning) {
        Timers::INSTANCE.stopPeriodicTimer(RETRY_TIMER);
        retryTimerRunning = false;
    }
}

// Ticks arrive up to a loop pass late, so a tick within half a tick of the retry time counts as
// reaching it; otherwise a tick a millisecond early would postpone the cycle by a whole tick.
// A port that used up its retries is left switched off, as a failed port stays off until it is
// switched on again.
bool OutputMonitor::retryPort(PortPinInfo* port, long long now) {
    PortPinInfo::ReceiverSlot& slot = port->receivers[0];
    if (port->fuseOK()) {
        if (now <= slot.nextRetryTime + HEALTHY_AFTER_MS) {
            return false;
        }
        LogDebug(LG_CHANNELOUT, "eFuse of %s holds again after %d retries\n", port->name.c_str(),
                 slot.retryCount);
        slot.retryCount = 0;
        slot.fuseTripped = false;
        return true;
    }
    if (slot.retryCount > eFuseRetryCount) {
        port->setPower(false);
        addEFuseWarning(port, 0);
        return true;
    }
    if (slot.retryCount != 0 && now + RETRY_TICK_MS / 2 < slot.nextRetryTime) {
        return false;
    }
    long long base = slot.retryCount == 0 ? (slot.firstRetryTime = now) : slot.nextRetryTime;
    slot.retryCount++;
    slot.nextRetryTime = base + eFuseRetryInterval;
    LogDebug(LG_CHANNELOUT, "Power cycling %s, retry #%d\n", port->name.c_str(), slot.retryCount);
    port->setPower(false);
    port->setPower(true);
    return false;
}

void OutputMonitor::setSlotWarning(PortPinInfo::ReceiverSlot& slot, const std::string& text) {
    if (!slot.warning.empty()) {
        WarningHolder::RemoveWarning(slot.warning);
    }
    slot.warning = text;
    if (!text.empty()) {
        WarningHolder::AddWarning(text);
    }
}

void OutputMonitor::addEFuseWarning(PortPinInfo* port, int slot) {
    if (!port || slot < 0 || slot >= PortPinInfo::MAX_RECEIVERS) {
        return;
    }
    std::string name = port->slotName(slot);
    std::string text = "eFUSE Triggered for " + name;
    if (port->receivers[slot].warning == text) {
        return;
    }
    LogWarn(LG_CHANNELOUT, "%s%s\n", text.c_str(), playingPosition().c_str());
    setSlotWarning(port->receivers[slot], text);
    deferPreset("EFUSE_TRIGGERED", {{"PORT", name}});
}

void OutputMonitor::clearEFuseWarning(PortPinInfo* port, int slot) {
    if (!port || slot < 0 || slot >= PortPinInfo::MAX_RECEIVERS) {
        return;
    }
    setSlotWarning(port->receivers[slot], "");
    port->receivers[slot].retryCount = 0;
}

std::string OutputMonitor::pixelCountMessage(const PortPinInfo* port, int slot, int sensitivity) const {
    const PortPinInfo::ReceiverSlot& receiver = port->receivers[slot];
    if (std::abs(receiver.configuredPixelCount - receiver.pixelCount) <= sensitivity) {
        return "";
    }
    return port->slotName(slot) + " configured for " + std::to_string(receiver.configuredPixelCount) +
           " pixels but " + std::to_string(receiver.pixelCount) + " pixels detected.";
}

// Slots that never reported a count (or receivers not present) are not compared: there is nothing
// detected to compare with. A name selects a whole port, or one receiver with its letter.
void OutputMonitor::checkPixelCounts(const std::string& ports, const std::string& action, int sensitivity) {
    bool all = ports.empty() || ports == "--ALL--";
    std::vector<std::string> names;
    for (const auto& name : split(ports, ',')) {
        names.push_back(trim(name));
    }
    auto named = [&names](const std::string& name) {
        return std::find(names.begin(), names.end(), name) != names.end();
    };
    Locked l(*this);
    for (const auto& port : portPins) {
        int slots = !port ? 0 : port->hasSmartReceivers ? PortPinInfo::MAX_RECEIVERS : 1;
        for (int s = 0; s < slots; s++) {
            PortPinInfo::ReceiverSlot& slot = port->receivers[s];
            bool reported = slot.pixelCount >= 0 && (slot.present || !port->hasSmartReceivers);
            if (!reported || !(all || named(port->name) || named(port->slotName(s)))) {
                continue;
            }
            std::string message = pixelCountMessage(port.get(), s, sensitivity);
            if (action == "Warn") {
                if (slot.warning != message) {
                    setSlotWarning(slot, message);
                }
            } else if (!message.empty()) {
                LogInfo(LG_CHANNELOUT, "%s\n", message.c_str());
            }
        }
    }
}
