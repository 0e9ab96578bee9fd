// Overlay models on their own: node maps, the shared blocks, states, data writes, scaling, effects.

#include "OverlayTestSupport.h"

#include "channeloutput/ChannelOutput.h"
#include "overlays/PixelOverlayEffects.h"
#include "player/PluginManager.h"
#include "support/TestOutputAccess.h"

#include <chrono>
#include <thread>

using namespace overlaytest;

namespace {
[[maybe_unused]] ::testing::Environment* const unloadPlugins =
    ::testing::AddGlobalTestEnvironment(new UnloadPluginsAtExit());

constexpr int U = PixelOverlayModel::UNMAPPED;

struct MapCase {
    const char* what;
    std::string json;
    int width, height;
    std::vector<int> map; // the expected node map, 3 entries a node
};

std::string Channel(const std::string& rest) {
    return R"({"Name": ")" + UniqueName("map") + R"(", "Type": "Channel", )" + rest + "}";
}

class NodeMaps : public ::testing::TestWithParam<MapCase> {};

TEST_P(NodeMaps, LayNodesOverTheirChannels) {
    const MapCase& c = GetParam();
    auto model = Model(c.json);
    EXPECT_EQ(model->getWidth(), c.width);
    EXPECT_EQ(model->getHeight(), c.height);
    if (!c.map.empty()) {
        EXPECT_EQ(model->getNodeMap(), c.map);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, NodeMaps,
    ::testing::Values(
        MapCase{"channel model of one string",
                Channel(R"("ChannelCount": 300, "StringCount": 1, "StrandsPerString": 1)"),
                100,
                1,
                {}},
        MapCase{"bottom left, two strings",
                Channel(R"("ChannelCount": 18, "StringCount": 2, "StartCorner": "BL")"),
                3,
                2,
                {9, 10, 11, 12, 13, 14, 15, 16, 17, 0, 1, 2, 3, 4, 5, 6, 7, 8}},
        MapCase{
            "top left, two strands zig-zag",
            Channel(R"("ChannelCount": 18, "StringCount": 1, "StrandsPerString": 2, "StartCorner": "TL")"),
            3,
            2,
            {0, 1, 2, 3, 4, 5, 6, 7, 8, 15, 16, 17, 12, 13, 14, 9, 10, 11}},
        MapCase{"vertical, top left",
                Channel(R"("ChannelCount": 12, "StringCount": 2, "Orientation": "V", "StartCorner": "TL")"),
                2,
                2,
                {0, 1, 2, 6, 7, 8, 3, 4, 5, 9, 10, 11}},
        MapCase{"custom with a gap",
                Channel(R"("ChannelCount": 9, "Orientation": "custom", "data": "1,2;,3")"),
                2,
                2,
                {0, 1, 2, 3, 4, 5, U, U, U, 6, 7, 8}},
        MapCase{"custom nodes below 1 or past the channels stay unmapped",
                Channel(R"("ChannelCount": 6, "Orientation": "C", "data": "0,-1,-5|3,2,12345678901")"),
                3,
                2,
                {U, U, U, U, U, U, U, U, U, U, U, U, 3, 4, 5, U, U, U}},
        MapCase{
            "one channel a node",
            Channel(R"("ChannelCount": 3, "StringCount": 1, "ChannelCountPerNode": 1, "StartCorner": "TL")"),
            3,
            1,
            {0, U, U, 1, U, U, 2, U, U}},
        MapCase{"fewer channels than one node",
                Channel(R"("ChannelCount": 2, "StringCount": 1, "StartCorner": "TL")"),
                1,
                1,
                {0, 1, U}},
        MapCase{"plain model with pixel size",
                R"({"Name": ")" + UniqueName("plain") +
                    R"(", "Type": "FB", "Width": 64, "Height": 32, "PixelSize": 16})",
                4,
                2,
                {}}),
    [](const auto& info) {
        std::string name = info.param.what;
        std::replace_if(
            name.begin(), name.end(), [](char ch) { return !isalnum(ch); }, '_');
        return name;
    });

