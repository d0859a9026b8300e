#include <stdexcept>

#include "latency.h"
#include "loopback.h"
#include "protocol/codes.h"
#include "service/filedescriptor.h"

namespace latency {

// Observers: eight on the monitor port, seven reading and one that never reads (its socket
// and buffer full, losing messages), against the daemon without a monitor port at all.
Comparison measureObservers(const Options& options) {
    const Side alone{"no monitor port",
                     [](uint16_t) {
                         return std::vector<std::string>{"--monitor-port", "0"};
                     },
                     nullptr};
    const Side watched{
        "8 observers (1 not reading)",
        [](uint16_t spare) {
            // A buffer small enough for the stalled observer to be losing messages throughout.
            return std::vector<std::string>{"--monitor-port", std::to_string(spare),
                                            "--monitor-buffer", "65536"};
        },
        [](uint16_t spare, Board& stand) -> std::shared_ptr<void> {
            struct Observers {
                std::vector<std::unique_ptr<Client>> readers;
                FileDescriptor stalled;
            };
            auto observers = std::make_shared<Observers>();
            for (int k = 0; k < 7; ++k) {
                observers->readers.push_back(std::make_unique<Client>(spare, 5000ms));
            }
            observers->stalled = harness::connectOnce(spare, {4096, ""});
            if (!observers->stalled.valid()) {
                throw std::runtime_error("cannot connect to the monitor port");
            }
            // Enough reports to fill the stalled observer's socket and buffer at once.
            Bytes burst;
            for (int i = 0; i < 6000; ++i) {
                Bytes frame = dataFrame(stand.nextNumber(), codes::ROTATION_ACTIVE, 1,
                                        {static_cast<unsigned char>(i % 200)});
                burst.insert(burst.end(), frame.begin(), frame.end());
            }
            stand.send(burst);
            std::this_thread::sleep_for(1s);
            return observers;
        }};
    return compareRounds(options, alone, watched);
}

}  // namespace latency
