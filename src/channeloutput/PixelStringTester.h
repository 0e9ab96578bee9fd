#pragma once
// Test patterns for pixel ports, which pixel outputs paint instead of the channel data while a
// test runs. A pattern is painted through the port's own map, so it honours each virtual string's
// colour order, white channel, grouping, reversal, zig-zag, null pixels and brightness table (an
// inverted port stays inverted), and reserved map entries keep their channel-data value.
//
// Test types: 1 solid white, 2 RGB chase (node n shows red, green or blue by (n + cycle) mod 3),
// 3 solid red, 4 solid green, 5 solid blue. The painters are stateless singletons, usable from
// any thread; getPixelStringTester returns null for other types.

#include "PixelString.h"

#include <cstdint>

class PixelStringTester {
public:
    static constexpr int SOLID_WHITE = 1;
    static constexpr int RGB_CHASE = 2;
    static constexpr int SOLID_RED = 3;
    static constexpr int SOLID_GREEN = 4;
    static constexpr int SOLID_BLUE = 5;

    virtual ~PixelStringTester() = default;
    static PixelStringTester* getPixelStringTester(int testType);

    // Writes the port's OutputChannels() bytes in wire order into its OutputBuffer() and returns it.
    // brightness is 0 to 1; channelData supplies the reserved entries and may be null (they are 0).
    uint8_t* createTestData(PixelString* ps, int cycleCount, float brightness,
                            const uint8_t* channelData) const;

protected:
    // The red, green and blue levels (0 to 255) of node n of a string in test cycle cycleCount.
    virtual void nodeColour(int n, int cycleCount, uint8_t rgb[3]) const = 0;

private:
    uint8_t channelValue(const VirtualString& vs, int32_t channel, int cycleCount, float brightness) const;
};
