// The daemon's console: every line that the daemon prints goes through here, whole, so that
// no line is ever broken by another thread's line, and no thread of the data path ever waits
// on standard output or error.
#pragma once

#include <chrono>
#include <string>

namespace console {

enum class Stream { OUT, ERR };

// Queues one whole line (given without its line end) for standard output or error. Never
// blocks on the console. Safe from any thread.
void out(std::string line);
void err(std::string line);
void line(Stream stream, std::string line);

// Waits until every line queued before the call has been written or dropped; false when the
// timeout passed first. Safe from any thread but the console's own writer.
bool drain(std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));

}  // namespace console
