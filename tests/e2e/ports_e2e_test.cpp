// Which serial ports the real daemon takes: --ignore leaves a port wholly alone (a PC's serial
// console), --ports (here from a configuration file) takes adapters the built-in filter does
// not.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
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
