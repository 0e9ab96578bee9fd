#include "Sensors.h"

#include "common/Log.h"

Sensors Sensors::INSTANCE;

namespace {

// A single definition is taken as a list of one.
void appendAll(Json::Value& list, const Json::Value& given) {
    if (given.isArray()) {
        for (const auto& item : given) {
            list.append(item);
        }
    } else if (!given.isNull()) {
        list.append(given);
    }
}

} // namespace

void Sensors::DetectHWSensors() {
    LogDebug(LG_GENERAL, "Hardware sensors are not read by this daemon\n");
}

void Sensors::addSensorSources(const Json::Value& given) {
    Json::Value added(Json::arrayValue);
    appendAll(added, given);
    std::lock_guard<std::mutex> l(lock);
    for (const auto& definition : added) {
        sources.append(definition);
        if (definition.isObject() && definition["name"].isString() &&
            !definition["name"].asString().empty()) {
            sourceObjects.push_back(std::make_unique<SensorSource>(definition));
        }
    }
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
    sourceObjects.clear();
    lockedGroup = -1;
}

Json::Value Sensors::GetSensorSources() {
    std::lock_guard<std::mutex> l(lock);
    return sources;
}

Json::Value Sensors::GetSensors() {
    std::lock_guard<std::mutex> l(lock);
    return sensors;
}

SensorSource* Sensors::getSensorSource(const std::string& name) {
    std::lock_guard<std::mutex> l(lock);
    for (const auto& source : sourceObjects) {
        if (source->getName() == name) {
            return source.get();
        }
    }
    return nullptr;
}

void Sensors::updateSensorSources(bool forceInstant) {
    std::lock_guard<std::mutex> l(lock);
    for (const auto& source : sourceObjects) {
        source->update(forceInstant);
    }
}

void Sensors::lockToGroup(int group) {
    std::lock_guard<std::mutex> l(lock);
    lockedGroup = group;
}

int Sensors::getLockedGroup() {
    std::lock_guard<std::mutex> l(lock);
    return lockedGroup;
}

void Sensors::reportSensors(Json::Value& result) {
    result["sensors"] = Json::Value(Json::arrayValue);
}
