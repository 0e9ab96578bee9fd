// The boot image parser of kivoled on arbitrary file contents: it must either refuse the text or
// return exactly the bytes its size lines promise.
#include "oled/XbmImage.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    XbmImage image;
    bool ok = ParseXbmImage(std::string(reinterpret_cast<const char*>(data), size), image);
    size_t expected = ok ? (size_t)((image.width + 7) / 8) * image.height : 0;
    if (image.bits.size() != expected) {
        abort();
    }
    return 0;
}
