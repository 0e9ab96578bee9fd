#include "player/Events.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <vector>

namespace {

// A handler that remembers what the bus asked of it.
class RecordingHandler : public EventHandler {
public:
    bool publish(const std::string& topic, const std::string& payload) override {
        published[topic] = payload;
        return accepts;
    }
    void subscribe(const std::string& topic) override { subscribed.insert(topic); }
    void unsubscribe(const std::string& topic) override { subscribed.erase(topic); }
    void ready() override { readyCalls++; }
    void prepareForShutdown() override { shutdownCalls++; }

    bool accepts = true;
    std::map<std::string, std::string> published;
    std::set<std::string> subscribed;
    int readyCalls = 0;
    int shutdownCalls = 0;
};

class EventBus : public ::testing::Test {
protected:
    void TearDown() override {
        Events::RemoveEventHandler(&handler);
        for (auto& topic : topics) {
            Events::RemoveCallback(topic);
        }
    }
    void addCallback(const std::string& topic) {
        topics.push_back(topic);
        Events::AddCallback(topic, [this, topic](const std::string& t, const std::string& payload) {
            received.push_back(topic + " " + t + " " + payload);
        });
    }

    RecordingHandler handler;
    std::vector<std::string> topics;
    std::vector<std::string> received;
};

TEST_F(EventBus, SubscribesAHandlerToCallbacksAddedBeforeAndAfterIt) {
    addCallback("/system/kivd/#");
    Events::AddEventHandler(&handler);
    addCallback("/system/restart");
    EXPECT_EQ(handler.subscribed, (std::set<std::string>{"/system/kivd/#", "/system/restart"}));
}

TEST_F(EventBus, UnsubscribesTheHandlerWhenACallbackIsRemoved) {
    Events::AddEventHandler(&handler);
    addCallback("/a/b");
    Events::RemoveCallback("/a/b");
    EXPECT_TRUE(handler.subscribed.empty());
}

TEST_F(EventBus, CallsEveryCallbackWhoseFilterMatches) {
    addCallback("/system/kivd/#");
    addCallback("/system/+/stop");
    addCallback("/system/restart");
    Events::InvokeCallback("/system/kivd/stop", "x");
    std::sort(received.begin(), received.end());
    EXPECT_EQ(received, (std::vector<std::string>{"/system/+/stop /system/kivd/stop x",
                                                  "/system/kivd/# /system/kivd/stop x"}));
}

TEST_F(EventBus, PublishesThroughTheHandlersAndTellsWhetherAnyTookIt) {
    EXPECT_FALSE(Events::Publish("/status/x", "1"));
    Events::AddEventHandler(&handler);
    EXPECT_TRUE(Events::Publish("/status/x", "1"));
    EXPECT_EQ(handler.published["/status/x"], "1");
    handler.accepts = false;
    EXPECT_FALSE(Events::Publish("/status/x", "2"));
}

TEST_F(EventBus, PassesReadyAndShutdownToHandlersUntilRemoved) {
    Events::AddEventHandler(&handler);
    Events::AddEventHandler(&handler);
    Events::Ready();
    Events::PrepareForShutdown();
    Events::RemoveEventHandler(&handler);
    Events::Ready();
    EXPECT_EQ(handler.readyCalls, 1);
    EXPECT_EQ(handler.shutdownCalls, 1);
}

TEST(EventTopicMatching, FollowsMqttWildcardRules) {
    EXPECT_TRUE(Events::TopicMatches("/system/kivd/#", "/system/kivd/stop"));
    EXPECT_TRUE(Events::TopicMatches("/system/kivd/#", "/system/kivd"));
    EXPECT_TRUE(Events::TopicMatches("/system/kivd/#", "/system/kivd/a/b/c"));
    EXPECT_FALSE(Events::TopicMatches("/system/kivd/#", "/system/kivdx/stop"));
    EXPECT_TRUE(Events::TopicMatches("/led/+/state", "/led/1/state"));
    EXPECT_TRUE(Events::TopicMatches("/led/+/state", "/led//state"));
    EXPECT_FALSE(Events::TopicMatches("/led/+/state", "/led/1/2/state"));
    EXPECT_FALSE(Events::TopicMatches("/led/+", "/led"));
    EXPECT_TRUE(Events::TopicMatches("#", "/anything/at/all"));
    EXPECT_FALSE(Events::TopicMatches("/system/shutdown", "/system/shutdown/now"));
    EXPECT_FALSE(Events::TopicMatches("/system/shutdown/now", "/system/shutdown"));
}

TEST(EventTopicMatching, KeepsWildcardsAwayFromDollarTopics) {
    EXPECT_FALSE(Events::TopicMatches("#", "$SYS/broker/uptime"));
    EXPECT_FALSE(Events::TopicMatches("+/broker/uptime", "$SYS/broker/uptime"));
    EXPECT_TRUE(Events::TopicMatches("$SYS/#", "$SYS/broker/uptime"));
}

} // namespace
