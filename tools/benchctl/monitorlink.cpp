#include "monitorlink.h"

#include <utility>

#include "monitorfilter.h"

namespace {

constexpr std::chrono::milliseconds STATUS_EVERY{1000};
// Bytes read in one call, so that a flood leaves the caller its other work.
constexpr std::size_t READ_PER_PASS = 4 * 1024 * 1024;

}  // namespace

MonitorLink::MonitorLink(std::string host, uint16_t port) : host_(std::move(host)), port_(port) {}

MonitorLink::Attempt MonitorLink::tryConnect(Clock::time_point now, std::string& reason) {
    if (up_ || now < nextAttempt_) {
        return Attempt::NONE;
    }
    if (!connection_.connect(host_, port_, std::chrono::milliseconds(0), reason)) {
        nextAttempt_ = now + backoff_.next();
        return Attempt::FAILED;
    }
    up_ = true;
    stream_ = MessageStream();
    nextStatus_ = now;
    return Attempt::CONNECTED;
}

bool MonitorLink::statusDue(Clock::time_point now) {
    if (!up_ || now < nextStatus_) {
        return false;
    }
    nextStatus_ = now + STATUS_EVERY;
    return true;
}

void MonitorLink::lose() {
    connection_.close();
    up_ = false;
    nextAttempt_ = Clock::now() + backoff_.next();
}

bool MonitorLink::read(std::string& reason) {
    return stream_.feedFrom(connection_.fd(), READ_PER_PASS, reason);
}

bool MonitorLink::next(std::string& message) {
    if (!stream_.next(message)) {
        return false;
    }
    if (!MonitorFilter::isNotice(message)) {
        backoff_.reset();
    }
    return true;
}