TEST(PixelOverlayModel, RefusesDefinitionsThatCannotBeLaidOut) {
    for (const std::string& json : {Channel(R"("ChannelCount": 9, "Orientation": "C", "data": "1,x")"),
                                    Channel(R"("ChannelCount": 0, "StringCount": 1)"),
                                    Channel(R"("ChannelCount": 30, "StartChannel": 8388600)"),
                                    Channel(R"("ChannelCount": 30, "StartChannel": -4)"),
                                    Channel(R"("ChannelCount": 9, "Orientation": "C", "data": ")" +
                                            std::string(5000, ',') + ";" + std::string(5000, ';') + "\""),
                                    std::string(R"({"Name": "x", "Width": 100000, "Height": 100000})"),
                                    std::string(R"({"Name": "x", "Width": 0, "Height": 4})")}) {
        EXPECT_ANY_THROW(Model(json)) << json;
    }
    EXPECT_THROW(Model(Channel(R"("ChannelCount": 9, "Orientation": "C", "data": "9999999999")")),
                 std::out_of_range);
}

TEST(PixelOverlayModel, NormalisesPlainDefinitionsAndSharesItsChannelsByName) {
    std::string name = UniqueName("Shared/Model");
    auto model = Model(R"({"Name": ")" + name + R"(", "Width": 4, "Height": 2, "StartChannel": 77})");
    std::string shmName = UniqueName("Shared_Model");
    EXPECT_EQ(model->getName(), shmName);
    Json::Value stored;
    model->toJson(stored);
    EXPECT_EQ(stored["ChannelCount"].asInt(), 24);
    EXPECT_EQ(stored["StartChannel"].asInt(), 0);
    EXPECT_EQ(stored["StringCount"].asInt(), 2);
    EXPECT_EQ(stored["Orientation"].asString(), "horizontal");
    EXPECT_EQ(stored["StartCorner"].asString(), "TL");

    model->setPixelValue(1, 1, 10, 20, 30);
    SharedBlock block = DataBlock(shmName);
    ASSERT_TRUE(block.exists());
    EXPECT_EQ(block.bytes(15, 3), (Bytes{10, 20, 30}));
    block.data[0] = 99; // another process writes a channel
    int r = 0, g = 0, b = 0;
    model->getPixelValue(0, 0, r, g, b);
    EXPECT_EQ(r, 99);
    model.reset();
    EXPECT_FALSE(DataBlock(shmName).exists()) << "the block goes with its model";
}

// The buffer the model is laid onto, with every byte 0x11 under it.
struct Overlaid {
    explicit Overlaid(PixelOverlayModel& model, PixelOverlayState state) : channels(KIVD_MAX_CHANNELS, 0x11) {
        model.setState(state);
        model.doOverlay(channels.data());
        model.setState(PixelOverlayState::Off);
    }
    Bytes at(int first, int count) const {
        return Bytes(channels.begin() + first, channels.begin() + first + count);
    }
    Bytes channels;
};

TEST(PixelOverlayModel, StatesDecideWhichBytesReachTheChannels) {
    auto model =
        Model(Channel(R"("StartChannel": 101, "ChannelCount": 9, "StringCount": 1, "StartCorner": "TL")"));
    const unsigned char pixels[9] = {0, 0, 5, 0, 0, 0, 7, 0, 9};
    model->setData(pixels);

    EXPECT_EQ(Overlaid(*model, PixelOverlayState::Off).at(100, 9), Bytes(9, 0x11));
    EXPECT_EQ(Overlaid(*model, PixelOverlayState::Opaque).at(99, 11),
              (Bytes{0x11, 0, 0, 5, 0, 0, 0, 7, 0, 9, 0x11}));
    // With nothing writing under the model its zeros are copied too; with an output plugin
    // loaded they let the channels through.
    EXPECT_EQ(Overlaid(*model, PixelOverlayState::TransparentChannels).at(100, 9), Bytes(pixels, pixels + 9));
    PluginManager::INSTANCE.setPluginDirectory(KIV_RUNTIME_DIR);
    ASSERT_NE(PluginManager::INSTANCE.findPlugin("TestRecorder", "kiv-co-TestRecorder"), nullptr);
    EXPECT_EQ(Overlaid(*model, PixelOverlayState::TransparentChannels).at(100, 9),
              (Bytes{0x11, 0x11, 5, 0x11, 0x11, 0x11, 7, 0x11, 9}));
    EXPECT_EQ(Overlaid(*model, PixelOverlayState::TransparentPixels).at(100, 9),
              (Bytes{0, 0, 5, 0x11, 0x11, 0x11, 7, 0, 9}));
}

