#include "Effects.h"

#include "common/Log.h"

void InitEffects() {
    LogDebug(LG_EFFECT, "Effect sequences are not played by this daemon\n");
}

void CloseEffects() {}

bool IsEffectRunning() {
    return false;
}

Json::Value GetRunningEffects() {
    return Json::Value(Json::arrayValue);
}
