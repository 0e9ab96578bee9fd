#pragma once
// An emulated graphic display panel on the simulated I2C bus (address 0x3C). It takes the bytes of
// each I2C write as the SSD1306-family controllers do (a control byte, then commands or display
// data) and keeps the panel's memory in a file other processes can read: $KIV_OLED_SIM_FILE when
// set, else /dev/shm/kiv-oled. The file is made anew (zeroed) when the panel is opened and left in
// place afterwards.
//
// File layout: a 32-byte header, then the controller's memory.
//   bytes 0-7  "KIVOLED1"
//   8  width of the memory in pixels, 12 height in pixels, 16 bits per pixel (1 or 4),
//   20 display on (1) or off (0), 24 inverted (1) or normal (0),
//   28 count of display-data writes so far
//   (little-endian uint32; written before the count, which is stored last with release order)
// Memory, width * height * bits per pixel / 8 bytes (the file is always 32 + 8192 bytes long):
//   1 bit a pixel:  byte x + (y / 8) * width, bit y % 8 (bit 0 the top row of an 8-row page)
//   4 bits a pixel: byte x / 2 + y * width / 2, the even column in the high nibble
//
// Controllers, as the display's own datasheets describe them:
//   ssd1306  128 x 64, 1 bit; horizontal, vertical and page addressing (0x20), column and page
//            windows (0x21, 0x22), page-mode page and column commands (0xB0-B7, 0x00-0x1F).
//   sh1106   132 x 64, 1 bit, page addressing only; a 128-column glass shows columns 2 to 129.
//   ssd1327  128 x 128, 4 bits; column (0x15, in byte pairs of pixels) and row (0x75) windows,
//            horizontal increment. Window ends past the memory are held at its last column or row.
// All three: 0xAE/0xAF display off/on, 0xA6/0xA7 normal/inverted (0xA4 normal on the ssd1327),
// 0x81 contrast. Other commands are consumed with their argument bytes and otherwise ignored.
// The controller is $KIV_OLED_SIM_PANEL ("ssd1306", "sh1106", "ssd1327") when set; otherwise the
// panel starts as an ssd1306 and becomes an ssd1327 on a 0x15 or 0x75 command, or an sh1106 on
// 0xAD (DC-DC control), before its first display data: the commands that come earlier mean the
// same to every family that sends them.

#include <cstddef>
#include <cstdint>
#include <string>

class SimulatedOLEDPanel {
public:
    static constexpr int HEADER_SIZE = 32;
    static constexpr int MEMORY_SIZE = 8192;
    static constexpr uint8_t ADDRESS = 0x3C;
    enum class Controller { SSD1306, SH1106, SSD1327 };

    SimulatedOLEDPanel() = default;
    ~SimulatedOLEDPanel();
    SimulatedOLEDPanel(const SimulatedOLEDPanel&) = delete;
    SimulatedOLEDPanel& operator=(const SimulatedOLEDPanel&) = delete;

    // $KIV_OLED_SIM_FILE, else "/dev/shm/kiv-oled".
    static std::string DefaultPath();
    // Creates and maps the file; returns its descriptor (owned by the panel), -1 on failure.
    int open(const std::string& path);
    // One I2C write as it arrived on the bus.
    void write(const uint8_t* bytes, size_t count);

    Controller controller() const { return model; }
    int contrast() const { return contrastLevel; }

private:
    void command(uint8_t byte);
    void runCommand();
    int argumentCount(uint8_t cmd) const;
    void runSSD1306(uint8_t cmd);
    void runSH1106(uint8_t cmd);
    void runSSD1327(uint8_t cmd);
    void data(uint8_t byte);
    void storeByte(int index, uint8_t byte);
    void setController(Controller c);
    void writeHeader();
    void putWord(int offset, uint32_t value);

    int fd = -1;
    uint8_t* mapping = nullptr; // header + memory
    Controller model = Controller::SSD1306;
    bool modelFixed = false; // by KIV_OLED_SIM_PANEL or the first display data
    uint32_t transfers = 0;

    uint8_t pending = 0; // command waiting for its arguments
    uint8_t args[16] = {};
    int argsHave = 0, argsWant = 0;

    bool displayOn = false, inverted = false;
    int contrastLevel = 0x7F;
    int addressingMode = 2; // ssd1306: 0 horizontal, 1 vertical, 2 page
    int colStart = 0, colEnd = 127, pageStart = 0, pageEnd = 7;
    int column = 0, page = 0; // page is the row on the ssd1327
};
