#include "SendOptions.h"

#include <getopt.h>

#include <cstdlib>

namespace {

bool readInt(const char* text, int low, int high, int& value) {
    char* end = nullptr;
    long parsed = std::strtol(text, &end, 10);
    if (!*text || *end || parsed < low || parsed > high) {
        return false;
    }
    value = int(parsed);
    return true;
}

bool readNumber(const char* text, double low, double high, double& value) {
    char* end = nullptr;
    double parsed = std::strtod(text, &end);
    if (!*text || *end || !(parsed >= low && parsed <= high)) {
        return false;
    }
    value = parsed;
    return true;
}

// Applies one option; false with error set when its value is not acceptable.
bool applyOption(int option, const char* value, SendOptions& o, std::string& error) {
    switch (option) {
    case 'p':
        o.protocol = value;
        if (o.protocol != "e131" && o.protocol != "artnet" && o.protocol != "ddp") {
            error = "--protocol must be e131, artnet or ddp";
            return false;
        }
        return true;
    case 'u':
        return readInt(value, 0, 32767, o.firstUniverse) || (error = "--universe must be 0 to 32767", false);
    case 'n':
        return readInt(value, 1, 4096, o.universes) || (error = "--universes must be 1 to 4096", false);
    case 'c':
        return readInt(value, 1, 512, o.channels) || (error = "--channels must be 1 to 512", false);
    case 'f':
        return readNumber(value, 0.1, 1000, o.fps) || (error = "--fps must be 0.1 to 1000", false);
    case 'P': {
        auto pattern = TestPattern::Parse(value);
        if (!pattern) {
            error = "--pattern must be chase, rainbow, solid:RRGGBB or ramp";
            return false;
        }
        o.pattern = *pattern;
        o.patternName = value;
        return true;
    }
    case 'm':
        o.multicast = true;
        return true;
    case 's':
        o.sync = true;
        return true;
    case 'S':
        return readNumber(value, 0, 1e7, o.seconds) || (error = "--seconds must be 0 or more", false);
    default:
        error = "unknown option (see -h)";
        return false;
    }
}

} // namespace

ParseOutcome ParseSendOptions(int argc, char* argv[], SendOptions& options, std::string& error) {
    static const option LONG[] = {{"protocol", required_argument, nullptr, 'p'},
                                  {"universe", required_argument, nullptr, 'u'},
                                  {"universes", required_argument, nullptr, 'n'},
                                  {"channels", required_argument, nullptr, 'c'},
                                  {"fps", required_argument, nullptr, 'f'},
                                  {"pattern", required_argument, nullptr, 'P'},
                                  {"multicast", no_argument, nullptr, 'm'},
                                  {"sync", no_argument, nullptr, 's'},
                                  {"seconds", required_argument, nullptr, 'S'},
                                  {"help", no_argument, nullptr, 'h'},
                                  {nullptr, 0, nullptr, 0}};
    optind = 1;
    opterr = 0;
    int option;
    while ((option = getopt_long(argc, argv, "h", LONG, nullptr)) != -1) {
        if (option == 'h') {
            return ParseOutcome::Help;
        }
        if (!applyOption(option, optarg, options, error)) {
            if (option == '?') {
                error = std::string("unknown option or missing value: ") + argv[optind - 1];
            }
            return ParseOutcome::Error;
        }
    }
    if (optind != argc - 1) {
        error = "expected one ADDRESS (see -h)";
        return ParseOutcome::Error;
    }
    options.address = argv[optind];
    if (options.multicast && options.protocol != "e131") {
        error = "--multicast is for e131 only";
        return ParseOutcome::Error;
    }
    if (options.protocol == "e131" && options.firstUniverse < 1) {
        error = "E1.31 universes start at 1";
        return ParseOutcome::Error;
    }
    if (options.firstUniverse + options.universes - 1 > (options.protocol == "e131" ? 63999 : 32767)) {
        error = "the last universe is out of range";
        return ParseOutcome::Error;
    }
    return ParseOutcome::Run;
}

std::string SendUsage(const char* program) {
    return std::string("Usage: ") + program +
           " [options] ADDRESS\n"
           "Streams a test pattern to a lighting controller at ADDRESS (IPv4).\n"
           "\n"
           "  --protocol e131|artnet|ddp  protocol (default e131; ports 5568, 6454, 4048)\n"
           "  --universe FIRST            first universe (default 1; Art-Net: the 15-bit port address)\n"
           "  --universes N               consecutive universes to send (default 1)\n"
           "  --channels C                channels a universe (default 510, at most 512); DDP sends\n"
           "                              N x C channels from channel offset 0 in packets of 1440\n"
           "  --fps F                     frames a second (default 40)\n"
           "  --pattern P                 chase (default), rainbow, solid:RRGGBB or ramp\n"
           "  --multicast                 E1.31 to each universe's group 239.255.HI.LO; ADDRESS is then\n"
           "                              the address of the local interface to send from\n"
           "  --sync                      E1.31: a sync packet after each frame (sync universe FIRST);\n"
           "                              Art-Net: an ArtSync after each frame. DDP always pushes\n"
           "                              with the last packet of a frame\n"
           "  --seconds S                 stop after S seconds (default 0: until Ctrl-C)\n"
           "  -h, --help                  this text\n"
           "\n"
           "Patterns, pixel p = channels 3p..3p+2 over the whole frame, frame f from 0:\n"
           "  chase    pixel p lit when p % 16 == f % 16, red, green, blue, white for 64 frames each\n"
           "  rainbow  pixel p shows hue (4p + 4f) % 256\n"
           "  ramp     channel c holds (c + f) % 256\n"
           "\n"
           "On a terminal it prints a progress line each second; at the end it prints what it sent:\n"
           "  sent F frames, P packets (D data, S sync), B channel bytes in T seconds\n";
}
