// The spixels stand-in: strips encode their pixels into their own bytes, the driver lays them onto
// their data lines and writes the lines to the simulated bus file on every send.

#include "led-strip.h"
#include "multi-spi.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace spixels {
namespace {

const int LINE_GPIOS[16] = {18, 23, 22, 5, 12, 16, 19, 21, 4, 17, 24, 25, 6, 13, 26, 20};
constexpr size_t HEADER_SIZE = 32;

void appendWord(std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 0; i < 4; i++) {
        out.push_back((value >> (8 * i)) & 0xFF);
    }
}

std::string simulatedPath() {
    const char* env = getenv("KIV_SPIXELS_SIM_FILE");
    return (env && *env) ? env : "/dev/shm/kiv-spixels";
}

// A strip as the driver sees it: its data line and the bytes it puts there.
class WireSource {
public:
    virtual ~WireSource() {}
    virtual int gpio() const = 0;
    virtual void encodeInto(std::vector<uint8_t>& line) const = 0;
};

class SimulatedMultiSPI : public MultiSPI {
public:
    SimulatedMultiSPI(int speedMHz, int clockGpio) : speedHz(speedMHz * 1000000), clock(clockGpio) {
        fd = open(simulatedPath().c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0) {
            fprintf(stderr, "spixels stand-in: cannot create %s\n", simulatedPath().c_str());
        }
        writeFile();
    }
    ~SimulatedMultiSPI() override {
        if (fd >= 0) {
            close(fd);
        }
    }
    bool RegisterDataGPIO(int gpio, size_t size) override {
        if (gpio < 0 || gpio > 27) {
            return false;
        }
        std::vector<uint8_t>& line = lines[gpio];
        line.resize(std::max(line.size(), size), 0);
        return true;
    }
    void FinishRegistration() override {}
    void SetBufferedByte(int gpio, size_t pos, uint8_t data) override {
        auto it = lines.find(gpio);
        if (it != lines.end() && pos < it->second.size()) {
            it->second[pos] = data;
        }
    }
    void SendBuffers() override {
        for (const WireSource* strip : strips) {
            strip->encodeInto(lines[strip->gpio()]);
        }
        sends++;
        writeFile();
    }
    void attach(const WireSource* strip) { strips.push_back(strip); }
    void detach(const WireSource* strip) {
        strips.erase(std::remove(strips.begin(), strips.end(), strip), strips.end());
    }

private:
    void writeFile() {
        if (fd < 0) {
            return;
        }
        std::vector<uint8_t> file(8);
        memcpy(file.data(), "KIVSPIXL", 8);
        appendWord(file, clock);
        appendWord(file, speedHz);
        appendWord(file, sends);
        file.resize(HEADER_SIZE, 0);
        for (int gpio : LINE_GPIOS) {
            auto it = lines.find(gpio);
            size_t count = it == lines.end() ? 0 : it->second.size();
            appendWord(file, count);
            if (count) {
                file.insert(file.end(), it->second.begin(), it->second.end());
            }
        }
        if (pwrite(fd, file.data(), file.size(), 0) != (ssize_t)file.size() ||
            ftruncate(fd, file.size()) != 0) {
            fprintf(stderr, "spixels stand-in: cannot write %s\n", simulatedPath().c_str());
        }
    }

    int fd = -1;
    uint32_t speedHz;
    uint32_t clock;
    uint32_t sends = 0;
    std::map<int, std::vector<uint8_t>> lines; // by data GPIO
    std::vector<const WireSource*> strips;
};

// The four chips' framing (see led-strip.h): start frame, bytes a pixel, end frame.
struct WS2801 {
    static constexpr int HEAD = 0, PIXEL = 3;
    static int tail(int) { return 0; }
    static constexpr uint8_t TAIL_BYTE = 0;
    static void encode(uint8_t r, uint8_t g, uint8_t b, uint8_t* out) {
        out[0] = r;
        out[1] = g;
        out[2] = b;
    }
};
struct APA102 {
    static constexpr int HEAD = 4, PIXEL = 4;
    static int tail(int n) { return std::max(4, (n + 15) / 16); }
    static constexpr uint8_t TAIL_BYTE = 0xFF;
    static void encode(uint8_t r, uint8_t g, uint8_t b, uint8_t* out) {
        out[0] = 0xE0 | 31;
        out[1] = b;
        out[2] = g;
        out[3] = r;
    }
};
struct LPD6803 {
    static constexpr int HEAD = 4, PIXEL = 2;
    static int tail(int n) { return (n + 7) / 8; }
    static constexpr uint8_t TAIL_BYTE = 0;
    static void encode(uint8_t r, uint8_t g, uint8_t b, uint8_t* out) {
        uint16_t word = 0x8000 | (r >> 3) << 10 | (g >> 3) << 5 | (b >> 3);
        out[0] = word >> 8;
        out[1] = word & 0xFF;
    }
};
struct LPD8806 {
    static constexpr int HEAD = 0, PIXEL = 3;
    static int tail(int n) { return (n + 31) / 32; }
    static constexpr uint8_t TAIL_BYTE = 0;
    static void encode(uint8_t r, uint8_t g, uint8_t b, uint8_t* out) {
        out[0] = 0x80 | g >> 1;
        out[1] = 0x80 | r >> 1;
        out[2] = 0x80 | b >> 1;
    }
};

template <class Chip> class ClockedStrip : public LEDStrip, public WireSource {
public:
    ClockedStrip(MultiSPI* driver, int gpio, int count)
        : LEDStrip(count), spi(dynamic_cast<SimulatedMultiSPI*>(driver)), line(gpio) {
        if (spi && spi->RegisterDataGPIO(gpio, byteCount())) {
            spi->attach(this);
        }
    }
    ~ClockedStrip() override {
        if (spi) {
            spi->detach(this);
        }
    }
    int gpio() const override { return line; }
    // Overwrites the start of the line (which is at least byteCount() long) with this strip.
    void encodeInto(std::vector<uint8_t>& out) const override {
        const size_t tailAt = Chip::HEAD + (size_t)count_ * Chip::PIXEL;
        std::fill(out.begin(), out.begin() + Chip::HEAD, 0);
        for (int i = 0; i < count_; i++) {
            const uint8_t* p = pixels_.data() + 3 * i;
            Chip::encode(p[0], p[1], p[2], out.data() + Chip::HEAD + (size_t)i * Chip::PIXEL);
        }
        std::fill(out.begin() + tailAt, out.begin() + byteCount(), Chip::TAIL_BYTE);
    }

private:
    size_t byteCount() const { return Chip::HEAD + (size_t)count_ * Chip::PIXEL + Chip::tail(count_); }
    SimulatedMultiSPI* spi;
    int line;
};

} // namespace

MultiSPI* CreateDirectMultiSPI(int speed_mhz, int clock_gpio) {
    return new SimulatedMultiSPI(speed_mhz, clock_gpio);
}
LEDStrip* CreateWS2801Strip(MultiSPI* spi, int connector, int count) {
    return new ClockedStrip<WS2801>(spi, connector, count);
}
LEDStrip* CreateAPA102Strip(MultiSPI* spi, int connector, int count) {
    return new ClockedStrip<APA102>(spi, connector, count);
}
LEDStrip* CreateLPD6803Strip(MultiSPI* spi, int connector, int count) {
    return new ClockedStrip<LPD6803>(spi, connector, count);
}
LEDStrip* CreateLPD8806Strip(MultiSPI* spi, int connector, int count) {
    return new ClockedStrip<LPD8806>(spi, connector, count);
}

} // namespace spixels
