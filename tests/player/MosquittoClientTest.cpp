#include "player/MosquittoClient.h"

#include "support/MosquittoBroker.h"
#include "support/NetNamespace.h"

#include <gtest/gtest.h>
#include <mosquitto.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Message = std::pair<std::string, std::string>; // topic, payload

const std::string PREFIX = "kiv/test";

// Messages collected from another thread, with a wait for a condition on them.
class Inbox {
public:
    void add(const std::string& topic, const std::string& payload) {
        std::lock_guard<std::mutex> l(lock);
        messages.emplace_back(topic, payload);
        changed.notify_all();
    }
    bool waitFor(const std::function<bool(const std::vector<Message>&)>& done, int timeoutMS = 2000) {
        std::unique_lock<std::mutex> l(lock);
        return changed.wait_for(l, std::chrono::milliseconds(timeoutMS), [&] { return done(messages); });
    }
    bool waitForPayload(const std::string& topic, const std::string& payload, int timeoutMS = 2000) {
        return waitFor(
            [&](auto& all) {
                return std::count(all.begin(), all.end(), Message{topic, payload}) > 0;
            },
            timeoutMS);
    }
    std::vector<Message> all() {
        std::lock_guard<std::mutex> l(lock);
        return messages;
    }
    void clear() {
        std::lock_guard<std::mutex> l(lock);
        messages.clear();
    }

private:
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Message> messages;
};

// Another client of the broker, written straight on libmosquitto so the client under test is
// checked against the library's own view of the wire.
class BrokerPeer {
public:
    explicit BrokerPeer(int port) {
        mosquitto_lib_init();
        m = mosquitto_new(nullptr, true, this);
        mosquitto_message_callback_set(m, [](mosquitto*, void* self, const mosquitto_message* msg) {
            static_cast<BrokerPeer*>(self)->inbox.add(
                msg->topic, std::string((const char*)msg->payload, msg->payloadlen));
        });
        mosquitto_subscribe_callback_set(m, [](mosquitto*, void* self, int, int, const int*) {
            auto* peer = static_cast<BrokerPeer*>(self);
            std::lock_guard<std::mutex> l(peer->lock);
            peer->acks++;
            peer->acked.notify_all();
        });
        connected = mosquitto_connect(m, "127.0.0.1", port, 10) == MOSQ_ERR_SUCCESS;
        mosquitto_loop_start(m);
    }
    ~BrokerPeer() {
        mosquitto_disconnect(m);
        mosquitto_loop_stop(m, false);
        mosquitto_destroy(m);
    }
    bool subscribe(const std::string& filter) {
        std::unique_lock<std::mutex> l(lock);
        int before = acks;
        if (mosquitto_subscribe(m, nullptr, filter.c_str(), 1) != MOSQ_ERR_SUCCESS) {
            return false;
        }
        return acked.wait_for(l, std::chrono::seconds(2), [&] { return acks > before; });
    }
    void publish(const std::string& topic, const std::string& payload) {
        mosquitto_publish(m, nullptr, topic.c_str(), (int)payload.size(), payload.data(), 1, false);
    }

    bool connected = false;
    Inbox inbox;

private:
    mosquitto* m = nullptr;
    std::mutex lock;
    std::condition_variable acked;
    int acks = 0;
};

bool eventually(const std::function<bool()>& condition, int timeoutMS) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMS);
    while (!condition()) {
        if (Clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class MosquittoClientWithBroker : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(EnterPrivateNetworkNamespace());
        ASSERT_TRUE(broker.start());
    }
    void TearDown() override {
        if (client) {
            Events::RemoveEventHandler(client.get());
            client.reset();
        }
        for (auto& filter : filters) {
            Events::RemoveCallback(filter);
        }
        broker.stop();
    }

    void startClient(int port = 1883) {
        client = std::make_unique<MosquittoClient>("127.0.0.1", port, PREFIX);
        ASSERT_TRUE(client->Init("", "", ""));
        Events::AddEventHandler(client.get());
    }
    void connectClient(int port = 1883) {
        startClient(port);
        ASSERT_TRUE(eventually([&] { return client->IsConnected(); }, 3000));
    }
    void addCallback(const std::string& filter) {
        filters.push_back(filter);
        Events::AddCallback(filter, [this](const std::string& topic, const std::string& payload) {
            callbacks.add(topic, payload);
        });
    }
    // Subscriptions are made in the background; until one is in place messages are dropped, so
    // send until the first arrives.
    bool publishUntilReceived(BrokerPeer& peer, const std::string& topic, const std::string& payload) {
        for (int i = 0; i < 40; i++) {
            peer.publish(PREFIX + topic, payload);
            if (callbacks.waitForPayload(topic, payload, 50)) {
                return true;
            }
        }
        return false;
    }

    MosquittoBroker broker{1883};
    std::unique_ptr<MosquittoClient> client;
    std::vector<std::string> filters;
    Inbox callbacks;
};

TEST_F(MosquittoClientWithBroker, DeliversABrokerMessageToTheCallbackWithoutThePrefix) {
    addCallback("/system/kivd/#");
    connectClient();
    BrokerPeer peer(broker.port());
    ASSERT_TRUE(peer.connected);
    EXPECT_TRUE(publishUntilReceived(peer, "/system/kivd/stop", "now"));
    EXPECT_EQ(callbacks.all().back(), (Message{"/system/kivd/stop", "now"}));
}

