#include "SimulatedGPIO.h"

#include "common/Log.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

SimulatedGPIO SimulatedGPIO::INSTANCE;

namespace {
constexpr auto WATCH_PERIOD = std::chrono::milliseconds(2);

bool validGpio(int gpio) {
    return gpio >= 0 && gpio < SimulatedGPIO::PIN_COUNT;
}

// Opens (creating when missing) and sizes the level file; -1 on failure.
int openLevelFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) == 0 && st.st_size < SimulatedGPIO::PIN_COUNT) {
        // Other users' test tools may want to inject levels too.
        fchmod(fd, 0666);
        if (ftruncate(fd, SimulatedGPIO::PIN_COUNT) != 0) {
            ::close(fd);
            return -1;
        }
    }
    return fd;
}
} // namespace

SimulatedGPIO::~SimulatedGPIO() {
    close();
}

std::string SimulatedGPIO::DefaultPath() {
    const char* env = getenv("KIV_GPIO_SIM_FILE");
    return env && *env ? env : "/dev/shm/kiv-gpio";
}

bool SimulatedGPIO::open(const std::string& path) {
    std::lock_guard<std::mutex> lk(lock);
    if (mapped != nullptr && mapped != local.data() && path == mappedPath) {
        return true;
    }
    unmap();
    mappedPath = path;
    int fd = openLevelFile(path);
    void* memory = fd >= 0 ? mmap(nullptr, PIN_COUNT, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : MAP_FAILED;
    if (fd >= 0) {
        ::close(fd);
    }
    bool ok = memory != MAP_FAILED;
    if (ok) {
        mapped = static_cast<uint8_t*>(memory);
    } else {
        LogWarn(LG_GPIO, "Cannot map the simulated GPIO file %s (%s); levels stay in this process\n",
                path.c_str(), strerror(errno));
        mapped = local.data();
    }
    for (int gpio = 0; gpio < PIN_COUNT; gpio++) {
        pins[gpio].lastReported = readLevel(gpio);
    }
    LogDebug(LG_GPIO, "Simulated GPIO levels in %s\n", ok ? path.c_str() : "process memory");
    return ok;
}

void SimulatedGPIO::close() {
    stopWatcher();
    std::lock_guard<std::mutex> lk(lock);
    for (auto& pin : pins) {
        if (pin.eventFd >= 0) {
            ::close(pin.eventFd);
        }
        pin = Pin{};
    }
    unmap();
    mappedPath.clear();
}

std::string SimulatedGPIO::path() {
    std::lock_guard<std::mutex> lk(lock);
    return mappedPath;
}

void SimulatedGPIO::unmap() {
    if (mapped != nullptr && mapped != local.data()) {
        munmap(mapped, PIN_COUNT);
    }
    mapped = nullptr;
}

// Used before any open() too: the levels then live in `local`.
std::atomic_ref<uint8_t> SimulatedGPIO::byteOf(int gpio) {
    if (mapped == nullptr) {
        mapped = local.data();
    }
    return std::atomic_ref<uint8_t>(mapped[gpio]);
}

int SimulatedGPIO::readLevel(int gpio) {
    uint8_t b = byteOf(gpio).load(std::memory_order_relaxed);
    return (b == 0 || b == '0') ? 0 : 1;
}

int SimulatedGPIO::getLevel(int gpio) {
    if (!validGpio(gpio)) {
        return 0;
    }
    std::lock_guard<std::mutex> lk(lock);
    return readLevel(gpio);
}

void SimulatedGPIO::setLevel(int gpio, int level) {
    if (!validGpio(gpio)) {
        return;
    }
    std::function<void(int, int)> observer;
    {
        std::lock_guard<std::mutex> lk(lock);
        byteOf(gpio).store(level ? 1 : 0, std::memory_order_relaxed);
        signalIfChanged(gpio, level ? 1 : 0);
        observer = writeObserver;
    }
    if (observer) {
        observer(gpio, level ? 1 : 0);
    }
}

void SimulatedGPIO::signalIfChanged(int gpio, int level) {
    Pin& pin = pins[gpio];
    if (level == pin.lastReported) {
        return;
    }
    pin.lastReported = level;
    if (pin.eventFd >= 0) {
        uint64_t one = 1;
        if (write(pin.eventFd, &one, sizeof(one)) < 0) {
            LogDebug(LG_GPIO, "Simulated GPIO %d: event not signalled: %s\n", gpio, strerror(errno));
        }
    }
}

void SimulatedGPIO::setMode(int gpio, const std::string& mode, bool output, const std::string& description) {
    if (!validGpio(gpio)) {
        return;
    }
    std::lock_guard<std::mutex> lk(lock);
    pins[gpio].mode = mode;
    pins[gpio].output = output;
    pins[gpio].description = description;
}

std::string SimulatedGPIO::getMode(int gpio) {
    if (!validGpio(gpio)) {
        return "";
    }
    std::lock_guard<std::mutex> lk(lock);
    return pins[gpio].mode;
}

bool SimulatedGPIO::isOutput(int gpio) {
    if (!validGpio(gpio)) {
        return false;
    }
    std::lock_guard<std::mutex> lk(lock);
    return pins[gpio].output;
}

std::string SimulatedGPIO::getDescription(int gpio) {
    if (!validGpio(gpio)) {
        return "";
    }
    std::lock_guard<std::mutex> lk(lock);
    return pins[gpio].description;
}

int SimulatedGPIO::openEventFile(int gpio) {
    if (!validGpio(gpio)) {
        return -1;
    }
    std::lock_guard<std::mutex> lk(lock);
    Pin& pin = pins[gpio];
    if (pin.eventFd < 0) {
        pin.eventFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        pin.lastReported = readLevel(gpio);
    }
    if (pin.eventFd >= 0) {
        startWatcher();
    }
    return pin.eventFd;
}

int SimulatedGPIO::takeEvent(int gpio) {
    if (!validGpio(gpio)) {
        return -1;
    }
    std::lock_guard<std::mutex> lk(lock);
    Pin& pin = pins[gpio];
    uint64_t count = 0;
    if (pin.eventFd < 0 || read(pin.eventFd, &count, sizeof(count)) != sizeof(count)) {
        return -1;
    }
    return pin.lastReported;
}

void SimulatedGPIO::closeEventFile(int gpio) {
    if (!validGpio(gpio)) {
        return;
    }
    std::lock_guard<std::mutex> lk(lock);
    if (pins[gpio].eventFd >= 0) {
        ::close(pins[gpio].eventFd);
    }
    pins[gpio].eventFd = -1;
}

void SimulatedGPIO::setWriteObserver(std::function<void(int, int)> observer) {
    std::lock_guard<std::mutex> lk(lock);
    writeObserver = std::move(observer);
}

void SimulatedGPIO::startWatcher() {
    if (watcher.joinable()) {
        return;
    }
    stopping = false;
    watcher = std::thread([this]() { watch(); });
}

void SimulatedGPIO::stopWatcher() {
    std::thread finished;
    {
        std::lock_guard<std::mutex> lk(lock);
        stopping = true;
        finished.swap(watcher);
    }
    wake.notify_all();
    if (finished.joinable()) {
        finished.join();
    }
}

// Other processes only change the file, so pins with event files are compared with the level
// last reported for them.
void SimulatedGPIO::watch() {
    pthread_setname_np(pthread_self(), "KIV-GPIOSim");
    std::unique_lock<std::mutex> lk(lock);
    while (!stopping) {
        for (int gpio = 0; gpio < PIN_COUNT; gpio++) {
            if (pins[gpio].eventFd >= 0) {
                signalIfChanged(gpio, readLevel(gpio));
            }
        }
        wake.wait_for(lk, WATCH_PERIOD, [this]() { return stopping; });
    }
}
