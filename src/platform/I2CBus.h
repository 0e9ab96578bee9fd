#pragma once
// Writes to a device on an I2C bus, as the status display's driver needs them: open a bus device
// for one 7-bit address, then send short writes (a control byte and a value, or a whole buffer).
//
// Backend, chosen when the device is opened: the Linux i2c-dev character device (ioctl I2C_SLAVE,
// then write()) when the device file exists and KIV_OLED_SIM_FILE is unset; otherwise a simulated
// bus that carries an emulated display panel at address 0x3C (see SimulatedOLEDPanel.h), so the
// program runs and can be tested on a machine without the hardware. A simulated open of another
// address fails as a missing device would, except while a write recorder is installed: the
// recorder then stands for a device at any address.
//
// Descriptors returned here are real file descriptors (of the device, or of the panel's memory
// file) and are closed with i2c_close. Single-threaded: one display per process.

#include <cstddef>
#include <cstdint>
#include <functional>

// The device opened last: its path and descriptor (-1 while closed).
struct I2CDeviceRecord {
    char i2c_dev_path[64];
    int fd_i2c;
    uint8_t address;
};
extern I2CDeviceRecord I2C_DEV_2;

// Opens path for the 7-bit address and fills I2C_DEV_2 (closing what it held before). Returns 0
// on success, -1 on failure.
int init_i2c_dev2(const char* path, uint8_t address);
// Sends the two bytes control, value as one write. Returns the count written: 2 on success.
int i2c_write_register(int fd, uint8_t control, uint8_t value);
// Sends count bytes of buffer as one write. Returns the count written, -1 on failure.
int i2c_multiple_writes(int fd, int count, const uint8_t* buffer);
// Closes a descriptor from init_i2c_dev2 (and forgets it in I2C_DEV_2).
void i2c_close(int fd);

// Tests: sees every write before it reaches the device; returning false fails that write as a
// bus error would (nothing is sent). An empty function removes the recorder.
using I2CWriteRecorder = std::function<bool(int fd, const uint8_t* bytes, size_t count)>;
void i2c_set_write_recorder(I2CWriteRecorder recorder);
