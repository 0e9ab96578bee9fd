#include "CommandSocket.h"

#include "common/CommandManager.h"
#include "common/Common.h"
#include "common/Log.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

int commandSocket = -1; // the bound socket, -1 when closed
std::string socketPath; // where it is bound, to unlink at close

void runDatagram(const std::string& text, const sockaddr_un& from, socklen_t fromLen) {
    std::vector<std::string> parts = split(text, ',');
    if (parts.empty() || parts[0].empty()) {
        LogWarn(LG_COMMAND, "Empty command on the command socket\n");
        return;
    }
    std::string name = parts[0];
    parts.erase(parts.begin());
    LogDebug(LG_COMMAND, "Command socket: %s\n", text.c_str());
    std::unique_ptr<Command::Result> result = CommandManager::INSTANCE.run(name, parts);
    std::string reply = result ? result->get() : "";
    if (fromLen > sizeof(sa_family_t)) {
        sendto(commandSocket, reply.data(), reply.size(), MSG_DONTWAIT,
               reinterpret_cast<const sockaddr*>(&from), fromLen);
    }
}

} // namespace

int Command_Initialize() {
    socketPath = getKIVMediaDir("/tmp/kivd.sock");
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof(addr.sun_path)) {
        LogErr(LG_COMMAND, "Command socket path too long: %s\n", socketPath.c_str());
        return -1;
    }
    strcpy(addr.sun_path, socketPath.c_str());
    unlink(socketPath.c_str());
    commandSocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (commandSocket < 0 || bind(commandSocket, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        LogErr(LG_COMMAND, "Could not create the command socket %s: %s\n", socketPath.c_str(),
               strerror(errno));
        CloseCommand();
        return -1;
    }
    SetFilePerms(socketPath);
    return commandSocket;
}

void CommandProc() {
    char buffer[4096];
    sockaddr_un from{};
    socklen_t fromLen = sizeof(from);
    ssize_t len;
    while (commandSocket >= 0 && (len = recvfrom(commandSocket, buffer, sizeof(buffer), 0,
                                                 reinterpret_cast<sockaddr*>(&from), &fromLen)) >= 0) {
        std::string text(buffer, len);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        runDatagram(text, from, fromLen);
        fromLen = sizeof(from);
    }
}

void CloseCommand() {
    if (commandSocket >= 0) {
        close(commandSocket);
    }
    commandSocket = -1;
    if (!socketPath.empty()) {
        unlink(socketPath.c_str());
    }
    socketPath.clear();
}
