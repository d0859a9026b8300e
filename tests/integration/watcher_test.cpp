// The watcher pass by pass, over pseudo-terminals in a temporary device directory: which
// names it takes, opening and setting up ports (and ports that refuse), retiring vanished or
// lost ones, boards replaced under the same name, silence, the counters, and its thread.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/boards.h"
#include "bench/decoder.h"
#include "bench/stand.h"
#include "consolecapture.h"
#include "link/channel.h"
#include "link/channelregistry.h"
#include "link/serialwatcher.h"
#include "lockedpty.h"
#include "protocol/command.h"
#include "protocol/deviceids.h"
#include "service/consolethrottle.h"
#include "service/descriptors.h"
#include "service/runstate.h"
#include "testsupport.h"

using namespace testing_support;

namespace {

std::size_t entriesOf(const std::string& dir) {
    std::size_t count = 0;
    for (auto it = std::filesystem::directory_iterator(dir);
         it != std::filesystem::directory_iterator(); ++it) {
        ++count;
    }
    return count;
}

dev_t rdevOf(int fd) {
    struct stat info {};
    return ::fstat(fd, &info) == 0 ? info.st_rdev : 0;
}

dev_t rdevOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_rdev : 0;
}

// A new link `name` -> target put in place with one rename: the name is never missing from a
// scan, as when a board is swapped faster than the watcher looks.
void relink(const TempDir& dir, const std::string& name, const std::string& target) {
    const std::string swap = dir.path() + "/swap-link";
    ASSERT_EQ(::symlink(target.c_str(), swap.c_str()), 0);
    ASSERT_EQ(::rename(swap.c_str(), (dir.path() + "/" + name).c_str()), 0);
}

// Opening `path` as an unprivileged user: 0 when it opened, else its errno; -1 when this
// process cannot become one.
int openAsNobody(const std::string& path) {
    if (::geteuid() != 0) {
        int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        int error = errno;
        if (fd >= 0) {
            ::close(fd);
            return 0;
        }
        return error;
    }
    pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(255);
        }
        int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ::_exit(fd >= 0 ? 0 : (errno & 0x7F));
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) == 255) {
        return -1;
    }
    return WEXITSTATUS(status);
}

// Stand-ins for the terminal calls of a port's set-up: each refuses, while `refusing`, the way
// the case says, and counts its calls.
bool refusing = false;
int calls = 0;

int busyLock(int fd) {
    ++calls;
    if (refusing) {
        errno = EBUSY;
        return -1;
    }
    return TerminalCalls::real().lockExclusive(fd);
}

// Reads of the settings in one set-up: the lock starts each.
int reads = 0;

int countingLock(int fd) {
    reads = 0;
    return TerminalCalls::real().lockExclusive(fd);
}

// Refuses a set-up's first read of the settings, or its second: the read-back.
template <int REFUSED_READ>
int failingRead(int fd, termios* settings) {
    ++calls;
    if (refusing && ++reads == REFUSED_READ) {
        errno = EIO;
        return -1;
    }
    return TerminalCalls::real().getAttributes(fd, settings);
}

int slowSpeed(termios* settings, unsigned speed) {
    ++calls;
    if (refusing) {
        errno = EINVAL;
        return -1;
    }
    return TerminalCalls::real().setOutputSpeed(settings, speed);
}

int refusedSettings(int fd, int when, const termios* settings) {
    ++calls;
    if (refusing) {
        errno = EPERM;
        return -1;
    }
    return TerminalCalls::real().setAttributes(fd, when, settings);
}

// Takes the settings but for the speed, as an adapter that cannot do 115200 baud.
int keepsItsSpeed(int fd, int when, const termios* settings) {
    ++calls;
    termios taken = *settings;
    if (refusing) {
        ::cfsetispeed(&taken, B9600);
        ::cfsetospeed(&taken, B9600);
    }
    return TerminalCalls::real().setAttributes(fd, when, &taken);
}

class WatcherPassTest : public ::testing::Test {
protected:
    void TearDown() override {
        watcher.reset();
        takeMessages();
        countersRequested.store(false);
        Stand::restoreDefaults();
    }

    std::string path(const std::string& name) const { return dir.path() + "/" + name; }

