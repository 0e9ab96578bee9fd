// The board table, the simulated backend and its file, and edge callbacks on the GPIO thread.
#include "platform/PinCapabilities.h"
#include "platform/GPIOManager.h"
#include "platform/SimulatedGPIO.h"

#include "support/SimulatedGpioFile.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

long long nowMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Each test gets its own level file, so parallel tests never see each other's pins.
class SimulatedPins : public ::testing::Test {
protected:
    void SetUp() override { PinCapabilities::InitGPIO("test", &provider); }
    void TearDown() override {
        GPIOManager::INSTANCE.Cleanup();
        SimulatedGPIO::INSTANCE.close();
    }
    int fileByte(int gpio) { return gpioFile.level(gpio); }
    static bool waitFor(const std::function<bool()>& done, int timeoutMS = 1000) {
        return WaitFor(done, timeoutMS, 1);
    }

    SimulatedGpioFile gpioFile{"pintest"};
    PiGPIOPinProvider provider{PiGPIOPinProvider::Backend::Automatic};
};

TEST_F(SimulatedPins, HeaderNamesAndUartLinesMapToTheBoardsGpioNumbers) {
    struct Case {
        const char* name;
        int gpio;
    } cases[] = {{"P1-3", 2}, {"P1-7", 4}, {"P1-11", 17}, {"P1-12", 18}, {"P1-27", 0}, {"P1-40", 21}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.gpio, PinCapabilities::getPinByName(c.name).kernelGpio) << c.name;
        EXPECT_EQ(c.name, PinCapabilities::getPinByGPIO(c.gpio).name);
    }
    EXPECT_EQ("P1-10", PinCapabilities::getPinByUART("ttyAMA0-rx").name);
    EXPECT_EQ("P1-8", PinCapabilities::getPinByUART("ttyS0-tx").name);
    EXPECT_EQ(28u, PinCapabilities::getPinNames().size());
    EXPECT_EQ(PiGPIOPinProvider::Backend::Simulated, provider.backend()); // KIV_GPIO_SIM_FILE forces it
}

TEST_F(SimulatedPins, AMissingPinReadsZeroAndIgnoresWrites) {
    for (const char* name : {"P1-1", "P1-41", "P9-12", ""}) {
        const PinCapabilities& pin = PinCapabilities::getPinByName(name);
        EXPECT_EQ(nullptr, pin.ptr()) << name;
        pin.configPin("gpio", true, "nothing");
        pin.setValue(true);
        EXPECT_FALSE(pin.getValue());
        EXPECT_EQ(-1, pin.requestEventFile());
    }
    EXPECT_EQ(nullptr, PinCapabilities::getPinByUART("ttyUSB0-rx").ptr());
    EXPECT_FALSE(GPIOManager::INSTANCE.AddGPIOCallback(PinCapabilities::getPinByName("P9-1").ptr(),
                                                       [](int) { return true; }));
}

TEST_F(SimulatedPins, OutputLevelsAndModesAreVisibleInTheSharedFile) {
    const PinCapabilities& a = PinCapabilities::getPinByName("P1-7");
    const PinCapabilities& b = PinCapabilities::getPinByName("P1-11");
    a.configPin("gpio", true, "Enable-Port 1");
    b.configPin("dpi", true, "");
    PinCapabilities::SetMultiPinValue({&a, nullptr, &b}, 1);
    EXPECT_EQ(1, fileByte(4));
    EXPECT_EQ(1, fileByte(17));
    EXPECT_TRUE(a.getValue());
    a.setValue(false);
    EXPECT_EQ(0, fileByte(4));
    EXPECT_EQ("gpio", SimulatedGPIO::INSTANCE.getMode(4));
    EXPECT_TRUE(SimulatedGPIO::INSTANCE.isOutput(4));
    EXPECT_EQ("Enable-Port 1", SimulatedGPIO::INSTANCE.getDescription(4));
    EXPECT_EQ("dpi", SimulatedGPIO::INSTANCE.getMode(17));
}

TEST_F(SimulatedPins, PullResistorsSetTheLevelOfAnUndrivenInput) {
    const PinCapabilities& pin = PinCapabilities::getPinByName("P1-13");
    pin.configPin("gpio_pu", false, "eFuse1");
    EXPECT_TRUE(pin.getValue());
    pin.configPin("gpio_pd", false, "eFuse1");
    EXPECT_FALSE(pin.getValue());
    SimulatedGPIO::INSTANCE.setLevel(27, 1);
    pin.configPin("gpio", false, "eFuse1");
    EXPECT_TRUE(pin.getValue());
}

TEST_F(SimulatedPins, ALevelAnotherProcessWritesRaisesTheCallbackOnTheGpioThreadWithinTenMs) {
    const PinCapabilities& pin = PinCapabilities::getPinByName("P1-11");
    pin.configPin("gpio", false, "watched");
    std::mutex lock;
    std::vector<int> values;
    std::thread::id callbackThread;
    std::atomic<long long> seenAt{0};
    ASSERT_TRUE(GPIOManager::INSTANCE.AddGPIOCallback(&pin, [&](int v) {
        std::lock_guard<std::mutex> l(lock);
        values.push_back(v);
        callbackThread = std::this_thread::get_id();
        seenAt = nowMicros();
        return true;
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(5)); // let the watcher settle on level 0
    int times[2];
    ASSERT_EQ(0, pipe(times));
    pid_t child = fork();
    if (child == 0) {
        int fd = open(gpioFile.path().c_str(), O_WRONLY);
        unsigned char one = '1';
        long long at = nowMicros(); // the steady clock is the same in both processes
        bool wrote = fd >= 0 && pwrite(fd, &one, 1, 17) == 1;
        _exit(wrote && write(times[1], &at, sizeof(at)) == sizeof(at) ? 0 : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    ASSERT_EQ(0, status);
    long long writtenAt = 0;
    ASSERT_EQ((ssize_t)sizeof(writtenAt), read(times[0], &writtenAt, sizeof(writtenAt)));
    close(times[0]);
    close(times[1]);
    ASSERT_TRUE(waitFor([&]() { return seenAt.load() != 0; }));
    EXPECT_LT(seenAt - writtenAt, 10000);
    std::lock_guard<std::mutex> l(lock);
    EXPECT_EQ(std::vector<int>{1}, values);
    EXPECT_NE(std::this_thread::get_id(), callbackThread);
    EXPECT_TRUE(pin.getValue());
}

TEST_F(SimulatedPins, ARemovedOrReplacedCallbackNoLongerRuns) {
    const PinCapabilities& pin = PinCapabilities::getPinByName("P1-15");
    std::atomic<int> first{0}, second{0};
    ASSERT_TRUE(GPIOManager::INSTANCE.AddGPIOCallback(&pin, [&](int) { return ++first > 0; }));
    SimulatedGPIO::INSTANCE.setLevel(22, 1);
    ASSERT_TRUE(waitFor([&]() { return first == 1; }));
    ASSERT_TRUE(GPIOManager::INSTANCE.AddGPIOCallback(&pin, [&](int) { return ++second > 0; }));
    SimulatedGPIO::INSTANCE.setLevel(22, 0);
    ASSERT_TRUE(waitFor([&]() { return second == 1; }));
    GPIOManager::INSTANCE.RemoveGPIOCallback(&pin);
    SimulatedGPIO::INSTANCE.setLevel(22, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(1, first.load());
    EXPECT_EQ(1, second.load());
}

} // namespace
