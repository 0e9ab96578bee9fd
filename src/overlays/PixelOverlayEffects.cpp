#include "PixelOverlayEffects.h"

#include "PixelOverlayModel.h"
#include "common/Common.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>

namespace {
constexpr int UPDATE_PERIOD_MS = 25;

struct Color {
    int r = 0, g = 0, b = 0;
};

// Effects that last keep the frame they draw into and hand it to the model whole.
class FrameEffect : public RunningEffect {
public:
    FrameEffect(PixelOverlayModel* m, bool autoEnable)
        : RunningEffect(m, autoEnable), frame(static_cast<size_t>(m->getWidth()) * m->getHeight() * 3),
          started(GetTimeMS()) {}

protected:
    void put(int x, int y, const Color& c) {
        unsigned char* p = &frame[(static_cast<size_t>(y) * model->getWidth() + x) * 3];
        p[0] = c.r;
        p[1] = c.g;
        p[2] = c.b;
    }
    void show() { model->setData(frame.data()); }
    long long elapsedMS() const { return GetTimeMS() - started; }

    std::vector<unsigned char> frame;
    long long started;
};

class ColorFade : public FrameEffect {
public:
    ColorFade(PixelOverlayModel* m, bool autoEnable, Color a, Color b, int duration)
        : FrameEffect(m, autoEnable), from(a), to(b), durationMS(duration) {}
    std::string name() const override { return "Color Fade"; }
    int update() override {
        double t = durationMS > 0 ? std::min(1.0, static_cast<double>(elapsedMS()) / durationMS) : 1.0;
        auto mix = [t](int a, int b) { return static_cast<int>(std::lround(a + (b - a) * t)); };
        Color c{mix(from.r, to.r), mix(from.g, to.g), mix(from.b, to.b)};
        for (int y = 0; y < model->getHeight(); y++) {
            for (int x = 0; x < model->getWidth(); x++) {
                put(x, y, c);
            }
        }
        show();
        return t >= 1.0 ? 0 : UPDATE_PERIOD_MS;
    }

private:
    Color from, to;
    int durationMS;
};

class Bars : public FrameEffect {
public:
    Bars(PixelOverlayModel* m, bool autoEnable, const std::string& dir, int size, double pixelsPerSecond,
         std::vector<Color> c)
        : FrameEffect(m, autoEnable), direction(dir), barSize(size), speed(pixelsPerSecond),
          colors(std::move(c)) {}
    std::string name() const override { return "Bars"; }
    int update() override {
        bool vertical = direction == "Up" || direction == "Down";
        bool backwards = direction == "Left" || direction == "Up";
        long long shift = static_cast<long long>(elapsedMS() * speed / 1000.0);
        const long long period = static_cast<long long>(barSize) * colors.size();
        for (int y = 0; y < model->getHeight(); y++) {
            for (int x = 0; x < model->getWidth(); x++) {
                long long position = (vertical ? y : x) + (backwards ? shift : -shift);
                long long inPeriod = ((position % period) + period) % period;
                put(x, y, colors[inPeriod / barSize]);
            }
        }
        show();
        return UPDATE_PERIOD_MS;
    }

private:
    std::string direction;
    int barSize;
    double speed;
    std::vector<Color> colors;
};

void switchOn(PixelOverlayModel* model, bool autoEnable) {
    if (autoEnable && model->getState() == PixelOverlayState::Off) {
        model->setState(PixelOverlayState::Opaque);
    }
}

bool parseColor(const std::string& text, Color& c) {
    return ParseOverlayColor(text, c.r, c.g, c.b);
}

bool parseNumber(const std::string& text, long low, long high, long& value) {
    return ParseInt(trim(text), value) && value >= low && value <= high;
}

class ColorFillEffect : public PixelOverlayEffect {
public:
    ColorFillEffect() : PixelOverlayEffect("Color Fill") {
        args.emplace_back("Color", "color", "Color").setDefaultValue("#FF0000");
    }
    using PixelOverlayEffect::apply;
    bool apply(PixelOverlayModel* model, bool autoEnable, const std::vector<std::string>& a) override {
        Color c;
        if (a.empty() || !parseColor(a[0], c)) {
            return false;
        }
        model->setRunningEffect(nullptr, 0);
        model->fill(c.r, c.g, c.b);
        switchOn(model, autoEnable);
        return true;
    }
};

class ColorFadeEffect : public PixelOverlayEffect {
public:
    ColorFadeEffect() : PixelOverlayEffect("Color Fade") {
        args.emplace_back("From", "color", "Start color").setDefaultValue("#000000");
        args.emplace_back("To", "color", "End color").setDefaultValue("#FFFFFF");
        args.emplace_back("Duration", "int", "Milliseconds").setRange(0, 3600000).setDefaultValue("1000");
    }
    using PixelOverlayEffect::apply;
    bool apply(PixelOverlayModel* model, bool autoEnable, const std::vector<std::string>& a) override {
        Color from, to;
        long duration = 0;
        if (a.size() < 3 || !parseColor(a[0], from) || !parseColor(a[1], to) ||
            !parseNumber(a[2], 0, 3600000, duration)) {
            return false;
        }
        auto* effect = new ColorFade(model, autoEnable, from, to, static_cast<int>(duration));
        effect->update();
        switchOn(model, autoEnable);
        model->setRunningEffect(effect, UPDATE_PERIOD_MS);
        return true;
    }
};

class BarsEffect : public PixelOverlayEffect {
public:
    BarsEffect() : PixelOverlayEffect("Bars") {
        args.emplace_back("Direction", "string", "Direction")
            .setContentList({"Left", "Right", "Up", "Down"})
            .setDefaultValue("Right");
        args.emplace_back("BarSize", "int", "Bar size in pixels").setRange(1, 10000).setDefaultValue("2");
        args.emplace_back("Speed", "int", "Pixels a second").setRange(0, 10000).setDefaultValue("10");
        args.emplace_back("Colors", "string", "Colors, comma separated")
            .setDefaultValue("#FF0000,#00FF00,#0000FF");
    }
    using PixelOverlayEffect::apply;
    bool apply(PixelOverlayModel* model, bool autoEnable, const std::vector<std::string>& a) override {
        long size = 0, speed = 0;
        std::vector<Color> colors;
        if (a.size() < 4 || !isDirection(a[0]) || !parseNumber(a[1], 1, 10000, size) ||
            !parseNumber(a[2], 0, 10000, speed) || !parseColors(a[3], colors)) {
            return false;
        }
        auto* effect = new Bars(model, autoEnable, a[0], static_cast<int>(size), speed, colors);
        effect->update();
        switchOn(model, autoEnable);
        model->setRunningEffect(effect, UPDATE_PERIOD_MS);
        return true;
    }

private:
    static bool isDirection(const std::string& d) {
        return d == "Left" || d == "Right" || d == "Up" || d == "Down";
    }
    static bool parseColors(const std::string& list, std::vector<Color>& colors) {
        for (const std::string& text : split(list, ',')) {
            Color c;
            if (!parseColor(trim(text), c)) {
                return false;
            }
            colors.push_back(c);
        }
        return !colors.empty();
    }
};

const std::map<std::string, std::unique_ptr<PixelOverlayEffect>>& registry() {
    static const auto effects = [] {
        std::map<std::string, std::unique_ptr<PixelOverlayEffect>> made;
        for (PixelOverlayEffect* e : std::initializer_list<PixelOverlayEffect*>{
                 new ColorFillEffect, new ColorFadeEffect, new BarsEffect}) {
            made[e->name].reset(e);
        }
        return made;
    }();
    return effects;
}
} // namespace