    TempDir dir;
    Pty board;
    ConsoleCapture out{1};
    std::unique_ptr<SerialWatcher> watcher =
        std::make_unique<SerialWatcher>(dir.path(), PortGlobs{}, &benchBoards());
};

}  // namespace

TEST(WatcherSelect, AcceptsUsbAndSingleDigitBuiltInPorts) {
    const struct {
        const char* name;
        bool accepted;
    } cases[] = {
        {"ttyUSB0", true},  {"ttyUSB12", true}, {"ttyS0", true}, {"ttyS9", true},
        {"ttyACM0", false}, {"ttyS10", false},  {"tty", false},  {"", false},
        {"ttyUS", false},   {"xyzUSB7", true},  {"ptyS3", true}, {"ttys0", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SerialWatcher::select(c.name), c.accepted) << c.name;
    }
}

TEST_F(WatcherPassTest, OpensAcceptedPortsInNameOrderWithRawSettings) {
    // Settings another program left on the port that would alter the board's bytes.
    constexpr tcflag_t LEFT_OVER = ISTRIP | INLCR | IGNCR | BRKINT | PARMRK;
    {
        FileDescriptor slave = board.openSlave();
        termios before{};
        ASSERT_EQ(tcgetattr(slave.get(), &before), 0);
        before.c_iflag |= LEFT_OVER;
        ASSERT_EQ(tcsetattr(slave.get(), TCSANOW, &before), 0);
    }
    Pty second;
    dir.link("ttyUSB0", board.slavePath());
    dir.link("ttyS0", second.slavePath());
    dir.link("ttyACM0", board.slavePath());
    dir.link("ttyS10", second.slavePath());

    watcher->pass();

    std::string text = out.text();
    std::size_t s0 = text.find("Connect to: [" + path("ttyS0") + "]\n");
    std::size_t usb0 = text.find("Connect to: [" + path("ttyUSB0") + "]\n");
    ASSERT_NE(s0, std::string::npos) << text;
    ASSERT_NE(usb0, std::string::npos) << text;
    EXPECT_LT(s0, usb0);
    EXPECT_EQ(text.find("ttyACM0"), std::string::npos);
    EXPECT_EQ(text.find("ttyS10"), std::string::npos);
    EXPECT_EQ(channelSnapshot().size(), 2u);

    std::shared_ptr<Channel> channel = channelNamed("ttyUSB0");
    ASSERT_TRUE(channel);
    ASSERT_TRUE(channelNamed("ttyS0"));

    int flags = fcntl(channel->fd(), F_GETFL);
    EXPECT_TRUE(flags & O_NONBLOCK);
    EXPECT_EQ(flags & O_ACCMODE, O_RDWR);
    EXPECT_TRUE(fcntl(channel->fd(), F_GETFD) & FD_CLOEXEC);
    termios tty{};
    ASSERT_EQ(tcgetattr(channel->fd(), &tty), 0);
    EXPECT_EQ(cfgetospeed(&tty), static_cast<speed_t>(B115200));
    EXPECT_EQ(tty.c_cflag & (CSIZE | PARENB | CSTOPB | CREAD | CLOCAL | CRTSCTS),
              static_cast<tcflag_t>(CS8 | CREAD | CLOCAL));
    EXPECT_EQ(tty.c_iflag & (IGNPAR | ICRNL | IXON | IXOFF | IXANY | LEFT_OVER), 0u);
    EXPECT_EQ(tty.c_oflag, 0u);
    EXPECT_EQ(tty.c_lflag, 0u);
    EXPECT_EQ(tty.c_cc[VMIN], 0);
    EXPECT_EQ(tty.c_cc[VTIME], 0);
}

