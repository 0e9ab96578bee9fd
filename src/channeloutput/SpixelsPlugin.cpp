// kiv-co-Spixels: the plugin that creates SpixelsOutput.

#include "spixels.h"

#include "channeloutput/KIVPlugins.h"

extern "C" KIVPlugins::Plugin* createPlugin() {
    return new KIVPlugins::SimpleOutputPlugin<SpixelsOutput>("Spixels");
}
