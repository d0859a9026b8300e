#include "consolecapture.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "service/console.h"
#include "testsupport.h"

ConsoleCapture::ConsoleCapture(int fd) : fd_(fd) {
    std::string path = (std::filesystem::temp_directory_path() / "benchd-console-XXXXXX").string();
    file_.reset(::mkostemp(path.data(), O_CLOEXEC));
    if (!file_.valid()) {
        throw std::runtime_error("cannot create a capture file");
    }
    ::unlink(path.c_str());
    // Lines printed before the capture began go where they were headed.
    console::drain();
    std::fflush(nullptr);
    saved_.reset(::fcntl(fd_, F_DUPFD_CLOEXEC, 0));
    ::dup2(file_.get(), fd_);
}

ConsoleCapture::~ConsoleCapture() {
    console::drain();
    std::fflush(nullptr);
    ::dup2(saved_.get(), fd_);
    // The failure messages of the test went into the capture too.
    if (::testing::Test::HasFailure()) {
        std::string captured = text();
        ssize_t ignored = ::write(fd_, captured.data(), captured.size());
        (void)ignored;
    }
}

std::string ConsoleCapture::text() const {
    // The console's writer prints on its own thread: what was queued so far is in the file.
    console::drain();
    std::fflush(nullptr);
    std::string text;
    char buffer[65536];
    off_t offset = 0;
    ssize_t n;
    while ((n = ::pread(file_.get(), buffer, sizeof buffer, offset)) > 0) {
        text.append(buffer, static_cast<std::size_t>(n));
        offset += n;
    }
    return text;
}

std::size_t ConsoleCapture::count(const std::string& needle) const {
    std::string all = text();
    std::size_t found = 0;
    for (std::size_t at = all.find(needle); at != std::string::npos;
         at = all.find(needle, at + needle.size())) {
        ++found;
    }
    return found;
}

bool ConsoleCapture::waitFor(const std::string& needle, std::size_t times,
                             std::chrono::milliseconds timeout) const {
    return testing_support::waitUntil([&] { return count(needle) >= times; }, timeout);
}
