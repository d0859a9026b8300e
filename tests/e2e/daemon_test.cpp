// The real daemon against simulated boards: pseudo-terminals linked into a temporary device
// directory, a client on a free port.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bench/crit.h"
#include "bench/flowmeter.h"
#include "bench/stand.h"
#include "protocol/codes.h"
#include "protocol/command.h"
#include "protocol/deviceids.h"
#include "rawboard.h"
#include "testsupport.h"

using namespace testing_support;
using Clock = std::chrono::steady_clock;

namespace {

constexpr unsigned char UNIDENTIFIED = 255;

using fault_e2e::HostFrame;
using fault_e2e::RawBoard;

// The host's encoding of a command built by the daemon's own builders.
Bytes frameOf(unsigned char number, std::unique_ptr<Command> command) {
    return dataFrame(number, command->code(), command->access(),
                     Bytes(command->data, command->data + command->length()));
}

Bytes scheduleFrame(unsigned char number, unsigned char code, uint32_t period) {
    return dataFrame(number, codes::SCHEDULE, 1,
                     {0, code, 4, static_cast<unsigned char>(period >> 24),
                      static_cast<unsigned char>(period >> 16),
                      static_cast<unsigned char>(period >> 8), static_cast<unsigned char>(period)});
}

Bytes handshakeFrame(unsigned char number, int which) {
    switch (which) {
        case 0:
            return dataFrame(number, codes::VERSION, 2, {});
        case 1:
            return dataFrame(number, codes::SCHEDULE, 1, {0xFF});
        default:
            return scheduleFrame(number, codes::VERSION, 1000);
    }
}

// What a board of the given type is programmed with once identified, numbered from `first`.
std::vector<Bytes> scheduleOf(unsigned char device, unsigned char first) {
    std::vector<Bytes> frames;
    unsigned char number = first;
    for (const auto& entry : scheduleEntries(device)) {
        frames.push_back(scheduleFrame(number++, entry.first, entry.second));
    }
    if (device == known_devices::DELAYMETER) {
        frames.push_back(frameOf(number, CRIT::setDelaySensitivity()));
    }
    return frames;
}

bool waitForFrames(const RawBoard& board, std::size_t n,
                   std::chrono::milliseconds timeout = 5000ms) {
    return waitUntil([&] { return board.hostFrames().size() >= n; }, timeout);
}

// Every data frame carries the number after that of the frame before it.
void expectConsecutive(const std::vector<HostFrame>& frames) {
    for (std::size_t i = 1; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].number(), static_cast<unsigned char>(frames[i - 1].number() + 1))
            << "frame " << i;
    }
}

// The frames of one handshake round after another, from number 0 on.
void expectHandshakeRounds(const std::vector<HostFrame>& frames, std::size_t rounds) {
    ASSERT_GE(frames.size(), rounds * 3);
    for (std::size_t i = 0; i < rounds * 3; ++i) {
        EXPECT_EQ(hex(frames[i].bytes),
                  hex(handshakeFrame(static_cast<unsigned char>(i), static_cast<int>(i % 3))))
            << "frame " << i;
    }
}

// Waits until the board, answering the handshake, has received its whole schedule; returns
// the number of frames it had by then. Handshake rounds come as whole triples, so the
// schedule starts at the first triple that does not begin with a version request.
std::size_t waitConfigured(const RawBoard& board, unsigned char device) {
    std::size_t total = 0;
    EXPECT_TRUE(waitUntil(
        [&] {
            std::vector<HostFrame> frames = board.hostFrames();
            std::size_t start = 0;
            while (start < frames.size() && frames[start].isVersionRequest()) {
                start += 3;
            }
            total = start + scheduleOf(device, 0).size();
            return start < frames.size() && frames.size() >= total;
        },
        8000ms))
        << "device " << static_cast<int>(device);
    return total;
}

}  // namespace

