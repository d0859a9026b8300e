// The real daemon against simulated boards: pseudo-terminals linked into a temporary device
// directory, a client on a free port.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/crit.h"
#include "bench/flowmeter.h"
#include "bench/stand.h"
#include "protocol/command.h"
#include "testsupport.h"

using namespace testing_support;
using Clock = std::chrono::steady_clock;

namespace {

constexpr unsigned char UNIDENTIFIED = 255;

struct Frame {
    Bytes bytes;  // the whole frame as it came off the line
    Clock::time_point at;
    unsigned char number() const { return bytes[3]; }
    unsigned char code() const { return bytes[4]; }
    unsigned char access() const { return bytes[5]; }
    bool isVersionRequest() const { return code() == 2 && access() == 2; }
};

// The host's encoding of a command built by the daemon's own builders.
Bytes frameOf(unsigned char number, std::unique_ptr<Command> command) {
    return dataFrame(number, command->code(), command->access(),
                     Bytes(command->data, command->data + command->length()));
}

Bytes scheduleFrame(unsigned char number, unsigned char code, uint32_t period) {
    return dataFrame(number, 4, 1,
                     {0, code, 4, static_cast<unsigned char>(period >> 24),
                      static_cast<unsigned char>(period >> 16),
                      static_cast<unsigned char>(period >> 8), static_cast<unsigned char>(period)});
}

Bytes handshakeFrame(unsigned char number, int which) {
    switch (which) {
        case 0:
            return dataFrame(number, 2, 2, {});
        case 1:
            return dataFrame(number, 4, 1, {0xFF});
        default:
            return scheduleFrame(number, 2, 1000);
    }
}

// What a board of the given type is programmed with once identified, numbered from `first`.
std::vector<Bytes> scheduleOf(unsigned char device, unsigned char first) {
    using Entries = std::vector<std::pair<unsigned char, uint32_t>>;
    Entries entries;
    switch (device) {
        case 33:
        case 34:
            entries = {{10, 600}, {2, 1000}, {11, 300},  {15, 600}, {16, 500},
                       {30, 800}, {31, 800}, {13, 1000}, {41, 400}, {27, 200}};
            break;
        case 61:
        case 62:
            entries = {{47, 1000}, {2, 1000}, {41, 310}, {42, 1100},
                       {46, 1500}, {10, 600}, {80, 800}, {15, 1000}};
            break;
        case 12:
            entries = {{2, 1000}, {55, 300}, {53, 500}, {54, 300}};
            break;
        case 5:
            entries = {{62, 500}};
            break;
        default:
            break;
    }
    std::vector<Bytes> frames;
    unsigned char number = first;
    for (const auto& entry : entries) {
        frames.push_back(scheduleFrame(number++, entry.first, entry.second));
    }
    if (device == 5) {
        frames.push_back(frameOf(number, CRIT::setDelaySensitivity()));
    }
    return frames;
}

// One simulated board on a pseudo-terminal. Its thread records every data frame the host
// writes, acknowledges them when `ack` is set, and, when `answer` is set, replies to each
// version request and sends its version report once a second as a programmed board does.
class Board {
public:
    explicit Board(unsigned char device) : device_(device) {
        thread_ = std::thread([this] { run(); });
    }
    ~Board() {
        stop_.store(true);
        thread_.join();
    }

    void plug(const TempDir& dir, const std::string& name) { dir.link(name, pty_.slavePath()); }

    std::atomic<bool> ack{true};
    std::atomic<bool> answer{true};

    std::vector<Frame> frames() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_;
    }
    std::size_t count() const { return frames().size(); }
    bool waitForCount(std::size_t n, std::chrono::milliseconds timeout = 5000ms) const {
        return waitUntil([&] { return count() >= n; }, timeout);
    }
    // Version replies and reports written so far, and when the last one went out.
    int versionsSent() const { return versionsSent_.load(); }
    Clock::time_point lastVersion() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lastVersion_;
    }

