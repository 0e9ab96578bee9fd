// The firmware mailbox's request layout and the reading of its "get_throttled" replies.

#include "platform/FirmwareMailbox.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace FirmwareMailbox;

TEST(FirmwareMailbox, LaysOutAGeneralCommandRequest) {
    Request request = BuildGeneralCommand("get_throttled");
    ASSERT_EQ(1052u, sizeof(request));
    EXPECT_EQ(1052u, request[0]);
    EXPECT_EQ(0u, request[1]) << "request code";
    EXPECT_EQ(0x00030080u, request[2]);
    EXPECT_EQ(1024u, request[3]);
    EXPECT_EQ(0u, request[4]);
    EXPECT_EQ(0u, request[5]);
    const char* text = reinterpret_cast<const char*>(request.data()) + 24;
    EXPECT_STREQ("get_throttled", text);
    EXPECT_EQ(0u, request.back()) << "end tag";
}

TEST(FirmwareMailbox, CutsAnOverlongCommandAndKeepsTheEndTag) {
    Request request = BuildGeneralCommand(std::string(2000, 'x'));
    EXPECT_EQ(0u, request.back());
    EXPECT_EQ(1052u - 4 - 24 - 1, ReplyText(request).size());
}

TEST(FirmwareMailbox, ReadsAReplyOnlyUpToTheBufferEvenWithoutItsZero) {
    Request request{};
    std::memset(reinterpret_cast<char*>(request.data()), 'y', sizeof(request));
    EXPECT_EQ(1052u - 4 - 24, ReplyText(request).size());
}

TEST(FirmwareMailbox, ParsesOnlyThrottledHexReplies) {
    struct Case {
        const char* reply;
        bool parsed;
        unsigned long flags;
    };
    const Case cases[] = {
        {"throttled=0x0", true, 0},
        {"throttled=0x50005", true, 0x50005},
        {"throttled=0x1\n", true, 1},
        {"throttled=0xA", true, 10},
        {"throttled=0x", false, 0},
        {"throttled=0xzz", false, 0},
        {"throttled=0x1z", false, 0},
        {"throttled=1", false, 0},
        {"", false, 0},
        {"error=1 error_msg=\"x\"", false, 0},
    };
    for (const auto& c : cases) {
        unsigned long flags = 99;
        EXPECT_EQ(c.parsed, ParseThrottled(c.reply, flags)) << c.reply;
        if (c.parsed) {
            EXPECT_EQ(c.flags, flags) << c.reply;
        }
    }
}
