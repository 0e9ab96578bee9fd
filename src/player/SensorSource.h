#pragma once
// Stand-in for one of the wider player's sensor sources (an ADC or similar, outside this system):
// a named set of channels whose values are whatever was last stored with setValue, since no
// hardware is read. Callers enable the channels they read; update() is where a real source would
// sample its enabled channels, and here only counts the calls. Guarded by its own mutex, as
// values are read on HTTP threads.

#include <jsoncpp/json/json.h>

#include <map>
#include <mutex>
#include <set>
#include <string>

class SensorSource {
public:
    // Reads "name" from the definition.
    explicit SensorSource(const Json::Value& definition);

    const std::string& getName() const { return name; }
    void enable(int channel);
    bool isEnabled(int channel);
    // The channel's value; 0 when none was stored.
    double getValue(int channel);
    void setValue(int channel, double value);
    void update(bool forceInstant);
    int updateCount();

private:
    const std::string name;
    std::mutex lock; // guards the members below
    std::set<int> enabled;
    std::map<int, double> values;
    int updates = 0;
};
