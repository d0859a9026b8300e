// Tools for the fault-injection runs against the real daemon: its threads, descriptors and
// memory from /proc, and the per-key reckoning of what benchsim's boards sent against what the
// client got. The long scenarios
// (soak, stalled client, reconnects, plug cycles) live here so that the test suite runs them
// short and the soak program runs them long.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "feedclient.h"
#include "rawboard.h"
#include "simbench.h"
#include "testsupport.h"

namespace fault_e2e {

using namespace std::chrono_literals;
using testing_support::Bytes;

// ---- The daemon as /proc shows it. ----

// Under a sanitizer the runtime keeps freed memory in quarantine and shadow, and opens
// descriptors of its own now and then: the daemon's memory is printed but not bounded, and
// its descriptors may end below where they started.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SANITIZED = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif
#else
constexpr bool SANITIZED = false;
#endif

struct ProcStats {
    pid_t pid = -1;
    int threads = -1;
    int fds = -1;
    long rssKb = -1;
};
ProcStats procStats(pid_t pid);
// User and system CPU time of the process, in clock ticks.
long cpuTicks(pid_t pid);
// What the process's descriptors point at, one per line.
std::string descriptors(pid_t pid);
std::string describe(const ProcStats& stats);
// The daemon's memory grew by no more than slackKb (unless sanitized).
void expectRssWithin(const ProcStats& before, long rssKb, long slackKb);
// The figures at rest: sampled until two samples in a row agree on threads and descriptors
// (a scan holds a directory open for a moment).
ProcStats restingStats(pid_t pid);
// Waits for the daemon's threads and descriptors to be back where they were, says so (with
// the descriptors if not) and returns the figures then.
ProcStats expectBackTo(const ProcStats& before);
// One "[ FIGURE ] ..." line on standard output, flushed, so that it shows in the test log.
void figure(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ---- What went over benchsim's lines. ----

// Every data frame a board sent, corrupted ones included, and the host's ACKs to it, in
// the order of benchsim's log.
struct LineRecord {
    std::vector<unsigned char> sentNumbers;   // every data frame the board put on the line
    std::vector<unsigned char> goodNumbers;   // those with a sound CRC
    std::vector<unsigned char> ackedNumbers;  // the host's ACKs, in order
    std::size_t corrupted = 0;
};
LineRecord lineRecord(sim_e2e::SimBench& bench, const std::string& board);

struct BoardRole {
    std::string name;
    unsigned char device;
};
using KeyCounts = std::map<std::string, long>;

// The client messages, per key, that the boards' reports so far must have produced.
KeyCounts expectedKeys(const sim_e2e::SimBench& bench, const std::vector<BoardRole>& boards);
// What the client received, per key. Announcements are left out; with a stand on the bench,
// speeds before its announcement are the tester's stand-ins, which expectedKeys leaves out.
KeyCounts receivedKeys(const FeedClient& client, const std::vector<BoardRole>& boards);
// What the boards' reports so far must have produced, and what the client has, once the two
// are equal or `timeout` has passed.
struct Delivery {
    KeyCounts expected;
    KeyCounts received;
};
Delivery awaitDelivery(const sim_e2e::SimBench& bench, const FeedClient& client,
                       const std::vector<BoardRole>& boards, std::chrono::milliseconds timeout);
// "key: sent N, received M" for every key where they differ; empty when all match.
std::string keyDifferences(const KeyCounts& expected, const KeyCounts& received);
long total(const KeyCounts& counts);

// The exact client message of a flowmeter or delay meter report on the line.
std::string messageOf(const sim_e2e::SimFrame& frame);

// After a fault the daemon still delivers `board`'s reports (a fresh one reaches the client)
// and routes a client setting to it. For flowmeters and delay meters.
void expectServed(const sim_e2e::SimBench& bench, FeedClient& client, const BoardRole& board);

// The daemon is still running.
bool alive(testing_support::Process& daemon);

// ---- Scenarios, short in the test suite and long in the soak. ----

// Four boards on their schedules with charts on and one client: every report delivered,
// counted per key; descriptors, threads and memory flat.
void nothingLostSoak(int seconds);
// The client stops reading for `seconds` and reads again.
void stalledClient(int seconds);
// `count` clients connect and leave in various ways.
void reconnects(int count);
// Boards plugged and unplugged `cycles` times in all, `group` at a time.
void plugCycles(int cycles, int group);

}  // namespace fault_e2e