TEST_F(WatcherPassTest, UnpluggedChannelIsRetiredAndIdentifiedOnesAreAnnounced) {
    const struct {
        unsigned char device;
        const char* message;  // null: nothing for the client
        bool standConnectedAfter;
    } cases[] = {
        {255, nullptr, true},
        {61, "device_disconnected:61;", false},
        {62, "device_disconnected:62;", false},
        {33, "device_disconnected:33;", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.device));
        dir.link("ttyUSB0", board.slavePath());
        watcher->pass();
        std::shared_ptr<Channel> channel = channelNamed("ttyUSB0");
        ASSERT_TRUE(channel);
        if (c.device != 255) {
            channel->setDevice(c.device);
            channel->setDefined();
        }
        std::weak_ptr<Channel> weak = channel;
        channel.reset();
        Stand::standConnected.store(true);
        std::size_t before = out.count("Device disconnected: ttyUSB0\n");

        dir.unlink("ttyUSB0");
        watcher->pass();

        EXPECT_EQ(out.count("Device disconnected: ttyUSB0\n"), before + 1);
        EXPECT_FALSE(channelNamed("ttyUSB0"));
        // Nothing keeps the retired channel alive.
        EXPECT_TRUE(weak.expired());
        std::vector<std::string> messages = takeMessages();
        if (c.message) {
            ASSERT_EQ(messages.size(), 1u);
            EXPECT_EQ(messages.front(), c.message);
        } else {
            EXPECT_TRUE(messages.empty());
        }
        EXPECT_EQ(Stand::standConnected.load(), c.standConnectedAfter);
    }
}

TEST_F(WatcherPassTest, UnreadableDirectoryChangesNothingAndIsSaidOncePerReason) {
    ConsoleCapture err(2);
    std::string devDir = dir.path() + "/dev";
    std::filesystem::create_directory(devDir);
    std::filesystem::create_symlink(board.slavePath(), devDir + "/ttyUSB0");
    Pty second;
    std::filesystem::create_symlink(second.slavePath(), devDir + "/ttyUSB1");
    SerialWatcher own(devDir, PortGlobs{}, &benchBoards());
    own.pass();
    const std::shared_ptr<Channel> channel = channelNamed("ttyUSB0");
    ASSERT_TRUE(channel);
    ASSERT_TRUE(channelNamed("ttyUSB1"));

    // The ports stay open while the directory cannot be read, and the same ports are found
    // when it can again. A directory that flaps is said once.
    const std::string cannot =
        "Cannot read device directory [" + devDir + "]: No such file or directory\n";
    for (int flap = 0; flap < 3; ++flap) {
        std::filesystem::rename(devDir, devDir + "-away");
        own.pass();
        own.pass();
        EXPECT_EQ(channelNamed("ttyUSB0"), channel);
        std::filesystem::rename(devDir + "-away", devDir);
        own.pass();
        EXPECT_EQ(channelNamed("ttyUSB0"), channel);
    }
    EXPECT_EQ(err.count(cannot), 1u);
    EXPECT_EQ(out.count("Device disconnected"), 0u);
    EXPECT_EQ(out.count("Connect to: ["), 2u);

    // Another reason is said.
    std::filesystem::rename(devDir, devDir + "-away");
    { std::ofstream file(devDir); }
    own.pass();
    EXPECT_EQ(err.count("Cannot read device directory [" + devDir + "]: Not a directory\n"), 1u);

    // A port that its reader loses goes all the same, and comes back once it can be listed.
    second.close();
    ASSERT_TRUE(waitUntil([&] { return channelNamed("ttyUSB1")->hasFailed(); }, 5000ms));
    own.pass();
    EXPECT_EQ(out.count("Device disconnected: ttyUSB1\n"), 1u);
    EXPECT_FALSE(channelNamed("ttyUSB1"));
    EXPECT_EQ(channelNamed("ttyUSB0"), channel);
    std::filesystem::remove(devDir);
    std::filesystem::rename(devDir + "-away", devDir);
    Pty third;
    std::filesystem::remove(devDir + "/ttyUSB1");
    std::filesystem::create_symlink(third.slavePath(), devDir + "/ttyUSB1");
    own.pass();
    EXPECT_TRUE(channelNamed("ttyUSB1"));
    EXPECT_EQ(out.count("Connect to: [" + devDir + "/ttyUSB1]\n"), 2u);
}