private:
    void run() {
        unsigned char buffer[4096];
        while (!stop_.load()) {
            pollfd p{pty_.master(), POLLIN, 0};
            int ready = ::poll(&p, 1, 5);
            if (ready > 0 && (p.revents & POLLIN)) {
                ssize_t n = ::read(pty_.master(), buffer, sizeof buffer);
                if (n > 0) {
                    take(buffer, static_cast<std::size_t>(n));
                }
            } else if (ready > 0) {
                // No slave side open (not plugged yet, or unplugged): nothing to read.
                std::this_thread::sleep_for(5ms);
            }
            bool due;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                due = versionsSent_ > 0 && Clock::now() - lastVersion_ >= 1000ms;
            }
            if (due && answer.load()) {
                sendVersion();
            }
        }
    }

    void take(const unsigned char* bytes, std::size_t n) {
        pending_.insert(pending_.end(), bytes, bytes + n);
        while (true) {
            while (!pending_.empty() && pending_[0] != 0xA5) {
                pending_.erase(pending_.begin());
            }
            if (pending_.size() < 3) {
                return;
            }
            if (pending_[1] != 0xA5 || (pending_[2] != 0x0F && pending_[2] != 0x33)) {
                pending_.erase(pending_.begin());
                continue;
            }
            std::size_t size =
                pending_[2] == 0x33 ? 5 : (pending_.size() >= 7 ? 8u + pending_[6] : 0u);
            if (size == 0 || pending_.size() < size) {
                return;
            }
            Frame frame{Bytes(pending_.begin(), pending_.begin() + size), Clock::now()};
            pending_.erase(pending_.begin(), pending_.begin() + size);
            if (frame.bytes[2] == 0x33) {
                continue;  // the host acknowledging one of ours
            }
            if (ack.load()) {
                write(ackFrame(frame.number()));
            }
            bool request = frame.isVersionRequest();
            {
                std::lock_guard<std::mutex> lock(mutex_);
                frames_.push_back(std::move(frame));
            }
            if (request && answer.load()) {
                sendVersion();
            }
        }
    }

    void sendVersion() {
        write(dataFrame(number_++, 2, 1, {1, 2, 3, device_}));
        std::lock_guard<std::mutex> lock(mutex_);
        lastVersion_ = Clock::now();
        ++versionsSent_;
    }

    void write(const Bytes& bytes) { pty_.write(bytes); }

    Pty pty_;
    const unsigned char device_;
    unsigned char number_ = 0;  // board thread only
    Bytes pending_;             // board thread only
    mutable std::mutex mutex_;
    std::vector<Frame> frames_;        // guarded by mutex_
    Clock::time_point lastVersion_{};  // guarded by mutex_
    std::atomic<int> versionsSent_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Every data frame carries the number after that of the frame before it.
void expectConsecutive(const std::vector<Frame>& frames) {
    for (std::size_t i = 1; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].number(), static_cast<unsigned char>(frames[i - 1].number() + 1))
            << "frame " << i;
    }
}

