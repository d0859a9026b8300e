// Finds the boards: scans the device directory once a second, opens and configures new
// serial ports and gives each a Channel, retires the channels of vanished ports, and returns
// silent boards to the handshake.
#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class Channel;

class SerialWatcher {
public:
    explicit SerialWatcher(std::string devDir = "/dev");
    // Stops the thread and retires every channel this watcher created (no client messages).
    ~SerialWatcher();
    SerialWatcher(const SerialWatcher&) = delete;
    SerialWatcher& operator=(const SerialWatcher&) = delete;

    // Starts the watcher thread; returns at once. A second call does nothing.
    void start();
    // Stops the thread and waits for it (at most one pass). Safe from any other thread.
    void stop();

    // One pass over the device directory (the thread runs one a second). Call it from one
    // thread at a time: the watcher thread, or a test that did not start it.
    void pass();

    // The device name filter: ttyUSB<n> and ttyS<digit>, by the characters' positions.
    static bool select(const std::string& name);
    // Opens and configures the port; the descriptor, or -1 when it cannot be opened.
    static int connectTTY(const std::string& path);

    const std::string& devDir() const { return devDir_; }

private:
    void run();
    // Takes the channel out of channelMap and deviceMap, then stops its threads and closes
    // its port. Returns the channel's last device id.
    unsigned char retire(std::string name);

    std::string devDir_;
    // Names seen in the last pass, with the channel made for each; pass() only.
    std::map<std::string, std::shared_ptr<Channel>> present;
    std::atomic<bool> running{false};
    std::mutex pauseMutex;
    std::condition_variable pauseCv;  // stop()
    std::thread thread;
};
