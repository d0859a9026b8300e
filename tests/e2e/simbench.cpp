#include "simbench.h"

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <stdexcept>

using namespace testing_support;

namespace sim_e2e {

namespace {

std::string boardName(const std::string& spec) {
    std::size_t equals = spec.find('=');
    std::size_t comma = spec.find(',', equals);
    return spec.substr(equals + 1, comma == std::string::npos ? comma : comma - equals - 1);
}

bool linked(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

}  // namespace

Bytes SimFrame::payload() const {
    return Bytes(bytes.begin() + 7, bytes.end() - 1);
}

SimBench::SimBench(const std::vector<std::string>& boards,
                   const std::vector<std::string>& daemonArgs,
                   const std::vector<std::string>& wrapper) {
    std::vector<std::string> argv = {tool("benchsim"), "-v", "--dir", dir_.path()};
    argv.insert(argv.end(), boards.begin(), boards.end());
    sim_ = std::make_unique<Process>(argv);
    // The daemon scans at once: every board is there before its first pass.
    for (const std::string& board : boards) {
        if (!waitUntil([&] { return linked(dir_.path() + "/" + boardName(board)); })) {
            throw std::runtime_error("benchsim did not plug in " + board + ": " + sim_->err());
        }
    }
    daemonArgs_ = {"--dev-dir", dir_.path()};
    daemonArgs_.insert(daemonArgs_.end(), daemonArgs.begin(), daemonArgs.end());
    wrapper_ = wrapper;
    restartDaemon();
}

SimBench::~SimBench() {
    stopDaemon();
    sim_->stop(SIGTERM);
}

int SimBench::stopDaemon() {
    return daemon_ ? daemon_->stop(SIGTERM) : 0;
}

void SimBench::restartDaemon() {
    stopDaemon();
    daemon_ = startDaemon(daemonArgs_, port_, {}, 0, wrapper_);
}

std::string SimBench::tool(const std::string& name) {
#ifdef BENCHD_TOOLS_DIR
    return std::string(BENCHD_TOOLS_DIR) + "/" + name;
#else
    return name;
#endif
}

const std::vector<std::string> DEMO_BOARDS = {"stand62=ttyUSB0", "crit=ttyUSB1",
                                              "flowmeter=ttyUSB2", "delaymeter=ttyUSB3"};

std::unique_ptr<TcpClient> driveDemoBench(uint16_t port, const std::string& settings) {
    auto control = std::make_unique<TcpClient>(port);
    for (const char* board : {"62", "34", "12", "5"}) {
        if (!control->waitFor(std::string("device_connected:") + board + ";", 20000ms)) {
            return nullptr;
        }
    }
    control->send(settings);
    return control;
}

unsigned be16(const Bytes& p, std::size_t at) {
    return static_cast<unsigned>(p.at(at) << 8 | p.at(at + 1));
}

int32_t be32(const Bytes& p, std::size_t at) {
    return static_cast<int32_t>(static_cast<uint32_t>(be16(p, at)) << 16 | be16(p, at + 2));
}

uint64_t be64(const Bytes& p, std::size_t at) {
    return static_cast<uint64_t>(static_cast<uint32_t>(be32(p, at))) << 32 |
           static_cast<uint32_t>(be32(p, at + 4));
}

std::size_t SimBench::daemonCount(const std::string& needle) const {
    return occurrences(daemon_->out(), needle);
}

void SimBench::link(const std::string& board, const std::string& target) const {
    dir_.link(board, target);
}

// Log lines: "[   1.501] ttyUSB0 <- A5 A5 0F 00 02 02 00 DE  | data #0 code 2 access 2 len 0",
// "... ttyUSB0 -> A5 A5 33 00 00  | ack #0", "... ttyUSB0: stand (id 61) plugged in on /dev/pts/3".
void SimBench::parseNewLines() const {
    std::string out = sim_->out();
    std::size_t end = out.rfind('\n');
    if (end == std::string::npos || end + 1 <= parsed_) {
        return;
    }
    std::size_t at = parsed_;
    while (at <= end) {
        std::size_t next = out.find('\n', at);
        std::string line = out.substr(at, next - at);
        at = next + 1;
        lines_.push_back(line);
        std::size_t stamp = line.find("] ");
        if (line.empty() || line[0] != '[' || stamp == std::string::npos) {
            continue;
        }
        std::size_t nameEnd = line.find(' ', stamp + 2);
        std::size_t bar = line.find("  | ");
        if (nameEnd == std::string::npos || bar == std::string::npos || bar < nameEnd + 4) {
            continue;
        }
        std::string direction = line.substr(nameEnd + 1, 2);
        std::string what = line.substr(bar + 4);
        // Only whole data frames that the receiver takes: no ACKs, noise or broken CRCs.
        if ((direction != "<-" && direction != "->") || what.rfind("data ", 0) != 0 ||
            what.find("CRC MISMATCH") != std::string::npos ||
            what.find("CORRUPTED") != std::string::npos) {
            continue;
        }
        SimFrame frame;
        frame.board = line.substr(stamp + 2, nameEnd - stamp - 2);
        frame.fromHost = direction == "<-";
        frame.bytes = unhex(line.substr(nameEnd + 4, bar - nameEnd - 4));
        frame.line = lines_.size() - 1;
        if (frame.bytes.size() >= 8) {
            frames_.push_back(std::move(frame));
        }
    }
    parsed_ = end + 1;
}

std::vector<SimFrame> SimBench::frames(const std::string& board, bool fromHost) const {
    parseNewLines();
    std::vector<SimFrame> selected;
    for (const SimFrame& frame : frames_) {
        if (frame.board == board && frame.fromHost == fromHost) {
            selected.push_back(frame);
        }
    }
    return selected;
}

std::size_t SimBench::lineOf(const std::string& text) const {
    parseNewLines();
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i].find(text) != std::string::npos) {
            return i;
        }
    }
    return std::string::npos;
}

std::string SimBench::slavePath(const std::string& board) const {
    parseNewLines();
    const std::string marker = " plugged in on ";
    // The latest: a board plugged in again sits on a new terminal.
    for (auto it = lines_.rbegin(); it != lines_.rend(); ++it) {
        const std::string& line = *it;
        std::size_t at = line.find(marker);
        if (line.find("] " + board + ": ") != std::string::npos && at != std::string::npos) {
            std::string path = line.substr(at + marker.size());
            return path.substr(0, path.find(','));
        }
    }
    return {};
}

}  // namespace sim_e2e