TEST_F(WatcherPassTest, OutOfDescriptorsPortsStayAndNewOnesWaitWithOneLine) {
    ConsoleCapture err(2);
    consoleThrottle().clear();
    dir.link("ttyUSB0", board.slavePath());
    watcher->pass();
    const std::shared_ptr<Channel> channel = channelNamed("ttyUSB0");
    ASSERT_TRUE(channel);
    // The channel's threads are under way before the squeeze: a sanitizer's first check of a
    // type (UndefinedBehaviorSanitizer's of a vtable) takes a descriptor of its own, which a
    // thread starting late inside the squeeze would not get.
    ASSERT_FALSE(board.readAtLeast(1, 10000ms).empty()) << "the sender's first version request";
    Pty second;
    dir.link("ttyUSB1", second.slavePath());

    // Not even the listing gets a descriptor: nothing changes.
    long limit = 0;
    {
        DescriptorSqueeze squeeze(0);
        limit = squeeze.limit();
        watcher->pass();
        watcher->pass();
    }
    const std::string shortage = "Out of descriptors (limit " + std::to_string(limit) + "): ";
    EXPECT_EQ(err.count(shortage + "device directory [" + dir.path() +
                        "] not read; its ports stay as they are\n"),
              1u);
    EXPECT_EQ(channelNamed("ttyUSB0"), channel);
    EXPECT_FALSE(channelNamed("ttyUSB1"));

    // The listing gets one, but a port would take the last few: it waits, said once.
    consoleThrottle().clear();
    {
        DescriptorSqueeze squeeze(descriptors::PORT_FLOOR - 1);
        limit = squeeze.limit();
        watcher->pass();
        watcher->pass();
    }
    EXPECT_EQ(err.count("Out of descriptors (limit " + std::to_string(limit) + "): port [" +
                        path("ttyUSB1") + "] not opened; tried again on every scan\n"),
              1u);
    EXPECT_FALSE(channelNamed("ttyUSB1"));

    watcher->pass();
    EXPECT_TRUE(channelNamed("ttyUSB1"));
    EXPECT_EQ(channelNamed("ttyUSB0"), channel);
    EXPECT_EQ(out.count("Connect to: [" + path("ttyUSB1") + "]\n"), 1u);
    EXPECT_EQ(out.count("Error opening"), 0u);
    EXPECT_EQ(out.count("Device disconnected"), 0u);
    consoleThrottle().clear();
}

TEST_F(WatcherPassTest, SilentBoardTimesOutOnTheSixthPass) {
    dir.link("ttyUSB0", board.slavePath());
    watcher->pass();
    std::shared_ptr<Channel> channel = channelNamed("ttyUSB0");
    ASSERT_TRUE(channel);
    channel->setDevice(34);
    channel->setDefined();
    channel->setConfigured();

    // A version report in between starts the count again.
    for (int i = 0; i < 3; ++i) {
        watcher->pass();
    }
    channel->resetTimeoutCounter();
    for (int i = 0; i < 5; ++i) {
        watcher->pass();
    }
    EXPECT_EQ(out.count("Connection timeout"), 0u);
    EXPECT_EQ(channel->getDevice(), 34);

    watcher->pass();
    EXPECT_EQ(out.count("Connection timeout\n"), 1u);
    EXPECT_EQ(channel->getDevice(), 255);
    EXPECT_FALSE(channel->isDefined());
    EXPECT_FALSE(channel->isConfigured());
    EXPECT_TRUE(takeMessages().empty());

    // Unidentified channels are not counted.
    watcher->pass();
    EXPECT_EQ(out.count("Connection timeout\n"), 1u);
}

