// The console's queue on pipes: a stalled reader costs dropped lines, counted and reported once
// the writer gets through, never a blocked caller; lines from many threads stay whole.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "service/console.h"
#include "service/filedescriptor.h"

namespace {

using namespace std::chrono_literals;

struct Pipe {
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) == 0) {
            read.reset(fds[0]);
            write.reset(fds[1]);
        }
    }
    // Reads what comes within `timeout` until `text` is in it.
    std::string readUntil(const std::string& text, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (got.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            pollfd ready{read.get(), POLLIN, 0};
            if (::poll(&ready, 1, 50) == 1) {
                char buffer[65536];
                ssize_t n = ::read(read.get(), buffer, sizeof buffer);
                if (n <= 0) {
                    break;
                }
                got.append(buffer, static_cast<std::size_t>(n));
            }
        }
        return got;
    }
    FileDescriptor read, write;
    std::string got;
};

}  // namespace

TEST(Console, LinesBeyondTheLimitsAreDroppedCountedAndReportedOnceItDrains) {
    Pipe out, err;
    ASSERT_TRUE(out.write.valid() && err.write.valid());
    // One page of pipe: the first line alone fills it and the writer blocks on it.
    ::fcntl(out.write.get(), F_SETPIPE_SZ, 4096);
    const std::string big(16384, 'b');
    Console console(out.write.get(), err.write.get(), Console::Limits{16, 1 << 20});
    console.line(console::Stream::OUT, big);
    // Wait until the writer holds the big line alone, blocked on the full pipe: a writer that
    // starts late would take the next lines with it and tell the drops in two reports.
    int held = 0;
    for (int tries = 0; tries < 1000 && held < 4096; ++tries) {
        std::this_thread::sleep_for(5ms);
        ::ioctl(out.read.get(), FIONREAD, &held);
    }
    ASSERT_GE(held, 4096) << "the writer never filled the pipe";
    for (int i = 0; i < 100; ++i) {
        console.line(console::Stream::OUT, "line " + std::to_string(i));
    }
    // The big line holds its place until the pipe is read: 15 more fit, 85 do not.
    EXPECT_EQ(console.dropped(), 85u);
    EXPECT_FALSE(console.drain(50ms));

    std::string expected = big + "\n";
    for (int i = 0; i < 15; ++i) {
        expected += "line " + std::to_string(i) + "\n";
    }
    expected += "Console: 85 lines dropped\n";
    EXPECT_EQ(out.readUntil("dropped\n", 5000ms), expected);
    EXPECT_TRUE(console.drain(5000ms));

    // Room again: nothing more is dropped, and no report repeats.
    console.line(console::Stream::OUT, "after");
    console.line(console::Stream::ERR, "to standard error");
    EXPECT_TRUE(console.drain(5000ms));
    EXPECT_EQ(out.readUntil("after\n", 5000ms), expected + "after\n");
    EXPECT_EQ(err.readUntil("\n", 5000ms), "to standard error\n");
    EXPECT_EQ(console.dropped(), 85u);
}

TEST(Console, LinesFromManyThreadsStayWholeAndInTheirOrder) {
    Pipe out, err;
    ASSERT_TRUE(out.write.valid() && err.write.valid());
    constexpr int THREADS = 8;
    constexpr int LINES = 500;
    std::string got;
    std::thread reader([&] {
        char buffer[65536];
        ssize_t n;
        while ((n = ::read(out.read.get(), buffer, sizeof buffer)) > 0) {
            got.append(buffer, static_cast<std::size_t>(n));
        }
    });
    {
        Console console(out.write.get(), err.write.get());
        std::vector<std::thread> threads;
        for (int t = 0; t < THREADS; ++t) {
            threads.emplace_back([&console, t] {
                for (int i = 0; i < LINES; ++i) {
                    // Lengths vary, so that lines straddle the writer's chunks.
                    console.line(console::Stream::OUT, std::to_string(t) + " " + std::to_string(i) +
                                                           " " + std::string(i % 300, 'x'));
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        EXPECT_TRUE(console.drain(10000ms));
        EXPECT_EQ(console.dropped(), 0u);
    }
    out.write.reset();
    reader.join();

    std::istringstream lines(got);
    std::string line;
    int next[THREADS] = {};
    int count = 0;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        int t = -1, i = -1;
        std::string tail;
        fields >> t >> i;
        std::getline(fields, tail);
        ASSERT_TRUE(t >= 0 && t < THREADS && i == next[t]) << "line " << count << ": " << line;
        ASSERT_EQ(tail, " " + std::string(i % 300, 'x')) << line;
        ++next[t];
        ++count;
    }
    EXPECT_EQ(count, THREADS * LINES);
}

TEST(Console, EscapedShowsControlCharactersAndKeepsTheRest) {
    const struct {
        std::string text;
        std::string shown;
    } cases[] = {
        {"device_rpm:7\r\nDEVICE CONNECTED", "device_rpm:7\\r\\nDEVICE CONNECTED"},
        {"a\tb", "a\\tb"},
        {std::string("\x00\x01\x1b\x1f\x7f", 5), "\\x00\\x01\\x1B\\x1F\\x7F"},
        {"\xc3\xa9 ~ \x80\xff", "\xc3\xa9 ~ \x80\xff"},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(console::escaped(c.text), c.shown);
    }
}
