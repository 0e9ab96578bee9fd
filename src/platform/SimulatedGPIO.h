#pragma once
// The simulated pin backend's state: the levels of GPIO 0 to 63, kept in a 64-byte file mapped
// into memory so other processes can read and set them. Byte N holds the level of GPIO N, 0 or 1
// (the characters '0' and '1' read the same, so a shell can write them). The file is
// $KIV_GPIO_SIM_FILE when that is set, else /dev/shm/kiv-gpio; it is created zero-filled when
// missing and its contents are kept when it exists. When it cannot be mapped the levels live in
// this process only.
//
// Levels the process writes (its outputs, or a test driving an input) land in the file at once. A
// level another process writes is noticed by a watcher thread that scans every 2 ms, and for a pin
// with an event file it is reported as an edge: the event descriptor becomes readable. Modes set
// through configPin are kept in memory only, for tests to read back.
//
// Threads: the mapped bytes are read and written as relaxed atomics (other processes write them
// too); everything else is guarded by `lock`. The write observer runs on the writing thread
// without the lock held.

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class SimulatedGPIO {
public:
    static constexpr int PIN_COUNT = 64;
    static SimulatedGPIO INSTANCE;

    ~SimulatedGPIO();

    // $KIV_GPIO_SIM_FILE, else "/dev/shm/kiv-gpio".
    static std::string DefaultPath();
    // Maps the file at path (the one mapped before is let go when it differs). False when it
    // could not be mapped; the levels are then private to this process.
    bool open(const std::string& path);
    // Stops the watcher, closes every event file and unmaps the file.
    void close();
    std::string path();

    // 0 or 1; 0 for a GPIO number out of range.
    int getLevel(int gpio);
    // Sets the level as a device on the pin would, reporting an edge at once when it changed.
    void setLevel(int gpio, int level);

    void setMode(int gpio, const std::string& mode, bool output, const std::string& description);
    std::string getMode(int gpio);
    bool isOutput(int gpio);
    std::string getDescription(int gpio);

    // Edge events of one GPIO: a non-blocking descriptor that turns readable when the level
    // changes (-1 on failure). takeEvent clears it and returns the level, or -1 when none was
    // pending.
    int openEventFile(int gpio);
    int takeEvent(int gpio);
    void closeEventFile(int gpio);

    // Tests: called with (gpio, level) after every setLevel of this process.
    void setWriteObserver(std::function<void(int, int)> observer);

private:
    struct Pin {
        std::string mode;
        bool output = false;
        std::string description;
        int eventFd = -1;
        int lastReported = 0; // level last signalled on eventFd
    };

    std::atomic_ref<uint8_t> byteOf(int gpio);
    int readLevel(int gpio);
    void signalIfChanged(int gpio, int level); // caller holds lock
    void startWatcher();                       // caller holds lock
    void stopWatcher();
    void watch();
    void unmap(); // caller holds lock

    std::mutex lock;
    std::condition_variable wake;
    std::string mappedPath;
    uint8_t* mapped = nullptr; // the file's 64 bytes, or `local` when unmapped
    alignas(8) std::array<uint8_t, PIN_COUNT> local{};
    std::array<Pin, PIN_COUNT> pins;
    std::function<void(int, int)> writeObserver;
    std::thread watcher;
    bool stopping = false;
};
