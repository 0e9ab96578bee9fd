#pragma once
// An overlay model of type "FB": its picture is shown on a framebuffer device instead of being laid
// over the channel data. Definition: {"Type": "FB", "Width", "Height" (screen pixels), "PixelSize"
// (screen pixels a side per model pixel, default 1; the model is Width / PixelSize by Height /
// PixelSize), "Device" (name, "fb1" by default; a leading "/dev/" is dropped), "BitsPerPixel" (16, 24
// or 32, default 32)}. The device is opened through FrameBuffer, so where it does not exist the
// simulated framebuffer /dev/shm/kiv-fb-DEVICE shows the picture.
//
// Screen pixel formats (little-endian): 32 bpp bytes B, G, R, 0xFF; 24 bpp B, G, R; 16 bpp RGB565.
//
// Each doOverlay that finds the model's data changed paints the whole picture on the page being
// prepared and shows it; doOverlay is called by the overlay manager while the model is on and by the
// outputs that draw into it, only while it is the overlay manager's model of its name. The model
// never writes into the show's channel data.
//
// Threads: painting is serialised by showLock (the output thread, and an output's Init on the main
// thread); the framebuffer is owned by the model and closed with it.

#include "PixelOverlayModel.h"

#include <memory>
#include <mutex>

class FrameBuffer;

class FrameBufferOverlayModel : public PixelOverlayModel {
public:
    // Throws std::invalid_argument naming the key for a definition that cannot be shown: a device
    // name that is not a plain name, a size below one pixel, a pixel size larger than the screen.
    explicit FrameBufferOverlayModel(const Json::Value& definition);
    ~FrameBufferOverlayModel() override;

    static PixelOverlayModel* Create(const Json::Value& definition) {
        return new FrameBufferOverlayModel(definition);
    }

    void doOverlay(unsigned char* channels) override;
    // The map of an "FB" model is the identity, so a whole picture is one copy.
    void setData(const unsigned char* rgb) override;
    using PixelOverlayModel::setData;

    int getPixelSize() const { return pixelSize; }
    // Null when the device could not be opened (the model still keeps its picture).
    const FrameBuffer* getFrameBuffer() const { return frameBuffer.get(); }

protected:
    bool overridesSetData() const override { return true; }

private:
    void openFrameBuffer(const Json::Value& definition);
    void showPicture();

    int pixelSize = 1;
    std::unique_ptr<FrameBuffer> frameBuffer;
    std::mutex showLock;
};
