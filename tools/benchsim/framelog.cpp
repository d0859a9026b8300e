#include "framelog.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

std::string hexOf(const std::vector<unsigned char>& bytes) {
    if (bytes.empty()) {
        return "-";
    }
    static const char DIGITS[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (unsigned char byte : bytes) {
        text += DIGITS[byte >> 4];
        text += DIGITS[byte & 0x0F];
    }
    return text;
}

std::string frameText(const LineEvent& piece) {
    return std::to_string(piece.code) + " " + std::to_string(piece.number) + " " +
           hexOf(piece.payload);
}

}  // namespace

FrameLog::~FrameLog() {
    flush(true);
}

bool FrameLog::open(const std::string& path, std::string& error) {
    fd_ = FileDescriptor(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0644));
    if (!fd_.valid()) {
        error = "cannot open the frame log " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

int64_t FrameLog::monotonicUs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

void FrameLog::add(const std::string& board, const std::string& text) {
    if (!fd_.valid() || failed_) {
        return;
    }
    const int64_t now = monotonicUs();
    if (buffer_.empty()) {
        oldestUs_ = now;
    }
    buffer_ += std::to_string(now) + " " + board + " " + text + "\n";
    if (buffer_.size() >= FLUSH_BYTES) {
        flush(true);
    }
}

int64_t FrameLog::dueInUs() const {
    if (buffer_.empty()) {
        return -1;
    }
    int64_t left = oldestUs_ + FLUSH_US - monotonicUs();
    return left < 0 ? 0 : left;
}

bool FrameLog::flush(bool force) {
    if (failed_) {
        return false;
    }
    if (buffer_.empty() || (!force && dueInUs() > 0)) {
        return true;
    }
    // The buffer holds whole lines, written in order; a short write goes on from where it
    // stopped.
    std::size_t done = 0;
    while (done < buffer_.size()) {
        ssize_t n = ::write(fd_.get(), buffer_.data() + done, buffer_.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error_ = n < 0 ? std::strerror(errno) : "nothing written";
            failed_ = true;
            buffer_.clear();
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    buffer_.clear();
    return true;
}

std::string FrameLog::sent(const LineEvent& piece) {
    switch (piece.kind) {
        case LineEvent::DATA:
            return "tx data " + frameText(piece);
        case LineEvent::BADCRC:
            return "tx badcrc " + frameText(piece);
        case LineEvent::ACK:
            return "tx ack " + std::to_string(piece.number);
        case LineEvent::BADACK:
            return "tx badack " + std::to_string(piece.number);
        default:
            return "tx noise " + std::to_string(piece.size);
    }
}

std::string FrameLog::received(const LineEvent& piece) {
    switch (piece.kind) {
        case LineEvent::DATA:
            return "rx data " + frameText(piece);
        case LineEvent::ACK:
            return "rx ack " + std::to_string(piece.number);
        default:
            return "rx bad " + std::to_string(piece.size);
    }
}

std::string FrameLog::lost(const LineEvent& piece, const char* reason) {
    const bool ack = piece.kind == LineEvent::ACK || piece.kind == LineEvent::BADACK;
    return std::string("tx lost ") + reason + " " + (ack ? "ack" : std::to_string(piece.code)) +
           " " + std::to_string(piece.number);
}
