// The rpi_ws281x stand-in: the channels' set-up, LED words and wire bytes go to a file instead of
// a PWM peripheral.

#include "ws2811.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

struct ws2811_device {
    int fd = -1;
    uint32_t renders = 0;
};

namespace {

constexpr size_t HEADER_SIZE = 64;

std::string simulatedPath() {
    const char* env = getenv("KIV_WS281X_SIM_FILE");
    return (env && *env) ? env : "/dev/shm/kiv-ws281x";
}

bool gpioFitsChannel(int channel, int gpio) {
    static const std::vector<int> pwm0 = {0, 12, 18, 40, 52, 21, 31, 10, 38};
    static const std::vector<int> pwm1 = {0, 13, 19, 41, 45, 53};
    const std::vector<int>& allowed = channel == 0 ? pwm0 : pwm1;
    return std::find(allowed.begin(), allowed.end(), gpio) != allowed.end();
}

void putWord(std::vector<uint8_t>& file, size_t at, uint32_t value) {
    if (file.size() < at + 4) {
        file.resize(at + 4, 0);
    }
    for (int i = 0; i < 4; i++) {
        file[at + i] = (value >> (8 * i)) & 0xFF;
    }
}

int activeCount(const ws2811_channel_t& ch) {
    return ch.gpionum ? ch.count : 0;
}

// The bytes the pin clocks out for one LED, in wire order.
int wireBytes(const ws2811_channel_t& ch, ws2811_led_t led, uint8_t* out) {
    const int scale = ch.brightness + 1;
    const uint8_t shifts[4] = {ch.rshift, ch.gshift, ch.bshift, ch.wshift};
    const int n = (ch.strip_type & SK6812_SHIFT_WMASK) ? 4 : 3;
    for (int k = 0; k < n; k++) {
        uint8_t v = (((led >> shifts[k]) & 0xFF) * scale) >> 8;
        v = ch.gamma ? ch.gamma[v] : v;
        out[k] = ch.invert ? ~v : v;
    }
    return n;
}

void writeFile(const ws2811_t* ws) {
    std::vector<uint8_t> file(HEADER_SIZE, 0);
    memcpy(file.data(), "KIVWS281", 8);
    putWord(file, 8, ws->freq);
    putWord(file, 12, ws->dmanum);
    putWord(file, 16, ws->device->renders);
    for (int c = 0; c < RPI_PWM_CHANNELS; c++) {
        const ws2811_channel_t& ch = ws->channel[c];
        putWord(file, 20 + 16 * c, ch.gpionum);
        putWord(file, 24 + 16 * c, activeCount(ch));
        putWord(file, 28 + 16 * c, ch.strip_type);
        putWord(file, 32 + 16 * c, ch.brightness);
    }
    for (const ws2811_channel_t& ch : ws->channel) {
        for (int i = 0; i < activeCount(ch); i++) {
            putWord(file, file.size(), ch.leds[i]);
        }
    }
    for (const ws2811_channel_t& ch : ws->channel) {
        for (int i = 0; i < activeCount(ch); i++) {
            uint8_t bytes[4];
            int n = wireBytes(ch, ch.leds[i], bytes);
            file.insert(file.end(), bytes, bytes + n);
        }
    }
    int fd = ws->device->fd;
    if (pwrite(fd, file.data(), file.size(), 0) != (ssize_t)file.size() || ftruncate(fd, file.size()) != 0) {
        fprintf(stderr, "rpi_ws281x stand-in: cannot write %s\n", simulatedPath().c_str());
    }
}

ws2811_return_t checkChannels(const ws2811_t* ws) {
    for (int c = 0; c < RPI_PWM_CHANNELS; c++) {
        const ws2811_channel_t& ch = ws->channel[c];
        if (!gpioFitsChannel(c, ch.gpionum)) {
            return WS2811_ERROR_ILLEGAL_GPIO;
        }
        if (ch.gpionum && (ch.count < 0 || ch.count > WS2811_MAX_LED_COUNT)) {
            return WS2811_ERROR_OUT_OF_MEMORY;
        }
    }
    return WS2811_SUCCESS;
}

} // namespace

extern "C" ws2811_return_t ws2811_init(ws2811_t* ws) {
    if (!ws || ws->freq == 0) {
        return WS2811_ERROR_GENERIC;
    }
    ws2811_return_t result = checkChannels(ws);
    if (result != WS2811_SUCCESS) {
        return result;
    }
    auto* device = new ws2811_device;
    device->fd = open(simulatedPath().c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (device->fd < 0) {
        delete device;
        return WS2811_ERROR_GENERIC;
    }
    ws->device = device;
    for (ws2811_channel_t& ch : ws->channel) {
        ch.leds = static_cast<ws2811_led_t*>(calloc(std::max(activeCount(ch), 1), sizeof(ws2811_led_t)));
        ch.wshift = (ch.strip_type >> 24) & 0xFF;
        ch.rshift = (ch.strip_type >> 16) & 0xFF;
        ch.gshift = (ch.strip_type >> 8) & 0xFF;
        ch.bshift = ch.strip_type & 0xFF;
    }
    writeFile(ws);
    return WS2811_SUCCESS;
}

extern "C" ws2811_return_t ws2811_render(ws2811_t* ws) {
    if (!ws || !ws->device) {
        return WS2811_ERROR_GENERIC;
    }
    ws->device->renders++;
    writeFile(ws);
    return WS2811_SUCCESS;
}

// Safe to call twice, and from a signal handler once init has returned.
extern "C" void ws2811_fini(ws2811_t* ws) {
    if (!ws || !ws->device) {
        return;
    }
    ws2811_device* device = ws->device;
    ws->device = nullptr;
    close(device->fd);
    delete device;
    for (ws2811_channel_t& ch : ws->channel) {
        free(ch.leds);
        ch.leds = nullptr;
    }
}

extern "C" const char* ws2811_get_return_t_str(const ws2811_return_t state) {
    switch (state) {
    case WS2811_SUCCESS:
        return "Success";
    case WS2811_ERROR_OUT_OF_MEMORY:
        return "Out of memory";
    case WS2811_ERROR_ILLEGAL_GPIO:
        return "Selected GPIO not possible";
    default:
        return "Generic failure";
    }
}
