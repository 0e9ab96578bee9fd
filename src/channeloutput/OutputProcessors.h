#pragma once
// Stand-in for the player's output processors, which rework channel data before it is sent.
// Only "Remap" is implemented here: it copies "count" channels from the 1-based "source" to the
// 1-based "destination", "loops" times (each loop moves both on by count). Any other type is
// warned about by name and skipped. Processors with "active" 0 are kept but do nothing.
//
// loadFromJSON runs on the main thread, ProcessData on the channel-output thread: the processor
// list is guarded by processorLock.

#include <jsoncpp/json/json.h>

#include <functional>
#include <mutex>
#include <vector>

class OutputProcessors {
public:
    // Replaces every processor with those of the document's "outputProcessors" array (a null or
    // malformed document leaves none).
    void loadFromJSON(const Json::Value& doc);
    void ProcessData(unsigned char* channelData);
    // Calls addRange(first, last) for the channels every active processor reads and writes.
    void GetRequiredChannelRanges(const std::function<void(int, int)>& addRange);
    size_t Count();

private:
    struct Remap {
        unsigned int source;
        unsigned int destination;
        unsigned int count;
        unsigned int loops;
        bool active;
    };
    bool parseRemap(const Json::Value& config, Remap& remap);

    std::mutex processorLock;
    std::vector<Remap> remaps;
};
