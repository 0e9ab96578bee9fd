#pragma once
// A real mosquitto broker process on 127.0.0.1 for tests (inside the test's network namespace),
// and a publish through the mosquitto_pub client.

#include <string>

class MosquittoBroker {
public:
    explicit MosquittoBroker(int port = 1883);
    ~MosquittoBroker();
    // Starts the broker and waits until it accepts connections; false when it did not come up.
    bool start();
    void stop();
    int port() const { return brokerPort; }
    // One message published with mosquitto_pub; true when the client exited 0.
    bool publish(const std::string& topic, const std::string& payload) const;

private:
    int brokerPort;
    int brokerPid = -1;
    std::string configPath;
};
