#include "player/NetworkMonitor.h"

#include "support/NetNamespace.h"

#include <gtest/gtest.h>
#include <poll.h>

namespace {

bool readable(int fd, int timeoutMS) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMS) == 1;
}

class NetworkMonitorSocket : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(EnterPrivateNetworkNamespace()); }
};

TEST_F(NetworkMonitorSocket, WatchesLinkAndAddressChangesThroughTheMainLoop) {
    std::map<int, std::function<bool(int)>> callbacks;
    NetworkMonitor::INSTANCE.Init(callbacks);
    ASSERT_EQ(callbacks.size(), 1u);
    auto& [fd, callback] = *callbacks.begin();

    EXPECT_FALSE(readable(fd, 0));
    ASSERT_TRUE(RunCommand("ip link add v0 type veth peer name v1 && ip addr add 192.0.2.1/24 dev v0"));
    EXPECT_TRUE(readable(fd, 1000));
    // The callback drains every pending message and never asks for output.
    EXPECT_FALSE(callback(fd));
    EXPECT_FALSE(readable(fd, 0));
    RunCommand("ip link del v0");
    EXPECT_TRUE(readable(fd, 1000));
}

TEST_F(NetworkMonitorSocket, KeepsOneSocketWhenInitialisedAgain) {
    std::map<int, std::function<bool(int)>> first, second;
    NetworkMonitor::INSTANCE.Init(first);
    NetworkMonitor::INSTANCE.Init(second);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(first.begin()->first, second.begin()->first);
}

} // namespace
