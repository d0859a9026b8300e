#include "link/serialwatcher.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <set>
#include <vector>

#include "link/boardbehaviour.h"
#include "link/channel.h"
#include "link/channelregistry.h"
#include "protocol/deviceids.h"
#include "service/console.h"
#include "service/consolethrottle.h"
#include "service/descriptors.h"
#include "service/filedescriptor.h"
#include "service/heartbeat.h"
#include "service/runstate.h"

namespace {

constexpr std::chrono::seconds PASS_PAUSE{1};
// Input settings that would change or drop bytes on their way to the reader (a stripped
// eighth bit turns every A5 into 25), or stop the flow; another program may have left any
// of them on the port.
constexpr tcflag_t ALTERED_INPUT =
    IGNPAR | ICRNL | IXON | IXOFF | IXANY | ISTRIP | INLCR | IGNCR | BRKINT | PARMRK;
// Passes without a version report after which an identified board counts as silent.
constexpr uint32_t SILENT_PASSES = 5;
// Passes the directory must be readable before a reason it could not be read for is said again.
constexpr unsigned READABLE_PASSES_TO_FORGET = 60;

constexpr const char* NOT_A_CHARACTER_DEVICE = "not a character device";
constexpr const char* NOT_A_TERMINAL = "not a terminal";

int realLockExclusive(int fd) {
    return ::ioctl(fd, TIOCEXCL);
}

int realSetInputSpeed(termios* settings, unsigned speed) {
    return ::cfsetispeed(settings, speed);
}

int realSetOutputSpeed(termios* settings, unsigned speed) {
    return ::cfsetospeed(settings, speed);
}

// What the port refused, said with the reason the call gave.
std::string refused(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// Whether the settings are the raw 115200 8N1 that the boards speak.
bool raw115200(const termios& tty) {
    constexpr tcflag_t LINE_DISCIPLINE = ICANON | ECHO | ISIG | IEXTEN;
    return ::cfgetispeed(&tty) == B115200 && ::cfgetospeed(&tty) == B115200 &&
           (tty.c_cflag & (CSIZE | PARENB | CSTOPB)) == CS8 && (tty.c_cflag & CREAD) != 0 &&
           (tty.c_iflag & ALTERED_INPUT) == 0 && (tty.c_oflag & OPOST) == 0 &&
           (tty.c_lflag & LINE_DISCIPLINE) == 0;
}

}  // namespace

TerminalCalls TerminalCalls::real() {
    return {realLockExclusive, ::tcgetattr, realSetInputSpeed, realSetOutputSpeed, ::tcsetattr};
}

bool SerialWatcher::Node::operator==(const Node& other) const {
    return exists == other.exists && rdev == other.rdev && dev == other.dev && ino == other.ino;
}

SerialWatcher::Node::Node(const struct stat& info)
    : exists(true), rdev(info.st_rdev), dev(info.st_dev), ino(info.st_ino) {}

SerialWatcher::Node SerialWatcher::nodeOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? Node(info) : Node();
}

SerialWatcher::SerialWatcher(std::string devDir, PortGlobs globs, const BoardBehaviour* board)
    : devDir_(std::move(devDir)), globs_(std::move(globs)), board_(board) {}

SerialWatcher::~SerialWatcher() {
    stop();
    while (!present.empty()) {
        if (present.begin()->second.channel) {
            retire(present.begin()->first);
        } else {
            present.erase(present.begin());
        }
    }
}

void SerialWatcher::start() {
    if (thread.joinable()) {
        return;
    }
    thread = std::thread(&SerialWatcher::run, this);
}

void SerialWatcher::stop() {
    waker_.stop();
    if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) {
        thread.join();
    }
}

void SerialWatcher::run() {
    Heartbeat heartbeat("watcher");
    while (waker_.running() && isWorking.load()) {
        heartbeat.beat();
        pass();
        waker_.pause(PASS_PAUSE);
    }
}

bool SerialWatcher::select(const std::string& name) {
    // "L > 4" plus three characters at positions 4 to 6 means at least six characters.
    bool usb = name.size() >= 6 && name.compare(3, 3, "USB") == 0;
    bool builtIn = name.size() == 5 && name[3] == 'S';
    return usb || builtIn;
}

bool SerialWatcher::takes(const std::string& name) const {
    // As the shell does, "*" and "?" do not match a leading dot: "." and ".." are never ports.
    auto matches = [&name](const std::vector<std::string>& globs) {
        for (const std::string& glob : globs) {
            if (::fnmatch(glob.c_str(), name.c_str(), FNM_PERIOD) == 0) {
                return true;
            }
        }
        return false;
    };
    if (matches(globs_.ignore)) {
        return false;
    }
    return globs_.take.empty() ? select(name) : matches(globs_.take);
}

