#include "Serial.h"

#include "common/Log.h"

// termios2 comes from the kernel's header, which cannot be mixed with <termios.h>.
#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

namespace {
struct StandardRate {
    int baud;
    tcflag_t code;
};
const StandardRate STANDARD_RATES[] = {
    {1200, B1200},       {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},
    {38400, B38400},     {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},
    {500000, B500000},   {921600, B921600},   {1000000, B1000000}, {1500000, B1500000}, {2000000, B2000000},
    {3000000, B3000000}, {4000000, B4000000},
};

void setRate(termios2& tio, int baud) {
    tio.c_cflag &= ~CBAUD;
    tio.c_ispeed = tio.c_ospeed = baud;
    for (const auto& rate : STANDARD_RATES) {
        if (rate.baud == baud) {
            tio.c_cflag |= rate.code;
            return;
        }
    }
    tio.c_cflag |= BOTHER;
}

// Parity letter, then data bits and stop bits in the order the digits appear.
bool setFraming(termios2& tio, const char* mode) {
    int digits[2] = {8, 1};
    int seen = 0;
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB);
    for (const char* c = mode; *c; c++) {
        char upper = std::toupper(static_cast<unsigned char>(*c));
        if (upper == 'E') {
            tio.c_cflag |= PARENB;
        } else if (upper == 'O') {
            tio.c_cflag |= PARENB | PARODD;
        } else if (std::isdigit(static_cast<unsigned char>(upper)) && seen < 2) {
            digits[seen++] = upper - '0';
        } else if (upper != 'N') {
            return false;
        }
    }
    static const tcflag_t SIZES[] = {CS5, CS6, CS7, CS8};
    if (digits[0] < 5 || digits[0] > 8 || digits[1] < 1 || digits[1] > 2) {
        return false;
    }
    tio.c_cflag |= SIZES[digits[0] - 5] | (digits[1] == 2 ? CSTOPB : 0);
    return true;
}

// Raw bytes both ways. A break is ignored rather than read as a zero byte, so a DMX reader sees the
// start code as the first byte of each frame.
void makeRaw(termios2& tio) {
    tio.c_iflag &= ~(BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF);
    tio.c_iflag |= IGNBRK;
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~CRTSCTS;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
}
} // namespace

int SerialOpen(const char* device, int baud, const char* mode, bool output) {
    int fd = open(device, (output ? O_RDWR : O_RDONLY) | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        LogWarn(LG_GENERAL, "Could not open serial device %s: %s\n", device, strerror(errno));
        return -1;
    }
    termios2 tio{};
    bool ok = ioctl(fd, TCGETS2, &tio) == 0;
    if (ok) {
        makeRaw(tio);
        setRate(tio, baud);
        ok = setFraming(tio, mode);
        if (!ok) {
            errno = EINVAL;
        }
    }
    if (!ok || ioctl(fd, TCSETS2, &tio) != 0) {
        int error = errno;
        LogWarn(LG_GENERAL, "Could not configure serial device %s (%d baud, %s): %s\n", device, baud, mode,
                strerror(error));
        close(fd);
        errno = error;
        return -1;
    }
    ioctl(fd, TCFLSH, TCIOFLUSH);
    return fd;
}

int SerialClose(int fd) {
    if (fd < 0) {
        return -1;
    }
    ioctl(fd, TCFLSH, TCIOFLUSH);
    return close(fd);
}