TEST_F(MosquittoClientWithBroker, SubscribesCallbacksAddedAfterItConnected) {
    connectClient();
    addCallback("/system/restart");
    BrokerPeer peer(broker.port());
    EXPECT_TRUE(publishUntilReceived(peer, "/system/restart", ""));
}

TEST_F(MosquittoClientWithBroker, ReceivesOnlyTopicsItsWildcardFiltersMatch) {
    addCallback("/led/+/state");
    addCallback("/end");
    connectClient();
    BrokerPeer peer(broker.port());
    ASSERT_TRUE(publishUntilReceived(peer, "/end", "sync"));
    callbacks.clear();
    for (std::string topic :
         {"/led/1/state", "/led/1/2/state", "/led/state", "/other/1/state", "/led/x/state"}) {
        peer.publish(PREFIX + topic, "on");
    }
    peer.publish("elsewhere/led/1/state", "on");
    peer.publish(PREFIX + "/end", "done");
    ASSERT_TRUE(callbacks.waitForPayload("/end", "done"));
    EXPECT_EQ(callbacks.all(),
              (std::vector<Message>{{"/led/1/state", "on"}, {"/led/x/state", "on"}, {"/end", "done"}}));
}

TEST_F(MosquittoClientWithBroker, PublishesEventsUnderItsPrefix) {
    connectClient();
    BrokerPeer peer(broker.port());
    ASSERT_TRUE(peer.subscribe(PREFIX + "/#"));
    EXPECT_TRUE(Events::Publish("/status/test", "hello"));
    EXPECT_TRUE(peer.inbox.waitForPayload(PREFIX + "/status/test", "hello"));
}

TEST_F(MosquittoClientWithBroker, CachesTheLastPayloadOfEachTopic) {
    addCallback("/cache/#");
    connectClient();
    BrokerPeer peer(broker.port());
    ASSERT_TRUE(publishUntilReceived(peer, "/cache/a", "first"));
    peer.publish(PREFIX + "/cache/a", "second");
    peer.publish(PREFIX + "/cache/b", "other");
    ASSERT_TRUE(callbacks.waitForPayload("/cache/b", "other"));
    Json::Value cache;
    client->dumpMessageCache(cache);
    EXPECT_EQ(cache[PREFIX + "/cache/a"].asString(), "second");
    EXPECT_EQ(cache[PREFIX + "/cache/b"].asString(), "other");
    EXPECT_EQ(cache.size(), 2u);
}

TEST_F(MosquittoClientWithBroker, AnnouncesReadinessAsARetainedMessage) {
    connectClient();
    Events::Ready();
    std::string topic = PREFIX + MosquittoClient::READY_TOPIC;
    BrokerPeer later(broker.port());
    ASSERT_TRUE(later.subscribe(topic));
    EXPECT_TRUE(later.inbox.waitForPayload(topic, "1"));
    Events::PrepareForShutdown();
    EXPECT_TRUE(later.inbox.waitForPayload(topic, "0"));
}

TEST_F(MosquittoClientWithBroker, TakesPortZeroAsTheStandardPort) {
    ASSERT_EQ(broker.port(), 1883);
    connectClient(0);
}

TEST_F(MosquittoClientWithBroker, ConnectsWhenTheBrokerComesUpLater) {
    broker.stop();
    auto start = Clock::now();
    startClient();
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_FALSE(client->IsConnected());
    ASSERT_TRUE(broker.start());
    EXPECT_TRUE(eventually([&] { return client->IsConnected(); }, 4000));
}

TEST_F(MosquittoClientWithBroker, SubscribesAgainAfterTheBrokerRestarts) {
    addCallback("/system/kivd/#");
    connectClient();
    broker.stop();
    ASSERT_TRUE(eventually([&] { return !client->IsConnected(); }, 2000));
    ASSERT_TRUE(broker.start());
    ASSERT_TRUE(eventually([&] { return client->IsConnected(); }, 4000));
    BrokerPeer peer(broker.port());
    EXPECT_TRUE(publishUntilReceived(peer, "/system/kivd/restart", "again"));
}

class MosquittoClientSetUp : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(EnterPrivateNetworkNamespace()); }
};

TEST_F(MosquittoClientSetUp, NeitherInitNorDeleteWaitsForABrokerThatIsNotThere) {
    auto start = Clock::now();
    auto client = std::make_unique<MosquittoClient>("127.0.0.1", 1999, PREFIX);
    EXPECT_TRUE(client->Init("user", "secret", ""));
    EXPECT_FALSE(client->IsConnected());
    client.reset();
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
}

TEST_F(MosquittoClientSetUp, FailsWhenTheHostDoesNotResolve) {
    MosquittoClient client("no-such-broker.invalid", 1883, PREFIX);
    EXPECT_FALSE(client.Init("", "", ""));
}

TEST_F(MosquittoClientSetUp, FailsWhenTheCaFileCannotBeRead) {
    MosquittoClient client("127.0.0.1", 1883, PREFIX);
    EXPECT_FALSE(client.Init("", "", "/nonexistent/ca.pem"));
}

} // namespace
