// A raw pseudo-terminal pair. The master side plays the board; the slave side is what the
// host opens (by its path, or through a link in a device directory).
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "frames.h"
#include "service/filedescriptor.h"

namespace harness {

using namespace std::chrono_literals;

class Pty {
public:
    // Both sides raw, the master non-blocking. The slave side is opened once so that the line
    // settings stick before the host opens it; with `holdSlave` it stays open for the life of
    // the pair, so that the master never sees a hang-up while the host reopens the port.
    // Throws std::system_error when the system has no pseudo-terminal to give.
    explicit Pty(bool holdSlave = false);
    int master() const { return master_.get(); }
    const std::string& slavePath() const { return slavePath_; }
    // Opens the slave side (raw, non-blocking) and hands over the descriptor.
    FileDescriptor openSlave() const;
    // Writes all of bytes, waiting while the line is full.
    void write(const Bytes& bytes) const;
    // Reads everything the master gets until `timeout` has passed.
    Bytes readFor(std::chrono::milliseconds timeout);
    // Reads until at least `count` bytes arrived or the timeout passed.
    Bytes readAtLeast(std::size_t count, std::chrono::milliseconds timeout = 3000ms);
    // Bytes written on the master's side that the host has not read yet (needs the held
    // slave side; 0 without it).
    int unread() const;
    // Closes both sides, as when a board's adapter is pulled: the host's side hangs up.
    void close() {
        master_.reset();
        slave_.reset();
    }

private:
    FileDescriptor master_;
    FileDescriptor slave_;  // held open only when asked
    std::string slavePath_;
};

// Makes a terminal raw: the line discipline neither echoes frames back nor edits them.
void makeRaw(int fd);

// Writes all of `size` bytes to a non-blocking descriptor, waiting while it is full.
void writeAll(int fd, const unsigned char* bytes, std::size_t size);

}  // namespace harness
