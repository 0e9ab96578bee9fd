#pragma once
// Stand-in for the wider player's scheduler, which is outside this system: the schedule is
// always empty and nothing is ever started. It counts the calls it gets (atomics, relaxed) so
// tests can see that the main loop drives it.

#include <jsoncpp/json/json.h>

#include <atomic>

class Scheduler {
public:
    Scheduler();
    ~Scheduler();

    void ScheduleProc();
    void CheckIfShouldBePlayingNow(int ignoreRepeat = 0, int forceEntry = -1);
    // {"entries": []}
    Json::Value GetSchedule();

    std::atomic<int> scheduleProcCalls{0};
    std::atomic<int> checkCalls{0};
    std::atomic<int> lastForceEntry{-1};
};

// Created and deleted by main; null before and after.
extern Scheduler* scheduler;