bool ParseOverlayColor(const std::string& text, int& r, int& g, int& b) {
    std::string hex = startsWith(text, "#") ? text.substr(1) : startsWith(text, "0x") ? text.substr(2) : text;
    if (hex.size() != 6 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        return false;
    }
    unsigned long value = std::stoul(hex, nullptr, 16);
    r = (value >> 16) & 0xFF;
    g = (value >> 8) & 0xFF;
    b = value & 0xFF;
    return true;
}

bool PixelOverlayEffect::apply(PixelOverlayModel*, bool, const std::vector<std::string>&) {
    return false;
}

bool PixelOverlayEffect::apply(PixelOverlayModel* model, const std::string& autoEnable,
                               const std::vector<std::string>& arguments) {
    return apply(model, autoEnable != "false", arguments);
}

Json::Value PixelOverlayEffect::getDescription() const {
    Json::Value description;
    description["name"] = name;
    description["args"] = Json::Value(Json::arrayValue);
    for (const auto& arg : args) {
        description["args"].append(arg.toJson());
    }
    return description;
}

PixelOverlayEffect* PixelOverlayEffect::GetPixelOverlayEffect(const std::string& effectName) {
    auto it = registry().find(effectName);
    return it == registry().end() ? nullptr : it->second.get();
}

std::vector<std::string> PixelOverlayEffect::GetPixelOverlayEffects() {
    std::vector<std::string> names;
    for (const auto& [effectName, effect] : registry()) {
        names.push_back(effectName);
    }
    return names;
}