TEST_F(WatcherPassTest, PortThatFailsToOpenIsRetriedOnEveryPassAndSaidOncePerReason) {
    // A terminal whose node is there but cannot be opened yet, as one that gets its group a
    // moment after it appears: the node stays the same when it can be opened.
    LockedPty locked;
    dir.link("ttyUSB3", locked.slavePath());
    const std::string error = "Error opening [" + path("ttyUSB3") + "]";

    const std::size_t threads = entriesOf("/proc/self/task");
    watcher->pass();
    EXPECT_EQ(out.count(error), 1u);
    // No channel, so no thread, until it opens.
    std::shared_ptr<Channel> channel = channelNamed("ttyUSB3");
    EXPECT_FALSE(channel);
    EXPECT_EQ(entriesOf("/proc/self/task"), threads);

    watcher->pass();
    watcher->pass();
    EXPECT_EQ(out.count(error), 1u);

    // Another reason is said.
    std::FILE* file = std::fopen(path("plain").c_str(), "w");
    ASSERT_TRUE(file);
    std::fclose(file);
    dir.unlink("ttyUSB3");
    dir.link("ttyUSB3", path("plain"));
    watcher->pass();
    EXPECT_EQ(out.count(error + ": not a character device\n"), 1u);
    dir.unlink("ttyUSB3");
    dir.link("ttyUSB3", locked.slavePath());
    watcher->pass();
    EXPECT_EQ(out.count(error), 3u);

    locked.unlock();
    watcher->pass();
    EXPECT_EQ(out.count("Connect to: [" + path("ttyUSB3") + "]\n"), 1u);
    channel = channelNamed("ttyUSB3");
    ASSERT_TRUE(channel);
    EXPECT_GE(channel->fd(), 0);
    channel.reset();
    watcher->pass();
    EXPECT_EQ(out.count("Connect to: ["), 1u);
    EXPECT_EQ(out.count("Device disconnected: ttyUSB3\n"), 0u);

    // Opened once and lost: said again.
    dir.unlink("ttyUSB3");
    watcher->pass();
    EXPECT_EQ(out.count("Device disconnected: ttyUSB3\n"), 1u);
    dir.link("ttyUSB3", path("nothing-here"));
    watcher->pass();
    EXPECT_EQ(out.count(error), 4u);

    // One that never opened was never connected: it goes without a word.
    dir.unlink("ttyUSB3");
    watcher->pass();
    EXPECT_EQ(out.count("Device disconnected: ttyUSB3\n"), 1u);
    EXPECT_EQ(out.count("Counters [ttyUSB3]"), 1u);

    // A regular file under the name, then a port in its place: opened on the next pass.
    { std::ofstream(path("ttyUSB3")) << "not a port"; }
    watcher->pass();
    watcher->pass();
    EXPECT_EQ(out.count(error + ": not a character device\n"), 2u);
    dir.unlink("ttyUSB3");
    dir.link("ttyUSB3", board.slavePath());
    watcher->pass();
    EXPECT_TRUE(channelNamed("ttyUSB3"));
    EXPECT_EQ(out.count("Connect to: [" + path("ttyUSB3") + "]\n"), 2u);
}

