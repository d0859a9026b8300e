#include "service/console.h"

#include <unistd.h>

#include <cerrno>
#include <mutex>

namespace console {

namespace {
std::mutex writeMutex;

void writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}
}  // namespace

void line(Stream stream, std::string text) {
    text.push_back('\n');
    std::lock_guard<std::mutex> lock(writeMutex);
    writeAll(stream == Stream::OUT ? STDOUT_FILENO : STDERR_FILENO, text);
}

void out(std::string text) {
    line(Stream::OUT, std::move(text));
}

void err(std::string text) {
    line(Stream::ERR, std::move(text));
}

bool drain(std::chrono::milliseconds) {
    return true;
}

}  // namespace console
