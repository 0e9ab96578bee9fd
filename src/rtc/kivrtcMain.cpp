#include "rtc/KIVRTC.h"

#include <cstring>

int main(int argc, char** argv) {
    const char* mode = argc > 1 ? argv[1] : "get";
    if (!strcmp(mode, "-h") || !strcmp(mode, "--help")) {
        KIVRTC::PrintUsage(argv[0]);
        return 0;
    }
    return KIVRTC(mode).Run();
}
