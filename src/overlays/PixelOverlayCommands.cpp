#include "PixelOverlayCommands.h"

#include "PixelOverlayEffects.h"
#include "PixelOverlayManager.h"
#include "common/CommandManager.h"
#include "common/Common.h"

#include <functional>
#include <map>

namespace {
using Args = std::vector<std::string>;
using Outcome = std::unique_ptr<Command::Result>;

Outcome error(const std::string& text) {
    return std::make_unique<Command::ErrorResult>(text);
}

// One overlay command: checks the argument count and the model, then runs its action.
class OverlayCommand : public Command {
public:
    using Action = std::function<Outcome(PixelOverlayModel&, const Args&)>;
    OverlayCommand(const std::string& n, const std::string& desc, std::list<CommandArg> extra, Action a)
        : Command(n, desc), action(std::move(a)) {
        args.push_back(CommandArg("Model", "string", "Model").setContentListUrl("api/models?simple=true"));
        args.splice(args.end(), extra);
    }
    Outcome run(const Args& a) override {
        if (a.size() < args.size()) {
            return error(name + ": required arguments not provided");
        }
        auto model = PixelOverlayManager::INSTANCE.findModel(a[0]);
        if (!model) {
            return error(name + ": no model named '" + a[0] + "'");
        }
        return action(*model, a);
    }

private:
    Action action;
};

Outcome ok() {
    return std::make_unique<Command::Result>("OK");
}

Outcome setState(PixelOverlayModel& model, const Args& a) {
    int state = ParseOverlayState(a[1]);
    if (state < 0) {
        return error("Overlay Model State: unknown state '" + a[1] + "'");
    }
    model.setState(PixelOverlayState(state));
    return ok();
}

Outcome fill(PixelOverlayModel& model, const Args& a) {
    int r, g, b;
    if (!ParseOverlayColor(a[1], r, g, b)) {
        return error("Overlay Model Fill: '" + a[1] + "' is not a colour like #FF8000");
    }
    model.fill(r, g, b);
    return ok();
}

Outcome effect(PixelOverlayModel& model, const Args& a) {
    if (!PixelOverlayEffect::GetPixelOverlayEffect(a[2])) {
        return error("Overlay Model Effect: no effect named '" + a[2] + "'");
    }
    if (!model.applyEffect(a[1], a[2], Args(a.begin() + 3, a.end()))) {
        return error("Overlay Model Effect: the arguments do not suit effect '" + a[2] + "'");
    }
    return ok();
}

std::vector<OverlayCommand*> made;
} // namespace

int ParseOverlayState(const std::string& text) {
    static const std::map<std::string, int> names = {{"0", 0},
                                                     {"1", 1},
                                                     {"2", 2},
                                                     {"3", 3},
                                                     {"Off", 0},
                                                     {"Opaque", 1},
                                                     {"Enabled", 1},
                                                     {"Transparent", 2},
                                                     {"TransparentChannels", 2},
                                                     {"TransparentRGB", 3},
                                                     {"TransparentPixels", 3}};
    auto it = names.find(trim(text));
    return it == names.end() ? -1 : it->second;
}

void RegisterOverlayCommands() {
    using Arg = Command::CommandArg;
    made = {
        new OverlayCommand("Overlay Model State", "Switches an overlay model's state",
                           {Arg("State", "string", "State")
                                .setContentList({"Off", "Opaque", "Transparent", "TransparentRGB"})},
                           setState),
        new OverlayCommand("Overlay Model Fill", "Fills an overlay model with a colour",
                           {Arg("Color", "color", "Color").setDefaultValue("#FF0000")}, fill),
        new OverlayCommand("Overlay Model Clear", "Clears an overlay model", {},
                           [](PixelOverlayModel& model, const Args&) {
                               model.clear();
                               return ok();
                           }),
        new OverlayCommand(
            "Overlay Model Effect", "Starts an effect on an overlay model",
            {Arg("AutoEnable", "bool", "Switch the model on").setDefaultValue("true"),
             Arg("Effect", "string", "Effect").setContentList(PixelOverlayEffect::GetPixelOverlayEffects())},
            effect),
        new OverlayCommand("Overlay Model Effect Stop", "Stops the effect running on an overlay model", {},
                           [](PixelOverlayModel& model, const Args&) {
                               model.stopRunningEffect();
                               return ok();
                           }),
    };
    for (OverlayCommand* command : made) {
        CommandManager::INSTANCE.addCommand(command);
    }
}

void UnregisterOverlayCommands() {
    for (OverlayCommand* command : made) {
        CommandManager::INSTANCE.removeCommand(command);
    }
    made.clear();
}
