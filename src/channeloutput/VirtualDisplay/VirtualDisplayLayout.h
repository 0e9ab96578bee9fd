#pragma once
// The light layout of a virtual display, read from a text file (config/virtualdisplay.csv):
//   lines starting with "#" and empty lines are ignored (a trailing "\r" is dropped);
//   the first other line is "size,WIDTH,HEIGHT", the size of the layout's coordinate space;
//   every later line is one light: "x,y,startChannel,channels,colorType", and for colour type 11
//   ",r,g,b" (its fixed colour). x, y lie inside the size; startChannel is 1-based; channels is 1,
//   3 or 4; colour types 0-5 (three colour bytes in an order) take 3 or 4 channels, 7-10 (one byte
//   as red, grey, blue or green) take 1, 11 takes any.
// A line that breaks these rules is skipped and described in `problems` ("line N: ...").

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

struct VirtualDisplayLight {
    int x = 0; // layout coordinates until the display scales them to its model
    int y = 0;
    long long startChannel = 0; // 0-based
    int channels = 3;
    int colorType = 0;
    uint8_t color[3] = {0, 0, 0}; // colour type 11 only
};

struct VirtualDisplayLayout {
    int width = 0; // 0: no "size" line was found
    int height = 0;
    std::vector<VirtualDisplayLight> lights;
};

// False when the text has no usable "size" line (the reason is the first problem).
bool ParseVirtualDisplayLayout(std::istream& in, VirtualDisplayLayout& layout,
                               std::vector<std::string>& problems);
