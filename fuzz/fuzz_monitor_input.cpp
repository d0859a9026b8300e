// The monitor port's input: whatever an observer sends, answered as the monitor's thread
// answers one observer (MonitorServer::answerBytes: the connection's framing, then the answer
// to each message), with a tester and a stand in the channel map for the status block.
//
// Input: byte 0 gives the size of the receive blocks (1 to 1024, the connection's own read),
// the rest is the observer's byte stream. The answers must not depend on the blocks; each is
// whole "key:value;" messages, one answer per message sent (a status block, or a refusal);
// nothing an observer sends may change a setting, queue a command to a board or reach the
// control client.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bench/crit.h"
#include "bench/stand.h"
#include "client/messageframer.h"
#include "client/monitorserver.h"
#include "fuzzsupport.h"
#include "link/channel.h"
#include "link/channelregistry.h"
#include "protocol/deviceids.h"
#include "service/outbox.h"

namespace {

std::unique_ptr<MonitorServer> monitor;
std::vector<std::shared_ptr<Channel>> channels;

// Reads the answers once, without copying a message: checks that each is "key:value;" and
// that they make whole answers (a refusal, or a status block from status_version to
// status_end), appends them to `normalized` with the status block's uptime left out (it may
// tick between two runs), and returns how many answers they make.
std::size_t readAnswers(const std::string& answers, std::string& normalized) {
    normalized.clear();
    normalized.reserve(answers.size());
    std::size_t count = 0;
    bool inBlock = false;
    const std::string_view all(answers);
    std::size_t start = 0;
    while (start < all.size()) {
        const std::size_t end = all.find(';', start);
        FUZZ_CHECK(end != std::string_view::npos, "answers end inside a message: [%s]\n",
                   answers.c_str() + start);
        const std::string_view message = all.substr(start, end - start + 1);
        const std::size_t colon = message.find(':');
        FUZZ_CHECK(colon != std::string_view::npos && colon > 0, "answer [%.*s] is not key:value\n",
                   static_cast<int>(message.size()), message.data());
        const std::string_view key = message.substr(0, colon);
        if (inBlock) {
            FUZZ_CHECK(key.substr(0, 7) == "status_", "[%.*s] inside a status block\n",
                       static_cast<int>(message.size()), message.data());
            inBlock = key != "status_end";
        } else {
            FUZZ_CHECK(key == "monitor_error" || key == "status_version",
                       "an observer answered [%.*s]\n", static_cast<int>(message.size()),
                       message.data());
            inBlock = key == "status_version";
            ++count;
        }
        normalized += key == "status_uptime" ? std::string_view("status_uptime:;") : message;
        start = end + 1;
    }
    FUZZ_CHECK(!inBlock, "a status block without its end\n");
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::silenceConsole();
    monitor = std::make_unique<MonitorServer>(MonitorSettings{}, [] { return std::string(); });
    MutexLock lock(channelMapMutex);
    for (int device : {known_devices::CRIT0303, known_devices::STAND}) {
        channels.push_back(fuzz_support::makeIdleChannel(device));
        channelMap["fuzz" + std::to_string(device)] = channels.back();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    const fuzz_support::ConsoleSettled settled;
    if (size == 0) {
        return 0;
    }
    CRIT::restoreDefaults();
    Stand::restoreDefaults();
    // 1 to 64 one by one, then on by fives to 1024.
    const std::size_t block = input[0] < 64 ? input[0] + 1u : (input[0] - 63u) * 5 + 64;
    const std::string stream(reinterpret_cast<const char*>(input + 1), size - 1);

    // What the observer sent, as messages and messages too long.
    std::size_t sent = 0;
    MessageFramer framer;
    framer.feed(
        stream.data(), stream.size(), [&](const std::string&) { ++sent; }, [&] { ++sent; });

    const int64_t rpm = Stand::rpm.load();
    const uint32_t width = CRIT::width;
    static std::string inBlocks;
    static std::string inOneRead;
    const std::size_t answers = readAnswers(monitor->answerBytes(stream, block), inBlocks);
    const std::size_t answersInOneRead =
        readAnswers(monitor->answerBytes(stream, stream.size() + 1), inOneRead);
    FUZZ_CHECK(inBlocks == inOneRead, "blocks of %zu answered %zu times, one read %zu\n", block,
               answers, answersInOneRead);
    FUZZ_CHECK(answers == sent, "%zu messages sent, %zu answered\n", sent, answers);

    FUZZ_CHECK(Stand::rpm.load() == rpm && CRIT::width == width, "an observer changed a setting\n");
    for (const auto& channel : channels) {
        FUZZ_CHECK(fuzz_support::drainSendQueue(*channel) == 0,
                   "an observer queued a command to a board\n");
    }
    FUZZ_CHECK(takeAllMessages().empty(), "an observer's message reached the control client\n");
    return 0;
}
