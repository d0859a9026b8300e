#include "backoff.h"

#include <algorithm>

Backoff::Backoff(std::chrono::milliseconds first, std::chrono::milliseconds longest)
    : first_(first), longest_(std::max(first, longest)), wait_(first) {}

std::chrono::milliseconds Backoff::next() {
    std::chrono::milliseconds now = wait_;
    wait_ = std::min(wait_ * 2, longest_);
    return now;
}
