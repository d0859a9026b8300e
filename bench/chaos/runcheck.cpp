#include "runcheck.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <set>
#include <sstream>
#include <tuple>

#include "reporttable.h"

namespace chaoscheck {

namespace {

constexpr int64_t SECOND = 1000000;
constexpr int64_t LOG_SLACK = 50000;

std::vector<uint8_t> fromHex(const std::string& hex) {
    std::vector<uint8_t> bytes;
    if (hex == "-") {
        return bytes;
    }
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::string seconds(const Run& run, int64_t t) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", static_cast<double>(t - run.start) / 1e6);
    return text;
}

std::string decimals(double value, int places) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", places, value);
    return text;
}

// A chart arrives as its samples; the checker compares how many.
std::string normalised(const std::string& key, const std::string& value) {
    if (key.rfind("injector_chart", 0) != 0) {
        return value;
    }
    return "#" + std::to_string(std::count(value.begin(), value.end(), ',') + 1);
}

int boardIndex(const Run& run, const std::string& name) {
    for (std::size_t i = 0; i < run.boards.size(); ++i) {
        if (run.boards[i].name == name) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// Whether the board was identified at each of its events: from its plugging in (or a silence
// long enough for the daemon to ask again) until the daemon programs its report schedule.
std::vector<bool> identifiedAlong(const Board& board) {
    std::vector<bool> identified;
    bool now = false;
    for (const FrameEvent& e : board.events) {
        if (e.type == "event") {
            std::istringstream words(e.detail);
            std::string what;
            double secondsSilent = 0;
            words >> what;
            if (what == "plug" || what == "unplug") {
                now = false;
            } else if (what == "silent" && (words >> secondsSilent) && secondsSilent >= 5) {
                now = false;
            }
        } else if (!e.tx && e.type == "data" && e.code == 4) {
            now = true;
        }
        identified.push_back(now);
    }
    return identified;
}

// Fault windows of a board: from a fault's start until it is surely over, when the daemon
// cannot be expected to reach the board on time.
using Windows = std::vector<std::pair<int64_t, int64_t>>;
Windows faultWindows(const Board& board) {
    Windows windows;
    for (const FrameEvent& e : board.events) {
        if (e.type != "event") {
            continue;
        }
        std::istringstream words(e.detail);
        std::string what;
        double length = 0;
        words >> what;
        int64_t until = e.t;
        if (what == "silent" || what == "noack") {
            words >> length;
            until = e.t + static_cast<int64_t>(length * 1e6) + 3 * SECOND;
        } else if (what == "unplug" || what == "plug") {
            until = e.t + 3 * SECOND;
        } else {
            continue;
        }
        windows.push_back({e.t, until});
    }
    return windows;
}

bool faultNear(const Windows& windows, int64_t from, int64_t to) {
    return std::any_of(windows.begin(), windows.end(),
                       [&](const auto& w) { return w.second >= from && w.first <= to; });
}

bool faultNear(const Board& board, int64_t from, int64_t to) {
    return faultNear(faultWindows(board), from, to);
}

// `along`: identifiedAlong(board), worked out once for many questions.
bool identifiedAt(const Board& board, const std::vector<bool>& along, int64_t t) {
    const auto after = std::upper_bound(board.events.begin(), board.events.end(), t,
                                        [](int64_t at, const FrameEvent& e) { return at < e.t; });
    return after != board.events.begin() &&
           along[static_cast<std::size_t>(after - board.events.begin() - 1)];
}

bool identifiedAt(const Board& board, int64_t t) {
    return identifiedAt(board, identifiedAlong(board), t);
}

// When the connection of `stream` that was open at t ended (or the end of the run).
int64_t connectionEnd(const Stream& stream, int connection) {
    for (const Message& m : stream.connections) {
        if (m.connection == connection && m.key != "open") {
            return m.t;
        }
    }
    return INT64_MAX;
}

// What `who` logged; nothing when it logged nothing.
const Stream& streamOf(const Run& run, const std::string& who) {
    static const Stream none;
    const auto found = run.streams.find(who);
    return found == run.streams.end() ? none : found->second;
}

// When the daemon took the connection: its first message to the client (a connection may wait
// in the listen queue while the daemon still holds one that died).
int64_t acceptedAt(const Stream& stream, int connection) {
    for (const Message& m : stream.received) {
        if (m.connection == connection) {
            return m.t;
        }
    }
    return INT64_MAX;
}

}  // namespace

void readRunText(std::istream& in, Run& run) {
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string key;
        words >> key;
        std::string rest;
        std::getline(words >> std::ws, rest);
        if (key == "board") {
            Board board;
            std::istringstream fields(rest);
            fields >> board.name >> board.kind >> board.id;
            run.boards.push_back(board);
        } else if (key == "injected") {
            std::istringstream fields(rest);
            long count = 0;
            fields >> count;
            std::string what;
            std::getline(fields >> std::ws, what);
            run.injected[what] = count;
        } else if (key == "start") {
            run.start = std::stoll(rest);
        } else if (key == "quiet") {
            run.quiet = std::stoll(rest);
        } else if (key == "end") {
            run.end = std::stoll(rest);
        } else {
            run.settings[key] = rest;
        }
    }
}

void readFrameLog(std::istream& in, Run& run, long& bad) {
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        FrameEvent e;
        std::string name, direction;
        if (!(words >> e.t >> name >> direction)) {
            ++bad;
            continue;
        }
        const int index = boardIndex(run, name);
        if (index < 0) {
            ++bad;
            continue;
        }
        if (direction == "event") {
            e.type = "event";
            std::getline(words >> std::ws, e.detail);
        } else {
            e.tx = direction == "tx";
            words >> e.type;
            if (e.type == "data" || e.type == "badcrc") {
                std::string hex;
                words >> e.code >> e.number >> hex;
                e.payload = fromHex(hex);
            } else if (e.type == "ack") {
                words >> e.number;
            } else if (e.type == "lost") {
                std::string reason, what;
                words >> reason >> what >> e.number;
                e.code = what == "ack" ? -1 : std::atoi(what.c_str());
                e.detail = reason;
            } else {
                std::getline(words >> std::ws, e.detail);
            }
            if (words.fail()) {
                ++bad;
                continue;
            }
        }
        run.boards[static_cast<std::size_t>(index)].events.push_back(std::move(e));
    }
}

