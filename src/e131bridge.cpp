#include "e131bridge.h"

#include "common/Log.h"

void Bridge_Initialize(std::map<int, std::function<bool(int)>>&) {
    LogDebug(LG_E131BRIDGE, "Bridge_Initialize()\n");
}

void Bridge_Shutdown() {
    LogDebug(LG_E131BRIDGE, "Bridge_Shutdown()\n");
}

bool HasBridgeData() {
    return false;
}

Json::Value GetE131UniverseBytesReceived() {
    Json::Value result;
    result["universes"] = Json::Value(Json::arrayValue);
    return result;
}

void ResetBytesReceived() {}
