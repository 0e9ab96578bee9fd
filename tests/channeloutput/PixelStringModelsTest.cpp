#include "PixelStringFixture.h"

#include "overlays/PixelOverlayManager.h"

namespace {

// What an automatic model's definition says, for comparing whole lists.
struct OverlayModelDefinition {
    std::string name;
    int startChannel = 0; // 0-based
    int channelCount = 0;
    int channelsPerNode = 3;
    std::string orientation;
    std::string startCorner;
    int strings = 0;
    int strands = 1;
    bool operator==(const OverlayModelDefinition&) const = default;
};

OverlayModelDefinition DefinitionOf(const PixelOverlayModel& model) {
    Json::Value json;
    model.toJson(json);
    return {json["Name"].asString(),        json["StartChannel"].asInt() - 1,
            json["ChannelCount"].asInt(),   json["ChannelCountPerNode"].asInt(),
            json["Orientation"].asString(), json["StartCorner"].asString(),
            json["StringCount"].asInt(),    json["StrandsPerString"].asInt()};
}

class PixelStringModels : public PixelStringFixture {
protected:
    void SetUp() override {
        PixelStringFixture::SetUp();
        PixelOverlayManager::INSTANCE.clearModels();
        PixelOverlayManager::INSTANCE.setAutoCreatePixelOverlayModels(true);
    }
    void TearDown() override {
        PixelOverlayManager::INSTANCE.clearModels();
        PixelStringFixture::TearDown();
    }

    // Models made for ports built from the given virtual string lists, in port order.
    std::vector<OverlayModelDefinition> ModelsFor(const std::vector<std::string>& ports) {
        std::vector<std::unique_ptr<PixelString>> owned;
        std::vector<PixelString*> strings;
        for (const std::string& list : ports) {
            owned.push_back(list.front() == '{' ? PortFrom(list, true) : Port(list));
            strings.push_back(owned.back().get());
        }
        PixelString::AutoCreateOverlayModels(strings);
        std::vector<OverlayModelDefinition> definitions;
        for (const auto& model : PixelOverlayManager::INSTANCE.getModels()) {
            definitions.push_back(DefinitionOf(*model));
        }
        return definitions;
    }
};

OverlayModelDefinition Model(const std::string& name, int start, int count, int perNode,
                             const char* orientation, int strings) {
    return {name, start, count, perNode, orientation, "BL", strings, 1};
}

TEST_F(PixelStringModels, NamesUndescribedStringsAfterTheirPortAndPlace) {
    auto models = ModelsFor({"[{\"pixelCount\": 10}, {\"pixelCount\": 5, \"startChannel\": 30}]",
                             "[{\"pixelCount\": 4, \"startChannel\": 100, \"colorOrder\": \"W\"}]"});
    EXPECT_EQ(models, (std::vector<OverlayModelDefinition>{Model("String-1A-1", 0, 30, 3, "H", 1),
                                                           Model("String-1A-2", 30, 15, 3, "H", 1),
                                                           Model("String-2", 100, 4, 1, "H", 1)}));
}

TEST_F(PixelStringModels, GathersStrandsIntoOneModelInStrandOrder) {
    auto models =
        ModelsFor({"[{\"pixelCount\": 100, \"startChannel\": 300, \"description\": \"Arch-str-2\"},"
                   " {\"pixelCount\": 100, \"startChannel\": 0, \"description\": \"Arch-str-1\"},"
                   " {\"pixelCount\": 50, \"startChannel\": 900, \"description\": \"Mega Tree-str-5\","
                   "  \"colorOrder\": \"RGBW\", \"groupCount\": 2},"
                   " {\"pixelCount\": 50, \"startChannel\": 700, \"description\": \"Mega Tree-str-5\"},"
                   " {\"pixelCount\": 0, \"description\": \"Spare\"}]"});
    EXPECT_EQ(models, (std::vector<OverlayModelDefinition>{Model("Arch", 0, 600, 3, "H", 2),
                                                           Model("Mega Tree", 700, 150, 3, "V", 1)}));
}

TEST_F(PixelStringModels, TakesTheWidestNodeAndOrientsByName) {
    auto models =
        ModelsFor({"[{\"pixelCount\": 10, \"description\": \"Vertical bars-str-1\"},"
                   " {\"pixelCount\": 10, \"startChannel\": 30, \"colorOrder\": \"WRGB\","
                   "  \"description\": \"Vertical bars-str-2\", \"groupCount\": 2},"
                   " {\"pixelCount\": 2, \"startChannel\": 90, \"description\": \"Roof-str-x\"},"
                   " {\"pixelCount\": 2, \"startChannel\": 96, \"description\": \"Roof-str-99999\"}]"});
    EXPECT_EQ(models, (std::vector<OverlayModelDefinition>{Model("Roof", 90, 12, 3, "H", 2),
                                                           Model("Vertical bars", 0, 50, 4, "V", 2)}));
}

TEST_F(PixelStringModels, LeavesExistingModelsAndDisabledManagersAlone) {
    PixelOverlayManager::INSTANCE.addAutoOverlayModel("Arch", 5, 7, 3, "H", "TL", 1, 1);
    auto models = ModelsFor({"[{\"pixelCount\": 10, \"description\": \"Arch\"}]"});
    EXPECT_EQ(models, (std::vector<OverlayModelDefinition>{{"Arch", 5, 7, 3, "H", "TL", 1, 1}}));
    PixelOverlayManager::INSTANCE.clearModels();
    PixelOverlayManager::INSTANCE.setAutoCreatePixelOverlayModels(false);
    EXPECT_TRUE(ModelsFor({"[{\"pixelCount\": 10}]"}).empty());
}

// Receiver strings and unlit fill-in pixels are named, so the letters follow the receivers, but
// they get no model of their own and spoil no other one.
TEST_F(PixelStringModels, GivesSmartReceiverStringsNoModel) {
    auto models = ModelsFor({"{\"differentialType\": 3, \"virtualStrings\": [{\"pixelCount\": 10},"
                             " {\"pixelCount\": 10, \"startChannel\": 30}],"
                             " \"virtualStringsC\": [{\"pixelCount\": 2, \"startChannel\": 60}]}"});
    EXPECT_EQ(models, (std::vector<OverlayModelDefinition>{Model("String-1A-1", 0, 30, 3, "H", 1),
                                                           Model("String-1A-2", 30, 30, 3, "H", 1),
                                                           Model("String-1C-1", 60, 6, 3, "H", 1)}));
}

} // namespace