void readRunLog(std::istream& in, Run& run, long& bad) {
    std::string line;
    std::map<std::string, int> mqttConnection;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        int64_t t = 0;
        std::string who;
        if (!(words >> t >> who)) {
            ++bad;
            continue;
        }
        if (who == "client" || who == "observer") {
            Message m;
            m.t = t;
            std::string what;
            words >> m.connection >> what;
            std::string text;
            std::getline(words >> std::ws, text);
            Stream& stream = run.streams[who];
            if (what == "recv" || what == "send") {
                const std::size_t colon = text.find(':');
                m.key = text.substr(0, colon);
                m.value = colon == std::string::npos ? "" : text.substr(colon + 1);
                m.value = normalised(m.key, m.value);
                (what == "recv" ? stream.received : stream.sent).push_back(std::move(m));
            } else {
                m.key = what;
                m.value = text;
                stream.connections.push_back(std::move(m));
            }
        } else if (who == "mqtt") {
            std::string what;
            words >> what;
            Stream& stream = run.streams["mqtt"];
            int& connection = mqttConnection["mqtt"];
            if (what == "connect") {
                ++connection;
                stream.connections.push_back({t, connection, "open", ""});
            } else if (what == "disconnect") {
                stream.connections.push_back({t, connection, "close", ""});
            } else if (what == "subscribed") {
                stream.connections.push_back({t, connection, "subscribed", ""});
            } else if (what == "msg" || what == "retained") {
                std::string topic, payload;
                words >> topic;
                std::getline(words >> std::ws, payload);
                const std::size_t at = topic.find("/telemetry/");
                Message m{t, connection, "", payload};
                if (at != std::string::npos) {
                    m.key = topic.substr(at + 11);
                    m.value = normalised(m.key, m.value);
                    stream.received.push_back(std::move(m));
                } else if (topic.size() >= 7 &&
                           topic.compare(topic.size() - 7, 7, "/status") == 0) {
                    m.key = "status";
                    stream.sent.push_back(std::move(m));  // the daemon's own figures
                }
            }
        } else if (who == "event") {
            std::string kind, rest;
            words >> kind;
            std::getline(words >> std::ws, rest);
            run.events.push_back({t, 0, kind, rest});
        } else if (who == "resources") {
            Run::Sample s{t, 0, 0, 0, 0};
            std::string label;
            words >> label >> s.rssKb >> label >> s.threads >> label >> s.fds >> label >> s.cpuNs;
            if (words.fail()) {
                ++bad;
                continue;
            }
            run.resources.push_back(s);
        }
    }
}

void readConsole(std::istream& in, Run& run) {
    std::string line;
    while (std::getline(in, line)) {
        run.console.push_back(line);
    }
}

void matchAcks(Run& run) {
    for (Board& board : run.boards) {
        std::deque<std::size_t> unacked;
        for (std::size_t i = 0; i < board.events.size(); ++i) {
            FrameEvent& e = board.events[i];
            if (e.type == "event" && e.detail.rfind("plug", 0) == 0) {
                unacked.clear();
            } else if (e.tx && e.type == "data") {
                unacked.push_back(i);
            } else if (!e.tx && e.type == "ack") {
                // The oldest frame of that number still waiting; older ones of other numbers
                // were lost on the line and stay unacknowledged.
                for (auto it = unacked.begin(); it != unacked.end(); ++it) {
                    if (board.events[*it].number == e.number) {
                        board.events[*it].ackedAt = e.t;
                        unacked.erase(unacked.begin(), it + 1);
                        break;
                    }
                }
            }
        }
    }
}

long counterTotal(const Run& run, const std::string& name, const std::string& port) {
    // A Counters line holds the figures since its port was opened; "Connect to:" starts again.
    std::map<std::string, long> session;
    long total = 0;
    for (const std::string& line : run.console) {
        if (line.rfind("Connect to: [", 0) == 0) {
            const std::string path = line.substr(13, line.find(']') - 13);
            const std::string p = path.substr(path.rfind('/') + 1);
            total += session[p];
            session[p] = 0;
            continue;
        }
        if (line.rfind("Counters [", 0) != 0) {
            continue;
        }
        const std::string p = line.substr(10, line.find(']') - 10);
        if (!port.empty() && p != port) {
            continue;
        }
        const std::size_t at = line.find(" " + name + " ");
        if (at != std::string::npos) {
            session[p] = std::atol(line.c_str() + at + name.size() + 2);
        }
    }
    for (const auto& [p, value] : session) {
        if (port.empty() || p == port) {
            total += value;
        }
    }
    return total;
}

