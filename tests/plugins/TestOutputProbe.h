#pragma once
// What the test output plugin (kiv-co-TestOutput) saw, shared with the tests that load it. The
// plugin exports kivTestOutputProbe(); a test reaches it through dlopen(RTLD_NOLOAD) + dlsym
// (see ProbeOfLoadedTestOutput in tests/support/TestOutputAccess.h).
//
// Configuration members the test output reads in Init:
//   "id"          number identifying the output in the probe (default 0)
//   "failInit"    1: Init returns false
//   "throwInit"   text: Init throws std::runtime_error with it
//   "ranges"      [[first, last], ...] 0-based ranges reported instead of start..start+count-1
//   "testing"     1: SupportsTesting() is true; OverlayTestData is counted
//   "recordFile"  path: every frame's bytes are written there (for daemon tests)
//   "noop"        1: PrepData and SendData do nothing at all (for benchmarks)

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

struct TestOutputProbe {
    std::mutex lock;                 // guards the containers
    std::vector<std::string> events; // "init 3", "starting 3", "stopping 3", "close 3", "delete 3"
    std::map<int, std::vector<unsigned char>> lastFrame; // by id
    std::map<int, std::string> lastType;
    std::atomic<int> live{0};    // outputs constructed and not yet deleted
    std::atomic<long> frames{0}; // SendData calls
    std::atomic<long> prepCalls{0};
    std::atomic<long> testCalls{0};
    std::atomic<long> useAfterDelete{0};

    void record(const std::string& what) {
        std::lock_guard<std::mutex> lk(lock);
        events.push_back(what);
    }
    void reset() {
        std::lock_guard<std::mutex> lk(lock);
        events.clear();
        lastFrame.clear();
        frames = 0;
        prepCalls = 0;
        testCalls = 0;
        useAfterDelete = 0;
    }
};

extern "C" TestOutputProbe* kivTestOutputProbe();