TEST(DaemonE2E, StartsThenFindsAndIdentifiesEveryBoardType) {
    Daemon daemon;
    ASSERT_TRUE(daemon.process->waitForOut("Waiting for connection...\n"));
    std::string start = daemon.process->out();
    EXPECT_EQ(start.rfind("282578800148737\n", 0), 0u) << start;
    TcpClient client(daemon.port);
    ASSERT_TRUE(client.connected());

    const struct {
        unsigned char device;
        const char* console;
    } types[] = {
        {33, "CRIT0303"}, {34, "CRIT"},      {61, "STAND"},
        {62, "STAND62"},  {12, "FLOWMETER"}, {5, "DELAYMETER"},
    };
    // Plugged in after start-up: the watcher finds them on its next pass.
    std::vector<std::unique_ptr<RawBoard>> boards;
    for (const auto& type : types) {
        boards.push_back(std::make_unique<RawBoard>(type.device));
        daemon.dir.link("ttyUSB" + std::to_string(boards.size() - 1), boards.back()->slavePath());
    }
    RawBoard crsd(known_devices::CRSD);
    daemon.dir.link("ttyUSB6", crsd.slavePath());
    RawBoard silent(UNIDENTIFIED);
    silent.setAnswering(false);
    const auto linked = Clock::now();
    daemon.dir.link("ttyUSB7", silent.slavePath());

    std::vector<std::size_t> configured;
    for (std::size_t i = 0; i < boards.size(); ++i) {
        configured.push_back(waitConfigured(*boards[i], types[i].device));
    }
    ASSERT_TRUE(waitForFrames(silent, 9, 5000ms));
    // Two more handshake periods: an identified board must not be asked again.
    std::size_t seen = silent.hostFrames().size();
    ASSERT_TRUE(waitForFrames(silent, seen + 6, 5000ms));

    for (std::size_t i = 0; i < boards.size(); ++i) {
        SCOPED_TRACE(types[i].console);
        std::vector<HostFrame> frames = boards[i]->hostFrames();
        std::size_t handshake = configured[i] - scheduleOf(types[i].device, 0).size();
        ASSERT_EQ(handshake % 3, 0u);
        expectHandshakeRounds(frames, handshake / 3);
        std::vector<Bytes> schedule =
            scheduleOf(types[i].device, static_cast<unsigned char>(handshake));
        ASSERT_EQ(frames.size(), handshake + schedule.size());
        for (std::size_t k = 0; k < schedule.size(); ++k) {
            EXPECT_EQ(hex(frames[handshake + k].bytes), hex(schedule[k])) << "entry " << k;
        }
        EXPECT_EQ(daemon.count(std::string("DEVICE CONNECTED: ") + types[i].console +
                               " VERSION [1] [2] [3]\n"),
                  1u);
        std::string announced = "device_connected:" + std::to_string(types[i].device) + ";";
        EXPECT_TRUE(client.waitFor(announced));
        EXPECT_EQ(occurrences(client.received(), announced), 1u);
    }

    // The board of the literal first handshake, byte for byte, and the rhythm of the rounds.
    std::vector<HostFrame> asked = silent.hostFrames();
    EXPECT_EQ(hex(asked[0].bytes), "A5 A5 0F 00 02 02 00 DE");
    EXPECT_EQ(hex(asked[1].bytes), "A5 A5 0F 01 04 01 01 FF 99");
    EXPECT_EQ(hex(asked[2].bytes), "A5 A5 0F 02 04 01 07 00 02 04 00 00 03 E8 DB");
    std::size_t rounds = asked.size() / 3;
    expectHandshakeRounds(asked, rounds);
    // Judged over all the rounds, by when they were read: a busy machine reads a round late,
    // never early. The first round went out no sooner than the channel's 1 s start pause after
    // the link, so the rounds read by the last one bound how fast they came; the upper bound,
    // from the first round read to the last, leaves room for a late read.
    ASSERT_GE(rounds, 3u);
    const auto last = asked[(rounds - 1) * 3].at;
    const int gaps = static_cast<int>(rounds - 1);
    EXPECT_GT((last - linked - 1000ms) / gaps, 350ms);
    EXPECT_LT((last - asked[0].at) / gaps, 1500ms);

    // A CRSD answers but is not a board this daemon drives: it stays in the handshake.
    std::vector<HostFrame> crsdFrames = crsd.hostFrames();
    expectHandshakeRounds(crsdFrames, crsdFrames.size() / 3);
    EXPECT_GE(crsdFrames.size(), 9u);
    EXPECT_GE(crsd.versionsSent(), 3);
    EXPECT_EQ(client.received().find("device_connected:2;"), std::string::npos);
    EXPECT_EQ(daemon.count("Connect to: [" + daemon.dir.path() + "/ttyUSB"), 8u);
}

