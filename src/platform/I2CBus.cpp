#include "I2CBus.h"

#include "SimulatedOLEDPanel.h"

#include "common/Log.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

I2CDeviceRecord I2C_DEV_2 = {{0}, -1, 0};

namespace {

// Panels of the simulated bus, by the descriptor handed out for them.
std::map<int, std::unique_ptr<SimulatedOLEDPanel>> simulatedPanels;
I2CWriteRecorder writeRecorder;

bool useSimulatedBus(const char* path) {
    const char* simFile = getenv("KIV_OLED_SIM_FILE");
    return (simFile && *simFile) || access(path, F_OK) != 0;
}

int openSimulated(uint8_t address) {
    if (address != SimulatedOLEDPanel::ADDRESS && writeRecorder) {
        return open("/dev/null", O_WRONLY | O_CLOEXEC); // the recorder stands for the device
    }
    if (address != SimulatedOLEDPanel::ADDRESS) {
        LogDebug(LG_GENERAL, "Simulated I2C bus: no device at 0x%02X\n", address);
        return -1;
    }
    auto panel = std::make_unique<SimulatedOLEDPanel>();
    int fd = panel->open(SimulatedOLEDPanel::DefaultPath());
    if (fd < 0) {
        return -1;
    }
    simulatedPanels[fd] = std::move(panel);
    return fd;
}

int openDevice(const char* path, uint8_t address) {
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        LogWarn(LG_GENERAL, "Cannot open %s: %s\n", path, strerror(errno));
        return -1;
    }
    if (ioctl(fd, I2C_SLAVE, (long)address) < 0) {
        LogWarn(LG_GENERAL, "Cannot address 0x%02X on %s: %s\n", address, path, strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

int init_i2c_dev2(const char* path, uint8_t address) {
    if (I2C_DEV_2.fd_i2c >= 0) {
        i2c_close(I2C_DEV_2.fd_i2c);
    }
    snprintf(I2C_DEV_2.i2c_dev_path, sizeof(I2C_DEV_2.i2c_dev_path), "%s", path);
    I2C_DEV_2.address = address;
    I2C_DEV_2.fd_i2c = useSimulatedBus(path) ? openSimulated(address) : openDevice(path, address);
    return I2C_DEV_2.fd_i2c >= 0 ? 0 : -1;
}

int i2c_multiple_writes(int fd, int count, const uint8_t* buffer) {
    if (count <= 0 || !buffer) {
        return count == 0 ? 0 : -1;
    }
    if (writeRecorder && !writeRecorder(fd, buffer, count)) {
        return -1;
    }
    auto panel = simulatedPanels.find(fd);
    if (panel != simulatedPanels.end()) {
        panel->second->write(buffer, count);
        return count;
    }
    return (int)write(fd, buffer, count);
}

int i2c_write_register(int fd, uint8_t control, uint8_t value) {
    uint8_t bytes[2] = {control, value};
    return i2c_multiple_writes(fd, 2, bytes);
}

void i2c_close(int fd) {
    if (fd < 0) {
        return;
    }
    // A panel closes its own descriptor.
    if (simulatedPanels.erase(fd) == 0) {
        close(fd);
    }
    if (I2C_DEV_2.fd_i2c == fd) {
        I2C_DEV_2.fd_i2c = -1;
    }
}

void i2c_set_write_recorder(I2CWriteRecorder recorder) {
    writeRecorder = std::move(recorder);
}
