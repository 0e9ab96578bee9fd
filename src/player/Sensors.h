#pragma once
// Stand-in for the wider player's sensor layer, which is outside this system: no sensor is read.
// It keeps the sensor definitions it was given (arrays appended in call order) so they can be
// read back, and makes one SensorSource stand-in for every source definition with a "name", so
// the output monitor's current sensing has channels to read. Guarded by a mutex.

#include "SensorSource.h"

#include <jsoncpp/json/json.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

class Sensors {
public:
    static Sensors INSTANCE;

    void DetectHWSensors();
    void addSensorSources(const Json::Value& sources);
    void addSensors(const Json::Value& sensors);
    // No sensor has a descriptor to watch; nothing is added.
    void Init(std::map<int, std::function<bool(int)>>& callbacks);
    // Forgets the definitions and deletes the sources.
    void Close();

    Json::Value GetSensorSources();
    // Adds "sensors" to a status object: the readings, an empty array as no sensor is read.
    void reportSensors(Json::Value& result);
    Json::Value GetSensors();

    // The source of that name, owned here and valid until Close; null when there is none.
    SensorSource* getSensorSource(const std::string& name);
    // Asks every source to sample its enabled channels.
    void updateSensorSources(bool forceInstant = false);
    // Sources sample only the channels of that sensor group (-1: all).
    void lockToGroup(int group);
    int getLockedGroup();

private:
    std::mutex lock; // guards every member below
    Json::Value sources{Json::arrayValue};
    Json::Value sensors{Json::arrayValue};
    std::vector<std::unique_ptr<SensorSource>> sourceObjects;
    int lockedGroup = -1;
};