SerialWatcher::Opening SerialWatcher::openTerminal(const std::string& path) const {
    Opening opening;
    // A FIFO must never be opened (its reader would take our frames and give them back), nor
    // a regular file (it would grow by every frame): only character devices are.
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        opening.failure = std::strerror(errno);
        return opening;
    }
    opening.node = Node(info);
    if (!S_ISCHR(info.st_mode)) {
        opening.failure = NOT_A_CHARACTER_DEVICE;
        return opening;
    }
    // The last few descriptors stay for the listing, the service manager and the client.
    if (!descriptors::roomForPort()) {
        opening.failure = std::strerror(EMFILE);
        opening.shortage = true;
        return opening;
    }
    FileDescriptor fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        opening.shortage = descriptors::isShortage(errno);
        opening.failure = std::strerror(errno);
        return opening;
    }
    // The name may have led elsewhere by the time it was opened; and of the character devices
    // only terminals are ports (/dev/zero would keep a reader busy for ever). Closed again
    // without a byte written.
    if (::fstat(fd.get(), &info) != 0 || !S_ISCHR(info.st_mode)) {
        opening.failure = NOT_A_CHARACTER_DEVICE;
        return opening;
    }
    opening.node = Node(info);
    if (!::isatty(fd.get())) {
        opening.failure = NOT_A_TERMINAL;
        return opening;
    }
    // A port that refuses the set-up is closed and tried again like one that did not open:
    // the board would never answer on it.
    opening.failure = configure(fd.get(), path);
    if (opening.failure.empty()) {
        opening.fd = fd.release();
    }
    return opening;
}

std::string SerialWatcher::configure(int fd, const std::string& path) const {
    // Another program (a modem prober, a second daemon) opening the port would take part of
    // the board's bytes. Only root can open it past this.
    if (terminal.lockExclusive(fd) != 0) {
        return refused("exclusive lock refused");
    }

    termios tty{};
    if (terminal.getAttributes(fd, &tty) != 0) {
        return refused("settings not readable");
    }
    tty.c_iflag &= ~ALTERED_INPUT;
    tty.c_oflag = 0;
    tty.c_cflag = CS8 | CREAD | CLOCAL;
    tty.c_lflag = 0;
    std::memset(tty.c_cc, 0, sizeof tty.c_cc);
    if (terminal.setInputSpeed(&tty, B115200) != 0 || terminal.setOutputSpeed(&tty, B115200) != 0) {
        return refused("115200 baud refused");
    }
    ::tcflush(fd, TCIOFLUSH);
    if (terminal.setAttributes(fd, TCSANOW, &tty) != 0) {
        return refused("settings refused");
    }
    // The call succeeds when any of the settings took: only reading them back tells.
    termios taken{};
    if (terminal.getAttributes(fd, &taken) != 0) {
        return refused("settings not readable");
    }
    if (!raw115200(taken)) {
        errno = EINVAL;
        return refused("raw 115200 8N1 not taken");
    }

    // Bytes reach the reader without the driver's batching delay. Ports without the serial
    // driver's settings (pseudo-terminals) refuse the request and are used as they are.
    // A real serial port that refuses it still works, with the driver's delay: said once per
    // opening, since the delay shows in every acknowledgement's turnaround.
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) == 0 && (serial.flags & ASYNC_LOW_LATENCY) == 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        if (::ioctl(fd, TIOCSSERIAL, &serial) != 0) {
            console::out("Low latency refused [" + path + "]: " + std::strerror(errno));
        }
    }
    return {};
}

std::optional<SerialWatcher::Listing> SerialWatcher::listDevices() {
    // Read in one go, unsorted: the map sorts, and a directory of thousands of entries costs
    // little a second.
    Listing names;
    int error = 0;
    if (DIR* dir = ::opendir(devDir_.c_str())) {
        while (true) {
            errno = 0;
            const dirent* entry = ::readdir(dir);
            if (entry == nullptr) {
                error = errno;
                break;
            }
            if (takes(entry->d_name)) {
                names[entry->d_name] = Listed{entry->d_ino, entry->d_type};
            }
        }
        ::closedir(dir);
    } else {
        error = errno;
    }
    if (error != 0) {
        readablePasses = 0;
        if (descriptors::isShortage(error)) {
            descriptors::sayShort("device directory [" + devDir_ +
                                  "] not read; its ports stay as they are");
        } else if (dirFailuresSaid.insert(std::strerror(error)).second) {
            // Once per reason; it may appear (a mount, a late udev), so scanning goes on.
            console::err("Cannot read device directory [" + devDir_ + "]: " + std::strerror(error));
        }
        return std::nullopt;
    }
    if (++readablePasses >= READABLE_PASSES_TO_FORGET) {
        dirFailuresSaid.clear();
    }
    return names;
}

int SerialWatcher::openPort(const std::string& name, Port& port) {
    const std::string path = devDir_ + "/" + name;
    // A character device that is not a terminal stays one until its node changes: it is not
    // opened again for nothing (opening some devices does something).
    if (port.failure == NOT_A_TERMINAL && nodeOf(path) == port.node) {
        return -1;
    }
    Opening opening = openTerminal(path);
    port.node = opening.node;
    if (opening.fd >= 0) {
        port.failure.clear();
        console::out("Connect to: [" + path + "]");
        return opening.fd;
    }
    // A node that gets its group a moment after it appears fails until then: said once.
    if (opening.failure != port.failure) {
        if (opening.shortage) {
            descriptors::sayShort("port [" + path + "] not opened; tried again on every scan");
        } else {
            console::out("Error opening [" + path + "]: " + opening.failure);
        }
        port.failure = opening.failure;
    }
    return -1;
}

