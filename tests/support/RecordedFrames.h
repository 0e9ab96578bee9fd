#pragma once
// The test output plugin (kiv-co-TestOutput) in a daemon's configuration, writing every frame it
// sends to a file, and the reading of that file back.

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// config/co-other.json with one TestOutput over channels 1..channels recording to recordFile.
inline std::string RecordingOutputConfig(const std::string& recordFile, int channels) {
    return R"({"channelOutputs": [{"type": "TestOutput", "enabled": 1, "startChannel": 1, "channelCount": )" +
           std::to_string(channels) + R"(, "recordFile": ")" + recordFile + "\"}]}";
}

// The last recorded frame, or nothing while the file is missing or caught mid-write.
inline std::vector<unsigned char> ReadRecordedFrame(const std::string& recordFile, size_t channels) {
    std::ifstream in(recordFile, std::ios::binary);
    std::vector<unsigned char> frame((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return frame.size() == channels ? frame : std::vector<unsigned char>();
}
