#pragma once
// The overlay model an output draws into, by name. The overlay manager may replace the model (a
// rewritten models file) while the output runs: the replaced one is let go at the next frame, so
// its successor can open the same shared blocks, and the successor is taken on when it has the
// same size (else nothing is drawn until one has).
//
// Used by one output on the channel-output thread (follow) after Init (attach) on the main thread.

#include "PixelOverlayModel.h"

#include <jsoncpp/json/json.h>

#include <memory>
#include <optional>
#include <string>

class OutputOverlayModel {
public:
    // The name "FB - DEVICE" for an output's "device" (a leading "/dev/" dropped); the "FB" model
    // of that name is made from "width", "height", the device and pixelSize (when given) unless a
    // model of that name exists.
    static std::string MakeDeviceModel(const Json::Value& config, std::optional<int> pixelSize);

    // False when there is no model of that name.
    bool attach(const std::string& modelName);
    // The model to draw into this frame, or null.
    PixelOverlayModel* follow();
    PixelOverlayModel* get() const { return held.get(); }
    const std::string& name() const { return modelName; }

private:
    std::string modelName;
    std::shared_ptr<PixelOverlayModel> held;
    int width = 0;
    int height = 0;
    bool warned = false;
};
