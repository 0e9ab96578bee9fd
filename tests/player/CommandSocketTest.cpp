#include "player/CommandSocket.h"

#include "common/CommandManager.h"
#include "common/Common.h"
#include "support/TestMediaDir.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace {

// Joins its arguments with "|" and counts its runs.
class EchoCommand : public Command {
public:
    explicit EchoCommand(int& runs) : Command("Test Echo"), count(runs) {}
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override {
        count++;
        std::string joined;
        for (auto& a : args) {
            joined += (joined.empty() ? "" : "|") + a;
        }
        return std::make_unique<Result>(joined);
    }

private:
    int& count;
};

class CommandSocket : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(EnsureMediaDirectory());
        ASSERT_GE(Command_Initialize(), 0);
        CommandManager::INSTANCE.addCommand(new EchoCommand(runs));
        client = socket(AF_UNIX, SOCK_DGRAM, 0);
    }
    void TearDown() override {
        close(client);
        CloseCommand();
        CommandManager::INSTANCE.removeCommand("Test Echo");
    }

    // Binds the client to an abstract address, so the daemon can answer it.
    void bindClient() {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::string name = "kiv-command-test-" + std::to_string(getpid());
        memcpy(addr.sun_path + 1, name.data(), name.size());
        ASSERT_EQ(bind(client, reinterpret_cast<sockaddr*>(&addr), sizeof(sa_family_t) + 1 + name.size()), 0);
    }
    void send(const std::string& text) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        strcpy(addr.sun_path, media.file("tmp/kivd.sock").c_str());
        ASSERT_EQ(
            sendto(client, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)),
            (ssize_t)text.size());
    }
    std::string reply() {
        pollfd p{client, POLLIN, 0};
        if (poll(&p, 1, 1000) != 1) {
            return "(no reply)";
        }
        char buffer[512];
        ssize_t len = recv(client, buffer, sizeof(buffer), 0);
        return std::string(buffer, len > 0 ? len : 0);
    }

    TestMediaDir media;
    int runs = 0;
    int client = -1;
};

TEST_F(CommandSocket, RunsTheNamedCommandAndAnswersWithItsResult) {
    bindClient();
    send("Test Echo,first,second\n");
    CommandProc();
    EXPECT_EQ(reply(), "first|second");
    EXPECT_EQ(runs, 1);
}

TEST_F(CommandSocket, RunsEveryPendingDatagramInOneCall) {
    send("Test Echo,1");
    send("Test Echo,2");
    send("Test Echo");
    CommandProc();
    EXPECT_EQ(runs, 3);
}

TEST_F(CommandSocket, AnswersAnUnknownCommandWithTheManagersError) {
    bindClient();
    send("No Such Command,x");
    CommandProc();
    EXPECT_EQ(reply(), "Unknown command: No Such Command");
}

TEST_F(CommandSocket, ReplacesAStaleSocketFileAndRemovesItWhenClosed) {
    CloseCommand();
    media.write("tmp/kivd.sock", "stale");
    ASSERT_GE(Command_Initialize(), 0);
    send("Test Echo");
    CommandProc();
    EXPECT_EQ(runs, 1);
    CloseCommand();
    EXPECT_FALSE(media.exists("tmp/kivd.sock"));
}

} // namespace