TEST(DaemonE2E, ClientSettingsReachTheirGroupOnlyAsOneCommandEach) {
    Daemon daemon;
    const unsigned char devices[] = {33, 34, 61, 62, 12, 5};
    std::vector<std::unique_ptr<RawBoard>> boards;
    for (unsigned char device : devices) {
        boards.push_back(std::make_unique<RawBoard>(device));
        daemon.dir.link("ttyUSB" + std::to_string(boards.size() - 1), boards.back()->slavePath());
    }
    RawBoard unidentified(UNIDENTIFIED);
    unidentified.setAnswering(false);
    daemon.dir.link("ttyUSB6", unidentified.slavePath());
    std::vector<std::size_t> configured;
    for (std::size_t i = 0; i < boards.size(); ++i) {
        configured.push_back(waitConfigured(*boards[i], devices[i]));
    }
    TcpClient client(daemon.port);
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.waitFor("device_connected:5;"));

    client.send(
        "injector_width:1500;injector_interval:0.5;injector_interval:2.5;injector_interval:3;"
        "injector_interval:abc;regulator2_duty_cycle:12.57;injector_i1:-2;device_rpm:1000;"
        "device_temperature:25;delaymeter_reset:;flowmeter_reset;flowmeter_reset:;"
        "flowmeter_reset:1;injector_status:;device_fan:1;delaymeter_sensitivity:1.3;");

    // The same settings applied here give the payloads the boards must receive.
    std::vector<std::unique_ptr<Command>> injector, stand, stand62, flowmeter, delaymeter;
    CRIT::width = 1500;
    injector.push_back(CRIT::setInjector());
    CRIT::interval = 0;
    injector.push_back(CRIT::setInjector());
    CRIT::interval = 400000;
    injector.push_back(CRIT::setInjector());
    CRIT::interval = 333333;
    injector.push_back(CRIT::setInjector());
    CRIT::CRSDChannel = 1;
    CRIT::CRSDDuty = 125;
    injector.push_back(CRIT::setCRSDDuty());
    CRIT::injectorI1 = 24500;
    injector.push_back(CRIT::setI());
    injector.push_back(CRIT::getInjStatus());
    Stand::rpm = 1000;
    stand.push_back(Stand::setRPM());
    stand62.push_back(Stand::setRPM());
    stand62.push_back(Stand::setTemperature(2500));
    Stand::fan = 1;
    stand.push_back(Stand::setFanState());
    stand62.push_back(Stand::setFanState());
    flowmeter.push_back(Flowmeter::reset());
    flowmeter.push_back(Flowmeter::reset());
    delaymeter.push_back(CRIT::reset());
    delaymeter.push_back(CRIT::resetDelayMeter());
    CRIT::delaySensitivity = 13000;
    delaymeter.push_back(CRIT::setDelaySensitivity());
    CRIT::restoreDefaults();
    Stand::restoreDefaults();

    const std::vector<std::unique_ptr<Command>>* expected[] = {&injector, &injector,  &stand,
                                                               &stand62,  &flowmeter, &delaymeter};
    for (std::size_t i = 0; i < boards.size(); ++i) {
        SCOPED_TRACE(static_cast<int>(devices[i]));
        const auto& commands = *expected[i];
        ASSERT_TRUE(waitUntil(
            [&] {
                return withoutRetries(boards[i]->hostFrames()).size() >=
                       configured[i] + commands.size();
            },
            5000ms));
        // The last command of each group went out last: anything misrouted came before it.
        std::vector<HostFrame> frames = withoutRetries(boards[i]->hostFrames());
        ASSERT_EQ(frames.size(), configured[i] + commands.size());
        for (std::size_t k = 0; k < commands.size(); ++k) {
            const HostFrame& frame = frames[configured[i] + k];
            EXPECT_EQ(hex(frame.bytes),
                      hex(frameOf(frame.number(), std::make_unique<Command>(*commands[k]))))
                << "command " << k;
        }
        expectConsecutive(frames);
    }
    std::vector<HostFrame> asked = unidentified.hostFrames();
    EXPECT_TRUE(std::all_of(asked.begin(), asked.end(), [](const HostFrame& f) {
        return f.code() == codes::VERSION || f.code() == codes::SCHEDULE;
    }));
    EXPECT_EQ(daemon.count("COMMAND: [flowmeter_reset]\n"), 1u);
    EXPECT_EQ(daemon.count("Parser error: "), 1u);
}

