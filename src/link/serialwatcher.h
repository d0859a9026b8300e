// Finds the boards: scans the device directory once a second, opens and configures new
// serial ports and gives each a Channel, retires the channels of vanished ports, and returns
// silent boards to the handshake. A port whose device node changed under the same name, or
// whose reader lost it, counts as vanished and then new: a board plugged out and in again
// between two scans is reopened. Only terminals are opened; an entry that cannot be opened
// (not yet permitted, not a terminal, no descriptor left, a port that refuses the exclusive
// lock or the settings) gets no channel: it is tried again on every pass and said once per
// reason. A pass whose listing fails changes nothing: only a port that its reader lost is
// retired then.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "service/waker.h"

struct BoardBehaviour;
class Channel;
struct stat;
struct termios;

// The terminal calls of a port's set-up; the real ones unless a test plays a port that
// refuses one of them.
struct TerminalCalls {
    int (*lockExclusive)(int fd);  // ioctl(fd, TIOCEXCL)
    int (*getAttributes)(int fd, termios* settings);
    int (*setInputSpeed)(termios* settings, unsigned speed);
    int (*setOutputSpeed)(termios* settings, unsigned speed);
    int (*setAttributes)(int fd, int when, const termios* settings);
    static TerminalCalls real();
};

// Which device names the watcher takes, as globs over the names: with `take` empty the built-in
// filter select() decides; a name that matches `ignore` is never opened, locked or written to.
struct PortGlobs {
    std::vector<std::string> take;
    std::vector<std::string> ignore;
};

class SerialWatcher {
public:
    // Every channel is handed `board` (null: frames are acknowledged and dropped, and a board's
    // going is said on the console alone); it outlives the watcher.
    explicit SerialWatcher(std::string devDir = "/dev", PortGlobs globs = {},
                           const BoardBehaviour* board = nullptr);
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

    // The built-in device name filter: ttyUSB<n> and ttyS<digit>, by the characters' positions.
    static bool select(const std::string& name);
    // The filter this watcher applies: its globs, or select().
    bool takes(const std::string& name) const;
    const std::string& devDir() const { return devDir_; }

    // A test seam: called by pass() between seeing that a board went silent and returning it
    // to the handshake, with its channel. Set it while no pass runs.
    void setSilenceHook(std::function<void(Channel&)> hook) { silenceHook = std::move(hook); }
    // A test seam: the terminal calls that ports are set up with. Set them while no pass runs.
    void setTerminalCalls(const TerminalCalls& calls) { terminal = calls; }

private:
    // Which device node a name led to (stat, following links): another node under the same
    // name is another board.
    struct Node {
        Node() = default;
        explicit Node(const struct stat& info);
        bool exists = false;
        uint64_t rdev = 0;
        uint64_t dev = 0;
        uint64_t ino = 0;
        bool operator==(const Node& other) const;
        bool operator!=(const Node& other) const { return !(*this == other); }
    };
    struct Port {
        std::shared_ptr<Channel> channel;  // null while the port is not open
        Node node;                         // at opening, or where the name led at the last failure
        std::string failure;               // why it is not open, as last said; empty once open
    };
    // An accepted name as the directory lists it.
    struct Listed {
        uint64_t ino = 0;
        unsigned char type = 0;  // DT_REG, DT_LNK, ... (DT_UNKNOWN where the file system says not)
    };
    using Listing = std::map<std::string, Listed>;
    // A terminal opened and configured, or why not.
    struct Opening {
        int fd = -1;
        std::string failure;
        bool shortage = false;  // no descriptor to spare: nothing wrong with the port
        Node node;
    };
    static Node nodeOf(const std::string& path);
    Opening openTerminal(const std::string& path) const;
    // Exclusive, raw 115200 8N1 (read back to see that it took), low latency; `path` only for
    // the console. What the port refused and why, or empty.
    std::string configure(int fd, const std::string& path) const;

    void run();
    // The accepted names of the directory; none when it cannot be listed (said once per
    // reason, or as a shortage of descriptors).
    std::optional<Listing> listDevices();
    // Opens the name's port for `port`, a new one or one that failed before, and says so:
    // "Connect to", or "Error opening" (a shortage of descriptors) unless that reason was said
    // last. The descriptor or -1.
    int openPort(const std::string& name, Port& port);
    // A channel for the descriptor, or null (said, throttled) when its threads cannot start.
    std::shared_ptr<Channel> startChannel(const std::string& name, int fd) const;
    // Tries again a port that did not open; once it opens, it gets its channel. A regular file
    // that is still the one that failed is left alone: it cannot have become a port.
    void retry(const std::string& name, const Listed& listed, Port& port);
    // Returns an identified board that stayed silent too long to the handshake.
    void checkSilence(Channel& channel);
    // "Device disconnected", the channel retired, and the board's going handed on if it had
    // identified itself.
    void disconnect(const std::string& name);
    // Takes the channel out of channelMap, then stops its threads, closes its
    // port and prints its counters. Returns the channel's last device id.
    unsigned char retire(std::string name);

    std::string devDir_;
    PortGlobs globs_;
    const BoardBehaviour* board_;
    // Names seen in the last pass, with the channel made for each; pass() only.
    std::map<std::string, Port> present;
    // Why the directory could not be listed, as said; forgotten once it has been readable for
    // a while, so that a directory that flaps is not said on every flap. pass() only.
    std::set<std::string> dirFailuresSaid;
    unsigned readablePasses = 0;
    std::function<void(Channel&)> silenceHook;       // pass() only
    TerminalCalls terminal = TerminalCalls::real();  // pass() only
    Waker waker_;                                    // stop()
    std::thread thread;
};
