#include "client/failsafe.h"

#include "client/tcpcommandparser.h"
#include "link/channel.h"
#include "link/channelregistry.h"
#include "link/sendmanager.h"
#include "service/console.h"

namespace {

// How often the boards are looked at while the stop waits for their acknowledgements; longer
// than one try of a command, so that a command taken off the queue shows in the ACK number.
constexpr std::chrono::milliseconds SETTLE_POLL{30};

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
    }
    wake_.notify_all();
}

void FailSafe::applyLocked() {
    for (const std::string& setting : settings()) {
        TcpCommandParser::parse(setting);
    }
    lost_ = false;
}

void FailSafe::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        if (!lost_) {
            wake_.wait(lock, [this] { return stop_ || lost_; });
            continue;
        }
        const auto deadline = lostAt_ + delay_;
        if (wake_.wait_until(lock, deadline, [this] { return stop_ || !lost_; })) {
            continue;
        }
        applyLocked();
        console::out("Fail-safe: control client lost for " + std::to_string(delay_.count()) +
                     " s, boards set to their safe state");
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
