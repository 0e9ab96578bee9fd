#pragma once
// The event bus: named topics (relative, e.g. "/system/kivd/stop") with callbacks, and the
// handlers (the MQTT client) that carry them to and from the outside.
//
// Callbacks are matched against incoming topics with MQTT wildcard rules ("+" one level, "#" the
// rest). Every handler is subscribed to every callback topic, whichever was added first. Handlers
// are not owned. All state is guarded by one internal mutex; handlers and callbacks are called
// without it, on the caller's thread (for incoming messages, the MQTT client's network thread).

#include <functional>
#include <string>

class EventHandler {
public:
    virtual ~EventHandler() {}
    // Sends a message; true when it was handed on.
    virtual bool publish(const std::string& topic, const std::string& payload) = 0;
    // Asks the handler to deliver messages on this topic (a filter, wildcards allowed).
    virtual void subscribe(const std::string& topic) = 0;
    virtual void unsubscribe(const std::string& /*topic*/) {}
    // The daemon has started / is about to stop.
    virtual void ready() {}
    virtual void prepareForShutdown() {}
};

class Events {
public:
    using Callback = std::function<void(const std::string& topic, const std::string& payload)>;

    static void AddEventHandler(EventHandler* handler);
    static void RemoveEventHandler(EventHandler* handler);

    // One callback per topic filter; adding the same filter again replaces the callback.
    static void AddCallback(const std::string& topic, Callback cb);
    static void RemoveCallback(const std::string& topic);

    // Hands the message to every handler; true when at least one took it.
    static bool Publish(const std::string& topic, const std::string& payload);

    static void PrepareForShutdown();
    static void Ready();

    // Calls every callback whose filter matches the topic; used by handlers for incoming messages.
    static void InvokeCallback(const std::string& topic, const std::string& payload);

    // MQTT topic filter matching: "+" is one level, a final "#" this level and all below (so "a/#"
    // also matches "a"); a wildcard in the first level does not match a topic starting with "$".
    static bool TopicMatches(const std::string& filter, const std::string& topic);
};
