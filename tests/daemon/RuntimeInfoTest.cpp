// The runtime information file kiv-info.json.

#include "kivd.h"
#include "support/DaemonProcess.h"
#include "support/NetNamespace.h"
#include "support/TestMediaDir.h"

#include <gtest/gtest.h>
#include <jsoncpp/json/json.h>

#include <signal.h>

namespace {
Json::Value Systems(const std::vector<std::string>& addresses) {
    Json::Value doc;
    doc["systems"] = Json::Value(Json::arrayValue);
    for (const auto& a : addresses) {
        Json::Value s;
        s["address"] = a;
        s["hostname"] = "board";
        s["mode"] = "bridge";
        doc["systems"].append(s);
    }
    return doc;
}

Json::Value ReadJson(const std::string& text) {
    Json::Value value;
    Json::Reader().parse(text, value);
    return value;
}
} // namespace

TEST(RuntimeInfo, JoinsEveryAddressAndKeepsTheFirstSystemsOtherMembers) {
    TestMediaDir media;
    WriteRuntimeInfoFile(Systems({"192.0.2.1", "192.0.2.2", "192.0.2.3"}));
    Json::Value info = ReadJson(media.read("kiv-info.json"));
    EXPECT_EQ("192.0.2.1,192.0.2.2,192.0.2.3", info["addresses"].asString());
    EXPECT_FALSE(info.isMember("address"));
    EXPECT_EQ("board", info["hostname"].asString());
    EXPECT_EQ("bridge", info["mode"].asString());
    EXPECT_NE(std::string::npos, media.read("kiv-info.json").find("\n\t\"addresses\""));
}

TEST(RuntimeInfo, NoAddressesRemovesTheFile) {
    TestMediaDir media;
    media.write("kiv-info.json", "{}");
    WriteRuntimeInfoFile(Systems({}));
    EXPECT_FALSE(media.exists("kiv-info.json"));
    WriteRuntimeInfoFile(Json::Value()); // nothing at all is no addresses too
    EXPECT_FALSE(media.exists("kiv-info.json"));
}

class RuntimeInfoDaemon : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(EnterPrivateNetworkNamespace()); }
    TestMediaDir media;
};

TEST_F(RuntimeInfoDaemon, DaemonWritesTheFileOnlyWhenTheHostHasAddresses) {
    media.write("kiv-info.json", "{\"stale\": true}");
    {
        DaemonProcess daemon(media.path());
        ASSERT_TRUE(daemon.start({"-f"}));
        ASSERT_TRUE(daemon.waitForOutput("Starting main processing loop"));
        EXPECT_FALSE(media.exists("kiv-info.json")); // loopback only
        EXPECT_NE(std::string::npos, daemon.output().find("as no IP addresses found"));
        daemon.signal(SIGTERM);
        EXPECT_EQ(0, daemon.waitForExit(2000));
    }
    ASSERT_TRUE(RunCommand("ip link add ri0 type veth peer name ri1 && ip addr add 192.0.2.21/24 dev ri0 && "
                           "ip addr add 192.0.2.22/24 dev ri1 && ip link set ri0 up && ip link set ri1 up"));
    DaemonProcess daemon(media.path());
    ASSERT_TRUE(daemon.start({"-f"}));
    ASSERT_TRUE(daemon.waitForOutput("Starting main processing loop"));
    Json::Value info = ReadJson(media.read("kiv-info.json"));
    std::string addresses = info["addresses"].asString();
    EXPECT_NE(std::string::npos, addresses.find("192.0.2.21"));
    EXPECT_NE(std::string::npos, addresses.find("192.0.2.22"));
    EXPECT_EQ(std::string::npos, addresses.find("127.0.0.1"));
    daemon.signal(SIGTERM);
    EXPECT_EQ(0, daemon.waitForExit(2000));
    RunCommand("ip link del ri0");
}
