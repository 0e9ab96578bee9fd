#pragma once
// The MQTT client on libmosquitto: an event handler that carries the event bus's topics to and
// from a broker under a topic prefix.
//
// Topics on the bus are relative ("/system/kivd/stop"); on the wire they are PREFIX + topic. The
// connection is made in the background and kept up by libmosquitto's reconnect, so a broker that
// is down neither blocks nor fails start-up: the client's network thread retries it, after 1 s
// and then doubling up to 30 s. Incoming messages reach Events::InvokeCallback on that thread. The
// subscription set and the message cache are guarded by one mutex; "connected" is an atomic. The client owns
// its libmosquitto handle.

#include "Events.h"

#include <jsoncpp/json/json.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

struct mosquitto;
struct mosquitto_message;

class MosquittoClient : public EventHandler {
public:
    // Port 0 means 1883. A trailing "/" of the prefix is dropped, as bus topics start with "/".
    MosquittoClient(const std::string& host, int port, const std::string& topicPrefix);
    ~MosquittoClient() override;

    // Sets up the client and starts connecting. False when the host does not resolve or the
    // library refuses the set-up (credentials, TLS); true even while the broker is unreachable.
    // An empty username means no credentials; an empty caFile means no TLS.
    bool Init(const std::string& username, const std::string& password, const std::string& caFile);

    // Last payload seen per full topic: {"PREFIX/topic": "payload", ...}.
    void dumpMessageCache(Json::Value& result);
    bool IsConnected() const { return connected.load(std::memory_order_acquire); }

    bool publish(const std::string& topic, const std::string& payload) override;
    void subscribe(const std::string& topic) override;
    void unsubscribe(const std::string& topic) override;
    // Retained "1" / "0" on PREFIX + READY_TOPIC; the broker publishes "0" itself (the will)
    // when the connection is lost without a clean disconnect.
    void ready() override;
    void prepareForShutdown() override;

    static constexpr const char* READY_TOPIC = "/status/kivd/ready";

private:
    static void onConnect(mosquitto* m, void* self, int rc);
    static void onDisconnect(mosquitto* m, void* self, int rc);
    static void onMessage(mosquitto* m, void* self, const mosquitto_message* msg);

    void networkLoop();
    bool waitBeforeRetry(int seconds);
    bool hostResolves() const;
    bool configure(const std::string& username, const std::string& password, const std::string& caFile);
    void subscribeAll();
    void handleMessage(const std::string& topic, const std::string& payload);
    bool publishRaw(const std::string& topic, const std::string& payload, bool retain);

    const std::string host;
    const int port;
    const std::string prefix;
    mosquitto* mosq = nullptr;
    std::thread network; // runs libmosquitto's loop: all callbacks arrive on it
    std::atomic<bool> stopping{false};
    std::mutex waitLock; // with wake: cuts the retry wait short at deletion
    std::condition_variable wake;
    std::atomic<bool> connected{false};
    std::atomic<bool> isReady{false}; // Ready() was called: republish after a reconnect

    std::mutex lock;                          // guards topics and cache
    std::set<std::string> topics;             // relative filters to subscribe
    std::map<std::string, std::string> cache; // full topic -> last payload
};

// The daemon's client, null when MQTT is not configured; defined and owned by main (kivd.cpp).
extern MosquittoClient* mqtt;
