// Interface addresses, masks and gateways read from a namespace whose interfaces the test made.

#include "platform/NetworkInterfaces.h"
#include "support/NetNamespace.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

class NetworkInterfaces : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(EnterPrivateNetworkNamespace()); }
    void SetUp() override {
        ASSERT_TRUE(
            RunCommand("ip link add kn0 type veth peer name kn1 && ip addr add 192.0.2.5/24 dev kn0 && "
                       "ip addr add 192.0.2.6/24 dev kn0 && ip link set kn0 up && ip link set kn1 up && "
                       "ip route add default via 192.0.2.254 dev kn0"));
    }
    void TearDown() override { RunCommand("ip link del kn0"); }
};

TEST_F(NetworkInterfaces, GivesTheAddressMaskAndGatewayOfAnInterface) {
    char address[16], mask[16], gateway[16];
    ASSERT_TRUE(GetInterfaceAddress("kn0", address, mask, gateway));
    EXPECT_STREQ("192.0.2.5", address);
    EXPECT_STREQ("255.255.255.0", mask);
    EXPECT_STREQ("192.0.2.254", gateway);
    ASSERT_TRUE(GetInterfaceAddress("lo", address, nullptr, gateway));
    EXPECT_STREQ("127.0.0.1", address);
    EXPECT_STREQ("", gateway);
}

TEST_F(NetworkInterfaces, AnInterfaceWithoutIPv4HasNoAddress) {
    char address[16] = "junk";
    EXPECT_FALSE(GetInterfaceAddress("kn1", address, nullptr, nullptr));
    EXPECT_STREQ("", address);
    EXPECT_FALSE(GetInterfaceAddress("no-such-if", address, nullptr, nullptr));
}

TEST_F(NetworkInterfaces, ListsEveryInterfaceAddressPair) {
    std::vector<std::string> seen;
    for (const auto& i : GetIPv4Interfaces()) {
        char text[16];
        inet_ntop(AF_INET, &i.address, text, sizeof(text));
        seen.push_back(i.name + "=" + text);
    }
    EXPECT_EQ((std::vector<std::string>{"lo=127.0.0.1", "kn0=192.0.2.5", "kn0=192.0.2.6"}), seen);
}
