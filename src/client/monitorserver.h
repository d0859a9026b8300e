// The monitor port: read-only observers beside the control client. Each observer gets the
// identified boards and the latest value of every key first, then a copy of every message
// queued for the control client, in the same order; it may ask for `status;` and can change
// nothing. The server runs a thread of its own: nothing it does waits on, or delays, the
// control client or the boards.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/addressfilter.h"
#include "client/listener.h"
#include "service/outbox.h"
#include "service/waker.h"

// The monitor port's settings, as the options give them.
struct MonitorSettings {
    uint16_t port = 2016;  // 0: no monitor port
    std::string bindAddress = "127.0.0.1";
    // Networks ("ADDR[/PREFIX]", checked already) whose observers are served; empty: anyone
    // who reaches bindAddress.
    std::vector<std::string> allow;
    std::size_t maxObservers = 8;  // at once
    // What each observer may have waiting; beyond it the observer loses messages, counted and
    // told.
    std::size_t bufferBytes = 1u << 20;
};

class MonitorServer {
public:
    // `clientAddress` says who the control client is ("address:port", empty for none); it is
    // called from the monitor's thread.
    MonitorServer(MonitorSettings settings, std::function<std::string()> clientAddress);
    ~MonitorServer();
    MonitorServer(const MonitorServer&) = delete;
    MonitorServer& operator=(const MonitorServer&) = delete;

    // Binds the port and starts the thread. A port that cannot be bound is said on the
    // console in one line and leaves the daemon without observers: false. Port 0: nothing.
    bool start();
    // Ends the thread and closes every observer. Idempotent.
    void stop();
    // The bound port.
    uint16_t port() const { return port_; }
    // An observer that died is dropped after about this long (see client/liveness.h). Call
    // before start().
    void setObserverTimeout(std::chrono::seconds timeout) { observerTimeout_ = timeout; }
    // Only peers the filter allows are served; a connection from elsewhere is closed at once
    // without a byte read, said and counted. By default everyone who reaches the bound
    // address is. Call before start().
    void setAllowed(AddressFilter allowed) { listener_.setAllowed(std::move(allowed)); }
    // The control port's refused connections, for the status block, which tells the refused
    // connections once this is set or the monitor has a filter of its own. Called from the
    // monitor's thread. Call before start().
    void setControlRefused(std::function<uint64_t()> refused) {
        controlRefused_ = std::move(refused);
    }

    // Keys whose latest value is kept; a further key is not kept (said on the console).
    static constexpr std::size_t KEY_LIMIT = 1024;

    // What an observer that sent `bytes`, received `block` bytes at a time, is answered: the
    // monitor thread's own handling, without a socket or the thread (for the fuzzer).
    std::string answerBytes(const std::string& bytes, std::size_t block);

private:
    struct Observer;

    void run();
    void accept();
    // Takes the queued copies: the latest values, then every observer's buffer.
    void takeCopies();
    // Reads what the observer sent and answers it. False when the connection has ended.
    bool receive(Observer& observer);
    // Tells the observer that a message of its was too long, and dropped.
    void answerOversized(Observer& observer);
    // Takes one allowed connection as an observer, or refuses it with a reason.
    void admit(FileDescriptor fd);
    void answer(Observer& observer, const std::string& message);
    std::string statusBlock() const;

    uint16_t port_;
    std::string bindAddress_;
    std::size_t maxObservers_;
    std::size_t bufferBytes_;
    std::function<std::string()> clientAddress_;
    std::chrono::seconds observerTimeout_{30};
    std::function<uint64_t()> controlRefused_;
    const std::chrono::steady_clock::time_point started_;
    Listener listener_;
    Waker waker_{true};
    std::thread thread_;
    // The monitor's thread only, once started.
    std::vector<std::unique_ptr<Observer>> observers_;
    std::map<std::string, SharedMessage> latest_;  // key -> its latest whole message
    MessageCopies copies_;                         // the client's messages, copied
    std::deque<SharedMessage> taken_;              // scratch for takeCopies()
};
