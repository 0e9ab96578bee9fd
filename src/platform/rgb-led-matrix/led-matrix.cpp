// The rpi-rgb-led-matrix stand-in: option checks as the library makes them, and the simulated
// panel file laid out as led-matrix.h describes.

#include "led-matrix.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace rgb_matrix {

namespace {

struct HardwareMapping {
    const char* name;
    int maxParallel;
};
constexpr HardwareMapping MAPPINGS[] = {
    {"regular", 3}, {"adafruit-hat", 1}, {"adafruit-hat-pwm", 1}, {"regular-pi1", 1},
    {"classic", 3}, {"classic-pi1", 1},  {"compute-module", 6},
};
constexpr int MAX_MULTIPLEXING = 18;
constexpr int MAX_ROW_ADDRESS_TYPE = 5;

const HardwareMapping* findMapping(const char* name) {
    std::string wanted = name && *name ? name : "regular";
    for (const HardwareMapping& m : MAPPINGS) {
        if (strcasecmp(m.name, wanted.c_str()) == 0) {
            return &m;
        }
    }
    return nullptr;
}

bool isRGBPermutation(const char* sequence) {
    if (!sequence || std::strlen(sequence) != 3) {
        return false;
    }
    std::string upper;
    for (int i = 0; i < 3; i++) {
        upper += static_cast<char>(toupper(static_cast<unsigned char>(sequence[i])));
    }
    std::sort(upper.begin(), upper.end());
    return upper == "BGR";
}

bool knownPanelType(const char* type) {
    return !type || !*type || strcasecmp(type, "FM6126A") == 0 || strcasecmp(type, "FM6127") == 0;
}

} // namespace

void FrameCanvas::SetRowPixels(int x, int y, int count, const uint8_t* rgb) {
    if (y < 0 || y >= h || count <= 0) {
        return;
    }
    // Clip to the canvas in 64 bits, so no x or count can overflow the sums.
    const long long first = std::max<long long>(x, 0);
    const long long end = std::min<long long>(static_cast<long long>(x) + count, w);
    if (first >= end) {
        return;
    }
    std::memcpy(&pixels[(static_cast<size_t>(y) * w + first) * 3], rgb + (first - x) * 3,
                static_cast<size_t>(end - first) * 3);
}

void FrameCanvas::Clear() {
    std::fill(pixels.begin(), pixels.end(), 0);
}

void FrameCanvas::Fill(uint8_t red, uint8_t green, uint8_t blue) {
    for (size_t i = 0; i < pixels.size(); i += 3) {
        pixels[i] = red;
        pixels[i + 1] = green;
        pixels[i + 2] = blue;
    }
}

RGBMatrix::Options::Options()
    : hardware_mapping("regular"), rows(32), cols(32), chain_length(1), parallel(1), pwm_bits(11),
      pwm_lsb_nanoseconds(130), pwm_dither_bits(0), brightness(100), scan_mode(0), row_address_type(0),
      multiplexing(0), disable_hardware_pulsing(false), show_refresh_rate(false), inverse_colors(false),
      led_rgb_sequence("RGB"), pixel_mapper_config(nullptr), panel_type(nullptr), limit_refresh_rate_hz(0) {}

bool RGBMatrix::Options::Validate(std::string* err) const {
    std::string reasons;
    auto fail = [&](const std::string& why) { reasons += why + "\n"; };
    const HardwareMapping* mapping = findMapping(hardware_mapping);
    if (!mapping) {
        fail(std::string("There is no GPIO mapping named '") + hardware_mapping + "'");
    }
    if (rows < 8 || rows > 64 || rows % 2 != 0) {
        fail("Number of rows should be between 8 and 64 and even, not " + std::to_string(rows));
    }
    if (cols < 1) {
        fail("Number of columns should be at least 1, not " + std::to_string(cols));
    }
    if (chain_length < 1) {
        fail("Chain length should be at least 1, not " + std::to_string(chain_length));
    }
    int maxParallel = mapping ? mapping->maxParallel : 1;
    if (parallel < 1 || parallel > maxParallel) {
        fail("Parallel outputs should be 1 to " + std::to_string(maxParallel) + " for this mapping, not " +
             std::to_string(parallel));
    }
    if (pwm_bits < 1 || pwm_bits > 11) {
        fail("PWM bits should be 1 to 11, not " + std::to_string(pwm_bits));
    }
    if (pwm_lsb_nanoseconds < 50 || pwm_lsb_nanoseconds > 3000) {
        fail("PWM LSB nanoseconds should be 50 to 3000, not " + std::to_string(pwm_lsb_nanoseconds));
    }
    if (pwm_dither_bits < 0 || pwm_dither_bits > 2) {
        fail("PWM dither bits should be 0 to 2, not " + std::to_string(pwm_dither_bits));
    }
    if (brightness < 1 || brightness > 100) {
        fail("Brightness should be 1 to 100 percent, not " + std::to_string(brightness));
    }
    if (scan_mode < 0 || scan_mode > 1) {
        fail("Scan mode should be 0 or 1, not " + std::to_string(scan_mode));
    }
    if (row_address_type < 0 || row_address_type > MAX_ROW_ADDRESS_TYPE) {
        fail("Row address type should be 0 to " + std::to_string(MAX_ROW_ADDRESS_TYPE) + ", not " +
             std::to_string(row_address_type));
    }
    if (multiplexing < 0 || multiplexing > MAX_MULTIPLEXING) {
        fail("Multiplexing should be 0 to " + std::to_string(MAX_MULTIPLEXING) + ", not " +
             std::to_string(multiplexing));
    }
    if (!isRGBPermutation(led_rgb_sequence)) {
        fail("LED sequence should be a permutation of RGB");
    }
    if (pixel_mapper_config && *pixel_mapper_config) {
        fail("Pixel mappers are not supported by this build");
    }
    if (!knownPanelType(panel_type)) {
        fail(std::string("Unknown panel type '") + panel_type + "'");
    }
    if (limit_refresh_rate_hz < 0) {
        fail("Refresh rate limit should not be negative");
    }
    if (err) {
        err->append(reasons);
    }
    return reasons.empty();
}

