// Faults asked for while benchsim runs (--control PATH): one command a line from a FIFO, a
// regular file or standard input ("-"), read without blocking inside the poll loop. A FIFO
// whose writer closes is opened again for the next writer; a file or standard input ends
// control at its end, and the boards go on.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "service/filedescriptor.h"

struct ControlCommand {
    enum Verb { UNPLUG, REPLUG, SILENT, RESET, NOISE, BADCRC, NOACK, HOLD };
    static constexpr double MAX_SECONDS = 86400;
    static constexpr unsigned long MAX_NOISE = 4096;
    static constexpr unsigned long MAX_BADCRC = 1000000;
    static constexpr unsigned long MAX_HOLD_RPM = 100000;

    Verb verb = UNPLUG;
    std::string board;
    double seconds = 0;       // silent, noack, hold
    unsigned long count = 0;  // noise (bytes), badcrc (frames), hold (rpm)

    // One line: "VERB NAME [NUMBER [NUMBER]]"; false with a reason. The board is not looked up
    // here.
    static bool parse(const std::string& line, ControlCommand& command, std::string& error);
};

class ControlInput {
public:
    // Longer lines are refused whole.
    static constexpr std::size_t MAX_LINE = 1024;

    // False with a reason when PATH cannot be opened.
    bool open(const std::string& path, std::string& error);
    // The descriptor to poll for input; -1 once control has ended.
    int fd() const;
    // Reads once (poll said there is input or a hang-up): complete lines, blank ones and
    // comments (#) left out, go to `lines`, problems to `errors`.
    void read(std::vector<std::string>& lines, std::vector<std::string>& errors);

private:
    void take(std::string line, std::vector<std::string>& lines);
    void end(std::vector<std::string>& lines);

    std::string path_;
    bool standardInput_ = false;
    bool fifo_ = false;
    bool ended_ = false;
    FileDescriptor fd_;  // unused for standard input, which is not ours to close
    std::string partial_;
    bool overlong_ = false;  // the line being read has passed MAX_LINE
};
