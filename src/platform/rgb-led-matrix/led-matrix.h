#pragma once
// Stand-in for the rpi-rgb-led-matrix library (HUB75 panels on a Raspberry Pi's GPIO pins), which is
// not packaged: the same header name, namespace and the part of its API the panel output calls.
// Options are checked as the library checks them, and CreateFromOptions refuses (returns null, the
// reason on stderr) what the library refuses. The build uses the real library instead when it finds
// it.
//
// Instead of GPIO pins it drives a simulated panel, a file another process can read:
//   path: $KIV_HUB75_SIM_FILE when set (tests point it at their own file), else /dev/shm/kiv-hub75
//   a 64-byte header:
//     bytes 0-7  "KIVHUB75"
//     8  width   (cols x chain_length)          little-endian uint32
//     12 height  (rows x parallel)
//     16 PWM bits
//     20 brightness (percent)
//     24 swap count: canvases shown so far
//     the rest zero
//   then width x height pixels, 3 bytes each (red, green, blue as given to SetPixel), rows from the
//   top: the canvas now shown.
// The file is created (sized afresh) by CreateFromOptions and rewritten whole by each SwapOnVSync:
// first the pixels, then the swap count with release order, so a reader that sees a new count (read
// with acquire order) sees the whole canvas. Brightness and PWM bits are recorded, not applied to the
// pixels, and a swap does not wait for a refresh. The file is left in place on destruction.
//
// Threads: a matrix and its canvases belong to one thread at a time, as with the library.
//
// One addition the library does not have: FrameCanvas::SetRowPixels, a row of pixels in one call,
// so the simulated panel does not cost a call and a bounds check per pixel. Callers test
// KIV_RGB_MATRIX_STAND_IN and use SetPixel with the real library.

#include <cstdint>
#include <string>
#include <vector>

#define KIV_RGB_MATRIX_STAND_IN 1

namespace rgb_matrix {

class Canvas {
public:
    virtual ~Canvas() {}
    virtual int width() const = 0;
    virtual int height() const = 0;
    virtual void SetPixel(int x, int y, uint8_t red, uint8_t green, uint8_t blue) = 0;
    virtual void Clear() = 0;
    virtual void Fill(uint8_t red, uint8_t green, uint8_t blue) = 0;
};

// An off-screen canvas of the matrix's size, made by RGBMatrix::CreateFrameCanvas and owned by it.
class FrameCanvas final : public Canvas {
public:
    int width() const override { return w; }
    int height() const override { return h; }
    // Pixels outside the canvas are ignored, as the library does.
    void SetPixel(int x, int y, uint8_t red, uint8_t green, uint8_t blue) override {
        if (static_cast<unsigned>(x) >= static_cast<unsigned>(w) ||
            static_cast<unsigned>(y) >= static_cast<unsigned>(h)) {
            return;
        }
        uint8_t* p = &pixels[(static_cast<size_t>(y) * w + x) * 3];
        p[0] = red;
        p[1] = green;
        p[2] = blue;
    }
    void Clear() override;
    void Fill(uint8_t red, uint8_t green, uint8_t blue) override;
    // Pixels (x, y) to (x + count - 1, y) from `rgb`, 3 bytes each (red, green, blue), as count
    // SetPixel calls would set them: the part outside the canvas is ignored.
    void SetRowPixels(int x, int y, int count, const uint8_t* rgb);

private:
    friend class RGBMatrix;
    FrameCanvas(int width, int height)
        : w(width), h(height), pixels(static_cast<size_t>(width) * height * 3, 0) {}
    int w;
    int h;
    std::vector<uint8_t> pixels;
};

class RGBMatrix {
public:
    struct Options {
        Options();
        // True when the library accepts the options; otherwise the reasons are appended to err.
        bool Validate(std::string* err) const;

        const char* hardware_mapping; // "regular", "adafruit-hat", "adafruit-hat-pwm", "regular-pi1",
                                      // "classic", "classic-pi1", "compute-module"
        int rows;                     // panel rows, 8 to 64, even
        int cols;                     // panel columns, at least 1
        int chain_length;             // panels per output, at least 1
        int parallel;                 // outputs, 1 to the mapping's limit (3, 6 or 1)
        int pwm_bits;                 // 1 to 11
        int pwm_lsb_nanoseconds;      // 50 to 3000
        int pwm_dither_bits;          // 0 to 2
        int brightness;               // 1 to 100
        int scan_mode;                // 0 progressive, 1 interlaced
        int row_address_type;         // 0 to 5
        int multiplexing;             // 0 to 18
        bool disable_hardware_pulsing;
        bool show_refresh_rate;
        bool inverse_colors;
        const char* led_rgb_sequence;    // a permutation of "RGB"
        const char* pixel_mapper_config; // not supported here: must be null or empty
        const char* panel_type;          // null, empty, "FM6126A" or "FM6127"
        int limit_refresh_rate_hz;       // 0 for no limit
    };

    struct RuntimeOptions {
        RuntimeOptions();
        int gpio_slowdown;   // 0 to 4
        int daemon;          // -1 to 1; the stand-in never forks
        int drop_privileges; // -1 to 1; the stand-in never drops them
        bool do_gpio_init;
        const char* drop_priv_user;
        const char* drop_priv_group;
    };

    // A matrix for the options, or null when they are refused or the panel cannot be opened.
    static RGBMatrix* CreateFromOptions(const Options& options, const RuntimeOptions& runtimeOptions);
    ~RGBMatrix();

    // A new blank canvas, owned by the matrix.
    FrameCanvas* CreateFrameCanvas();
    // Shows `other` and returns the canvas shown until now, to be drawn next. A null or foreign
    // canvas shows nothing and is returned as it is.
    FrameCanvas* SwapOnVSync(FrameCanvas* other, unsigned framerate_fraction = 1);

    bool SetPWMBits(uint8_t value); // false (and no change) outside 1 to 11
    uint8_t pwmbits() const { return pwmBits; }
    void SetBrightness(uint8_t brightness); // ignored outside 1 to 100
    uint8_t brightness() const { return bright; }

    int width() const { return w; }
    int height() const { return h; }

    // The simulated panel's path: $KIV_HUB75_SIM_FILE, or /dev/shm/kiv-hub75.
    static std::string SimulatedPanelPath();
    static constexpr int HEADER_SIZE = 64;

private:
    RGBMatrix(int width, int height, int pwmBits, int brightness);
    bool openPanel();
    void putWord(int offset, uint32_t value);

    int w;
    int h;
    uint8_t pwmBits;
    uint8_t bright;
    uint32_t swaps = 0;
    uint8_t* mapping = nullptr; // header + shown canvas
    size_t mappingSize = 0;
    FrameCanvas* shown = nullptr;
    std::vector<FrameCanvas*> canvases;
};

} // namespace rgb_matrix
