// The broker's name looked up without blocking: answers from the hosts file and numeric
// addresses (no name server is asked here), and lookups abandoned at once, many times, freed
// whichever of the two owners lets go last (the sanitizers' builds see a leak or a use after
// free).
#include "fleet/resolver.h"

#include <gtest/gtest.h>

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

    // A name no resolver accepts fails at once, with glibc's reason.
    resolver.start(std::string(300, 'a'));
    EXPECT_EQ(waitForAnswer(resolver), Resolver::State::FAILED);
    EXPECT_FALSE(resolver.error().empty());
}

TEST(Resolver, AbandonedLookupsAreFreedAndForgotten) {
    Resolver resolver;
    for (int i = 0; i < 200; ++i) {
        resolver.start(i % 2 == 0 ? "127.0.0.1" : "localhost");
        if (i % 3 == 0) {
            resolver.abandon();
            EXPECT_EQ(resolver.poll(), Resolver::State::IDLE);
        }
        // Otherwise the next start abandons it.
    }
    resolver.start("127.0.0.2");
    ASSERT_EQ(waitForAnswer(resolver), Resolver::State::DONE) << resolver.error();
    EXPECT_EQ(resolver.addresses(), std::vector<std::string>{"127.0.0.2"});
    {
        Resolver destroyedPending;
        destroyedPending.start("localhost");
    }
}
