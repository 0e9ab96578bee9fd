// The overlay manager: what it keeps from a models file, which model wins a name, the order models
// are laid over a frame, and API writers, an effect, model replacement and the frame copy all at
// once (run under KIV_TSAN, with tsan.supp allowing only the byte-wise channel interleaving).

#include "OverlayTestSupport.h"

#include "channeloutput/ChannelOutput.h"
#include "common/WarningHolder.h"
#include "overlays/PixelOverlayApi.h"
#include "overlays/PixelOverlayManager.h"
#include "support/TestMediaDir.h"

#include <atomic>
#include <thread>

using namespace overlaytest;

#if defined(__SANITIZE_THREAD__)
// The byte-wise interleaving of channel data that the design allows, and nothing else.
extern "C" const char* __tsan_default_options() {
    return "suppressions=" KIV_TSAN_SUPPRESSIONS;
}
#endif

namespace {

class PixelOverlayManagerTest : public ::testing::Test {
protected:
    void SetUp() override { manager.Initialize(); }
    void TearDown() override { manager.Cleanup(); }
    void WriteModels(const std::string& models) {
        media.write("config/overlay-models.json", "{\"models\": [" + models + "]}");
        manager.loadModelsFile();
    }
    static std::string Plain(const std::string& name, int width) {
        return R"({"Name": ")" + name + R"(", "Type": "Matrix", "Width": )" + std::to_string(width) +
               R"(, "Height": 1})";
    }
    TestMediaDir media;
    PixelOverlayManager& manager = PixelOverlayManager::INSTANCE;
    std::string a = UniqueName("A"), b = UniqueName("B");
};

TEST_F(PixelOverlayManagerTest, KeepsGoodDefinitionsAndWarnsOfTheRest) {
    WarningHolder::RemoveAllWarnings();
    WriteModels(Plain(a, 2) + R"(, 3, [], {"Name": ""}, {"Name": "x", "Width": -1, "Height": 1},
        {"Name": "y", "Type": "Channel", "ChannelCount": 9, "Orientation": "C", "data": "1,q"}, )" +
                Plain(b, 3));
    EXPECT_EQ(manager.getModelNames(), (std::vector<std::string>{a, b}));
    EXPECT_EQ(WarningHolder::GetWarnings().size(), 4u) << "the two non-objects share one warning";

    manager.findModel(a)->setState(PixelOverlayState::Opaque);
    PixelOverlayModel* kept = manager.getModel(a);
    manager.addAutoOverlayModel(b, 0, 9, 3, "H", "TL", 1, 1); // the user's model keeps its name
    WriteModels(Plain(a, 2) + ", " + Plain(b, 4));
    EXPECT_EQ(manager.getModel(a), kept) << "an unchanged definition leaves its model alone";
    EXPECT_EQ(manager.getModel(b)->getWidth(), 4);
    EXPECT_FALSE(manager.isAutomatic(b));
    EXPECT_TRUE(manager.hasActiveOverlays());

    for (const char* broken : {"[]", "{\"models\": 5}", "{\"models\": [{\"Name\""}) {
        media.write("config/overlay-models.json", broken);
        manager.loadModelsFile();
        EXPECT_EQ(manager.getModelNames().size(), 2u)
            << "a file caught mid-edit takes nothing away: " << broken;
    }
    media.remove("config/overlay-models.json");
    manager.loadModelsFile();
    EXPECT_TRUE(manager.getModelNames().empty());
    EXPECT_FALSE(manager.hasActiveOverlays());
}

TEST_F(PixelOverlayManagerTest, LaysActiveModelsOverTheFrameInTheOrderTheyCameOn) {
    WriteModels(Plain(a, 2) + ", " + Plain(b, 1));
    manager.getModel(a)->fill(1, 1, 1);
    manager.getModel(b)->fill(2, 2, 2);
    Bytes frame(KIVD_MAX_CHANNELS, 9);
    manager.doOverlays(frame.data());
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 6), Bytes(6, 9)) << "nothing is on";
    manager.getModel(b)->setState(PixelOverlayState::Opaque);
    manager.getModel(a)->setState(PixelOverlayState::Opaque);
    manager.doOverlays(frame.data());
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 7), (Bytes{1, 1, 1, 1, 1, 1, 9}));
}

// Writers, an effect and replacements race the frame copy; TSAN and ASan watch for more than the
// byte-wise interleaving of channel data the design allows.
TEST_F(PixelOverlayManagerTest, WritersEffectsReplacementsAndTheFrameCopyRunTogether) {
    WriteModels(Plain(a, 64) + ", " + Plain(b, 32));
    std::atomic<bool> stop{false};
    auto request = [](const std::string& method, const std::string& path, const std::string& body) {
        httpserver::http_request req;
        req.method = method;
        req.path = path;
        req.content = body;
        return PixelOverlayApi::INSTANCE.render(req)->get_response_code();
    };
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        Bytes frame(KIVD_MAX_CHANNELS + 8);
        while (!stop) {
            manager.doOverlays(frame.data());
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; !stop; i++) {
            request("PUT", "/overlays/model/" + a + "/fill", R"({"RGB": [1, 2, 3]})");
            request("PUT", "/overlays/model/" + a + "/pixel",
                    "{\"X\": " + std::to_string(i % 64) + ", \"Y\": 0, \"RGB\": [9, 9, 9]}");
            request("PUT", "/overlays/model/" + a + "/state", "{\"State\": " + std::to_string(i % 4) + "}");
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; !stop; i++) {
            request("PUT", "/overlays/model/" + b + "/effect",
                    R"({"effect": "Bars", "args": ["Left", "2", "100", "#FF0000,#00FF00"]})");
            std::this_thread::sleep_for(std::chrono::milliseconds(7));
            if (i % 3 == 0) {
                request("DELETE", "/overlays/model/" + b + "/effect", "");
            }
        }
    });
    for (int i = 0; i < 40; i++) {
        manager.addModel(Definition(Plain(b, 32 + i % 2)));
        manager.addModel(Definition(Plain(a, 64 + i % 2)));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    stop = true;
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(manager.getModelNames().size(), 2u);
}

} // namespace
