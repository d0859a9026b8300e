#include "service/console.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace {

// What the writer hands to one write call at most: lines of one stream are gathered up to this.
constexpr std::size_t CHUNK = 64 * 1024;

// Descriptors 0, 1 and 2 are opened on /dev/null where they are closed (benchd <&- >&-).
// Otherwise the first descriptors the process opens take their numbers: the outbox's eventfd,
// made while the static objects are constructed, and the server's stop eventfd. Console lines
// then go into an eventfd, and an eight-byte one ("VERSION") is a wake-up that never clears:
// the server spins. So this runs before every static constructor of the program (priority 101
// goes ahead of all constructors without one), which a call at the top of main() would not.
__attribute__((constructor(101))) void openStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // The lowest free number, so `fd` itself: the ones below are open by now.
        int opened = ::open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
}

// Writes all of the bytes unless the descriptor fails; returns how many went.
std::size_t writeAll(int fd, const char* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, data + done, size - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The description is shared with whoever started us and was made non-blocking
            // there: wait for room instead of spinning. Only the writer waits here.
            pollfd room{fd, POLLOUT, 0};
            ::poll(&room, 1, -1);
        } else {
            // Gone (EPIPE: nobody reads any more; EBADF, EIO): the rest is dropped.
            return done;
        }
    }
    return done;
}

// The daemon's console. Made on first use and never destroyed: its writer may be blocked in
// write(2) on a standard output that never drains, and neither the process's exit nor the
// static destructors may wait for that thread or pull its queue from under it. The writer is
// never joined; the end of the process ends it. Lines printed during static destruction still
// find it whole.
Console& daemonConsole() {
    static Console* const instance = new Console(STDOUT_FILENO, STDERR_FILENO);
    return *instance;
}

}  // namespace

namespace console {

void line(Stream stream, std::string text) {
    daemonConsole().line(stream, std::move(text));
}

void out(std::string text) {
    line(Stream::OUT, std::move(text));
}

void err(std::string text) {
    line(Stream::ERR, std::move(text));
}

bool drain(std::chrono::milliseconds timeout) {
    return daemonConsole().drain(timeout);
}

std::string escaped(const std::string& text) {
    std::string result;
    result.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\r') {
            result += "\\r";
        } else if (c == '\n') {
            result += "\\n";
        } else if (c == '\t') {
            result += "\\t";
        } else if (byte < 0x20 || byte == 0x7F) {
            char code[5];
            std::snprintf(code, sizeof code, "\\x%02X", byte);
            result += code;
        } else {
            result += c;
        }
    }
    return result;
}

}  // namespace console

Console::Console(int outFd, int errFd, Limits limits)
    : outFd_(outFd), errFd_(errFd), limits_(limits), writer_([this] { run(); }) {}

Console::~Console() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    writer_.join();
}

void Console::line(console::Stream stream, std::string text) {
    text.push_back('\n');
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pendingLines_ >= limits_.lines || pendingBytes_ + text.size() > limits_.bytes) {
            // An idle writer is woken for the report too (a line longer than the limit).
            ++unreported_[static_cast<int>(stream)];
            ++droppedTotal_;
        } else {
            ++pendingLines_;
            pendingBytes_ += text.size();
            ++queuedTotal_;
            queue_.push_back(Entry{stream, std::move(text)});
        }
    }
    wake_.notify_one();
}

bool Console::drain(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    const std::uint64_t queued = queuedTotal_;
    const std::uint64_t dropped = droppedTotal_;
    return written_.wait_for(lock, timeout,
                             [&] { return finishedTotal_ >= queued && reportedTotal_ >= dropped; });
}

std::uint64_t Console::dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return droppedTotal_;
}

int Console::fdOf(console::Stream stream) const {
    return stream == console::Stream::OUT ? outFd_ : errFd_;
}

void Console::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        wake_.wait(lock, [&] {
            return stopping_ || !queue_.empty() || unreported_[0] + unreported_[1] > 0;
        });
        if (queue_.empty() && unreported_[0] + unreported_[1] == 0) {
            return;  // stopping, and nothing left
        }
        // The whole queue at once: its room is given back only once it is written, so the
        // limits bound everything the console holds.
        std::deque<Entry> batch;
        batch.swap(queue_);
        std::size_t bytes = 0;
        for (const Entry& entry : batch) {
            bytes += entry.text.size();
        }
        // Drops before this batch was taken are told after it, on their own stream.
        const std::uint64_t reports[2] = {unreported_[0], unreported_[1]};
        unreported_[0] = unreported_[1] = 0;
        lock.unlock();

        std::uint64_t failed[2] = {0, 0};
        write(batch, failed);
        for (int stream = 0; stream < 2; ++stream) {
            if (reports[stream] > 0) {
                // A report that cannot be written is not a drop of its own: a stream that is
                // gone would otherwise report its reports for ever.
                const std::string text =
                    "Console: " + std::to_string(reports[stream]) + " lines dropped\n";
                writeAll(stream == 0 ? outFd_ : errFd_, text.data(), text.size());
            }
        }

        lock.lock();
        pendingLines_ -= batch.size();
        pendingBytes_ -= bytes;
        finishedTotal_ += batch.size();
        reportedTotal_ += reports[0] + reports[1];
        // Lines a stream refused are dropped like those that found no room.
        for (int stream = 0; stream < 2; ++stream) {
            unreported_[stream] += failed[stream];
            droppedTotal_ += failed[stream];
        }
        written_.notify_all();
    }
}

void Console::write(const std::deque<Entry>& batch, std::uint64_t (&failed)[2]) const {
    std::string chunk;
    std::vector<std::size_t> ends;  // where each line of the chunk ends
    auto flush = [&](console::Stream stream) {
        const std::size_t done = writeAll(fdOf(stream), chunk.data(), chunk.size());
        // The lines that did not go out whole; one cut short counts among them.
        for (std::size_t end : ends) {
            if (end > done) {
                ++failed[static_cast<int>(stream)];
            }
        }
        chunk.clear();
        ends.clear();
    };
    for (std::size_t i = 0; i < batch.size(); ++i) {
        const Entry& entry = batch[i];
        chunk += entry.text;
        ends.push_back(chunk.size());
        const bool last = i + 1 == batch.size();
        if (last || batch[i + 1].stream != entry.stream || chunk.size() >= CHUNK) {
            flush(entry.stream);
        }
    }
}
