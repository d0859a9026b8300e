// The daemon's console: every line that the daemon prints goes through here, whole, so that
// no line is ever broken by another thread's line, and no thread of the data path ever waits
// on standard output or error. A writer thread of the console's own empties a bounded queue
// onto the descriptors; when they do not keep up, new lines are dropped and counted, and
// "Console: N lines dropped" follows on that stream once the writer gets through again.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

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

// The text with its control characters written out ("\r", "\n", "\t", "\xNN" for the other
// bytes below 0x20 and for 0x7F), for echoing bytes that someone else sent: they cannot
// break or forge a console line then. Other bytes are kept as they are.
std::string escaped(const std::string& text);

}  // namespace console

// One console: the bounded queue of lines and the writer thread that empties it onto two
// descriptors. The daemon's is behind the functions above; tests make their own on pipes.
class Console {
public:
    struct Limits {
        std::size_t lines;  // lines queued or being written, at most
        std::size_t bytes;  // their bytes, line ends included, at most
    };
    static constexpr Limits DEFAULT_LIMITS{8192, 1 << 20};

    // Starts the writer. The descriptors stay the caller's.
    Console(int outFd, int errFd, Limits limits = DEFAULT_LIMITS);
    // Writes what is queued, then stops and joins the writer: it waits for descriptors that
    // do not drain, so a console whose output may stall is never destroyed (the daemon's
    // lives as long as the process).
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // As console::line and console::drain.
    void line(console::Stream stream, std::string text);
    bool drain(std::chrono::milliseconds timeout);
    // Lines dropped so far, reported or not.
    std::uint64_t dropped() const;

private:
    struct Entry {
        console::Stream stream;
        std::string text;  // with its line end
    };

    void run();
    // Writes the lines in order; returns how many of each stream did not go out whole.
    void write(const std::deque<Entry>& batch, std::uint64_t (&failed)[2]) const;
    int fdOf(console::Stream stream) const;

    const int outFd_;
    const int errFd_;
    const Limits limits_;
    // A leaf: nothing else is taken under it, and no input or output happens under it.
    mutable std::mutex mutex_;
    std::condition_variable wake_;     // the writer waits on it for lines or the stop
    std::condition_variable written_;  // drain() waits on it for the writer's progress
    std::deque<Entry> queue_;          // guarded by mutex_
    // Lines and bytes queued or in the batch being written, against the limits. Guarded by
    // mutex_.
    std::size_t pendingLines_ = 0;
    std::size_t pendingBytes_ = 0;
    // Lines ever queued, and ever finished by the writer (written or failed): drain() waits
    // for the second to reach the first. Guarded by mutex_.
    std::uint64_t queuedTotal_ = 0;
    std::uint64_t finishedTotal_ = 0;
    // Lines dropped and not reported yet, per stream; ever dropped; ever covered by a report
    // the writer has written. Guarded by mutex_.
    std::uint64_t unreported_[2] = {0, 0};
    std::uint64_t droppedTotal_ = 0;
    std::uint64_t reportedTotal_ = 0;
    bool stopping_ = false;  // guarded by mutex_
    std::thread writer_;
};
