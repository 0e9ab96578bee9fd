#include "PixelOverlayApi.h"

#include "OverlayViewPage.h"
#include "PixelOverlayCommands.h"
#include "PixelOverlayEffects.h"
#include "PixelOverlayImage.h"
#include "PixelOverlayManager.h"
#include "common/CommandManager.h"
#include "common/Common.h"
#include "common/Log.h"
#include "player/Sequence.h"

using httpserver::http_request;
using httpserver::http_response;
using httpserver::string_response;
using Response = std::shared_ptr<http_response>;

PixelOverlayApi PixelOverlayApi::INSTANCE;

namespace {
PixelOverlayManager& manager() {
    return PixelOverlayManager::INSTANCE;
}

Response json(const Json::Value& value, int code = 200) {
    return std::make_shared<string_response>(SaveJsonToString(value, ""), code, "application/json");
}

Response result(int code, const std::string& message) {
    Json::Value value;
    value["Status"] = code == 200 ? "OK" : "ERROR";
    value["respCode"] = code;
    value["Message"] = message;
    return json(value, code);
}

Response notFound(const std::string& name) {
    return result(404, "No model named '" + name + "'");
}

bool readBody(const http_request& req, Json::Value& body) {
    return LoadJsonFromString(req.get_content(), body) && body.isObject();
}

// [r, g, b] with each a whole number 0-255.
bool readColor(const Json::Value& value, int rgb[3]) {
    if (!value.isArray() || value.size() != 3) {
        return false;
    }
    for (unsigned k = 0; k < 3; k++) {
        if (!value[k].isIntegral() || value[k].asInt64() < 0 || value[k].asInt64() > 255) {
            return false;
        }
        rgb[k] = value[k].asInt();
    }
    return true;
}

std::string hexColor(const int rgb[3]) {
    char text[8];
    snprintf(text, sizeof(text), "#%02X%02X%02X", rgb[0], rgb[1], rgb[2]);
    return text;
}

// Runs an overlay command, so requests and commands change models in one way.
Response runCommand(const std::string& command, const std::vector<std::string>& args) {
    auto outcome = CommandManager::INSTANCE.run(command, args);
    return outcome->isError() ? result(400, outcome->get()) : result(200, "OK");
}

Json::Value summary(PixelOverlayModel& model) {
    Json::Value value;
    value["Name"] = model.getName();
    value["Type"] = model.getType();
    value["State"] = static_cast<int>(model.getState().getState());
    value["Width"] = model.getWidth();
    value["Height"] = model.getHeight();
    value["StartChannel"] = model.getStartChannel() + 1;
    value["ChannelCount"] = model.getChannelCount();
    value["effectRunning"] = model.isEffectRunning();
    value["effectName"] = model.runningEffectName();
    value["autoCreated"] = manager().isAutomatic(model.getName());
    return value;
}

Response getModels(const http_request& req) {
    Json::Value list(Json::arrayValue);
    bool simple = req.get_arg("simple") == "true";
    for (const auto& model : manager().getModels()) {
        Json::Value definition;
        model->toJson(definition);
        list.append(simple ? Json::Value(model->getName()) : definition);
    }
    return json(list);
}

Response getData(PixelOverlayModel& model, const http_request& req) {
    Json::Value value;
    bool rle = req.get_arg("rle") == "true";
    value["Name"] = model.getName();
    value["rle"] = rle;
    value["data"] = Json::Value(Json::arrayValue);
    model.getDataJson(value["data"], rle);
    return json(value);
}

// live: a model over show channels pictures the frame being sent at its channels (the show with
// the overlays on); other models, and live off, picture the model's own data.
Response getImage(PixelOverlayModel& model, bool live) {
    try {
        bool fromShow = live && model.getType() == "Channel" && sequence && sequence->Data();
        std::string png =
            EncodeRGBAsPNG(fromShow ? model.renderImageFrom(sequence->Data() + model.getStartChannel())
                                    : model.renderImage(),
                           model.getWidth(), model.getHeight());
        return std::make_shared<string_response>(png, 200, "image/png");
    } catch (const std::exception& e) {
        LogWarn(LG_CHANNELOUT, "Picture of overlay model %s failed: %s\n", model.getName().c_str(), e.what());
        return result(500, "The picture could not be made");
    }
}

Response getOverlayModel(PixelOverlayModel& model, const std::string& what, const http_request& req) {
    if (what.empty()) {
        Json::Value value;
        model.toJson(value);
        for (const auto& name : summary(model).getMemberNames()) {
            value[name] = summary(model)[name];
        }
        return json(value);
    }
    if (what == "data") {
        return getData(model, req);
    }
    if (what == "image") {
        return getImage(model, req.get_arg("live") == "true");
    }
    return result(404, "Unknown request");
}

Response putPixel(PixelOverlayModel& model, const Json::Value& body) {
    int rgb[3];
    if (!body["X"].isIntegral() || !body["Y"].isIntegral() || !readColor(body["RGB"], rgb)) {
        return result(400, "Expected {\"X\", \"Y\", \"RGB\": [r, g, b]}");
    }
    long long x = body["X"].asInt64(), y = body["Y"].asInt64();
    if (x < 0 || y < 0 || x >= model.getWidth() || y >= model.getHeight()) {
        return result(400, "The pixel is outside the model");
    }
    model.setPixelValue(static_cast<int>(x), static_cast<int>(y), rgb[0], rgb[1], rgb[2]);
    return result(200, "OK");
}

Response putEffect(PixelOverlayModel& model, const Json::Value& body) {
    if (!body["effect"].isString() || (body.isMember("args") && !body["args"].isArray())) {
        return result(400, "Expected {\"effect\", \"args\": [...], \"autoEnable\"}");
    }
    std::vector<std::string> args = {
        model.getName(), body.isMember("autoEnable") && !body["autoEnable"].asBool() ? "false" : "true",
        body["effect"].asString()};
    for (const Json::Value& arg : body["args"]) {
        args.push_back(arg.isConvertibleTo(Json::stringValue) ? arg.asString() : "");
    }
    return runCommand("Overlay Model Effect", args);
}

Response putOverlayModel(PixelOverlayModel& model, const std::string& what, const http_request& req) {
    Json::Value body;
    bool parsed = readBody(req, body);
    if (what == "clear") {
        return runCommand("Overlay Model Clear", {model.getName()});
    }
    if (!parsed) {
        return result(400, "The request body must be a JSON object");
    }
    int rgb[3];
    if (what == "state") {
        int state = body["State"].isIntegral() ? body["State"].asInt() : -1;
        return PixelOverlayState::isValid(state)
                   ? runCommand("Overlay Model State", {model.getName(), std::to_string(state)})
                   : result(400, "Expected {\"State\": 0..3}");
    }
    if (what == "fill") {
        return readColor(body["RGB"], rgb)
                   ? runCommand("Overlay Model Fill", {model.getName(), hexColor(rgb)})
                   : result(400, "Expected {\"RGB\": [r, g, b]}");
    }
    if (what == "pixel") {
        return putPixel(model, body);
    }
    if (what == "effect") {
        return putEffect(model, body);
    }
    return result(404, "Unknown request");
}

// For /overlays/model/NAME[/what]: the model, or null with a 404 ready.
std::shared_ptr<PixelOverlayModel> modelOf(const std::vector<std::string>& pieces, std::string& what,
                                           Response& missing) {
    if (pieces.size() < 3 || pieces.size() > 4 || pieces[0] != "overlays" || pieces[1] != "model") {
        missing = result(404, "Unknown request");
        return nullptr;
    }
    what = pieces.size() == 4 ? pieces[3] : "";
    auto model = manager().findModel(pieces[2]);
    if (!model) {
        missing = notFound(pieces[2]);
    }
    return model;
}
} // namespace