TEST(DaemonE2E, CommandIsTriedThreeTimesUnlessAcknowledgedAtOnce) {
    Daemon daemon;
    RawBoard board(34);
    daemon.dir.link("ttyUSB0", board.slavePath());
    std::size_t configured = waitConfigured(board, 34);
    TcpClient client(daemon.port);
    ASSERT_TRUE(client.connected());

    board.setAcknowledging(false);
    client.send("injector_status:;");
    ASSERT_TRUE(waitForFrames(board, configured + 3));
    board.setAcknowledging(true);
    client.send("injector_status:;");
    client.send("pressure_reset:;");
    ASSERT_TRUE(waitForFrames(board, configured + 5));

    std::vector<HostFrame> frames = board.hostFrames();
    ASSERT_EQ(frames.size(), configured + 5);
    const HostFrame& first = frames[configured];
    EXPECT_EQ(hex(first.bytes), hex(frameOf(first.number(), CRIT::getInjStatus())));
    for (std::size_t k = 1; k < 3; ++k) {
        EXPECT_EQ(hex(frames[configured + k].bytes), hex(first.bytes)) << "try " << k + 1;
    }
    // Two waits of about 10 ms; the board may read two tries at once, so only the span.
    auto span = frames[configured + 2].at - first.at;
    EXPECT_GT(span, 5ms);
    EXPECT_LT(span, 500ms);
    // Dropped after the third try; the next ones are written once each, numbered on.
    const HostFrame& second = frames[configured + 3];
    const HostFrame& third = frames[configured + 4];
    EXPECT_EQ(second.number(), static_cast<unsigned char>(first.number() + 1));
    EXPECT_EQ(hex(second.bytes), hex(frameOf(second.number(), CRIT::getInjStatus())));
    EXPECT_EQ(third.number(), static_cast<unsigned char>(second.number() + 1));
    EXPECT_EQ(hex(third.bytes), hex(frameOf(third.number(), CRIT::resetPressure())));
}

TEST(DaemonE2E, ClientLearnsWhichBoardsComeAndGo) {
    Daemon daemon;
    // Name order differs from id order.
    RawBoard stand(61), tester(33), unidentified(UNIDENTIFIED);
    unidentified.setAnswering(false);
    daemon.dir.link("ttyUSB0", stand.slavePath());
    daemon.dir.link("ttyUSB1", tester.slavePath());
    daemon.dir.link("ttyUSB2", unidentified.slavePath());
    waitConfigured(stand, 61);
    waitConfigured(tester, 33);

    // Their identification was queued before anyone listened: only the announcements come.
    TcpClient client(daemon.port);
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.waitFor("device_connected:33;"));
    EXPECT_EQ(client.received().rfind("device_connected:61;device_connected:33;", 0), 0u)
        << client.received();

    daemon.dir.unlink("ttyUSB2");
    ASSERT_TRUE(daemon.process->waitForOut("Device disconnected: ttyUSB2\n"));
    daemon.dir.unlink("ttyUSB0");
    ASSERT_TRUE(daemon.process->waitForOut("Device disconnected: ttyUSB0\n"));
    ASSERT_TRUE(client.waitFor("device_disconnected:61;"));
    EXPECT_EQ(client.received(), "device_connected:61;device_connected:33;device_disconnected:61;");

    // A second client hears only of what is still there.
    client.close();
    TcpClient next(daemon.port);
    ASSERT_TRUE(next.waitFor("device_connected:33;"));
    EXPECT_EQ(next.received().find("device_connected:61;"), std::string::npos);
}