Figure checkReports(const Run& run, const std::string& who, Verdict& verdict) {
    Figure figure;
    figure.what = "reports -> " + who;
    struct Expected {
        int64_t t;
        std::string key, value;
        bool required;
    };
    const int64_t deadline = run.end - 3 * SECOND / 2;
    std::vector<std::vector<Expected>> expected(run.boards.size());
    std::map<std::string, std::set<std::size_t>> sources;
    for (std::size_t b = 0; b < run.boards.size(); ++b) {
        const Board& board = run.boards[b];
        const BoardClass kind = classOf(board.id);
        const std::vector<bool> identified = identifiedAlong(board);
        ChartAssembler charts;
        for (std::size_t i = 0; i < board.events.size(); ++i) {
            const FrameEvent& e = board.events[i];
            if (!e.tx || (e.type != "data" && e.type != "badcrc")) {
                continue;
            }
            const bool received = e.type == "data" && e.ackedAt >= 0;
            std::vector<ExpectedMessage> messages;
            if (isChart(e.code)) {
                ExpectedMessage chart;
                if (kind == BoardClass::Tester && charts.add(e.code, e.payload, received, chart)) {
                    messages.push_back(chart);
                }
            } else if (received) {
                messages = messagesOf(kind, e.code, e.payload);
            }
            for (const ExpectedMessage& m : messages) {
                const bool required =
                    identified[i] && !m.optional && e.ackedAt <= deadline && e.t >= run.start;
                expected[b].push_back({e.t, m.key, m.value, required});
                sources[m.key].insert(b);
            }
        }
    }
    const Stream& stream = streamOf(run, who);
    std::vector<std::size_t> next(run.boards.size(), 0);
    std::vector<std::vector<int64_t>> matchedAt(run.boards.size());
    for (std::size_t b = 0; b < run.boards.size(); ++b) {
        matchedAt[b].assign(expected[b].size(), -1);
    }
    // A report lost around a connection's end was on its way to a client that left (in its
    // socket, or written to it before the daemon knew), or was made while no client was
    // there: the daemon drops those as stale when the next client connects. Any change of
    // connection from shortly before the report until its loss is seen counts.
    std::vector<int64_t> changes;
    for (const Message& c : stream.connections) {
        if (c.key != "open" && c.key != "subscribed") {
            changes.push_back(c.t);
        }
    }
    // A connection the daemon takes only once it gave up the one before (found dead, say):
    // the first message of every connection but the first marks that change.
    std::set<int> seenConnections;
    for (const Message& r : stream.received) {
        if (seenConnections.insert(r.connection).second && seenConnections.size() > 1) {
            changes.push_back(r.t);
        }
    }
    std::sort(changes.begin(), changes.end());
    auto changedBetween = [&changes](int64_t from, int64_t to) {
        auto it = std::lower_bound(changes.begin(), changes.end(), from);
        return it != changes.end() && *it <= to;
    };
    long lostAcross = 0, lostWithin = 0, unexpected = 0;
    std::vector<std::pair<int64_t, std::string>> losses;
    std::vector<int64_t> acrossTimes;
    const bool debug = std::getenv("CHAOSCHECK_DEBUG") != nullptr;
    auto lose = [&](std::size_t b, std::size_t from, std::size_t to, int64_t seen) {
        if (from >= to) {
            return;
        }
        // Among reports that read the same, which were lost is a guess: the lost block may
        // slide back as long as the report before it reads as its last one does. The loss
        // then lies after the message matched before the block's earliest place.
        const std::size_t length = to - from;
        auto text = [&](std::size_t i) {
            return std::tie(expected[b][i].key, expected[b][i].value);
        };
        std::size_t slide = from;
        while (slide > 0 && text(slide - 1) == text(slide - 1 + length)) {
            --slide;
        }
        int64_t after = run.start;
        for (std::size_t i = slide; i-- > 0;) {
            if (matchedAt[b][i] >= 0) {
                after = matchedAt[b][i];
                break;
            }
        }
        for (std::size_t i = from; i < to; ++i) {
            const Expected& e = expected[b][i];
            if (!e.required) {
                continue;
            }
            const bool across = changedBetween(std::min(e.t - 2 * SECOND, after), seen);
            if (debug) {
                std::fprintf(stderr, "%s: %s lost %s:%s sent at %s (%s)\n", who.c_str(),
                             run.boards[b].name.c_str(), e.key.c_str(), e.value.c_str(),
                             seconds(run, e.t).c_str(), across ? "across" : "within");
            }
            ++figure.checked;
            (across ? lostAcross : lostWithin) += 1;
            if (!across) {
                losses.push_back({e.t, run.boards[b].name + " " + e.key + ":" + e.value});
            } else {
                acrossTimes.push_back(e.t);
            }
        }
    };
    // The keys each board sends, to pick its messages out of the stream.
    std::vector<std::set<std::string>> keysOf(run.boards.size());
    for (const auto& [key, boards] : sources) {
        for (std::size_t b : boards) {
            keysOf[b].insert(key);
        }
    }
    auto fits = [](const Expected& e, const Message& m) {
        return e.key == m.key && (e.value == "*" || e.value == m.value);
    };
    // Where a board's run of messages on a new connection starts. Reports that read alike make
    // the first message fit many places; the first of them after the gap is a guess that puts
    // the gap inside the run. The place chosen is the one the next messages on the same
    // connection fit with the fewest reports skipped.
    constexpr std::size_t LOOK_AHEAD = 100;
    // The messages ahead are the board's own keys where it has some that no other board sends
    // (a stand's speed must not be read as a tester's, which stands in for a missing stand).
    auto runStart = [&](std::size_t b, std::size_t at, std::size_t first) {
        const Message& r = stream.received[at];
        std::vector<const Message*> ahead, aheadShared;
        for (std::size_t k = at + 1; k < stream.received.size() && ahead.size() < LOOK_AHEAD; ++k) {
            const Message& m = stream.received[k];
            if (m.connection != r.connection) {
                break;
            }
            if (keysOf[b].count(m.key)) {
                (sources[m.key].size() == 1 ? ahead : aheadShared).push_back(&m);
            }
        }
        if (ahead.empty()) {
            ahead = aheadShared;
        }
        std::size_t best = first;
        long bestSkips = -1;
        // Nothing made well before the connection opened reaches it: the daemon drops what
        // waited as stale when a client connects. (Idle boards repeat themselves, and their
        // reports of twenty seconds before fit as well as those of now.)
        const int64_t opened = std::min(acceptedAt(stream, r.connection), r.t);
        for (std::size_t i = first; i < expected[b].size() && expected[b][i].t <= r.t + LOG_SLACK;
             ++i) {
            if (expected[b][i].t < opened - SECOND || !fits(expected[b][i], r)) {
                continue;
            }
            long skips = 0;
            std::size_t pos = i + 1;
            for (const Message* m : ahead) {
                std::size_t j = pos;
                long skipped = 0;
                while (j < expected[b].size() && expected[b][j].t <= m->t + LOG_SLACK &&
                       !fits(expected[b][j], *m)) {
                    skipped += expected[b][j].required;
                    ++j;
                }
                if (j < expected[b].size() && expected[b][j].t <= m->t + LOG_SLACK) {
                    skips += skipped;
                    pos = j + 1;
                } else {
                    ++skips;  // fits nowhere from here
                }
            }
            if (bestSkips < 0 || skips < bestSkips) {
                bestSkips = skips;
                best = i;
            }
            if (skips == 0) {
                break;
            }
        }
        return best;
    };
    std::vector<int> runConnection(run.boards.size(), -1);
    for (std::size_t at = 0; at < stream.received.size(); ++at) {
        const Message& r = stream.received[at];
        const auto s = sources.find(r.key);
        if (s == sources.end() || r.t < run.start) {
            continue;
        }
        // The board whose next report could be this message skipping the fewest it must send.
        std::size_t bestBoard = 0, bestIndex = 0;
        long bestCost = -1;
        for (std::size_t b : s->second) {
            long cost = 0;
            // The board logs a frame once written; the message may be read a moment earlier.
            for (std::size_t i = next[b];
                 i < expected[b].size() && expected[b][i].t <= r.t + LOG_SLACK; ++i) {
                const Expected& e = expected[b][i];
                if (fits(e, r)) {
                    // Two boards that read alike: the one whose report the daemon must send
                    // (a tester's speed comes only while no stand is there), then the older.
                    const Expected& best = expected[bestBoard][bestIndex];
                    if (bestCost < 0 || cost < bestCost ||
                        (cost == bestCost &&
                         (e.required != best.required ? e.required : e.t < best.t))) {
                        bestCost = cost;
                        bestBoard = b;
                        bestIndex = i;
                    }
                    break;
                }
                cost += e.required;
            }
        }
        if (bestCost < 0) {
            if (++unexpected <= 5) {
                verdict.notes.push_back(who + ": unexpected " + r.key + ":" + r.value + " at " +
                                        seconds(run, r.t));
            }
            continue;
        }
        if (runConnection[bestBoard] != r.connection) {
            runConnection[bestBoard] = r.connection;
            bestIndex = runStart(bestBoard, at, bestIndex);
        }
        lose(bestBoard, next[bestBoard], bestIndex, r.t);
        if (expected[bestBoard][bestIndex].required) {
            ++figure.checked;
            ++figure.reached;
        }
        matchedAt[bestBoard][bestIndex] = r.t;
        next[bestBoard] = bestIndex + 1;
    }
    for (std::size_t b = 0; b < run.boards.size(); ++b) {
        lose(b, next[b], expected[b].size(), run.end);
    }
    // What accounts for a loss depends on the stream.
    long said = 0;
    std::string how;
    if (who == "client") {
        long queueDropped = 0;
        for (const std::string& line : run.console) {
            const std::size_t at = line.find(" messages, ");
            if (line.rfind("Client queue full", 0) == 0 && at != std::string::npos) {
                const std::size_t start = line.rfind(' ', at - 1) + 1;
                queueDropped = std::max(queueDropped, std::atol(line.c_str() + start));
            }
        }
        const long framesDropped = counterTotal(run, "frames dropped");
        said = queueDropped + 9 * framesDropped;
        how = "client queue full " + std::to_string(queueDropped) + ", frames dropped " +
              std::to_string(framesDropped);
        // Written to a connection that then ended (said: Client crush, Error recv), or queued
        // while no client was there and dropped as stale when the next one came. The daemon
        // serves a connection from its first message until it ends, or until the next one is
        // taken (one that died is served until it is found dead).
        std::vector<std::pair<int64_t, int64_t>> served;
        for (const Message& c : stream.connections) {
            const int64_t from = c.key == "open" ? acceptedAt(stream, c.connection) : INT64_MAX;
            if (from == INT64_MAX) {
                continue;
            }
            int64_t to = run.end;
            for (const Message& later : stream.connections) {
                if (later.t > from && ((later.connection == c.connection &&
                                        (later.key == "close" || later.key == "reset")) ||
                                       (later.connection != c.connection && later.key == "open" &&
                                        acceptedAt(stream, later.connection) != INT64_MAX))) {
                    to = std::min(to, later.connection == c.connection
                                          ? later.t
                                          : acceptedAt(stream, later.connection));
                }
            }
            served.push_back({from, to});
        }
        long inFlight = 0;
        for (int64_t t : acrossTimes) {
            for (const auto& [from, to] : served) {
                if (t >= from - SECOND && t <= to) {
                    ++inFlight;
                    break;
                }
            }
        }
        figure.note = std::to_string(inFlight) + " sent to a client that then left, " +
                      std::to_string(lostAcross - inFlight) +
                      " made while none was served (stale at the next connect); " + how;
        figure.accounted += lostAcross;
    } else if (who == "observer") {
        for (const Message& m : stream.received) {
            if (m.key == "monitor_dropped") {
                said += std::atol(m.value.c_str());
            }
        }
        how = "monitor_dropped " + std::to_string(said);
        figure.note = how;
        lostWithin += lostAcross;
    } else {
        // Published while the broker was away, or before the subscriber was back.
        long telemetryDropped = 0;
        for (const Message& m : stream.sent) {
            const std::size_t at = m.value.find("\"telemetry_dropped\":");
            if (at != std::string::npos) {
                telemetryDropped = std::max(telemetryDropped, std::atol(m.value.c_str() + at + 20));
            }
        }
        said = telemetryDropped;
        how = "telemetry_dropped " + std::to_string(telemetryDropped);
        figure.note = std::to_string(lostAcross) + " around the broker's restarts; " + how;
        figure.accounted += lostAcross;
    }
    const long covered = std::min(lostWithin, said);
    figure.accounted += covered;
    figure.unaccounted = lostWithin - covered;
    if (figure.unaccounted > 0) {
        std::string first;
        for (std::size_t i = 0; i < losses.size() && i < 3; ++i) {
            first +=
                (i ? ", " : "") + losses[i].second + " sent at " + seconds(run, losses[i].first);
        }
        verdict.failures.push_back(figure.what + ": " + std::to_string(figure.unaccounted) +
                                   " reports lost with no counter or line saying so (" + how +
                                   "); first: " + first);
    }
    if (unexpected > 0) {
        verdict.failures.push_back(figure.what + ": " + std::to_string(unexpected) +
                                   " messages no board sent at that point (out of order or "
                                   "repeated)");
    }
    return figure;
}

