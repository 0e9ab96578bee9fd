// Automatic overlay models for the virtual strings of a pixel output's ports.

#include "PixelString.h"

#include "common/Log.h"
#include "overlays/PixelOverlayManager.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <map>
#include <string>

namespace {

// A strand position this high is a typing error rather than a layout; it would only grow the list.
constexpr int MAX_STRAND_POSITION = 1024;

// Strings in strand order; null where no string claimed a position.
using ModelStrings = std::vector<const VirtualString*>;

std::string defaultName(int port, size_t stringsOnPort, char letter, int counter) {
    std::string name = "String-" + std::to_string(port);
    if (stringsOnPort >= 2) {
        name += letter + std::string("-") + std::to_string(counter + 1);
    }
    return name;
}

// The leading digits of text; -1 when they exceed MAX_STRAND_POSITION. No digits (also a minus
// sign) read as 0, the first strand.
int strandPosition(const std::string& text) {
    int value = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            break;
        }
        value = value * 10 + (c - '0');
        if (value > MAX_STRAND_POSITION) {
            return -1;
        }
    }
    return value;
}

void placeString(std::map<std::string, ModelStrings>& models, const std::string& name,
                 const VirtualString* vs) {
    static const std::string STRAND = "-str-";
    size_t cut = name.find(STRAND);
    int position = cut == std::string::npos ? -1 : strandPosition(name.substr(cut + STRAND.size()));
    if (cut != std::string::npos && position < 0) {
        LogWarn(LG_CHANNELOUT, "Overlay model string '%s': strand number above %d, added at the end\n",
                name.c_str(), MAX_STRAND_POSITION);
    }
    ModelStrings& strings = models[cut == std::string::npos ? name : name.substr(0, cut)];
    if (position < 0) {
        strings.push_back(vs);
        return;
    }
    size_t index = position > 0 ? position - 1 : 0;
    if (strings.size() <= index) {
        strings.resize(index + 1, nullptr);
    }
    strings[index] = vs;
}

// Receiver strings and strings that lie wholly past the real channels carry nothing anyone could
// paint; they are named (so the counters stay right) but belong to no model.
bool carriesChannels(const VirtualString& vs) {
    return !vs.isSmartReceiver() && vs.startChannel < (int)KIVD_MAX_CHANNELS;
}

void nameStrings(const PixelString& port, int portPosition, std::map<std::string, ModelStrings>& models) {
    char letter = 'A';
    int counter = 0;
    const auto& strings = port.VirtualStrings();
    for (size_t i = 0; i < strings.size(); i++) {
        const VirtualString& vs = strings[i];
        std::string name = vs.description.empty() ? defaultName(portPosition, strings.size(), letter, counter)
                                                  : vs.description;
        if (!vs.isSmartReceiver()) {
            counter++;
        } else if (i > 0) {
            letter++;
            counter = 0;
        }
        if (carriesChannels(vs)) {
            placeString(models, name, &vs);
        }
    }
}

int modelChannels(const VirtualString& vs) {
    int channels = vs.pixelCount * vs.channelsPerNode();
    return vs.groupCount ? channels / vs.groupCount : channels;
}

bool isVertical(const std::string& name) {
    for (const char* word : {"Tree", "TREE", "tree", "Vert", "vert"}) {
        if (name.find(word) != std::string::npos) {
            return true;
        }
    }
    return false;
}

void createModel(const std::string& name, const ModelStrings& strings) {
    if (PixelOverlayManager::INSTANCE.getModel(name)) {
        return;
    }
    int count = 0;
    int start = INT_MAX;
    int end = 0;
    int perNode = 0;
    for (const VirtualString* vs : strings) {
        if (!vs) {
            continue;
        }
        count++;
        start = std::min(start, vs->startChannel);
        end = vs->startChannel + modelChannels(*vs);
        perNode = std::max(perNode, vs->channelsPerNode());
    }
    if (count == 0 || end - start < 1) {
        return;
    }
    PixelOverlayManager::INSTANCE.addAutoOverlayModel(name, start, end - start, perNode,
                                                      isVertical(name) ? "V" : "H", "BL", count, 1);
}

} // namespace

void PixelString::AutoCreateOverlayModels(const std::vector<PixelString*>& strings) {
    if (!PixelOverlayManager::INSTANCE.isAutoCreatePixelOverlayModels()) {
        return;
    }
    std::map<std::string, ModelStrings> models;
    for (size_t i = 0; i < strings.size(); i++) {
        if (strings[i]) {
            nameStrings(*strings[i], static_cast<int>(i + 1), models);
        }
    }
    for (const auto& [name, modelStrings] : models) {
        createModel(name, modelStrings);
    }
}
