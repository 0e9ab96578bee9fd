#include "MosquittoClient.h"

#include "common/Common.h"
#include "common/Log.h"

#include <mosquitto.h>
#include <netdb.h>

#include <algorithm>
#include <vector>

namespace {

constexpr int DEFAULT_PORT = 1883;
constexpr int KEEPALIVE_SECONDS = 60;
constexpr int QOS = 1;
constexpr int LOOP_TIMEOUT_MS = 200;
constexpr int MIN_RETRY_SECONDS = 1;
constexpr int MAX_RETRY_SECONDS = 30;

std::string withoutTrailingSlash(const std::string& prefix) {
    if (!prefix.empty() && prefix.back() == '/') {
        return prefix.substr(0, prefix.size() - 1);
    }
    return prefix;
}

} // namespace

MosquittoClient::MosquittoClient(const std::string& h, int p, const std::string& topicPrefix)
    : host(h), port(p == 0 ? DEFAULT_PORT : p), prefix(withoutTrailingSlash(topicPrefix)) {}

MosquittoClient::~MosquittoClient() {
    if (!mosq) {
        return;
    }
    {
        std::lock_guard<std::mutex> l(waitLock);
        stopping = true;
    }
    wake.notify_all();
    // A clean disconnect: the network thread sends it (after anything queued), then ends.
    mosquitto_disconnect(mosq);
    if (network.joinable()) {
        network.join();
    }
    mosquitto_destroy(mosq);
    LogDebug(LG_CONTROL, "MQTT client for %s:%d closed\n", host.c_str(), port);
}

bool MosquittoClient::Init(const std::string& username, const std::string& password,
                           const std::string& caFile) {
    static std::once_flag libraryInit;
    std::call_once(libraryInit, [] { mosquitto_lib_init(); });

    if (!hostResolves()) {
        LogErr(LG_CONTROL, "MQTT host %s does not resolve\n", host.c_str());
        return false;
    }
    mosq = mosquitto_new(nullptr, true, this);
    if (!mosq) {
        LogErr(LG_CONTROL, "Could not create an MQTT client\n");
        return false;
    }
    if (!configure(username, password, caFile)) {
        return false;
    }

    int rc = mosquitto_connect_async(mosq, host.c_str(), port, KEEPALIVE_SECONDS);
    if (rc == MOSQ_ERR_EAI || rc == MOSQ_ERR_INVAL) {
        LogErr(LG_CONTROL, "MQTT connect to %s:%d failed: %s\n", host.c_str(), port, mosquitto_strerror(rc));
        return false;
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        LogWarn(LG_CONTROL, "MQTT broker %s:%d not reachable yet (%s), will retry\n", host.c_str(), port,
                mosquitto_strerror(rc));
    }
    network = std::thread(&MosquittoClient::networkLoop, this);
    LogInfo(LG_CONTROL, "MQTT client connecting to %s:%d with prefix '%s'\n", host.c_str(), port,
            prefix.c_str());
    return true;
}

// Resolving here, before libmosquitto does, tells a misspelt host (a configuration error) from a
// broker that is merely down.
bool MosquittoClient::hostResolves() const {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || !result) {
        return false;
    }
    freeaddrinfo(result);
    return true;
}