// 1,024 queued commands, each tried three times for 10 ms.
constexpr int64_t SETTING_WAIT = 31 * SECOND;

Figure checkSettings(const Run& run, Verdict& verdict) {
    Figure figure;
    figure.what = "settings -> boards";
    const Stream& client = streamOf(run, "client");
    long missing = 0;
    std::set<std::string> ports;
    for (std::size_t b = 0; b < run.boards.size(); ++b) {
        const Board& board = run.boards[b];
        const BoardClass kind = classOf(board.id);
        for (const std::string key : {"device_rpm", "leakage_max_time"}) {
            BoardClass target;
            SettingReading reading{};
            if (!settingOf(key, target, reading) || target != kind) {
                continue;
            }
            const std::vector<bool> along = identifiedAlong(board);
            const Windows faults = faultWindows(board);
            // The frames of that command the board received, in order.
            std::vector<std::pair<int64_t, long>> arrived;
            for (const FrameEvent& e : board.events) {
                long value = 0;
                if (!e.tx && e.type == "data" && e.code == reading.code &&
                    reading.read(e.payload, value)) {
                    arrived.push_back({e.t, value});
                }
            }
            std::size_t next = 0;
            const Message* lastOfBurst = nullptr;
            bool lastReached = false;
            // The last of a burst must arrive, unless another setting of its key followed within
            // a second: the board may still have lagged then, and the newer one superseded it.
            auto followedSoon = [&](const Message* last) {
                for (const Message* m = last + 1; m < client.sent.data() + client.sent.size();
                     ++m) {
                    if (m->key == key) {
                        return m->t - last->t < SECOND;
                    }
                }
                return false;
            };
            auto closeBurst = [&] {
                if (lastOfBurst != nullptr && !lastReached && !followedSoon(lastOfBurst)) {
                    verdict.failures.push_back("settings: the last " + std::string(key) + ":" +
                                               lastOfBurst->value + " of a burst sent at " +
                                               seconds(run, lastOfBurst->t) + " never reached " +
                                               board.name);
                }
                lastOfBurst = nullptr;
            };
            for (const Message& s : client.sent) {
                if (s.key != key || s.t < run.start) {
                    continue;
                }
                // Only settings the board could take: identified, no fault near, and the
                // client's connection open long enough for the daemon to read them.
                if (!identifiedAt(board, along, s.t) ||
                    faultNear(faults, s.t - SECOND, s.t + 5 * SECOND) ||
                    acceptedAt(client, s.connection) > s.t ||
                    connectionEnd(client, s.connection) < s.t + 2 * SECOND) {
                    continue;
                }
                if (lastOfBurst != nullptr && s.t != lastOfBurst->t) {
                    closeBurst();
                }
                long value = std::atol(s.value.c_str());
                if (key == std::string("device_rpm")) {
                    value &= 0xFFFF;
                }
                ++figure.checked;
                // A long run's values come round again (16 bits on the line): a setting is
                // looked for only as long as a full queue of unacknowledged commands could hold
                // it back, far less than the minutes between two settings of the same value.
                std::size_t i = next;
                while (i < arrived.size() && arrived[i].first <= s.t + SETTING_WAIT &&
                       !(arrived[i].first >= s.t && arrived[i].second == value)) {
                    ++i;
                }
                lastOfBurst = &s;
                lastReached = i < arrived.size() && arrived[i].first <= s.t + SETTING_WAIT;
                if (lastReached) {
                    ++figure.reached;
                    next = i + 1;
                } else {
                    ++missing;
                    ports.insert(board.name);
                }
            }
            closeBurst();
        }
    }
    long said = 0;
    for (const std::string& port : ports) {
        said += counterTotal(run, "superseded", port) + counterTotal(run, "overflow", port) +
                counterTotal(run, "dropped", port);
    }
    figure.accounted = std::min(missing, said);
    figure.unaccounted = missing - figure.accounted;
    figure.note = "superseded, overflow and dropped on those ports: " + std::to_string(said);
    if (figure.unaccounted > 0) {
        verdict.failures.push_back("settings: " + std::to_string(figure.unaccounted) +
                                   " settings never reached their board, more than the "
                                   "superseded, overflow and dropped counters say");
    }
    return figure;
}

