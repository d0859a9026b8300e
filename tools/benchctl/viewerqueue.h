// The events waiting for one page viewer. The monitor side only ever adds and never waits for
// a viewer; a viewer that does not read falls behind alone: past its bound its queue is emptied,
// what comes until it reads again is lost (and counted), and it then starts again from a fresh
// picture of the bench.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <string>

#include "service/sync.h"

class ViewerQueue {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t MAX_BYTES = 1024 * 1024;

    explicit ViewerQueue(std::size_t maxBytes = MAX_BYTES) : maxBytes_(maxBytes) {}

    // Adds one event's text.
    void push(const std::string& text) EXCLUDES(mutex_);

    enum class Take {
        Events,  // `out` holds the events queued, in order
        Fresh,   // the viewer needs a whole picture first (it is new, or lost `lost` events)
        Idle,    // nothing came before the deadline
        Closed,
    };
    Take take(std::string& out, unsigned long& lost, Clock::time_point deadline) EXCLUDES(mutex_);
    // The viewer was given a whole picture: the events from now on follow it. Called with the
    // events' source held, so that none falls between the picture and the queue.
    void refreshed() EXCLUDES(mutex_);
    void close() EXCLUDES(mutex_);

    unsigned long lost() const EXCLUDES(mutex_);
    std::size_t bytes() const EXCLUDES(mutex_);

private:
    enum class State { Fresh, Live, Behind };

    const std::size_t maxBytes_;
    mutable Mutex mutex_;
    CondVar ready_;
    std::deque<std::string> events_ GUARDED_BY(mutex_);
    std::size_t bytes_ GUARDED_BY(mutex_) = 0;
    State state_ GUARDED_BY(mutex_) = State::Fresh;
    bool closed_ GUARDED_BY(mutex_) = false;
    unsigned long lost_ GUARDED_BY(mutex_) = 0;     // since the viewer came
    unsigned long lostNow_ GUARDED_BY(mutex_) = 0;  // since its last picture
};