TEST(DaemonE2E, SilentBoardIsHandshakenAgainWithoutTellingTheClient) {
    Daemon daemon;
    RawBoard board(33);
    daemon.dir.link("ttyUSB0", board.slavePath());
    std::size_t configured = waitConfigured(board, 33);
    TcpClient client(daemon.port);
    ASSERT_TRUE(client.connected());

    ASSERT_TRUE(client.waitFor("device_connected:33;"));
    board.setAnswering(false);
    Clock::time_point silentSince = board.lastVersion();
    ASSERT_TRUE(waitForFrames(board, configured + 3, 12000ms));
    std::vector<HostFrame> frames = board.hostFrames();
    auto silence = frames[configured].at - silentSince;
    EXPECT_GT(silence, 4500ms);
    EXPECT_LT(silence, 10000ms);
    EXPECT_EQ(daemon.count("Connection timeout\n"), 1u);
    for (int k = 0; k < 3; ++k) {
        const HostFrame& frame = frames[configured + static_cast<std::size_t>(k)];
        EXPECT_EQ(hex(frame.bytes), hex(handshakeFrame(frame.number(), k)));
    }

    // Answering again: identified, announced and programmed anew.
    board.setAnswering(true);
    ASSERT_TRUE(waitUntil([&] {
        std::vector<HostFrame> all = board.hostFrames();
        return std::count_if(all.begin(), all.end(), [](const HostFrame& f) {
                   // the schedule's last entry, (27, 200)
                   return f.code() == codes::SCHEDULE && f.bytes[6] == 7 &&
                          f.bytes[8] == codes::LEAKAGE;
               }) == 2;
    }));
    // The console is written by a thread of its own: the line may follow the frames.
    EXPECT_TRUE(waitUntil(
        [&] { return daemon.count("DEVICE CONNECTED: CRIT0303 VERSION [1] [2] [3]\n") == 2u; }));
    // Announced at connection, then again on its new identification; never as gone.
    ASSERT_TRUE(
        waitUntil([&] { return occurrences(client.received(), "device_connected:33;") == 2; }));
    EXPECT_EQ(client.received(), "device_connected:33;device_connected:33;");
}

TEST(DaemonE2E, SecondDaemonOnTheSamePortExits) {
    Daemon first;
    ASSERT_TRUE(first.process->waitForOut("Waiting for connection...\n"));
    TempDir dir;
    Process second({benchdPath(), "--dev-dir", dir.path(), "--port", std::to_string(first.port),
                    "--monitor-port", "0"});
    EXPECT_EQ(second.wait(), 1);
    EXPECT_NE(second.err().find("Cant bind socket"), std::string::npos) << second.err();
}

TEST(DaemonE2E, BadOptionExitsWithUsage) {
    const std::vector<std::string> bad[] = {
        {"--bogus"},
        {"--port", "abc"},
        {"extra"},
        {"--bind", "not-an-address"},
        {"--bench", std::string(70000, 'b')},
        {"--mqtt", "mqtt://127.0.0.1", "--bench", std::string(70000, 'b')}};
    for (const auto& args : bad) {
        std::vector<std::string> argv = {benchdPath()};
        argv.insert(argv.end(), args.begin(), args.end());
        Process process(argv);
        EXPECT_EQ(process.wait(), 2) << args[0];
        EXPECT_NE(process.err().find("Usage: benchd"), std::string::npos) << process.err();
        EXPECT_EQ(process.out(), "");
    }
}

TEST(DaemonE2E, BindNarrowsTheListeningAddress) {
    TempDir dir;
    uint16_t port = 0;
    std::unique_ptr<Process> daemon =
        startDaemon({"--dev-dir", dir.path(), "--bind", "127.0.0.2"}, port);
    ASSERT_TRUE(daemon->waitForOut("Waiting for connection...\n"));
    // Only the named address answers.
    TcpClient other(port, std::chrono::milliseconds(200));
    EXPECT_FALSE(other.connected());
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.2", &address.sin_addr);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
}
