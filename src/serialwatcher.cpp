#include "serialwatcher.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <set>

#include "channel.h"
#include "filedescriptor.h"
#include "shared.h"
#include "stand.h"

namespace {

constexpr std::chrono::seconds PASS_PAUSE{1};
// Passes without a version report after which an identified board counts as silent.
constexpr uint32_t SILENT_PASSES = 5;

int selectEntry(const dirent* entry) {
    return SerialWatcher::select(entry->d_name) ? 1 : 0;
}

// The accepted names of the directory in ascending byte order; empty when it cannot be
// listed.
std::set<std::string> listDevices(const std::string& dir) {
    std::set<std::string> names;
    dirent** entries = nullptr;
    int count = ::scandir(dir.c_str(), &entries, selectEntry, alphasort);
    if (count < 0) {
        return names;
    }
    for (int i = 0; i < count; ++i) {
        names.insert(entries[i]->d_name);
        std::free(entries[i]);
    }
    std::free(entries);
    return names;
}

}  // namespace

SerialWatcher::SerialWatcher(std::string devDir) : devDir_(std::move(devDir)) {}

SerialWatcher::~SerialWatcher() {
    stop();
    while (!present.empty()) {
        retire(present.begin()->first);
    }
}

void SerialWatcher::start() {
    if (thread.joinable()) {
        return;
    }
    running.store(true);
    thread = std::thread(&SerialWatcher::run, this);
}

void SerialWatcher::stop() {
    {
        std::lock_guard<std::mutex> lock(pauseMutex);
        running.store(false);
    }
    pauseCv.notify_all();
    if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) {
        thread.join();
    }
}

void SerialWatcher::run() {
    while (running.load() && isWorking.load()) {
        pass();
        std::unique_lock<std::mutex> lock(pauseMutex);
        pauseCv.wait_for(lock, PASS_PAUSE, [this] { return !running.load(); });
    }
}

bool SerialWatcher::select(const std::string& name) {
    // "L > 4" plus three characters at positions 4 to 6 means at least six characters.
    bool usb = name.size() >= 6 && name.compare(3, 3, "USB") == 0;
    bool builtIn = name.size() == 5 && name[3] == 'S';
    return usb || builtIn;
}

int SerialWatcher::connectTTY(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::printf("Error opening [%s]\n", path.c_str());
        return -1;
    }
    std::printf("Connect to: [%s]\n", path.c_str());

    // A port that refuses the settings is used with whatever it has.
    termios tty{};
    ::tcgetattr(fd, &tty);
    tty.c_iflag &= ~static_cast<tcflag_t>(IGNPAR | ICRNL | IXON | IXOFF | IXANY);
    tty.c_oflag = 0;
    tty.c_cflag = B115200 | CS8 | CREAD | CLOCAL;
    tty.c_lflag = 0;
    std::memset(tty.c_cc, 0, sizeof tty.c_cc);
    ::tcflush(fd, TCIOFLUSH);
    ::tcsetattr(fd, TCSANOW, &tty);

    // Bytes reach the reader without the driver's batching delay. Ports without the serial
    // driver's settings (pseudo-terminals) refuse the request and are used as they are.
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) == 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        ::ioctl(fd, TIOCSSERIAL, &serial);
    }
    return fd;
}

unsigned char SerialWatcher::retire(std::string name) {
    auto found = present.find(name);
    std::shared_ptr<Channel> channel = std::move(found->second);
    present.erase(found);
    {
        std::lock_guard<std::mutex> lock(channelMapMutex);
        auto entry = channelMap.find(name);
        if (entry != channelMap.end() && entry->second == channel) {
            channelMap.erase(entry);
        }
    }
    deviceMap.erase(name);
    // Joins the threads before the descriptor is closed, so a port opened later under the
    // same number is never touched by them.
    channel->retire();
    return channel->getDevice();
}

void SerialWatcher::pass() {
    std::set<std::string> current = listDevices(devDir_);

    std::set<std::string> vanished;
    for (const auto& entry : present) {
        if (current.count(entry.first) == 0) {
            vanished.insert(entry.first);
        }
    }
    for (const std::string& name : vanished) {
        std::printf("Device disconnected: %s\n", name.c_str());
        unsigned char device = retire(name);
        if (device != known_devices::UNKNOWN) {
            if (device == known_devices::STAND || device == known_devices::STAND62) {
                Stand::standConnected.store(false);
            }
            pushMessage("device_disconnected:" + std::to_string(device) + ";");
        }
    }

    for (const std::string& name : current) {
        if (present.count(name) != 0) {
            continue;
        }
        int fd = connectTTY(devDir_ + "/" + name);
        std::shared_ptr<Channel> channel;
        try {
            channel = std::make_shared<Channel>(FileDescriptor(fd));
        } catch (const std::exception& error) {
            // Out of threads or memory: the name counts as unseen and is tried next pass.
            std::printf("Cannot start channel [%s]: %s\n", name.c_str(), error.what());
            continue;
        }
        deviceMap[name] = fd;
        present.emplace(name, channel);
        std::lock_guard<std::mutex> lock(channelMapMutex);
        channelMap[name] = std::move(channel);
    }

    for (const auto& entry : channelSnapshot()) {
        Channel& channel = *entry.second;
        if (channel.getDevice() == known_devices::UNKNOWN) {
            continue;
        }
        if (channel.incrementTimeoutCounter() > SILENT_PASSES) {
            std::printf("Connection timeout\n");
            channel.setConfigured(false);
            channel.setDefined(false);
            channel.setDevice(known_devices::UNKNOWN);
        }
    }
}
