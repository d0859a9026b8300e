// Which serial ports the real daemon takes: --ignore leaves a port wholly alone (a PC's serial
// console), --ports (here from a configuration file) takes adapters the built-in filter does
// not.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <regex>
#include <string>

#include "testsupport.h"

using namespace testing_support;

namespace {

const Bytes VERSION_REQUEST = dataFrame(0, 2, 2, {});

// The first frame the daemon writes to a port: its version request.
std::string firstFrame(Pty& pty) {
    Bytes bytes = pty.readAtLeast(VERSION_REQUEST.size(), 10000ms);
    bytes.resize(std::min(bytes.size(), VERSION_REQUEST.size()));
    return hex(bytes);
}

// Whether the terminal is held for exclusive use (TIOCEXCL), which root could open past.
bool locked(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno == EBUSY;
    }
    int exclusive = 0;
    ::ioctl(fd, TIOCGEXCL, &exclusive);
    ::close(fd);
    return exclusive != 0;
}

}  // namespace

TEST(PortsE2E, IgnoredPortIsNeitherOpenedNorLockedNorWrittenTo) {
    TempDir dir;
    Pty console;
    Pty board;
    dir.link("ttyS0", console.slavePath());
    dir.link("ttyUSB0", board.slavePath());
    Process daemon({benchdPath(), "--dev-dir", dir.path(), "--port", std::to_string(freePort()),
                    "--ignore", "ttyS*", "--monitor-port", "0"});

    ASSERT_TRUE(daemon.waitForOut("Connect to: [" + dir.path() + "/ttyUSB0]\n", 10000ms))
        << daemon.out() << daemon.err();
    EXPECT_EQ(firstFrame(board), hex(VERSION_REQUEST));
    // Both would have been opened in the same pass, ttyS0 first: by now it would have had its
    // version request too.
    EXPECT_TRUE(console.readFor(300ms).empty());
    EXPECT_EQ(daemon.out().find("ttyS0"), std::string::npos) << daemon.out();
    EXPECT_FALSE(locked(console.slavePath()));
    EXPECT_TRUE(locked(board.slavePath()));
}

TEST(PortsE2E, PortsFromTheConfigurationFileTakeOnlyTheirGlobs) {
    TempDir dir;
    TempDir etc;
    const std::string config = etc.path() + "/benchd.conf";
    std::ofstream(config) << "# the bench's adapters show up as ttyACM\nports = ttyACM*\nport = "
                             "0\nmonitor-port = 0\n";
    Pty adapter;
    Pty usb;
    dir.link("ttyACM0", adapter.slavePath());
    dir.link("ttyUSB0", usb.slavePath());
    Process daemon({benchdPath(), "--config", config, "--dev-dir", dir.path()});

    ASSERT_TRUE(daemon.waitForOut("Connect to: [" + dir.path() + "/ttyACM0]\n", 10000ms))
        << daemon.out() << daemon.err();
    EXPECT_EQ(firstFrame(adapter), hex(VERSION_REQUEST));
    EXPECT_TRUE(usb.readFor(300ms).empty());
    EXPECT_EQ(daemon.out().find("ttyUSB0"), std::string::npos) << daemon.out();

    // Port 0 from the file: the port the system picked is printed, and it serves.
    std::smatch listening;
    const std::string out = daemon.out();
    ASSERT_TRUE(std::regex_search(out, listening, std::regex("Listening on port (\\d+)\n"))) << out;
    TcpClient client(static_cast<uint16_t>(std::stoi(listening[1])));
    ASSERT_TRUE(client.connected());
    EXPECT_TRUE(daemon.waitForOut("Connection established.\n"));
}

// Configuration files that are no such thing: a FIFO (which nobody writes to) is refused at
// once rather than waited on, a quote left open is not taken as a glob matching nothing, and a
// NUL byte or an escape sequence in the file reaches the console escaped. Each stops the start
// with its line and status 2, before any port is looked at.
TEST(PortsE2E, ConfigurationFileEdgesStopTheStartWithTheirLine) {
    TempDir dir;
    TempDir etc;
    const std::string fifo = etc.path() + "/fifo.conf";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string quote = etc.path() + "/quote.conf";
    std::ofstream(quote) << "port = 0\nports = \"ttyUSB*\n";
    const std::string bytes = etc.path() + "/bytes.conf";
    std::ofstream(bytes) << std::string("\0po\x1B[2Jrt = 1\n", 14);
    const std::pair<std::string, std::string> cases[] = {
        {fifo, "benchd: " + fifo + " is a FIFO, not a regular file\n"},
        {quote, "benchd: " + quote + ":2: unterminated quote in the value of 'ports'\n"},
        {bytes, "benchd: " + bytes + ":1: unknown option '\\x00po\\x1B[2Jrt'\n"},
    };
    for (const auto& [config, line] : cases) {
        // Should it start after all, it takes no port another test may need.
        Process daemon({benchdPath(), "--config", config, "--dev-dir", dir.path(), "--port", "0",
                        "--monitor-port", "0"});
        EXPECT_EQ(daemon.wait(10000ms), 2) << config;
        EXPECT_EQ(daemon.err(), line);
        EXPECT_EQ(daemon.out(), "");
    }
}
