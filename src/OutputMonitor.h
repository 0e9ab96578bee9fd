#pragma once
// Owner of the board's pixel output ports: the pins that switch each port's power, the eFuse pins
// that report a tripped port (with power-cycle retries), each port's current sensor, and the
// state of smart receivers behind a port. Pixel strings register their ports here, the channel
// output code switches power with the outputs, four commands switch ports, and "/kivd/ports"
// serves the port list and status.
//
// Threads: pin writes, port state, the retry list and the fuse callbacks (GPIO callback thread)
// are serialised by gpioLock; HTTP threads, the main loop (timers, commands, settings listeners)
// and the pixel string set-up take it too. Presets and smart-receiver requests raised while it is
// held run after it is released (see Locked), so a preset that switches ports cannot deadlock.
// Ports are owned here; pins belong to the pin provider, sensor sources to the sensor layer.

#include "PortPinInfo.h"
#include "common/httpserver/httpserver.h"

#include <jsoncpp/json/json.h>

#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class Command;
class PinCapabilities;

class OutputMonitor : public httpserver::http_resource {
public:
    static OutputMonitor INSTANCE;
    // (port number, receiver index 0 to 5, "ToggleOutput" or "ResetOutput")
    using SmartReceiverControl = std::function<void(int, int, const std::string&)>;

    // Reads the retry settings, follows their changes, registers the port commands. The map is
    // not used: the fuse callbacks run on the GPIO callback thread, not the main loop.
    void Initialize(std::map<int, std::function<bool(int)>>& callbacks);
    // Undoes Initialize and forgets every port and pin.
    void Cleanup();

    // Registers (or, for a port already known, reconfigures) port number `port`, 0-based, named
    // "Port " + (port + 1). `enabled` says whether the port itself has pixels, so that it is
    // switched with the outputs and its fuse trips are reported.
    void AddPortConfiguration(int port, const Json::Value& config, bool enabled = true);
    void RemovePortConfiguration(int port, const Json::Value& config);
    // The enable pin (name with an optional leading "!" for on-when-low), driven off; null when the
    // board has no such pin.
    const PinCapabilities* AddOutputPin(const std::string& portName, const std::string& pinName);

    void EnableOutputs();
    void DisableOutputs();
    // As Enable/DisableOutputs when the setting AutoEnableOutputs (default 1) is non-zero.
    void AutoEnableOutputs();
    void AutoDisableOutputs();
    // Switches one port ("Port 1"), or one receiver of a smart-receiver port ("Port 1B"). False
    // when no port has that name.
    bool SetOutput(const std::string& portName, bool on);

    // One value in mA per configured port, in port order (missing port numbers are skipped).
    std::vector<float> GetPortCurrentValues();
    // Appends each configured port's status object.
    void GetCurrentPortStatusJson(Json::Value& result);
    // "--ALL--", then every port (smart-receiver ports: one name per present receiver).
    std::vector<std::string> GetPortNames();
    bool HasPorts();

    void lockToGroup(int group);
    bool isPortInGroup(int group, int port);
    int GetPixelCount(int port);
    void SetPixelCount(int port, int count, int configuredCount);
    void setSmartReceiverInfo(int port, int receiver, bool enabled, bool fuseTripped, float currentMa,
                              int pixelCount);
    void setSmartReceiverControl(SmartReceiverControl control);

    // The "eFuse Retry" timer's work: power-cycles tripped ports until they hold or retries run out.
    void processRetries();
    // Compares configured and detected pixel counts of the named ports ("--ALL--" or names
    // separated by ","); action "Warn" raises user warnings, "Log" logs.
    void checkPixelCounts(const std::string& ports, const std::string& action, int sensitivity);

    std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request& req) override;

    // Tests: the clock retry times are taken from (GetTimeMS by default).
    void setClock(std::function<long long()> clock);

private:
    // Holds gpioLock; actions deferred while it was held run once it is released.
    class Locked {
    public:
        explicit Locked(OutputMonitor& m) : monitor(m), guard(m.gpioLock) {}
        ~Locked();
        Locked(const Locked&) = delete;
        Locked& operator=(const Locked&) = delete;

    private:
        OutputMonitor& monitor;
        std::unique_lock<std::mutex> guard;
    };

    // These take gpioLock themselves: a settings listener, and the two GPIO callbacks
    // (OutputMonitorFuses.cpp), which find their port anew on every call because a run may come
    // after the port was removed.
    void setRetrySetting(const std::string& key, const std::string& value);
    bool portFuseCallback(int port);
    bool interruptFuseCallback(const std::string& pinName);

    // Callers of everything below hold gpioLock.
    PortPinInfo* createPort(int port, const Json::Value& config, bool enabled);
    void configureFusePins(PortPinInfo* info, int port);
    void addSmartReceiverPorts(int port, const Json::Value& config);
    const PinCapabilities* addOutputPinLocked(const std::string& portName, const std::string& pinName);
    bool pinStillUsed(const PinCapabilities* pin) const;
    int findPort(const std::string& name, int* slot); // port number, -1 for none
    float portCurrent(int port);
    void deferPreset(const std::string& name, const std::map<std::string, std::string>& keywords = {});
    void deferAction(std::function<void()> action);
    void addCommand(Command* command);
    void registerPortCommands();
    bool anyPort() const;
    void fuseTripped(PortPinInfo* port);
    bool checkEFuseRetry(PortPinInfo* port);
    bool retryPort(PortPinInfo* port, long long now); // true when the port leaves the retry list
    void addEFuseWarning(PortPinInfo* port, int slot);
    void clearEFuseWarning(PortPinInfo* port, int slot);
    void setSlotWarning(PortPinInfo::ReceiverSlot& slot, const std::string& text);
    std::string pixelCountMessage(const PortPinInfo* port, int slot, int sensitivity) const;

    std::list<const PinCapabilities*> pullHighOutputs; // enable pins on when high
    std::list<const PinCapabilities*> pullLowOutputs;  // enable pins on when low
    std::map<std::string, const PinCapabilities*> fuseInterruptPins;
    std::vector<std::unique_ptr<PortPinInfo>> portPins; // by port number; null where none
    std::list<PortPinInfo*> retryPorts;                 // ports waiting for fuse retries
    std::mutex gpioLock;
    bool retryTimerRunning = false;
    int lockedGroup = -1;
    int eFuseRetryCount = 0;
    int eFuseRetryInterval = 100;
    SmartReceiverControl smartReceiverControl;
    std::vector<std::function<void()>> deferred; // run by ~Locked after unlocking
    bool initialized = false;                    // between Initialize and Cleanup
    bool portCommandsRegistered = false;
    std::vector<std::string> registeredCommands;
    std::function<long long()> clock;
};
