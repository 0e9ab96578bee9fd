#pragma once
// Pictures of overlay models through GraphicsMagick: raw RGB bytes (width x height x 3, row by
// row) written as a file whose format follows its name, or encoded as PNG in memory.
// Magick must have been initialised (the daemon does it at start). Failures throw Magick's
// exceptions.

#include <string>
#include <vector>

void WriteRGBImage(const std::vector<unsigned char>& rgb, int width, int height, const std::string& path);
std::string EncodeRGBAsPNG(const std::vector<unsigned char>& rgb, int width, int height);
