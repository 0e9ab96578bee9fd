#pragma once
// Stand-in for the overlay model manager until the real models exist. It draws nothing (no overlay
// is ever active) but keeps the definitions of the automatic models that outputs ask for, so the
// outputs' part can be seen and tested: name, start channel, channel count, channels per node,
// orientation, start corner, strings and strands. Serves "/models" and "/overlays": a GET answers
// {"status": "OK", "models": [definitions in the overlay model JSON shape]}; other methods 405.
//
// Threads: models are added on the main thread during output set-up and listed from HTTP threads;
// the definitions are guarded by one mutex. Pointers from getModel stay valid until clearModels.

#include "common/httpserver/httpserver.h"

#include <jsoncpp/json/json.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

struct OverlayModelDefinition {
    std::string name;
    int startChannel = 0; // 0-based
    int channelCount = 0;
    int channelsPerNode = 3;
    std::string orientation; // "H" or "V"
    std::string startCorner; // "TL", "BL", ...
    int strings = 0;
    int strands = 1;

    // {"Name", "Type": "Channel", "StartChannel" (1-based), "ChannelCount", "ChannelCountPerNode",
    //  "Orientation", "StartCorner", "StringCount", "StrandsPerString", "autoCreated": true}
    Json::Value toJson() const;
    bool operator==(const OverlayModelDefinition&) const = default;
};

class PixelOverlayManager : public httpserver::http_resource {
public:
    static PixelOverlayManager INSTANCE;

    void Initialize();
    bool hasActiveOverlays() { return false; }

    // Whether outputs should create models for their displays; on unless switched off.
    bool isAutoCreatePixelOverlayModels() const { return autoCreate.load(std::memory_order_relaxed); }
    void setAutoCreatePixelOverlayModels(bool enabled) {
        autoCreate.store(enabled, std::memory_order_relaxed);
    }

    // The model of that name, or null.
    const OverlayModelDefinition* getModel(const std::string& name);
    // Records the model; a model of the same name is replaced.
    void addAutoOverlayModel(const std::string& name, int startChannel, int channelCount, int channelsPerNode,
                             const std::string& orientation, const std::string& startCorner, int strings,
                             int strands);
    // Copies of every model, in name order.
    std::vector<OverlayModelDefinition> getModels();
    void clearModels();

    std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request& req) override;

private:
    std::atomic<bool> autoCreate{true};
    std::mutex modelsLock;
    std::map<std::string, OverlayModelDefinition> models; // guarded by modelsLock
};
