#pragma once
// Stand-in for the rpi_ws281x library, used when the real library is not found (CMake picks one
// or the other). Same header name, structure and the calls the RPIWS281x output makes; written
// from what that output expects of the library, not from its sources.
//
// Instead of a PWM peripheral fed by DMA it drives a simulated PWM output: the file
// $KIV_WS281X_SIM_FILE when set, else /dev/shm/kiv-ws281x, made anew by ws2811_init and
// rewritten by every ws2811_render (little-endian uint32 fields):
//   bytes 0-7   "KIVWS281"
//   8  frequency, 12 DMA channel, 16 count of renders so far
//   20 + 16c for channel c = 0, 1: GPIO, LED count, strip type, brightness; 52-63 zero
//   64  channel 0's LED words (uint32 each, as rendered), then channel 1's
//   then per channel (0 first) the bytes its pin clocks out, in wire order: per LED the red,
//   green and blue bytes (and white for strip types with a white shift, strip_type & 0xF0000000),
//   each ((LED >> shift) & 0xFF) * (brightness + 1) >> 8, through the channel's gamma table
//   when it has one, complemented when the channel is inverted
// So channel c's wire bytes are LED count x 3 or 4 bytes long.
//
// ws2811_init refuses what the real library refuses: a GPIO that is not a PWM pin of its
// channel (channel 0: 12, 18, 40, 52, or 21, 31 on PCM, 10, 38 on SPI; channel 1: 13, 19, 41,
// 45, 53; GPIO 0 leaves a channel unused) with WS2811_ERROR_ILLEGAL_GPIO, and an LED count that
// does not fit its DMA buffer (negative, or above WS2811_MAX_LED_COUNT) with
// WS2811_ERROR_OUT_OF_MEMORY. The LED arrays belong to the library from init to fini.
//
// Not thread-safe: calls on one ws2811_t must not overlap.

#include <cstdint>

#define RPI_PWM_CHANNELS 2
#define WS2811_TARGET_FREQ 800000
// The stand-in's DMA buffer limit per channel.
#define WS2811_MAX_LED_COUNT 8192

// Strip types: the shift of each colour in an LED word (white << 24 | red << 16 | green << 8 | blue).
#define SK6812_STRIP_RGBW 0x18100800
#define SK6812_STRIP_RBGW 0x18100008
#define SK6812_STRIP_GRBW 0x18081000
#define SK6812_STRIP_GBRW 0x18080010
#define SK6812_STRIP_BRGW 0x18001008
#define SK6812_STRIP_BGRW 0x18000810
#define SK6812_SHIFT_WMASK 0xf0000000
#define WS2811_STRIP_RGB 0x00100800
#define WS2811_STRIP_RBG 0x00100008
#define WS2811_STRIP_GRB 0x00081000
#define WS2811_STRIP_GBR 0x00080010
#define WS2811_STRIP_BRG 0x00001008
#define WS2811_STRIP_BGR 0x00000810

typedef uint32_t ws2811_led_t;

typedef struct {
    int gpionum;
    int invert;
    int count;
    int strip_type;
    ws2811_led_t* leds;
    uint8_t brightness;
    uint8_t wshift;
    uint8_t rshift;
    uint8_t gshift;
    uint8_t bshift;
    uint8_t* gamma;
} ws2811_channel_t;

struct ws2811_device;

typedef struct {
    uint64_t render_wait_time;
    struct ws2811_device* device;
    const void* rpi_hw;
    uint32_t freq;
    int dmanum;
    ws2811_channel_t channel[RPI_PWM_CHANNELS];
} ws2811_t;

typedef enum {
    WS2811_SUCCESS = 0,
    WS2811_ERROR_GENERIC = -1,
    WS2811_ERROR_OUT_OF_MEMORY = -2,
    WS2811_ERROR_ILLEGAL_GPIO = -11,
} ws2811_return_t;

extern "C" {
ws2811_return_t ws2811_init(ws2811_t* ws2811);
void ws2811_fini(ws2811_t* ws2811);
ws2811_return_t ws2811_render(ws2811_t* ws2811);
const char* ws2811_get_return_t_str(const ws2811_return_t state);
}
