#pragma once
// Named one-shot and periodic timers fired by the main loop. The table is guarded by a mutex, so
// any thread may add or stop timers; callbacks always run on the thread calling fireTimersInternal
// (the main loop), with the mutex released.

#include <functional>
#include <list>
#include <mutex>
#include <string>

class Timers {
public:
    static Timers INSTANCE;

    // One-shot timer due at an absolute GetTimeMS() time; replaces a pending timer of the same name.
    void addTimer(const std::string& name, long long fireTimeMS, std::function<void()> callback);
    // Fires every periodMS from now until stopped; replaces a timer of the same name.
    void addPeriodicTimer(const std::string& name, int periodMS, std::function<void()> callback);
    void stopPeriodicTimer(const std::string& name);
    void stopTimer(const std::string& name) { stopPeriodicTimer(name); }

    bool hasTimers();
    // Earliest due time, or a very large value when there are no timers.
    long long nextDueTime();
    // Runs every timer due at or before now; periodic timers are rescheduled.
    void fireTimersInternal(long long now);
    void clear();

private:
    struct Timer {
        std::string name;
        long long due;
        int period; // 0 for one-shot
        std::function<void()> callback;
        bool firing = false; // collected by fireTimersInternal, callback not yet run
    };
    std::mutex lock;
    std::list<Timer> timers;
    long long earliest = 0;
    void recomputeEarliest();
    bool takeFiring(const std::string& name, std::function<void()>& callback);
};
