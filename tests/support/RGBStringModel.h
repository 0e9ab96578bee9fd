#pragma once
// An independent model of what a port of RGB virtual strings sends: per virtual string (start
// channel, pixels, colour order name, brightness percent, gamma), the output bytes in wire order,
// each through the brightness-and-gamma curve. For checking outputs without asking PixelString.

#include <jsoncpp/json/json.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

struct RGBString {
    int start;
    int pixels;
    std::string order; // "RGB", "GRB", ...
    int brightness;
    float gamma;

    Json::Value json() const {
        Json::Value vs;
        vs["startChannel"] = start;
        vs["pixelCount"] = pixels;
        vs["colorOrder"] = order;
        vs["brightness"] = brightness;
        vs["gamma"] = gamma;
        return vs;
    }
};

inline uint8_t CurveValue(uint8_t in, int brightness, float gamma) {
    float x = in / 255.0f;
    double f = (float)(brightness * 2.55f);
    float v = (float)(std::pow((double)x, (double)gamma) * f);
    return v > 255.0f ? 255 : v < 0 ? 0 : (uint8_t)std::roundf(v);
}

// The port's bytes: each pixel's channels in the order the name lists ('R' is the node's first
// channel, 'G' the second, 'B' the third).
inline std::vector<uint8_t> ModelPortBytes(const std::vector<RGBString>& strings, const uint8_t* data) {
    std::vector<uint8_t> out;
    for (const RGBString& s : strings) {
        for (int p = 0; p < s.pixels; p++) {
            for (char letter : s.order) {
                int offset = letter == 'R' ? 0 : letter == 'G' ? 1 : 2;
                out.push_back(CurveValue(data[s.start + 3 * p + offset], s.brightness, s.gamma));
            }
        }
    }
    return out;
}

inline Json::Value PortJson(int port, const std::vector<RGBString>& strings) {
    Json::Value out;
    out["portNumber"] = port;
    out["virtualStrings"] = Json::Value(Json::arrayValue);
    for (const RGBString& s : strings) {
        out["virtualStrings"].append(s.json());
    }
    return out;
}
