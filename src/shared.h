// Process-wide objects shared by the threads of the daemon, the device type ids,
// the client key constants and the payload conversions.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class Channel;

namespace known_devices {
constexpr int CRSD = 2;
constexpr int DELAYMETER = 5;
constexpr int FLOWMETER = 12;
constexpr int CRIT0303 = 33;
constexpr int CRIT0304 = 34;
constexpr int STAND = 61;
constexpr int STAND62 = 62;
// A channel's device id while its board has not identified itself.
constexpr int UNKNOWN = 255;
}  // namespace known_devices

namespace tcp_commands {
extern const std::string TCP_DEVICE_ACTIVE;
extern const std::string TCP_DEVICE_RPM;
}  // namespace tcp_commands

// Messages bound for the client, each complete with its ";". Guarded by tcpMutex.
extern std::deque<std::string> commands;
extern std::mutex tcpMutex;
// Guards the sendQueue of every channel.
extern std::mutex devMutex;
// Run flag of the watcher loop.
extern std::atomic<bool> isWorking;
// Set by the SIGUSR1 handler (and nothing else there): the watcher prints every channel's
// counters on its next pass and clears it.
extern std::atomic<bool> countersRequested;

// Open serial descriptors by device name; the watcher thread alone uses it.
extern std::map<std::string, int> deviceMap;
// One channel per device name present. Guarded by channelMapMutex; the watcher alone
// inserts and erases, readers work on channelSnapshot().
extern std::map<std::string, std::shared_ptr<Channel>> channelMap;
extern std::mutex channelMapMutex;

// Held while a report handler runs: the decoders' process-wide state (chart buffers,
// oscillogram calibration, motor guard, delay figures) is shared by all decoder threads.
extern std::mutex decoderMutex;

// The most messages `commands` holds; beyond it the oldest are dropped.
constexpr std::size_t COMMANDS_LIMIT = 10000;

// Queues one message for the client under tcpMutex, and raises the message wake-up when the
// queue was empty. Safe from any thread.
void pushMessage(std::string message);
// The message wake-up: an eventfd that turns readable when a message is queued on an empty
// `commands`; the server polls it beside the client socket and reads it empty before it
// takes the queue. -1 if it could not be created (the server then polls the queue).
int messageWakeFd();

// The channels in ascending name order, taken under channelMapMutex. Safe from any thread.
std::vector<std::pair<std::string, std::shared_ptr<Channel>>> channelSnapshot();

namespace util {
// 8 bytes from pos on, big-endian, as an unsigned 64-bit integer.
uint64_t chartol(const unsigned char* bytes, int pos);
// 4 bytes from pos on, big-endian, as a signed 32-bit two's-complement integer.
int32_t chartoi(const unsigned char* bytes, int pos);
// 2 bytes from pos on, big-endian, unsigned.
uint16_t chartou16(const unsigned char* bytes, int pos);
// Fixed notation with two decimals in the classic C locale, whatever the process locale.
std::string get_formatted_value(double value);
// Big-endian stores into a payload.
void putBE16(unsigned char* bytes, int pos, uint32_t value);
void putBE32(unsigned char* bytes, int pos, uint32_t value);
}  // namespace util
