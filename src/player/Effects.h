#pragma once
// Stand-in for the wider player's effect sequences, which are outside this system: none is ever
// running.

#include <jsoncpp/json/json.h>

void InitEffects();
void CloseEffects();
// Whether an effect sequence runs; never.
bool IsEffectRunning();
// The running effects, an empty array.
Json::Value GetRunningEffects();