Response PixelOverlayApi::render_GET(const http_request& req) {
    auto pieces = req.get_path_pieces();
    if (pieces.size() == 1 && pieces[0] == "models") {
        return getModels(req);
    }
    if (pieces.size() == 2 && pieces[0] == "models") {
        auto model = manager().findModel(pieces[1]);
        Json::Value definition;
        if (model) {
            model->toJson(definition);
        }
        return model ? json(definition) : notFound(pieces[1]);
    }
    if (pieces == std::vector<std::string>{"overlays", "models"}) {
        Json::Value list(Json::arrayValue);
        for (const auto& model : manager().getModels()) {
            list.append(summary(*model));
        }
        return json(list);
    }
    if (pieces == std::vector<std::string>{"overlays", "view"}) {
        return std::make_shared<string_response>(OverlayViewPage(), 200, "text/html; charset=utf-8");
    }
    if (pieces == std::vector<std::string>{"overlays", "effects"}) {
        Json::Value list(Json::arrayValue);
        for (const auto& name : PixelOverlayEffect::GetPixelOverlayEffects()) {
            list.append(PixelOverlayEffect::GetPixelOverlayEffect(name)->getDescription());
        }
        return json(list);
    }
    std::string what;
    Response missing;
    auto model = modelOf(pieces, what, missing);
    return model ? getOverlayModel(*model, what, req) : missing;
}

Response PixelOverlayApi::render_POST(const http_request& req) {
    Json::Value body;
    if (req.get_path_pieces() != std::vector<std::string>{"models"}) {
        return result(404, "Unknown request");
    }
    if (!readBody(req, body)) {
        return result(400, "The request body must be a model definition object");
    }
    std::string error;
    return manager().saveModelDefinition(body, error) ? result(200, "Model saved")
                                                      : result(400, "Model not saved: " + error);
}

Response PixelOverlayApi::render_PUT(const http_request& req) {
    std::string what;
    Response missing;
    auto model = modelOf(req.get_path_pieces(), what, missing);
    return model ? putOverlayModel(*model, what, req) : missing;
}

Response PixelOverlayApi::render_DELETE(const http_request& req) {
    auto pieces = req.get_path_pieces();
    if (pieces.size() == 2 && pieces[0] == "models") {
        if (manager().isAutomatic(pieces[1])) {
            return result(400, "Model '" + pieces[1] + "' belongs to an output and cannot be deleted");
        }
        return manager().deleteModelDefinition(pieces[1]) ? result(200, "Model deleted")
                                                          : notFound(pieces[1]);
    }
    std::string what;
    Response missing;
    auto model = modelOf(pieces, what, missing);
    if (!model) {
        return missing;
    }
    return what == "effect" ? runCommand("Overlay Model Effect Stop", {model->getName()})
                            : result(404, "Unknown request");
}
