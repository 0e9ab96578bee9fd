#pragma once
// One pixel port as the output monitor keeps it: its pins, current sensor, and the state of its
// receiver slots (slot 0 is the port itself; slots 1 to 5 are the further smart receivers behind
// a smart-receiver port). Owned by OutputMonitor; every field is guarded by the monitor's mutex.

#include "CurrentMonitor.h"

#include <jsoncpp/json/json.h>

#include <cstdint>
#include <memory>
#include <string>

class PinCapabilities;

class PortPinInfo {
public:
    static constexpr int MAX_RECEIVERS = 6;

    struct ReceiverSlot {
        bool enabled = false;
        bool fuseTripped = false;
        bool present = false;
        int pixelCount = -1; // detected; -1 while none was reported
        int configuredPixelCount = 0;
        float currentMa = 0;
        std::string warning; // the user warning this slot shows, empty for none
        int retryCount = 0;
        long long firstRetryTime = 0; // GetTimeMS() times
        long long nextRetryTime = 0;
    };

    PortPinInfo(const std::string& name, const Json::Value& config);

    // Keeps the configuration and rereads "row", "col" and "bank".
    void setConfig(const Json::Value& config);

    // The level of the enable pin equals its on level (a missing pin reads 0).
    bool isPowered() const;
    // The fuse pin reads its OK level.
    bool fuseOK() const;
    // Drives the enable pin to the on or off level; nothing without one.
    void setPower(bool on) const;
    // The port name, plus the receiver letter on smart-receiver ports ("Port 1B").
    std::string slotName(int slot) const;
    // Appends the status object; currentMa is the port's current as the monitor reports it.
    void appendTo(Json::Value& array, float currentMa) const;

    const std::string name;
    std::string bank;
    Json::Value config;
    int group = 0;
    const PinCapabilities* enablePin = nullptr;
    uint8_t enabledValue = 1;
    const PinCapabilities* eFusePin = nullptr;
    uint8_t eFuseOKValue = 0;
    const PinCapabilities* eFuseInterruptPin = nullptr;
    std::unique_ptr<CurrentMonitorBase> currentMonitor;
    bool hasSmartReceivers = false;
    int smartListener = -1;        // listener number shared by the four ports of one listener
    int smartListenerPosition = 0; // 0 to 3 behind that listener
    ReceiverSlot receivers[MAX_RECEIVERS];
    int row = -1;
    int col = -1;

private:
    void appendPlainStatus(Json::Value& status, float currentMa) const;
    void appendReceiverStatus(Json::Value& status) const;
};