TEST(PixelOverlayModel, ChildRegionsShowWhileTheModelIsOff) {
    auto model = Model(Channel(R"("ChannelCount": 12, "StringCount": 2, "StartCorner": "TL")"));
    model->fillData(1, 2, 3);
    model->setChildState("corner", PixelOverlayState::Opaque, 1, 1, 5, 5); // reaches past the model
    EXPECT_EQ(Overlaid(*model, PixelOverlayState::Off).at(0, 12),
              (Bytes{0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 1, 2, 3}));
    model->setChildState("corner", PixelOverlayState::Off, 0, 0, 0, 0);
    EXPECT_FALSE(model->hasChildren());
}

TEST(PixelOverlayModel, RegionWritesBlendAndStayInsideTheModel) {
    auto model = Model(Channel(R"("ChannelCount": 12, "StringCount": 2, "StartCorner": "TL")"));
    model->fillData(9, 9, 9);
    const unsigned char region[6] = {0, 0, 4, 0, 0, 0};
    model->setData(region, 1, 0, 1, 2, PixelOverlayState::TransparentPixels);
    model->setData(region, 1, 1, 1, 2, PixelOverlayState::Opaque); // out of bounds: refused
    model->setData(region, -1, 0, 1, 1, PixelOverlayState::Opaque);
    EXPECT_EQ(Bytes(model->getChannelData(), model->getChannelData() + 12),
              (Bytes{9, 9, 9, 0, 0, 4, 9, 9, 9, 9, 9, 9}));
    model->setData(region, 0, 1, 2, 1, PixelOverlayState::TransparentChannels);
    EXPECT_EQ(Bytes(model->getChannelData() + 6, model->getChannelData() + 12), (Bytes{9, 9, 4, 9, 9, 9}));
}

TEST(PixelOverlayModel, DataJsonListsEveryEntryOrRunsOfColours) {
    auto model = Model(Channel(R"("ChannelCount": 8, "Orientation": "C", "data": "1,2,3")"));
    model->setPixelValue(1, 0, 5, 6, 7); // node 3 has only two channels
    Json::Value plain(Json::arrayValue), runs(Json::arrayValue);
    model->getDataJson(plain, false);
    model->getDataJson(runs, true);
    EXPECT_EQ(SaveJsonToString(plain, ""), "[0,0,0,5,6,7,0,0,0]");
    EXPECT_EQ(SaveJsonToString(runs, ""), "[1,0,0,0,1,5,6,7,1,0,0,7]") << "node 3 keeps node 2's blue";
}

TEST(PixelOverlayModel, ValuesAreWrittenOnlyToTheModelsOwnChannels) {
    auto model = Model(Channel(R"("StartChannel": 11, "ChannelCount": 6, "StringCount": 1)"));
    model->setValue(7, 12, 13); // 0-based channels of the whole buffer
    model->setValue(8, -1000, 5);
    model->setValue(9, 14, 9999);
    EXPECT_EQ(Bytes(model->getChannelData(), model->getChannelData() + 6), (Bytes{0, 0, 7, 7, 9, 9}));
}

TEST(PixelOverlayModel, OverlayBufferIsSharedAndFlushedThroughTheMap) {
    std::string name = UniqueName("overlay");
    auto model = Model(R"({"Name": ")" + name + R"(", "Type": "Channel", "ChannelCount": 12, "StringCount": 2,
                          "StartCorner": "BL"})");
    EXPECT_FALSE(model->overlayBufferIsDirty());
    EXPECT_FALSE(OverlayBlock(name).exists()) << "made on first use only";
    model->getOverlayBuffer();
    SharedBlock block = OverlayBlock(name);
    ASSERT_TRUE(block.exists());
    EXPECT_EQ(block.word(0), 2u);
    EXPECT_EQ(block.word(4), 2u);
    const Bytes picture = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    memcpy(block.data + OVERLAY_PIXELS_AT, picture.data(), picture.size());
    block.setWord(8, 1 | 0x100); // ready, with a bit that is not ours
    EXPECT_TRUE(model->needRefresh());
    model->flushOverlayBuffer();
    EXPECT_EQ(block.word(8), 0x100u);
    EXPECT_EQ(Bytes(model->getChannelData(), model->getChannelData() + 12),
              (Bytes{7, 8, 9, 10, 11, 12, 1, 2, 3, 4, 5, 6}));

    int r = 1, g = 1, b = 1;
    model->getOverlayPixelValue(-1, 0, r, g, b);
    EXPECT_EQ(r + g + b, 0);
    model->setOverlayPixelValue(2, 0, 50, 50, 50); // x == width: ignored
    EXPECT_EQ(block.bytes(OVERLAY_PIXELS_AT, 12), picture);
}

