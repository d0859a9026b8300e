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
