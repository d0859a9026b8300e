#include "client/failsafe.h"

#include "client/servicestatus.h"
#include "client/tcpcommandparser.h"
#include "link/channel.h"
#include "link/channelregistry.h"
#include "link/sendmanager.h"
#include "service/console.h"

namespace {

// How often the boards are looked at while the stop waits for their acknowledgements; longer
// than one try of a command, so that a command taken off the queue shows in the ACK number.
constexpr std::chrono::milliseconds SETTLE_POLL{30};
// How often the boards are looked at while the fail-safe is in force: a board that identifies
// itself gets the safe state within this, long before a motor could be told anything else.
constexpr std::chrono::milliseconds WATCH_PERIOD{100};

// " (ttyUSB0 stand 61, ttyUSB1 tester 34)", or " (no board identified)".
std::string listed(const std::vector<std::string>& boards) {
    std::string text;
    for (const std::string& board : boards) {
        text += (text.empty() ? "" : ", ") + board;
    }
    return " (" + (text.empty() ? std::string("no board identified") : text) + ")";
}

// Every board has sent out its queue and acknowledged the last command.
bool settled() {
    for (const auto& entry : channelSnapshot()) {
        const Channel& channel = *entry.second;
        if (channel.sendManager->queued() > 0 ||
            (channel.isDefined() && channel.getAckNumber() == Channel::NO_ACK)) {
            return false;
        }
    }
    return true;
}

}  // namespace

FailSafe::FailSafe(std::chrono::seconds delay) : delay_(delay) {
    if (delay_.count() > 0) {
        thread_ = std::thread(&FailSafe::run, this);
    }
}

FailSafe::~FailSafe() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

const std::vector<std::string>& FailSafe::settings() {
    static const std::vector<std::string> safe = {"device_active:0",     "device_pump:0",
                                                  "injector_active:0",   "regulator1_active:0",
                                                  "regulator2_active:0", "regulator3_active:0"};
    return safe;
}

void FailSafe::clientChanged(bool connected) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connected_.store(connected);
        lost_ = !connected;
        lostAt_ = std::chrono::steady_clock::now();
        if (connected) {
            // The client sets the bench as it wants from now on.
            inForce_ = false;
            reached_.clear();
        }
    }
    wake_.notify_all();
}

void FailSafe::applyLocked(const Channel* only) {
    for (const std::string& setting : settings()) {
        TcpCommandParser::parse(setting, only);
    }
    if (only == nullptr) {
        lost_ = false;
    }
}

void FailSafe::reachNewBoardsLocked() {
    std::map<uint64_t, uint32_t> reached;
    std::vector<std::string> boards;
    for (const auto& entry : channelSnapshot()) {
        const Channel& channel = *entry.second;
        const Channel::Identity identity = channel.identity();
        const auto found = reached_.find(channel.serial());
        if (Channel::definedIn(identity) &&
            (found == reached_.end() || found->second != identity)) {
            applyLocked(&channel);
            boards.push_back(boardDescription(entry.first, Channel::deviceOf(identity)));
            reached.emplace(channel.serial(), identity);
        } else if (found != reached_.end()) {
            reached.insert(*found);
        }
    }
    // Retired channels are forgotten.
    reached_.swap(reached);
    if (!boards.empty()) {
        console::out(std::string("Fail-safe: no control client, ") +
                     (boards.size() == 1 ? "board set to its" : "boards set to their") +
                     " safe state on identification" + listed(boards));
    }
}

void FailSafe::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        if (inForce_ && !lost_) {
            reachNewBoardsLocked();
            wake_.wait_for(lock, WATCH_PERIOD, [this] { return stop_ || !inForce_ || lost_; });
            continue;
        }
        if (!lost_) {
            wake_.wait(lock, [this] { return stop_ || lost_; });
            continue;
        }
        const auto deadline = lostAt_ + delay_;
        if (wake_.wait_until(lock, deadline, [this] { return stop_ || !lost_; })) {
            continue;
        }
        // The boards identified now are reached by the parse; noted first, so that one
        // identified meanwhile is at worst set twice, never missed.
        reached_.clear();
        std::vector<std::string> boards;
        for (const auto& entry : channelSnapshot()) {
            const Channel::Identity identity = entry.second->identity();
            if (Channel::definedIn(identity)) {
                reached_.emplace(entry.second->serial(), identity);
                boards.push_back(boardDescription(entry.first, Channel::deviceOf(identity)));
            }
        }
        applyLocked();
        inForce_ = true;
        console::out("Fail-safe: control client lost for " + std::to_string(delay_.count()) +
                     " s, boards set to their safe state" + listed(boards));
    }
}

void FailSafe::stopping(std::chrono::milliseconds limit) {
    if (delay_.count() == 0) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        applyLocked();
    }
    console::out("Fail-safe: benchd stopping, boards set to their safe state");
    // Done when the boards look settled on two looks in a row: between the sender taking a
    // command off its queue and clearing the ACK number, one look could see the old number.
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int settledLooks = 0;
    while (settledLooks < 2 && std::chrono::steady_clock::now() < deadline) {
        settledLooks = settled() ? settledLooks + 1 : 0;
        if (settledLooks < 2) {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait_for(lock, SETTLE_POLL);
        }
    }
}