// The frames of one handshake round after another, from number 0 on.
void expectHandshakeRounds(const std::vector<Frame>& frames, std::size_t rounds) {
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
std::size_t waitConfigured(const Board& board, unsigned char device) {
    std::size_t total = 0;
    EXPECT_TRUE(waitUntil(
        [&] {
            std::vector<Frame> frames = board.frames();
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
    ASSERT_TRUE(daemon.process.waitForOut("Waiting for connection...\n"));
    std::string start = daemon.process.out();
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
    std::vector<std::unique_ptr<Board>> boards;
    for (const auto& type : types) {
        boards.push_back(std::make_unique<Board>(type.device));
        boards.back()->plug(daemon.dir, "ttyUSB" + std::to_string(boards.size() - 1));
    }
    Board crsd(2);
    crsd.plug(daemon.dir, "ttyUSB6");
    Board silent(UNIDENTIFIED);
    silent.answer = false;
    silent.plug(daemon.dir, "ttyUSB7");

    std::vector<std::size_t> configured;
    for (std::size_t i = 0; i < boards.size(); ++i) {
        configured.push_back(waitConfigured(*boards[i], types[i].device));
    }
    ASSERT_TRUE(silent.waitForCount(9, 5000ms));
    // Two more handshake periods: an identified board must not be asked again.
    std::size_t seen = silent.count();
    ASSERT_TRUE(silent.waitForCount(seen + 6, 5000ms));

    for (std::size_t i = 0; i < boards.size(); ++i) {
        SCOPED_TRACE(types[i].console);
        std::vector<Frame> frames = boards[i]->frames();
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
    std::vector<Frame> asked = silent.frames();
    EXPECT_EQ(hex(asked[0].bytes), "A5 A5 0F 00 02 02 00 DE");
    EXPECT_EQ(hex(asked[1].bytes), "A5 A5 0F 01 04 01 01 FF 99");
    EXPECT_EQ(hex(asked[2].bytes), "A5 A5 0F 02 04 01 07 00 02 04 00 00 03 E8 DB");
    std::size_t rounds = asked.size() / 3;
    expectHandshakeRounds(asked, rounds);
    for (std::size_t r = 1; r < rounds; ++r) {
        auto gap = asked[r * 3].at - asked[(r - 1) * 3].at;
        EXPECT_GT(gap, 350ms) << "round " << r;
        EXPECT_LT(gap, 1500ms) << "round " << r;
    }

    // A CRSD answers but is not a board this daemon drives: it stays in the handshake.
    std::vector<Frame> crsdFrames = crsd.frames();
    expectHandshakeRounds(crsdFrames, crsdFrames.size() / 3);
    EXPECT_GE(crsdFrames.size(), 9u);
    EXPECT_GE(crsd.versionsSent(), 3);
    EXPECT_EQ(client.received().find("device_connected:2;"), std::string::npos);
    EXPECT_EQ(daemon.count("Connect to: [" + daemon.dir.path() + "/ttyUSB"), 8u);
}

TEST(DaemonE2E, ClientSettingsReachTheirGroupOnlyAsOneCommandEach) {
    Daemon daemon;
    const unsigned char devices[] = {33, 34, 61, 62, 12, 5};
    std::vector<std::unique_ptr<Board>> boards;
    for (unsigned char device : devices) {
        boards.push_back(std::make_unique<Board>(device));
        boards.back()->plug(daemon.dir, "ttyUSB" + std::to_string(boards.size() - 1));
    }
    Board unidentified(UNIDENTIFIED);
    unidentified.answer = false;
    unidentified.plug(daemon.dir, "ttyUSB6");
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
        ASSERT_TRUE(boards[i]->waitForCount(configured[i] + commands.size()));
        // The last command of each group went out last: anything misrouted came before it.
        std::vector<Frame> frames = boards[i]->frames();
        ASSERT_EQ(frames.size(), configured[i] + commands.size());
        for (std::size_t k = 0; k < commands.size(); ++k) {
            const Frame& frame = frames[configured[i] + k];
            EXPECT_EQ(hex(frame.bytes),
                      hex(frameOf(frame.number(), std::make_unique<Command>(*commands[k]))))
                << "command " << k;
        }
        expectConsecutive(frames);
    }
    std::vector<Frame> asked = unidentified.frames();
    EXPECT_TRUE(std::all_of(asked.begin(), asked.end(),
                            [](const Frame& f) { return f.code() == 2 || f.code() == 4; }));
    EXPECT_EQ(daemon.count("COMMAND: [flowmeter_reset]\n"), 1u);
    EXPECT_EQ(daemon.count("Parser error: "), 1u);
}

TEST(DaemonE2E, CommandIsTriedThreeTimesUnlessAcknowledgedAtOnce) {
    Daemon daemon;
    Board board(34);
    board.plug(daemon.dir, "ttyUSB0");
    std::size_t configured = waitConfigured(board, 34);
    TcpClient client(daemon.port);
    ASSERT_TRUE(client.connected());

    board.ack = false;
    client.send("injector_status:;");
    ASSERT_TRUE(board.waitForCount(configured + 3));
    board.ack = true;
    client.send("injector_status:;");
    client.send("pressure_reset:;");
    ASSERT_TRUE(board.waitForCount(configured + 5));

    std::vector<Frame> frames = board.frames();
    ASSERT_EQ(frames.size(), configured + 5);
    const Frame& first = frames[configured];
    EXPECT_EQ(hex(first.bytes), hex(frameOf(first.number(), CRIT::getInjStatus())));
    for (std::size_t k = 1; k < 3; ++k) {
        EXPECT_EQ(hex(frames[configured + k].bytes), hex(first.bytes)) << "try " << k + 1;
    }
    // Two waits of about 10 ms; the board may read two tries at once, so only the span.
    auto span = frames[configured + 2].at - first.at;
    EXPECT_GT(span, 5ms);
    EXPECT_LT(span, 500ms);
    // Dropped after the third try; the next ones are written once each, numbered on.
    const Frame& second = frames[configured + 3];
    const Frame& third = frames[configured + 4];
    EXPECT_EQ(second.number(), static_cast<unsigned char>(first.number() + 1));
    EXPECT_EQ(hex(second.bytes), hex(frameOf(second.number(), CRIT::getInjStatus())));
    EXPECT_EQ(third.number(), static_cast<unsigned char>(second.number() + 1));
    EXPECT_EQ(hex(third.bytes), hex(frameOf(third.number(), CRIT::resetPressure())));
}

TEST(DaemonE2E, ClientLearnsWhichBoardsComeAndGo) {
    Daemon daemon;
    // Name order differs from id order.
    Board stand(61), tester(33), unidentified(UNIDENTIFIED);
    unidentified.answer = false;
    stand.plug(daemon.dir, "ttyUSB0");
    tester.plug(daemon.dir, "ttyUSB1");
    unidentified.plug(daemon.dir, "ttyUSB2");
    waitConfigured(stand, 61);
    waitConfigured(tester, 33);

    // Their identification was queued before anyone listened: only the announcements come.
    TcpClient client(daemon.port);
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.waitFor("device_connected:33;"));
    EXPECT_EQ(client.received().rfind("device_connected:61;device_connected:33;", 0), 0u)
        << client.received();

    daemon.dir.unlink("ttyUSB2");
    ASSERT_TRUE(daemon.process.waitForOut("Device disconnected: ttyUSB2\n"));
    daemon.dir.unlink("ttyUSB0");
    ASSERT_TRUE(daemon.process.waitForOut("Device disconnected: ttyUSB0\n"));
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
    Board board(33);
    board.plug(daemon.dir, "ttyUSB0");
    std::size_t configured = waitConfigured(board, 33);
    TcpClient client(daemon.port);
    ASSERT_TRUE(client.connected());

    ASSERT_TRUE(client.waitFor("device_connected:33;"));
    board.answer = false;
    Clock::time_point silentSince = board.lastVersion();
    ASSERT_TRUE(board.waitForCount(configured + 3, 12000ms));
    std::vector<Frame> frames = board.frames();
    auto silence = frames[configured].at - silentSince;
    EXPECT_GT(silence, 4500ms);
    EXPECT_LT(silence, 10000ms);
    EXPECT_EQ(daemon.count("Connection timeout\n"), 1u);
    for (int k = 0; k < 3; ++k) {
        const Frame& frame = frames[configured + static_cast<std::size_t>(k)];
        EXPECT_EQ(hex(frame.bytes), hex(handshakeFrame(frame.number(), k)));
    }

    // Answering again: identified, announced and programmed anew.
    board.answer = true;
    ASSERT_TRUE(waitUntil([&] {
        std::vector<Frame> all = board.frames();
        return std::count_if(all.begin(), all.end(), [](const Frame& f) {
                   // the schedule's last entry, (27, 200)
                   return f.code() == 4 && f.bytes[6] == 7 && f.bytes[8] == 27;
               }) == 2;
    }));
    EXPECT_EQ(daemon.count("DEVICE CONNECTED: CRIT0303 VERSION [1] [2] [3]\n"), 2u);
    // Announced at connection, then again on its new identification; never as gone.
    ASSERT_TRUE(
        waitUntil([&] { return occurrences(client.received(), "device_connected:33;") == 2; }));
    EXPECT_EQ(client.received(), "device_connected:33;device_connected:33;");
}

TEST(DaemonE2E, SecondDaemonOnTheSamePortExits) {
    Daemon first;
    ASSERT_TRUE(first.process.waitForOut("Waiting for connection...\n"));
    TempDir dir;
    Process second({benchdPath(), "--dev-dir", dir.path(), "--port", std::to_string(first.port)});
    EXPECT_EQ(second.wait(), 1);
    EXPECT_NE(second.err().find("Cant bind socket"), std::string::npos) << second.err();
}

TEST(DaemonE2E, BadOptionExitsWithUsage) {
    const std::vector<std::string> bad[] = {
        {"--bogus"}, {"--port", "abc"}, {"extra"}, {"--bind", "not-an-address"}};
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
    uint16_t port = freePort();
    Process daemon({benchdPath(), "--dev-dir", dir.path(), "--port", std::to_string(port), "--bind",
                    "127.0.0.2"});
    ASSERT_TRUE(daemon.waitForOut("Waiting for connection...\n"));
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
