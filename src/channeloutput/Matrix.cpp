#include "Matrix.h"

#include "ChannelOutput.h"
#include "common/JsonValues.h"
#include "common/Log.h"
#include "common/WarningHolder.h"

#include <cstdint>
#include <cstring>

Matrix::Matrix(int startChannel, int width, int height)
    : startChannel(startChannel), width(width), height(height) {}

bool Matrix::AddSubMatrix(bool enabled, int start, int w, int h, int xOffset, int yOffset,
                          std::string* problem) {
    auto refuse = [&](const std::string& why) {
        if (problem) {
            *problem = why;
        }
        return false;
    };
    if (problem) {
        problem->clear();
    }
    if (enabled) {
        // 64-bit sums: the values come from a file and may be anything an int holds.
        int64_t sourceEnd = int64_t(start) + int64_t(w) * h * 3;
        if (w <= 0 || h <= 0) {
            return refuse("size " + std::to_string(w) + "x" + std::to_string(h) + " is empty");
        }
        if (start < 0 || sourceEnd > KIVD_MAX_CHANNELS) {
            return refuse("channels from " + std::to_string(int64_t(start) + 1) + " for " +
                          std::to_string(int64_t(w) * h * 3) + " reach outside the channel buffer");
        }
        if (startChannel < 0 || int64_t(startChannel) + int64_t(width) * height * 3 > KIVD_MAX_CHANNELS) {
            return refuse("the matrix itself reaches outside the channel buffer");
        }
        if (xOffset < 0 || yOffset < 0 || int64_t(xOffset) + w > width || int64_t(yOffset) + h > height) {
            return refuse(std::to_string(w) + "x" + std::to_string(h) + " at " + std::to_string(xOffset) +
                          "," + std::to_string(yOffset) + " reaches outside the " + std::to_string(width) +
                          "x" + std::to_string(height) + " matrix");
        }
    }
    subMatrices.push_back({enabled, start, w, h, xOffset, yOffset});
    return true;
}

int Matrix::AddSubMatricesFromConfig(const Json::Value& config, const std::string& lead, bool enabledOnly) {
    if (!config.isArray()) {
        return 0;
    }
    int added = 0;
    for (Json::ArrayIndex i = 0; i < config.size(); i++) {
        const Json::Value& s = config[i];
        bool enabled = JsonBool(s["enabled"]);
        if (enabledOnly && !enabled) {
            continue;
        }
        std::string problem;
        if (AddSubMatrix(enabled, JsonInt(s["startChannel"]) - 1, JsonInt(s["width"]), JsonInt(s["height"]),
                         JsonInt(s["xOffset"]), JsonInt(s["yOffset"]), &problem)) {
            added++;
        } else {
            std::string text = lead;
            text += " sub-matrix " + std::to_string(i) + " skipped: " + problem;
            LogWarn(LG_CHANNELOUT, "%s\n", text.c_str());
            WarningHolder::AddWarning(text);
        }
    }
    return added;
}

void Matrix::OverlaySubMatrices(unsigned char* channelData) const {
    for (const SubMatrix& s : subMatrices) {
        if (!s.enabled) {
            continue;
        }
        size_t rowBytes = static_cast<size_t>(s.width) * 3;
        for (int r = 0; r < s.height; r++) {
            unsigned char* to =
                channelData + startChannel + (static_cast<size_t>(s.yOffset + r) * width + s.xOffset) * 3;
            const unsigned char* from = channelData + s.startChannel + r * rowBytes;
            // The source may lie inside the matrix area itself.
            std::memmove(to, from, rowBytes);
        }
    }
}
