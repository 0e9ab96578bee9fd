#include "OutputProcessors.h"

#include "ChannelOutput.h"
#include "common/JsonValues.h"
#include "common/Log.h"
#include "common/WarningHolder.h"

#include <cstring>

bool OutputProcessors::parseRemap(const Json::Value& config, Remap& remap) {
    long long source = JsonInt64(config["source"]) - 1;
    long long destination = JsonInt64(config["destination"]) - 1;
    long long count = JsonInt64(config["count"]);
    long long loops = config.isMember("loops") ? JsonInt64(config["loops"]) : 1;
    if (count > KIVD_MAX_CHANNELS || loops > KIVD_MAX_CHANNELS) {
        return false;
    }
    long long span = count * loops;
    if (source < 0 || destination < 0 || count <= 0 || loops <= 0 || source + span > KIVD_MAX_CHANNELS ||
        destination + span > KIVD_MAX_CHANNELS) {
        return false;
    }
    remap = {static_cast<unsigned>(source), static_cast<unsigned>(destination), static_cast<unsigned>(count),
             static_cast<unsigned>(loops), !config.isMember("active") || JsonInt(config["active"]) != 0};
    return true;
}

void OutputProcessors::loadFromJSON(const Json::Value& doc) {
    std::vector<Remap> loaded;
    const Json::Value& list = doc.isObject() ? doc["outputProcessors"] : Json::Value::nullSingleton();
    for (Json::ArrayIndex i = 0; list.isArray() && i < list.size(); i++) {
        const Json::Value& config = list[i];
        std::string type = config.isObject() ? JsonString(config["type"]) : "";
        Remap remap;
        if (type == "Remap" && parseRemap(config, remap)) {
            loaded.push_back(remap);
        } else if (type == "Remap") {
            WarningHolder::AddWarning("Output processor Remap has invalid channels and was skipped.");
            LogErr(LG_CHANNELOUT, "Invalid Remap output processor %u skipped\n", i);
        } else {
            WarningHolder::AddWarning("Output processor type '" + type +
                                      "' is not supported and was skipped.");
            LogWarn(LG_CHANNELOUT, "Unsupported output processor type '%s' skipped\n", type.c_str());
        }
    }
    std::lock_guard<std::mutex> lk(processorLock);
    remaps.swap(loaded);
}

void OutputProcessors::ProcessData(unsigned char* channelData) {
    std::lock_guard<std::mutex> lk(processorLock);
    for (const auto& r : remaps) {
        if (!r.active) {
            continue;
        }
        for (unsigned loop = 0; loop < r.loops; loop++) {
            std::memmove(channelData + r.destination + loop * r.count,
                         channelData + r.source + loop * r.count, r.count);
        }
    }
}

void OutputProcessors::GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) {
    std::lock_guard<std::mutex> lk(processorLock);
    for (const auto& r : remaps) {
        if (r.active) {
            addRange(r.source, r.source + r.count * r.loops - 1);
            addRange(r.destination, r.destination + r.count * r.loops - 1);
        }
    }
}

size_t OutputProcessors::Count() {
    std::lock_guard<std::mutex> lk(processorLock);
    return remaps.size();
}