Figure checkStops(const Run& run, Verdict& verdict, double& worstMs) {
    Figure figure;
    figure.what = "stops -> stand (100 ms)";
    worstMs = 0;
    const Stream& client = streamOf(run, "client");
    for (const Message& s : client.sent) {
        if (s.key != "device_active" || s.value != "0" || s.t < run.start) {
            continue;
        }
        if (acceptedAt(client, s.connection) > s.t ||
            connectionEnd(client, s.connection) < s.t + SECOND) {
            continue;
        }
        for (const Board& board : run.boards) {
            if (classOf(board.id) != BoardClass::Stand || !identifiedAt(board, s.t) ||
                faultNear(board, s.t - SECOND, s.t + SECOND)) {
                continue;
            }
            ++figure.checked;
            int64_t at = -1;
            for (const FrameEvent& e : board.events) {
                if (e.t >= s.t && !e.tx && e.type == "data" && e.code == 42 && !e.payload.empty() &&
                    e.payload[0] == 0) {
                    at = e.t;
                    break;
                }
            }
            const double ms = at < 0 ? -1 : static_cast<double>(at - s.t) / 1000.0;
            if (at < 0 || ms > 100) {
                ++figure.unaccounted;
                char line[200];
                std::snprintf(line, sizeof line, "stops: the stop sent at %s reached %s %s",
                              seconds(run, s.t).c_str(), board.name.c_str(),
                              at < 0 ? "never" : ("after " + decimals(ms, 1) + " ms").c_str());
                verdict.failures.push_back(line);
            } else {
                ++figure.reached;
            }
            worstMs = std::max(worstMs, ms);
        }
    }
    return figure;
}

