#include "player/MultiSync.h"

#include "common/Common.h"
#include "common/Settings.h"
#include "player/Version.h"
#include "support/NetNamespace.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>

namespace {

class MultiSyncSystems : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(EnterPrivateNetworkNamespace()); }
    // Deleting one end of a veth pair deletes both.
    void TearDown() override { RunCommand("ip link del v0 2>/dev/null"); }

    static void makeVethPair() {
        ASSERT_TRUE(RunCommand("ip link add v0 type veth peer name v1"));
        ASSERT_TRUE(RunCommand("ip addr add 192.0.2.1/24 dev v0"));
        ASSERT_TRUE(RunCommand("ip addr add 192.0.2.2/24 dev v1"));
        ASSERT_TRUE(RunCommand("ip link set v0 up && ip link set v1 up"));
    }

    // "address interface" of every entry, sorted: interface order is the kernel's.
    static std::vector<std::string> listed() {
        Json::Value systems = MultiSync::INSTANCE.GetSystems(true, false);
        std::vector<std::string> entries;
        for (const auto& system : systems["systems"]) {
            entries.push_back(system["address"].asString() + " " + system["interface"].asString());
        }
        std::sort(entries.begin(), entries.end());
        return entries;
    }
};

TEST_F(MultiSyncSystems, ListsNoSystemWhenOnlyLoopbackIsUp) {
    Json::Value systems = MultiSync::INSTANCE.GetSystems(true, false);
    ASSERT_TRUE(systems["systems"].isArray());
    EXPECT_EQ(systems["systems"].size(), 0u);
}

TEST_F(MultiSyncSystems, ListsEachEndOfAVethPairWithItsInterface) {
    makeVethPair();
    EXPECT_EQ(listed(), (std::vector<std::string>{"192.0.2.1 v0", "192.0.2.2 v1"}));
}

TEST_F(MultiSyncSystems, DescribesThisHostInEveryEntry) {
    makeVethPair();
    SetSetting("kivMode", "bridge");
    char host[256] = {};
    gethostname(host, sizeof(host) - 1);
    Json::Value systems = MultiSync::INSTANCE.GetSystems(true, false);
    ASSERT_EQ(systems["systems"].size(), 2u);
    for (const auto& system : systems["systems"]) {
        EXPECT_EQ(system["hostname"].asString(), host);
        EXPECT_EQ(system["version"].asString(), getKIVVersion());
        EXPECT_EQ(system["mode"].asString(), getKIVmodeName(BRIDGE_MODE));
        EXPECT_EQ(system["type"].asString(), "kivd");
        EXPECT_FALSE(system.isMember("lastSeen"));
    }
    SetSetting("kivMode", "player");
}

TEST_F(MultiSyncSystems, ListsEveryAddressOfAnInterfaceButNeverLoopback) {
    makeVethPair();
    ASSERT_TRUE(RunCommand("ip addr add 192.0.2.3/24 dev v0"));
    EXPECT_EQ(listed(), (std::vector<std::string>{"192.0.2.1 v0", "192.0.2.2 v1", "192.0.2.3 v0"}));
}

TEST_F(MultiSyncSystems, LeavesOutAnInterfaceThatIsDown) {
    makeVethPair();
    ASSERT_TRUE(RunCommand("ip link set v1 down"));
    EXPECT_EQ(listed(), std::vector<std::string>{"192.0.2.1 v0"});
}

TEST_F(MultiSyncSystems, StampsEntriesWithTheTimeTheyWereSeenWhenAsked) {
    makeVethPair();
    long before = time(nullptr);
    Json::Value systems = MultiSync::INSTANCE.GetSystems(true, true);
    long after = time(nullptr);
    ASSERT_EQ(systems["systems"].size(), 2u);
    for (const auto& system : systems["systems"]) {
        EXPECT_GE(system["lastSeen"].asInt64(), before);
        EXPECT_LE(system["lastSeen"].asInt64(), after);
    }
}

TEST(MultiSync, StartsWithoutAControlSocket) {
    EXPECT_TRUE(MultiSync::INSTANCE.Init());
    EXPECT_EQ(multiSync, &MultiSync::INSTANCE);
    EXPECT_EQ(multiSync->GetControlSocket(), -1);
}

} // namespace

namespace {

struct ModelCase {
    const char* model;
    int type;
};

// Type numbers peers exchange; they must not change between releases.
TEST(MultiSyncModels, ModelTextsMapToTheirTypeNumbers) {
    const ModelCase cases[] = {
        {"Raspberry Pi 4 Model B", 26},
        {"Raspberry Pi 4 Model B Rev 1.4", 26},
        {"Raspberry Pi 3 Model B+", 24},
        {"Raspberry Pi 3 Model B+ Rev 1.3", 24},
        {"Raspberry Pi 3 Model B", 23},
        {"Raspberry Pi Zero 2 W", 27},
        {"Raspberry Pi 5", 30},
        {"Generic x86_64", 2},
        {"Quarn 32", 137},
        {"WLED", 251},
        {"Pi 4 Model B", 1},
        {"raspberry pi 4 model b", 1},
        {"Raspberry Pi 4 Model B Plus", 1},
        {"", 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.type, MultiSync::ModelStringToType(c.model)) << c.model;
    }
}

TEST(MultiSyncModels, TypeNumbersNameTheirModels) {
    for (int type = 0; type < 256; type++) {
        std::string name = MultiSync::GetTypeString(type);
        if (name != "Unknown" && name != "Quarn controller") {
            EXPECT_EQ(type, MultiSync::ModelStringToType(name)) << name;
        }
    }
    EXPECT_EQ("Pi 4 Model B", MultiSync::GetTypeString(26, true));
    EXPECT_EQ("HinksPix", MultiSync::GetTypeString(253, true));
    EXPECT_EQ("Quarn controller", MultiSync::GetTypeString(140));
    EXPECT_EQ("Unknown", MultiSync::GetTypeString(300));
}

} // namespace
