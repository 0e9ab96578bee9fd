#include "PixelOverlayImage.h"

#include <Magick++.h>

namespace {
Magick::Image imageOf(const std::vector<unsigned char>& rgb, int width, int height) {
    Magick::Image image;
    image.backgroundColor(Magick::Color("black"));
    image.size(Magick::Geometry(width, height));
    image.depth(8);
    image.magick("RGB");
    Magick::Blob raw(rgb.data(), rgb.size());
    image.read(raw, Magick::Geometry(width, height), 8, "RGB");
    return image;
}
} // namespace

void WriteRGBImage(const std::vector<unsigned char>& rgb, int width, int height, const std::string& path) {
    imageOf(rgb, width, height).write(path);
}

std::string EncodeRGBAsPNG(const std::vector<unsigned char>& rgb, int width, int height) {
    Magick::Image image = imageOf(rgb, width, height);
    image.magick("PNG");
    Magick::Blob png;
    image.write(&png);
    return std::string(static_cast<const char*>(png.data()), png.length());
}
