#include "Events.h"

#include <map>
#include <mutex>
#include <vector>

namespace {

struct EventBus {
    std::mutex lock;                                   // guards both members
    std::vector<EventHandler*> handlers;               // not owned
    std::map<std::string, Events::Callback> callbacks; // filter -> callback
};

EventBus& bus() {
    static EventBus instance;
    return instance;
}

// Topic levels, keeping empty ones: "/a//b" is "", "a", "", "b" as MQTT counts them.
std::vector<std::string> topicLevels(const std::string& topic) {
    std::vector<std::string> levels;
    size_t start = 0;
    for (size_t slash; (slash = topic.find('/', start)) != std::string::npos; start = slash + 1) {
        levels.push_back(topic.substr(start, slash - start));
    }
    levels.push_back(topic.substr(start));
    return levels;
}

std::vector<EventHandler*> copyHandlers() {
    std::lock_guard<std::mutex> l(bus().lock);
    return bus().handlers;
}

} // namespace

void Events::AddEventHandler(EventHandler* handler) {
    std::vector<std::string> topics;
    {
        std::lock_guard<std::mutex> l(bus().lock);
        for (auto* h : bus().handlers) {
            if (h == handler) {
                return;
            }
        }
        bus().handlers.push_back(handler);
        for (auto& [topic, cb] : bus().callbacks) {
            topics.push_back(topic);
        }
    }
    for (auto& topic : topics) {
        handler->subscribe(topic);
    }
}

void Events::RemoveEventHandler(EventHandler* handler) {
    std::lock_guard<std::mutex> l(bus().lock);
    std::erase(bus().handlers, handler);
}

void Events::AddCallback(const std::string& topic, Callback cb) {
    std::vector<EventHandler*> handlers;
    {
        std::lock_guard<std::mutex> l(bus().lock);
        bus().callbacks[topic] = std::move(cb);
        handlers = bus().handlers;
    }
    for (auto* h : handlers) {
        h->subscribe(topic);
    }
}

void Events::RemoveCallback(const std::string& topic) {
    std::vector<EventHandler*> handlers;
    {
        std::lock_guard<std::mutex> l(bus().lock);
        if (bus().callbacks.erase(topic) == 0) {
            return;
        }
        handlers = bus().handlers;
    }
    for (auto* h : handlers) {
        h->unsubscribe(topic);
    }
}

bool Events::Publish(const std::string& topic, const std::string& payload) {
    bool sent = false;
    for (auto* h : copyHandlers()) {
        sent = h->publish(topic, payload) || sent;
    }
    return sent;
}

void Events::PrepareForShutdown() {
    for (auto* h : copyHandlers()) {
        h->prepareForShutdown();
    }
}

void Events::Ready() {
    for (auto* h : copyHandlers()) {
        h->ready();
    }
}

void Events::InvokeCallback(const std::string& topic, const std::string& payload) {
    std::vector<Callback> matching;
    {
        std::lock_guard<std::mutex> l(bus().lock);
        for (auto& [filter, cb] : bus().callbacks) {
            if (TopicMatches(filter, topic)) {
                matching.push_back(cb);
            }
        }
    }
    for (auto& cb : matching) {
        cb(topic, payload);
    }
}

bool Events::TopicMatches(const std::string& filter, const std::string& topic) {
    std::vector<std::string> f = topicLevels(filter);
    std::vector<std::string> t = topicLevels(topic);
    if ((f[0] == "+" || f[0] == "#") && !topic.empty() && topic[0] == '$') {
        return false;
    }
    for (size_t i = 0; i < f.size(); i++) {
        if (f[i] == "#") {
            return i == f.size() - 1;
        }
        if (i >= t.size()) {
            return false;
        }
        if (f[i] != "+" && f[i] != t[i]) {
            return false;
        }
    }
    return f.size() == t.size();
}