bool MosquittoClient::configure(const std::string& username, const std::string& password,
                                const std::string& caFile) {
    mosquitto_connect_callback_set(mosq, &MosquittoClient::onConnect);
    mosquitto_disconnect_callback_set(mosq, &MosquittoClient::onDisconnect);
    mosquitto_message_callback_set(mosq, &MosquittoClient::onMessage);
    mosquitto_log_callback_set(mosq, [](mosquitto*, void*, int, const char* text) {
        LogExcess(LG_CONTROL, "libmosquitto: %s\n", text);
    });
    mosquitto_threaded_set(mosq, true);

    std::string will = prefix + READY_TOPIC;
    int rc = mosquitto_will_set(mosq, will.c_str(), 1, "0", QOS, true);
    if (rc == MOSQ_ERR_SUCCESS && !username.empty()) {
        rc = mosquitto_username_pw_set(mosq, username.c_str(), password.empty() ? nullptr : password.c_str());
    }
    if (rc == MOSQ_ERR_SUCCESS && !caFile.empty()) {
        rc = mosquitto_tls_set(mosq, caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        LogErr(LG_CONTROL, "MQTT set-up failed (CA file '%s'): %s\n", caFile.c_str(), mosquitto_strerror(rc));
        return false;
    }
    return true;
}

// libmosquitto's own thread waits a whole keep-alive period before retrying a connection that was
// refused at once, so this loop drives the library itself: retries after 1 s, doubling to 30 s.
void MosquittoClient::networkLoop() {
    SetThreadName("KIV-MQTT");
    int delay = MIN_RETRY_SECONDS;
    while (true) {
        int rc = mosquitto_loop(mosq, LOOP_TIMEOUT_MS, 1);
        if (stopping && (rc != MOSQ_ERR_SUCCESS || !IsConnected())) {
            return;
        }
        if (rc == MOSQ_ERR_SUCCESS) {
            if (IsConnected()) {
                delay = MIN_RETRY_SECONDS;
            }
            continue;
        }
        if (!waitBeforeRetry(delay)) {
            return;
        }
        delay = std::min(delay * 2, MAX_RETRY_SECONDS);
        mosquitto_reconnect_async(mosq);
    }
}

// False when the client is being deleted.
bool MosquittoClient::waitBeforeRetry(int seconds) {
    std::unique_lock<std::mutex> l(waitLock);
    return !wake.wait_for(l, std::chrono::seconds(seconds), [this] { return stopping.load(); });
}

void MosquittoClient::onConnect(mosquitto*, void* self, int rc) {
    auto* client = static_cast<MosquittoClient*>(self);
    if (rc != 0) {
        LogWarn(LG_CONTROL, "MQTT broker refused the connection: %s\n", mosquitto_connack_string(rc));
        return;
    }
    LogInfo(LG_CONTROL, "MQTT connected to %s:%d\n", client->host.c_str(), client->port);
    client->connected = true;
    client->subscribeAll();
    if (client->isReady) {
        client->publishRaw(READY_TOPIC, "1", true);
    }
}

void MosquittoClient::onDisconnect(mosquitto*, void* self, int rc) {
    auto* client = static_cast<MosquittoClient*>(self);
    client->connected = false;
    if (rc != 0) {
        LogWarn(LG_CONTROL, "MQTT connection to %s:%d lost, reconnecting\n", client->host.c_str(),
                client->port);
    }
}

void MosquittoClient::onMessage(mosquitto*, void* self, const mosquitto_message* msg) {
    std::string payload(static_cast<const char*>(msg->payload), msg->payloadlen);
    static_cast<MosquittoClient*>(self)->handleMessage(msg->topic, payload);
}

void MosquittoClient::handleMessage(const std::string& topic, const std::string& payload) {
    LogDebug(LG_CONTROL, "MQTT message on %s: %s\n", topic.c_str(), payload.c_str());
    {
        std::lock_guard<std::mutex> l(lock);
        cache[topic] = payload;
    }
    if (topic.compare(0, prefix.size(), prefix) != 0) {
        return;
    }
    Events::InvokeCallback(topic.substr(prefix.size()), payload);
}

// Subscriptions do not survive a new (clean) session, so every connect makes them again.
void MosquittoClient::subscribeAll() {
    std::vector<std::string> filters;
    {
        std::lock_guard<std::mutex> l(lock);
        filters.assign(topics.begin(), topics.end());
    }
    for (auto& t : filters) {
        std::string full = prefix + t;
        int rc = mosquitto_subscribe(mosq, nullptr, full.c_str(), QOS);
        if (rc != MOSQ_ERR_SUCCESS) {
            LogWarn(LG_CONTROL, "MQTT subscribe to %s failed: %s\n", full.c_str(), mosquitto_strerror(rc));
        } else {
            LogDebug(LG_CONTROL, "MQTT subscribed to %s\n", full.c_str());
        }
    }
}

void MosquittoClient::subscribe(const std::string& topic) {
    {
        std::lock_guard<std::mutex> l(lock);
        topics.insert(topic);
    }
    if (mosq && IsConnected()) {
        mosquitto_subscribe(mosq, nullptr, (prefix + topic).c_str(), QOS);
    }
}

void MosquittoClient::unsubscribe(const std::string& topic) {
    {
        std::lock_guard<std::mutex> l(lock);
        topics.erase(topic);
    }
    if (mosq && IsConnected()) {
        mosquitto_unsubscribe(mosq, nullptr, (prefix + topic).c_str());
    }
}

bool MosquittoClient::publish(const std::string& topic, const std::string& payload) {
    return publishRaw(topic, payload, false);
}

bool MosquittoClient::publishRaw(const std::string& topic, const std::string& payload, bool retain) {
    if (!mosq) {
        return false;
    }
    std::string full = prefix + topic;
    int rc = mosquitto_publish(mosq, nullptr, full.c_str(), (int)payload.size(), payload.data(), QOS, retain);
    if (rc != MOSQ_ERR_SUCCESS) {
        LogDebug(LG_CONTROL, "MQTT publish to %s failed: %s\n", full.c_str(), mosquitto_strerror(rc));
        return false;
    }
    return true;
}

void MosquittoClient::ready() {
    isReady = true;
    if (IsConnected()) {
        publishRaw(READY_TOPIC, "1", true);
    }
}

void MosquittoClient::prepareForShutdown() {
    isReady = false;
    if (IsConnected()) {
        publishRaw(READY_TOPIC, "0", true);
    }
}

void MosquittoClient::dumpMessageCache(Json::Value& result) {
    std::lock_guard<std::mutex> l(lock);
    for (auto& [topic, payload] : cache) {
        result[topic] = payload;
    }
}
