#pragma once
// Helpers shared by the pixel string tests: ports built from JSON text, a channel buffer with the
// reserved bytes the daemon's buffer has, and the channel-output log captured to a file.

#include "channeloutput/PixelString.h"
#include "common/Common.h"
#include "common/Log.h"
#include "common/WarningHolder.h"
#include "player/Sequence.h"
#include "support/TestMediaDir.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

constexpr int32_t NUL = PIXEL_NULL_CHANNEL;
constexpr int32_t MRK = PIXEL_MARKER_CHANNEL;

inline Json::Value ParseJson(const std::string& text) {
    Json::Value value;
    EXPECT_TRUE(LoadJsonFromString(text, value)) << text;
    return value;
}

// count copies of value, for writing long runs of an expected map.
inline std::vector<int32_t> Repeat(int count, int32_t value) {
    return std::vector<int32_t>(count, value);
}

template <typename T> std::vector<T> ConcatOf(std::initializer_list<std::vector<T>> parts) {
    std::vector<T> all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}
inline std::vector<int32_t> Concat(std::initializer_list<std::vector<int32_t>> parts) {
    return ConcatOf<int32_t>(parts);
}
inline std::vector<uint8_t> Concat8(std::initializer_list<std::vector<uint8_t>> parts) {
    return ConcatOf<uint8_t>(parts);
}

class PixelStringFixture : public ::testing::Test {
protected:
    void SetUp() override {
        KIVLogger::INSTANCE.Init();
        logPath = media.file("logs/kivd.log");
        ASSERT_TRUE(SetLogFile(logPath, false));
        WarningHolder::RemoveAllWarnings();
    }
    void TearDown() override {
        SetLogFile("", true);
        KIVLogger::INSTANCE.Init();
        WarningHolder::RemoveAllWarnings();
    }

    // A port from the JSON of its virtual strings list, e.g. "[{...}, {...}]".
    std::unique_ptr<PixelString> Port(const std::string& strings, bool expectValid = true) {
        return PortFrom("{\"portNumber\": 0, \"virtualStrings\": " + strings + "}", false, expectValid);
    }
    std::unique_ptr<PixelString> PortFrom(const std::string& config, bool smartReceivers = false,
                                          bool expectValid = true) {
        auto port = std::make_unique<PixelString>(smartReceivers);
        EXPECT_EQ(port->Init(ParseJson(config)), expectValid) << config;
        return port;
    }

    // Messages logged so far, without the time and logger prefix.
    std::vector<std::string> LogMessages() {
        std::vector<std::string> messages;
        for (const std::string& line : split(GetFileContents(logPath), '\n')) {
            if (!line.empty()) {
                messages.push_back(line.substr(line.find("] ") + 2));
            }
        }
        return messages;
    }
    std::vector<std::string> WarningMessages() {
        std::vector<std::string> messages;
        for (const KIVWarning& warning : WarningHolder::GetWarnings()) {
            messages.push_back(warning.message);
        }
        return messages;
    }

    TestMediaDir media;
    std::string logPath;
};

// The channel buffer as the daemon allocates it: real channels, then zero reserved bytes with the
// smart-receiver marker value at KIVD_MAX_CHANNELS + 4.
inline std::vector<uint8_t> ChannelBuffer() {
    std::vector<uint8_t> data(KIVD_MAX_CHANNELS + SEQUENCE_RESERVED_BYTES, 0);
    data[MRK] = SMART_RECEIVER_MARKER_VALUE;
    return data;
}
