// The demo as a person meets it: kivd on the demo configuration fed by kivsend, its live view page
// in headless Chromium (pictures present, moving, in the colours of the pattern; a state button
// that really switches the model; models coming and going while the page is open), and
// scripts/run-demo itself started and stopped with Ctrl-C.
#include "support/ChromiumPage.h"
#include "support/DaemonProcess.h"
#include "support/HttpClient.h"
#include "support/MountNamespace.h"
#include "support/NetNamespace.h"
#include "support/TestMediaDir.h"
#include "support/WaitFor.h"

#include "common/Common.h"

#include <Magick++.h>
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <set>

namespace {

const std::string API = "http://127.0.0.1:32322";
const std::vector<std::string> DEMO_MODELS = {"House", "Matrix", "Roof and windows", "Tree"};

// The rainbow as kivsend documents it: pixel p of frame f shows hue (4p + 4f) % 256 on a wheel of
// six linear parts of 43 steps (up, down by 6 a step) at full saturation.
void Rainbow(int p, int f, uint8_t rgb[3]) {
    int hue = (4 * p + 4 * f) % 256, part = hue / 43, up = (hue % 43) * 6, down = 255 - up;
    const int table[6][3] = {{255, up, 0},   {down, 255, 0}, {0, 255, up},
                             {0, down, 255}, {up, 0, 255},   {255, 0, down}};
    for (int k = 0; k < 3; k++) {
        rgb[k] = uint8_t(table[part][k]);
    }
}

struct Screen {
    size_t width = 0, height = 0;
    std::vector<uint8_t> rgb;
    const uint8_t* at(double x, double y) const { return &rgb[(size_t(y) * width + size_t(x)) * 3]; }
};

Screen Decode(const std::string& png) {
    Screen s;
    if (png.empty()) {
        return s;
    }
    Magick::Image image(Magick::Blob(png.data(), png.size()));
    s.width = image.columns();
    s.height = image.rows();
    s.rgb.resize(s.width * s.height * 3);
    image.write(0, 0, s.width, s.height, "RGB", Magick::CharPixel, s.rgb.data());
    return s;
}

// Where the page shows each model's picture: name -> rectangle and picture size, and its state.
struct Shown {
    double x, y, w, h;
    int width, height, state, pictures;
};
const char* CARDS = R"((() => Array.from(document.querySelectorAll('.model')).map(c => {
    const img = c.querySelector('img.picture'), r = img.getBoundingClientRect();
    return {name: c.dataset.name, state: Number(c.dataset.modelState), pictures: Number(c.dataset.pictures || 0),
            x: r.left, y: r.top, w: r.width, h: r.height};
}))())";

// The pictures' sizes in model pixels come from the API (the page may be swapping a picture).
std::map<std::string, Shown> Cards(ChromiumPage& page) {
    Json::Value models;
    LoadJsonFromString(HttpGet(API + "/overlays/models").body, models);
    std::map<std::string, Json::Value> sizes;
    for (const auto& m : models) {
        sizes[m["Name"].asString()] = m;
    }
    std::map<std::string, Shown> cards;
    for (const auto& c : page.evaluate(CARDS)) {
        const Json::Value& model = sizes[c["name"].asString()];
        cards[c["name"].asString()] = {c["x"].asDouble(),  c["y"].asDouble(),      c["w"].asDouble(),
                                       c["h"].asDouble(),  model["Width"].asInt(), model["Height"].asInt(),
                                       c["state"].asInt(), c["pictures"].asInt()};
    }
    return cards;
}

// The screen colour of model pixel (x, y) of a shown picture: the middle of its scaled square.
const uint8_t* PixelOf(const Screen& screen, const Shown& card, int x, int y) {
    return screen.at(card.x + (x + 0.5) * card.w / card.width, card.y + (y + 0.5) * card.h / card.height);
}

using Point = std::array<int, 3>; // model x, model y, pattern pixel

bool Matches(const Screen& screen, const Shown& card, const std::vector<Point>& points, int frame) {
    for (const auto& [x, y, p] : points) {
        uint8_t want[3];
        Rainbow(p, frame, want);
        const uint8_t* got = PixelOf(screen, card, x, y);
        for (int k = 0; k < 3; k++) {
            if (std::abs(int(got[k]) - int(want[k])) > 2) {
                return false;
            }
        }
    }
    return true;
}

// Passes when one frame of the rainbow explains the points. Each group holds points of one
// universe, which arrive in one packet and so always show the same frame; between universes the
// picture may be taken while a frame is half received, so groups may show a neighbouring frame.
// The failure lists the colours seen.
::testing::AssertionResult ShowsRainbow(const Screen& screen, const Shown& card,
                                        const std::vector<std::vector<Point>>& groups) {
    for (int f = 0; f < 64; f++) {
        bool all = true;
        for (const auto& group : groups) {
            all = all && (Matches(screen, card, group, f) || Matches(screen, card, group, f + 1) ||
                          Matches(screen, card, group, f + 63));
        }
        if (all) {
            return ::testing::AssertionSuccess();
        }
    }
    auto failure = ::testing::AssertionFailure() << "no frame of the rainbow shows";
    for (const auto& group : groups) {
        for (const auto& [x, y, p] : group) {
            const uint8_t* got = PixelOf(screen, card, x, y);
            failure << " (" << x << "," << y << ")=" << int(got[0]) << "," << int(got[1]) << ","
                    << int(got[2]);
        }
    }
    return failure;
}

