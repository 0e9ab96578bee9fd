#pragma once
// A private level file for the simulated pins (one byte a GPIO), so tests running in parallel
// never see each other's pins. The constructor points KIV_GPIO_SIM_FILE at it (which also makes
// the pin layer choose the simulated backend); the destructor removes it again.

#include "support/WaitFor.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

class SimulatedGpioFile {
public:
    explicit SimulatedGpioFile(const std::string& tag) {
        std::string pattern = "/dev/shm/kiv-gpio-" + tag + "-XXXXXX";
        int fd = mkstemp(pattern.data());
        if (fd < 0) {
            throw std::runtime_error("cannot create " + pattern);
        }
        close(fd);
        file = pattern;
        setenv("KIV_GPIO_SIM_FILE", file.c_str(), 1);
    }
    ~SimulatedGpioFile() {
        unsetenv("KIV_GPIO_SIM_FILE");
        unlink(file.c_str());
    }
    SimulatedGpioFile(const SimulatedGpioFile&) = delete;
    SimulatedGpioFile& operator=(const SimulatedGpioFile&) = delete;

    const std::string& path() const { return file; }
    // The level byte another process sees for the GPIO (0xEE when it cannot be read).
    int level(int gpio) const {
        unsigned char b = 0xEE;
        int fd = open(file.c_str(), O_RDONLY);
        if (pread(fd, &b, 1, gpio) != 1) {
            b = 0xEE;
        }
        close(fd);
        return b;
    }
    // Writes a level as another process would.
    bool drive(int gpio, unsigned char value) const {
        int fd = open(file.c_str(), O_WRONLY);
        bool ok = pwrite(fd, &value, 1, gpio) == 1;
        close(fd);
        return ok;
    }

private:
    std::string file;
};
