#include "Sensors.h"

#include "common/Log.h"

Sensors Sensors::INSTANCE;

namespace {

// A single definition is taken as a list of one.
void appendAll(Json::Value& list, const Json::Value& given) {
    if (given.isArray()) {
        for (const auto& item : given)
            list.append(item);
    } else if (!given.isNull()) {
        list.append(given);
    }
}

} // namespace

void Sensors::DetectHWSensors() {
    LogDebug(LG_GENERAL, "Hardware sensors are not read by this daemon\n");
}

void Sensors::addSensorSources(const Json::Value& given) {
    std::lock_guard<std::mutex> l(lock);
    appendAll(sources, given);
}

void Sensors::addSensors(const Json::Value& given) {
    std::lock_guard<std::mutex> l(lock);
    appendAll(sensors, given);
}

void Sensors::Init(std::map<int, std::function<bool(int)>>&) {
    std::lock_guard<std::mutex> l(lock);
    LogDebug(LG_GENERAL, "Sensors: %u sources and %u sensors defined, none read\n", sources.size(),
             sensors.size());
}

void Sensors::Close() {
    std::lock_guard<std::mutex> l(lock);
    sources = Json::Value(Json::arrayValue);
    sensors = Json::Value(Json::arrayValue);
}

Json::Value Sensors::GetSensorSources() {
    std::lock_guard<std::mutex> l(lock);
    return sources;
}

void Sensors::reportSensors(Json::Value& result) {
    result["sensors"] = Json::Value(Json::arrayValue);
}

Json::Value Sensors::GetSensors() {
    std::lock_guard<std::mutex> l(lock);
    return sensors;
}