TEST_F(WatcherPassTest, IdentificationDuringASilenceResetIsNeverHalfUndone) {
    dir.link("ttyUSB0", board.slavePath());
    watcher->pass();
    std::shared_ptr<Channel> channel = channelNamed("ttyUSB0");
    ASSERT_TRUE(channel);
    const unsigned char payload[] = {1, 2, 3, 34};
    const Command version = Command::makeData(2, ACCESS_COMMAND, payload, sizeof payload);

    // What runs on another thread between the watcher seeing the board silent and its reset.
    const struct {
        const char* name;
        std::function<void(Channel&)> between;
        bool identifiedAfter;
    } cases[] = {
        {"nothing", nullptr, false},
        // Its last-moment reply only restarts the count; the reset proceeds and the next
        // reply announces the board again.
        {"a version reply", [&](Channel& c) { dispatch(c, version); }, false},
        // A newer identification than the one the watcher saw (the decoder ran between a
        // reset's steps): it stands, with the device it was announced as.
        {"a reset and a new identification",
         [&](Channel& c) {
             c.resetIdentity(c.identity());
             dispatch(c, version);
         },
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        dispatch(*channel, version);
        ASSERT_TRUE(channel->isDefined());
        takeMessages();
        for (int i = 0; i < 5; ++i) {
            watcher->pass();
        }
        watcher->setSilenceHook(c.between);
        std::size_t timeouts = out.count("Connection timeout\n");
        watcher->pass();
        watcher->setSilenceHook(nullptr);

        std::vector<std::string> messages = takeMessages();
        EXPECT_EQ(channel->isDefined(), c.identifiedAfter);
        EXPECT_EQ(channel->getDevice(), c.identifiedAfter ? 34 : 255);
        EXPECT_EQ(out.count("Connection timeout\n"), timeouts + (c.identifiedAfter ? 0 : 1));
        // The client is told of a board only as what the daemon drives.
        if (!messages.empty()) {
            EXPECT_EQ(messages.back(), "device_connected:34;");
            EXPECT_EQ(channel->getDevice(), 34);
        }
        // Whatever happened, the next reply leaves the board identified.
        dispatch(*channel, version);
        EXPECT_TRUE(channel->isDefined());
        EXPECT_EQ(channel->getDevice(), 34);
        channel->resetIdentity(channel->identity());
    }
}

TEST_F(WatcherPassTest, PlugUnplugLeavesNoThreadOrDescriptorBehind) {
    // One cycle first, so that lazily created process resources are in the baseline.
    dir.link("ttyUSB0", board.slavePath());
    watcher->pass();
    dir.unlink("ttyUSB0");
    watcher->pass();

    std::size_t threads = entriesOf("/proc/self/task");
    std::size_t descriptors = entriesOf("/proc/self/fd");
    std::size_t peakThreads = 0;
    for (int i = 0; i < 100; ++i) {
        dir.link("ttyUSB0", board.slavePath());
        watcher->pass();
        peakThreads = std::max(peakThreads, entriesOf("/proc/self/task"));
        dir.unlink("ttyUSB0");
        watcher->pass();
    }
    // A joined thread may stay listed a moment after its join returned.
    waitUntil([&] { return entriesOf("/proc/self/task") == threads; });
    std::size_t threadsAfter = entriesOf("/proc/self/task");
    std::size_t descriptorsAfter = entriesOf("/proc/self/fd");
    std::fprintf(stderr,
                 "100 plug/unplug cycles: threads %zu -> %zu (peak %zu), descriptors %zu -> %zu\n",
                 threads, threadsAfter, peakThreads, descriptors, descriptorsAfter);
    EXPECT_EQ(threadsAfter, threads);
    EXPECT_EQ(descriptorsAfter, descriptors);
    // The channel's three threads (one more when the last channel's is still listed).
    EXPECT_GE(peakThreads, threads + 3);
    EXPECT_LE(peakThreads, threads + 6);
    EXPECT_EQ(out.count("Device disconnected: ttyUSB0\n"), 101u);
}

TEST_F(WatcherPassTest, ThreadPicksUpPortsAndStopsPromptly) {
    watcher->start();
    dir.link("ttyUSB0", board.slavePath());
    ASSERT_TRUE(waitUntil([] { return channelNamed("ttyUSB0") != nullptr; }, 5000ms));

    auto begun = std::chrono::steady_clock::now();
    watcher->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begun, 500ms);

    // The watcher takes its channels with it.
    watcher.reset();
    EXPECT_FALSE(channelNamed("ttyUSB0"));
    EXPECT_TRUE(channelSnapshot().empty());
}

