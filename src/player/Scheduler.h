#pragma once
// Stand-in for the wider player's scheduler, which is outside this system: the schedule is
// always empty and nothing is ever started. It counts the calls it gets (atomics, relaxed) so
// tests can see that the main loop drives it.

#include <jsoncpp/json/json.h>

#include <atomic>
#include <string>

class Scheduler {
public:
    Scheduler();
    ~Scheduler();

    void ScheduleProc();
    void CheckIfShouldBePlayingNow(int ignoreRepeat = 0, int forceEntry = -1);
    // {"entries": []}
    Json::Value GetSchedule();
    // Nothing is ever scheduled: both "".
    std::string GetNextPlaylistName() { return ""; }
    std::string GetNextPlaylistStartStr() { return ""; }
    // {"status": "idle", "entries": 0}
    Json::Value GetInfo();
    // There is no schedule file to read; the request is counted and logged.
    void ReloadScheduleFile();

    std::atomic<int> scheduleProcCalls{0};
    std::atomic<int> checkCalls{0};
    std::atomic<int> lastForceEntry{-1};
    std::atomic<int> reloadCalls{0};
};

// Created and deleted by main; null before and after.
extern Scheduler* scheduler;
