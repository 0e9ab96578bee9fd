// kiv-co-RPIWS281x: the plugin that creates RPIWS281xOutput.

#include "rpi_ws281x.h"

#include "channeloutput/KIVPlugins.h"

extern "C" KIVPlugins::Plugin* createPlugin() {
    return new KIVPlugins::SimpleOutputPlugin<RPIWS281xOutput>("RPIWS281x");
}