TEST(PixelOverlayModel, OverlayBufferMadeByAnotherProcessIsNotDirtyUntilOpened) {
    std::string name = UniqueName("foreign");
    auto first = Model(R"({"Name": ")" + name + R"(", "Width": 2, "Height": 1})");
    first->setOverlayBufferDirty(true);
    auto second = Model(R"({"Name": ")" + name + R"(", "Width": 2, "Height": 1})");
    EXPECT_TRUE(first->overlayBufferIsDirty());
    EXPECT_FALSE(second->overlayBufferIsDirty());
}

TEST(PixelOverlayModel, ScalesPicturesByNearestNeighbour) {
    auto wide = Model(R"({"Name": ")" + UniqueName("scale") + R"(", "Width": 4, "Height": 2})");
    Bytes source(8 * 4 * 3);
    for (size_t i = 0; i < source.size() / 3; i++) {
        source[i * 3] = static_cast<unsigned char>(i); // red is the source pixel's index
    }
    wide->setOverlayBufferScaledData(source.data(), 8, 4);
    std::vector<int> taken;
    for (int y = 0; y < 2; y++) {
        for (int x = 0; x < 4; x++) {
            int r, g, b;
            wide->getOverlayPixelValue(x, y, r, g, b);
            taken.push_back(r);
        }
    }
    EXPECT_EQ(taken, (std::vector<int>{0, 2, 4, 6, 16, 18, 20, 22}));

    auto narrow = Model(R"({"Name": ")" + UniqueName("scale3") + R"(", "Width": 3, "Height": 1})");
    const unsigned char two[6] = {10, 11, 12, 20, 21, 22};
    narrow->setScaledData(two, 2, 1);
    EXPECT_EQ(Bytes(narrow->getChannelData(), narrow->getChannelData() + 9),
              (Bytes{10, 11, 12, 10, 11, 12, 20, 21, 22}));
}

TEST(PixelOverlayModel, SwitchingOffWaitsBrieflyForAPendingUpdate) {
    auto model = Model(R"({"Name": ")" + UniqueName("off") + R"(", "Width": 2, "Height": 1})");
    model->setState(PixelOverlayState::Opaque);
    auto started = std::chrono::steady_clock::now();
    model->setState(PixelOverlayState::Off);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(50));
    model->setState(PixelOverlayState::Opaque);
    model->setBufferIsDirty(true); // nothing lays it over, so it stays dirty
    started = std::chrono::steady_clock::now();
    model->setState(PixelOverlayState::Off);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(90));
    EXPECT_EQ(model->getState(), PixelOverlayState::Off);
}

class OneShot : public RunningEffect {
public:
    OneShot(PixelOverlayModel* m, bool* gone) : RunningEffect(m), deleted(gone) {}
    ~OneShot() override { *deleted = true; }
    int update() override { return 0; }
    bool* deleted;
};

TEST(PixelOverlayModel, EffectsRunUntilTheirUpdateSaysTheyAreOver) {
    auto model = Model(R"({"Name": ")" + UniqueName("fx") + R"(", "Width": 2, "Height": 2})");
    bool deleted = false;
    model->setRunningEffect(new OneShot(model.get(), &deleted), 10);
    EXPECT_EQ(model->updateRunningEffects(), 0);
    EXPECT_TRUE(deleted);
    EXPECT_FALSE(model->isEffectRunning());

    EXPECT_FALSE(model->applyEffect("true", "No Such Effect", {}));
    EXPECT_FALSE(model->applyEffect("true", "Color Fade", {"#000000", "white", "100"}));
    ASSERT_TRUE(model->applyEffect("False", "Color Fade", {"#000000", "#FF8000", "0"}));
    EXPECT_EQ(model->getState(), PixelOverlayState::Opaque) << "only \"false\" keeps the model off";
    EXPECT_EQ(model->updateRunningEffects(), 0) << "a fade of no time is over at once";
    EXPECT_EQ(Bytes(model->getChannelData(), model->getChannelData() + 3), (Bytes{0xFF, 0x80, 0}));

    ASSERT_TRUE(model->applyEffect("true", "Bars", {"Right", "1", "1000", "#010101,#020202"}));
    EXPECT_GT(model->updateRunningEffects(), 0);
    model->stopRunningEffect();
    EXPECT_FALSE(model->isEffectRunning());
}

} // namespace
