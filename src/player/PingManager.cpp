#include "PingManager.h"

#include "common/Log.h"

PingManager PingManager::INSTANCE;

void PingManager::Initialize() {
    LogDebug(LG_GENERAL, "Ping manager: no hosts are checked by this daemon\n");
}

void PingManager::Cleanup() {}
