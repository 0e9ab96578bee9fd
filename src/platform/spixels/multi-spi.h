#pragma once
// Stand-in for the spixels library's multi-SPI driver, used when the real library is not found
// (CMake picks one or the other). Same header name, namespace and the calls the Spixels output
// makes; written from what that output expects of the library, not from its sources.
//
// One clock line is shared by up to 16 data lines that are clocked out together. Instead of
// bit-banging GPIOs the stand-in keeps each data line's bytes and, on SendBuffers, writes them to
// a simulated multi-SPI bus: the file $KIV_SPIXELS_SIM_FILE when set, else /dev/shm/kiv-spixels,
// made anew when the driver is created:
//   bytes 0-7   "KIVSPIXL"
//   8  clock GPIO, 12 clock speed in Hz, 16 count of sends so far, 20-31 zero
//      (little-endian uint32)
//   32  for each of the 16 data lines in this GPIO order: 18, 23, 22, 5, 12, 16, 19, 21, 4, 17,
//       24, 25, 6, 13, 26, 20 (the Spixels output's ports 0 to 15): a uint32 byte count, then
//       the bytes that line clocked out in the last send (count 0 for a line without a strip)
// The bytes each strip type puts on its line are described in led-strip.h. A data line outside
// that list is clocked but not recorded.
//
// Owned by the caller (delete it); not thread-safe: one thread sets bytes and sends at a time.

#include <cstddef>
#include <cstdint>

namespace spixels {

class MultiSPI {
public:
    virtual ~MultiSPI() {}
    // Gives a data line room for serial_byte_size bytes a send (the largest request wins).
    virtual bool RegisterDataGPIO(int gpio, size_t serial_byte_size) = 0;
    // Called once all data lines are registered; the stand-in needs nothing then.
    virtual void FinishRegistration() = 0;
    // Byte pos of a data line's buffer; out-of-range positions and lines are ignored.
    virtual void SetBufferedByte(int data_gpio, size_t pos, uint8_t data) = 0;
    // Clocks every data line's buffer out at once.
    virtual void SendBuffers() = 0;
};

// A driver that bit-bangs the lines directly at speed_mhz with the given clock GPIO.
MultiSPI* CreateDirectMultiSPI(int speed_mhz, int clock_gpio);

} // namespace spixels
