#include "simoptions.h"

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <set>

#include "boardkinds.h"
#include "controlinput.h"

namespace {

constexpr double MAX_REPLAY_SPEED = 1000;

// Board and global faults alike: absent fields keep whatever the layer below said.
struct FaultSet {
    std::optional<bool> noAck;
    std::optional<int> corruptPercent;
    std::optional<bool> garbage;
    std::optional<double> silentAfter;
    std::optional<double> unplugAfter;
    std::optional<double> replugAfter;
    std::optional<int> holdRpm;
};

bool parseSeconds(const std::string& text, double& seconds) {
    char* end = nullptr;
    seconds = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && std::isfinite(seconds) && seconds >= 0;
}

bool parsePercent(const std::string& text, int& percent) {
    char* end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < 0 || value > 100) {
        return false;
    }
    percent = static_cast<int>(value);
    return true;
}

// One fault by name with its value (empty for the flags); false with a reason.
bool applyFault(const std::string& name, const std::string& value, bool hasValue, FaultSet& faults,
                std::string& error) {
    if (name == "no-ack" || name == "garbage") {
        if (hasValue) {
            error = name + " takes no value";
            return false;
        }
        (name == "no-ack" ? faults.noAck : faults.garbage) = true;
        return true;
    }
    if (!hasValue) {
        error = name + " needs a value";
        return false;
    }
    if (name == "hold-rpm") {
        char* end = nullptr;
        long rpm = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || rpm < 0 ||
            rpm > static_cast<long>(ControlCommand::MAX_HOLD_RPM)) {
            error = "hold-rpm takes a speed from 0 to " +
                    std::to_string(ControlCommand::MAX_HOLD_RPM) + ", not '" + value + "'";
            return false;
        }
        faults.holdRpm = static_cast<int>(rpm);
        return true;
    }
    if (name == "corrupt") {
        int percent = 0;
        if (!parsePercent(value, percent)) {
            error = "corrupt takes a percentage from 0 to 100, not '" + value + "'";
            return false;
        }
        faults.corruptPercent = percent;
        return true;
    }
    std::optional<double>* slot = name == "silent-after"   ? &faults.silentAfter
                                  : name == "unplug-after" ? &faults.unplugAfter
                                  : name == "replug-after" ? &faults.replugAfter
                                                           : nullptr;
    if (!slot) {
        error = "unknown fault '" + name + "'";
        return false;
    }
    double seconds = 0;
    if (!parseSeconds(value, seconds)) {
        error = name + " takes seconds (0 or more), not '" + value + "'";
        return false;
    }
    *slot = seconds;
    return true;
}

bool validName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// KIND=NAME[,fault[=value]...]; false with a reason.
bool parseBoard(const std::string& arg, std::string& kind, std::string& name, FaultSet& faults,
                std::string& error) {
    if (!arg.empty() && arg[0] == '-') {
        error = "unknown option '" + arg + "'";
        return false;
    }
    std::size_t equals = arg.find('=');
    if (equals == std::string::npos) {
        error = "'" + arg + "' is not KIND=NAME";
        return false;
    }
    kind = arg.substr(0, equals);
    std::string rest = arg.substr(equals + 1);
    std::size_t comma = rest.find(',');
    name = rest.substr(0, comma);
    if (!board_kinds::known(kind)) {
        error = "unknown board kind '" + kind + "'";
        return false;
    }
    if (!validName(name)) {
        error = "'" + name + "' is not a file name";
        return false;
    }
    while (comma != std::string::npos) {
        std::size_t next = rest.find(',', comma + 1);
        std::string fault = rest.substr(
            comma + 1, next == std::string::npos ? std::string::npos : next - comma - 1);
        std::size_t at = fault.find('=');
        bool hasValue = at != std::string::npos;
        if (!applyFault(fault.substr(0, at), hasValue ? fault.substr(at + 1) : std::string(),
                        hasValue, faults, error)) {
            error = name + ": " + error;
            return false;
        }
        comma = next;
    }
    return true;
}

BoardSpec resolve(const std::string& kind, const std::string& name, const FaultSet& global,
                  const FaultSet& own) {
    auto pick = [](const auto& mine, const auto& theirs, auto fallback) {
        return mine ? *mine : (theirs ? *theirs : fallback);
    };
    BoardSpec spec;
    spec.kind = kind;
    spec.name = name;
    spec.link.noAck = pick(own.noAck, global.noAck, false);
    spec.link.corruptPercent = pick(own.corruptPercent, global.corruptPercent, 0);
    spec.link.garbage = pick(own.garbage, global.garbage, false);
    spec.silentAfter = pick(own.silentAfter, global.silentAfter, -1.0);
    spec.unplugAfter = pick(own.unplugAfter, global.unplugAfter, -1.0);
    spec.replugAfter = pick(own.replugAfter, global.replugAfter, -1.0);
    spec.holdRpm = pick(own.holdRpm, global.holdRpm, -1);
    return spec;
}

}  // namespace

