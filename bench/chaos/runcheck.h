// chaoscheck's reading of a chaos run: the logs parsed, then each claim checked against what
// the boards, the clients and the broker logged. Nothing here links the daemon.
#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <string>
#include <vector>

namespace chaoscheck {

struct FrameEvent {
    int64_t t = 0;
    bool tx = false;   // board to host
    std::string type;  // data, badcrc, ack, noise, lost, bad, event
    int code = -1;     // data frames; for `lost`, -1 when an ack was lost
    int number = -1;   // data frames and acks
    std::vector<uint8_t> payload;
    std::string detail;    // events: what happened and its arguments
    int64_t ackedAt = -1;  // tx data: when the host's ack for it came back
};

struct Board {
    std::string name;
    std::string kind;
    int id = 0;
    std::vector<FrameEvent> events;
};

struct Message {
    int64_t t = 0;
    int connection = 0;
    std::string key;
    std::string value;
};

// What one client (or observer, or the MQTT subscriber) logged.
struct Stream {
    std::vector<Message> received;
    std::vector<Message> sent;
    // Connection events: key is open, close, reset, silent, eof, refused.
    std::vector<Message> connections;
};

struct Run {
    std::map<std::string, std::string> settings;  // run.txt: seed, seconds, failsafe, ...
    std::vector<Board> boards;
    std::map<std::string, Stream> streams;  // client, observer, mqtt
    std::vector<Message> events;            // key: the event's first word, value: the rest
    std::vector<std::string> console;
    struct Sample {
        int64_t t;
        long rssKb, threads, fds;
        long long cpuNs;
    };
    std::vector<Sample> resources;
    std::map<std::string, long> injected;
    int64_t start = 0, quiet = 0, end = 0;
};

// Parsers; each takes the whole file. Lines that do not parse are counted in `bad`.
void readRunText(std::istream& in, Run& run);
void readFrameLog(std::istream& in, Run& run, long& bad);
void readRunLog(std::istream& in, Run& run, long& bad);
void readConsole(std::istream& in, Run& run);
// Matches each board's data frames with the host's acknowledgements.
void matchAcks(Run& run);

// One line of the result table.
struct Figure {
    std::string what;
    long checked = 0;
    long reached = 0;
    long accounted = 0;    // lost, and a counter or console line says so
    long unaccounted = 0;  // lost without a word: the run fails
    std::string note;
};

struct Verdict {
    std::vector<Figure> figures;
    std::vector<std::string> failures;  // one line each, naming what was lost
    std::vector<std::string> notes;
};

// Every report the boards sent, as the stream's messages; `who` names the stream.
Figure checkReports(const Run& run, const std::string& who, Verdict& verdict);
Figure checkSettings(const Run& run, Verdict& verdict);
Figure checkStops(const Run& run, Verdict& verdict, double& worstMs);
Figure checkGuardStops(const Run& run, Verdict& verdict, double& worstMs);
Figure checkReplugs(const Run& run, Verdict& verdict, double& worstS);
Figure checkFailsafe(const Run& run, Verdict& verdict);
Figure checkCapture(const Run& run, const std::string& dir, Verdict& verdict);

// The sum of one figure of the `Counters` console lines over every port and session.
long counterTotal(const Run& run, const std::string& name, const std::string& port = "");

}  // namespace chaoscheck
