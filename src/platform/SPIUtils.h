#pragma once
// One SPI port, opened at a clock speed, that sends a buffer per transfer (nothing is read back).
//
// Backend, chosen when the port is opened: the Linux spidev device /dev/spidev0.N when it exists
// and KIV_SPI_SIM_DIR is unset; otherwise a simulated port, the file DIR/kiv-spidev0.N with DIR
// $KIV_SPI_SIM_DIR when set, else /dev/shm. The file is made anew when the port is opened and
// holds the last transfer, so another process can read what went out on the wire:
//   bytes 0-7   "KIVSPISM"
//   8  speed in Hz, 12 length of the last transfer in bytes, 16 count of transfers so far,
//   20-31 zero (little-endian uint32; the count is written last)
//   32  the last transfer's bytes (the file is 32 + length bytes long)
// On spidev a transfer longer than the driver's buffer (module parameter bufsiz, 4096 by default)
// goes out in pieces of that size; the clock pauses between them, which clocked strips ignore.
//
// Owns its descriptor. One thread at a time per port.

#include <cstdint>
#include <string>

class SPIUtils {
public:
    SPIUtils(int channel, int baud);
    ~SPIUtils();
    SPIUtils(const SPIUtils&) = delete;
    SPIUtils& operator=(const SPIUtils&) = delete;

    bool isOk() const { return fd >= 0; }
    bool isSimulated() const { return simulated; }
    // Sends count bytes of tx; rx must be null (nothing is read). Returns count, or -1 on failure.
    int xfer(const uint8_t* tx, uint8_t* rx, int count);

    // The simulated file of port channel: $KIV_SPI_SIM_DIR (or /dev/shm) + "/kiv-spidev0.N".
    static std::string SimulatedPath(int channel);

private:
    bool openDevice(const std::string& path);
    bool openSimulated(const std::string& path);
    int xferDevice(const uint8_t* tx, int count);
    int writeSimulated(const uint8_t* tx, int count, uint32_t transferCount);

    int fd = -1;
    int channel;
    uint32_t speed;
    bool simulated = false;
    uint32_t transfers = 0;
    int chunkSize = 4096;
};