// Light n of the demo's house layout as a point of the House picture.
Point HouseLight(int n) {
    std::ifstream layout(KIV_SOURCE_DIR "/demo/config/virtualdisplay.csv");
    for (std::string line; std::getline(layout, line);) {
        int x, y, start;
        if (sscanf(line.c_str(), "%d,%d,%d,3,0", &x, &y, &start) == 3 && start == 1 + 3 * n) {
            return {x, y, n};
        }
    }
    return {-1, -1, n};
}

std::vector<uint8_t> Region(const Screen& screen, const Shown& card) {
    std::vector<uint8_t> bytes;
    for (size_t y = size_t(card.y); y < size_t(card.y + card.h); y++) {
        const uint8_t* row = screen.at(card.x, double(y));
        bytes.insert(bytes.end(), row, row + size_t(card.w) * 3);
    }
    return bytes;
}

class Demo : public ::testing::Test {
protected:
    // Everything the demo shares by fixed names (the simulated panel and framebuffers, the models'
    // shared memory) stays in this test's own /dev/shm; its ports in its own network.
    static void SetUpTestSuite() {
        ASSERT_TRUE(EnterPrivateNetworkNamespace());
        ASSERT_TRUE(EnterPrivateMountNamespace());
        ASSERT_TRUE(UsePrivateDevShm());
        Magick::InitializeMagick(nullptr);
    }
    void CopyDemo() {
        std::filesystem::copy(KIV_SOURCE_DIR "/demo", media.path(), std::filesystem::copy_options::recursive);
    }

    TestMediaDir media;
};

TEST_F(Demo, TheViewPageShowsEveryModelMovingAndSwitchesState) {
    CopyDemo();
    DaemonProcess daemon(media.path());
    ASSERT_TRUE(daemon.start({"-f"}));
    ASSERT_TRUE(WaitForHttp(API + "/overlays/models", 15000)) << daemon.output();
    // The demo's layout is all on its display.
    EXPECT_EQ(daemon.output().find("outside the"), std::string::npos) << daemon.output();
    DaemonProcess sender(media.path(), KIV_RUNTIME_DIR "/kivsend");
    ASSERT_TRUE(sender.start({"--universes", "13", "--pattern", "rainbow", "127.0.0.1"}));

    ChromiumPage page;
    ASSERT_TRUE(page.open(API + "/overlays/view", 1400, 1400)) << page.error();
    std::map<std::string, Shown> cards;
    bool ready = WaitFor(
        [&] {
            cards = Cards(page);
            for (const auto& name : DEMO_MODELS) {
                if (!cards.count(name) || cards[name].pictures < 3) {
                    return false;
                }
            }
            return cards.size() == DEMO_MODELS.size();
        },
        20000, 100);
    ASSERT_TRUE(ready) << page.error() << " cards: " << cards.size();

    Screen first = Decode(page.screenshot());
    ASSERT_GT(first.width, 0u) << page.error();
    // Whole model pixels on the screen: the matrix's 64 x 32 at one scale.
    EXPECT_EQ(cards["Matrix"].w * 32, cards["Matrix"].h * 64);
    for (const auto& name : DEMO_MODELS) {
        ASSERT_LE(cards[name].y + cards[name].h, double(first.height)) << name << " is off the screen";
    }
    // The rainbow comes back every 64 frames (1.6 s), and the large pictures may lag behind under
    // load: later screenshots until each model has shown a change.
    std::set<std::string> moved;
    Screen second;
    WaitFor(
        [&] {
            second = Decode(page.screenshot());
            if (second.width != first.width || second.height != first.height) {
                return false;
            }
            for (const auto& name : DEMO_MODELS) {
                if (Region(first, cards[name]) != Region(second, cards[name])) {
                    moved.insert(name);
                }
            }
            return moved.size() == DEMO_MODELS.size();
        },
        20000, 300);
    ASSERT_EQ(second.width, first.width) << page.error();
    for (const auto& name : DEMO_MODELS) {
        EXPECT_TRUE(moved.count(name)) << name << " did not move";
    }
    // Matrix pixel (x, y) is pattern pixel 64y + x; the roof and windows start at pixel 2048, the
    // tree at 2152 (its automatic model stands upright, first light at the bottom); on the house,
    // light n (pixel n) sits at its layout position.
    for (const Screen* screen : {&first, &second}) {
        EXPECT_TRUE(ShowsRainbow(
            *screen, cards["Matrix"],
            {{{0, 0, 0}, {63, 1, 127}}, {{0, 16, 1024}, {33, 17, 1121}}, {{56, 31, 2040}, {63, 31, 2047}}}));
        EXPECT_TRUE(ShowsRainbow(*screen, cards["Roof and windows"],
                                 {{{0, 0, 2048}, {50, 0, 2098}, {103, 0, 2151}}}));
        EXPECT_TRUE(ShowsRainbow(*screen, cards["Tree"], {{{0, 57, 2152}, {0, 27, 2182}, {0, 0, 2209}}}));
        EXPECT_TRUE(ShowsRainbow(*screen, cards["House"],
                                 {{HouseLight(0), HouseLight(10), HouseLight(100)},
                                  {HouseLight(2048), HouseLight(2060), HouseLight(2200)}}));
    }

    // A real click on the tree's "Opaque" button switches the model on the API.
    Json::Value button = page.evaluate(
        R"((() => { const r = document.querySelector('.model[data-name="Tree"] button.state[data-state="1"]')
                                .getBoundingClientRect(); return {x: r.left + r.width / 2, y: r.top + r.height / 2}; })())");
    ASSERT_TRUE(page.click(button["x"].asDouble(), button["y"].asDouble())) << page.error();
    Json::Value tree;
    EXPECT_TRUE(WaitFor(
        [&] {
            return LoadJsonFromString(HttpGet(API + "/overlays/model/Tree").body, tree) && tree["State"] == 1;
        },
        5000, 50))
        << tree;
    EXPECT_TRUE(WaitFor([&] { return Cards(page)["Tree"].state == 1; }, 5000, 100));

    // A model added while the page is open appears with its picture; removed, it goes.
    ASSERT_EQ(200, HttpPost(API + "/models", R"({"Name": "Added", "Type": "Channel", "StartChannel": 1,
        "ChannelCount": 30, "StringCount": 1, "StrandsPerString": 1})")
                       .status);
    EXPECT_TRUE(WaitFor([&] { return Cards(page)["Added"].pictures > 0; }, 5000, 100));
    ASSERT_EQ(200, HttpRequest("DELETE", API + "/models/Added").status);
    EXPECT_TRUE(WaitFor([&] { return Cards(page).count("Added") == 0; }, 5000, 100));
    EXPECT_EQ(Cards(page).size(), DEMO_MODELS.size());

    sender.signal(SIGTERM);
    EXPECT_EQ(0, sender.waitForExit(5000));
    daemon.signal(SIGTERM);
    EXPECT_EQ(0, daemon.waitForExit(5000));
}

