#include "ColorOrder.h"

#include "common/Log.h"

#include <cctype>

namespace {

struct ColorOrderEntry {
    const char* name;
    std::array<int, 3> offsets;
};

// Indexed by KIVColorOrder.
constexpr ColorOrderEntry ORDERS[] = {
    {"RGB", {0, 1, 2}}, {"RBG", {0, 2, 1}}, {"GRB", {1, 0, 2}}, {"BRG", {2, 0, 1}},
    {"GBR", {1, 2, 0}}, {"BGR", {2, 1, 0}}, {"W", {0, 0, 0}},
};
constexpr int ORDER_COUNT = sizeof(ORDERS) / sizeof(ORDERS[0]);

bool validOrder(KIVColorOrder order) {
    return order >= 0 && order < ORDER_COUNT;
}

} // namespace

KIVColorOrder ColorOrderFromString(const std::string& text) {
    std::string upper;
    for (char c : text) {
        upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    for (int i = 0; i < ORDER_COUNT; i++) {
        if (upper == ORDERS[i].name) {
            return static_cast<KIVColorOrder>(i);
        }
    }
    if (!text.empty()) {
        LogWarn(LG_CHANNELOUT, "Unknown color order '%s', using RGB\n", text.c_str());
    }
    return kColorOrderRGB;
}

std::string ColorOrderToString(KIVColorOrder order) {
    return validOrder(order) ? ORDERS[order].name : ORDERS[kColorOrderRGB].name;
}

std::array<int, 3> ColorOrderOffsets(KIVColorOrder order) {
    return validOrder(order) ? ORDERS[order].offsets : ORDERS[kColorOrderONE].offsets;
}