RGBMatrix::RuntimeOptions::RuntimeOptions()
    : gpio_slowdown(1), daemon(0), drop_privileges(1), do_gpio_init(true), drop_priv_user(nullptr),
      drop_priv_group(nullptr) {}

std::string RGBMatrix::SimulatedPanelPath() {
    const char* path = getenv("KIV_HUB75_SIM_FILE");
    return path && *path ? path : "/dev/shm/kiv-hub75";
}

RGBMatrix::RGBMatrix(int width, int height, int pwmBits, int brightness)
    : w(width), h(height), pwmBits(static_cast<uint8_t>(pwmBits)), bright(static_cast<uint8_t>(brightness)) {}

RGBMatrix* RGBMatrix::CreateFromOptions(const Options& options, const RuntimeOptions& runtime) {
    std::string err;
    bool valid = options.Validate(&err);
    if (runtime.gpio_slowdown < 0 || runtime.gpio_slowdown > 4) {
        err += "GPIO slowdown should be 0 to 4, not " + std::to_string(runtime.gpio_slowdown) + "\n";
        valid = false;
    }
    if (!valid) {
        fprintf(stderr, "%s", err.c_str());
        return nullptr;
    }
    // Both products are bounded by the checks above only for rows; keep the canvas sensible.
    int64_t width = int64_t(options.cols) * options.chain_length;
    int64_t height = int64_t(options.rows) * options.parallel;
    if (width > 65536 || width * height > (1 << 24)) {
        fprintf(stderr, "A panel chain of %lld x %lld pixels is too large\n", (long long)width,
                (long long)height);
        return nullptr;
    }
    RGBMatrix* matrix = new RGBMatrix(static_cast<int>(width), static_cast<int>(height), options.pwm_bits,
                                      options.brightness);
    if (!matrix->openPanel()) {
        delete matrix;
        return nullptr;
    }
    matrix->shown = matrix->CreateFrameCanvas();
    return matrix;
}

bool RGBMatrix::openPanel() {
    std::string path = SimulatedPanelPath();
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0664);
    if (fd < 0) {
        fprintf(stderr, "Could not open simulated panel %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    mappingSize = HEADER_SIZE + static_cast<size_t>(w) * h * 3;
    // Truncating to zero first clears what an earlier panel of another size left behind.
    bool sized = ftruncate(fd, 0) == 0 && ftruncate(fd, static_cast<off_t>(mappingSize)) == 0;
    void* map = sized ? mmap(nullptr, mappingSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : MAP_FAILED;
    ::close(fd);
    if (map == MAP_FAILED) {
        fprintf(stderr, "Could not map simulated panel %s: %s\n", path.c_str(), strerror(errno));
        mappingSize = 0;
        return false;
    }
    mapping = static_cast<uint8_t*>(map);
    std::memcpy(mapping, "KIVHUB75", 8);
    putWord(8, w);
    putWord(12, h);
    putWord(16, pwmBits);
    putWord(20, bright);
    putWord(24, 0);
    return true;
}

RGBMatrix::~RGBMatrix() {
    if (mapping) {
        munmap(mapping, mappingSize);
    }
    for (FrameCanvas* c : canvases) {
        delete c;
    }
}

void RGBMatrix::putWord(int offset, uint32_t value) {
    uint8_t bytes[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
    std::memcpy(mapping + offset, bytes, 4);
}

FrameCanvas* RGBMatrix::CreateFrameCanvas() {
    FrameCanvas* canvas = new FrameCanvas(w, h);
    canvases.push_back(canvas);
    return canvas;
}

FrameCanvas* RGBMatrix::SwapOnVSync(FrameCanvas* other, unsigned /*framerate_fraction*/) {
    if (!other || std::find(canvases.begin(), canvases.end(), other) == canvases.end()) {
        return other;
    }
    std::memcpy(mapping + HEADER_SIZE, other->pixels.data(), other->pixels.size());
    swaps++;
    uint32_t le = swaps; // the header is little-endian, as the machines this runs on
    __atomic_store_n(reinterpret_cast<uint32_t*>(mapping + 24), le, __ATOMIC_RELEASE);
    FrameCanvas* previous = shown;
    shown = other;
    return previous;
}

bool RGBMatrix::SetPWMBits(uint8_t value) {
    if (value < 1 || value > 11) {
        return false;
    }
    pwmBits = value;
    putWord(16, value);
    return true;
}

void RGBMatrix::SetBrightness(uint8_t value) {
    if (value < 1 || value > 100) {
        return;
    }
    bright = value;
    putWord(20, value);
}

} // namespace rgb_matrix