bool SimOptions::parse(const std::vector<std::string>& args, SimConfig& config,
                       std::string& error) {
    config = SimConfig{};
    FaultSet global;
    struct Pending {
        std::string kind, name;
        FaultSet faults;
    };
    std::vector<Pending> boards;
    double replaySpeed = -1;

    // Every option keeps each value it is given, and the values are checked below in the order
    // of the command line: the first mistake is the one told, and the last value counts.
    CLI::App app("", "benchsim");
    app.set_help_flag("-h,--help");
    // Unknown options are told in our words below, not CLI11's.
    app.allow_extras();
    auto option = [&app](const std::string& name) {
        return app.add_option(name)->expected(1)->allow_extra_args(false)->multi_option_policy(
            CLI::MultiOptionPolicy::TakeAll);
    };
    CLI::Option* verbose = app.add_flag("-v,--verbose");
    CLI::Option* dir = option("--dir");
    CLI::Option* seed = option("--seed");
    CLI::Option* replay = option("--replay");
    CLI::Option* speed = option("--replay-speed");
    CLI::Option* frameLog = option("--frame-log");
    CLI::Option* control = option("--control");
    std::vector<std::string> boardArgs;  // read one by one through parse_order() below
    CLI::Option* positional =
        app.add_option("boards", boardArgs)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    // The rest are the global faults.
    for (const char* name : {"--corrupt", "--silent-after", "--unplug-after", "--replug-after"}) {
        option(name);
    }
    app.add_flag("--no-ack");
    app.add_flag("--garbage");

    for (const std::string& arg : args) {
        if (arg == "-h" || arg == "--help") {
            break;
        }
        // A flag given a value: CLI11 would read it as true or false.
        for (const char* flag : {"--no-ack=", "--garbage=", "--verbose="}) {
            if (arg.rfind(flag, 0) == 0) {
                error = std::string(flag, std::strlen(flag) - 1) + " takes no value";
                return false;
            }
        }
    }
    try {
        app.parse(std::vector<std::string>(args.rbegin(), args.rend()));
    } catch (const CLI::CallForHelp&) {
        config.help = true;
        return true;
    } catch (const CLI::ArgumentMismatch& failure) {
        // A value missing after the last option.
        for (const CLI::Option* known : app.get_options()) {
            const std::string name = known->get_name();
            if (std::string(failure.what()).rfind(name + ":", 0) == 0) {
                error = name + " needs a value";
                return false;
            }
        }
        error = failure.what();
        return false;
    } catch (const CLI::ParseError& failure) {
        error = failure.what();
        return false;
    }
    for (const std::string& extra : app.remaining()) {
        error = "unknown option '" + extra + "'";
        return false;
    }

    std::map<const CLI::Option*, std::size_t> taken;  // values of each option read so far
    for (const CLI::Option* given : app.parse_order()) {
        const std::size_t index = taken[given]++;
        const std::string value =
            index < given->results().size() ? given->results()[index] : std::string();
        if (given == verbose) {
            config.verbose = true;
        } else if (given == dir) {
            config.dir = value;
        } else if (given == seed) {
            char* end = nullptr;
            unsigned long number = std::strtoul(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0') {
                error = "--seed takes a number, not '" + value + "'";
                return false;
            }
            config.seed = static_cast<uint32_t>(number);
        } else if (given == replay) {
            config.replay = value;
            if (value.empty()) {
                error = "--replay needs a capture file";
                return false;
            }
        } else if (given == speed) {
            char* end = nullptr;
            replaySpeed = std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' || !std::isfinite(replaySpeed) || replaySpeed <= 0 ||
                replaySpeed > MAX_REPLAY_SPEED) {
                error = "--replay-speed takes a factor above 0, up to " +
                        std::to_string(static_cast<int>(MAX_REPLAY_SPEED)) + ", not '" + value +
                        "'";
                return false;
            }
            config.replaySpeed = replaySpeed;
        } else if (given == frameLog || given == control) {
            if (value.empty()) {
                error = given->get_name() + " needs a file name";
                return false;
            }
            (given == frameLog ? config.frameLog : config.control) = value;
        } else if (given == positional) {
            Pending board;
            if (!parseBoard(value, board.kind, board.name, board.faults, error)) {
                return false;
            }
            boards.push_back(board);
        } else {
            const std::string name = given->get_name().substr(2);
            const bool flag = given->get_expected_min() == 0;
            if (!applyFault(name, flag ? std::string() : value, !flag, global, error)) {
                error = "--" + error;
                return false;
            }
        }
    }

    if (config.dir.empty()) {
        error = "--dir DIR is required";
        return false;
    }
    if (!config.replay.empty()) {
        if (!boards.empty()) {
            error = "--replay plays the capture's boards: give no KIND=NAME";
            return false;
        }
        if (!config.frameLog.empty() || !config.control.empty()) {
            error = "--frame-log and --control are for simulated boards, not --replay";
            return false;
        }
        return true;
    }
    if (replaySpeed > 0) {
        error = "--replay-speed needs --replay";
        return false;
    }
    if (boards.empty()) {
        error = "no boards given (KIND=NAME...)";
        return false;
    }
    std::set<std::string> names;
    for (const Pending& board : boards) {
        if (!names.insert(board.name).second) {
            error = "two boards named '" + board.name + "'";
            return false;
        }
        BoardSpec spec = resolve(board.kind, board.name, global, board.faults);
        if (spec.holdRpm >= 0 && spec.kind != "stand" && spec.kind != "stand62") {
            error = board.name + ": hold-rpm is for stands only";
            return false;
        }
        if (spec.replugAfter >= 0 && spec.unplugAfter < 0) {
            error = board.name + ": replug-after needs unplug-after";
            return false;
        }
        config.boards.push_back(spec);
    }
    return true;
}

