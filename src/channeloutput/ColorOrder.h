#pragma once
// Byte order of a pixel node on the wire. The channel data of a node holds red, green and blue at
// offsets 0, 1 and 2; the order name lists the colours in the order they are sent.

#include <array>
#include <string>

enum KIVColorOrder : int {
    kColorOrderRGB = 0,
    kColorOrderRBG = 1,
    kColorOrderGRB = 2,
    kColorOrderBRG = 3,
    kColorOrderGBR = 4,
    kColorOrderBGR = 5,
    kColorOrderONE = 6, // one channel per node ("W")
};

// The order named by text: RGB, RBG, GRB, BRG, GBR, BGR or W, in any letter case. An empty text
// (an unset order) reads as RGB, the order most strings are wired in; any other text logs a
// warning and reads as RGB too.
KIVColorOrder ColorOrderFromString(const std::string& text);

// The upper-case name of an order; a value outside the enumeration reads as "RGB".
std::string ColorOrderToString(KIVColorOrder order);

// Offsets into the node's red, green, blue channels, in output order. For kColorOrderONE (and for
// values outside the enumeration) only the first entry, 0, is meaningful.
std::array<int, 3> ColorOrderOffsets(KIVColorOrder order);
