#include "Scheduler.h"

#include "common/Log.h"

Scheduler* scheduler = nullptr;

Scheduler::Scheduler() {
    LogDebug(LG_SCHEDULE, "Scheduler created with an empty schedule\n");
}

Scheduler::~Scheduler() {
    LogDebug(LG_SCHEDULE, "Scheduler deleted after %d schedule steps\n", scheduleProcCalls.load());
}

void Scheduler::ScheduleProc() {
    scheduleProcCalls.fetch_add(1, std::memory_order_relaxed);
}

void Scheduler::CheckIfShouldBePlayingNow(int ignoreRepeat, int forceEntry) {
    checkCalls.fetch_add(1, std::memory_order_relaxed);
    lastForceEntry.store(forceEntry, std::memory_order_relaxed);
    LogDebug(LG_SCHEDULE, "Nothing scheduled to play now (ignoreRepeat %d, entry %d)\n", ignoreRepeat,
             forceEntry);
}

Json::Value Scheduler::GetInfo() {
    Json::Value info;
    info["status"] = "idle";
    info["entries"] = 0;
    return info;
}

void Scheduler::ReloadScheduleFile() {
    reloadCalls.fetch_add(1, std::memory_order_relaxed);
    LogDebug(LG_SCHEDULE, "Schedule reload requested; the schedule stays empty\n");
}

Json::Value Scheduler::GetSchedule() {
    Json::Value schedule;
    schedule["entries"] = Json::Value(Json::arrayValue);
    return schedule;
}