// A stand whose motor was held turning while its rotation was off: the daemon's motor guard
// must stop it (rotation on, then off) within 100 ms of the stand's eleventh steady speed report
// (within 9 rpm of the report before it) after it said its rotation was off. A guard that
// counted reports from before may stop it sooner.
Figure checkGuardStops(const Run& run, Verdict& verdict, double& worstMs) {
    Figure figure;
    figure.what = "motor guard stops -> stand (100 ms)";
    worstMs = 0;
    constexpr int STEADY_REPORTS = 11;
    for (const Board& board : run.boards) {
        if (classOf(board.id) != BoardClass::Stand) {
            continue;
        }
        const std::vector<FrameEvent>& events = board.events;
        for (std::size_t h = 0; h < events.size(); ++h) {
            const FrameEvent& hold = events[h];
            if (hold.type != "event" || hold.detail.rfind("hold ", 0) != 0 || hold.t < run.start) {
                continue;
            }
            double length = 0;
            long rpm = 0;
            std::istringstream(hold.detail.substr(5)) >> length >> rpm;
            int64_t released = hold.t + static_cast<int64_t>(length * 1e6);
            for (std::size_t j = h + 1; j < events.size(); ++j) {
                if (events[j].type == "event" &&
                    (events[j].detail == "release" || events[j].detail.rfind("unplug", 0) == 0)) {
                    released = std::min(released, events[j].t);
                    break;
                }
            }
            if (rpm <= 0 || !identifiedAt(board, hold.t) ||
                faultNear(board, hold.t - SECOND, released)) {
                continue;
            }
            // The stand says its rotation is off, then reports the held speed, again and again.
            int64_t off = -1, eleventh = -1;
            int steady = 0;
            long previous = -1;  // the speed reported last, before the hold too
            for (std::size_t j = 0; j < events.size() && events[j].t < released; ++j) {
                const FrameEvent& e = events[j];
                if (!e.tx || e.type != "data") {
                    continue;
                }
                if (e.code == 42 && !e.payload.empty() && off < 0 && j > h) {
                    off = e.payload[0] == 0 ? e.t : -1;
                } else if (e.code == 41 && e.payload.size() >= 4) {
                    const long speed = be32(e.payload, 0);
                    const bool steadyNow = off >= 0 && speed == rpm && previous >= 0 &&
                                           std::labs(speed - previous) <= 9;
                    previous = speed;
                    steady = steadyNow ? steady + 1 : 0;
                    if (steady == STEADY_REPORTS) {
                        eleventh = e.t;
                        break;
                    }
                }
            }
            if (eleventh < 0) {
                continue;  // a hold too short to call for the guard
            }
            ++figure.checked;
            // The guard's pair: rotation on, then the next rotation command off. The client
            // sends no start while the motor is held.
            int64_t stopped = -1;
            for (std::size_t j = h + 1; j < events.size() && stopped < 0; ++j) {
                const FrameEvent& on = events[j];
                if (on.tx || on.type != "data" || on.code != 42 || on.t < off ||
                    on.payload.empty() || on.payload[0] != 1) {
                    continue;
                }
                for (std::size_t k = j + 1; k < events.size(); ++k) {
                    const FrameEvent& e = events[k];
                    if (!e.tx && e.type == "data" && e.code == 42 && !e.payload.empty()) {
                        stopped = e.payload[0] == 0 ? e.t : -1;
                        break;
                    }
                }
            }
            const double ms =
                stopped < 0
                    ? -1
                    : static_cast<double>(std::max<int64_t>(0, stopped - eleventh)) / 1000.0;
            if (stopped < 0 || ms > 100) {
                ++figure.unaccounted;
                verdict.failures.push_back(
                    "motor guard: " + board.name + ", held at " + std::to_string(rpm) +
                    " rpm with its rotation off from " + seconds(run, off) + ", was stopped " +
                    (stopped < 0 ? std::string("never")
                                 : decimals(ms, 1) + " ms after its eleventh steady report"));
            } else {
                ++figure.reached;
            }
            worstMs = std::max(worstMs, ms);
        }
    }
    return figure;
}

