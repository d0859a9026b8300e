#include <sys/stat.h>

#include <stdexcept>

#include "latency.h"
#include "tempdir.h"

namespace latency {

// Capture: the daemon recording every frame and client message to a pcap file in a temporary
// directory, against the daemon without --capture.
Comparison measureCapture(const Options& options) {
    harness::TempDir files("benchd-bench");
    const std::string file = files.path() + "/bench.pcap";
    const Side off{"no capture",
                   [](uint16_t) {
                       return std::vector<std::string>{"--monitor-port", "0"};
                   },
                   nullptr};
    const Side on{"capture on",
                  [&file](uint16_t) {
                      return std::vector<std::string>{"--monitor-port", "0", "--capture", file};
                  },
                  nullptr};
    Comparison figures = compareRounds(options, off, on);
    struct stat status {};
    if (::stat(file.c_str(), &status) != 0 || status.st_size <= 24) {
        throw std::runtime_error("the daemon with --capture wrote no records");
    }
    return figures;
}

}  // namespace latency
