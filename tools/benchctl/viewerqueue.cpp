#include "viewerqueue.h"

void ViewerQueue::push(const std::string& text) {
    MutexLock lock(mutex_);
    if (closed_ || state_ == State::Fresh) {
        return;  // its picture, taken later, holds this already
    }
    if (state_ == State::Behind) {
        ++lost_;
        ++lostNow_;
        return;
    }
    if (bytes_ + text.size() > maxBytes_) {
        lost_ += events_.size() + 1;
        lostNow_ += events_.size() + 1;
        events_.clear();
        bytes_ = 0;
        state_ = State::Behind;
        ready_.notifyAll();
        return;
    }
    events_.push_back(text);
    bytes_ += text.size();
    ready_.notifyAll();
}

ViewerQueue::Take ViewerQueue::take(std::string& out, unsigned long& lost,
                                    Clock::time_point deadline) {
    MutexLock lock(mutex_);
    for (;;) {
        if (closed_) {
            return Take::Closed;
        }
        if (state_ != State::Live) {
            lost = lostNow_;
            return Take::Fresh;
        }
        if (!events_.empty()) {
            out.clear();
            out.reserve(bytes_);
            for (const std::string& event : events_) {
                out += event;
            }
            events_.clear();
            bytes_ = 0;
            return Take::Events;
        }
        if (!ready_.waitUntil(lock, deadline)) {
            return Take::Idle;
        }
    }
}

void ViewerQueue::refreshed() {
    MutexLock lock(mutex_);
    state_ = State::Live;
    lostNow_ = 0;
    events_.clear();
    bytes_ = 0;
}

void ViewerQueue::close() {
    MutexLock lock(mutex_);
    closed_ = true;
    ready_.notifyAll();
}

unsigned long ViewerQueue::lost() const {
    MutexLock lock(mutex_);
    return lost_;
}

std::size_t ViewerQueue::bytes() const {
    MutexLock lock(mutex_);
    return bytes_;
}
