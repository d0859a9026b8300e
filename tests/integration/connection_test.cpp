// The transport's connection over a socket pair: what is queued arrives whole and in order
// however the socket cuts it, and what the peer sends is framed with the oversized message
// told in its place.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <memory>
#include <string>
#include <vector>

#include "client/connection.h"
#include "consolecapture.h"
#include "service/consolethrottle.h"
#include "testsupport.h"

using namespace testing_support;

namespace {

struct Pair {
    Pair() {
        int fds[2] = {-1, -1};
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds), 0);
        // Small, so that the socket fills quickly.
        int size = 4096;
        ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        near = std::make_unique<Connection>(FileDescriptor(fds[0]));
        far.reset(fds[1]);
    }
    std::unique_ptr<Connection> near;
    FileDescriptor far;
};

}  // namespace

TEST(ServerConnection, QueuedMessagesArriveWholeAndInOrderThroughAFullSocket) {
    Pair pair;
    // More messages than one call hands over, and more bytes than the socket holds.
    std::string expected;
    for (int i = 0; i < 2000; ++i) {
        const std::string message = "m:" + std::to_string(i) + std::string(i % 300, 'x') + ";";
        expected += message;
        pair.near->push(std::make_shared<const std::string>(message));
    }
    EXPECT_EQ(pair.near->flush(), Connection::Flush::FULL);
    std::string received;
    char block[4096];
    EXPECT_TRUE(waitUntil([&] {
        const ssize_t n = ::recv(pair.far.get(), block, sizeof block, MSG_DONTWAIT);
        if (n > 0) {
            received.append(block, static_cast<std::size_t>(n));
        }
        pair.near->flush();
        return received.size() >= expected.size();
    }));
    EXPECT_EQ(received, expected);
    EXPECT_EQ(pair.near->pending(), 0u);
    EXPECT_EQ(pair.near->flush(), Connection::Flush::DRAINED);

    // A peer gone: the flush fails, and stays failed.
    pair.far.reset();
    pair.near->push(std::make_shared<const std::string>("late:1;"));
    EXPECT_EQ(pair.near->flush(), Connection::Flush::FAILED);
    EXPECT_EQ(pair.near->flush(), Connection::Flush::FAILED);
}

TEST(ServerConnection, ReceivedTextIsFramedAndAnOversizedMessageToldInItsPlace) {
    ConsoleCapture out{1};
    consoleThrottle().clear();
    Pair pair;
    const std::string text =
        "a:1;" + std::string(MessageFramer::MESSAGE_LIMIT + 1, 'x') + "tail;b:2;";
    ASSERT_EQ(::send(pair.far.get(), text.data(), text.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(text.size()));
    std::vector<std::string> events;
    // Bounded: the text takes a handful of 1 KB receives.
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(pair.near->receive([&](const std::string& m) { events.push_back(m); },
                                     [&] { events.push_back("<oversized>"); }),
                  Connection::Received::OPEN);
    }
    EXPECT_EQ(events, (std::vector<std::string>{"a:1", "<oversized>", "b:2"}));
    EXPECT_TRUE(out.waitFor("Message longer than 4096 bytes dropped\n"));

    pair.far.reset();
    EXPECT_EQ(pair.near->receive([](const std::string&) {}), Connection::Received::CLOSED);
}
