#pragma once
// The overlay models' HTTP routes, registered under "/models" and "/overlays". JSON in and out;
// failures answer {"Status": "ERROR", "respCode", "Message"} with that code (404 unknown model,
// 400 bad request), successes of changes {"Status": "OK", "respCode": 200, "Message"}.
//
//   GET    /models                       every definition (?simple=true: the names)
//   GET    /models/NAME                  one definition
//   POST   /models                       add or replace one definition, kept in the models file
//   DELETE /models/NAME                  remove a model of the models file
//   GET    /overlays/view                the live view page (HTML, self-contained)
//   GET    /overlays/models              [{"Name", "Type", "State", "Width", "Height", "StartChannel",
//                                          "ChannelCount", "effectRunning", "effectName", "autoCreated"}]
//   GET    /overlays/model/NAME          the definition plus "State", "Width", "Height", "effectRunning"
//   GET    /overlays/model/NAME/data     {"Name", "rle", "data": [...]} (?rle=true for runs)
//   GET    /overlays/model/NAME/image    the model's picture as image/png (?live=true: for a model
//                                        over show channels, the frame being sent at its channels)
//   PUT    /overlays/model/NAME/state    {"State": 0..3}
//   PUT    /overlays/model/NAME/fill     {"RGB": [r, g, b]}
//   PUT    /overlays/model/NAME/pixel    {"X", "Y", "RGB": [r, g, b]}
//   PUT    /overlays/model/NAME/clear
//   GET    /overlays/effects             the effects and their arguments
//   PUT    /overlays/model/NAME/effect   {"effect", "args": [...], "autoEnable": bool}
//   DELETE /overlays/model/NAME/effect
// Requests run on the server's threads; models are held through shared pointers while they work.

#include "common/httpserver/httpserver.h"

class PixelOverlayApi : public httpserver::http_resource {
public:
    static PixelOverlayApi INSTANCE;

    std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request& req) override;
    std::shared_ptr<httpserver::http_response> render_POST(const httpserver::http_request& req) override;
    std::shared_ptr<httpserver::http_response> render_PUT(const httpserver::http_request& req) override;
    std::shared_ptr<httpserver::http_response> render_DELETE(const httpserver::http_request& req) override;
};
