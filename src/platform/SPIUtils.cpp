#include "SPIUtils.h"

#include "common/Common.h"
#include "common/Log.h"

#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace {

constexpr int SIM_HEADER_SIZE = 32;

void putWord(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; i++) {
        at[i] = (value >> (8 * i)) & 0xFF;
    }
}

// The spidev driver refuses messages longer than its buffer.
int spidevBufferSize() {
    std::ifstream in("/sys/module/spidev/parameters/bufsiz");
    int size = 0;
    return (in >> size) && size > 0 ? size : 4096;
}

} // namespace

SPIUtils::SPIUtils(int ch, int baud) : channel(ch), speed(baud > 0 ? baud : 0) {
    std::string device = "/dev/spidev0." + std::to_string(channel);
    const char* simDir = getenv("KIV_SPI_SIM_DIR");
    bool real = (!simDir || !*simDir) && FileExists(device);
    bool ok = real ? openDevice(device) : openSimulated(SimulatedPath(channel));
    if (!ok) {
        LogErr(LG_CHANNELOUT, "Could not open SPI port %d: %s\n", channel, strerror(errno));
    }
}

SPIUtils::~SPIUtils() {
    if (fd >= 0) {
        close(fd);
    }
}

std::string SPIUtils::SimulatedPath(int channel) {
    const char* dir = getenv("KIV_SPI_SIM_DIR");
    std::string base = (dir && *dir) ? dir : "/dev/shm";
    return base + "/kiv-spidev0." + std::to_string(channel);
}

bool SPIUtils::openDevice(const std::string& path) {
    fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    uint8_t mode = SPI_MODE_0;
    uint8_t bits = 8;
    if (ioctl(fd, SPI_IOC_WR_MODE, &mode) < 0 || ioctl(fd, SPI_IOC_WR_BITS_PER_WORD, &bits) < 0 ||
        ioctl(fd, SPI_IOC_WR_MAX_SPEED_HZ, &speed) < 0) {
        close(fd);
        fd = -1;
        return false;
    }
    chunkSize = spidevBufferSize();
    LogDebug(LG_CHANNELOUT, "SPI port %s opened at %u Hz\n", path.c_str(), speed);
    return true;
}

bool SPIUtils::openSimulated(const std::string& path) {
    simulated = true;
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return false;
    }
    LogDebug(LG_CHANNELOUT, "Simulated SPI port %d writes its transfers to %s\n", channel, path.c_str());
    return writeSimulated(nullptr, 0, 0) == 0;
}

int SPIUtils::xfer(const uint8_t* tx, uint8_t* rx, int count) {
    if (fd < 0 || rx || count < 0 || (!tx && count > 0)) {
        return -1;
    }
    int sent = simulated ? writeSimulated(tx, count, transfers + 1) : xferDevice(tx, count);
    if (sent >= 0) {
        transfers++;
    }
    return sent;
}

int SPIUtils::xferDevice(const uint8_t* tx, int count) {
    for (int done = 0; done < count; done += chunkSize) {
        spi_ioc_transfer t;
        memset(&t, 0, sizeof(t));
        t.tx_buf = reinterpret_cast<uintptr_t>(tx + done);
        t.len = std::min(chunkSize, count - done);
        t.speed_hz = speed;
        t.bits_per_word = 8;
        if (ioctl(fd, SPI_IOC_MESSAGE(1), &t) < 0) {
            LogErr(LG_CHANNELOUT, "SPI port %d: transfer failed: %s\n", channel, strerror(errno));
            return -1;
        }
    }
    return count;
}

// Bytes first, then the header with the count last, so a reader that sees the new count sees
// the transfer it counts.
int SPIUtils::writeSimulated(const uint8_t* tx, int count, uint32_t transferCount) {
    if (count > 0 && pwrite(fd, tx, count, SIM_HEADER_SIZE) != count) {
        return -1;
    }
    if (ftruncate(fd, SIM_HEADER_SIZE + count) != 0) {
        return -1;
    }
    uint8_t header[SIM_HEADER_SIZE] = {};
    memcpy(header, "KIVSPISM", 8);
    putWord(header + 8, speed);
    putWord(header + 12, count);
    putWord(header + 16, transferCount);
    return pwrite(fd, header, SIM_HEADER_SIZE, 0) == SIM_HEADER_SIZE ? count : -1;
}
