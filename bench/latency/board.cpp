#include <poll.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "latency.h"
#include "protocol/codes.h"

namespace latency {

void Board::run() {
    auto nextReport = Clock::now();
    unsigned char buffer[4096];
    while (!stop_.load()) {
        auto now = Clock::now();
        if (now >= nextReport) {
            send(dataFrame(nextNumber(), codes::VERSION, 1, {1, 0, 0, device_}));
            nextReport = now + 1s;
        }
        auto wait = std::min<Clock::duration>(nextReport - now, 100ms);
        pollfd p{pty_.master(), POLLIN, 0};
        int ready = ::poll(
            &p, 1, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
        if (ready <= 0) {
            continue;
        }
        Clock::time_point at = Clock::now();
        ssize_t n = ::read(pty_.master(), buffer, sizeof buffer);
        if (n <= 0) {
            // No slave open right now (EIO): nothing to read.
            std::this_thread::sleep_for(2ms);
            continue;
        }
        for (ssize_t i = 0; i < n; ++i) {
            pending_.push_back({buffer[i], at});
        }
        cut();
    }
}

void Board::cut() {
    while (pending_.size() >= 3) {
        if (pending_[0].first != 0xA5 || pending_[1].first != 0xA5) {
            pending_.pop_front();
            continue;
        }
        unsigned char kind = pending_[2].first;
        std::size_t size = kind == 0x33           ? 5
                           : kind != 0x0F         ? 1
                           : pending_.size() >= 7 ? pending_[6].first + 8u
                                                  : 0;
        if (kind != 0x33 && kind != 0x0F) {
            pending_.pop_front();
            continue;
        }
        if (size == 0 || pending_.size() < size) {
            return;
        }
        Bytes frame;
        for (std::size_t i = 0; i < size; ++i) {
            frame.push_back(pending_[i].first);
        }
        Clock::time_point first = pending_[0].second;
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(size));
        if (kind == 0x33) {
            std::lock_guard<std::mutex> lock(mutex_);
            acks_.push_back({first, frame[3]});
        } else {
            // The host's frame is acknowledged before anything else happens.
            Clock::time_point acknowledged = send(ackFrame(frame[3]));
            if (frame[4] == codes::VERSION && frame[5] == 2) {
                send(dataFrame(nextNumber(), codes::VERSION, 1, {1, 0, 0, device_}));
            }
            std::lock_guard<std::mutex> lock(mutex_);
            frames_.push_back({first, acknowledged, frame[3], frame[4], frame[5],
                               Bytes(frame.begin() + 7, frame.end() - 1)});
        }
        changed_.notify_all();
    }
}

bool waitConfigured(const Board& board, std::chrono::seconds timeout) {
    return board.waitUntil(
        [](const std::vector<Board::HostFrame>& frames, const std::vector<Board::Ack>&) {
            // The stand's schedule ends with the entry for report 15.
            for (const Board::HostFrame& frame : frames) {
                if (frame.code == codes::SCHEDULE && frame.payload.size() == 7 &&
                    frame.payload[1] == codes::UNDECODED_15) {
                    return true;
                }
            }
            return false;
        },
        Clock::now() + timeout);
}

Bytes speedReport(Board& stand, long speed) {
    Bytes payload(4);
    for (int i = 0; i < 4; ++i) {
        payload[i] = static_cast<unsigned char>(speed >> (24 - 8 * i));
    }
    return dataFrame(stand.nextNumber(), codes::ROTATION_SPEED, 1, payload);
}

SimulatedBench::SimulatedBench(const Options& options)
    : sim([&] {
          dir.link("ttyUSB0", board.pty().slavePath());
          return harness::Process({options.benchsim, "--dir", dir.path(), "crit=ttyUSB1",
                                   "flowmeter=ttyUSB2", "delaymeter=ttyUSB3"},
                                  QUIET);
      }()) {
    if (!waitUntilTrue([&] { return std::filesystem::exists(dir.path() + "/ttyUSB3"); },
                       Clock::now() + 10s)) {
        throw std::runtime_error("the simulated boards did not appear");
    }
}

}  // namespace latency
