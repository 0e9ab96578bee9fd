#pragma once
// Current sensing of one pixel port: a raw reading turned into milliamps as
// max(raw - offset, 0) * scale. FileCurrentMonitor reads a number from a file (typically an ADC
// value in sysfs); SensorCurrentMonitor reads a channel of a sensor source. Owned by the port's
// PortPinInfo; read under the output monitor's mutex.
//
// The three small classes are one family with one factory, so they share this file pair.

#include <jsoncpp/json/json.h>

#include <memory>
#include <string>

class SensorSource;

class CurrentMonitorBase {
public:
    virtual ~CurrentMonitorBase() {}
    virtual float getRawValue() = 0;
    float getMilliAmps();

    float scale = 1.0f;
    float offset = 0.0f;

    // The monitor a port's "currentSensor" object asks for ("path", or "sensor" with "channel";
    // "scale", "offset"), or null when it names neither or is no object.
    static std::unique_ptr<CurrentMonitorBase> create(const Json::Value& config);
};

// The average of three readings of the file, each read from its start: up to 12 bytes taken as a
// decimal integer (text that is no number reads 0). A file that cannot be opened, or that was
// deleted since, reads 0; it is opened again on the next reading, so a sensor that appears later
// (a driver loaded after start-up) is picked up.
class FileCurrentMonitor : public CurrentMonitorBase {
public:
    explicit FileCurrentMonitor(const std::string& path);
    ~FileCurrentMonitor() override;
    float getRawValue() override;

private:
    bool ensureOpen();
    int readOnce();

    std::string path;
    int fd = -1;
};

// A channel of a sensor source (not owned; the sensor layer keeps it until shutdown). A missing
// source reads 0.
class SensorCurrentMonitor : public CurrentMonitorBase {
public:
    SensorCurrentMonitor(SensorSource* source, int channel);
    float getRawValue() override;

private:
    SensorSource* source;
    int channel;
};
