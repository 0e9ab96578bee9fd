#include "LegacyChannelOutput.h"

namespace {
int qmxMaxChannels(void*) {
    return 0;
}
int qmxOpen(const char*, void**) {
    return 0;
}
int qmxClose(void*) {
    return 0;
}
int qmxIsConfigured() {
    return 0;
}
int qmxSend(void*, const char*, int) {
    return 0;
}
} // namespace

LegacyChannelOutput QMXOutput = {qmxMaxChannels, qmxOpen, qmxClose, qmxIsConfigured,
                                 nullptr,        qmxSend, nullptr,  nullptr};
