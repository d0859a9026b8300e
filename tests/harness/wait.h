// Waiting on a condition with a deadline: the harness polls, never sleeps a guessed time.
#pragma once

#include <chrono>
#include <functional>

namespace harness {

using namespace std::chrono_literals;

// Polls pred every `period` until it is true or the timeout passes; pred's last answer.
bool waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 5000ms,
               std::chrono::milliseconds period = 2ms);

}  // namespace harness
