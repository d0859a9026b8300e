// benchsim and benchd run together for one test: simulated boards linked into a temporary
// device directory, the daemon scanning it and serving a free port, and what benchsim's -v log
// says went over each board's line.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "protocol/codes.h"
#include "testsupport.h"

namespace sim_e2e {

// One valid data frame from benchsim's log.
struct SimFrame {
    std::string board;             // the board's link name
    bool fromHost;                 // written by the daemon (else sent by the board)
    testing_support::Bytes bytes;  // the whole frame as it went over the line
    std::size_t line;              // its line in the log, to order it against other lines

    unsigned char number() const { return bytes[3]; }
    unsigned char code() const { return bytes[4]; }
    unsigned char access() const { return bytes[5]; }
    testing_support::Bytes payload() const;
    bool isVersionRequest() const { return code() == codes::VERSION && access() == 2; }
};

class SimBench {
public:
    // Starts `benchsim -v` with the boards (KIND=NAME[,fault...]), waits for their links, then
    // starts benchd on the directory and a free port (with `daemonArgs` besides), and returns
    // once benchd listens. `wrapper`: a command benchd runs under (startDaemon()).
    explicit SimBench(const std::vector<std::string>& boards,
                      const std::vector<std::string>& daemonArgs = {},
                      const std::vector<std::string>& wrapper = {});
    ~SimBench();
    SimBench(const SimBench&) = delete;
    SimBench& operator=(const SimBench&) = delete;

    uint16_t port() const { return port_; }
    const std::string& dir() const { return dir_.path(); }
    testing_support::Process& daemon() { return *daemon_; }
    testing_support::Process& simulator() { return *sim_; }
    // How often benchd printed `needle` so far.
    std::size_t daemonCount(const std::string& needle) const;

    // The valid data frames on `board`'s line so far, in order, in one direction.
    std::vector<SimFrame> frames(const std::string& board, bool fromHost) const;
    // The first log line holding `text` (a number to compare with SimFrame::line), or npos.
    std::size_t lineOf(const std::string& text) const;
    // The pseudo-terminal behind `board`'s link, as benchsim announced it.
    std::string slavePath(const std::string& board) const;

    // Stops benchd with SIGTERM (its status), and starts it again with the same arguments on a
    // free port; the boards keep running meanwhile.
    int stopDaemon();
    void restartDaemon();

    // Pulling and putting back a board's link by hand; the board behind it keeps running.
    void unlink(const std::string& board) const { dir_.unlink(board); }
    void link(const std::string& board, const std::string& target) const;

    // A built tool (benchsim, benchctl).
    static std::string tool(const std::string& name);

private:
    void parseNewLines() const;

    testing_support::TempDir dir_;
    std::vector<std::string> daemonArgs_, wrapper_;
    uint16_t port_ = 0;
    std::unique_ptr<testing_support::Process> sim_;
    std::unique_ptr<testing_support::Process> daemon_;
    // The log as parsed so far (the test's thread only).
    mutable std::size_t parsed_ = 0;
    mutable std::vector<std::string> lines_;
    mutable std::vector<SimFrame> frames_;
};

// The demo's bench: a stand, an injector tester, a flowmeter and a delay meter.
extern const std::vector<std::string> DEMO_BOARDS;
// A control client of the daemon on `port` once the four demo boards were announced (20 s at
// most each), having sent `settings`; null when one was not.
std::unique_ptr<testing_support::TcpClient> driveDemoBench(uint16_t port,
                                                           const std::string& settings);

// Big-endian fields of a report's payload, read independently of the daemon's own helpers.
unsigned be16(const testing_support::Bytes& p, std::size_t at);
int32_t be32(const testing_support::Bytes& p, std::size_t at);
uint64_t be64(const testing_support::Bytes& p, std::size_t at);

}  // namespace sim_e2e