TEST_F(WatcherPassTest, BoardReplacedUnderTheSameNameWithinOneScanIsReopened) {
    const struct {
        const char* name;
        bool oldBoardUnplugged;  // its terminal closed too, or still there elsewhere
    } cases[] = {{"another board swapped in", false}, {"the board plugged out and in", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto first = std::make_unique<Pty>();
        Pty second;
        dir.link("ttyUSB0", first->slavePath());
        watcher->pass();
        std::shared_ptr<Channel> old = channelNamed("ttyUSB0");
        ASSERT_TRUE(old);
        old->setDevice(12);
        old->setDefined();
        const std::size_t disconnects = out.count("Device disconnected: ttyUSB0\n");
        const std::size_t connects = out.count("Connect to: [" + path("ttyUSB0") + "]\n");

        if (c.oldBoardUnplugged) {
            first.reset();
        }
        relink(dir, "ttyUSB0", second.slavePath());
        watcher->pass();

        EXPECT_EQ(out.count("Device disconnected: ttyUSB0\n"), disconnects + 1);
        EXPECT_EQ(out.count("Connect to: [" + path("ttyUSB0") + "]\n"), connects + 1);
        EXPECT_EQ(takeMessages(), std::vector<std::string>{"device_disconnected:12;"});
        std::shared_ptr<Channel> fresh = channelNamed("ttyUSB0");
        ASSERT_TRUE(fresh);
        EXPECT_NE(fresh, old);
        EXPECT_EQ(old->fd(), -1) << "the old channel is retired";
        EXPECT_EQ(rdevOf(fresh->fd()), rdevOf(second.slavePath()));
        EXPECT_EQ(fresh->getDevice(), known_devices::UNKNOWN);

        // The same node in the next scan is left alone.
        watcher->pass();
        EXPECT_EQ(channelNamed("ttyUSB0"), fresh);
        dir.unlink("ttyUSB0");
        watcher->pass();
        takeMessages();
    }
}

TEST_F(WatcherPassTest, LostPortIsRetiredThenOpenedAgain) {
    Pty board;
    dir.link("ttyUSB0", board.slavePath());
    watcher->pass();
    std::shared_ptr<Channel> old = channelNamed("ttyUSB0");
    ASSERT_TRUE(old);
    old->setDevice(61);
    old->setDefined();
    Stand::standConnected.store(true);

    // What the reader does on a hard read error: the node itself is unchanged.
    old->markFailed();
    watcher->pass();

    EXPECT_EQ(out.count("Device disconnected: ttyUSB0\n"), 1u);
    EXPECT_EQ(takeMessages(), std::vector<std::string>{"device_disconnected:61;"});
    EXPECT_FALSE(Stand::standConnected.load());
    std::shared_ptr<Channel> fresh = channelNamed("ttyUSB0");
    ASSERT_TRUE(fresh);
    EXPECT_NE(fresh, old);
    EXPECT_FALSE(fresh->hasFailed());
    EXPECT_EQ(rdevOf(fresh->fd()), rdevOf(board.slavePath()));
    EXPECT_EQ(out.count("Connect to: [" + path("ttyUSB0") + "]\n"), 2u);
}

TEST_F(WatcherPassTest, UnpluggedBoardWhoseLinkStaysIsNotReopenedUntilItComesBack) {
    auto board = std::make_unique<Pty>();
    dir.link("ttyUSB0", board->slavePath());
    watcher->pass();
    ASSERT_TRUE(channelNamed("ttyUSB0"));

    // Its terminal closes; the dangling link leads nowhere.
    board.reset();
    watcher->pass();
    EXPECT_EQ(out.count("Device disconnected: ttyUSB0\n"), 1u);
    EXPECT_EQ(out.count("Error opening [" + path("ttyUSB0") + "]"), 1u);
    for (int i = 0; i < 3; ++i) {
        watcher->pass();
    }
    EXPECT_EQ(out.count("Error opening [" + path("ttyUSB0") + "]"), 1u) << "no churn";
    EXPECT_EQ(out.count("Device disconnected: ttyUSB0\n"), 1u);

    Pty back;
    relink(dir, "ttyUSB0", back.slavePath());
    watcher->pass();
    std::shared_ptr<Channel> fresh = channelNamed("ttyUSB0");
    ASSERT_TRUE(fresh);
    EXPECT_EQ(rdevOf(fresh->fd()), rdevOf(back.slavePath()));
}

TEST_F(WatcherPassTest, PortIsOpenedForExclusiveUseUntilRetired) {
    Pty board;
    // Anyone may open the terminal as far as its permissions go: only the exclusive flag
    // stands in the way.
    ASSERT_EQ(::chmod(board.slavePath().c_str(), 0666), 0);
    if (openAsNobody(board.slavePath()) < 0) {
        GTEST_SKIP() << "cannot open the port as an unprivileged user from here";
    }
    ASSERT_EQ(openAsNobody(board.slavePath()), 0);

    dir.link("ttyUSB0", board.slavePath());
    watcher->pass();
    std::shared_ptr<Channel> channel = channelNamed("ttyUSB0");
    ASSERT_TRUE(channel);
    int exclusive = 0;
    ASSERT_EQ(::ioctl(channel->fd(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    EXPECT_EQ(openAsNobody(board.slavePath()), EBUSY);
    channel.reset();

    // Retired: a terminal whose other side stays open would keep the flag past the close.
    dir.unlink("ttyUSB0");
    watcher->pass();
    EXPECT_EQ(openAsNobody(board.slavePath()), 0);
}

TEST_F(WatcherPassTest, CountersArePrintedOnRequestAndAtRetirement) {
    Pty first;
    Pty second;
    dir.link("ttyUSB0", first.slavePath());
    dir.link("ttyUSB1", second.slavePath());
    watcher->pass();
    std::shared_ptr<Channel> channel = channelNamed("ttyUSB0");
    ASSERT_TRUE(channel);
    channel->setDevice(12);
    channel->setDefined();
    channel->setConfigured();
    for (int i = 0; i < 6; ++i) {
        watcher->pass();
    }
    ASSERT_EQ(out.count("Connection timeout\n"), 1u);
    EXPECT_EQ(out.count("Counters ["), 0u);

    countersRequested.store(true);
    watcher->pass();
    EXPECT_FALSE(countersRequested.load());
    EXPECT_EQ(out.count("Counters [ttyUSB0]: "), 1u);
    EXPECT_EQ(out.count("Counters [ttyUSB1]: "), 1u);
    EXPECT_EQ(counterOf(out.text(), "ttyUSB0", "timeouts"), 1);
    EXPECT_EQ(counterOf(out.text(), "ttyUSB1", "timeouts"), 0);
    watcher->pass();
    EXPECT_EQ(out.count("Counters ["), 2u) << "once per request";

    dir.unlink("ttyUSB0");
    watcher->pass();
    const std::string text = out.text();
    EXPECT_NE(text.find("Device disconnected: ttyUSB0\nCounters [ttyUSB0]: "), std::string::npos)
        << text;
    EXPECT_EQ(out.count("Counters [ttyUSB0]: "), 2u);
}

TEST_F(WatcherPassTest, PortThatRefusesItsSetUpIsClosedAndRetriedUntilItAccepts) {
    const struct {
        const char* name;
        void (*refuse)(TerminalCalls&);
        const char* said;
    } cases[] = {
        {"exclusive lock", [](TerminalCalls& c) { c.lockExclusive = busyLock; },
         "exclusive lock refused: Device or resource busy"},
        {"reading the settings",
         [](TerminalCalls& c) {
             c.lockExclusive = countingLock;
             c.getAttributes = failingRead<1>;
         },
         "settings not readable: Input/output error"},
        {"input speed", [](TerminalCalls& c) { c.setInputSpeed = slowSpeed; },
         "115200 baud refused: Invalid argument"},
        {"output speed", [](TerminalCalls& c) { c.setOutputSpeed = slowSpeed; },
         "115200 baud refused: Invalid argument"},
        {"the settings", [](TerminalCalls& c) { c.setAttributes = refusedSettings; },
         "settings refused: Operation not permitted"},
        {"reading them back",
         [](TerminalCalls& c) {
             c.lockExclusive = countingLock;
             c.getAttributes = failingRead<2>;
         },
         "settings not readable: Input/output error"},
        {"a speed that did not take", [](TerminalCalls& c) { c.setAttributes = keepsItsSpeed; },
         "raw 115200 8N1 not taken: Invalid argument"},
    };
    dir.link("ttyUSB0", board.slavePath());
    const std::string line = "Error opening [" + path("ttyUSB0") + "]: ";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SerialWatcher own(dir.path());
        TerminalCalls terminal = TerminalCalls::real();
        c.refuse(terminal);
        own.setTerminalCalls(terminal);
        refusing = true;
        calls = 0;
        const std::size_t descriptors = entriesOf("/proc/self/fd");
        const std::size_t said = out.count(line + c.said + "\n");

        own.pass();
        EXPECT_EQ(out.count(line + c.said + "\n"), said + 1) << out.text();
        EXPECT_FALSE(channelNamed("ttyUSB0"));
        EXPECT_EQ(entriesOf("/proc/self/fd"), descriptors) << "the port is closed again";

        // Tried again on the next pass, and said once.
        const int tried = calls;
        own.pass();
        EXPECT_GT(calls, tried);
        EXPECT_EQ(out.count(line + c.said + "\n"), said + 1);
        EXPECT_FALSE(channelNamed("ttyUSB0"));

        refusing = false;
        const std::size_t connects = out.count("Connect to: [" + path("ttyUSB0") + "]\n");
        own.pass();
        EXPECT_EQ(out.count("Connect to: [" + path("ttyUSB0") + "]\n"), connects + 1);
        ASSERT_TRUE(channelNamed("ttyUSB0"));
        termios tty{};
        ASSERT_EQ(::tcgetattr(channelNamed("ttyUSB0")->fd(), &tty), 0);
        EXPECT_EQ(cfgetispeed(&tty), static_cast<speed_t>(B115200));
    }
}
