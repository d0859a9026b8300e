// The broker's name looked up without blocking: numeric addresses, answers from the hosts file
// (no name server is asked here), names refused, and lookups abandoned at once, many times,
// each child process reaped.
#include "fleet/resolver.h"

#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cerrno>

#include <algorithm>
#include <string>

#include "testsupport.h"

using namespace testing_support;

namespace {

Resolver::State waitForAnswer(Resolver& resolver) {
    Resolver::State state = resolver.poll();
    waitUntil([&] { return (state = resolver.poll()) != Resolver::State::PENDING; }, 10000ms);
    return state;
}

bool holds(const Resolver& resolver, const std::string& address) {
    const auto& all = resolver.addresses();
    return std::find(all.begin(), all.end(), address) != all.end();
}

}  // namespace

TEST(Resolver, AnswersAndFailsWithoutBlocking) {
    Resolver resolver;
    EXPECT_EQ(resolver.poll(), Resolver::State::IDLE);
    resolver.start("127.0.0.1");
    ASSERT_EQ(waitForAnswer(resolver), Resolver::State::DONE) << resolver.error();
    EXPECT_EQ(resolver.addresses(), std::vector<std::string>{"127.0.0.1"});

    resolver.start("::1");
    ASSERT_EQ(waitForAnswer(resolver), Resolver::State::DONE) << resolver.error();
    EXPECT_EQ(resolver.addresses(), std::vector<std::string>{"::1"});

    // From the hosts file; each address once, whatever the socket types.
    resolver.start("localhost");
    ASSERT_EQ(waitForAnswer(resolver), Resolver::State::DONE) << resolver.error();
    EXPECT_TRUE(holds(resolver, "127.0.0.1") || holds(resolver, "::1"));
    auto sorted = resolver.addresses();
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::unique(sorted.begin(), sorted.end()), sorted.end());

    // A name no resolver accepts, and one getent would read as an option.
    resolver.start(std::string(300, 'a'));
    EXPECT_EQ(waitForAnswer(resolver), Resolver::State::FAILED);
    EXPECT_EQ(resolver.error(), "no such host");
    EXPECT_EQ(resolver.start("-h"), Resolver::State::FAILED);
    EXPECT_TRUE(resolver.addresses().empty());
}

TEST(Resolver, AbandonedLookupsLeaveNoProcessBehind) {
    Resolver resolver;
    for (int i = 0; i < 50; ++i) {
        resolver.start("localhost");
        if (i % 2 == 0) {
            resolver.abandon();
            EXPECT_EQ(resolver.poll(), Resolver::State::IDLE);
        }
        // Otherwise the next start abandons it.
    }
    resolver.start("localhost");
    ASSERT_EQ(waitForAnswer(resolver), Resolver::State::DONE) << resolver.error();
    {
        Resolver destroyedPending;
        destroyedPending.start("localhost");
    }
    // Every child reaped: none left to wait for.
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}
