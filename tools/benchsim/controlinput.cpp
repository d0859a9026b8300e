#include "controlinput.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace {

const struct {
    const char* name;
    ControlCommand::Verb verb;
    const char* argument;  // what follows NAME, or nullptr
    bool speed;            // a speed in rpm follows the seconds
} VERBS[] = {
    {"unplug", ControlCommand::UNPLUG, nullptr, false},
    {"replug", ControlCommand::REPLUG, nullptr, false},
    {"silent", ControlCommand::SILENT, "SECONDS", false},
    {"reset", ControlCommand::RESET, nullptr, false},
    {"noise", ControlCommand::NOISE, "BYTES", false},
    {"badcrc", ControlCommand::BADCRC, "COUNT", false},
    {"noack", ControlCommand::NOACK, "SECONDS", false},
    {"hold", ControlCommand::HOLD, "SECONDS RPM", true},
};

bool wholeNumber(const std::string& text, unsigned long low, unsigned long high,
                 unsigned long& value) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    value = std::strtoul(text.c_str(), nullptr, 10);
    return value >= low && value <= high;
}

}  // namespace

bool ControlCommand::parse(const std::string& line, ControlCommand& command, std::string& error) {
    std::istringstream words(line);
    std::vector<std::string> word;
    for (std::string w; words >> w;) {
        word.push_back(w);
    }
    if (word.empty()) {
        error = "empty command";
        return false;
    }
    for (const auto& known : VERBS) {
        if (word[0] != known.name) {
            continue;
        }
        const std::size_t wanted = known.argument ? (known.speed ? 4 : 3) : 2;
        if (word.size() != wanted) {
            error = word[0] + " takes NAME" +
                    (known.argument ? std::string(" ") + known.argument : "") + ", not '" + line +
                    "'";
            return false;
        }
        command = ControlCommand{};
        command.verb = known.verb;
        command.board = word[1];
        if (!known.argument) {
            return true;
        }
        const std::string& number = word[2];
        if (known.verb == SILENT || known.verb == NOACK || known.verb == HOLD) {
            char* end = nullptr;
            command.seconds = std::strtod(number.c_str(), &end);
            if (*end != '\0' || !std::isfinite(command.seconds) || command.seconds <= 0 ||
                command.seconds > MAX_SECONDS) {
                error = word[0] + " takes seconds above 0, up to " +
                        std::to_string(static_cast<long>(MAX_SECONDS)) + ", not '" + number + "'";
                return false;
            }
            if (known.speed && !wholeNumber(word[3], 0, MAX_HOLD_RPM, command.count)) {
                error = word[0] + " takes a speed from 0 to " + std::to_string(MAX_HOLD_RPM) +
                        " rpm, not '" + word[3] + "'";
                return false;
            }
            return true;
        }
        const unsigned long high = known.verb == NOISE ? MAX_NOISE : MAX_BADCRC;
        if (!wholeNumber(number, 1, high, command.count)) {
            error = word[0] + " takes a count from 1 to " + std::to_string(high) + ", not '" +
                    number + "'";
            return false;
        }
        return true;
    }
    error = "unknown command '" + word[0] + "'";
    return false;
}

bool ControlInput::open(const std::string& path, std::string& error) {
    path_ = path;
    standardInput_ = path == "-";
    if (standardInput_) {
        return true;
    }
    // Non-blocking, so that a FIFO opens before any writer has.
    fd_ = FileDescriptor(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat info {};
    if (!fd_.valid() || ::fstat(fd_.get(), &info) != 0) {
        error = "cannot open the control input " + path + ": " + std::strerror(errno);
        return false;
    }
    fifo_ = S_ISFIFO(info.st_mode);
    return true;
}

int ControlInput::fd() const {
    if (ended_) {
        return -1;
    }
    return standardInput_ ? STDIN_FILENO : fd_.get();
}

void ControlInput::read(std::vector<std::string>& lines, std::vector<std::string>& errors) {
    if (ended_) {
        return;
    }
    char buffer[4096];
    ssize_t n = ::read(fd(), buffer, sizeof buffer);
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            errors.push_back("cannot read " + path_ + ": " + std::strerror(errno));
            end(lines);
        }
        return;
    }
    if (n == 0) {
        if (!fifo_) {
            end(lines);
            return;
        }
        // The writer went: a FIFO opened afresh waits for the next one (the old descriptor
        // would say hang-up for ever).
        if (!partial_.empty()) {
            take(std::move(partial_), lines);
            partial_.clear();
        }
        overlong_ = false;
        fd_ = FileDescriptor(::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
        if (!fd_.valid()) {
            errors.push_back("cannot open " + path_ + " again: " + std::strerror(errno));
            ended_ = true;
        }
        return;
    }
    for (ssize_t i = 0; i < n; ++i) {
        if (buffer[i] == '\n') {
            if (overlong_) {
                errors.push_back("a line longer than " + std::to_string(MAX_LINE) +
                                 " bytes, ignored");
            } else {
                take(std::move(partial_), lines);
            }
            partial_.clear();
            overlong_ = false;
        } else if (!overlong_) {
            partial_ += buffer[i];
            if (partial_.size() > MAX_LINE) {
                overlong_ = true;
                partial_.clear();
            }
        }
    }
}

void ControlInput::take(std::string line, std::vector<std::string>& lines) {
    std::size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == '#') {
        return;
    }
    if (line.back() == '\r') {
        line.pop_back();
    }
    lines.push_back(std::move(line));
}

void ControlInput::end(std::vector<std::string>& lines) {
    if (!partial_.empty() && !overlong_) {
        take(std::move(partial_), lines);
    }
    partial_.clear();
    ended_ = true;
    fd_.reset();
}