std::string SimOptions::usage() {
    return "Usage: benchsim --dir DIR [options] KIND=NAME[,FAULT...]...\n"
           "       benchsim --dir DIR --replay FILE [--replay-speed X] [-v]\n"
           "Plays bench boards on pseudo-terminals: each board appears as the link DIR/NAME\n"
           "to its terminal and speaks the board side of the serial protocol.\n"
           "\n"
           "Kinds: stand (61), stand62 (62), crit (34), crit0303 (33), flowmeter (12),\n"
           "       delaymeter (5), crsd (2)\n"
           "\n"
           "Options:\n"
           "  --dir DIR            directory for the board links (required)\n"
           "  -v, --verbose        print every frame received and sent, in hex, decoded\n"
           "  --seed N             seed of the simulated noise (default 1)\n"
           "  --frame-log FILE     append a line per frame, acknowledgement, noise run and\n"
           "                       event of every board to FILE (see the README)\n"
           "  --control PATH       read fault commands, one a line, from PATH (a FIFO or a\n"
           "                       file; - for standard input) while running:\n"
           "                         unplug NAME          replug NAME\n"
           "                         silent NAME SECONDS  noack NAME SECONDS\n"
           "                         reset NAME           noise NAME BYTES\n"
           "                         badcrc NAME COUNT    hold NAME SECONDS RPM\n"
           "  -h, --help           print this help\n"
           "\n"
           "Faults, for every board as options, or for one board after its name\n"
           "(a board's own faults override the global ones):\n"
           "  --no-ack             never acknowledge the host's frames     (,no-ack)\n"
           "  --corrupt PCT        send PCT % of frames with a bad CRC     (,corrupt=PCT)\n"
           "  --garbage            put noise bytes between frames          (,garbage)\n"
           "  --silent-after SEC   stop sending anything SEC s after start (,silent-after=SEC)\n"
           "  --unplug-after SEC   remove the link SEC s after start       (,unplug-after=SEC)\n"
           "  --replug-after SEC   plug in again (a fresh board, talking)  (,replug-after=SEC)\n"
           "                       SEC s after the unplug; the host notices an unplug\n"
           "                       only if the link stays away for one of its scans (~1 s)\n"
           "  ,hold-rpm=N          stands only: the motor turns at N rpm whatever it is told,\n"
           "                       while the stand reports its rotation as set (a stuck drive)\n"
           "Seconds may have a fraction. A link removed by hand is an unplug for the host;\n"
           "the board behind it keeps running.\n"
           "\n"
           "Example:\n"
           "  benchsim --dir /tmp/dev stand62=ttyUSB0 crit=ttyUSB1,corrupt=10 \\\n"
           "           flowmeter=ttyUSB2 delaymeter=ttyUSB3,unplug-after=5,replug-after=3\n"
           "\n"
           "Replay (instead of KIND=NAME boards):\n"
           "  --replay FILE        play back a capture of benchd --capture: one board per\n"
           "                       captured port, linked as DIR/PORT, sending what the captured\n"
           "                       board sent at its pace from the host's first request, and\n"
           "                       acknowledging the host live; exits once played out\n"
           "  --replay-speed X     play X times faster (default 1)\n"
           "\n"
           "SIGINT or SIGTERM removes the links and exits with status 0.\n";
}
