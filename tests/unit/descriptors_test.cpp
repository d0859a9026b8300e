#include "service/descriptors.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "testsupport.h"

using testing_support::DescriptorSqueeze;

TEST(Descriptors, ObserversAreRefusedFirstThenPortsWait) {
    // Descriptors left, and who may still take one: an optional connection keeps the reserve
    // free, a port only the last few.
    const long cases[] = {0, 1, descriptors::PORT_FLOOR - 1, descriptors::PORT_FLOOR, 16, 17, 30};
    for (long left : cases) {
        SCOPED_TRACE(left);
        DescriptorSqueeze squeeze(static_cast<int>(left));
        const long available = descriptors::available();
        const long reserve = descriptors::reserve();
        const bool optional = descriptors::roomForOptional();
        const bool port = descriptors::roomForPort();
        const long limit = descriptors::limit();
        EXPECT_EQ(limit, squeeze.limit());
        EXPECT_EQ(available, left);
        EXPECT_GT(reserve, descriptors::PORT_FLOOR) << "observers go before the ports";
        EXPECT_EQ(optional, left > reserve);
        EXPECT_EQ(port, left >= descriptors::PORT_FLOOR);
    }
}

TEST(SpareDescriptor, TakesTheConnectionWhenTheProcessIsOutOfDescriptors) {
    FileDescriptor listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener.get(), 4), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
    FileDescriptor first(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    FileDescriptor second(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::connect(first.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::connect(second.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    SpareDescriptor spare;
    ASSERT_TRUE(spare.held());

    FileDescriptor taken;
    {
        DescriptorSqueeze squeeze(0);
        // A plain accept fails and leaves the connection queued: a listener that polls it
        // again at once would spin.
        ASSERT_EQ(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC), -1);
        EXPECT_EQ(errno, EMFILE);
        taken.reset(spare.accept(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        EXPECT_TRUE(taken.valid());
        EXPECT_FALSE(spare.held());
        // With the spare gone, the next one waits, and the spare cannot be taken again yet.
        EXPECT_EQ(spare.accept(listener.get(), nullptr, nullptr, SOCK_CLOEXEC), -1);
        EXPECT_EQ(errno, EMFILE);
        EXPECT_FALSE(spare.replenish());
    }
    // The connection taken is the first one, whole.
    ASSERT_EQ(::write(first.get(), "x", 1), 1);
    char byte = 0;
    EXPECT_EQ(::read(taken.get(), &byte, 1), 1);
    EXPECT_EQ(byte, 'x');
    EXPECT_TRUE(spare.replenish());
    FileDescriptor next(spare.accept(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    EXPECT_TRUE(next.valid());
    EXPECT_TRUE(spare.held());
}
