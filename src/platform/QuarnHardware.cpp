#include "QuarnHardware.h"

#include "common/Common.h"
#include "common/Log.h"

int DetectQuarnHardware(bool configure) {
    if (FileExists("/dev/spidev0.0")) {
        LogInfo(LG_SETTING, "SPI port present, but Quarn hardware detection is not implemented%s\n",
                configure ? "; nothing configured" : "");
    }
    LogInfo(LG_SETTING, "No Quarn hardware detected\n");
    return 1;
}
