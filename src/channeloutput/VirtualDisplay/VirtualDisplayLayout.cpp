#include "VirtualDisplayLayout.h"

#include "common/Common.h"

namespace {

constexpr long MAX_LAYOUT_SIDE = 1000000;

bool number(const std::string& field, long& value) {
    return ParseInt(field, value);
}

bool parseSize(const std::vector<std::string>& fields, VirtualDisplayLayout& layout, std::string& why) {
    long w = 0;
    long h = 0;
    if (fields.size() != 3 || trim(fields[0]) != "size" || !number(fields[1], w) || !number(fields[2], h)) {
        why = "expected \"size,WIDTH,HEIGHT\" first";
        return false;
    }
    if (w < 1 || h < 1 || w > MAX_LAYOUT_SIDE || h > MAX_LAYOUT_SIDE) {
        why = "the size must be 1 to " + std::to_string(MAX_LAYOUT_SIDE) + " a side";
        return false;
    }
    layout.width = static_cast<int>(w);
    layout.height = static_cast<int>(h);
    return true;
}

bool channelsFitType(int channels, int type) {
    if (type >= 0 && type <= 5) {
        return channels == 3 || channels == 4;
    }
    if (type >= 7 && type <= 10) {
        return channels == 1;
    }
    return type == 11;
}

bool parseFixedColour(const std::vector<std::string>& fields, VirtualDisplayLight& light, std::string& why) {
    for (int k = 0; k < 3; k++) {
        long v = 0;
        if (!number(fields[5 + k], v) || v < 0 || v > 255) {
            why = "the fixed colour must be three numbers 0 to 255";
            return false;
        }
        light.color[k] = static_cast<uint8_t>(v);
    }
    return true;
}

bool parseLight(const std::vector<std::string>& fields, const VirtualDisplayLayout& layout,
                VirtualDisplayLight& light, std::string& why) {
    long v[5] = {};
    if (fields.size() < 5) {
        why = "expected x,y,startChannel,channels,colorType";
        return false;
    }
    for (int k = 0; k < 5; k++) {
        if (!number(fields[k], v[k])) {
            why = "field " + std::to_string(k + 1) + " '" + trim(fields[k]) + "' is not a whole number";
            return false;
        }
    }
    if (v[0] < 0 || v[1] < 0 || v[0] >= layout.width || v[1] >= layout.height) {
        why = "position " + std::to_string(v[0]) + "," + std::to_string(v[1]) + " is outside the " +
              std::to_string(layout.width) + "x" + std::to_string(layout.height) + " layout";
        return false;
    }
    if (v[2] < 1) {
        why = "start channel " + std::to_string(v[2]) + " is below 1";
        return false;
    }
    if (v[3] != 1 && v[3] != 3 && v[3] != 4) {
        why = "channels " + std::to_string(v[3]) + " is not 1, 3 or 4";
        return false;
    }
    if (v[4] < 0 || v[4] > 11 || !channelsFitType(static_cast<int>(v[3]), static_cast<int>(v[4]))) {
        why = "colour type " + std::to_string(v[4]) + " does not fit " + std::to_string(v[3]) + " channels";
        return false;
    }
    size_t expected = v[4] == 11 ? 8 : 5;
    if (fields.size() != expected) {
        why = "expected " + std::to_string(expected) + " fields, found " + std::to_string(fields.size());
        return false;
    }
    light.x = static_cast<int>(v[0]);
    light.y = static_cast<int>(v[1]);
    light.startChannel = v[2] - 1;
    light.channels = static_cast<int>(v[3]);
    light.colorType = static_cast<int>(v[4]);
    return light.colorType != 11 || parseFixedColour(fields, light, why);
}

} // namespace

bool ParseVirtualDisplayLayout(std::istream& in, VirtualDisplayLayout& layout,
                               std::vector<std::string>& problems) {
    std::string line;
    int number = 0;
    bool sized = false;
    while (std::getline(in, line)) {
        number++;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (trim(line).empty() || trim(line)[0] == '#') {
            continue;
        }
        std::vector<std::string> fields = split(line, ',');
        std::string why;
        VirtualDisplayLight light;
        if (!sized) {
            sized = parseSize(fields, layout, why);
            if (!sized) {
                problems.push_back("line " + std::to_string(number) + ": " + why);
                return false;
            }
        } else if (parseLight(fields, layout, light, why)) {
            layout.lights.push_back(light);
        } else {
            problems.push_back("line " + std::to_string(number) + ": " + why);
        }
    }
    if (!sized) {
        problems.emplace_back("no \"size,WIDTH,HEIGHT\" line");
    }
    return sized;
}