// The processes whose parent is pid.
std::vector<int> ChildrenOf(int pid) {
    std::vector<int> children;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string text;
        std::getline(stat, text);
        size_t close = text.rfind(')');
        int parent = 0;
        if (close != std::string::npos && sscanf(text.c_str() + close + 2, "%*c %d", &parent) == 1 &&
            parent == pid) {
            children.push_back(std::stoi(entry.path().filename()));
        }
    }
    return children;
}

TEST_F(Demo, RunDemoAnswersListsTheModelsAndStopsCleanlyOnCtrlC) {
    setenv("KIV_DEMO_BUILD", KIV_RUNTIME_DIR "/..", 1);
    setenv("KIV_DEMO_MEDIA", media.path().c_str(), 1);
    DaemonProcess demo(media.path(), KIV_SOURCE_DIR "/scripts/run-demo");
    ASSERT_TRUE(demo.start({}));
    // Install check and an up-to-date build first: a warm build takes seconds, not minutes.
    ASSERT_TRUE(demo.waitForOutput("Ctrl-C", 180000)) << demo.output();
    EXPECT_NE(demo.output().find(API + "/overlays/view"), std::string::npos);
    EXPECT_NE(demo.output().find(media.path() + "/logs/kivd.log"), std::string::npos) << demo.output();

    Json::Value models;
    ASSERT_TRUE(LoadJsonFromString(HttpGet(API + "/overlays/models").body, models));
    std::vector<std::string> names;
    for (const auto& m : models) {
        names.push_back(m["Name"].asString());
    }
    EXPECT_EQ(names, DEMO_MODELS);
    HttpResult view = HttpGet(API + "/overlays/view");
    EXPECT_EQ(view.contentType.rfind("text/html", 0), 0u);
    EXPECT_EQ(view.body.find("src=\"http"), std::string::npos) << "the page must not load outside files";

    // Ctrl-C once the lights are on, as a person would press it.
    EXPECT_TRUE(WaitFor(
        [] {
            Json::Value stats;
            return LoadJsonFromString(HttpGet(API + "/kivd/e131stats").body, stats) &&
                   stats["universes"][0]["packetsReceived"].asString() != "0";
        },
        10000, 50));
    std::vector<int> children = ChildrenOf(demo.pid());
    EXPECT_EQ(children.size(), 2u) << "kivd and kivsend";
    demo.signal(SIGINT);
    EXPECT_EQ(0, demo.waitForExit(10000)) << demo.output();
    for (int child : children) {
        EXPECT_TRUE(kill(child, 0) != 0 && errno == ESRCH) << "process " << child << " is left";
    }
    EXPECT_NE(media.read("logs/kivsend.log").find("sent "), std::string::npos);
}

} // namespace
