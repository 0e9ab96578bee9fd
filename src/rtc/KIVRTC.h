#pragma once
// kivrtc: registers the real-time-clock chip chosen in the settings file on I2C bus 1, loads its
// kernel driver, waits for the RTC device node and then copies the RTC time into the system clock
// ("get") or the system time into the RTC ("set"). It reports only through what it prints.

#include <string>

class KIVRTC {
public:
    // "set" writes the system time into the RTC; any other word reads the RTC.
    explicit KIVRTC(std::string mode);

    // Runs every step and returns the exit status (0 on every path; a failed popen throws).
    int Run();

    static void PrintUsage(const char* program);

    // Longest wait for the device node after registering the chip.
    static constexpr int DEVICE_WAIT_MS = 5000;

private:
    std::string mode;
    std::string devicePath;
    bool deviceExisted = false;
    std::string address; // of the registered chip, what an unregister writes

    void ChooseDevicePath();
    bool RegisterChip(int selection);
    bool WaitForDevice() const;
    void SynchroniseClock();
    void RemoveI2CDevice();
    static void PrintLocalTime();
};
