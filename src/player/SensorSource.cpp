#include "SensorSource.h"

#include "common/JsonValues.h"

SensorSource::SensorSource(const Json::Value& definition) : name(JsonString(definition["name"])) {}

void SensorSource::enable(int channel) {
    std::lock_guard<std::mutex> l(lock);
    enabled.insert(channel);
}

bool SensorSource::isEnabled(int channel) {
    std::lock_guard<std::mutex> l(lock);
    return enabled.count(channel) > 0;
}

double SensorSource::getValue(int channel) {
    std::lock_guard<std::mutex> l(lock);
    auto it = values.find(channel);
    return it == values.end() ? 0.0 : it->second;
}

void SensorSource::setValue(int channel, double value) {
    std::lock_guard<std::mutex> l(lock);
    values[channel] = value;
}

void SensorSource::update(bool) {
    std::lock_guard<std::mutex> l(lock);
    updates++;
}

int SensorSource::updateCount() {
    std::lock_guard<std::mutex> l(lock);
    return updates;
}
