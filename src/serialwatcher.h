// Finds the boards: scans the device directory once a second, opens and configures new
// serial ports and gives each a Channel, retires the channels of vanished ports, and returns
// silent boards to the handshake.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>

class SerialWatcher {
public:
    explicit SerialWatcher(std::string devDir = "/dev");
    // Stops the thread and retires every channel this watcher created.
    ~SerialWatcher();
    SerialWatcher(const SerialWatcher&) = delete;
    SerialWatcher& operator=(const SerialWatcher&) = delete;

    // Starts the watcher thread; returns at once.
    void start();
    // Stops the thread and waits for it.
    void stop();

    // One pass over the device directory (the thread runs one a second).
    void pass();

    // The device name filter: ttyUSB<n> and ttyS<digit>, by the characters' positions.
    static bool select(const std::string& name);
    // Opens and configures the port; the descriptor, or -1 when it cannot be opened.
    static int connectTTY(const std::string& path);

    const std::string& devDir() const { return devDir_; }

private:
    void run();

    std::string devDir_;
    std::set<std::string> previous;  // names seen in the last pass; watcher thread only
    std::atomic<bool> running{false};
    std::mutex pauseMutex;
    std::condition_variable pauseCv;
    std::thread thread;
};
