#pragma once
// The test patterns kivsend streams, as pure functions of the frame number, so a test (or a
// person) can compute what any channel holds in any frame. Channels are counted over the whole
// frame from 0, pixels are groups of three channels (red, green, blue).
//
//   chase      every 16th pixel lit, moving one pixel a frame (pixel p is lit in frame f when
//              p % 16 == f % 16); the lit colour steps red, green, blue, white every 64 frames;
//              the others are black
//   rainbow    pixel p takes hue (4p + 4f) % 256 on a six-part colour wheel of full saturation
//   solid:RRGGBB  every pixel that colour, every frame
//   ramp       channel c holds (c + f) % 256 (pixel p: 3p + f, 3p + 1 + f, 3p + 2 + f)

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class TestPattern {
public:
    // null for a name that is none of the above.
    static std::optional<TestPattern> Parse(const std::string& text);

    void render(uint64_t frame, std::vector<uint8_t>& channels) const;
    // The red, green and blue of pixel p in frame f (ramp: its three channels).
    void pixel(uint64_t frame, uint64_t p, uint8_t rgb[3]) const;

    // Hue 0..255 to full-saturation RGB: six linear segments of about 43 steps.
    static void Wheel(uint8_t hue, uint8_t rgb[3]);

private:
    enum class Kind { Chase, Rainbow, Solid, Ramp } kind = Kind::Chase;
    uint8_t solid[3] = {0, 0, 0};
};
