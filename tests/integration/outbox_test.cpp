// The client outbox while nobody takes from it: bounded by messages and by bytes, the newest
// kept, and what is dropped said on the console.
#include <gtest/gtest.h>

#include <string>

#include "consolecapture.h"
#include "service/consolethrottle.h"
#include "service/outbox.h"

TEST(Outbox, KeepsTheNewestWithinBothBoundsAndSaysWhatItDrops) {
    const struct {
        const char* bound;
        std::size_t size;   // of each message
        std::size_t count;  // pushed
        std::size_t kept;
        const char* line;
    } cases[] = {
        {"messages", 8, COMMANDS_LIMIT + 3, COMMANDS_LIMIT,
         "Client queue full (10000 messages): dropped the oldest 1 (8 bytes); "},
        {"bytes", 1 << 20, 20, 16,
         "Client queue full (16777216 bytes): dropped the oldest 1 (1048576 bytes); "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bound);
        clearMessages();
        consoleThrottle().clear();
        ConsoleCapture out(1);
        auto message = [&](std::size_t i) {
            std::string text = "m:" + std::to_string(i) + ";";
            return text.insert(2, c.size - text.size(), '0');
        };
        for (std::size_t i = 0; i < c.count; ++i) {
            pushMessage(message(i));
        }
        EXPECT_LE(queuedMessageBytes(), COMMANDS_BYTES_LIMIT);
        EXPECT_EQ(queuedMessageBytes(), c.kept * c.size);
        std::deque<std::string> kept = takeAllMessages();
        ASSERT_EQ(kept.size(), c.kept);
        EXPECT_EQ(kept.front(), message(c.count - c.kept));
        EXPECT_EQ(kept.back(), message(c.count - 1));
        EXPECT_EQ(queuedMessageBytes(), 0u);
        // Said once; the repeats are counted for the minute's summary.
        EXPECT_EQ(out.count("Client queue full ("), 1u);
        EXPECT_EQ(out.count(c.line), 1u) << out.text();
    }
    consoleThrottle().clear();
}

// Every enabled consumer gets each message once, in the client's order, the bytes shared; one
// that does not take its copies loses the oldest at the bound, counted, while the others and
// the client lose none.
TEST(Outbox, HandsTheSameCopiesToEveryEnabledConsumer) {
    clearMessages();
    MessageCopies idle(4);
    MessageCopies taking(4);
    idle.enable(true);
    taking.enable(true);
    std::deque<SharedMessage> taken;
    uint64_t dropped = 0;
    idle.take(taken, dropped);  // nothing yet
    EXPECT_TRUE(taken.empty());
    std::deque<SharedMessage> all;
    for (std::size_t i = 0; i < COMMANDS_LIMIT + 2; ++i) {
        pushMessage("m:" + std::to_string(i) + ";");
        if (i % 1000 == 999) {
            taking.take(taken, dropped);
            all.insert(all.end(), taken.begin(), taken.end());
        }
    }
    taking.take(taken, dropped);
    all.insert(all.end(), taken.begin(), taken.end());
    EXPECT_EQ(dropped, 0u);
    ASSERT_EQ(all.size(), COMMANDS_LIMIT + 2);
    EXPECT_EQ(*all.back(), "m:" + std::to_string(COMMANDS_LIMIT + 1) + ";");

    idle.take(taken, dropped);
    EXPECT_EQ(dropped, 2u);
    ASSERT_EQ(taken.size(), COMMANDS_LIMIT);
    EXPECT_EQ(*taken.front(), "m:2;");
    EXPECT_EQ(taken.back().get(), all.back().get());  // one buffer for both
    EXPECT_EQ(takeAllMessages().size(), COMMANDS_LIMIT);

    // A disabled consumer gets nothing.
    idle.enable(false);
    pushMessage("late;");
    idle.take(taken, dropped);
    EXPECT_TRUE(taken.empty());
    taking.take(taken, dropped);
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(*taken.front(), "late;");
    clearMessages();
    consoleThrottle().clear();
}