Figure checkReplugs(const Run& run, Verdict& verdict, double& worstS) {
    Figure figure;
    figure.what = "re-identifications (2.5 s)";
    worstS = 0;
    const Stream& observer = streamOf(run, "observer");
    const Stream& client = streamOf(run, "client");
    for (const Board& board : run.boards) {
        const std::string announced = std::to_string(board.id);
        for (std::size_t i = 0; i < board.events.size(); ++i) {
            const FrameEvent& e = board.events[i];
            if (e.type != "event" || e.t < run.start) {
                continue;
            }
            // After a replug, and after a silence long enough to be asked again.
            const bool replug = e.detail.rfind("plug", 0) == 0;
            bool speaks = false;
            if (e.detail == "speak") {
                for (std::size_t j = i; j-- > 0;) {
                    const FrameEvent& before = board.events[j];
                    if (before.type == "event" && before.detail.rfind("silent", 0) == 0) {
                        speaks = std::atof(before.detail.c_str() + 7) >= 7;
                        break;
                    }
                }
            }
            if (!replug && !speaks) {
                continue;
            }
            // Unplugged or silenced again before its time was up (the daemon scans the ports
            // once a second): the board was not there long enough to be asked.
            bool goneAgain = false;
            for (std::size_t j = i + 1;
                 j < board.events.size() && board.events[j].t <= e.t + 5 * SECOND / 2; ++j) {
                const FrameEvent& later = board.events[j];
                goneAgain =
                    goneAgain || (later.type == "event" && (later.detail.rfind("unplug", 0) == 0 ||
                                                            later.detail.rfind("silent", 0) == 0));
            }
            if (goneAgain) {
                continue;
            }
            ++figure.checked;
            int64_t at = -1;
            for (const Message& m : observer.received) {
                if (m.t >= e.t && m.key == "device_connected" && m.value == announced) {
                    at = m.t;
                    break;
                }
            }
            const double s = at < 0 ? -1 : static_cast<double>(at - e.t) / 1e6;
            // The client is told too: on its connection, or as the next one opens.
            bool told = false;
            for (const Message& m : client.received) {
                if (at >= 0 && m.t >= e.t && m.key == "device_connected" && m.value == announced) {
                    told = true;
                    break;
                }
            }
            if (at < 0 || s > 2.5 || !told) {
                ++figure.unaccounted;
                verdict.failures.push_back(
                    "re-identification: " + board.name + " (" + e.detail + " at " +
                    seconds(run, e.t) + ") " +
                    (at < 0 ? "never announced again"
                            : (s > 2.5 ? "announced after " + decimals(s, 2) + " s"
                                       : "announced, but the client was never told")));
            } else {
                ++figure.reached;
            }
            worstS = std::max(worstS, s);
        }
    }
    return figure;
}

