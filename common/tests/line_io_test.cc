#include "common/line_io.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

namespace {

using pnocamera::LineBuffer;

TEST(LineBuffer, HandsOutCompleteLinesOnly) {
    LineBuffer in;
    std::string line = "old";
    EXPECT_FALSE(in.takeLine(line));
    EXPECT_EQ(line, "old");
    in.append("one\ntw", 6);
    EXPECT_TRUE(in.takeLine(line));
    EXPECT_EQ(line, "one");
    EXPECT_FALSE(in.takeLine(line));
    EXPECT_EQ(in.size(), 2u);
    in.append("o\n\n", 3);
    EXPECT_TRUE(in.takeLine(line));
    EXPECT_EQ(line, "two");
    EXPECT_TRUE(in.takeLine(line));
    EXPECT_EQ(line, "");
    EXPECT_TRUE(in.empty());
}

TEST(LineBuffer, ReceivesWhatWasSentWhole) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    std::string text(10000, 'x');
    text += "\nrest";
    ASSERT_TRUE(pnocamera::sendAll(fds[0], text.data(), text.size()));
    shutdown(fds[0], SHUT_WR);
    LineBuffer in;
    std::string line;
    while (!in.takeLine(line)) ASSERT_GT(in.receive(fds[1]), 0);
    EXPECT_EQ(line, std::string(10000, 'x'));
    while (in.receive(fds[1]) > 0) {
    }
    EXPECT_EQ(in.receive(fds[1]), 0) << "the peer closed";
    EXPECT_EQ(in.size(), 4u);
    close(fds[1]);
    // a closed peer: false and EPIPE, not SIGPIPE
    EXPECT_FALSE(pnocamera::sendAll(fds[0], "x", 1));
    EXPECT_EQ(errno, EPIPE);
    close(fds[0]);
}

}  // namespace
