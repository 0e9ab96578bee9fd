#include "MosquittoBroker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

MosquittoBroker::MosquittoBroker(int port) : brokerPort(port) {}

MosquittoBroker::~MosquittoBroker() {
    stop();
}

static bool canConnect(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    close(fd);
    return ok;
}

bool MosquittoBroker::start() {
    char pattern[] = "/tmp/kiv-mosquitto-XXXXXX";
    int fd = mkstemp(pattern);
    if (fd < 0) {
        return false;
    }
    close(fd);
    configPath = pattern;
    std::ofstream(configPath) << "listener " << brokerPort << " 127.0.0.1\nallow_anonymous true\n";
    brokerPid = fork();
    if (brokerPid == 0) {
        int devNull = open("/dev/null", O_RDWR);
        dup2(devNull, 0);
        dup2(devNull, 1);
        dup2(devNull, 2);
        execlp("mosquitto", "mosquitto", "-c", configPath.c_str(), (char*)nullptr);
        _exit(127);
    }
    for (int i = 0; i < 100; i++) {
        if (canConnect(brokerPort)) {
            return true;
        }
        usleep(20000);
    }
    return false;
}

void MosquittoBroker::stop() {
    if (brokerPid > 0) {
        kill(brokerPid, SIGTERM);
        waitpid(brokerPid, nullptr, 0);
        brokerPid = -1;
    }
    if (!configPath.empty()) {
        std::remove(configPath.c_str());
        configPath.clear();
    }
}

bool MosquittoBroker::publish(const std::string& topic, const std::string& payload) const {
    std::string cmd = "mosquitto_pub -h 127.0.0.1 -p " + std::to_string(brokerPort) + " -t '" + topic +
                      "' -m '" + payload + "'";
    return system(cmd.c_str()) == 0;
}
