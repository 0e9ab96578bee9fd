#include "common/Timers.h"

#include "common/Common.h"
#include "common/Log.h"

#include <climits>
#include <exception>
#include <vector>

Timers Timers::INSTANCE;

namespace {
constexpr long long NO_TIMER = LLONG_MAX;
}

void Timers::addTimer(const std::string& name, long long fireTimeMS, std::function<void()> callback) {
    std::lock_guard<std::mutex> lk(lock);
    timers.remove_if([&](const Timer& t) { return t.name == name; });
    timers.push_back(Timer{name, fireTimeMS, 0, std::move(callback)});
    recomputeEarliest();
}

void Timers::addPeriodicTimer(const std::string& name, int periodMS, std::function<void()> callback) {
    // A zero or negative period would fire on every loop pass; one millisecond is the fastest.
    int period = periodMS > 0 ? periodMS : 1;
    long long due = GetTimeMS() + period;
    std::lock_guard<std::mutex> lk(lock);
    timers.remove_if([&](const Timer& t) { return t.name == name; });
    timers.push_back(Timer{name, due, period, std::move(callback)});
    recomputeEarliest();
}

void Timers::stopPeriodicTimer(const std::string& name) {
    std::lock_guard<std::mutex> lk(lock);
    timers.remove_if([&](const Timer& t) { return t.name == name; });
    recomputeEarliest();
}

// A one-shot timer whose callback is about to run is no longer pending.
static bool pending(bool firing, int period) {
    return !(firing && period == 0);
}

bool Timers::hasTimers() {
    std::lock_guard<std::mutex> lk(lock);
    for (const auto& t : timers) {
        if (pending(t.firing, t.period)) {
            return true;
        }
    }
    return false;
}

long long Timers::nextDueTime() {
    std::lock_guard<std::mutex> lk(lock);
    return timers.empty() ? NO_TIMER : earliest;
}

void Timers::clear() {
    std::lock_guard<std::mutex> lk(lock);
    timers.clear();
    recomputeEarliest();
}

// Caller holds the lock.
void Timers::recomputeEarliest() {
    earliest = NO_TIMER;
    for (const auto& t : timers) {
        if (pending(t.firing, t.period) && t.due < earliest) {
            earliest = t.due;
        }
    }
}

// Callbacks run without the lock, so a callback may add or stop any timer, itself included. Due
// timers are only marked here; each is looked up again right before its callback runs, so a timer
// stopped or replaced by an earlier callback of the same pass does not fire.
void Timers::fireTimersInternal(long long now) {
    std::vector<std::string> due;
    {
        std::lock_guard<std::mutex> lk(lock);
        for (auto& t : timers) {
            if (t.firing || t.due > now) {
                continue;
            }
            t.firing = true;
            due.push_back(t.name);
            if (t.period > 0) {
                t.due += t.period;
                // A loop that fell behind fires once, not once per missed period.
                if (t.due <= now) {
                    t.due = now + t.period;
                }
            }
        }
        recomputeEarliest();
    }
    for (const auto& name : due) {
        std::function<void()> callback;
        if (!takeFiring(name, callback)) {
            continue;
        }
        try {
            callback();
        } catch (const std::exception& e) {
            LogErr(LG_GENERAL, "Timer '%s' failed: %s\n", name.c_str(), e.what());
        }
    }
}

// Hands out the callback of a marked timer: a one-shot leaves the table, a periodic one stays
// scheduled. False when the timer was stopped or replaced since it was marked.
bool Timers::takeFiring(const std::string& name, std::function<void()>& callback) {
    std::lock_guard<std::mutex> lk(lock);
    for (auto it = timers.begin(); it != timers.end(); ++it) {
        if (it->name != name || !it->firing) {
            continue;
        }
        callback = it->callback;
        if (it->period == 0) {
            timers.erase(it);
        } else {
            it->firing = false;
        }
        recomputeEarliest();
        return true;
    }
    return false;
}
