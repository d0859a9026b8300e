// The waits between attempts to reconnect: doubling from a first wait up to a longest one,
// back to the first once a connection has proved good.
#pragma once

#include <chrono>

class Backoff {
public:
    explicit Backoff(std::chrono::milliseconds first = std::chrono::milliseconds(200),
                     std::chrono::milliseconds longest = std::chrono::milliseconds(2000));
    // The wait before the next attempt; each call doubles the following one, up to the longest.
    std::chrono::milliseconds next();
    void reset() { wait_ = first_; }

private:
    std::chrono::milliseconds first_, longest_, wait_;
};
