// A board on a pseudo-terminal identifies itself and reports its speed through a channel
// with its own threads; the client's queue receives both.

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>

#include "bench/decoder.h"
#include "bench/stand.h"
#include "boardoptions.h"
#include "link/channel.h"
#include "protocol/codes.h"
#include "service/outbox.h"
#include "testsupport.h"

namespace {

using namespace testing_support;

bool queuedForClient(const std::string& message) {
    MutexLock lock(tcpMutex);
    return std::find(commands.begin(), commands.end(), message) != commands.end();
}

bool contains(const Bytes& haystack, const Bytes& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
}

class DecoderIntegrationTest : public ::testing::Test {
protected:
    void SetUp() override { restore(); }
    void TearDown() override { restore(); }
    static void restore() {
        takeMessages();
        MutexLock lock(decoderMutex);
        Stand::restoreDefaults();
    }
};

TEST_F(DecoderIntegrationTest, StandIsAnnouncedAndItsSpeedReachesTheClient) {
    Pty pty;
    Channel channel(pty.openSlave(),
                    testing_support::boardOptions(true, std::chrono::milliseconds(0)));

    pty.write(dataFrame(7, codes::VERSION, 1, {1, 0, 4, 61}));
    ASSERT_TRUE(waitUntil([] { return queuedForClient("device_connected:61;"); }));
    EXPECT_EQ(channel.getDevice(), 61);
    EXPECT_TRUE(channel.isDefined());

    pty.write(dataFrame(8, codes::ROTATION_SPEED, 1, {0x00, 0x00, 0x03, 0xE8}));
    ASSERT_TRUE(waitUntil([] { return queuedForClient("device_rpm:1000;"); }));

    // Both frames were acknowledged by number, among the handshake the sender writes.
    Bytes line;
    EXPECT_TRUE(waitUntil([&] {
        const Bytes more = pty.readFor(std::chrono::milliseconds(20));
        line.insert(line.end(), more.begin(), more.end());
        return contains(line, ackFrame(7)) && contains(line, ackFrame(8));
    })) << hex(line);

    channel.retire();
}

}  // namespace
