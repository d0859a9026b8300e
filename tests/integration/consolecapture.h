// Redirects standard output or error of the test process into a temporary file that a test
// can read while other threads are still printing. The console is drained when the capture
// begins, ends and is read, so its writer thread's lines land where they were printed.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "service/filedescriptor.h"

class ConsoleCapture {
public:
    // fd: 1 for standard output, 2 for standard error.
    explicit ConsoleCapture(int fd);
    ~ConsoleCapture();
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    // Everything printed since the capture began.
    std::string text() const;
    // How often `needle` was printed so far.
    std::size_t count(const std::string& needle) const;
    // Polls until `needle` was printed at least `times` times.
    bool waitFor(const std::string& needle, std::size_t times = 1,
                 std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) const;

private:
    int fd_;
    FileDescriptor saved_;
    FileDescriptor file_;
};
