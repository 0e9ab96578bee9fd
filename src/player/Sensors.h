#pragma once
// Stand-in for the wider player's sensor layer, which is outside this system: no sensor is read.
// It keeps the sensor definitions it was given (arrays appended in call order) so they can be
// read back; guarded by a mutex.

#include <jsoncpp/json/json.h>

#include <functional>
#include <map>
#include <mutex>

class Sensors {
public:
    static Sensors INSTANCE;

    void DetectHWSensors();
    void addSensorSources(const Json::Value& sources);
    void addSensors(const Json::Value& sensors);
    // No sensor has a descriptor to watch; nothing is added.
    void Init(std::map<int, std::function<bool(int)>>& callbacks);
    // Forgets the definitions.
    void Close();

    Json::Value GetSensorSources();
    // Adds "sensors": the readings, an empty array as no sensor is read.
    void reportSensors(Json::Value& result);
    Json::Value GetSensors();

private:
    std::mutex lock; // guards both members
    Json::Value sources{Json::arrayValue};
    Json::Value sensors{Json::arrayValue};
};
