#include "SimulatedOLEDPanel.h"

#include "common/Log.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr size_t FILE_SIZE = SimulatedOLEDPanel::HEADER_SIZE + SimulatedOLEDPanel::MEMORY_SIZE;

struct Geometry {
    int width, height, bitsPerPixel;
};

Geometry geometryOf(SimulatedOLEDPanel::Controller c) {
    switch (c) {
    case SimulatedOLEDPanel::Controller::SH1106:
        return {132, 64, 1};
    case SimulatedOLEDPanel::Controller::SSD1327:
        return {128, 128, 4};
    default:
        return {128, 64, 1};
    }
}

// Commands that take argument bytes, and how many; all others take none.
struct CommandArguments {
    uint8_t command;
    int count;
};
const std::vector<CommandArguments> SSD1306_ARGUMENTS = {
    {0x20, 1}, {0x21, 2}, {0x22, 2}, {0x26, 6}, {0x27, 6}, {0x29, 5}, {0x2A, 5}, {0x81, 1},
    {0x8D, 1}, {0xA3, 2}, {0xA8, 1}, {0xD3, 1}, {0xD5, 1}, {0xD9, 1}, {0xDA, 1}, {0xDB, 1}};
const std::vector<CommandArguments> SH1106_ARGUMENTS = {{0x81, 1}, {0xA8, 1}, {0xAD, 1}, {0xD3, 1},
                                                        {0xD5, 1}, {0xD9, 1}, {0xDA, 1}, {0xDB, 1}};
const std::vector<CommandArguments> SSD1327_ARGUMENTS = {
    {0x15, 2}, {0x26, 7}, {0x27, 7}, {0x75, 2}, {0x81, 1},  {0xA0, 1}, {0xA1, 1}, {0xA2, 1}, {0xA8, 1},
    {0xAB, 1}, {0xB1, 1}, {0xB3, 1}, {0xB6, 1}, {0xB8, 15}, {0xBC, 1}, {0xBE, 1}, {0xD5, 1}, {0xFD, 1}};

} // namespace

SimulatedOLEDPanel::~SimulatedOLEDPanel() {
    if (mapping) {
        munmap(mapping, FILE_SIZE);
    }
    if (fd >= 0) {
        ::close(fd);
    }
}

std::string SimulatedOLEDPanel::DefaultPath() {
    const char* env = getenv("KIV_OLED_SIM_FILE");
    return (env && *env) ? env : "/dev/shm/kiv-oled";
}

int SimulatedOLEDPanel::open(const std::string& path) {
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    // Zero the whole file: a fresh panel shows nothing and readers never see a stale picture.
    if (fd < 0 || ftruncate(fd, 0) != 0 || ftruncate(fd, FILE_SIZE) != 0) {
        LogErr(LG_GENERAL, "Simulated OLED panel: cannot create %s: %s\n", path.c_str(), strerror(errno));
        return -1;
    }
    void* m = mmap(nullptr, FILE_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (m == MAP_FAILED) {
        LogErr(LG_GENERAL, "Simulated OLED panel: cannot map %s: %s\n", path.c_str(), strerror(errno));
        return -1;
    }
    mapping = static_cast<uint8_t*>(m);
    memcpy(mapping, "KIVOLED1", 8);
    const char* forced = getenv("KIV_OLED_SIM_PANEL");
    std::string name = forced ? forced : "";
    modelFixed = !name.empty();
    setController(name == "sh1106"    ? Controller::SH1106
                  : name == "ssd1327" ? Controller::SSD1327
                                      : Controller::SSD1306);
    LogDebug(LG_GENERAL, "Simulated OLED panel at 0x3C keeps its memory in %s\n", path.c_str());
    return fd;
}

void SimulatedOLEDPanel::setController(Controller c) {
    model = c;
    Geometry g = geometryOf(c);
    colStart = 0;
    colEnd = g.bitsPerPixel == 4 ? g.width / 2 - 1 : g.width - 1;
    pageStart = 0;
    pageEnd = g.bitsPerPixel == 4 ? g.height - 1 : g.height / 8 - 1;
    column = page = 0;
    addressingMode = 2;
    writeHeader();
}

void SimulatedOLEDPanel::putWord(int offset, uint32_t value) {
    for (int i = 0; i < 4; i++) {
        mapping[offset + i] = (value >> (8 * i)) & 0xFF;
    }
}

void SimulatedOLEDPanel::writeHeader() {
    if (!mapping) {
        return;
    }
    Geometry g = geometryOf(model);
    putWord(8, g.width);
    putWord(12, g.height);
    putWord(16, g.bitsPerPixel);
    putWord(20, displayOn ? 1 : 0);
    putWord(24, inverted ? 1 : 0);
    std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(mapping + 28))
        .store(transfers, std::memory_order_release);
}

// A control byte with the continuation bit (0x80) clear makes the rest of the write one stream of
// commands or data (bit 0x40); with it set, one byte follows and then another control byte.
void SimulatedOLEDPanel::write(const uint8_t* bytes, size_t count) {
    if (!mapping) {
        return;
    }
    bool sawData = false;
    size_t i = 0;
    while (i < count) {
        uint8_t control = bytes[i++];
        bool isData = control & 0x40;
        size_t end = (control & 0x80) ? std::min(i + 1, count) : count;
        for (; i < end; i++) {
            if (isData) {
                data(bytes[i]);
                sawData = true;
            } else {
                command(bytes[i]);
            }
        }
    }
    if (sawData) {
        transfers++;
    }
    writeHeader();
}