std::shared_ptr<Channel> SerialWatcher::startChannel(const std::string& name, int fd) const {
    try {
        // Whether the low-latency setting took, read back before the channel owns the port.
        serial_struct serial{};
        const bool lowLatency =
            ::ioctl(fd, TIOCGSERIAL, &serial) == 0 && (serial.flags & ASYNC_LOW_LATENCY) != 0;
        ChannelOptions options;
        options.board = board_;
        auto channel = std::make_shared<Channel>(FileDescriptor(fd), options, name);
        channel->setLowLatency(lowLatency);
        return channel;
    } catch (const std::exception& error) {
        // Out of threads or memory.
        consoleThrottle().print("start/" + name,
                                "Cannot start channel [" + name + "]: " + error.what());
        return nullptr;
    }
}

void SerialWatcher::retry(const std::string& name, const Listed& listed, Port& port) {
    if (port.failure == NOT_A_CHARACTER_DEVICE && listed.type == DT_REG &&
        listed.ino == port.node.ino) {
        return;
    }
    int fd = openPort(name, port);
    if (fd < 0) {
        return;
    }
    std::shared_ptr<Channel> channel = startChannel(name, fd);
    if (!channel) {
        // The name counts as unseen and is opened anew next pass.
        present.erase(name);
        return;
    }
    port.channel = channel;
    MutexLock lock(channelMapMutex);
    channelMap[name] = std::move(channel);
}

unsigned char SerialWatcher::retire(std::string name) {
    auto found = present.find(name);
    std::shared_ptr<Channel> channel = std::move(found->second.channel);
    present.erase(found);
    {
        MutexLock lock(channelMapMutex);
        auto entry = channelMap.find(name);
        if (entry != channelMap.end() && entry->second == channel) {
            channelMap.erase(entry);
        }
    }
    // Joins the threads before the descriptor is closed, so a port opened later under the
    // same number is never touched by them.
    channel->retire();
    console::out(channel->countersLine());
    return channel->getDevice();
}

void SerialWatcher::disconnect(const std::string& name) {
    console::out("Device disconnected: " + name);
    unsigned char device = retire(name);
    if (device != known_devices::UNKNOWN && board_ != nullptr && board_->gone) {
        board_->gone(device);
    }
}

void SerialWatcher::pass() {
    // A listing that failed tells nothing of which ports are there (the process may be out of
    // descriptors, the directory remounted): only what the readers themselves lost goes.
    const std::optional<Listing> current = listDevices();
    const auto listed = [&current](const std::string& name) {
        return current && current->count(name) != 0;
    };

    // Vanished names, and names whose open port is no longer the one opened: they go first,
    // and the latter come back below as new ports. A name that never opened goes silently.
    std::vector<std::string> gone;
    std::vector<std::string> unopened;
    for (const auto& [name, port] : present) {
        if (!port.channel) {
            if (current && !listed(name)) {
                unopened.push_back(name);
            }
        } else if (port.channel->hasFailed() ||
                   (current && (!listed(name) || nodeOf(devDir_ + "/" + name) != port.node))) {
            gone.push_back(name);
        }
    }
    for (const std::string& name : unopened) {
        present.erase(name);
    }
    for (const std::string& name : gone) {
        disconnect(name);
    }

    const Listing none;
    for (const auto& [name, listed] : current ? *current : none) {
        auto found = present.find(name);
        if (found != present.end()) {
            if (!found->second.channel) {
                retry(name, listed, found->second);
            }
            continue;
        }
        // A port that does not open gets no channel (no thread, no descriptor) until it does.
        Port port;
        const int fd = openPort(name, port);
        if (fd >= 0) {
            port.channel = startChannel(name, fd);
            if (!port.channel) {
                // The name counts as unseen and is tried next pass.
                continue;
            }
        }
        std::shared_ptr<Channel> channel = port.channel;
        present.emplace(name, std::move(port));
        if (channel) {
            MutexLock lock(channelMapMutex);
            channelMap[name] = std::move(channel);
        }
    }

    const bool printCounters = countersRequested.exchange(false);
    for (const auto& entry : channelSnapshot()) {
        checkSilence(*entry.second);
        if (printCounters) {
            console::out(entry.second->countersLine());
        }
    }
    // Summaries of repeating console lines are due once a minute even when the lines stop.
    consoleThrottle().flush();
}

void SerialWatcher::checkSilence(Channel& channel) {
    const Channel::Identity seen = channel.identity();
    if (Channel::deviceOf(seen) == known_devices::UNKNOWN ||
        channel.incrementTimeoutCounter() <= SILENT_PASSES) {
        return;
    }
    if (silenceHook) {
        silenceHook(channel);
    }
    // Only the identification seen above is undone: one that the decoder made since stands,
    // with the device it was announced as.
    if (!channel.resetIdentity(seen)) {
        return;
    }
    console::out("Connection timeout");
    channel.counters().timeouts.fetch_add(1);
    channel.setConfigured(false);
}