Figure checkFailsafe(const Run& run, Verdict& verdict) {
    Figure figure;
    figure.what = "fail-safe after client loss";
    const Stream& client = streamOf(run, "client");
    const double failsafe =
        std::atof(run.settings.count("failsafe") ? run.settings.at("failsafe").c_str() : "0");
    if (failsafe <= 0) {
        return figure;
    }
    const int64_t limit = static_cast<int64_t>(failsafe * 1e6);
    const auto& connections = client.connections;
    for (std::size_t i = 0; i < connections.size(); ++i) {
        const Message& lost = connections[i];
        // Only a client the daemon served: one still waiting in the listen queue (behind a
        // dead one) was never its client.
        if ((lost.key != "close" && lost.key != "reset") || lost.t < run.start ||
            acceptedAt(client, lost.connection) == INT64_MAX) {
            continue;
        }
        int64_t back = INT64_MAX;
        for (std::size_t j = i + 1; j < connections.size(); ++j) {
            if (connections[j].key == "open") {
                back = connections[j].t;
                break;
            }
        }
        const int64_t away = back - lost.t;
        const bool fires = away > limit + SECOND / 2;
        const bool quiet = away < limit - SECOND / 2;
        if (!fires && !quiet) {
            continue;  // too close to the limit to say
        }
        for (const Board& board : run.boards) {
            const BoardClass kind = classOf(board.id);
            if ((kind != BoardClass::Stand && kind != BoardClass::Tester) ||
                !identifiedAt(board, lost.t) ||
                faultNear(board, lost.t - SECOND, lost.t + limit + 2 * SECOND)) {
                continue;
            }
            // The stand's pump off (47: 1 0) and the tester's injectors off (12: 0) come only
            // from the client's settings or the safe state.
            std::set<int> numbers;
            for (const FrameEvent& e : board.events) {
                const bool safe =
                    (kind == BoardClass::Stand && e.code == 47 && e.payload.size() >= 2 &&
                     e.payload[0] == 1 && e.payload[1] == 0) ||
                    (kind == BoardClass::Tester && e.code == 12 && e.payload.size() == 1 &&
                     e.payload[0] == 0);
                if (!e.tx && e.type == "data" && safe && e.t > lost.t &&
                    e.t < std::min(back, run.end)) {
                    numbers.insert(e.number);
                }
            }
            ++figure.checked;
            const std::size_t want = fires ? 1 : 0;
            if (numbers.size() == want) {
                ++figure.reached;
            } else {
                ++figure.unaccounted;
                verdict.failures.push_back(
                    "fail-safe: " + board.name + " was set to its safe state " +
                    std::to_string(numbers.size()) + " times after the client left at " +
                    seconds(run, lost.t) + " for " + decimals(static_cast<double>(away) / 1e6, 2) +
                    " s (expected " + std::to_string(want) + ")");
            }
        }
    }
    return figure;
}

Figure checkCapture(const Run& run, const std::string& dir, Verdict& verdict) {
    Figure figure;
    figure.what = "frames -> capture";
    // The ring, oldest first: FILE.N ... FILE.1, FILE.
    std::vector<std::string> files;
    for (int n = 256; n >= 1; --n) {
        const std::string name = dir + "/capture.pcap." + std::to_string(n);
        if (std::filesystem::exists(name)) {
            files.push_back(name);
        }
    }
    files.push_back(dir + "/capture.pcap");
    struct Frame {
        int number, code;
        std::vector<uint8_t> payload;
    };
    std::map<std::string, std::vector<Frame>> read;
    long gaps = 0;
    char error[PCAP_ERRBUF_SIZE];
    for (const std::string& file : files) {
        pcap_t* handle = pcap_open_offline(file.c_str(), error);
        if (handle == nullptr) {
            verdict.failures.push_back("capture: cannot read " + file + ": " + error);
            continue;
        }
        pcap_pkthdr* header = nullptr;
        const u_char* bytes = nullptr;
        while (pcap_next_ex(handle, &header, &bytes) == 1) {
            const std::size_t size = header->caplen;
            if (size < 5 || size < 5u + bytes[4]) {
                continue;
            }
            const std::string port(reinterpret_cast<const char*>(bytes) + 5, bytes[4]);
            const u_char* p = bytes + 5 + bytes[4];
            std::size_t n = size - 5 - bytes[4];
            if (bytes[2] == 4 && n == 8) {
                uint64_t count = 0;
                for (int i = 7; i >= 0; --i) {
                    count = (count << 8) | p[i];
                }
                gaps += static_cast<long>(count);
            }
            if (bytes[1] != 0 || bytes[2] != 0 || (bytes[3] & 1)) {
                continue;  // only data frames read whole from a port
            }
            // A5 [A5] 0F number code access length payload crc
            if (n >= 2 && p[0] == 0xA5 && p[1] == 0xA5) {
                ++p;
                --n;
            }
            if (n < 7) {
                continue;
            }
            read[port].push_back({p[2], p[3], std::vector<uint8_t>(p + 6, p + n - 1)});
        }
        pcap_close(handle);
    }
    long missing = 0;
    std::string first;
    for (const Board& board : run.boards) {
        const std::vector<Frame>& frames = read[board.name];
        std::size_t next = 0;
        for (const FrameEvent& e : board.events) {
            if (!e.tx || e.type != "data" || e.ackedAt < 0 || e.t < run.start || e.t > run.end) {
                continue;
            }
            ++figure.checked;
            std::size_t i = next;
            const std::size_t limit = std::min(frames.size(), next + 64);
            while (i < limit && !(frames[i].number == e.number && frames[i].code == e.code &&
                                  frames[i].payload == e.payload)) {
                ++i;
            }
            if (i < limit) {
                ++figure.reached;
                next = i + 1;
            } else {
                ++missing;
                if (first.empty()) {
                    first = board.name + " frame " + std::to_string(e.number) + " code " +
                            std::to_string(e.code) + " at " + seconds(run, e.t);
                }
            }
        }
    }
    figure.accounted = std::min(missing, gaps);
    figure.unaccounted = missing - figure.accounted;
    figure.note = std::to_string(files.size()) + " files, gap records for " + std::to_string(gaps);
    if (figure.unaccounted > 0) {
        verdict.failures.push_back("capture: " + std::to_string(figure.unaccounted) +
                                   " acknowledged frames are not in the capture files and no gap "
                                   "record counts them; first: " +
                                   first);
    }
    return figure;
}

}  // namespace chaoscheck