void SimulatedOLEDPanel::command(uint8_t byte) {
    if (argsWant > 0) {
        args[argsHave++] = byte;
        if (argsHave == argsWant) {
            argsWant = 0;
            runCommand();
        }
        return;
    }
    if (!modelFixed && (byte == 0x15 || byte == 0x75)) {
        setController(Controller::SSD1327);
    } else if (!modelFixed && byte == 0xAD && model == Controller::SSD1306) {
        setController(Controller::SH1106);
    }
    pending = byte;
    argsHave = 0;
    argsWant = argumentCount(byte);
    if (argsWant == 0) {
        runCommand();
    }
}

int SimulatedOLEDPanel::argumentCount(uint8_t cmd) const {
    const std::vector<CommandArguments>& table = model == Controller::SSD1306  ? SSD1306_ARGUMENTS
                                                 : model == Controller::SH1106 ? SH1106_ARGUMENTS
                                                                               : SSD1327_ARGUMENTS;
    for (const CommandArguments& entry : table) {
        if (entry.command == cmd) {
            return entry.count;
        }
    }
    return 0;
}

void SimulatedOLEDPanel::runCommand() {
    uint8_t cmd = pending;
    if (cmd == 0xAE || cmd == 0xAF) {
        displayOn = cmd == 0xAF;
    } else if (cmd == 0x81) {
        contrastLevel = args[0];
    } else if (model == Controller::SSD1306) {
        runSSD1306(cmd);
    } else if (model == Controller::SH1106) {
        runSH1106(cmd);
    } else {
        runSSD1327(cmd);
    }
}

void SimulatedOLEDPanel::runSSD1306(uint8_t cmd) {
    if (cmd == 0xA6 || cmd == 0xA7) {
        inverted = cmd == 0xA7;
    } else if (cmd == 0x20) {
        addressingMode = std::min(args[0] & 0x03, 2);
    } else if (cmd == 0x21) {
        colStart = column = args[0] & 0x7F;
        colEnd = args[1] & 0x7F;
    } else if (cmd == 0x22) {
        pageStart = page = args[0] & 0x07;
        pageEnd = args[1] & 0x07;
    } else if (addressingMode == 2 && cmd >= 0xB0 && cmd <= 0xB7) {
        page = cmd & 0x07;
    } else if (addressingMode == 2 && cmd <= 0x0F) {
        column = (column & 0xF0) | cmd;
    } else if (addressingMode == 2 && cmd >= 0x10 && cmd <= 0x17) {
        column = (column & 0x0F) | ((cmd & 0x07) << 4);
    }
}

void SimulatedOLEDPanel::runSH1106(uint8_t cmd) {
    if (cmd == 0xA6 || cmd == 0xA7) {
        inverted = cmd == 0xA7;
    } else if (cmd >= 0xB0 && cmd <= 0xB7) {
        page = cmd & 0x07;
    } else if (cmd <= 0x0F) {
        column = (column & 0xF0) | cmd;
    } else if (cmd >= 0x10 && cmd <= 0x1F) {
        column = (column & 0x0F) | ((cmd & 0x0F) << 4);
    }
}

void SimulatedOLEDPanel::runSSD1327(uint8_t cmd) {
    if (cmd == 0xA4 || cmd == 0xA6 || cmd == 0xA7) {
        inverted = cmd == 0xA7;
    } else if (cmd == 0x15) {
        colStart = column = std::min<int>(args[0], 63);
        colEnd = std::min<int>(args[1], 63);
    } else if (cmd == 0x75) {
        pageStart = page = std::min<int>(args[0], 127);
        pageEnd = std::min<int>(args[1], 127);
    }
}

void SimulatedOLEDPanel::storeByte(int index, uint8_t byte) {
    if (index >= 0 && index < MEMORY_SIZE) {
        mapping[HEADER_SIZE + index] = byte;
    }
}

// Each controller moves its address pointer after a data byte as its datasheet says: within the
// window row by row (horizontal), column by column (vertical), or along one page (page mode, and
// the sh1106, which stops at its last column).
void SimulatedOLEDPanel::data(uint8_t byte) {
    modelFixed = true;
    Geometry g = geometryOf(model);
    if (model == Controller::SH1106) {
        if (column < g.width) {
            storeByte(column + page * g.width, byte);
            column++;
        }
        return;
    }
    int rowBytes = model == Controller::SSD1327 ? g.width / 2 : g.width;
    storeByte(column + page * rowBytes, byte);
    if (model == Controller::SSD1306 && addressingMode == 2) {
        column = column >= 127 ? 0 : column + 1;
        return;
    }
    bool vertical = model == Controller::SSD1306 && addressingMode == 1;
    int& inner = vertical ? page : column;
    int& outer = vertical ? column : page;
    int innerStart = vertical ? pageStart : colStart, innerEnd = vertical ? pageEnd : colEnd;
    int outerStart = vertical ? colStart : pageStart, outerEnd = vertical ? colEnd : pageEnd;
    if (inner < innerEnd) {
        inner++;
        return;
    }
    inner = innerStart;
    outer = outer < outerEnd ? outer + 1 : outerStart;
}
